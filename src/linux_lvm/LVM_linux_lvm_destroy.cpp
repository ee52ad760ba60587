// Removing a volume group made by clone import.
#include "LVM/LVM.h"
#include "core/ShellWord.h"
#include "host/LogWriter.h"
#include "host/YbProcess.h"

namespace {

const char* const kFunc = "LVM_linux_lvm::destroyVG";
const char* const kUnit = "LVM_linux_lvm";

std::list<LVM::VG>::iterator findGroup(std::list<LVM::VG>& vgs, const std::string& name) {
    for (auto it = vgs.begin(); it != vgs.end(); ++it) {
        if (it->name == name) return it;
    }
    return vgs.end();
}

}  // namespace

void LVM_linux_lvm::destroyVG(const char* vg_name) {
    const std::string name = vg_name ? vg_name : "";
    volbridge::requireShellWord(name, "the VG name", kFunc, kUnit, __LINE__);

    if (vgList_.empty()) vgList_ = getVGs(true);
    auto vg = findGroup(vgList_, name);
    if (vg == vgList_.end()) {
        // The cached list may predate the group (a group imported by this very object, say):
        // look once more at what LVM2 has now before calling it missing.
        vgList_ = getVGs(true);
        vg = findGroup(vgList_, name);
    }
    if (vg == vgList_.end()) {
        EvDebug(nullptr).Error(kFunc, "Can't destroy non-existent VG %s", name.c_str());
        return;
    }

    std::string out, err;
    if (!vg->lvs.empty()) {
        std::string cmd = "lvremove -f";
        for (const auto& entry : vg->lvs) {
            volbridge::requireShellWord(entry.second.device, "the LV device path", kFunc, kUnit,
                                        __LINE__);
            cmd += " " + entry.second.device;
        }
        if (YbProcess::system(cmd.c_str(), &out, &err, 0, false) != 0) {
            throw YbException(kFunc, "\"" + cmd + "\" failed: " + err, kUnit, __LINE__, -1);
        }
    }
    // "-f": LVs that the listing leaves out (snapshots and their origins) go with the group
    // instead of making vgremove ask a question that nobody can answer.
    if (YbProcess::system(("vgremove -f " + name).c_str(), &out, &err, 0, false) != 0) {
        throw YbException(kFunc, "Failed to remove VG " + name + ": " + err, kUnit, __LINE__, -1);
    }
    vgList_.erase(vg);
}
