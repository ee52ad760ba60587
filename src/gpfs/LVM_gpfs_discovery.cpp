// Discovery: recognising a GPFS file system, finding it by device or identifier, describing it
// as a group with its disks, its one volume and its metadata text, and listing the local NSDs.
#include <sys/time.h>

#include "core/ShellWord.h"
#include "core/Text.h"
#include "gpfs/gpfs_discovery.h"
#include "gpfs/gpfs_identity.h"
#include "gpfs/gpfs_internal.h"
#include "gpfs/gpfs_metadata.h"
#include "host/FXString.h"
#include "host/YBPlatformInfo.h"

namespace volbridge {
namespace gpfs {

namespace {

// The words of every non-empty line after the first line that begins with "------" (blanks and
// tabs trimmed first), as the listings of mmgetstate and mmlsnsd are read for the device list.
std::vector<std::vector<std::string>> rowsAfterDashes(std::string_view text) {
    std::vector<std::string> lines;
    FXString::Split(std::string(text), "\n", lines, FXString::KEEP_EMPTY);
    std::vector<std::vector<std::string>> rows;
    bool pastDashes = false;
    for (std::string& line : lines) {
        FXString::TrimWhiteSpace(line);
        if (line.empty()) continue;
        FXString::ReplaceAll(line, "\t", " ", 0);
        if (!pastDashes) {
            pastDashes = FXString::MatchLeft(line, "------");
            continue;
        }
        rows.push_back(splitWords(line));
    }
    return rows;
}

}  // namespace

std::vector<std::vector<std::string>> rowsAfterDashedLine(std::string_view text) {
    std::vector<std::vector<std::string>> rows;
    bool pastDashes = false;
    for (const std::string& line : splitLines(text)) {
        std::vector<std::string> words = splitWords(line);
        if (pastDashes) rows.push_back(words);
        if (!words.empty() && contains(words[0], "-------")) pastDashes = true;
    }
    return rows;
}

// One line per node after the dashed line; the node name is the second word:
//
//    Node number  Node name        GPFS state
//   ------------------------------------------
//          1      node1            active
std::string localNodeName(std::string_view text) {
    std::string node;
    for (const std::vector<std::string>& words : rowsAfterDashes(text)) {
        if (words.size() > 2) node = words[1];
    }
    return node;
}

bool namesNode(const std::string& column, const std::string& node) {
    if (node.empty() || !startsWith(column, node)) return false;
    return column.size() == node.size() || column[node.size()] == '.';
}

// One line per NSD and node; NSD name, volume id, device on that node, node name:
//
//    Disk name    NSD volume ID      Device         Node name                Remarks
//   ---------------------------------------------------------------------------------------
//    nsd1         0A0000015F3A2B01   /dev/sdb       node1                    server node
//    nsd1         0A0000015F3A2B01   /dev/sdb       node2                    server node
LVM::DeviceInfoList nsdsServedBy(std::string_view text, const std::string& node) {
    LVM::DeviceInfoList rows;
    for (const std::vector<std::string>& words : rowsAfterDashes(text)) {
        if (words.size() > 3 && namesNode(words[3], node)) {
            rows.push_back(LVM::DeviceVGInfo{words[2], LVM_gpfs::vendor, words[0]});
        }
    }
    return rows;
}

// A file system of this cluster:
//
//   flag                value                    description
//   ------------------- ------------------------ -----------------------------------
//    -T                 /gpfs/gpfs0              Default mount point
//
// and one GPFS does not know (exit status 1, on standard error):
//
//   mmlsfs: File system gpfs5 is not known to the GPFS cluster.
//   mmlsfs: Command failed. Examine previous error messages to determine cause.
Presence readPresence(const std::string& fs, const CommandResult& result) {
    if (result.status == 0 && result.err.empty()) {
        for (const std::vector<std::string>& words : rowsAfterDashedLine(result.out)) {
            if (!words.empty() && words[0] == "-T") return Presence::Present;
        }
        return Presence::Unknown;
    }
    const std::string unknown = "File system " + fs + " is not known to the GPFS cluster.";
    if (result.status != 0 && (contains(result.err, unknown) || contains(result.out, unknown))) {
        return Presence::Absent;
    }
    return Presence::Unknown;
}

Presence presenceOf(const Operation& op, const std::string& fs) {
    CommandLine cmd = op.command("mmlsfs");
    cmd.word(fs, "the file-system name").literal(" -T");
    const CommandResult r = op.run(cmd);
    const Presence presence = readPresence(fs, r);
    if (presence == Presence::Unknown) {
        op.fail("Error: cannot tell whether the file system " + fs +
                " exists: " + op.failureText(cmd, r));
    }
    return presence;
}

}  // namespace gpfs
}  // namespace volbridge

namespace {

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Operation;
using volbridge::gpfs::ValueKind;
namespace gpfs = volbridge::gpfs;
using Map = gpfs::Map;

const char kIsGpfs[] = "static int LVM_gpfs::isGPFSFileSystem(const std::string&)";
const char kNameFromDevice[] =
    "int LVM_gpfs::getGPFSFileSystemNamefromDevice(const std::string&, std::string&)";
const char kNameFromUuid[] =
    "int LVM_gpfs::getGPFSFileSystemNamefromUuid(const std::string&, std::string&)";
const char kFsParameters[] =
    "void LVM_gpfs::getFSParameters(const std::string&, LVM::VG&, const std::string*, const "
    "std::string*)";
const char kPopulatePV[] =
    "void LVM_gpfs::populatePV(LVM::VG&, const std::map<std::string, std::string>*)";
const char kPopulateLV[] =
    "void LVM_gpfs::populateLV(LVM::VG&, const std::map<std::string, std::string>*, const "
    "std::string*)";
const char kPopulateFS[] =
    "void LVM_gpfs::populateFS(const std::string&, LVM::VG&, const std::string*, const "
    "std::string*, const std::map<std::string, std::string>*, const std::map<std::string, "
    "std::string>*)";
const char kByDevice[] = "virtual LVM::VG LVM_gpfs::getVGByLVDevice(const char*)";
const char kByUuid[] = "virtual LVM::VG LVM_gpfs::getVGByUUID(const char*)";
const char kPVList[] = "virtual CWmError LVM_gpfs::getPVList(LVM::DeviceInfoList&)";

// The exit status of a shell that did not find the command.
constexpr int kCommandNotFound = 127;

// The device column of the disks of `fs` as seen from this node, each followed by ";", read from
// "mmlsdisk <fs> -m" (whose rows the disk identities are looked up in too).
std::string localDevices(const Operation& op, const std::string& fs) {
    std::string devices;
    gpfs::localDiskView(op, fs, &devices);
    op.log(0, "Info: mmlsdiskLocal: '%s' ", devices.c_str());
    if (devices.empty()) op.fail("Error: mmlsdiskLocal did not return disks!!!");
    return devices;
}

// The same column as seen over all nodes ("mmlsdisk <fs> -M").
std::string allDevices(const Operation& op, const std::string& fs) {
    CommandLine cmd = op.command("mmlsdisk");
    cmd.word(fs, "the file-system name")
        .literal(
            " -M 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag > 0 ) printf $3\";\"; if ($1 "
            "~/-------/) flag = 1;}'");
    const CommandResult r = gpfs::listed(op, cmd);
    if (!op.succeeded(r)) {
        op.logFailure(cmd, r);
        op.fail(op.failureText(cmd, r));
    }
    op.log(0, "Info: mmlsdiskAll: '%s' ", r.out.c_str());
    if (r.out.empty()) op.fail("Error: mmlsdiskAll did not return disks!!!");
    return r.out;
}

// The failure group configured for `fs`, or `current` when none is.
int configuredFailureGroup(const Operation& op, const std::string& fs, int current) {
    std::string lower = fs;
    FXString::ToLower(lower);
    std::string key = "nGPFSFAILUREGROUPNUM_" + lower;
    if (key.size() > 1023) key.resize(1023);
    int value = -1;
    if (YBPlatformInfo::getRegInt("~Oxbrook", key.c_str(), &value)) {
        op.log(0, "%s is set.", key.c_str());
        // The metadata keeps at most 9 characters of it.
        if (!gpfs::writableFailureGroup(value)) {
            op.fail("Error: the configured failure group " + std::to_string(value) + " of " + key +
                    " cannot stand in GPFS metadata");
        }
        current = value;
    }
    op.log(0, "%s set to %d", key.c_str(), current);
    return current;
}

// The captured value for `key`, walking the map in key order as the log shows; empty when the
// map has no such key.
std::string capturedPvId(const Operation& op, const Map& pvMap, const std::string& device) {
    for (const auto& entry : pvMap) {
        op.log(0, "++++++PRINTING device path [%s] pv_map_it->first [%s]", device.c_str(),
               entry.first.c_str());
        if (entry.first == device) return entry.second;
    }
    return std::string();
}

// The captured identifier of the file system's volume `device`, or empty.
std::string capturedLvId(const Operation& op, const Map& lvMap, const std::string& device,
                         const std::string* orig_name) {
    op.log(0, "++++++lv_map_p is not NULL");
    for (const auto& entry : lvMap) {
        if (orig_name) op.log(0, "old_lv_name '%s'", orig_name->c_str());
        op.log(2, "lv_map_it->first [%s] ", entry.first.c_str());
        op.log(2, "lv_map_it->second [%s] ", entry.second.c_str());
        if (entry.first == device) {
            op.log(0, "++++++SETTING in loop+++++++++=LV OLDUUID IS %s  lv_map_it->second IS %s",
                   device.c_str(), entry.second.c_str());
            return entry.second;
        }
    }
    return std::string();
}

// A new unique id for the snapshot being captured: the seconds and microseconds of the time of
// day, written one after the other.
std::string newUniqueId(const Operation& op) {
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) {
        const char message[] = "Error!!! gettimeofday returned error.";
        op.log(0, "%s", message);
        op.fail(message);
    }
    return std::to_string(static_cast<long long>(now.tv_sec)) +
           std::to_string(static_cast<long long>(now.tv_usec));
}

}  // namespace

int LVM_gpfs::isGPFSFileSystem(const std::string& dev) {
    const Operation op(kIsGpfs, volbridge::unit::kGpfs);
    if (!volbridge::isShellWord(dev)) {
        // Backend selection asks this of any device path: one that cannot be a GPFS device is
        // simply not one. A probe that answers "no" is no error: the line is for a debug log.
        op.log(2, "device '%s' is NOT GPFS filesystem [%s]", volbridge::printable(dev).c_str(),
               "not a device name");
        return 1;
    }
    CommandLine cmd = op.command("mmlsfs");
    cmd.word(dev, "the device path")
        .literal(
            " -T 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag>0) print $2; if ($1 ~/-------/) "
            "flag =1;}'");
    const CommandResult r = op.run(cmd);
    if (!op.succeeded(r)) {
        op.error("Could not execute cmd: '%s' Err: '%s'", cmd.text().c_str(),
                 volbridge::quotedOutput(r.err).c_str());
        return 1;
    }
    if (r.out.empty()) {
        op.log(2, "device '%s' is NOT GPFS filesystem [%s]", dev.c_str(),
               volbridge::quotedOutput(r.out).c_str());
        return 1;
    }
    op.log(0, "device '%s' is GPFS filesystem", dev.c_str());
    return 0;
}

int LVM_gpfs::getGPFSFileSystemNamefromDevice(const std::string& dev, std::string& fsName) {
    const Operation op(kNameFromDevice, volbridge::unit::kGpfs);
    if (dev.empty()) {
        op.error("devPath is empty");
        return 1;
    }
    const size_t slash = dev.rfind('/');
    if (slash == std::string::npos) return 1;
    fsName = dev.substr(slash + 1);
    op.log(3, "fsName = '%s'", fsName.c_str());
    return 0;
}

int LVM_gpfs::getGPFSFileSystemNamefromUuid(const std::string& fsId, std::string& fsName) {
    const Operation op(kNameFromUuid, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    if (fsId.empty()) {
        op.error("devUuid is empty");
        return 1;
    }
    // The identifier stands inside the awk pattern, between blanks.
    CommandLine cmd = op.command("mmfsadm dump fs | awk '{ if ( $0 ~/ ");
    cmd.arg(fsId, "the file-system identifier").literal(" / ){ printf $6; } }'");
    const CommandResult r = gpfs::listed(op, cmd);
    if (!op.succeeded(r)) {
        op.logFailure(cmd, r);
        return 1;
    }
    op.log(0, "Info: Out: '%s' ", r.out.c_str());
    if (r.out.empty()) {
        op.error("Error: mmfsadm output for this uuid is empty!!!");
        return 1;
    }
    fsName = r.out;
    op.log(0, "+++++FS name IS %s", fsName.c_str());
    return 0;
}

void LVM_gpfs::getFSParameters(const std::string& fs, VG& vg, const std::string* orig_name,
                               const std::string* orig_uuid) {
    const Operation op(kFsParameters, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    op.log(3, "Entering [%s] fs =[%s]", kFsParameters, fs.c_str());
    vg.name = fs;
    // The name stands inside the awk pattern: a blank before it, the end of the line after it.
    CommandLine cmd = op.command("mmfsadm dump fs | awk '{ if ( $0 ~/ ");
    cmd.arg(fs, "the file-system name").literal("$/ ){ printf $4; } }'");
    const std::string fsId = gpfs::listing(op, cmd);
    op.log(0, "Info: Out: '%s' ", fsId.c_str());
    if (fsId.empty()) op.fail("Error: FS GUID is empty!!!");
    vg.uuid = fsId;
    op.log(0, "+++++VG UUID IS %s", vg.uuid.c_str());
    vg.vendor = vendor;
    collectFSMetadata(fs, vg.uuid, vg.metadata);
    if (orig_name && orig_uuid) {
        vg.orig_uuid = *orig_uuid;
        vg.orig_name = *orig_name;
    } else {
        vg.orig_uuid = vg.uuid;
        vg.orig_name = vg.name;
    }
}

void LVM_gpfs::populatePV(VG& vg, const Map* pvMap) {
    const Operation op(kPopulatePV, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    const std::string local = localDevices(op, vg.name);
    const std::string all = allDevices(op, vg.name);
    m_failureGroup = configuredFailureGroup(op, vg.name, m_failureGroup);
    // Without a failure group every disk is taken, so every disk must have a device here.
    if (m_failureGroup < 0 && local.size() != all.size()) {
        op.fail("Error: Make sure all the disks for the filesystem: '" + vg.name +
                "' are locally available");
    }

    Map ids;
    generatePVId(vg.name, ids);
    // The second half of the discovery describes the volume with the same disks.
    gpfs::rememberIdentity(vg.name, ids);
    vg.metadata += gpfs::kPvToken;
    for (const auto& entry : ids) {
        PV pv;
        pv.device = entry.first;
        pv.uuid = entry.second;
        vg.metadata += gpfs::pvEntry(pv.device, pv.uuid);
        if (pvMap) {
            pv.orig_uuid = capturedPvId(op, *pvMap, pv.device);
            if (!pv.orig_uuid.empty()) {
                op.log(0,
                       "++++++SETTING in loop+++++++++=pv OLDUUID IS [%s]  pv_map_it->second IS "
                       "[%s]",
                       pv.device.c_str(), pv.orig_uuid.c_str());
            }
        }
        if (pv.orig_uuid.empty()) {
            pv.orig_uuid = pv.uuid;
            op.log(0, "++++++SETTING+++++++++=pv OLDUUID IS [%s]  pv UUID IS [%s]",
                   pv.orig_uuid.c_str(), pv.uuid.c_str());
        }
        vg.pvs[pv.uuid] = pv;
    }
    vg.metadata += gpfs::kPvToken;
}

void LVM_gpfs::populateLV(VG& vg, const Map* lvMap, const std::string* orig_name) {
    const Operation op(kPopulateLV, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    op.log(3, "Entering fs =[%s]", vg.name.c_str());
    LV lv;
    lv.device = "/dev/" + vg.name;
    lv.uuid = vg.uuid;
    // The disks populatePV found in this discovery; on its own the identities are read here.
    Map ids;
    if (const Map* found = gpfs::rememberedIdentity(vg.name)) {
        ids = *found;
    } else {
        generatePVId(lv.device, ids);
    }
    for (const auto& entry : ids) lv.pvs.push_back(entry.second);
    if (lvMap) lv.orig_uuid = capturedLvId(op, *lvMap, lv.device, orig_name);
    if (lv.orig_uuid.empty()) {
        lv.orig_uuid = lv.uuid;
        op.log(0, "++++++SETTING+++++++++=lv OLDUUID IS [%s]  lv UUID IS [%s]",
               lv.orig_uuid.c_str(), lv.uuid.c_str());
    }
    vg.lvs[lv.uuid] = lv;
    vg.metadata += gpfs::lvItem(lv.device, lv.uuid);

    const std::string uniqueId = newUniqueId(op);
    setUniqueId(uniqueId);
    vg.metadata += gpfs::uniqueIdItem(uniqueId);
    vg.metadata += gpfs::failureGroupItem(m_failureGroup);
    vg.metadata += gpfs::excludeListItem(m_excludeList);
}

void LVM_gpfs::populateFS(const std::string& fs, VG& vg, const std::string* orig_name,
                          const std::string* orig_uuid, const Map* pvMap, const Map* lvMap) {
    const Operation op(kPopulateFS, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    getFSParameters(fs, vg, orig_name, orig_uuid);
    populatePV(vg, pvMap);
    populateLV(vg, lvMap, orig_name);
}

LVM::VG LVM_gpfs::getVGByLVDevice(const char* dev) {
    const Operation op(kByDevice, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    try {
        op.log(3, "Entering '%s'", kByDevice);
        if (!dev) op.fail("Error: dev_path is NULL");
        std::string fs;
        if (getGPFSFileSystemNamefromDevice(dev, fs) != 0) {
            op.fail("Error: no file-system name in the device path '" + volbridge::printable(dev) +
                    "'");
        }
        VG vg;
        populateFS(fs, vg, nullptr, nullptr, nullptr, nullptr);
        op.log(0, "Info: [%s] belong to VG [%s]", dev, vg.name.c_str());
        return vg;
    } catch (...) {
        gpfs::throwAgain(op, "Exception in getVGByLVDevice", gpfs::ErrorNumber::Kept60606);
    }
}

LVM::VG LVM_gpfs::getVGByUUID(const char* uuid) {
    const Operation op(kByUuid, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    try {
        op.log(3, "Entering '%s'", kByUuid);
        if (!uuid) op.fail("Error: uuid is NULL");
        volbridge::requireShellWord(uuid, "the file-system identifier", op.func(), op.unit(),
                                    __LINE__);
        std::string fs;
        if (getGPFSFileSystemNamefromUuid(uuid, fs) != 0) {
            op.fail(std::string("Error: no GPFS file system has the identifier '") + uuid + "'");
        }
        VG vg;
        populateFS(fs, vg, nullptr, nullptr, nullptr, nullptr);
        op.log(0, "Info: [%s] belong to VG [%s]", uuid, vg.name.c_str());
        return vg;
    } catch (...) {
        gpfs::throwAgain(op, "Exception in getVGByUUID", gpfs::ErrorNumber::Kept60606);
    }
}

CWmError LVM_gpfs::getPVList(DeviceInfoList& list) {
    const Operation op(kPVList, volbridge::unit::kGpfs);
    CommandResult r = op.run(op.command("mmgetstate"));
    if (r.status == kCommandNotFound) {
        // Most hosts have no GPFS at all; a listing over every backend must not fail for them,
        // nor show them a line about it.
        op.log(2, "mmgetstate is not installed: no GPFS devices on this host (%s)",
               volbridge::quotedOutput(r.err).c_str());
        return CWmError::Success();
    }
    if (r.status != 0) {
        op.error("CMD:mmgetstate status\nOUT:\n%s\nError:\n%s", r.out.c_str(), r.err.c_str());
        return FXErrorUtil::ErrorErrNo(FXCodeLocation(volbridge::unit::kGpfs, kPVList, __LINE__),
                                       22, "mmgetstate failed");
    }
    const std::string node = gpfs::localNodeName(r.out);

    r = op.run(op.command("mmlsnsd -m"));
    if (r.status != 0) {
        op.error("CMD:mmlsnsd status\nOUT:\n%s\nError:\n%s", r.out.c_str(), r.err.c_str());
        return FXErrorUtil::ErrorErrNo(FXCodeLocation(volbridge::unit::kGpfs, kPVList, __LINE__),
                                       22, "mmlsnsd failed");
    }
    LVM::DeviceInfoList rows = gpfs::nsdsServedBy(r.out, node);
    list.splice(list.end(), rows);
    return CWmError::Success();
}
