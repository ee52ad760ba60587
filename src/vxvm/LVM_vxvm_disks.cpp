// Disk naming (volume path to group, disk media name to OS device, OS device to access name,
// disk to udid) and the scanners over "vxprint -ar" records.
#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <functional>

#include "core/Text.h"
#include "vxvm/vxvm_internal.h"
#include "vxvm/vxvm_listing.h"

namespace volbridge {
namespace vxvm {

namespace {

const char* const kVxvm = unit::kVxvm;

// `text` cut at any of the characters of `cuts`, empty pieces left out.
std::vector<std::string> cutAt(std::string_view text, const char* cuts) {
    std::vector<std::string> tokens;
    Tokenize(std::string(text), tokens, cuts);
    return tokens;
}

// The value after `attribute` ("pl_name=") on the line [begin, end), up to the next white space;
// false when the line has no such attribute. The attribute must follow a blank.
bool attributeOnLine(const char* begin, const char* end, const char* attribute,
                     std::string* value) {
    const std::string needle = std::string(" ") + attribute;
    const std::string_view line(begin, static_cast<size_t>(end - begin));
    const size_t at = line.find(needle);
    if (at == std::string_view::npos) return false;
    size_t from = at + needle.size();
    size_t to = from;
    while (to < line.size() && !isspace(static_cast<unsigned char>(line[to]))) ++to;
    *value = std::string(line.substr(from, to - from));
    return true;
}

// The line of `records` that begins with `type` + " " + `name` + " " (or ends after the name).
bool findRecordLine(const char* records, const std::string& type, const std::string& name,
                    const char** begin, const char** end) {
    const std::string head = type + " " + name;
    for (const char* line = records; *line;) {
        const char* eol = strchr(line, '\n');
        const char* stop = eol ? eol : line + strlen(line);
        const size_t length = static_cast<size_t>(stop - line);
        if (length >= head.size() && strncmp(line, head.c_str(), head.size()) == 0 &&
            (length == head.size() || isspace(static_cast<unsigned char>(line[head.size()])))) {
            *begin = line;
            *end = stop;
            return true;
        }
        if (!eol) break;
        line = eol + 1;
    }
    return false;
}

}  // namespace

void formOSDevName(const std::string& /*disk*/, const char* os_name, std::string& path) {
    path = std::string("/dev/dsk/") + os_name;
    struct stat st;
    if (stat((deviceRoot() + path).c_str(), &st) != 0) path = std::string("/dev/") + os_name;
}

// Output of "vxdisk -v list emc0_0a1b" (the first "udid" token is the key; "udid_asl" is not):
//   Device:    emc0_0a1b
//   udid:      EMC%5FSYMMETRIX%5F000197600123%5F0A1B
//    tag     udid_asl=EMC%5FSYMMETRIX%5F000197600123%5F0A1B
int readUdid(const Operation& op, const CommandLine& cmd, const char* cuts, const char* key,
             std::string& udid, const std::function<void(const CommandResult&)>& logFailure) {
    const CommandResult r = op.run(cmd);
    if (!r.succeeded()) {
        logFailure(r);
        return 1;
    }
    parseKeyedToken(r.out, cuts, key, &udid);
    return 0;
}

int getDiskUuidForDisk(const char* disk, std::string& udid) {
    const Operation op("::getDiskUuidForDisk", kVxvm);
    auto cmd = op.command("vxdisk -v list");
    cmd.word(disk ? disk : "", "the disk access name");
    return readUdid(op, cmd, ": \t\n=", "udid", udid, [&](const CommandResult& r) {
        op.log(0, "Info: cmd: '%s' failed with the message: '%s'", cmd.text().c_str(),
               r.err.c_str());
    });
}

void get_disk_info(const char* dg_name, const char* dm_name, std::string& out) {
    const Operation op("LVM_vxvm::get_disk_info", kVxvm);
    auto cmd = op.command("vxprint -g");
    cmd.word(dg_name ? dg_name : "", "the disk group name").literal(" -ar -d");
    cmd.word(dm_name ? dm_name : "", "the disk media name");
    out = op.mustRun(cmd).out;
}

void getDmNamesList(const char* dg_name, std::list<std::string>& names) {
    const Operation op("::getDmNamesList", kVxvm);
    auto cmd = op.command("vxprint -g");
    cmd.word(dg_name ? dg_name : "", "the disk group name").literal(" -d -F%name");
    names.splice(names.end(), parseNameList(op.mustRun(cmd).out));
}

std::string convertDiskNameToDiskMediaName(const std::string&) { return "-"; }

const char* get_matching_pos_in_field(const char* p, int ch) {
    while (*p && !isspace(static_cast<unsigned char>(*p)) && *p != ch) ++p;
    return *p == ch && ch != 0 ? p : nullptr;
}

// A record line of "vxprint -ar" (one line each):
//   vol vol01 use_type=fsgen ... plex=vol01-01,vol01-02 export= vset_name= vset_index=0
bool is_mirrored(const char* records) {
    const char* plex = strstr(records, " plex=");
    if (!plex) return false;
    return get_matching_pos_in_field(plex + strlen(" plex="), ',') != nullptr;
}

const char* get_prev_matching_pos(const char* pos, const char* begin, int ch) {
    for (const char* p = pos; p > begin; --p) {
        if (*p == ch) return p;
    }
    return begin;
}

void get_next_field(const char* p, std::string& field, int ch) {
    field.clear();
    while (*p && isspace(static_cast<unsigned char>(*p))) ++p;
    const char* end = strchr(p, ch);
    if (end && ch != 0) field.assign(p, end);
}

// Output of "vxprint -g datadg -ar -d datadg02": the disk, then each of its subdisks with the
// plex and the volume it belongs to (attributes shortened here):
//   dm datadg02 device_tag=emc0_0a1c da_name=emc0_0a1c ...
//   vol vol01 use_type=fsgen ... plex=vol01-01,vol01-02 export= ...
//   plex vol01-02 compact=on ... v_name=vol01 layout=CONCAT ... state="ACTIVE ... sd=datadg02-01:0
//   sd datadg02-01 dm_name=datadg02 pl_name=vol01-02 ... da_name=emc0_0a1c
// Each subdisk line of the disk (its "dm_name=" value is the whole disk media name) names its
// plex; the plex line names its volume; the volume line lists the volume's plexes. The first
// subdisk whose volume has more than one plex gives the disk its mirror side.
void get_mirror_plex(const char* records, const char* dm_name, std::string& plex) {
    plex.clear();
    for (const char* line = records; *line;) {
        const char* eol = strchr(line, '\n');
        const char* end = eol ? eol : line + strlen(line);
        std::string disk, plexName, volume;
        const char *plexBegin, *plexEnd, *volBegin, *volEnd;
        if (strncmp(line, "sd ", 3) == 0 && attributeOnLine(line, end, "dm_name=", &disk) &&
            disk == dm_name && attributeOnLine(line, end, "pl_name=", &plexName) &&
            findRecordLine(records, "plex", plexName, &plexBegin, &plexEnd) &&
            attributeOnLine(plexBegin, plexEnd, "v_name=", &volume) &&
            findRecordLine(records, "vol", volume, &volBegin, &volEnd) &&
            is_mirrored(std::string(volBegin, volEnd).c_str())) {
            plex = plexName;
            return;
        }
        if (!eol) break;
        line = eol + 1;
    }
}

// From the plex line of the disk's records: state="ACTIVE (the closing quote may be missing).
void set_pv_state(const char* records, const char* plex, PV_STATE& state) {
    state = PV_STATE_UNKNOWN;
    const char *begin, *end;
    if (!findRecordLine(records, "plex", plex, &begin, &end)) return;
    std::string value;
    if (!attributeOnLine(begin, end, "state=", &value)) return;
    if (!value.empty() && value[0] == '"') value.erase(0, 1);
    if (!value.empty() && value.back() == '"') value.pop_back();
    if (value == "ACTIVE") {
        state = PV_ACTIVE;
    } else if (value == "STALE") {
        state = PV_STALE;
    }
}

// Output of "vxdisk -g datadg -s list | grep flags:":
//   flags:  online ready private autoconfig autoimport imported
std::set<std::string> parseFlagWords(std::string_view text) {
    std::set<std::string> flags;
    for (std::string& token : cutAt(text, ": \n")) {
        if (token != "flags") flags.insert(std::move(token));
    }
    return flags;
}

// Output of "vxdisk -g datadg -qe list" (device, type, disk, group, status words, OS native
// name, attributes):
//   emc0_0a1b    auto:cdsdisk   datadg01    datadg       online               sdb              -
bool parseOsNativeName(std::string_view text, const std::string& dm_name,
                       const std::set<std::string>& flags, std::string* os_name) {
    bool found = false;
    for (const std::string& line : splitLines(text)) {
        const std::vector<std::string> tokens = splitWords(line);
        if (tokens.size() < 3 || tokens[2] != dm_name) continue;
        for (size_t i = 5; i < tokens.size(); ++i) {
            if (flags.count(tokens[i])) continue;
            *os_name = tokens[i];
            found = true;
            break;
        }
    }
    return found;
}

bool parseKeyedToken(std::string_view text, const char* cuts, const std::string& key,
                     std::string* value) {
    // A key with nothing after it on its line has an empty value, not the next line's first word.
    for (const std::string& line : splitLines(text)) {
        const std::vector<std::string> tokens = cutAt(line, cuts);
        for (size_t i = 0; i < tokens.size(); ++i) {
            if (strcasecmp(tokens[i].c_str(), key.c_str()) != 0) continue;
            *value = i + 1 < tokens.size() ? tokens[i + 1] : std::string();
            return true;
        }
    }
    return false;
}

// Output of "vxprint -g datadg -d -F%name" (or "-F%da_name"):
//   datadg01
//   datadg02
std::list<std::string> parseNameList(std::string_view text) {
    std::list<std::string> names;
    for (std::string& line : splitLines(text)) {
        if (line != "-") names.push_back(std::move(line));
    }
    return names;
}

// Output of "vxdisk -qe path" (sub-path, disk access name, disk media name, group, state; some
// releases print the header row as "vxdisk path" does):
//   SUBPATH          DANAME        DMNAME        GROUP        STATE
//   sdb              emc0_0a1b     datadg01      datadg       ENABLED
//   sde              emc0_0a1e     -             -            ENABLED
std::vector<DiskPathRow> parseDiskPathRows(std::string_view text) {
    std::vector<DiskPathRow> rows;
    for (const std::string& line : splitLines(text)) {
        std::vector<std::string> tokens = splitWords(line);
        if (tokens.size() < 4 || tokens[0] == "SUBPATH") continue;
        rows.push_back(DiskPathRow{tokens[0], tokens[1], tokens[2], tokens[3]});
    }
    return rows;
}

std::string parseDiskPathField(std::string_view text, const std::string& base, int field) {
    for (const std::string& line : splitLines(text)) {
        const std::vector<std::string> tokens = splitWords(line);
        if (tokens.empty() || tokens[0] != base || base == "SUBPATH") continue;
        return field >= 0 && static_cast<size_t>(field) < tokens.size() ? tokens[field] : "";
    }
    return "";
}

// The same output as parseDiskPathRows reads; rows of more than four fields whose group is not
// "-".
LVM::DeviceInfoList parseDiskPaths(std::string_view text) {
    std::string flat(text);
    for (char& c : flat) {
        if (c == '\t') c = ' ';
    }
    LVM::DeviceInfoList rows;
    std::vector<std::string> fields;
    for (const std::string& line : splitLines(flat)) {
        Split(line, " ", fields, SeparatorRuns::Collapse);
        if (fields.size() <= 4 || fields[3] == "-" || fields[0] == "SUBPATH") continue;
        rows.push_back(LVM::DeviceVGInfo{"/dev/" + fields[0], LVM_vxvm::vendor, fields[3]});
    }
    return rows;
}

}  // namespace vxvm
}  // namespace volbridge

using volbridge::CommandResult;
using volbridge::Operation;

void LVM_vxvm::getDGName(const std::string& dev_path, std::string& dg_name) {
    const volbridge::Origin here{"LVM_vxvm::getDGName", volbridge::unit::kVxvm};
    const std::string copy = dev_path.substr(0, 4095);
    const size_t last = copy.rfind('/');
    if (last != std::string::npos) {
        const std::string head = copy.substr(0, last);
        const size_t second = head.rfind('/');
        if (second != std::string::npos) dg_name = head.substr(second + 1);
    }
    if (dg_name.empty()) {
        here.fail("Error: could not obtain group name from dev_path = '" + dev_path + "'");
    }
}

void LVM_vxvm::getDiskOSName(const std::string& dg_name, const std::string& dm_name,
                             std::string& path) {
    const std::string found = volbridge::vxvm::GroupListing(dg_name).osDevice(dm_name);
    if (!found.empty()) path = found;
}

int LVM_vxvm::getDiskUuid(const std::string& dg_name, const char* dm_name, std::string& udid) {
    const Operation op("LVM_vxvm::getDiskUuid", volbridge::unit::kVxvm);
    auto cmd = op.command("vxdisk -g");
    cmd.word(dg_name, "the disk group name").literal(" list");
    cmd.word(dm_name ? dm_name : "", "the disk media name");
    return volbridge::vxvm::readUdid(op, cmd, ": \t\n", "udid", udid, [&](const CommandResult& r) {
        op.log(2, "Info: cmd: '%s' failed with the message: '%s'", cmd.text().c_str(),
               r.err.c_str());
    });
}

int LVM_vxvm::getOnDiskUuid(const std::string& dg_name, const char* dm_name, std::string& udid) {
    const Operation op("LVM_vxvm::getOnDiskUuid", volbridge::unit::kVxvm);
    auto cmd = op.command("vxdisk -g");
    cmd.word(dg_name, "the disk group name").literal(" -v list");
    cmd.word(dm_name ? dm_name : "", "the disk media name");
    return volbridge::vxvm::readUdid(op, cmd, ": \t\n=", "udid_asl", udid,
                                     [&](const CommandResult& r) {
                                         op.log(2, "Info: cmd: '%s' failed with the message: '%s'",
                                                cmd.text().c_str(), r.err.c_str());
                                     });
}

void LVM_vxvm::getDiskList(const char* dg_name, std::list<std::string>& names) {
    const Operation op("LVM_vxvm::getDiskList", volbridge::unit::kVxvm);
    auto cmd = op.command("vxprint -g");
    cmd.word(dg_name ? dg_name : "", "the disk group name").literal(" -d -F%da_name");
    names.splice(names.end(), volbridge::vxvm::parseNameList(op.mustRun(cmd).out));
}

void LVM_vxvm::getDiskField(const std::string& os_dev, int field, std::string& value) {
    const Operation op("LVM_vxvm::getDiskField", volbridge::unit::kVxvm);
    value.clear();
    const auto cmd = op.command("vxdisk -qe path");
    const CommandResult r = op.run(cmd);
    if (!r.succeeded()) {
        op.log(2, "Info: cmd: '%s' failed with the message: '%s'", cmd.text().c_str(),
               r.err.c_str());
        return;
    }
    const volbridge::vxvm::HostDisks host(r.out);
    const volbridge::vxvm::DiskPathRow* row = host.find(op.origin(), os_dev);
    if (!row) return;
    const std::string columns[] = {row->subpath, row->da, row->dm, row->group};
    if (field >= 0 && field < 4) value = columns[field];
}

void LVM_vxvm::getDiskidFromOSName(const std::string& dg_name, const std::string& os_dev,
                                   std::string& udid) {
    std::string dm;
    getDiskField(os_dev, 2, dm);
    // Without a disk media name "vxdisk -g <group> list" would list every disk of the group and
    // hand back the first one's udid: the device has no disk of the group then.
    if (dm.empty() || dm == "-") return;
    getDiskUuid(dg_name, dm.c_str(), udid);
}

std::string LVM_vxvm::convertDiskNameToDAName(const std::string&) { return "-"; }

std::string LVM_vxvm::convertDANameToDiskName(const std::string&) { return "-"; }
