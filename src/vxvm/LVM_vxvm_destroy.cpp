// Taking disk groups and disks out of service: destroying a group clone import made, removing
// disks from VxVM's view, and flushing and deporting a group before a revert.
//
// destroyVG fails when the group is still there afterwards (a volume open, say): then its disks
// stay as they are, since taking the disks of a live group out of VxVM's view would take its
// volumes down under their users.
#include <algorithm>
#include <optional>

#include "core/ImportLock.h"
#include "core/Markers.h"
#include "core/Text.h"
#include "host/WmSleep.h"
#include "vxvm/vxvm_internal.h"
#include "vxvm/vxvm_listing.h"

namespace volbridge {
namespace vxvm {

// Output of "vxdmpadm -q iostat show dmpnodename=emc0_0a1b" (a row for the disk: queued reads,
// queued writes, pending I/O):
//                          cpu usage = 4987us    per cpu memory = 49152b
//                          QUEUED I/Os         PENDING I/Os
//   DMPNODENAME           READS    WRITES
//   emc0_0a1b             0        0        0
// Releases that show the statistics per path print a row for each path of the disk instead, under
// a "PATHNAME" header; those rows are the disk's too:
//   PATHNAME              READS    WRITES
//   sdb                   0        2        1
std::vector<IostatLine> parseIostat(std::string_view text, const std::string& disk) {
    std::vector<IostatLine> lines;
    std::vector<std::string> fields;
    bool inRows = false;
    for (const std::string& raw : splitLines(text)) {
        IostatLine line;
        line.text = trimSpace(trimLine(raw));
        if (trimBlanks(line.text).empty()) continue;
        Split(line.text, " ", fields, SeparatorRuns::Collapse);
        const bool header = fields[0] == "DMPNODENAME" || fields[0] == "PATHNAME";
        line.aboutDisk = !header && contains(line.text, disk);
        const bool numbers =
            fields.size() == 4 &&
            std::all_of(fields.begin() + 1, fields.end(), [](const std::string& f) {
                return !f.empty() && f.find_first_not_of("0123456789") == std::string::npos;
            });
        line.counted = line.aboutDisk || (inRows && !header && numbers);
        if (line.counted) {
            line.fields = fields.size();
            if (fields.size() == 4) {
                line.pending =
                    atol(fields[1].c_str()) + atol(fields[2].c_str()) + atol(fields[3].c_str());
            }
        }
        inRows = inRows || header;
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace vxvm
}  // namespace volbridge

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Operation;

struct LVM_vxvm::DestroySteps {
    LVM_vxvm& self;
    const Operation& op;  // the operation the steps belong to

    // The command report written after each destroy command, whatever its outcome.
    void report(const CommandLine& cmd, const CommandResult& r) {
        op.log(2, "Info: cmd: '%s'\nstd_out:\n%s\nstd_err:\n%s\n", cmd.text().c_str(),
               r.out.c_str(), r.err.c_str());
    }

    // Reports a step's command and passes the step hook "vxvmsteps".
    void finish(const CommandLine& cmd, const CommandResult& r) {
        report(cmd, r);
        op.hook("vxvmsteps");
    }

    // Runs a step's command, then finishes it.
    CommandResult step(const CommandLine& cmd) {
        const CommandResult r = op.run(cmd);
        finish(cmd, r);
        return r;
    }

    void stopVolumes(const std::string& name) {
        const auto tune = op.command("vxdmpadm settune dmp_cache_open=on");
        const CommandResult tuned = op.run(tune);
        if (tuned.succeeded()) {
            op.log(1, "Succeded to settune dmp_cache_open=on");
        } else {
            op.error("Failed to settune dmp_cache_open=on");
        }
        finish(tune, tuned);

        auto stop = op.command("vxvol -g");
        stop.word(name, "the disk group name").literal(" stopall");
        const CommandResult stopped = op.run(stop);
        if (!stopped.succeeded()) {
            op.log(2, "Info: cmd: '%s' failed with the message: '%s'. Continuing...",
                   stop.text().c_str(), stopped.err.c_str());
        }
        finish(stop, stopped);
    }

    // After "vxdg destroy" said it succeeded: the group must be gone, or the destroy failed.
    void requireGone(const std::string& name) {
        if (self.isDGPresent(name)) {
            op.fail("Error: the disk group '" + name + "' is still imported after 'vxdg destroy " +
                    name + "'; its disks were left as they are");
        }
    }

    void offlineAndRemove(const std::list<std::string>& disks) {
        for (const std::string& da : disks) {
            const auto offline = op.command("vxdisk offline").word(da, "the disk");
            const CommandResult offlined = op.run(offline);
            if (!offlined.succeeded()) {
                op.error("Failed to offline '%s'.\nStdout:%s\nError:%s", da.c_str(),
                         offlined.out.c_str(), offlined.err.c_str());
            } else {
                op.log(1, "Offlined '%s'.", da.c_str());
            }
            finish(offline, offlined);

            const auto rm = op.command("vxdisk rm").word(da, "the disk");
            const CommandResult removed = op.run(rm);
            if (!removed.succeeded()) {
                op.error("Failed to remove '%s'.\nStdout:%s\nError:%s", da.c_str(),
                         removed.out.c_str(), removed.err.c_str());
            } else {
                op.log(1, "Removed '%s'.", da.c_str());
            }
            finish(rm, removed);
        }
    }

    // The I/O still pending on the disks, summed over one poll of each.
    int64_t pendingIo(const std::list<std::string>& disks) {
        int64_t pending = 0;
        for (const std::string& da : disks) {
            const auto show =
                op.command("vxdmpadm -q iostat show").literal(" dmpnodename=").arg(da, "the disk");
            const CommandResult r = step(show);
            if (!r.succeeded()) {
                op.error("Failed to list pending I/O for '%s'.\nStdout:%s\nError:%s", da.c_str(),
                         r.out.c_str(), r.err.c_str());
                continue;
            }
            for (const volbridge::vxvm::IostatLine& line :
                 volbridge::vxvm::parseIostat(r.out, da)) {
                op.log(0, "  :%s:", line.text.c_str());
                if (!line.counted) continue;
                if (line.fields == 4) {
                    pending += line.pending;
                } else {
                    op.log(0, "  expected 4 fields, got %d", static_cast<int>(line.fields));
                }
            }
        }
        return pending;
    }

    // Waits until the multipathing layer reports no pending I/O on the removed disks: polls
    // every 10 seconds, at most 600 seconds in all.
    void drainIo(const std::list<std::string>& disks) {
        const CommandResult started = step(op.command("vxdmpadm iostat start"));
        if (!started.succeeded()) {
            op.error("Failed to enable iostat.\nStdout:%s\nError:%s", started.out.c_str(),
                     started.err.c_str());
            WMSLEEP(10000);
            return;
        }
        for (int32_t waited = 0;;) {
            const int64_t pending = pendingIo(disks);
            if (pending <= 0) return;
            if (waited > 599) {
                op.log(-1, "%ld I/O still pending. Can't wait longer...",
                       static_cast<long>(pending));
                return;
            }
            op.log(0, "%ld I/O pending.", static_cast<long>(pending));
            WMSLEEP(10000);
            waited += 10;
        }
    }
};

void LVM_vxvm::destroyVG(const char* vg_name) {
    Operation op("LVM_vxvm::destroyVG", volbridge::unit::kVxvm);
    if (!vg_name) op.fail("Error: vg_name is NULL!");
    const std::string name = vg_name;
    // The operator keeps the group: the hook pauses or holds on that same marker.
    if (volbridge::markerExists(volbridge::markerPath("userdgremove"))) {
        op.hook("userdgremove");
        return;
    }
    const CommandLine list = op.command("vxprint -g").word(name, "the disk group name");
    volbridge::ImportLock lock(op.origin());
    const CommandResult listed = op.run(list);
    // V-5-1-582: no such disk group. Nothing to remove.
    if (!listed.succeeded() && volbridge::contains(listed.err, "V-5-1-582")) {
        op.error("Failed to list the vg '%s'.\nError:%s", name.c_str(), listed.err.c_str());
        return;
    }
    std::list<std::string> disks;
    getDiskList(name.c_str(), disks);
    op.hook("rmgroup.before");
    std::list<std::string> mediaNames;
    volbridge::vxvm::getDmNamesList(name.c_str(), mediaNames);

    // From the volumes' stop to the drain, every step of the disks is tried whatever the earlier
    // ones did; but the disks of a group that is still there stay as they are.
    DestroySteps steps{*this, op};
    std::string diskNames;
    for (const std::string& da : disks) diskNames += (diskNames.empty() ? "" : " ") + da;
    op.act({
        {"stopping the volumes of disk group " + name, [&] { steps.stopVolumes(name); }},
        {"destroying disk group " + name,
         [&] {
             rmGroup(name.c_str());
             steps.requireGone(name);
         }},
        {"taking the disks " + diskNames + " out of VxVM's view",
         [&] { steps.offlineAndRemove(disks); }},
        {"waiting for the I/O on " + diskNames + " to drain",
         [&] {
             steps.drainIo(disks);
             steps.step(op.command("vxdmpadm iostat stop"));
             printVXVMStatus(">> VXDG RMDISK DONE");
         }},
    });
}

void LVM_vxvm::rmGroup(const char* vg_name) {
    const Operation op("LVM_vxvm::rmGroup", volbridge::unit::kVxvm);
    op.hook("rmdg.before");
    const CommandLine cmd =
        op.command("vxdg destroy").word(vg_name ? vg_name : "", "the disk group name");
    const CommandResult r = DestroySteps{*this, op}.step(cmd);
    if (!r.succeeded()) {
        printVXVMStatus(">> VXDG destroy FAIL");
        op.hook("rmdg.failure");
        op.fail(op.failureText(cmd, r));
    }
    printVXVMStatus(">> VXDG destroy DONE");
    op.hook("rmdg.after");
}

void LVM_vxvm::rmDisks(const std::list<std::string>& disks, DiskNames names) {
    const Operation op("LVM_vxvm::rmDisks", volbridge::unit::kVxvm);
    op.hook("rmdisk.before");
    // The host's disk paths, read once, give the access names of OS devices.
    std::optional<volbridge::vxvm::HostDisks> host;
    if (names == DiskNames::OsDevices) {
        host.emplace(op.run(op.command("vxdisk -qe path")).out);
    }
    for (const std::string& entry : disks) {
        std::string da = entry;
        if (host) {
            const volbridge::vxvm::DiskPathRow* row = host->find(op.origin(), entry);
            da = row ? row->da : "";
        }
        if (da.empty() || da == "-") {
            op.log(2, "Info: could not obtain access name for '%s'. Continuing...", entry.c_str());
            continue;
        }
        // The removal runs only when VxVM lists the disk.
        auto cmd = op.command("vxdisk list");
        cmd.word(da, "the disk").literal(" > /dev/null 2> /dev/null && vxdisk -f rm");
        cmd.word(da, "the disk");
        const CommandResult r = op.run(cmd);
        if (r.status != 0 && r.status != 11) {
            op.log(2, "Info: cmd: '%s' failed with the message: '%s'. Continuing...",
                   cmd.text().c_str(), r.err.c_str());
        }
    }
    op.hook("rmdisk.after");
}

void LVM_vxvm::rmDisksAndGroup(const std::string& vg_name, const std::list<std::string>& disks) {
    const Operation op("LVM_vxvm::rmDisksAndGroup", volbridge::unit::kVxvm);
    std::list<std::string> groupDisks;
    getDiskList(vg_name.c_str(), groupDisks);
    size_t remaining = groupDisks.size();
    std::optional<volbridge::vxvm::HostDisks> host;
    for (const std::string& entry : disks) {
        // The last disk cannot leave its group: the group goes with it.
        if (remaining == 1) {
            rmGroup(vg_name.c_str());
            return;
        }
        if (!host) host.emplace(op.run(op.command("vxdisk -qe path")).out);
        const volbridge::vxvm::DiskPathRow* row = host->find(op.origin(), entry);
        const std::string dm = row ? row->dm : "";
        if (dm.empty() || dm == "-") {
            op.fail("Error: could not obtain access name for '" + entry + "'");
        }
        auto cmd = op.command("vxdg -g");
        cmd.word(vg_name, "the disk group name").literal(" rmdisk").word(dm, "the disk");
        op.mustRun(cmd);
        --remaining;
    }
}

bool LVM_vxvm::cleanup(const VG& vg, const std::list<std::string>& pv_dev_list) {
    Operation op("LVM_vxvm::cleanup", volbridge::unit::kVxvm);
    if (pv_dev_list.empty()) op.fail("Error: size of pv_dev_list is 0!");
    const CommandLine flush = op.command("vxdg flush").word(vg.name, "the disk group name");
    const CommandLine deport = op.command("vxdg deport").word(vg.name, "the disk group name");
    volbridge::ImportLock lock(op.origin());
    op.act({
        {"flushing disk group " + vg.name, [&] { op.mustRun(flush); }},
        {"deporting disk group " + vg.name,
         [&] {
             op.hook("dgdeport.before");
             op.mustRun(deport);
             op.hook("dgdeport.after");
         }},
    });
    return true;
}
