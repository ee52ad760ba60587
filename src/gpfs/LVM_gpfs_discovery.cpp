// Discovery: recognising a GPFS file system, finding it by device or identifier, describing it
// as a group with its disks, its one volume and its metadata text, and listing the local NSDs.
#include <sys/time.h>

#include "core/ShellWord.h"
#include "core/Text.h"
#include "gpfs/gpfs_internal.h"
#include "host/FXString.h"
#include "host/LogWriter.h"
#include "host/YBPlatformInfo.h"

namespace volbridge {
namespace gpfs {

namespace {

// The words of every non-empty line after the first line that begins with "------" (blanks and
// tabs trimmed first), as the listings of mmgetstate and mmlsnsd are read.
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

}  // namespace gpfs
}  // namespace volbridge

namespace {

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Origin;
namespace gpfs = volbridge::gpfs;
using Map = std::map<std::string, std::string>;

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
const char kByDevice[] = "virtual LVM::VG LVM_gpfs::getVGByLVDevice(const char*)";
const char kByUuid[] = "virtual LVM::VG LVM_gpfs::getVGByUUID(const char*)";
const char kPVList[] = "virtual CWmError LVM_gpfs::getPVList(LVM::DeviceInfoList&)";

// The exit status of a shell that did not find the command.
constexpr int kCommandNotFound = 127;

// "mmlsdisk <fs> -m" (disks as seen from this node) or "-M" (from all nodes), reduced to the
// device column of every disk, each followed by ";".
CommandLine diskDevicesCommand(const Origin& here, const std::string& fs, const char* view) {
    CommandLine cmd(here, "mmlsdisk");
    cmd.word(fs, "the file-system name")
        .literal(std::string(" ") + view +
                 " 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag > 0 ) printf $3\";\"; if ($1 "
                 "~/-------/) flag = 1;}'");
    return cmd;
}

// The disk devices of `fs` in the view `view`; throws when the command fails or lists nothing.
std::string diskDevices(const Origin& here, const std::string& fs, const char* view,
                        const char* name) {
    const CommandLine cmd = diskDevicesCommand(here, fs, view);
    CommandResult r = volbridge::run(cmd);
    if (!r.succeededQuietly()) {
        g_ptrLogWriter->log(-1, here.func, __LINE__, 0, 0,
                            "Error: cmd: '%s' failed with error: '%s'", cmd.text().c_str(),
                            r.err.c_str());
        here.fail(gpfs::commandFailure(cmd, r));
    }
    g_ptrLogWriter->log(0, here.func, __LINE__, 0, 0, "Info: %s: '%s' ", name, r.out.c_str());
    if (r.out.empty()) here.fail(std::string("Error: ") + name + " did not return disks!!!");
    return r.out;
}

// The failure group configured for `fs`, or `current` when none is.
int configuredFailureGroup(const std::string& fs, int current) {
    std::string lower = fs;
    FXString::ToLower(lower);
    std::string key = "nGPFSFAILUREGROUPNUM_" + lower;
    if (key.size() > 1023) key.resize(1023);
    int value = -1;
    if (YBPlatformInfo::getRegInt("~Oxbrook", key.c_str(), &value)) {
        g_ptrLogWriter->log(0, kPopulatePV, __LINE__, 0, 0, "%s is set.", key.c_str());
        current = value;
    }
    g_ptrLogWriter->log(0, kPopulatePV, __LINE__, 0, 0, "%s set to %d", key.c_str(), current);
    return current;
}

// The captured value for `key`, walking the map in key order as the log shows; empty when the
// map has no such key.
std::string capturedPvId(const Map& pvMap, const std::string& device) {
    for (const auto& entry : pvMap) {
        g_ptrLogWriter->log(0, kPopulatePV, __LINE__, 0, 0,
                            "++++++PRINTING device path [%s] pv_map_it->first [%s]", device.c_str(),
                            entry.first.c_str());
        if (entry.first == device) return entry.second;
    }
    return std::string();
}

// The captured identifier of the file system's volume `device`, or empty.
std::string capturedLvId(const Map& lvMap, const std::string& device,
                         const std::string* orig_name) {
    g_ptrLogWriter->log(0, kPopulateLV, __LINE__, 0, 0, "++++++lv_map_p is not NULL");
    for (const auto& entry : lvMap) {
        if (orig_name) {
            g_ptrLogWriter->log(0, kPopulateLV, __LINE__, 0, 0, "old_lv_name '%s'",
                                orig_name->c_str());
        }
        g_ptrLogWriter->log(2, kPopulateLV, __LINE__, 0, 0, "lv_map_it->first [%s] ",
                            entry.first.c_str());
        g_ptrLogWriter->log(2, kPopulateLV, __LINE__, 0, 0, "lv_map_it->second [%s] ",
                            entry.second.c_str());
        if (entry.first == device) {
            g_ptrLogWriter->log(0, kPopulateLV, __LINE__, 0, 0,
                                "++++++SETTING in loop+++++++++=LV OLDUUID IS %s  "
                                "lv_map_it->second IS %s",
                                device.c_str(), entry.second.c_str());
            return entry.second;
        }
    }
    return std::string();
}

// A new unique id for the snapshot being captured: the seconds and microseconds of the time of
// day, written one after the other.
std::string newUniqueId(const Origin& here) {
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) {
        const char message[] = "Error!!! gettimeofday returned error.";
        g_ptrLogWriter->log(0, here.func, __LINE__, 0, 0, "%s", message);
        here.fail(message);
    }
    return std::to_string(static_cast<long long>(now.tv_sec)) +
           std::to_string(static_cast<long long>(now.tv_usec));
}

}  // namespace

int LVM_gpfs::isGPFSFileSystem(const std::string& dev) {
    const Origin here{kIsGpfs, volbridge::unit::kGpfs};
    CommandLine cmd(here, "mmlsfs");
    if (!volbridge::isShellWord(dev)) {
        // Backend selection asks this of any device path: one that cannot be a GPFS device is
        // simply not one. A probe that answers "no" is no error: the line is for a debug log.
        g_ptrLogWriter->log(2, kIsGpfs, __LINE__, 0, 0, "device '%s' is NOT GPFS filesystem [%s]",
                            volbridge::printable(dev).c_str(), "not a device name");
        return 1;
    }
    cmd.word(dev, "the device path")
        .literal(
            " -T 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag>0) print $2; if ($1 ~/-------/) "
            "flag =1;}'");
    CommandResult r = volbridge::run(cmd);
    if (!r.succeededQuietly()) {
        g_ptrLogWriter->log(-1, kIsGpfs, __LINE__, 0, 0, "Could not execute cmd: '%s' Err: '%s'",
                            cmd.text().c_str(), volbridge::quotedOutput(r.err).c_str());
        return 1;
    }
    if (r.out.empty()) {
        g_ptrLogWriter->log(2, kIsGpfs, __LINE__, 0, 0, "device '%s' is NOT GPFS filesystem [%s]",
                            dev.c_str(), volbridge::quotedOutput(r.out).c_str());
        return 1;
    }
    g_ptrLogWriter->log(0, kIsGpfs, __LINE__, 0, 0, "device '%s' is GPFS filesystem", dev.c_str());
    return 0;
}

int LVM_gpfs::getGPFSFileSystemNamefromDevice(const std::string& dev, std::string& fsName) {
    if (dev.empty()) {
        g_ptrLogWriter->log(-1, kNameFromDevice, __LINE__, 0, 0, "devPath is empty");
        return 1;
    }
    const size_t slash = dev.rfind('/');
    if (slash == std::string::npos) return 1;
    fsName = dev.substr(slash + 1);
    g_ptrLogWriter->log(3, kNameFromDevice, __LINE__, 0, 0, "fsName = '%s'", fsName.c_str());
    return 0;
}

int LVM_gpfs::getGPFSFileSystemNamefromUuid(const std::string& fsId, std::string& fsName) {
    const Origin here{kNameFromUuid, volbridge::unit::kGpfs};
    if (fsId.empty()) {
        g_ptrLogWriter->log(-1, kNameFromUuid, __LINE__, 0, 0, "devUuid is empty");
        return 1;
    }
    // The identifier stands inside the awk pattern, between blanks.
    CommandLine cmd(here, "mmfsadm dump fs | awk '{ if ( $0 ~/ ");
    cmd.arg(fsId, "the file-system identifier").literal(" / ){ printf $6; } }'");
    CommandResult r = volbridge::run(cmd);
    if (!r.succeededQuietly()) {
        g_ptrLogWriter->log(-1, kNameFromUuid, __LINE__, 0, 0,
                            "Error: cmd: '%s' failed with error: '%s'", cmd.text().c_str(),
                            r.err.c_str());
        return 1;
    }
    g_ptrLogWriter->log(0, kNameFromUuid, __LINE__, 0, 0, "Info: Out: '%s' ", r.out.c_str());
    if (r.out.empty()) {
        g_ptrLogWriter->log(-1, kNameFromUuid, __LINE__, 0, 0,
                            "Error: mmfsadm output for this uuid is empty!!!");
        return 1;
    }
    fsName = r.out;
    g_ptrLogWriter->log(0, kNameFromUuid, __LINE__, 0, 0, "+++++FS name IS %s", fsName.c_str());
    return 0;
}

void LVM_gpfs::getFSParameters(const std::string& fs, VG& vg, const std::string* orig_name,
                               const std::string* orig_uuid) {
    const Origin here{kFsParameters, volbridge::unit::kGpfs};
    g_ptrLogWriter->log(3, kFsParameters, __LINE__, 0, 0, "Entering [%s] fs =[%s]", kFsParameters,
                        fs.c_str());
    vg.name = fs;
    // The name stands inside the awk pattern: a blank before it, the end of the line after it.
    CommandLine cmd(here, "mmfsadm dump fs | awk '{ if ( $0 ~/ ");
    cmd.arg(fs, "the file-system name").literal("$/ ){ printf $4; } }'");
    const std::string fsId = gpfs::outputOf(here, cmd);
    g_ptrLogWriter->log(0, kFsParameters, __LINE__, 0, 0, "Info: Out: '%s' ", fsId.c_str());
    if (fsId.empty()) here.fail("Error: FS GUID is empty!!!");
    vg.uuid = fsId;
    g_ptrLogWriter->log(0, kFsParameters, __LINE__, 0, 0, "+++++VG UUID IS %s", vg.uuid.c_str());
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
    const Origin here{kPopulatePV, volbridge::unit::kGpfs};
    const std::string local = diskDevices(here, vg.name, "-m", "mmlsdiskLocal");
    const std::string all = diskDevices(here, vg.name, "-M", "mmlsdiskAll");
    m_failureGroup = configuredFailureGroup(vg.name, m_failureGroup);
    // Without a failure group every disk is taken, so every disk must have a device here.
    if (m_failureGroup == -1 && local.size() != all.size()) {
        here.fail("Error: Make sure all the disks for the filesystem: '" + vg.name +
                  "' are locally available");
    }

    Map ids;
    generatePVId(vg.name, ids);
    vg.metadata += gpfs::kPvToken;
    for (const auto& entry : ids) {
        PV pv;
        pv.device = entry.first;
        pv.uuid = entry.second;
        vg.metadata += gpfs::pvEntry(pv.device, pv.uuid);
        if (pvMap) {
            pv.orig_uuid = capturedPvId(*pvMap, pv.device);
            if (!pv.orig_uuid.empty()) {
                g_ptrLogWriter->log(0, kPopulatePV, __LINE__, 0, 0,
                                    "++++++SETTING in loop+++++++++=pv OLDUUID IS [%s]  "
                                    "pv_map_it->second IS [%s]",
                                    pv.device.c_str(), pv.orig_uuid.c_str());
            }
        }
        if (pv.orig_uuid.empty()) {
            pv.orig_uuid = pv.uuid;
            g_ptrLogWriter->log(0, kPopulatePV, __LINE__, 0, 0,
                                "++++++SETTING+++++++++=pv OLDUUID IS [%s]  pv UUID IS [%s]",
                                pv.orig_uuid.c_str(), pv.uuid.c_str());
        }
        vg.pvs[pv.uuid] = pv;
    }
    vg.metadata += gpfs::kPvToken;
}

void LVM_gpfs::populateLV(VG& vg, const Map* lvMap, const std::string* orig_name) {
    const Origin here{kPopulateLV, volbridge::unit::kGpfs};
    g_ptrLogWriter->log(3, kPopulateLV, __LINE__, 0, 0, "Entering fs =[%s]", vg.name.c_str());
    LV lv;
    lv.device = "/dev/" + vg.name;
    lv.uuid = vg.uuid;
    Map ids;
    generatePVId(lv.device, ids);
    for (const auto& entry : ids) lv.pvs.push_back(entry.second);
    if (lvMap) lv.orig_uuid = capturedLvId(*lvMap, lv.device, orig_name);
    if (lv.orig_uuid.empty()) {
        lv.orig_uuid = lv.uuid;
        g_ptrLogWriter->log(0, kPopulateLV, __LINE__, 0, 0,
                            "++++++SETTING+++++++++=lv OLDUUID IS [%s]  lv UUID IS [%s]",
                            lv.orig_uuid.c_str(), lv.uuid.c_str());
    }
    vg.lvs[lv.uuid] = lv;
    vg.metadata += gpfs::lvItem(lv.device, lv.uuid);

    const std::string uniqueId = newUniqueId(here);
    setUniqueId(uniqueId);
    vg.metadata += gpfs::uniqueIdItem(uniqueId);
    vg.metadata += gpfs::failureGroupItem(m_failureGroup);
    vg.metadata += gpfs::excludeListItem(m_excludeList);
}

void LVM_gpfs::populateFS(const std::string& fs, VG& vg, const std::string* orig_name,
                          const std::string* orig_uuid, const Map* pvMap, const Map* lvMap) {
    getFSParameters(fs, vg, orig_name, orig_uuid);
    populatePV(vg, pvMap);
    populateLV(vg, lvMap, orig_name);
}

LVM::VG LVM_gpfs::getVGByLVDevice(const char* dev) {
    const Origin here{kByDevice, volbridge::unit::kGpfs};
    try {
        g_ptrLogWriter->log(3, kByDevice, __LINE__, 0, 0, "Entering '%s'", kByDevice);
        if (!dev) here.fail("Error: dev_path is NULL");
        std::string fs;
        if (getGPFSFileSystemNamefromDevice(dev, fs) != 0) {
            here.fail("Error: no file-system name in the device path '" +
                      volbridge::printable(dev) + "'");
        }
        VG vg;
        populateFS(fs, vg, nullptr, nullptr, nullptr, nullptr);
        g_ptrLogWriter->log(0, kByDevice, __LINE__, 0, 0, "Info: [%s] belong to VG [%s]", dev,
                            vg.name.c_str());
        return vg;
    } catch (...) {
        gpfs::rethrowFrom(here, "Exception in getVGByLVDevice", gpfs::ErrorNumber::Kept60606);
    }
}

LVM::VG LVM_gpfs::getVGByUUID(const char* uuid) {
    const Origin here{kByUuid, volbridge::unit::kGpfs};
    try {
        g_ptrLogWriter->log(3, kByUuid, __LINE__, 0, 0, "Entering '%s'", kByUuid);
        if (!uuid) here.fail("Error: uuid is NULL");
        volbridge::requireShellWord(uuid, "the file-system identifier", here.func, here.unit,
                                    __LINE__);
        std::string fs;
        if (getGPFSFileSystemNamefromUuid(uuid, fs) != 0) {
            here.fail(std::string("Error: no GPFS file system has the identifier '") + uuid + "'");
        }
        VG vg;
        populateFS(fs, vg, nullptr, nullptr, nullptr, nullptr);
        g_ptrLogWriter->log(0, kByUuid, __LINE__, 0, 0, "Info: [%s] belong to VG [%s]", uuid,
                            vg.name.c_str());
        return vg;
    } catch (...) {
        gpfs::rethrowFrom(here, "Exception in getVGByUUID", gpfs::ErrorNumber::Kept60606);
    }
}

CWmError LVM_gpfs::getPVList(DeviceInfoList& list) {
    const Origin here{kPVList, volbridge::unit::kGpfs};
    const CommandLine state(here, "mmgetstate");
    CommandResult r = volbridge::run(state);
    if (r.status == kCommandNotFound) {
        // Most hosts have no GPFS at all; a listing over every backend must not fail for them,
        // nor show them a line about it.
        g_ptrLogWriter->log(2, kPVList, __LINE__, 0, 0,
                            "mmgetstate is not installed: no GPFS devices on this host (%s)",
                            volbridge::quotedOutput(r.err).c_str());
        return CWmError::Success();
    }
    if (r.status != 0) {
        g_ptrLogWriter->log(-1, kPVList, __LINE__, 0, 0,
                            "CMD:mmgetstate status\nOUT:\n%s\nError:\n%s", r.out.c_str(),
                            r.err.c_str());
        return FXErrorUtil::ErrorErrNo(FXCodeLocation(volbridge::unit::kGpfs, kPVList, __LINE__),
                                       22, "mmgetstate failed");
    }
    const std::string node = gpfs::localNodeName(r.out);

    r = volbridge::run(CommandLine(here, "mmlsnsd -m"));
    if (r.status != 0) {
        g_ptrLogWriter->log(-1, kPVList, __LINE__, 0, 0, "CMD:mmlsnsd status\nOUT:\n%s\nError:\n%s",
                            r.out.c_str(), r.err.c_str());
        return FXErrorUtil::ErrorErrNo(FXCodeLocation(volbridge::unit::kGpfs, kPVList, __LINE__),
                                       22, "mmlsnsd failed");
    }
    LVM::DeviceInfoList rows = gpfs::nsdsServedBy(r.out, node);
    list.splice(list.end(), rows);
    return CWmError::Success();
}
