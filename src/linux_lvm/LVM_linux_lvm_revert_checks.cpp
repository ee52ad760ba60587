// The revert protocol around a storage rollback: may these disks be rolled back, take the
// affected LVs out of service, and bring them back if the revert is abandoned. Each reads the
// live group from LVM2 when it runs, and says false (with the reason in the log) when it could
// not do what it was asked: a device that is no PV of the group, an LV that would not go out of
// (or back into) service.
//
// prepRevertLV and cancelRevertLV check everything first, then run one command for all the LVs
// concerned. When the deactivation fails, prepRevertLV brings those LVs back into service: a
// revert that cannot be prepared leaves the group as it was.
#include <sys/stat.h>

#include <set>

#include "LVM/LVM.h"
#include "core/Command.h"
#include "core/Operation.h"
#include "core/Text.h"
#include "linux_lvm/lvm2_command.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_discovery.h"
#include "linux_lvm/lvm2_restore.h"
#include "linux_lvm/lvm2_revert.h"

namespace volbridge {
namespace lvm2 {

namespace {

using Parser = LVM_linux_lvm_parser;

// The live metadata of the group, read from LVM2, parsed and validated.
struct LiveGroup : CheckedMetadata {
    LiveGroup(const Operation& op, const std::string& vg_name, const std::string& vg_uuid) {
        op.log(2, "Parsing live metadata of VG [%s]", vg_name.c_str());
        read(readVGMetadata(vg_name, vg_uuid), "metadata of VG " + vg_name);
    }

    // Names of the PV sections whose device is one of `devices`. Every device must be one of
    // them: a revert of disks the group does not have would work on the wrong volumes.
    std::set<std::string> revertedPvs(const Operation& op, const std::list<std::string>& devices) {
        std::set<std::string> names;
        for (const std::string& device : devices) {
            bool found = false;
            for (Node* pv = pvs->child; pv; pv = pv->next) {
                Node* path = Parser::findDirectChild(pv, "device");
                if (path && path->isString() && matchDev(path->value->str, {device})) {
                    names.insert(pv->name);
                    found = true;
                }
            }
            if (!found) {
                op.fail("Device " + printable(device) + " is not a PV of VG [" +
                        printable(vg->name) + "]");
            }
        }
        return names;
    }

    // The visible LVs that use one of the PVs `reverted`, themselves or through what they are
    // made of (mirror sides and logs, raid images, pools, origins), as device paths. A snapshot
    // goes with its origin.
    std::list<std::string> affected(const Operation& op, const std::string& vg_name,
                                    const std::set<std::string>& reverted, bool activate) {
        const LvUsage usage(pvs, lvs);
        std::list<std::string> devices;
        for (Node* lv = lvs->child; lv; lv = lv->next) {
            if (!isVisibleLV(lv, parser) || hasSegmentOfType(lv, "snapshot")) continue;
            bool uses = false;
            for (const std::string& pv : usage.pvs(lv->name)) uses = uses || reverted.count(pv);
            if (!uses) continue;
            op.log(2, activate ? "Activating LV %s" : "Deactivating LV %s", lv->name);
            devices.push_back("/dev/" + vg_name + "/" + lv->name);
        }
        return devices;
    }
};

std::string listed(const std::list<std::string>& devices) {
    std::string text;
    for (const std::string& device : devices) text += (text.empty() ? "" : ", ") + device;
    return text;
}

// "lvchange -ay" or "-an" of `devices`, in one command; throws "Failed to activate LVs of VG
// [<vg>] (<devices>): <error>" (or "deactivate").
void toggle(const Operation& op, const std::string& vg_name, const std::list<std::string>& devices,
            bool activate) {
    const std::string sentence =
        std::string(activate ? "Failed to activate" : "Failed to deactivate") + " LVs of VG [" +
        printable(vg_name) + "] (" + listed(devices) + ")";
    for (const CommandLine& cmd : commandsFor(op, activate ? "lvchange -ay" : "lvchange -an",
                                              devices, "the LV device path")) {
        mustRunLvm(op, cmd, sentence);
    }
}

// What the step does to the LVs of `vg_name` on `devices`.
std::string stepName(const char* verb, const std::list<std::string>& lvs,
                     const std::string& vg_name, const std::list<std::string>& devices) {
    std::string on;
    for (const std::string& device : devices) on += " " + device;
    return std::string(verb) + " " + std::to_string(lvs.size()) + " LVs of " + vg_name + " on" + on;
}

}  // namespace

bool matchDev(const std::string& device, const std::list<std::string>& devices) {
    struct stat st;
    if (stat(device.c_str(), &st) == 0) {
        // A block device by its device number; anything else by its inode (the device number of
        // a regular file is 0 whatever file it is).
        for (const std::string& candidate : devices) {
            struct stat other;
            if (stat(candidate.c_str(), &other) == 0 && sameDevice(st, other)) return true;
        }
        return false;
    }
    for (const std::string& candidate : devices) {
        if (candidate == device) return true;
    }
    return false;
}

void checkRevertable(const Operation& op, Node* lvs, const LvUsage& usage,
                     LVM_linux_lvm_parser& parser, const std::set<std::string>& reverted) {
    // A striped LV lies by its own stripes; a stacked LV (raid, thin, cache, ...) by every PV it
    // uses, since it is never taken apart. Mirrors and snapshots are judged by their parts, which
    // a revert may separate.
    std::set<std::string> affected;
    for (Node* lv = lvs->child; lv; lv = lv->next) {
        int inside = 0;
        int outside = 0;
        const std::list<std::string> pvs =
            isStackedLV(lv)
                ? std::list<std::string>(usage.pvs(lv->name).begin(), usage.pvs(lv->name).end())
                : findPVofLV(lv, parser);
        for (const std::string& pv : pvs) ++(reverted.count(pv) ? inside : outside);
        if (inside && outside) {
            op.fail("Can't allow revert because LV " + printable(lv->name) +
                    " resides both on PVs that will be reverted and on those that won't be.");
        }
        if (inside) affected.insert(lv->name);
        op.log(2, "LV %s will%s be affected", lv->name, inside ? "" : " NOT");
    }

    for (Node* lv = lvs->child; lv; lv = lv->next) {
        for (Node* seg = lv->child; seg; seg = seg->next) {
            if (!isSegmentOfType(seg, "snapshot")) continue;
            const std::string origin = stringValue(seg, "origin");
            const std::string cow = stringValue(seg, "cow_store");
            const bool originAffected = affected.count(origin);
            const bool cowAffected = affected.count(cow);
            if (originAffected && !cowAffected) {
                op.fail("Can't allow revert because there is an affected LV " + printable(origin) +
                        " that has snap " + printable(cow) + " that would not be reverted");
            }
            if (!originAffected && cowAffected) {
                op.fail("Can't allow revert because there is a not affected LV " +
                        printable(origin) + " that has snap " + printable(cow) +
                        " residing on one of the passed PVs");
            }
        }
    }
}

}  // namespace lvm2
}  // namespace volbridge

using volbridge::Operation;
using volbridge::lvm2::LiveGroup;

bool LVM_linux_lvm::canRevert(const VG& vg, const char* /*metadata*/,
                              const std::list<std::string>& pv_dev_list) {
    Operation op("LVM_linux_lvm::canRevert", volbridge::unit::kLinuxLvm);
    return op.falseOnFailure([&] {
        LiveGroup live(op, vg.name, vg.uuid);
        const std::set<std::string> reverted = live.revertedPvs(op, pv_dev_list);
        volbridge::lvm2::checkRevertable(op, live.lvs, volbridge::lvm2::LvUsage(live.pvs, live.lvs),
                                         live.parser, reverted);
        return true;
    });
}

bool LVM_linux_lvm::prepRevertLV(const VG& vg, const char* /*metadata*/,
                                 const std::list<std::string>& pv_dev_list) {
    Operation op("LVM_linux_lvm::prepRevertLV", volbridge::unit::kLinuxLvm);
    return op.falseOnFailure([&] {
        // ---- check ----
        LiveGroup live(op, vg.name, vg.uuid);
        const std::list<std::string> lvs =
            live.affected(op, vg.name, live.revertedPvs(op, pv_dev_list), false);
        if (lvs.empty()) return true;
        // ---- act ----
        op.act(volbridge::lvm2::stepName("deactivating", lvs, vg.name, pv_dev_list), [&] {
            // Recorded first: a command that fails may have deactivated some of them.
            op.changed("the deactivation of " + volbridge::lvm2::listed(lvs),
                       [&] { volbridge::lvm2::toggle(op, vg.name, lvs, true); });
            volbridge::lvm2::toggle(op, vg.name, lvs, false);
        });
        return true;
    });
}

bool LVM_linux_lvm::cancelRevertLV(const char* metadata,
                                   const std::list<std::string>& pv_dev_list) {
    Operation op("LVM_linux_lvm::cancelRevertLV", volbridge::unit::kLinuxLvm);
    return op.falseOnFailure([&] {
        // ---- check ----
        LVM_linux_lvm_parser parser;
        LVM_linux_lvm_parser::NodeAutoPtr root(parser.parse(metadata ? metadata : ""));
        volbridge::lvm2::Node* vg_node = nullptr;
        volbridge::lvm2::crossCheckMeta(root, parser, "passed metadata", &vg_node);
        const std::string name = vg_node->name;
        LiveGroup live(op, name, volbridge::lvm2::idOf(vg_node));
        const std::list<std::string> lvs =
            live.affected(op, name, live.revertedPvs(op, pv_dev_list), true);
        if (lvs.empty()) return true;
        // ---- act ----
        // Bringing LVs back into service is the whole point: nothing of it is undone.
        op.act(volbridge::lvm2::stepName("activating", lvs, name, pv_dev_list),
               [&] { volbridge::lvm2::toggle(op, name, lvs, true); });
        return true;
    });
}
