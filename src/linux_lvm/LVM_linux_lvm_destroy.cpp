// Removing a volume group made by clone import.
//
//   check   under the import lock (no import is making a group meanwhile): the group, by name,
//           exactly one of them; its LVs, those the LV listing leaves out included;
//   act     its LVs removed in one command, then the group;
//   result  the group is gone, as LVM2 lists the groups afterwards.
//
// Removed LVs cannot be brought back: when the group then fails to go, the log says what is left.
#include <set>

#include "LVM/LVM.h"
#include "core/Command.h"
#include "core/ImportLock.h"
#include "core/Operation.h"
#include "core/ShellWord.h"
#include "linux_lvm/lvm2_command.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_discovery.h"
#include "linux_lvm/lvm2_listing.h"

namespace {

using volbridge::CommandLine;
using volbridge::Operation;
using volbridge::lvm2::GroupListing;

std::list<LVM::VG>::iterator findGroup(std::list<LVM::VG>& vgs, const std::string& uuid) {
    for (auto it = vgs.begin(); it != vgs.end(); ++it) {
        if (it->uuid == uuid) return it;
    }
    return vgs.end();
}

// The groups of that name in a listing of every group (the LV listing leaves out groups
// without LVs and groups whose LVs it does not show).
std::list<LVM::VG> groupsNamed(const Operation& op, const std::string& name) {
    GroupListing listing = volbridge::lvm2::listGroups(op.origin());
    if (!listing.ok) op.fail("Failed to list the VGs: " + listing.problem);
    std::list<LVM::VG> named;
    for (const LVM::VG& vg : listing.groups) {
        if (vg.name == name) named.push_back(vg);
    }
    return named;
}

// The plain (striped) hidden LVs of the group that no other LV names: LVM2 keeps such an LV, but
// "lvs" does not show it and "vgremove -f" fails on it, so it is named to lvremove with the
// others. When the group cannot be read here, there are none; vgremove then says what is wrong.
std::list<std::string> unusedHiddenLVs(const Operation& op, const std::string& name,
                                       const std::string& uuid) {
    using volbridge::lvm2::Node;
    using Parser = LVM_linux_lvm_parser;
    std::list<std::string> unused;
    try {
        const std::string text = volbridge::lvm2::readVGMetadata(name, uuid);
        Parser parser;
        Parser::NodeAutoPtr root(parser.parse(text.c_str()));
        Node* vg = nullptr;
        for (Node* n = root; n && !vg; n = n->next) {
            if (!volbridge::lvm2::idOf(n).empty()) vg = n;
        }
        Node* lvs = vg ? Parser::findDirectChild(vg, "logical_volumes") : nullptr;
        if (!lvs) return unused;
        std::set<std::string> names, used;
        for (Node* lv = lvs->child; lv; lv = lv->next) names.insert(lv->name);
        for (Node* lv = lvs->child; lv; lv = lv->next) {
            for (Node* seg = lv->child; seg; seg = seg->next) {
                if (!volbridge::lvm2::isSegment(seg)) continue;
                for (Node* entry = seg->child; entry; entry = entry->next) {
                    for (Parser::Value* v = entry->value; v; v = v->next) {
                        if (v->str && names.count(v->str) && lv->name != std::string(v->str)) {
                            used.insert(v->str);
                        }
                    }
                }
            }
        }
        for (Node* lv = lvs->child; lv; lv = lv->next) {
            bool plain = true;
            for (Node* seg = lv->child; seg; seg = seg->next) {
                if (volbridge::lvm2::isSegment(seg) &&
                    !volbridge::lvm2::isSegmentOfType(seg, "striped")) {
                    plain = false;
                }
            }
            if (plain && !volbridge::lvm2::isVisibleLV(lv, parser) && !used.count(lv->name)) {
                unused.push_back(lv->name);
            }
        }
    } catch (const YbException& e) {
        op.log(2, "No hidden LVs looked for in VG %s: %s", name.c_str(), e.getMessage().c_str());
    }
    return unused;
}

}  // namespace

void LVM_linux_lvm::destroyVG(const char* vg_name) {
    Operation op("LVM_linux_lvm::destroyVG", volbridge::unit::kLinuxLvm);
    const std::string name = vg_name ? vg_name : "";

    // ---- check ----
    volbridge::requireShellWord(name, "the VG name", op.func(), op.unit(), __LINE__);
    volbridge::ImportLock lock(op.origin());
    std::list<VG> named = groupsNamed(op, name);
    if (named.empty()) {
        op.error("Can't destroy non-existent VG %s", name.c_str());
        return;
    }
    // LVM2 would refuse the name; which of them was meant is not for us to guess.
    if (named.size() > 1) {
        op.fail("Can't destroy VG " + name + ": " + std::to_string(named.size()) +
                " groups bear that name");
    }
    const std::string uuid = named.front().uuid;

    // Its LVs, from the LV listing; the cached one may predate the group (a group imported by
    // this very object, say).
    if (vgList_.empty()) vgList_ = getVGs(true);
    auto vg = findGroup(vgList_, uuid);
    if (vg == vgList_.end()) {
        vgList_ = getVGs(true);
        vg = findGroup(vgList_, uuid);
    }
    std::list<std::string> devices;
    if (vg != vgList_.end()) {
        for (const auto& entry : vg->lvs) devices.push_back(entry.second.device);
    }
    for (const std::string& lv : unusedHiddenLVs(op, name, uuid)) {
        devices.push_back("/dev/" + name + "/" + lv);
    }
    CommandLine lvremove = op.command("lvremove -f");
    for (const std::string& device : devices) lvremove.word(device, "the LV device path");

    // ---- act ----
    std::vector<Operation::Step> steps;
    if (!devices.empty()) {
        steps.push_back({"removing " + std::to_string(devices.size()) + " LVs of " + name, [&] {
                             volbridge::lvm2::mustRunLvm(op, lvremove,
                                                         "\"" + lvremove.text() + "\" failed");
                             op.changed("the removal of the LVs of " + name,
                                        [&op] { op.fail("a removed LV cannot be brought back"); });
                         }});
    }
    // "-f": LVs that the listing leaves out (snapshots, hidden LVs) go with the group instead of
    // making vgremove ask a question that nobody can answer.
    steps.push_back({"removing " + name, [&] {
                         volbridge::lvm2::mustRunLvm(
                             op, op.command("vgremove -f").word(name, "the VG name"),
                             "Failed to remove VG " + name);
                     }});
    op.act(steps);

    // ---- result ----
    for (const VG& left : groupsNamed(op, name)) {
        if (left.uuid == uuid) {
            op.fail("Failed to remove VG " + name + ": it is still there after \"vgremove -f " +
                    name + "\" succeeded");
        }
    }
    if (vg != vgList_.end()) vgList_.erase(vg);
}
