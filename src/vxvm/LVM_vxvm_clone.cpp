// Clone import: a disk group made usable from snapshot clones of its disks, under a new name and
// a new id, while the source group may still be imported on this host.
//
// The clones carry the source group's id, so the import takes exactly the clone disks by a tag
// set on each of them, with VxVM's clone and update-id import. Whatever fails, the run undoes
// what it did: tags come off, and a group it imported is destroyed.
#include <algorithm>

#include "core/Markers.h"
#include "core/ShellWord.h"
#include "core/Text.h"
#include "host/LogWriter.h"
#include "host/WmSleep.h"
#include "vxvm/vxvm_internal.h"

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
using volbridge::Origin;
using volbridge::vxvm::commandFailure;
using volbridge::vxvm::waitFor;

namespace {

const Origin kRecreate{"LVM_vxvm::recreateVG", volbridge::unit::kVxvm};

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// One clone import in progress: what its clean-up has to undo.
struct LVM_vxvm::CloneSteps {
    CloneSteps(LVM_vxvm& backend, const std::list<std::string>& clones, const char* text)
        : self(backend), disks(clones), metadata(text) {}

    LVM_vxvm& self;
    const std::list<std::string>& disks;
    const char* metadata;
    VXDG captured;
    std::string importId;
    std::string tag;
    bool tagged = false;
    bool useCloneOption = false;
    bool imported = false;
    std::string newName;

    // Reads the captured group and the id to import: the captured id, or what the caller's map
    // gives for it.
    void readCapturedGroup(const std::map<std::string, std::string>& old2new_uuid_map) {
        if (!metadata) kRecreate.fail("Error: metadata is NULL!");
        self.getFromMetadata(metadata, captured);
        importId = captured.dgid;
        auto mapped = old2new_uuid_map.find(captured.dgid);
        if (mapped != old2new_uuid_map.end()) importId = mapped->second;
        if (importId.empty())
            kRecreate.fail("Error: could not obtain the disk group id for import");
    }

    // The ids of the groups the clone disks belong to, the captured one included.
    std::set<std::string> candidateGroupIds() {
        std::set<std::string> ids{captured.dgid};
        self.debug_->DebugLvl(kRecreate.func, 3, "Info: Source DG '%s'", captured.dgid.c_str());
        CommandLine cmd(kRecreate, "vxdisk -s list");
        for (const std::string& disk : disks) cmd.word(baseName(disk), "the clone disk name");
        cmd.literal("  | grep '^dgid:' | cut -d: -f2 | sort -u");
        const CommandResult r = volbridge::run(cmd);
        for (const std::string& id : volbridge::vxvm::parseCandidateIds(r.out)) ids.insert(id);
        self.debug_->DebugLvl(kRecreate.func, 3, "DBG:%d diskGroups.count:%d:", __LINE__,
                              static_cast<int>(ids.size()));
        return ids;
    }

    // The clone option is needed when a group of one of those ids is imported on this host.
    void decideCloneOption(const std::set<std::string>& ids) {
        for (const std::string& id : ids) {
            self.debug_->DebugLvl(kRecreate.func, 3, "DBG:%d diskGroup:%s:", __LINE__, id.c_str());
            if (run(CommandLine(kRecreate, "vxdg list").word(id, "the disk group id"))
                    .succeeded()) {
                useCloneOption = true;
                self.debug_->DebugLvl(kRecreate.func, 0,
                                      "Info: DG '%s' exists. Will use clone option for DG import.",
                                      id.c_str());
                break;
            }
        }
        self.debug_->DebugLvl(kRecreate.func, 3, "DBG:%d useCloneOption:%d:", __LINE__,
                              useCloneOption ? 1 : 0);
    }

    // Rescans and tags the clone disks. Without "/tmp/requireretag" a failed tagging lets the
    // import go ahead untagged; with it, tagging is tried three times.
    void tagClones() {
        for (int failures = 0;;) {
            const CommandLine scan(kRecreate, "vxdisk scandisks");
            const CommandResult scanned = run(scan);
            if (!scanned.succeeded()) kRecreate.fail(commandFailure(scan.text(), scanned.err));
            waitFor("scandisks.after");
            waitFor("settag.before");
            if (self.tagDisks(disks, tag) == 0) {
                tagged = true;
                return;
            }
            waitFor("settag.failure");
            if (!volbridge::markerExists(volbridge::markerPath("requireretag"))) {
                self.debug_->Debug(kRecreate.func, "tagDisks failed. Continue...");
                tagged = false;
                return;
            }
            if (++failures == 3) kRecreate.fail(commandFailure(scan.text(), scanned.err));
            self.debug_->Debug(kRecreate.func, "Info: tag failed. Retry...");
            WMSLEEP(2000);
        }
    }

    CommandLine importCommand() const {
        CommandLine cmd(kRecreate, "vxdg -fC -n");
        cmd.word(newName, "the new disk group name");
        if (useCloneOption) cmd.literal(" -o useclonedev=on");
        if (tagged) cmd.literal(" -o tag=").arg(tag, "the disk tag");
        return cmd.literal(" -o updateid import").word(importId, "the disk group id");
    }

    void warnUntagged() {
        if (!tagged) self.debug_->Debug(kRecreate.func, "WARNING: Disks are not tagged");
    }

    // Logs a failed import attempt; true when it succeeded.
    bool attemptImport(const CommandLine& cmd, CommandResult* result) {
        *result = run(cmd);
        if (result->succeeded()) return true;
        self.debug_->Debug(kRecreate.func, "%s failed. StdOut:\n%s\nStdErr:\n%s",
                           cmd.text().c_str(), result->out.c_str(), result->err.c_str());
        self.printVXVMStatus(">> VXDG IMPORT FAILED", disks, metadata);
        waitFor("dgimport.failure");
        return false;
    }

    // Imports the tagged clones under the new name; a failed import is tried once more with the
    // clone option the other way round.
    void importClones() {
        warnUntagged();
        CommandResult result;
        if (!attemptImport(importCommand(), &result)) {
            warnUntagged();
            useCloneOption = !useCloneOption;
            const CommandLine again = importCommand();
            if (!attemptImport(again, &result)) {
                kRecreate.fail(commandFailure(again.text(), result.err));
            }
        }
        imported = true;
        self.printVXVMStatus(">> VXDG IMPORT OK", disks, metadata);
        waitFor("dgimport.after");
    }

    // Takes the tags off again: after a whole tagging, and after one that failed part-way (the
    // disks tagged before the failure carry the tag too).
    void removeTags() {
        if (!tagged && tag.empty()) return;
        waitFor("detag.before");
        self.detagDisks(disks, tag);
        self.printVXVMStatus(">> DETAG", disks, metadata);
        waitFor("detag.after");
        tagged = false;
    }

    LVM::VG describeNewGroup() {
        CommandLine start(kRecreate, "vxvol -g");
        start.word(newName, "the new disk group name").literal(" startall");
        const CommandResult started = run(start);
        if (!started.succeeded()) {
            self.debug_->Debug(kRecreate.func,
                               "Info: cmd: '%s' failed with the message: '%s'. Continuing...",
                               start.text().c_str(), started.err.c_str());
        }
        VG vg;
        self.populateDG(newName, vg, captured);
        self.printVXVMStatus(">> RECREATE DONE", disks, metadata);
        return vg;
    }

    // True when every disk of the group `newName` is one of this run's clone disks: a group of
    // that name whose disks are others' is another restore's, and stays.
    bool groupHoldsOnlyOurClones() {
        std::list<std::string> groupDisks;
        try {
            self.getDiskList(newName.c_str(), groupDisks);
        } catch (const YbException& e) {
            self.debug_->Error(kRecreate.func, "Error: the disks of '%s' cannot be listed: %s",
                               newName.c_str(), e.getMessage().c_str());
            return false;
        }
        std::set<std::string> ours;
        for (const std::string& disk : disks) {
            std::string da;
            self.getDiskField(disk, 1, da);
            if (!da.empty() && da != "-") ours.insert(da);
        }
        if (groupDisks.empty()) return false;
        return std::all_of(groupDisks.begin(), groupDisks.end(),
                           [&](const std::string& da) { return ours.count(da) > 0; });
    }

    // Undoes what the run did: tags off, then the group it imported destroyed, or else the clone
    // disks taken out of VxVM's view.
    void cleanUp() {
        self.printVXVMStatus(">> CLEANUP START", disks, metadata);
        waitFor("failure");
        if (!tag.empty() || tagged) {
            self.detagDisks(disks, tag);
            self.printVXVMStatus(">> DETAG", disks, metadata);
        }
        bool destroy = imported;
        if (!destroy && self.isDGPresent(newName)) {
            destroy = groupHoldsOnlyOurClones();
            if (!destroy) {
                self.debug_->Error(kRecreate.func,
                                   "Error: the disk group '%s' is present but was not imported "
                                   "from the clone disks of this call; it is left in place",
                                   newName.c_str());
            }
        }
        if (destroy) {
            self.destroyVG(newName.c_str());
            self.printVXVMStatus(">> DG destroy", disks, metadata);
        } else {
            self.rmDisks(disks, DiskNames::OsDevices);
            self.printVXVMStatus(">> RM DISK", disks, metadata);
        }
    }

    LVM::VG perform(const std::map<std::string, std::string>& old2new_uuid_map) {
        readCapturedGroup(old2new_uuid_map);
        self.printVXVMStatus(">> SCANDISKS", disks, metadata);
        waitFor("scandisks.before");
        decideCloneOption(candidateGroupIds());
        tagClones();
        self.printVXVMStatus(">> DISKS TAGGED", disks, metadata);
        waitFor("settag.after");
        newName = volbridge::vxvm::newGroupName(captured.name, volbridge::vxvm::epochSeconds()());
        waitFor("dgimport.before");
        importClones();
        removeTags();
        return describeNewGroup();
    }
};

LVM::VG LVM_vxvm::recreateVG(const std::list<std::string>& pv_dev_list, const char* metadata,
                             std::map<std::string, std::string>& old2new_uuid_map) {
    if (pv_dev_list.empty()) kRecreate.fail("Error: size of pv_dev_list is 0!");
    // Device paths are checked before anything runs, so that a refused one leaves nothing to
    // clean up.
    for (const std::string& path : pv_dev_list) {
        volbridge::requireShellWord(path, "the clone device path", kRecreate.func, kRecreate.unit,
                                    __LINE__);
    }
    CloneSteps steps(*this, pv_dev_list, metadata);
    try {
        return steps.perform(old2new_uuid_map);
    } catch (const YbException&) {
        steps.cleanUp();
        throw;
    } catch (...) {
        steps.cleanUp();
        kRecreate.fail("Unknown Exception:Unable to recreate VG");
    }
}

int LVM_vxvm::tagDisks(const std::list<std::string>& disks, std::string& tag) {
    const Origin here{"LVM_vxvm::tagDisks", volbridge::unit::kVxvm};
    tag.clear();
    for (const std::string& disk : disks) {
        std::string da;
        getDiskField(disk, 1, da);
        if (da.empty() || da == "-") {
            debug_->Debug(here.func, "Warning: could not obtain access name for '%s'",
                          disk.c_str());
            return 1;
        }
        if (tag.empty()) {
            tag = "yb_" + da;
            debug_->Debug(here.func, "Info: tag used is '%s'", tag.c_str());
        }
        const CommandLine clear = CommandLine(here, "vxdisk clearimport").word(da, "the disk");
        const CommandResult cleared = run(clear);
        if (!cleared.succeeded()) {
            debug_->Debug(here.func, "Warning: cmd: '%s' failed with the message: '%s'",
                          clear.text().c_str(), cleared.err.c_str());
        }
        const CommandLine set =
            CommandLine(here, "vxdisk -f settag").word(da, "the disk").word(tag, "the disk tag");
        const CommandResult tagged = run(set);
        if (!tagged.succeeded()) {
            debug_->Debug(here.func, "Warning: cmd: '%s' failed with the message: '%s'",
                          set.text().c_str(), tagged.err.c_str());
            return 1;
        }
    }
    return 0;
}

void LVM_vxvm::detagDisks(const std::list<std::string>& disks, const std::string& tag) {
    const Origin here{"LVM_vxvm::detagDisks", volbridge::unit::kVxvm};
    for (const std::string& disk : disks) {
        std::string da;
        getDiskField(disk, 1, da);
        if (da.empty() || da == "-") {
            debug_->Debug(here.func, "Info: could not obtain access name for '%s'. Continuing...",
                          disk.c_str());
            continue;
        }
        const CommandLine rm =
            CommandLine(here, "vxdisk -f rmtag").word(da, "the disk").word(tag, "the disk tag");
        const CommandResult removed = run(rm);
        if (!removed.succeeded()) {
            debug_->Debug(here.func, "Info: cmd: '%s' failed with the message: '%s'",
                          rm.text().c_str(), removed.err.c_str());
        }
    }
}

void LVM_vxvm::createDG(const std::string& dg_name, const std::string& disk, Sharing sharing) {
    const Origin here{"LVM_vxvm::createDG", volbridge::unit::kVxvm};
    CommandLine cmd(here, sharing == Sharing::Shared ? "vxdg -s init" : "vxdg init");
    cmd.word(dg_name, "the disk group name").word(disk, "the disk");
    const CommandResult r = run(cmd);
    if (!r.succeeded()) here.fail(commandFailure(cmd.text(), r.err));
}
