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

namespace volbridge {
namespace vxvm {

// Output of "vxdg list datadg" (key, ":", value; a value holding ":" is cut there):
//   Group:     datadg
//   dgid:      1234567890.12.hostA
//   cluster-actv-modes: node1=sw node2=sw        (shared groups only)
DgParameters parseDgParameters(std::string_view text) {
    DgParameters params;
    std::vector<std::string> fields;
    for (const std::string& rawLine : splitLines(text)) {
        const std::string line = trimLine(rawLine);
        if (line.empty()) continue;
        Split(line, ":", fields, SeparatorRuns::Keep);
        if (fields.size() < 2) continue;
        const std::string key = trimSpace(fields[0]);
        const std::string value = trimSpace(fields[1]);
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
std::list<std::string> parseVolumeDisks(std::string_view text, const std::string& volume) {
    std::set<std::string> plexes;
    std::list<std::string> disks;
    for (const std::string& line : splitLines(text)) {
        const std::vector<std::string> tokens = splitWords(line);
        if (tokens.size() >= 3 && tokens[0] == "pl" && tokens[2] == volume) {
            plexes.insert(tokens[1]);
        } else if (tokens.size() >= 4 && tokens[0] == "sd" && plexes.count(tokens[2])) {
            disks.push_back(tokens[3]);
        }
    }
    return disks;
}

}  // namespace vxvm
}  // namespace volbridge

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Origin;
using volbridge::vxvm::appendCapturedRecord;
using volbridge::vxvm::commandFailure;

namespace {

const char* const kUnavailable = "Unavailable";

}  // namespace

LVM::VG LVM_vxvm::getVGByLVDevice(const char* dev_path) {
    const Origin here{"LVM_vxvm::getVGByLVDevice", volbridge::unit::kVxvm};
    if (!dev_path) here.fail("Error: dev_path is NULL!");
    const std::string path = dev_path;
    struct stat st;
    if (stat((volbridge::vxvm::deviceRoot() + path).c_str(), &st) != 0) {
        here.fail("Error: stat on '" + path + "' failed with the error: '" + strerror(errno) + "'");
    }
    if (path.compare(0, 8, "/dev/vx/") != 0) {
        here.fail("Error: dev_path = '" + path + "' is not a VXVM path");
    }
    std::string dg_name;
    getDGName(path, dg_name);
    VG vg;
    VXDG none;
    populateDG(dg_name, vg, none);
    debug_->Debug(here.func, "Info: '%s' belongs to DG '%s'", path.c_str(), dg_name.c_str());
    return vg;
}

LVM::VG LVM_vxvm::getVGByUUID(const char* uuid) {
    const Origin here{"LVM_vxvm::getVGByUUID", volbridge::unit::kVxvm};
    const std::string id = uuid ? uuid : "";
    VG vg;
    try {
        const CommandLine cmd(here, "vxdg list");
        const CommandResult r = run(cmd);
        if (!r.succeeded()) here.fail(commandFailure(cmd.text(), r.err));
        // The id must be a whole field of the group's row: "12" is not the group
        // "1234567890.12.hostA".
        const std::string name = id.empty() ? "" : volbridge::vxvm::parseDgNameById(r.out, id);
        if (name.empty()) {
            debug_->DebugLvl(here.func, 0, "Info:can't find DG [%s].", id.c_str());
            return VG();
        }
        VXDG none;
        populateDG(name, vg, none);
        return vg;
    } catch (const YbException& e) {
        debug_->DebugLvl(here.func, 0, "Info:can't find DG [%s]. Reason:%s", id.c_str(),
                         e.getMessage().c_str());
    } catch (...) {
        debug_->DebugLvl(here.func, 0, "Info:can't find DG [%s].", id.c_str());
    }
    vg.orig_uuid.clear();
    vg.uuid.clear();
    vg.name.clear();
    return vg;
}

CWmError LVM_vxvm::getPVList(DeviceInfoList& list) {
    static const char* const kFunc = "virtual CWmError LVM_vxvm::getPVList(LVM::DeviceInfoList&)";
    const Origin here{kFunc, volbridge::unit::kVxvm};
    const CommandResult r = run(CommandLine(here, "vxdisk -qe path"));
    if (!r.succeeded()) {
        // Without VxVM the shell says "vxdisk: not found": nothing to list, not an error.
        if (volbridge::contains(r.err, "not found")) return CWmError::Success();
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
    getDGParameters(dg_name, vg, captured.name, captured.dgid);
    populatePV(vg, captured.pvs);
    populateLV(vg, captured.lvs);
}

void LVM_vxvm::getDGParameters(const std::string& dg_name, VG& vg, const std::string& orig_name,
                               const std::string& orig_uuid) {
    const Origin here{"LVM_vxvm::getDGParameters", volbridge::unit::kVxvm};
    CommandLine cmd(here, "vxdg list");
    cmd.word(dg_name, "the disk group name");
    const CommandResult r = run(cmd);
    if (!r.succeeded()) here.fail(commandFailure(cmd.text(), r.err));

    const volbridge::vxvm::DgParameters params = volbridge::vxvm::parseDgParameters(r.out);
    if (!params.dgid.empty()) vg.uuid = params.dgid;
    if (!params.name.empty()) vg.name = params.name;
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
    const Origin here{"LVM_vxvm::populatePV", volbridge::unit::kVxvm};
    try {
        CommandLine cmd(here, "vxprint -g");
        cmd.word(vg.name, "the disk group name").literal(" -d -F%name");
        const CommandResult r = run(cmd);
        if (!r.succeeded()) here.fail(commandFailure(cmd.text(), r.err));

        for (const std::string& dm : volbridge::splitLines(r.out)) {
            PV pv;
            // A disk whose udid cannot be read is still listed, as "Unavailable".
            if (getDiskUuid(vg.name, dm.c_str(), pv.uuid) != 0 || pv.uuid.empty()) {
                pv.uuid = kUnavailable;
            }
            getDiskOSName(vg.name, dm, pv.device);
            appendCapturedRecord(vg.metadata, {"pv", dm, pv.uuid});
            auto known = captured.find(dm);
            if (known != captured.end()) pv.orig_uuid = known->second.uuid;
            if (pv.orig_uuid.empty()) pv.orig_uuid = pv.uuid;

            std::string records;
            volbridge::vxvm::get_disk_info(vg.name.c_str(), dm.c_str(), records);
            volbridge::vxvm::get_mirror_plex(records.c_str(), dm.c_str(), pv.mirror_id);
            const bool mirrored = !pv.mirror_id.empty();
            if (mirrored) {
                volbridge::vxvm::set_pv_state(records.c_str(), pv.mirror_id.c_str(), pv.state);
            }
            debug_->Debug(here.func, "disk = '%s', is_mir = '%d', mirror_id = '%s', pv_state = %d",
                          dm.c_str(), mirrored ? 1 : 0, pv.mirror_id.c_str(),
                          static_cast<int>(pv.state));
            vg.pvs[pv.uuid] = pv;
        }
    } catch (const YbException&) {
        throw;
    } catch (...) {
        here.fail("Unknown Exception: Unable to populate PVs.");
    }
}

void LVM_vxvm::populateLV(VG& vg, const std::map<std::string, VXLV>& captured) {
    const Origin here{"LVM_vxvm::populateLV", volbridge::unit::kVxvm};
    try {
        CommandLine cmd(here, "vxprint -g");
        cmd.word(vg.name, "the disk group name").literal(" -v -F%guid:%name");
        const CommandResult r = run(cmd);
        if (!r.succeeded()) here.fail(commandFailure(cmd.text(), r.err));

        for (const auto& [guid, volume] : volbridge::vxvm::parseGuidNames(r.out)) {
            LV lv;
            lv.uuid = guid;
            lv.device = "/dev/vx/dsk/" + vg.name + "/" + volume;
            fillPVList(vg.name, volume, lv);

            CommandLine describe(here, "vxprint -g");
            describe.word(vg.name, "the disk group name").literal(" -mr -v");
            describe.word(volume, "the volume name");
            const CommandResult description = run(describe);
            if (!description.succeeded()) {
                here.fail(commandFailure(describe.text(), description.err));
            }
            appendCapturedRecord(vg.metadata, {"lv", volume, guid, description.out});

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
    } catch (const YbException&) {
        throw;
    } catch (...) {
        here.fail("Unknown Exception: Unable to populate LVs.");
    }
}

void LVM_vxvm::fillPVList(const std::string& dg_name, const std::string& volume, LV& lv) {
    const Origin here{"LVM_vxvm::fillPVList", volbridge::unit::kVxvm};
    CommandLine cmd(here, "vxprint -hqtps -g");
    cmd.word(dg_name, "the disk group name");
    const CommandResult r = run(cmd);
    if (!r.succeeded()) here.fail(commandFailure(cmd.text(), r.err));

    for (const std::string& dm : volbridge::vxvm::parseVolumeDisks(r.out, volume)) {
        std::string udid;
        if (getDiskUuid(dg_name, dm.c_str(), udid) != 0 || udid.empty()) udid = kUnavailable;
        lv.pvs.push_back(udid);
    }
    lv.pvs.sort();
    lv.pvs.unique();
}

void LVM_vxvm::getDGList(std::list<std::string>& names) {
    const Origin here{"LVM_vxvm::getDGList", volbridge::unit::kVxvm};
    const CommandLine cmd(here, "vxdg -q list");
    const CommandResult r = run(cmd);
    if (!r.succeeded()) here.fail(commandFailure(cmd.text(), r.err));
    names.splice(names.end(), volbridge::vxvm::parseDgNames(r.out));
}

bool LVM_vxvm::isDGPresent(const std::string& dg_name) {
    std::list<std::string> names;
    getDGList(names);
    return std::find(names.begin(), names.end(), dg_name) != names.end();
}
