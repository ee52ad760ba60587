// Removing a volume group made by clone import.
#include "LVM/LVM.h"
#include "core/Command.h"
#include "core/ShellWord.h"
#include "host/LogWriter.h"

namespace {

using volbridge::CommandLine;

const volbridge::Origin kHere{"LVM_linux_lvm::destroyVG", volbridge::unit::kLinuxLvm};

std::list<LVM::VG>::iterator findGroup(std::list<LVM::VG>& vgs, const std::string& name) {
    for (auto it = vgs.begin(); it != vgs.end(); ++it) {
        if (it->name == name) return it;
    }
    return vgs.end();
}

}  // namespace

void LVM_linux_lvm::destroyVG(const char* vg_name) {
    const std::string name = vg_name ? vg_name : "";
    volbridge::requireShellWord(name, "the VG name", kHere.func, kHere.unit, __LINE__);

    if (vgList_.empty()) vgList_ = getVGs(true);
    auto vg = findGroup(vgList_, name);
    if (vg == vgList_.end()) {
        // The cached list may predate the group (a group imported by this very object, say):
        // look once more at what LVM2 has now before calling it missing.
        vgList_ = getVGs(true);
        vg = findGroup(vgList_, name);
    }
    if (vg == vgList_.end()) {
        EvDebug(nullptr).Error(kHere.func, "Can't destroy non-existent VG %s", name.c_str());
        return;
    }

    if (!vg->lvs.empty()) {
        CommandLine cmd(kHere, "lvremove -f");
        for (const auto& entry : vg->lvs) cmd.word(entry.second.device, "the LV device path");
        volbridge::CommandResult removed = volbridge::run(cmd);
        if (!removed.succeeded()) kHere.fail("\"" + cmd.text() + "\" failed: " + removed.err);
    }
    // "-f": LVs that the listing leaves out (snapshots and their origins) go with the group
    // instead of making vgremove ask a question that nobody can answer.
    volbridge::CommandResult removed =
        volbridge::run(CommandLine(kHere, "vgremove -f").word(name, "the VG name"));
    if (!removed.succeeded()) kHere.fail("Failed to remove VG " + name + ": " + removed.err);
    vgList_.erase(vg);
}
