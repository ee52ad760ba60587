// In-place revert: the captured group rebuilt on disks the storage has rolled back. Only the
// plexes that lie wholly on the presented disks are rebuilt, each volume from its captured
// description reduced to those plexes.
#include <unistd.h>

#include <algorithm>

#include "core/ShellWord.h"
#include "host/LogWriter.h"
#include "host/YBPlatformInfo.h"
#include "vxvm/vxvm_internal.h"

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
    const Origin here{"reattach_plexes", unit::kVxvm};
    waitFor("reattach_plexes");
    const auto logFailure = [&](const CommandLine& cmd, const CommandResult& r) {
        g_ptrLogWriter->log(0, here.func, __LINE__, 0, 0,
                            "Error: cmd: '%s' failed with the error: '%s'", cmd.text().c_str(),
                            r.err.c_str());
    };
    // A volume none of whose plexes could be initialised is not back: false.
    bool reattached = false;
    for (const std::string& plex : plexes) {
        CommandLine fix(here, "vxmend -g");
        fix.word(dg_name, "the disk group name").literal(" fix empty").word(volume, "the volume");
        const CommandResult fixed = run(fix);
        if (!fixed.succeeded()) logFailure(fix, fixed);

        CommandLine init(here, "vxvol -g");
        init.word(dg_name, "the disk group name").literal(" init clean");
        init.word(volume, "the volume").word(plex, "the plex");
        const CommandResult initialised = run(init);
        if (!initialised.succeeded()) {
            logFailure(init, initialised);
            continue;
        }
        CommandLine start(here, "vxvol -g");
        start.word(dg_name, "the disk group name").literal(" start").word(volume, "the volume");
        const CommandResult started = run(start);
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
using volbridge::Origin;
using volbridge::vxvm::commandFailure;
using volbridge::vxvm::waitFor;

namespace {

const Origin kRevert{"LVM_vxvm::revert", volbridge::unit::kVxvm};

// A volume name from the captured metadata names a file of ours and goes into commands: a shell
// word that is no path.
void requireVolumeName(const Origin& at, const std::string& volume) {
    volbridge::requireShellWord(volume, "the volume name", at.func, at.unit, __LINE__);
    if (volume.find('/') != std::string::npos) {
        at.fail("Refusing to use the volume name [" + volume + "]: it holds \"/\"");
    }
}

// Removes the description file named in `path` when the scope is left, and forgets its name.
class DescriptionFile {
  public:
    explicit DescriptionFile(std::string& path) : path_(path) {}
    ~DescriptionFile() {
        if (!path_.empty()) unlink(path_.c_str());
        path_.clear();
    }
    DescriptionFile(const DescriptionFile&) = delete;
    DescriptionFile& operator=(const DescriptionFile&) = delete;

  private:
    std::string& path_;
};

}  // namespace

struct LVM_vxvm::RevertSteps {
    LVM_vxvm& self;
    const VXDG& dg;

    // Takes the live group of the captured name out of use.
    void deportLiveGroup() {
        if (!self.isDGPresent(dg.name)) return;
        const CommandLine deport =
            CommandLine(kRevert, "vxdg deport").word(dg.name, "the disk group name");
        const CommandResult r = volbridge::run(deport);
        if (!r.succeeded()) kRevert.fail(commandFailure(deport.text(), r.err));
    }

    void logInputs(const std::list<std::string>& pv_dev_list,
                   const std::map<std::string, std::string>& old2new_uuid_map) {
        if (self.debug_->getDebugLevel() <= 2) return;
        self.debug_->DebugLvl(kRevert.func, 3, "old2new_uuid_map.size() [%lu] ",
                              static_cast<unsigned long>(old2new_uuid_map.size()));
        for (const auto& [oldId, newId] : old2new_uuid_map) {
            self.debug_->DebugLvl(kRevert.func, 3, "old2new_uuid_map old [%s] new [%s]",
                                  oldId.c_str(), newId.c_str());
        }
        self.debug_->DebugLvl(kRevert.func, 3, "pv_dev_list.size() [%ld] ",
                              static_cast<long>(pv_dev_list.size()));
        for (const std::string& path : pv_dev_list) {
            self.debug_->DebugLvl(kRevert.func, 3, "pv_dev_list [%s] ", path.c_str());
        }
    }

    // Reinitialises a presented disk and puts it into the group (which the first disk creates).
    // Returns its access name.
    std::string takeDisk(const std::string& path, bool* created) {
        std::string da;
        self.getDiskField(path, 1, da);
        if (da.empty() || da == "-") {
            kRevert.fail("Error: could not obtain access name for '" + path + "'");
        }
        const CommandLine init = CommandLine(kRevert, "vxdisk -f init").word(da, "the disk");
        const CommandResult initialised = volbridge::run(init);
        if (!initialised.succeeded()) kRevert.fail(commandFailure(init.text(), initialised.err));
        if (!*created && !self.isDGPresent(dg.name)) {
            self.createDG(dg.name, da, dg.shared ? Sharing::Shared : Sharing::Private);
            *created = true;
        } else {
            CommandLine add(kRevert, "vxdg -g");
            add.word(dg.name, "the disk group name").literal(" adddisk").word(da, "the disk");
            const CommandResult added = volbridge::run(add);
            if (!added.succeeded()) kRevert.fail(commandFailure(add.text(), added.err));
        }
        return da;
    }

    // The captured disk media name of the presented disk `da`, found through its current udid
    // and the caller's map, into `new2old_disks`.
    void matchCapturedDisk(const std::string& da,
                           const std::map<std::string, std::string>& old2new_uuid_map,
                           std::map<std::string, std::string>& new2old_disks) {
        std::string current;
        if (volbridge::vxvm::getDiskUuidForDisk(da.c_str(), current) != 0) {
            self.debug_->Debug(kRevert.func, "Info: Could not get current uuid for DA [%s] ",
                               da.c_str());
            return;
        }
        EvDebug& log = *self.debug_;
        log.DebugLvl(kRevert.func, 3, "currUuid: [%s]", current.c_str());
        for (const auto& [oldId, newId] : old2new_uuid_map) {
            log.DebugLvl(kRevert.func, 3, "old2new_uuid_map_it->second: [%s]", newId.c_str());
            if (current != newId && current != oldId) continue;
            log.DebugLvl(kRevert.func, 3, "found currUuid in old2new_uuid_map");
            for (const auto& [dm, pv] : dg.pvs) {
                log.DebugLvl(kRevert.func, 3, "pv_map_it->second.uuid: [%s] pv_map_it->first [%s]",
                             pv.uuid.c_str(), dm.c_str());
                if (pv.uuid != oldId) continue;
                log.DebugLvl(kRevert.func, 3, "found old2new_uuid_map_it->first in pv_map");
                new2old_disks[da] = dm;
                log.DebugLvl(kRevert.func, 3, "new DA name [%s] old DISK NAME: [%s]", da.c_str(),
                             dm.c_str());
            }
        }
    }

    // Runs vxmake on the description file; when it fails, gives the presented disks their
    // captured disk media names (which the description names) and runs it once more.
    void makeVolume(const std::string& description_file,
                    const std::map<std::string, std::string>& new2old_disks) {
        const Origin here{"LVM_vxvm::revert_plexes", volbridge::unit::kVxvm};
        CommandLine make(here, "vxmake -g");
        make.word(dg.name, "the disk group name").literal(" -o makedev=on -d");
        make.word(description_file, "the description file");
        if (volbridge::run(make).succeeded()) return;
        for (const auto& [newName, oldName] : new2old_disks) {
            self.debug_->DebugLvl(here.func, 3, "new2old_disks new [%s] old [%s]", newName.c_str(),
                                  oldName.c_str());
            CommandLine rename(here, "vxedit -g");
            rename.word(dg.name, "the disk group name").literal(" rename");
            rename.word(newName, "the disk").word(oldName, "the captured disk media name");
            self.debug_->DebugLvl(here.func, 3, "Info: cmd: '%s' ", rename.text().c_str());
            const CommandResult renamed = volbridge::run(rename);
            if (!renamed.succeeded()) {
                self.debug_->Debug(here.func,
                                   "Info: cmd: '%s' failed with the message: '%s'. Continuing...",
                                   rename.text().c_str(), renamed.err.c_str());
            }
        }
        const CommandResult again = volbridge::run(make);
        if (!again.succeeded()) {
            self.debug_->Debug(here.func,
                               "Info: cmd: '%s' failed with the message: '%s'. Continuing...",
                               make.text().c_str(), again.err.c_str());
            here.fail(commandFailure(make.text(), again.err));
        }
    }

    // Gives a shared group back its cluster activation modes ("node1=sw node2=sw"); a failure is
    // only logged.
    void restoreClusterModes() {
        if (!dg.shared || dg.cluster_modes.empty()) return;
        const Origin here{"LVM_vxvm::revert_plexes", volbridge::unit::kVxvm};
        std::string wanted = "cfsdgadm modify " + dg.name + " " + dg.cluster_modes;
        try {
            CommandLine cmd(here, "cfsdgadm modify");
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
            wanted = cmd.text();
            const CommandResult r = volbridge::run(cmd);
            if (r.succeeded()) return;
            self.debug_->Debug(here.func, "Error: cmd: '%s' failed with the error: '%s'",
                               wanted.c_str(), r.err.c_str());
        } catch (const YbException& e) {
            self.debug_->Debug(here.func, "Error: cmd: '%s' failed with the error: '%s'",
                               wanted.c_str(), e.getMessage().c_str());
        }
    }
};

bool LVM_vxvm::canRevert(const VG& /*vg*/, const char* metadata,
                         const std::list<std::string>& pv_dev_list) {
    const Origin here{"LVM_vxvm::canRevert", volbridge::unit::kVxvm};
    waitFor("canRevert");
    if (pv_dev_list.empty()) here.fail("Error: size of pv_dev_list is 0!");
    std::list<std::string> daNames;
    std::string shown;
    for (const std::string& path : pv_dev_list) {
        std::string da;
        getDiskField(path, 1, da);
        daNames.push_back(da);
        shown += path + " -> " + da + " : ";
    }
    EvDebug(nullptr).DebugLvl(here.func, 2, "pv_devs = '%s'", shown.c_str());
    VXDG dg;
    getFromMetadata(metadata, dg);
    getRevertedPLs(dg, pv_dev_list, daNames);
    return !plexNames_.empty();
}

void LVM_vxvm::getRevertedPLs(const VXDG& dg, const std::list<std::string>& /*pv_dev_list*/,
                              const std::list<std::string>& da_names) {
    const Origin here{"LVM_vxvm::getRevertedPLs", volbridge::unit::kVxvm};
    waitFor("getRevertedPLs");
    std::map<std::string, std::list<std::string>> plexDas;
    volbridge::vxvm::get_plex_to_pv_list(dg, plexDas);
    for (const auto& [plex, das] : plexDas) {
        // A plex whose disks are unknown does not lie wholly on any disks.
        if (das.empty()) continue;
        const bool onPresented = std::all_of(das.begin(), das.end(), [&](const std::string& da) {
            return std::find(da_names.begin(), da_names.end(), da) != da_names.end();
        });
        if (!onPresented) continue;
        debug_->Debug(here.func, "plex = '%s'", plex.c_str());
        plexNames_.push_back(plex);
    }
}

bool LVM_vxvm::prepRevertLV(const VG& vg, const char* /*metadata*/,
                            const std::list<std::string>& pv_dev_list) {
    return cleanup(vg, pv_dev_list);
}

LVM::VG LVM_vxvm::revertLVs(const std::list<std::string>& pv_dev_list, const char* metadata,
                            std::map<std::string, std::string>& old2new_uuid_map) {
    const Origin here{"LVM_vxvm::revertLVs", volbridge::unit::kVxvm};
    waitFor("revertLVs");
    VXDG dg;
    getFromMetadata(metadata, dg);
    // The captured name goes into every command of the revert: checked before the first one.
    volbridge::requireShellWord(dg.name, "the disk group name", here.func, here.unit, __LINE__);
    if (!volbridge::run(CommandLine(here, "vxdisk -f scandisks")).succeeded()) {
        debug_->Debug(here.func,
                      "Attempt to vxdisk scandisk is failed. Revert likely to fail. Please run "
                      "vxdisk scandisks manually and retry revert");
    }
    revert(dg, pv_dev_list, metadata, old2new_uuid_map);
    VG vg;
    populateDG(dg.name, vg, dg);
    return vg;
}

void LVM_vxvm::revert(const VXDG& dg, const std::list<std::string>& pv_dev_list,
                      const char* /*metadata*/,
                      std::map<std::string, std::string>& old2new_uuid_map) {
    if (pv_dev_list.empty()) kRevert.fail("Error: size of pv_dev_list is 0!");
    volbridge::requireShellWord(dg.name, "the disk group name", kRevert.func, kRevert.unit,
                                __LINE__);
    RevertSteps steps{*this, dg};
    std::string description_file;
    // The step hook lets an operator look at the state before the file in flight goes.
    const auto cleanUp = [&] {
        waitFor("revertwait");
        if (!description_file.empty()) unlink(description_file.c_str());
    };
    try {
        steps.deportLiveGroup();
        steps.logInputs(pv_dev_list, old2new_uuid_map);
        std::list<std::string> daNames;
        std::map<std::string, std::string> new2old_disks;
        bool created = false;
        for (const std::string& path : pv_dev_list) {
            const std::string da = steps.takeDisk(path, &created);
            daNames.push_back(da);
            steps.matchCapturedDisk(da, old2new_uuid_map, new2old_disks);
        }
        const char* tempDir = YBPI_Base::getPlumexTempDirectory();
        if (!tempDir) kRevert.fail("Error: temp directory is NULL!");
        const std::string tempDirectory = tempDir;
        getRevertedPLs(dg, pv_dev_list, daNames);
        revert_plexes(dg, tempDirectory.c_str(), description_file, new2old_disks);
    } catch (const YbException&) {
        cleanUp();
        throw;
    } catch (...) {
        cleanUp();
        kRevert.fail("Unknown Exception:Unable to complete revert operation in LVM layer");
    }
}

void LVM_vxvm::revert_plexes(const VXDG& dg, const char* temp_dir, std::string& description_file,
                             std::map<std::string, std::string>& new2old_disks) {
    const Origin here{"LVM_vxvm::revert_plexes", volbridge::unit::kVxvm};
    waitFor("revert_plexes");
    RevertSteps steps{*this, dg};
    int reverted = 0;
    for (const auto& [volume, lv] : dg.lvs) {
        std::list<std::string> plexes;
        find_plexes(lv, plexes);
        if (plexes.empty()) continue;
        std::string description;
        modify_metadata(lv, plexes, description);
        if (description.empty()) {
            debug_->Debug(here.func, "Info: volume '%s' has no plex list to rebuild from",
                          volume.c_str());
            continue;
        }
        requireVolumeName(here, volume);
        const std::string path = std::string(temp_dir) + "/" + "yb" + "_" + volume + "_" +
                                 std::to_string(volbridge::vxvm::epochSeconds()());
        // Named (and removed, on every path from here) only once it is written: a file at that
        // name that was refused is not ours to remove.
        writeLVMetadata(path, description);
        description_file = path;
        {
            DescriptionFile owner(description_file);
            steps.makeVolume(description_file, new2old_disks);
            if (volbridge::vxvm::reattach_plexes(dg.name, volume, plexes)) ++reverted;
        }
    }
    if (reverted == 0) {
        here.fail(
            "Error: no volumes were reverted! This may be because the physical volumes presented "
            "were not enough to revert any volumes");
    }
    steps.restoreClusterModes();
}

void LVM_vxvm::getLVsOnPVs(const VG& vg, const std::list<std::string>& pv_dev_list,
                           std::list<std::string>& volumes) {
    std::set<std::string> udids;
    for (const std::string& path : pv_dev_list) {
        std::string udid;
        getDiskidFromOSName(vg.name, path, udid);
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
    const Origin here{"LVM_vxvm::cancelRevertLV", volbridge::unit::kVxvm};
    VXDG dg;
    getFromMetadata(metadata, dg);
    waitFor("dgimport.before");
    const CommandLine import =
        CommandLine(here, "vxdg -C import").word(dg.name, "the disk group name");
    const CommandResult r = volbridge::run(import);
    if (!r.succeeded()) here.fail(commandFailure(import.text(), r.err));
    waitFor("dgimport.after");
    return true;
}
