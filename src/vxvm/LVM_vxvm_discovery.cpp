// Discovery: the disk group of a volume or of an id, its disks and volumes, and the captured
// metadata text that clone import and revert read back.
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/Text.h"
#include "host/LogWriter.h"
#include "vxvm/vxvm_internal.h"
#include "vxvm/vxvm_listing.h"

namespace volbridge {
namespace vxvm {

// Output of "vxdg list datadg" (key, ":", value; a value holding ":" is cut there):
//   Group:     datadg
//   dgid:      1234567890.12.hostA
//   cluster-actv-modes: node1=sw node2=sw        (shared groups only)
DgParameters parseDgParameters(std::string_view text) {
    DgParameters params;
    for (const std::string& rawLine : splitLines(text)) {
        const std::string line = trimLine(rawLine);
        if (line.empty()) continue;
        const std::vector<std::string> fields = splitFields(line, ':');
        if (fields.size() < 2) continue;
        const std::string key = trimBlanks(fields[0]);
        const std::string value = trimBlanks(fields[1]);
        if (strcasecmp(key.c_str(), "dgid") == 0) {
            params.dgid = value;
        } else if (strcasecmp(key.c_str(), "Group") == 0) {
            params.name = value;
        } else if (strcasecmp(key.c_str(), "cluster-actv-modes") == 0) {
            params.shared = true;
            params.cluster_modes = value;
        }
    }
    return params;
}

// Output of "vxdg list" (name, state, id):
//   NAME         STATE           ID
//   datadg       enabled,cds          1234567890.12.hostA
std::string parseDgNameById(std::string_view text, const std::string& id) {
    for (const std::string& rawLine : splitLines(text)) {
        const std::string line = trimSpace(trimLine(rawLine));
        if (trimBlanks(line).empty()) continue;
        const std::vector<std::string> fields = splitWords(line);
        if (std::find(fields.begin(), fields.end(), id) == fields.end()) continue;
        std::string name = line.substr(0, line.find(' '));
        name = name.substr(0, name.find('\t'));
        if (!name.empty()) return name;
    }
    return "";
}

// Output of "vxdg -q list" (name, state, id; no header):
//   datadg       enabled,cds          1234567890.12.hostA
std::list<std::string> parseDgNames(std::string_view text) {
    std::vector<std::string> tokens;
    Tokenize(std::string(text), tokens, " \t\n");
    std::list<std::string> names;
    for (size_t i = 0; i < tokens.size(); i += 3) names.push_back(tokens[i]);
    return names;
}

// Output of "vxprint -g datadg -v -F%guid:%name":
//   {5f0a6c4e-7b21-11ee-9d2a-005056a1b201}:vol01
std::vector<std::pair<std::string, std::string>> parseGuidNames(std::string_view text) {
    std::vector<std::string> tokens;
    Tokenize(std::string(text), tokens, "{}:\n");
    std::vector<std::pair<std::string, std::string>> volumes;
    for (size_t i = 0; i + 1 < tokens.size(); i += 2)
        volumes.emplace_back(tokens[i], tokens[i + 1]);
    return volumes;
}

// Output of "vxprint -hqtps -g datadg" (plexes and their subdisks, hierarchy order):
//   pl vol02-01     vol02        ENABLED  ACTIVE   4194304  STRIPE    2/128    RW
//   sd datadg02-02  vol02-01     datadg02 2097152  2097152  0/0       emc0_0a1c ENA
// A layered volume's plex holds subvolumes, whose own plexes hold the subdisks:
//   pl testvol-04   testvol      ENABLED  ACTIVE   10240    CONCAT    -        RW
//   sv testvol-S01  testvol-04   testvol-L01 1     10240    0         3/3      ENA
//   pl testvol-P01  testvol-L01  ENABLED  ACTIVE   10240    CONCAT    -        RW
//   sd disk01-04    testvol-P01  disk01   16240    10240    0         c1t5d2   ENA
std::list<std::string> parseVolumeDisks(std::string_view text, const std::string& volume) {
    std::set<std::string> volumes{volume};
    std::set<std::string> plexes;
    std::list<std::string> disks;
    for (const std::string& line : splitLines(text)) {
        const std::vector<std::string> tokens = splitWords(line);
        if (tokens.size() >= 3 && tokens[0] == "pl" && volumes.count(tokens[2])) {
            plexes.insert(tokens[1]);
        } else if (tokens.size() >= 4 && tokens[0] == "sv" && plexes.count(tokens[2])) {
            volumes.insert(tokens[3]);
        } else if (tokens.size() >= 4 && tokens[0] == "sd" && plexes.count(tokens[2])) {
            disks.push_back(tokens[3]);
        }
    }
    return disks;
}

}  // namespace vxvm
}  // namespace volbridge

using volbridge::CommandResult;
using volbridge::Operation;
using volbridge::vxvm::appendCapturedRecord;
using volbridge::vxvm::GroupListing;

namespace {

// A volume's disk change log: a volume "<data volume>_dcl" of usage type "gen", which VxVM lists
// beside its data volume. It belongs to the data volume (its disks are the data volume's too),
// not to the record as a volume of its own:
//   dc zoo_dco      zoo          -        -        -        -
//   v  zoo_dcl      gen          ENABLED  132      -        ACTIVE
std::string dataVolumeOfLog(GroupListing& listing, const std::string& volume) {
    const std::string suffix = "_dcl";
    if (volume.size() <= suffix.size() ||
        volume.compare(volume.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return "";
    }
    const std::string data = volume.substr(0, volume.size() - suffix.size());
    bool listed = false;
    for (const auto& entry : listing.volumes()) listed = listed || entry.second == data;
    if (!listed) return "";
    LVM_vxvm::VXLV log;
    volbridge::vxvm::parse_metadata(log, listing.description(volume).c_str());
    return volbridge::vxvm::volumeUsageType(log.vol_record) == "gen" ? data : "";
}

// The udids of the disks under the volume, sorted, without repeats.
std::list<std::string> volumeUdids(GroupListing& listing, const std::string& volume) {
    std::list<std::string> udids;
    for (const std::string& dm : listing.volumeDisks(volume)) udids.push_back(listing.udid(dm));
    udids.sort();
    udids.unique();
    return udids;
}

void describeDisks(GroupListing& listing, LVM::VG& vg,
                   const std::map<std::string, LVM_vxvm::VXPV>& captured) {
    const Operation op("LVM_vxvm::populatePV", volbridge::unit::kVxvm);
    std::map<std::string, std::string> diskOfUdid;
    for (const std::string& dm : listing.diskMediaNames()) {
        LVM::PV pv;
        pv.uuid = listing.udid(dm);
        // Two disks under one udid would leave one of them out of the record.
        auto [other, fresh] = diskOfUdid.emplace(pv.uuid, dm);
        if (!fresh) {
            op.fail("Error: the disks '" + other->second + "' and '" + dm + "' of disk group '" +
                    vg.name + "' show the same udid '" + pv.uuid + "'");
        }
        pv.device = listing.osDevice(dm);
        appendCapturedRecord(vg.metadata, {"pv", dm, pv.uuid});
        auto known = captured.find(dm);
        if (known != captured.end()) pv.orig_uuid = known->second.uuid;
        if (pv.orig_uuid.empty()) pv.orig_uuid = pv.uuid;

        const std::string& records = listing.diskRecords(dm);
        volbridge::vxvm::get_mirror_plex(records.c_str(), dm.c_str(), pv.mirror_id);
        const bool mirrored = !pv.mirror_id.empty();
        if (mirrored)
            volbridge::vxvm::set_pv_state(records.c_str(), pv.mirror_id.c_str(), pv.state);
        op.log(2, "disk = '%s', is_mir = '%d', mirror_id = '%s', pv_state = %d", dm.c_str(),
               mirrored ? 1 : 0, pv.mirror_id.c_str(), static_cast<int>(pv.state));
        vg.pvs[pv.uuid] = pv;
    }
}

void describeVolumes(GroupListing& listing, LVM::VG& vg,
                     const std::map<std::string, LVM_vxvm::VXLV>& captured) {
    std::map<std::string, std::string> logOf;  // data volume -> its log volume
    for (const auto& entry : listing.volumes()) {
        const std::string data = dataVolumeOfLog(listing, entry.second);
        if (!data.empty()) logOf[data] = entry.second;
    }
    for (const auto& [guid, volume] : listing.volumes()) {
        if (!dataVolumeOfLog(listing, volume).empty()) continue;
        LVM::LV lv;
        lv.uuid = guid;
        lv.device = "/dev/vx/dsk/" + vg.name + "/" + volume;
        lv.pvs = volumeUdids(listing, volume);
        auto log = logOf.find(volume);
        if (log != logOf.end()) {
            lv.pvs.merge(volumeUdids(listing, log->second));
            lv.pvs.unique();
        }
        appendCapturedRecord(vg.metadata, {"lv", volume, guid, listing.description(volume)});
        auto known = captured.find(volume);
        if (known != captured.end()) lv.orig_uuid = known->second.uuid;
        if (lv.orig_uuid.empty()) lv.orig_uuid = lv.uuid;
        if (!lv.pvs.empty()) {
            std::vector<std::string> fields{"lv_to_pv", volume};
            fields.insert(fields.end(), lv.pvs.begin(), lv.pvs.end());
            appendCapturedRecord(vg.metadata, fields);
        }
        vg.lvs[lv.uuid] = lv;
    }
}

// Runs `body`; any exception other than a YbException becomes one with `message`.
void asYbException(const char* func, const char* message, const std::function<void()>& body) {
    try {
        body();
    } catch (const YbException&) {
        throw;
    } catch (...) {
        volbridge::Origin{func, volbridge::unit::kVxvm}.fail(message);
    }
}

}  // namespace

LVM::VG LVM_vxvm::getVGByLVDevice(const char* dev_path) {
    const Operation op("LVM_vxvm::getVGByLVDevice", volbridge::unit::kVxvm);
    if (!dev_path) op.fail("Error: dev_path is NULL!");
    const std::string path = dev_path;
    struct stat st;
    if (stat((volbridge::vxvm::deviceRoot() + path).c_str(), &st) != 0) {
        op.fail("Error: stat on '" + path + "' failed with the error: '" + strerror(errno) + "'");
    }
    if (path.compare(0, 8, "/dev/vx/") != 0) {
        op.fail("Error: dev_path = '" + path + "' is not a VXVM path");
    }
    std::string dg_name;
    getDGName(path, dg_name);
    VG vg;
    VXDG none;
    populateDG(dg_name, vg, none);
    op.log(2, "Info: '%s' belongs to DG '%s'", path.c_str(), dg_name.c_str());
    return vg;
}

LVM::VG LVM_vxvm::getVGByUUID(const char* uuid) {
    const Operation op("LVM_vxvm::getVGByUUID", volbridge::unit::kVxvm);
    const std::string id = uuid ? uuid : "";
    VG vg;
    try {
        // The id must be a whole field of the group's row: "12" is not the group
        // "1234567890.12.hostA".
        const CommandResult r = op.mustRun(op.command("vxdg list"));
        const std::string name = id.empty() ? "" : volbridge::vxvm::parseDgNameById(r.out, id);
        if (name.empty()) {
            op.log(0, "Info:can't find DG [%s].", id.c_str());
            return VG();
        }
        VXDG none;
        populateDG(name, vg, none);
        return vg;
    } catch (const YbException& e) {
        op.log(0, "Info:can't find DG [%s]. Reason:%s", id.c_str(), e.getMessage().c_str());
    } catch (...) {
        op.log(0, "Info:can't find DG [%s].", id.c_str());
    }
    vg.orig_uuid.clear();
    vg.uuid.clear();
    vg.name.clear();
    return vg;
}

CWmError LVM_vxvm::getPVList(DeviceInfoList& list) {
    static const char* const kFunc = "virtual CWmError LVM_vxvm::getPVList(LVM::DeviceInfoList&)";
    const Operation op(kFunc, volbridge::unit::kVxvm);
    const CommandResult r = op.run(op.command("vxdisk -qe path"));
    if (!r.succeeded()) {
        // Only a missing program means VxVM is not installed: nothing to list, not an error.
        // A VxVM error whose text happens to say "not found" is a failure like any other.
        if (r.status == 127) return CWmError::Success();
        g_ptrLogWriter->log(-1, kFunc, __LINE__, 0, 0, "CMD:vxdisk -qe path\nOUT:\n%s\nError:\n%s",
                            r.out.c_str(), r.err.c_str());
        return FXErrorUtil::ErrorErrNo(FXCodeLocation("LVM_vxvm", kFunc, __LINE__), 22,
                                       "vxdisk failed");
    }
    LVM::DeviceInfoList rows = volbridge::vxvm::parseDiskPaths(r.out);
    list.splice(list.end(), rows);
    return CWmError::Success();
}

void LVM_vxvm::populateDG(const std::string& dg_name, VG& vg, VXDG& captured) {
    // Each group-wide listing is read once for the whole description.
    getDGParameters(dg_name, vg, captured.name, captured.dgid);
    GroupListing listing(vg.name);
    asYbException("LVM_vxvm::populatePV", "Unknown Exception: Unable to populate PVs.",
                  [&] { describeDisks(listing, vg, captured.pvs); });
    asYbException("LVM_vxvm::populateLV", "Unknown Exception: Unable to populate LVs.",
                  [&] { describeVolumes(listing, vg, captured.lvs); });
}

void LVM_vxvm::getDGParameters(const std::string& dg_name, VG& vg, const std::string& orig_name,
                               const std::string& orig_uuid) {
    const Operation op("LVM_vxvm::getDGParameters", volbridge::unit::kVxvm);
    auto cmd = op.command("vxdg list");
    cmd.word(dg_name, "the disk group name");
    const volbridge::vxvm::DgParameters params =
        volbridge::vxvm::parseDgParameters(op.mustRun(cmd).out);
    // A record without the group's identity would be noticed only at restore.
    const auto require = [&](const std::string& value, const char* field) {
        if (value.empty()) {
            op.fail("Error: '" + cmd.text() + "' shows no " + field + " for the disk group '" +
                    dg_name + "'");
        }
    };
    require(params.name, "Group");
    require(params.dgid, "dgid");
    vg.uuid = params.dgid;
    vg.name = params.name;
    vg.vendor = vendor;
    vg.metadata.clear();
    if (params.shared) {
        appendCapturedRecord(vg.metadata, {"sdg", vg.name, vg.uuid});
        appendCapturedRecord(vg.metadata, {"CA", params.cluster_modes});
    } else {
        appendCapturedRecord(vg.metadata, {"dg", vg.name, vg.uuid});
    }
    vg.orig_uuid = orig_uuid.empty() ? vg.uuid : orig_uuid;
    vg.orig_name = orig_name.empty() ? vg.name : orig_name;
}

void LVM_vxvm::populatePV(VG& vg, const std::map<std::string, VXPV>& captured) {
    GroupListing listing(vg.name);
    asYbException("LVM_vxvm::populatePV", "Unknown Exception: Unable to populate PVs.",
                  [&] { describeDisks(listing, vg, captured); });
}

void LVM_vxvm::populateLV(VG& vg, const std::map<std::string, VXLV>& captured) {
    GroupListing listing(vg.name);
    asYbException("LVM_vxvm::populateLV", "Unknown Exception: Unable to populate LVs.",
                  [&] { describeVolumes(listing, vg, captured); });
}

void LVM_vxvm::fillPVList(const std::string& dg_name, const std::string& volume, LV& lv) {
    GroupListing listing(dg_name);
    lv.pvs.splice(lv.pvs.end(), volumeUdids(listing, volume));
    lv.pvs.sort();
    lv.pvs.unique();
}

void LVM_vxvm::getDGList(std::list<std::string>& names) {
    const Operation op("LVM_vxvm::getDGList", volbridge::unit::kVxvm);
    names.splice(names.end(),
                 volbridge::vxvm::parseDgNames(op.mustRun(op.command("vxdg -q list")).out));
}

bool LVM_vxvm::isDGPresent(const std::string& dg_name) {
    std::list<std::string> names;
    getDGList(names);
    return std::find(names.begin(), names.end(), dg_name) != names.end();
}
