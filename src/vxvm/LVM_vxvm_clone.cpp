// Clone import: a disk group made usable from snapshot clones of its disks, under a new name and
// a new id, while the source group may still be imported on this host.
//
// The clones carry the source group's id, so the import takes exactly the clone disks by a tag
// set on each of them, with VxVM's clone and update-id import. Everything the import will use is
// checked before the first tag is set; one import runs at a time on a host (the import lock),
// and a clone disk that already belongs to an imported group is refused before it is touched.
// Whatever fails afterwards, the run undoes what it did and nothing else: the tag it set comes
// off, and the group it imported is destroyed.
#include <algorithm>

#include "core/ImportLock.h"
#include "core/Markers.h"
#include "core/ShellWord.h"
#include "core/Text.h"
#include "host/WmSleep.h"
#include "vxvm/vxvm_internal.h"
#include "vxvm/vxvm_listing.h"

namespace volbridge {
namespace vxvm {

std::string newGroupName(const std::string& captured, long epoch) {
    const std::string time = std::to_string(epoch);
    const size_t fixed = std::string("yb_").size() + 1 + time.size();
    const size_t room = fixed < 30 ? 30 - fixed : 0;
    return "yb_" + captured.substr(0, std::min<size_t>(17, room)) + "_" + time;
}

// Output of "vxdisk -s list sdb sdc sdd  | grep '^dgid:' | cut -d: -f2 | sort -u":
//      1234567890.12.hostA
std::set<std::string> parseCandidateIds(std::string_view text) {
    std::set<std::string> ids;
    for (const std::string& line : splitLines(text)) {
        const size_t start = line.find_first_not_of(" \t");
        if (start != std::string::npos) ids.insert(line.substr(start));
    }
    return ids;
}

}  // namespace vxvm
}  // namespace volbridge

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Operation;
using volbridge::vxvm::DiskPathRow;

namespace {

const char kRecreate[] = "LVM_vxvm::recreateVG";

std::string joinedNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
    return text;
}

// Sets `tag` on every disk: true, or false at the first disk it could not be set on (a failed
// clearimport is only logged).
bool setTags(const Operation& op, const std::vector<std::string>& das, const std::string& tag) {
    for (const std::string& da : das) {
        const auto clear = op.command("vxdisk clearimport").word(da, "the disk");
        const CommandResult cleared = op.run(clear);
        if (!cleared.succeeded()) {
            op.log(2, "Warning: cmd: '%s' failed with the message: '%s'", clear.text().c_str(),
                   cleared.err.c_str());
        }
        const auto set =
            op.command("vxdisk -f settag").word(da, "the disk").word(tag, "the disk tag");
        const CommandResult r = op.run(set);
        if (!r.succeeded()) {
            op.log(2, "Warning: cmd: '%s' failed with the message: '%s'", set.text().c_str(),
                   r.err.c_str());
            return false;
        }
    }
    return true;
}

// Takes `tag` off every disk; a failure is logged. Returns the disks that keep it.
std::vector<std::string> removeTags(const Operation& op, const std::vector<std::string>& das,
                                    const std::string& tag) {
    std::vector<std::string> left;
    for (const std::string& da : das) {
        const auto rm = op.command("vxdisk -f rmtag").word(da, "the disk").word(tag, "the tag");
        const CommandResult r = op.run(rm);
        if (!r.succeeded()) {
            op.log(2, "Info: cmd: '%s' failed with the message: '%s'", rm.text().c_str(),
                   r.err.c_str());
            left.push_back(da);
        }
    }
    return left;
}

}  // namespace

// One clone import: what it checked, what it changed, and the steps between.
struct LVM_vxvm::CloneSteps {
    CloneSteps(LVM_vxvm& backend, Operation& operation, const std::list<std::string>& clones,
               const char* text)
        : self(backend), op(operation), disks(clones), metadata(text) {}

    LVM_vxvm& self;
    Operation& op;
    const std::list<std::string>& disks;  // the caller's device paths
    const char* metadata;
    VXDG captured;
    std::string importId;
    std::string newName;
    std::vector<std::string> devices;  // the devices the paths name, links resolved
    std::vector<std::string> das;      // their VxVM access names
    std::string tag;
    bool tagged = false;
    bool useCloneOption = false;
    CommandResult lastScan;  // the last rescan, whose failure text a failed retagging reports

    void dump(const char* label) { self.printVXVMStatus(label, disks, metadata); }

    // ---- check: nothing runs ----

    // The captured group, the id to import (the captured id, or what the caller's map gives for
    // it), the new name and the device paths.
    void check(const std::map<std::string, std::string>& old2new_uuid_map) {
        if (!metadata) op.fail("Error: metadata is NULL!");
        self.getFromMetadata(metadata, captured);
        importId = captured.dgid;
        auto mapped = old2new_uuid_map.find(captured.dgid);
        if (mapped != old2new_uuid_map.end()) importId = mapped->second;
        if (importId.empty()) op.fail("Error: could not obtain the disk group id for import");
        volbridge::requireShellWord(importId, "the disk group id", op.func(), op.unit(), __LINE__);
        newName = volbridge::vxvm::newGroupName(captured.name, volbridge::vxvm::epochSeconds()());
        volbridge::requireShellWord(newName, "the new disk group name", op.func(), op.unit(),
                                    __LINE__);
        for (const std::string& path : disks) {
            volbridge::requireShellWord(path, "the clone device path", op.func(), op.unit(),
                                        __LINE__);
            const std::string device = volbridge::vxvm::resolveDevicePath(op.origin(), path);
            auto same = std::find(devices.begin(), devices.end(), device);
            if (same != devices.end()) {
                op.fail("Error: the clone devices '" +
                        *std::next(disks.begin(), same - devices.begin()) + "' and '" + path +
                        "' are one device, " + device);
            }
            volbridge::requireShellWord(device, "the clone device", op.func(), op.unit(), __LINE__);
            devices.push_back(device);
        }
    }

    // ---- check: what the host shows; nothing changes ----

    // The ids of the groups the clone disks belong to, the captured one included.
    std::set<std::string> candidateGroupIds() {
        std::set<std::string> ids{captured.dgid};
        op.log(3, "Info: Source DG '%s'", captured.dgid.c_str());
        auto cmd = op.command("vxdisk -s list");
        for (const std::string& device : devices) {
            cmd.word(device.substr(device.rfind('/') + 1), "the clone disk name");
        }
        cmd.literal("  | grep '^dgid:' | cut -d: -f2 | sort -u");
        // Its status says nothing: grep finds no line for a disk that is no group's.
        for (const std::string& id : volbridge::vxvm::parseCandidateIds(op.run(cmd).out)) {
            ids.insert(id);
        }
        op.log(3, "DBG:%d diskGroups.count:%d:", __LINE__, static_cast<int>(ids.size()));
        return ids;
    }

    // The clone option is needed when a group of one of those ids is imported on this host.
    void decideCloneOption(const std::set<std::string>& ids) {
        for (const std::string& id : ids) {
            op.log(3, "DBG:%d diskGroup:%s:", __LINE__, id.c_str());
            if (op.run(op.command("vxdg list").word(id, "the disk group id")).succeeded()) {
                useCloneOption = true;
                op.log(0, "Info: DG '%s' exists. Will use clone option for DG import.", id.c_str());
                break;
            }
        }
        op.log(3, "DBG:%d useCloneOption:%d:", __LINE__, useCloneOption ? 1 : 0);
    }

    // Each clone device is a disk VxVM knows and that belongs to no imported group: a disk of
    // another group is not this call's to tag or import, and a group the clones already form
    // was made by an earlier import (stopped before it finished, or returned to its caller).
    void checkClones(const volbridge::vxvm::HostDisks& host) {
        std::string formedGroup;
        size_t inFormedGroup = 0;
        auto path = disks.begin();
        for (const std::string& device : devices) {
            const DiskPathRow* row = host.find(op.origin(), *path);
            if (!row || row->da.empty() || row->da == "-") {
                op.fail("Error: VxVM does not know the clone device '" + *path +
                        "': no row of 'vxdisk -qe path' names " +
                        device.substr(device.rfind('/') + 1) + "; nothing was tagged or imported");
            }
            volbridge::requireShellWord(row->da, "the clone disk", op.func(), op.unit(), __LINE__);
            if (row->group != "-") {
                if (formedGroup.empty()) formedGroup = row->group;
                if (row->group == formedGroup) ++inFormedGroup;
                if (row->group != formedGroup || !volbridge::startsWith(formedGroup, "yb_")) {
                    op.fail("Error: the clone device '" + *path + "' (" + row->da +
                            ") belongs to the imported disk group '" + row->group +
                            "'; nothing was tagged or imported");
                }
            }
            das.push_back(row->da);
            ++path;
        }
        if (!formedGroup.empty()) {
            op.log(0, "The clone disks %s already form the disk group %s", joinedNames(das).c_str(),
                   formedGroup.c_str());
            op.fail("Error: the clone disks already form the imported disk group '" + formedGroup +
                    "' (" + std::to_string(inFormedGroup) + " of " + std::to_string(das.size()) +
                    " of them): an earlier import of these clones made it, and was stopped before "
                    "it finished or gave it to its caller. Use that group, or remove it with "
                    "destroyVG and import again; nothing was tagged or imported");
        }
    }

    void lookAtHost() {
        dump(">> SCANDISKS");
        op.hook("scandisks.before");
        decideCloneOption(candidateGroupIds());
        lastScan = op.mustRun(op.command("vxdisk scandisks"));
        op.hook("scandisks.after");
        checkClones(volbridge::vxvm::HostDisks::read(op));
        tag = "yb_" + das.front();
    }

    // ---- act ----

    std::string tagChange() const { return "the tag " + tag + " on the clone disks"; }

    // Tags the clone disks. Without "/tmp/requireretag" a failed tagging lets the import go
    // ahead untagged; with it, tagging is tried three times, each after a rescan.
    void tagClones() {
        op.log(2, "Info: tag used is '%s'", tag.c_str());
        op.hook("settag.before");
        // A tagging that failed half-way has tagged the disks before the failure.
        op.changed(tagChange(), [this] {
            const std::vector<std::string> left = removeTags(op, das, tag);
            dump(">> DETAG");
            if (!left.empty()) op.fail("the tag stays on " + joinedNames(left));
        });
        for (int failures = 0;;) {
            if (setTags(op, das, tag)) {
                tagged = true;
                break;
            }
            op.hook("settag.failure");
            if (!volbridge::markerExists(volbridge::markerPath("requireretag"))) {
                op.log(2, "tagDisks failed. Continue...");
                break;
            }
            const auto scan = op.command("vxdisk scandisks");
            if (++failures == 3) op.fail(op.failureText(scan, lastScan));
            op.log(2, "Info: tag failed. Retry...");
            WMSLEEP(2000);
            lastScan = op.mustRun(scan);
            op.hook("scandisks.after");
            op.hook("settag.before");
        }
        dump(">> DISKS TAGGED");
        op.hook("settag.after");
    }

    CommandLine importCommand() const {
        auto cmd = op.command("vxdg -fC -n");
        cmd.word(newName, "the new disk group name");
        if (useCloneOption) cmd.literal(" -o useclonedev=on");
        if (tagged) cmd.literal(" -o tag=").arg(tag, "the disk tag");
        return cmd.literal(" -o updateid import").word(importId, "the disk group id");
    }

    void warnUntagged() {
        if (!tagged) op.log(2, "WARNING: Disks are not tagged");
    }

    // Logs a failed import attempt; true when it succeeded.
    bool attemptImport(const CommandLine& cmd, CommandResult* result) {
        *result = op.run(cmd);
        if (result->succeeded()) return true;
        op.log(2, "%s failed. StdOut:\n%s\nStdErr:\n%s", cmd.text().c_str(), result->out.c_str(),
               result->err.c_str());
        dump(">> VXDG IMPORT FAILED");
        op.hook("dgimport.failure");
        return false;
    }

    // The access names of the disks of the group `newName`.
    std::list<std::string> groupDisks() {
        std::list<std::string> names;
        self.getDiskList(newName.c_str(), names);
        return names;
    }

    std::string importChange() const { return "the disk group " + newName; }

    void recordImport() {
        op.changed(importChange(), [this] {
            self.destroyVG(newName.c_str());
            dump(">> DG destroy");
            // The operator keeps disk groups: this one stays, and the log names it.
            if (volbridge::markerExists(volbridge::markerPath("userdgremove"))) {
                op.fail("/tmp/userdgremove keeps it");
            }
        });
    }

    // An import that reported failure may still have made the group: it is this call's when it
    // holds the clone disks and nothing else (a group of that name on other disks stays).
    void adoptGroupIfOurs() {
        if (!self.isDGPresent(newName)) return;
        std::list<std::string> names;
        try {
            names = groupDisks();
        } catch (const YbException& e) {
            op.error("Error: the disks of '%s' cannot be listed: %s", newName.c_str(),
                     e.getMessage().c_str());
            return;
        }
        const bool ours = !names.empty() && std::all_of(names.begin(), names.end(), [&](auto& da) {
            return std::find(das.begin(), das.end(), da) != das.end();
        });
        if (ours) {
            recordImport();
        } else {
            op.error(
                "Error: the disk group '%s' is present but was not imported from the clone disks "
                "of this call; it is left in place",
                newName.c_str());
        }
    }

    // An untagged import takes every disk of the group id: it may only have taken the clones.
    // A group that holds another disk is deported, not destroyed, so that nothing of that disk's
    // configuration is lost.
    void requireOnlyClones() {
        std::vector<std::string> foreign;
        for (const std::string& da : groupDisks()) {
            if (std::find(das.begin(), das.end(), da) == das.end()) foreign.push_back(da);
        }
        if (foreign.empty()) return;
        op.forget(importChange());
        op.changed(importChange() + ", holding the disks " + joinedNames(foreign), [this] {
            op.mustRun(op.command("vxdg deport").word(newName, "the disk group name"));
        });
        op.fail("Error: the untagged import of '" + newName + "' took the disks " +
                joinedNames(foreign) +
                ", which are not among the clone devices given; the group is deported again");
    }

    // Imports the clones under the new name; a failed import is tried once more with the clone
    // option the other way round.
    void importClones() {
        op.hook("dgimport.before");
        warnUntagged();
        CommandResult result;
        if (!attemptImport(importCommand(), &result)) {
            warnUntagged();
            useCloneOption = !useCloneOption;
            const CommandLine again = importCommand();
            if (!attemptImport(again, &result)) {
                adoptGroupIfOurs();
                op.fail(op.failureText(again, result));
            }
        }
        recordImport();
        if (!tagged) requireOnlyClones();
        dump(">> VXDG IMPORT OK");
        op.hook("dgimport.after");
    }

    // Takes the tag off again; the disks tagged before a failed tagging carry it too.
    void untagClones() {
        op.hook("detag.before");
        removeTags(op, das, tag);
        op.forget(tagChange());
        dump(">> DETAG");
        op.hook("detag.after");
        tagged = false;
    }

    void startVolumes() {
        auto start = op.command("vxvol -g");
        start.word(newName, "the new disk group name").literal(" startall");
        const CommandResult started = op.run(start);
        if (!started.succeeded()) {
            op.log(2, "Info: cmd: '%s' failed with the message: '%s'. Continuing...",
                   start.text().c_str(), started.err.c_str());
        }
    }

    LVM::VG perform() {
        LVM::VG vg;
        const std::string clones = joinedNames(das);
        std::vector<Operation::Step> steps{
            {"tagging the clone disks " + clones + " with " + tag, [this] { tagClones(); }},
            {"importing the clone disks as " + newName, [this] { importClones(); }},
            {"removing the tag from the clone disks " + clones, [this] { untagClones(); }},
            {"starting the volumes of " + newName, [this] { startVolumes(); }},
            {"reading back the disk group " + newName,
             [&] {
                 self.populateDG(newName, vg, captured);
                 dump(">> RECREATE DONE");
             }},
        };
        op.act(volbridge::vxvm::withFailurePath(steps, [this] {
            dump(">> CLEANUP START");
            op.hook("failure");
        }));
        return vg;
    }
};

LVM::VG LVM_vxvm::recreateVG(const std::list<std::string>& pv_dev_list, const char* metadata,
                             std::map<std::string, std::string>& old2new_uuid_map) {
    Operation op(kRecreate, volbridge::unit::kVxvm);
    if (pv_dev_list.empty()) op.fail("Error: size of pv_dev_list is 0!");
    try {
        CloneSteps steps(*this, op, pv_dev_list, metadata);
        steps.check(old2new_uuid_map);
        // From the first look at the host to the last change: no other import chooses the same
        // name or takes these disks meanwhile.
        volbridge::ImportLock lock(op.origin());
        steps.lookAtHost();
        return steps.perform();
    } catch (const YbException&) {
        throw;
    } catch (...) {
        op.fail("Unknown Exception:Unable to recreate VG");
    }
}

int LVM_vxvm::tagDisks(const std::list<std::string>& disks, std::string& tag) {
    const Operation op("LVM_vxvm::tagDisks", volbridge::unit::kVxvm);
    tag.clear();
    std::vector<std::string> das;
    const volbridge::vxvm::HostDisks host(op.run(op.command("vxdisk -qe path")).out);
    for (const std::string& disk : disks) {
        const DiskPathRow* row = host.find(op.origin(), disk);
        if (!row || row->da == "-") {
            op.log(2, "Warning: could not obtain access name for '%s'", disk.c_str());
            return 1;
        }
        das.push_back(row->da);
    }
    if (das.empty()) return 0;
    tag = "yb_" + das.front();
    op.log(2, "Info: tag used is '%s'", tag.c_str());
    return setTags(op, das, tag) ? 0 : 1;
}

void LVM_vxvm::detagDisks(const std::list<std::string>& disks, const std::string& tag) {
    const Operation op("LVM_vxvm::detagDisks", volbridge::unit::kVxvm);
    const volbridge::vxvm::HostDisks host(op.run(op.command("vxdisk -qe path")).out);
    std::vector<std::string> das;
    for (const std::string& disk : disks) {
        const DiskPathRow* row = host.find(op.origin(), disk);
        if (!row || row->da == "-") {
            op.log(2, "Info: could not obtain access name for '%s'. Continuing...", disk.c_str());
            continue;
        }
        das.push_back(row->da);
    }
    removeTags(op, das, tag);
}

void LVM_vxvm::createDG(const std::string& dg_name, const std::string& disk, Sharing sharing) {
    const Operation op("LVM_vxvm::createDG", volbridge::unit::kVxvm);
    auto cmd = op.command(sharing == Sharing::Shared ? "vxdg -s init" : "vxdg init");
    cmd.word(dg_name, "the disk group name").word(disk, "the disk");
    op.mustRun(cmd);
}
