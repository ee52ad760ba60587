// The revert protocol around a storage rollback: may these disks be rolled back, take the
// affected LVs out of service, and bring them back if the revert is abandoned. Each reads the
// live group from LVM2 when it runs, and says false (with the reason in the log) when it could
// not do what it was asked: a device that is no PV of the group, an LV that would not go out of
// (or back into) service.
#include <sys/stat.h>

#include <set>

#include "LVM/LVM.h"
#include "core/Command.h"
#include "core/Text.h"
#include "host/LogWriter.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_discovery.h"
#include "linux_lvm/lvm2_revert.h"

namespace volbridge {
namespace lvm2 {

namespace {

using Parser = LVM_linux_lvm_parser;

// The live metadata of the group, read from LVM2, parsed and validated.
struct LiveGroup {
    Parser parser;
    Parser::NodeAutoPtr root;
    Node* vg = nullptr;
    Node* pvs = nullptr;
    Node* lvs = nullptr;

    LiveGroup(const std::string& vg_name, const std::string& vg_uuid) {
        std::string text = readVGMetadata(vg_name, vg_uuid);
        root = parser.parse(text.c_str());
        addMissingVolumeSections(root);
        crossCheckMeta(root, parser, "metadata of VG " + vg_name, &vg, &pvs, &lvs);
    }

    // Names of the PV sections whose device is one of `devices`. Every device must be one of
    // them: a revert of disks the group does not have would work on the wrong volumes.
    std::set<std::string> revertedPvs(const Origin& here, const std::list<std::string>& devices) {
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
                here.fail("Device " + printable(device) + " is not a PV of VG [" +
                          printable(vg->name) + "]");
            }
        }
        return names;
    }
};

}  // namespace

bool matchDev(const std::string& device, const std::list<std::string>& devices) {
    struct stat st;
    if (stat(device.c_str(), &st) == 0) {
        for (const std::string& candidate : devices) {
            struct stat other;
            if (stat(candidate.c_str(), &other) == 0 && other.st_rdev == st.st_rdev) return true;
        }
        return false;
    }
    for (const std::string& candidate : devices) {
        if (candidate == device) return true;
    }
    return false;
}

void toggleLVs(const std::string& vg_name, const std::string& vg_uuid,
               const std::list<std::string>& devices, Activation activation) {
    const char* const func = "toggleLVs";
    const Origin here{func, unit::kLinuxLvm};
    EvDebug dbg(nullptr);
    dbg.Debug(func, "Parsing live metadata of VG [%s]", vg_name.c_str());
    LiveGroup live(vg_name, vg_uuid);
    const std::set<std::string> reverted = live.revertedPvs(here, devices);

    // An LV is affected when it uses a reverted PV, itself or through what it is made of (mirror
    // sides and logs, raid images, pools, origins). A snapshot goes with its origin.
    const LvUsage usage(live.pvs, live.lvs);
    std::list<std::string> failed;
    for (Node* lv = live.lvs->child; lv; lv = lv->next) {
        if (!isVisibleLV(lv, live.parser) || hasSegmentOfType(lv, "snapshot")) continue;
        bool affected = false;
        for (const std::string& pv : usage.pvs(lv->name)) affected = affected || reverted.count(pv);
        if (!affected) continue;

        const std::string device = "/dev/" + vg_name + "/" + lv->name;
        const bool on = activation == Activation::On;
        dbg.Debug(func, on ? "Activating LV %s" : "Deactivating LV %s", lv->name);
        CommandResult r = run(CommandLine(here, on ? "lvchange -ay" : "lvchange -an")
                                  .word(device, "the LV device path"));
        if (!r.succeeded()) {
            dbg.Error(func,
                      on ? "Failed to activate LV [%s]: %s" : "Failed to deactivate LV [%s]: %s",
                      device.c_str(), r.err.c_str());
            failed.push_back(lv->name);
        }
    }
    if (!failed.empty()) {
        std::string names;
        for (const std::string& name : failed) names += (names.empty() ? "" : ", ") + name;
        here.fail(std::string(activation == Activation::On ? "Failed to activate"
                                                           : "Failed to deactivate") +
                  " LVs of VG [" + printable(vg_name) + "]: " + printable(names));
    }
}

}  // namespace lvm2
}  // namespace volbridge

bool LVM_linux_lvm::canRevert(const VG& vg, const char* /*metadata*/,
                              const std::list<std::string>& pv_dev_list) {
    using namespace volbridge::lvm2;
    const char* const func = "LVM_linux_lvm::canRevert";
    const volbridge::Origin here{func, volbridge::unit::kLinuxLvm};
    EvDebug dbg(nullptr);
    try {
        dbg.Debug(func, "Parsing live metadata of VG [%s]", vg.name.c_str());
        LiveGroup live(vg.name, vg.uuid);
        const std::set<std::string> reverted = live.revertedPvs(here, pv_dev_list);

        // A striped LV lies by its own stripes; a stacked LV (raid, thin, cache, ...) by every PV
        // it uses, since it is never taken apart. Mirrors and snapshots are judged by their
        // parts, which a revert may separate.
        const LvUsage usage(live.pvs, live.lvs);
        std::set<std::string> affected;
        for (Node* lv = live.lvs->child; lv; lv = lv->next) {
            int inside = 0;
            int outside = 0;
            const std::list<std::string> pvs =
                isStackedLV(lv) ? std::list<std::string>(usage.pvs(lv->name).begin(),
                                                         usage.pvs(lv->name).end())
                                : findPVofLV(lv, live.parser);
            for (const std::string& pv : pvs) ++(reverted.count(pv) ? inside : outside);
            if (inside && outside) {
                here.fail("Can't allow revert because LV " + volbridge::printable(lv->name) +
                          " resides both on PVs that will be reverted and on those that won't "
                          "be.");
            }
            if (inside) affected.insert(lv->name);
            dbg.Debug(func, "LV %s will%s be affected", lv->name, inside ? "" : " NOT");
        }

        for (Node* lv = live.lvs->child; lv; lv = lv->next) {
            for (Node* seg = lv->child; seg; seg = seg->next) {
                if (!isSegmentOfType(seg, "snapshot")) continue;
                const std::string origin = stringValue(seg, "origin");
                const std::string cow = stringValue(seg, "cow_store");
                const bool originAffected = affected.count(origin);
                const bool cowAffected = affected.count(cow);
                if (originAffected && !cowAffected) {
                    here.fail("Can't allow revert because there is an affected LV " +
                              volbridge::printable(origin) + " that has snap " +
                              volbridge::printable(cow) + " that would not be reverted");
                }
                if (!originAffected && cowAffected) {
                    here.fail("Can't allow revert because there is a not affected LV " +
                              volbridge::printable(origin) + " that has snap " +
                              volbridge::printable(cow) + " residing on one of the passed PVs");
                }
            }
        }
        return true;
    } catch (const YbException& e) {
        dbg.Error(func, "%s", e.getMessage().c_str());
        return false;
    }
}

bool LVM_linux_lvm::prepRevertLV(const VG& vg, const char* /*metadata*/,
                                 const std::list<std::string>& pv_dev_list) {
    using volbridge::lvm2::Activation;
    try {
        volbridge::lvm2::toggleLVs(vg.name, vg.uuid, pv_dev_list, Activation::Off);
        return true;
    } catch (const YbException& e) {
        EvDebug(nullptr).Error("LVM_linux_lvm::prepRevertLV", "%s", e.getMessage().c_str());
        return false;
    }
}

bool LVM_linux_lvm::cancelRevertLV(const char* metadata,
                                   const std::list<std::string>& pv_dev_list) {
    using namespace volbridge::lvm2;
    try {
        LVM_linux_lvm_parser parser;
        LVM_linux_lvm_parser::NodeAutoPtr root(parser.parse(metadata ? metadata : ""));
        Node* vg_node = nullptr;
        crossCheckMeta(root, parser, "passed metadata", &vg_node);
        toggleLVs(vg_node->name, idOf(vg_node), pv_dev_list, Activation::On);
        return true;
    } catch (const YbException& e) {
        EvDebug(nullptr).Error("LVM_linux_lvm::cancelRevertLV", "%s", e.getMessage().c_str());
        return false;
    }
}
