// Taking disk groups and disks out of service: destroying a group clone import made, removing
// disks from VxVM's view, and flushing and deporting a group before a revert.
#include <algorithm>

#include "core/Markers.h"
#include "core/Text.h"
#include "host/LogWriter.h"
#include "host/WmSleep.h"
#include "vxvm/vxvm_internal.h"

namespace volbridge {
namespace vxvm {

// Output of "vxdmpadm -q iostat show dmpnodename=emc0_0a1b" (the disk's line: queued reads,
// queued writes, pending I/O):
//                          cpu usage = 4987us    per cpu memory = 49152b
//                          QUEUED I/Os         PENDING I/Os
//   DMPNODENAME           READS    WRITES
//   emc0_0a1b             0        0        0
std::vector<IostatLine> parseIostat(std::string_view text, const std::string& disk) {
    std::vector<IostatLine> lines;
    std::vector<std::string> fields;
    for (const std::string& raw : splitLines(text)) {
        IostatLine line;
        line.text = trimSpace(trimLine(raw));
        if (trimBlanks(line.text).empty()) continue;
        line.aboutDisk = contains(line.text, disk);
        if (line.aboutDisk) {
            Split(line.text, " ", fields, SeparatorRuns::Collapse);
            line.fields = fields.size();
            if (fields.size() == 4) {
                line.pending =
                    atol(fields[1].c_str()) + atol(fields[2].c_str()) + atol(fields[3].c_str());
            }
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace vxvm
}  // namespace volbridge

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Origin;
using volbridge::vxvm::commandFailure;
using volbridge::vxvm::waitFor;

namespace {

const Origin kDestroy{"LVM_vxvm::destroyVG", volbridge::unit::kVxvm};

}  // namespace

struct LVM_vxvm::TeardownSteps {
    LVM_vxvm& self;
    const Origin at;  // the operation the steps belong to

    // The command report written after each teardown command, whatever its outcome.
    void report(const CommandLine& cmd, const CommandResult& r) {
        self.debug_->Debug(at.func, "Info: cmd: '%s'\nstd_out:\n%s\nstd_err:\n%s\n",
                           cmd.text().c_str(), r.out.c_str(), r.err.c_str());
    }

    // Reports a step's command and passes the step hook "vxvmsteps".
    void finish(const CommandLine& cmd, const CommandResult& r) {
        report(cmd, r);
        waitFor("vxvmsteps");
    }

    // Runs a step's command, then finishes it.
    CommandResult step(const CommandLine& cmd) {
        const CommandResult r = volbridge::run(cmd);
        finish(cmd, r);
        return r;
    }

    void stopVolumes(const std::string& name) {
        const CommandLine tune(at, "vxdmpadm settune dmp_cache_open=on");
        const CommandResult tuned = volbridge::run(tune);
        if (tuned.succeeded()) {
            self.debug_->DebugLvl(at.func, 1, "Succeded to settune dmp_cache_open=on");
        } else {
            self.debug_->Error(at.func, "Failed to settune dmp_cache_open=on");
        }
        finish(tune, tuned);

        CommandLine stop(at, "vxvol -g");
        stop.word(name, "the disk group name").literal(" stopall");
        const CommandResult stopped = volbridge::run(stop);
        if (!stopped.succeeded()) {
            self.debug_->Debug(at.func,
                               "Info: cmd: '%s' failed with the message: '%s'. Continuing...",
                               stop.text().c_str(), stopped.err.c_str());
        }
        finish(stop, stopped);
    }

    void offlineAndRemove(const std::list<std::string>& disks) {
        for (const std::string& da : disks) {
            const CommandLine offline = CommandLine(at, "vxdisk offline").word(da, "the disk");
            const CommandResult offlined = volbridge::run(offline);
            if (!offlined.succeeded()) {
                self.debug_->Error(at.func, "Failed to offline '%s'.\nStdout:%s\nError:%s",
                                   da.c_str(), offlined.out.c_str(), offlined.err.c_str());
            } else {
                self.debug_->DebugLvl(at.func, 1, "Offlined '%s'.", da.c_str());
            }
            finish(offline, offlined);

            const CommandLine rm = CommandLine(at, "vxdisk rm").word(da, "the disk");
            const CommandResult removed = volbridge::run(rm);
            if (!removed.succeeded()) {
                self.debug_->Error(at.func, "Failed to remove '%s'.\nStdout:%s\nError:%s",
                                   da.c_str(), removed.out.c_str(), removed.err.c_str());
            } else {
                self.debug_->DebugLvl(at.func, 1, "Removed '%s'.", da.c_str());
            }
            finish(rm, removed);
        }
    }

    // The I/O still pending on the disks, summed over one poll of each.
    int64_t pendingIo(const std::list<std::string>& disks) {
        int64_t pending = 0;
        for (const std::string& da : disks) {
            const CommandLine show = CommandLine(at, "vxdmpadm -q iostat show")
                                         .literal(" dmpnodename=")
                                         .arg(da, "the disk");
            const CommandResult r = step(show);
            if (!r.succeeded()) {
                self.debug_->Error(at.func,
                                   "Failed to list pending I/O for '%s'.\nStdout:%s\nError:%s",
                                   da.c_str(), r.out.c_str(), r.err.c_str());
                continue;
            }
            for (const volbridge::vxvm::IostatLine& line :
                 volbridge::vxvm::parseIostat(r.out, da)) {
                self.debug_->DebugLvl(at.func, 0, "  :%s:", line.text.c_str());
                if (!line.aboutDisk) continue;
                if (line.fields == 4) {
                    pending += line.pending;
                } else {
                    self.debug_->DebugLvl(at.func, 0, "  expected 4 fields, got %d",
                                          static_cast<int>(line.fields));
                }
            }
        }
        return pending;
    }

    // Waits until the multipathing layer reports no pending I/O on the removed disks: polls
    // every 10 seconds, at most 600 seconds in all.
    void drainIo(const std::list<std::string>& disks) {
        const CommandResult started = step(CommandLine(at, "vxdmpadm iostat start"));
        if (!started.succeeded()) {
            self.debug_->Error(at.func, "Failed to enable iostat.\nStdout:%s\nError:%s",
                               started.out.c_str(), started.err.c_str());
            WMSLEEP(10000);
            return;
        }
        for (int32_t waited = 0;;) {
            const int64_t pending = pendingIo(disks);
            if (pending <= 0) return;
            if (waited > 599) {
                self.debug_->DebugLvl(at.func, -1, "%ld I/O still pending. Can't wait longer...",
                                      static_cast<long>(pending));
                return;
            }
            self.debug_->DebugLvl(at.func, 0, "%ld I/O pending.", static_cast<long>(pending));
            WMSLEEP(10000);
            waited += 10;
        }
    }
};

void LVM_vxvm::destroyVG(const char* vg_name) {
    if (!vg_name) kDestroy.fail("Error: vg_name is NULL!");
    const std::string name = vg_name;
    // The operator keeps the group: the hook pauses or holds on that same marker.
    if (volbridge::markerExists(volbridge::markerPath("userdgremove"))) {
        waitFor("userdgremove");
        return;
    }
    const CommandLine list = CommandLine(kDestroy, "vxprint -g").word(name, "the disk group name");
    const CommandResult listed = volbridge::run(list);
    // V-5-1-582: no such disk group. Nothing to remove.
    if (!listed.succeeded() && volbridge::contains(listed.err, "V-5-1-582")) {
        debug_->Error(kDestroy.func, "Failed to list the vg '%s'.\nError:%s", name.c_str(),
                      listed.err.c_str());
        return;
    }
    std::list<std::string> disks;
    getDiskList(name.c_str(), disks);
    waitFor("rmgroup.before");
    std::list<std::string> mediaNames;
    volbridge::vxvm::getDmNamesList(name.c_str(), mediaNames);

    // Best effort from here on: every step is tried whatever the earlier ones did, so that a
    // group vxdg could not destroy still has its disks taken out of VxVM's view.
    TeardownSteps steps{*this, kDestroy};
    steps.stopVolumes(name);
    try {
        rmGroup(name.c_str());
    } catch (const YbException&) {
        // rmGroup has logged the failure and dumped VxVM's view; the disks go anyway.
    }
    steps.offlineAndRemove(disks);
    steps.drainIo(disks);
    steps.step(CommandLine(kDestroy, "vxdmpadm iostat stop"));
    printVXVMStatus(">> VXDG RMDISK DONE");
}

void LVM_vxvm::rmGroup(const char* vg_name) {
    const Origin here{"LVM_vxvm::rmGroup", volbridge::unit::kVxvm};
    waitFor("rmdg.before");
    const CommandLine cmd =
        CommandLine(here, "vxdg destroy").word(vg_name ? vg_name : "", "the disk group name");
    const CommandResult r = TeardownSteps{*this, here}.step(cmd);
    if (!r.succeeded()) {
        printVXVMStatus(">> VXDG destroy FAIL");
        waitFor("rmdg.failure");
        here.fail(commandFailure(cmd.text(), r.err));
    }
    printVXVMStatus(">> VXDG destroy DONE");
    waitFor("rmdg.after");
}

void LVM_vxvm::rmDisks(const std::list<std::string>& disks, DiskNames names) {
    const Origin here{"LVM_vxvm::rmDisks", volbridge::unit::kVxvm};
    waitFor("rmdisk.before");
    for (const std::string& entry : disks) {
        std::string da = entry;
        if (names == DiskNames::OsDevices) getDiskField(entry, 1, da);
        if (da.empty() || da == "-") {
            debug_->Debug(here.func, "Info: could not obtain access name for '%s'. Continuing...",
                          entry.c_str());
            continue;
        }
        // The removal runs only when VxVM lists the disk.
        CommandLine cmd(here, "vxdisk list");
        cmd.word(da, "the disk").literal(" > /dev/null 2> /dev/null && vxdisk -f rm");
        cmd.word(da, "the disk");
        const CommandResult r = volbridge::run(cmd);
        if (r.status != 0 && r.status != 11) {
            debug_->Debug(here.func, "Info: cmd: '%s' failed with the message: '%s'. Continuing...",
                          cmd.text().c_str(), r.err.c_str());
        }
    }
    waitFor("rmdisk.after");
}

void LVM_vxvm::rmDisksAndGroup(const std::string& vg_name, const std::list<std::string>& disks) {
    const Origin here{"LVM_vxvm::rmDisksAndGroup", volbridge::unit::kVxvm};
    std::list<std::string> groupDisks;
    getDiskList(vg_name.c_str(), groupDisks);
    size_t remaining = groupDisks.size();
    for (const std::string& entry : disks) {
        // The last disk cannot leave its group: the group goes with it.
        if (remaining == 1) {
            rmGroup(vg_name.c_str());
            return;
        }
        std::string dm;
        getDiskField(entry, 2, dm);
        if (dm.empty() || dm == "-") {
            here.fail("Error: could not obtain access name for '" + entry + "'");
        }
        CommandLine cmd(here, "vxdg -g");
        cmd.word(vg_name, "the disk group name").literal(" rmdisk").word(dm, "the disk");
        const CommandResult r = volbridge::run(cmd);
        if (!r.succeeded()) here.fail(commandFailure(cmd.text(), r.err));
        --remaining;
    }
}

bool LVM_vxvm::cleanup(const VG& vg, const std::list<std::string>& pv_dev_list) {
    const Origin here{"LVM_vxvm::cleanup", volbridge::unit::kVxvm};
    if (pv_dev_list.empty()) here.fail("Error: size of pv_dev_list is 0!");
    const CommandLine flush = CommandLine(here, "vxdg flush").word(vg.name, "the disk group name");
    const CommandResult flushed = volbridge::run(flush);
    if (!flushed.succeeded()) here.fail(commandFailure(flush.text(), flushed.err));
    waitFor("dgdeport.before");
    const CommandLine deport =
        CommandLine(here, "vxdg deport").word(vg.name, "the disk group name");
    const CommandResult deported = volbridge::run(deport);
    if (!deported.succeeded()) here.fail(commandFailure(deport.text(), deported.err));
    waitFor("dgdeport.after");
    return true;
}
