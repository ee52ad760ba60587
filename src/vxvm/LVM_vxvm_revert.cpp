// In-place revert: the captured group rebuilt on disks the storage has rolled back. Only the
// plexes that lie wholly on the presented disks are rebuilt, each volume from its captured
// description reduced to those plexes.
//
// Everything a revert will use is checked before the live group is deported and the first disk
// is re-initialised: the presented disks and their access names, every name from the captured
// metadata that goes into a command, the temp directory and the description files' names, and
// that at least one volume can be rebuilt at all.
#include <limits.h>

#include <algorithm>

#include "core/ImportLock.h"
#include "core/ShellWord.h"
#include "core/ToolFile.h"
#include "host/YBPlatformInfo.h"
#include "vxvm/vxvm_internal.h"
#include "vxvm/vxvm_listing.h"

namespace volbridge {
namespace vxvm {

void get_plex_to_pv_list(const LVM_vxvm::VXDG& dg,
                         std::map<std::string, std::list<std::string>>& plex_das) {
    for (const auto& [volume, lv] : dg.lvs) {
        for (const auto& [plex, subdisks] : lv.plex_sds) {
            std::list<std::string> das;
            for (const std::string& sd : subdisks) {
                auto da = lv.sd_da_names.find(sd);
                if (da != lv.sd_da_names.end()) das.push_back(da->second);
            }
            das.sort();
            das.unique();
            plex_das[plex] = das;
        }
    }
}

bool reattach_plexes(const std::string& dg_name, const std::string& volume,
                     const std::list<std::string>& plexes) {
    const Operation op("reattach_plexes", unit::kVxvm);
    op.hook("reattach_plexes");
    const auto logFailure = [&](const CommandLine& cmd, const CommandResult& r) {
        op.log(0, "%s", op.failureText(cmd, r).c_str());
    };
    // A volume none of whose plexes could be initialised is not back: false.
    bool reattached = false;
    for (const std::string& plex : plexes) {
        auto fix = op.command("vxmend -g");
        fix.word(dg_name, "the disk group name").literal(" fix empty").word(volume, "the volume");
        const CommandResult fixed = op.run(fix);
        if (!fixed.succeeded()) logFailure(fix, fixed);

        auto init = op.command("vxvol -g");
        init.word(dg_name, "the disk group name").literal(" init clean");
        init.word(volume, "the volume").word(plex, "the plex");
        const CommandResult initialised = op.run(init);
        if (!initialised.succeeded()) {
            logFailure(init, initialised);
            continue;
        }
        auto start = op.command("vxvol -g");
        start.word(dg_name, "the disk group name").literal(" start").word(volume, "the volume");
        const CommandResult started = op.run(start);
        reattached = started.succeeded();
        if (!reattached) logFailure(start, started);
        break;
    }
    return reattached;
}

}  // namespace vxvm
}  // namespace volbridge

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Operation;

namespace {

const char kRevertPlexes[] = "LVM_vxvm::revert_plexes";
const volbridge::Origin kWriteDescription{"LVM_vxvm::writeLVMetadata", volbridge::unit::kVxvm};

// One volume to rebuild: its chosen plexes, its reduced description and the file vxmake reads.
struct Rebuild {
    std::string volume;
    std::list<std::string> plexes;
    std::string description;
    std::string file;
};

std::string plexList(const std::list<std::string>& plexes) {
    std::string text;
    for (const std::string& plex : plexes) text += (text.empty() ? "" : ",") + plex;
    return text;
}

// The cluster activation modes of a shared group ("node1=sw node2=sw") as a command.
CommandLine clusterModesCommand(const Operation& op, const LVM_vxvm::VXDG& dg) {
    auto cmd = op.command("cfsdgadm modify");
    cmd.word(dg.name, "the disk group name");
    std::vector<std::string> modes;
    volbridge::vxvm::Tokenize(dg.cluster_modes, modes, " \t");
    for (const std::string& mode : modes) {
        const size_t eq = mode.find('=');
        if (eq == std::string::npos) {
            cmd.word(mode, "the cluster activation mode");
            continue;
        }
        cmd.literal(" ").arg(mode.substr(0, eq), "the cluster node name");
        cmd.literal("=").arg(mode.substr(eq + 1), "the cluster activation mode");
    }
    return cmd;
}

bool restoresClusterModes(const LVM_vxvm::VXDG& dg) {
    return dg.shared && !dg.cluster_modes.empty();
}

// Gives a shared group back its cluster activation modes; a failure is only logged.
void restoreClusterModes(const Operation& op, const LVM_vxvm::VXDG& dg) {
    const CommandLine cmd = clusterModesCommand(op, dg);
    const CommandResult r = op.run(cmd);
    if (!r.succeeded()) op.log(2, "%s", op.failureText(cmd, r).c_str());
}

// The volumes that have chosen plexes, each with its reduced description and file name in
// `temp_dir`. Every name that goes into a command or a file name is checked, and a file already
// at such a name is refused unless it is a stale file of ours (which goes).
std::vector<Rebuild> planRebuilds(LVM_vxvm& self, const Operation& op, const LVM_vxvm::VXDG& dg,
                                  const std::string& temp_dir) {
    std::vector<Rebuild> plans;
    for (const auto& [volume, lv] : dg.lvs) {
        Rebuild plan{volume, {}, {}, {}};
        self.find_plexes(lv, plan.plexes);
        if (plan.plexes.empty()) continue;
        self.modify_metadata(lv, plan.plexes, plan.description);
        if (plan.description.empty()) {
            op.log(2, "Info: volume '%s' has no plex list to rebuild from", volume.c_str());
            continue;
        }
        volbridge::requireShellWord(volume, "the volume name", op.func(), op.unit(), __LINE__);
        if (volume.find('/') != std::string::npos) {
            op.fail("Refusing to use the volume name [" + volume + "]: it holds \"/\"");
        }
        for (const std::string& plex : plan.plexes) {
            volbridge::requireShellWord(plex, "the plex name", op.func(), op.unit(), __LINE__);
        }
        const std::string name =
            "yb_" + volume + "_" + std::to_string(volbridge::vxvm::epochSeconds()());
        if (name.size() > NAME_MAX) {
            op.fail("Refusing to use the volume name [" + volume +
                    "]: its description file name would be longer than " +
                    std::to_string(NAME_MAX) + " characters");
        }
        plan.file = temp_dir + "/" + name;
        volbridge::clearToolOutputPath(kWriteDescription, plan.file);
        plans.push_back(plan);
    }
    return plans;
}

// Runs vxmake on the description file; when it fails, gives the presented disks their captured
// disk media names (which the description names) and runs it once more.
void makeVolume(const Operation& op, const LVM_vxvm::VXDG& dg, const std::string& description_file,
                const std::map<std::string, std::string>& new2old_disks) {
    auto make = op.command("vxmake -g");
    make.word(dg.name, "the disk group name").literal(" -o makedev=on -d");
    make.word(description_file, "the description file");
    if (op.run(make).succeeded()) return;
    for (const auto& [newName, oldName] : new2old_disks) {
        op.log(3, "new2old_disks new [%s] old [%s]", newName.c_str(), oldName.c_str());
        auto rename = op.command("vxedit -g");
        rename.word(dg.name, "the disk group name").literal(" rename");
        rename.word(newName, "the disk").word(oldName, "the captured disk media name");
        op.log(3, "Info: cmd: '%s' ", rename.text().c_str());
        const CommandResult renamed = op.run(rename);
        if (!renamed.succeeded()) {
            op.log(2, "Info: cmd: '%s' failed with the message: '%s'. Continuing...",
                   rename.text().c_str(), renamed.err.c_str());
        }
    }
    const CommandResult again = op.run(make);
    if (!again.succeeded()) {
        op.log(2, "Info: cmd: '%s' failed with the message: '%s'. Continuing...",
               make.text().c_str(), again.err.c_str());
        op.fail(op.failureText(make, again));
    }
}

// Writes the volume's description, rebuilds the volume from it and brings it up; true when it
// started. The file is gone when this returns, on every path.
bool rebuildVolume(const Operation& op, const LVM_vxvm::VXDG& dg, const Rebuild& plan,
                   std::string& description_file,
                   const std::map<std::string, std::string>& new2old_disks) {
    const volbridge::ToolFile file(kWriteDescription, plan.file, plan.description);
    description_file = file.path();
    struct Forget {
        std::string& name;
        ~Forget() { name.clear(); }
    } forget{description_file};
    makeVolume(op, dg, file.path(), new2old_disks);
    return volbridge::vxvm::reattach_plexes(dg.name, plan.volume, plan.plexes);
}

[[noreturn]] void noVolumeReverted(const Operation& op) {
    op.fail(
        "Error: no volumes were reverted! This may be because the physical volumes presented "
        "were not enough to revert any volumes");
}

}  // namespace

// One revert of a group onto presented disks: its checks, what it changed, its steps.
struct LVM_vxvm::RevertSteps {
  public:
    RevertSteps(LVM_vxvm& self, Operation& op, const VXDG& dg,
                const std::list<std::string>& pv_dev_list,
                const std::map<std::string, std::string>& old2new_uuid_map)
        : self_(self), op_(op), dg_(dg), paths_(pv_dev_list), map_(old2new_uuid_map) {}

    // Everything that needs no command: the disks given, the names from the metadata that go
    // into commands, the temp directory.
    void checkInputs() {
        if (paths_.empty()) revertOp_.fail("Error: size of pv_dev_list is 0!");
        volbridge::requireShellWord(dg_.name, "the disk group name", op_.func(), op_.unit(),
                                    __LINE__);
        for (const auto& entry : dg_.pvs) {
            volbridge::requireShellWord(entry.first, "the captured disk media name", op_.func(),
                                        op_.unit(), __LINE__);
        }
        if (restoresClusterModes(dg_)) clusterModesCommand(plexesOp_, dg_);
        for (const std::string& path : paths_) {
            volbridge::requireShellWord(path, "the disk path", op_.func(), op_.unit(), __LINE__);
        }
        const char* temp = YBPI_Base::getPlumexTempDirectory();
        if (!temp) revertOp_.fail("Error: temp directory is NULL!");
        tempDir_ = temp;
    }

    // What the host shows: whether the live group is imported, the access name of each
    // presented disk, and so the plexes and volumes to rebuild.
    void readHost() {
        livePresent_ = self_.isDGPresent(dg_.name);
        const volbridge::vxvm::HostDisks host = volbridge::vxvm::HostDisks::read(revertOp_);
        for (const std::string& path : paths_) {
            const volbridge::vxvm::DiskPathRow* row = host.find(revertOp_.origin(), path);
            if (!row || row->da.empty() || row->da == "-") {
                revertOp_.fail("Error: could not obtain access name for '" + path + "'");
            }
            volbridge::requireShellWord(row->da, "the disk", op_.func(), op_.unit(), __LINE__);
            das_.push_back(row->da);
        }
        // Chosen afresh for these disks.
        self_.plexNames_.clear();
        self_.getRevertedPLs(dg_, paths_, std::list<std::string>(das_.begin(), das_.end()));
        plans_ = planRebuilds(self_, plexesOp_, dg_, tempDir_);
        // Nothing would be rebuilt: the live group stays as it is.
        if (plans_.empty()) noVolumeReverted(plexesOp_);
        logInputs();
    }

    void act() {
        std::vector<Operation::Step> steps;
        if (livePresent_) {
            steps.push_back({"deporting the live disk group " + dg_.name, [this] { deport(); }});
        }
        for (size_t i = 0; i < das_.size(); ++i) {
            const std::string& da = das_[i];
            steps.push_back(
                {i == 0 ? "re-initialising " + da + " and making disk group " + dg_.name + " on it"
                        : "re-initialising " + da + " and adding it to disk group " + dg_.name,
                 [this, i] { takeDisk(i); }});
        }
        for (size_t i = 0; i < plans_.size(); ++i) {
            steps.push_back({"rebuilding volume " + plans_[i].volume + " of " + dg_.name +
                                 " from plex " + plexList(plans_[i].plexes),
                             [this, i] { rebuild(i); }});
        }
        if (restoresClusterModes(dg_)) {
            steps.push_back({"giving disk group " + dg_.name + " its cluster activation back",
                             [this] { restoreClusterModes(plexesOp_, dg_); }});
        }
        op_.act(volbridge::vxvm::withFailurePath(steps, [this] { op_.hook("revertwait"); }));
    }

  private:
    LVM_vxvm& self_;
    Operation& op_;  // the operation the caller called: its steps, what it changed
    // The operations whose names the failures of their commands carry.
    const Operation revertOp_{"LVM_vxvm::revert", volbridge::unit::kVxvm};
    const Operation plexesOp_{kRevertPlexes, volbridge::unit::kVxvm};
    const VXDG& dg_;
    const std::list<std::string>& paths_;
    const std::map<std::string, std::string>& map_;
    std::string tempDir_;
    bool livePresent_ = false;
    std::vector<std::string> das_;
    std::vector<Rebuild> plans_;
    std::map<std::string, std::string> new2old_disks_;
    std::string descriptionFile_;
    int reverted_ = 0;

    std::string deportChange() const { return "the live disk group " + dg_.name + ", deported"; }

    void logInputs() {
        if (EvDebug(nullptr).getDebugLevel() <= 2) return;
        revertOp_.log(3, "old2new_uuid_map.size() [%lu] ", static_cast<unsigned long>(map_.size()));
        for (const auto& [oldId, newId] : map_) {
            revertOp_.log(3, "old2new_uuid_map old [%s] new [%s]", oldId.c_str(), newId.c_str());
        }
        revertOp_.log(3, "pv_dev_list.size() [%ld] ", static_cast<long>(paths_.size()));
        for (const std::string& path : paths_) {
            revertOp_.log(3, "pv_dev_list [%s] ", path.c_str());
        }
    }

    void deport() {
        revertOp_.mustRun(revertOp_.command("vxdg deport").word(dg_.name, "the disk group name"));
        // Until a disk is re-initialised, the live group can come back as it was.
        op_.changed(deportChange(), [this] {
            op_.mustRun(op_.command("vxdg -C import").word(dg_.name, "the disk group name"));
        });
    }

    // Re-initialises a presented disk and puts it into the group, which the first disk makes.
    void takeDisk(size_t i) {
        const std::string& da = das_[i];
        revertOp_.mustRun(revertOp_.command("vxdisk -f init").word(da, "the disk"));
        op_.forget(deportChange());
        op_.changed("the disk " + da + ", re-initialised for disk group " + dg_.name, [] {
            throw YbException("LVM_vxvm::revert",
                              "a re-initialised disk does not get its earlier contents back; run "
                              "the revert again with the same disks to finish it",
                              volbridge::unit::kVxvm, __LINE__, -1);
        });
        if (i == 0) {
            self_.createDG(dg_.name, da, dg_.shared ? Sharing::Shared : Sharing::Private);
            op_.changed("the disk group " + dg_.name + ", made again on " + da, [] {
                throw YbException("LVM_vxvm::revert",
                                  "it stays as far as the revert got, for a second revert with "
                                  "the same disks to finish",
                                  volbridge::unit::kVxvm, __LINE__, -1);
            });
        } else {
            auto add = revertOp_.command("vxdg -g");
            add.word(dg_.name, "the disk group name").literal(" adddisk").word(da, "the disk");
            revertOp_.mustRun(add);
        }
        matchCapturedDisk(da);
    }

    // The captured disk media name of the presented disk `da`, found through its current udid
    // and the caller's map, into `new2old_disks`.
    void matchCapturedDisk(const std::string& da) {
        std::string current;
        if (volbridge::vxvm::getDiskUuidForDisk(da.c_str(), current) != 0) {
            revertOp_.log(2, "Info: Could not get current uuid for DA [%s] ", da.c_str());
            return;
        }
        revertOp_.log(3, "currUuid: [%s]", current.c_str());
        for (const auto& [oldId, newId] : map_) {
            revertOp_.log(3, "old2new_uuid_map_it->second: [%s]", newId.c_str());
            if (current != newId && current != oldId) continue;
            revertOp_.log(3, "found currUuid in old2new_uuid_map");
            for (const auto& [dm, pv] : dg_.pvs) {
                revertOp_.log(3, "pv_map_it->second.uuid: [%s] pv_map_it->first [%s]",
                              pv.uuid.c_str(), dm.c_str());
                if (pv.uuid != oldId) continue;
                revertOp_.log(3, "found old2new_uuid_map_it->first in pv_map");
                new2old_disks_[da] = dm;
                revertOp_.log(3, "new DA name [%s] old DISK NAME: [%s]", da.c_str(), dm.c_str());
            }
        }
    }

    void rebuild(size_t i) {
        if (i == 0) plexesOp_.hook("revert_plexes");
        if (rebuildVolume(plexesOp_, dg_, plans_[i], descriptionFile_, new2old_disks_)) {
            ++reverted_;
        }
        if (i + 1 == plans_.size() && reverted_ == 0) noVolumeReverted(plexesOp_);
    }
};

namespace {

// Runs `body`; any exception other than a YbException becomes one from revert.
template <class F>
auto revertFailures(F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const YbException&) {
        throw;
    } catch (...) {
        volbridge::Origin{"LVM_vxvm::revert", volbridge::unit::kVxvm}.fail(
            "Unknown Exception:Unable to complete revert operation in LVM layer");
    }
}

}  // namespace

bool LVM_vxvm::canRevert(const VG& /*vg*/, const char* metadata,
                         const std::list<std::string>& pv_dev_list) {
    const Operation op("LVM_vxvm::canRevert", volbridge::unit::kVxvm);
    op.hook("canRevert");
    if (pv_dev_list.empty()) op.fail("Error: size of pv_dev_list is 0!");
    // The host's disk paths, read once; without them no disk has an access name.
    const auto cmd = op.command("vxdisk -qe path");
    const CommandResult r = op.run(cmd);
    if (!r.succeeded()) {
        op.log(2, "Info: cmd: '%s' failed with the message: '%s'", cmd.text().c_str(),
               r.err.c_str());
    }
    const volbridge::vxvm::HostDisks host(r.succeeded() ? r.out : "");
    std::list<std::string> das;
    std::string shown;
    for (const std::string& path : pv_dev_list) {
        const volbridge::vxvm::DiskPathRow* row = host.find(op.origin(), path);
        das.push_back(row ? row->da : "");
        shown += path + " -> " + das.back() + " : ";
    }
    op.log(2, "pv_devs = '%s'", shown.c_str());
    VXDG dg;
    getFromMetadata(metadata, dg);
    // Each call chooses afresh: plexes an earlier call chose for other disks are not on these.
    plexNames_.clear();
    getRevertedPLs(dg, pv_dev_list, das);
    return !plexNames_.empty();
}

void LVM_vxvm::getRevertedPLs(const VXDG& dg, const std::list<std::string>& /*pv_dev_list*/,
                              const std::list<std::string>& da_names) {
    const Operation op("LVM_vxvm::getRevertedPLs", volbridge::unit::kVxvm);
    op.hook("getRevertedPLs");
    std::map<std::string, std::list<std::string>> plexDas;
    volbridge::vxvm::get_plex_to_pv_list(dg, plexDas);
    for (const auto& [plex, das] : plexDas) {
        // A plex whose disks are unknown does not lie wholly on any disks.
        if (das.empty()) continue;
        const bool onPresented = std::all_of(das.begin(), das.end(), [&](const std::string& da) {
            return std::find(da_names.begin(), da_names.end(), da) != da_names.end();
        });
        if (!onPresented) continue;
        op.log(2, "plex = '%s'", plex.c_str());
        plexNames_.push_back(plex);
    }
}

bool LVM_vxvm::prepRevertLV(const VG& vg, const char* /*metadata*/,
                            const std::list<std::string>& pv_dev_list) {
    return cleanup(vg, pv_dev_list);
}

LVM::VG LVM_vxvm::revertLVs(const std::list<std::string>& pv_dev_list, const char* metadata,
                            std::map<std::string, std::string>& old2new_uuid_map) {
    Operation op("LVM_vxvm::revertLVs", volbridge::unit::kVxvm);
    op.hook("revertLVs");
    VXDG dg;
    getFromMetadata(metadata, dg);
    // The captured name goes into every command of the revert: checked before the first one.
    volbridge::requireShellWord(dg.name, "the disk group name", op.func(), op.unit(), __LINE__);
    volbridge::ImportLock lock(op.origin());
    revertFailures([&] {
        RevertSteps revert(*this, op, dg, pv_dev_list, old2new_uuid_map);
        revert.checkInputs();
        if (!op.run(op.command("vxdisk -f scandisks")).succeeded()) {
            op.log(2,
                   "Attempt to vxdisk scandisk is failed. Revert likely to fail. Please run "
                   "vxdisk scandisks manually and retry revert");
        }
        revert.readHost();
        revert.act();
    });
    VG vg;
    populateDG(dg.name, vg, dg);
    return vg;
}

void LVM_vxvm::revert(const VXDG& dg, const std::list<std::string>& pv_dev_list,
                      const char* /*metadata*/,
                      std::map<std::string, std::string>& old2new_uuid_map) {
    Operation op("LVM_vxvm::revert", volbridge::unit::kVxvm);
    if (pv_dev_list.empty()) op.fail("Error: size of pv_dev_list is 0!");
    volbridge::ImportLock lock(op.origin());
    revertFailures([&] {
        RevertSteps revert(*this, op, dg, pv_dev_list, old2new_uuid_map);
        revert.checkInputs();
        revert.readHost();
        revert.act();
    });
}

void LVM_vxvm::revert_plexes(const VXDG& dg, const char* temp_dir, std::string& description_file,
                             std::map<std::string, std::string>& new2old_disks) {
    const Operation op(kRevertPlexes, volbridge::unit::kVxvm);
    op.hook("revert_plexes");
    volbridge::requireShellWord(dg.name, "the disk group name", op.func(), op.unit(), __LINE__);
    if (restoresClusterModes(dg)) clusterModesCommand(op, dg);
    int reverted = 0;
    for (const Rebuild& plan : planRebuilds(*this, op, dg, temp_dir ? temp_dir : "")) {
        if (rebuildVolume(op, dg, plan, description_file, new2old_disks)) ++reverted;
    }
    if (reverted == 0) noVolumeReverted(op);
    if (restoresClusterModes(dg)) restoreClusterModes(op, dg);
}

void LVM_vxvm::getLVsOnPVs(const VG& vg, const std::list<std::string>& pv_dev_list,
                           std::list<std::string>& volumes) {
    const Operation op("LVM_vxvm::getLVsOnPVs", volbridge::unit::kVxvm);
    const volbridge::vxvm::HostDisks host(op.run(op.command("vxdisk -qe path")).out);
    std::set<std::string> udids;
    for (const std::string& path : pv_dev_list) {
        const volbridge::vxvm::DiskPathRow* row = host.find(op.origin(), path);
        // Without a disk media name "vxdisk -g <group> list" would list every disk of the group
        // and hand back the first one's udid: the device has no disk of the group then.
        if (!row || row->dm == "-") continue;
        std::string udid;
        getDiskUuid(vg.name, row->dm.c_str(), udid);
        if (!udid.empty()) udids.insert(udid);
    }
    for (const auto& entry : vg.lvs) {
        const LV& lv = entry.second;
        const bool onDisks = std::any_of(lv.pvs.begin(), lv.pvs.end(),
                                         [&](const std::string& pv) { return udids.count(pv); });
        if (onDisks) volumes.push_back(lv.device.substr(lv.device.rfind('/') + 1));
    }
    volumes.sort();
    volumes.unique();
}

bool LVM_vxvm::cancelRevertLV(const char* metadata, const std::list<std::string>& /*pv_dev_list*/) {
    Operation op("LVM_vxvm::cancelRevertLV", volbridge::unit::kVxvm);
    if (!metadata) op.fail("Error: metadata is NULL!");
    VXDG dg;
    getFromMetadata(metadata, dg);
    if (dg.name.empty()) op.fail("Error: the metadata holds no disk group record");
    const CommandLine import = op.command("vxdg -C import").word(dg.name, "the disk group name");
    volbridge::ImportLock lock(op.origin());
    op.act("importing the disk group " + dg.name, [&] {
        op.hook("dgimport.before");
        op.mustRun(import);
        op.hook("dgimport.after");
    });
    return true;
}
