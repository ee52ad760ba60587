// In-place revert: the backup-time description of the rolled-back PVs and of the LVs wholly on
// them is merged into the live group's metadata and written back.
//
// The merge is complete and checked before anything changes: the live group is read from LVM2,
// the devices are matched to their backup-time PVs, every new name is one LVM2 accepts. Only
// then are the LVs on the rolled-back PVs taken down, the LVs in the way deactivated, the PVs
// re-initialised and the merged metadata restored.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <set>

#include "LVM/LVM.h"
#include "core/Command.h"
#include "core/ShellWord.h"
#include "core/TempFile.h"
#include "core/Text.h"
#include "host/HostSeams.h"
#include "host/LogWriter.h"
#include "host/WmSleep.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_discovery.h"
#include "linux_lvm/lvm2_identity.h"
#include "linux_lvm/lvm2_import_state.h"
#include "linux_lvm/lvm2_restore.h"
#include "linux_lvm/lvm2_revert.h"

namespace volbridge {
namespace lvm2 {

namespace {

using Parser = LVM_linux_lvm_parser;

const Origin kShoveHere{"LVM_linux_lvm::shoveLVs", unit::kLinuxLvm};

}  // namespace

std::string findUniquePVName(const std::string& name, Node* pv_section,
                             LVM_linux_lvm_parser& /*parser*/) {
    auto taken = [&](const std::string& candidate) {
        return Parser::findDirectChild(pv_section, candidate.c_str()) != nullptr;
    };
    if (!taken(name)) return name;
    for (unsigned n = 0;; ++n) {
        std::string candidate = "pv" + std::to_string(n);
        if (!taken(candidate)) return candidate;
    }
}

Shoved shoveLV(const char* vg_name, const char* lv_name, const char* lv_uuid, Node* lv_section,
               LVM_linux_lvm_parser& /*parser*/, std::list<std::string>* to_activate) {
    Shoved shoved;
    for (unsigned n = 1;; ++n) {
        char suffix[32];
        snprintf(suffix, sizeof suffix, "_conflict_%03u", n);
        shoved.newName = std::string(lv_name) + suffix;
        if (!Parser::findDirectChild(lv_section, shoved.newName.c_str())) break;
    }
    const size_t vgLength = strlen(vg_name);
    const size_t longest =
        vgLength < kMaxGroupAndLvNameLength ? kMaxGroupAndLvNameLength - vgLength : 0;
    if (shoved.newName.size() > longest) {
        kShoveHere.fail("LV [" + printable(lv_name) + "] is in the way, but its new name [" +
                        printable(shoved.newName) + "] would be longer than the " +
                        std::to_string(longest) + " characters LVM2 allows in VG [" +
                        printable(vg_name) + "]");
    }

    // Only an LV of that name in the live group can be in the way: a device node left behind
    // by one that is gone does not make it active.
    const std::string device = std::string("/dev/") + vg_name + "/" + lv_name;
    struct stat st;
    if (Parser::findDirectChild(lv_section, lv_name) != nullptr && stat(device.c_str(), &st) == 0) {
        shoved.deactivate = device;
    }

    const std::string newId = genUUID();
    for (Node* lv = lv_section->child; lv; lv = lv->next) {
        if (strcmp(lv->name, lv_name) == 0) Parser::rename(lv, shoved.newName.c_str());
        for (Node* child = lv->child; child; child = child->next) {
            if (lv_uuid && strcmp(child->name, "id") == 0 && *child == lv_uuid) {
                Parser::assign(child, newId.c_str());
            }
        }
        renameLVReferences(lv, lv_name, shoved.newName.c_str());
    }
    if (!shoved.deactivate.empty()) to_activate->push_back(shoved.newName);
    return shoved;
}

void deactivateShoved(const std::string& lv_name, const std::string& device) {
    CommandResult r =
        run(CommandLine(kShoveHere, "lvchange -an").word(device, "the LV device path"));
    if (!r.succeeded()) {
        kShoveHere.fail("LV [" + printable(lv_name) +
                        "] is in the way, but I can't deactivate it: " + r.err);
    }
}

}  // namespace lvm2
}  // namespace volbridge

namespace {

using namespace volbridge::lvm2;
using Parser = LVM_linux_lvm_parser;
using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::printable;

const char* const kFunc = "LVM_linux_lvm::revertLVs";
const volbridge::Origin kHere{kFunc, volbridge::unit::kLinuxLvm};

template <class... A>
void info(EvDebug::Fmt fmt, const A&... args) {
    say(Operation::Revert, kFunc, fmt, args...);
}

// The two descriptions being merged and what the merge leaves to do on disk.
struct Merge {
    // The backup-time ("snap") description: where the returning PVs and LVs come from.
    Parser snapParser;
    Parser::NodeAutoPtr snapRoot;
    Node* snapVg = nullptr;
    Node* snapPvs = nullptr;
    Node* snapLvs = nullptr;
    // The live description, which receives them.
    Parser liveParser;
    Parser::NodeAutoPtr liveRoot;
    Node* liveVg = nullptr;
    Node* livePvs = nullptr;
    Node* liveLvs = nullptr;
    // What each LV of either description uses, read before anything is pruned or moved.
    std::optional<LvUsage> snapUsage;
    std::optional<LvUsage> liveUsage;

    std::string vgName;
    std::string vgId;
    std::vector<PassedPV> passed;
    std::map<std::string, std::string>
        pvNames;                        // snap PV section name -> its name in the live tree
    std::list<std::string> orphans;     // LVs to delete from the live tree
    std::list<std::string> toActivate;  // LVs to (re)activate at the end, in order
    std::set<std::string> transferred;  // snap LVs moved into the live tree

    std::vector<std::string> mappings;  // device-mapper names of the live LVs that go
    std::vector<std::pair<std::string, std::string>> inTheWay;  // LV name, device to deactivate
};

void readSnap(Merge& m, const char* metadata) {
    info("Parsing supplied snap LVM metadata...");
    m.snapRoot = m.snapParser.parse(metadata ? metadata : "");
    addMissingVolumeSections(m.snapRoot);
    crossCheckMeta(m.snapRoot, m.snapParser, "snap metadata", &m.snapVg, &m.snapPvs, &m.snapLvs);
    m.snapUsage.emplace(m.snapPvs, m.snapLvs);
    m.vgName = m.snapVg->name;
    m.vgId = idOf(m.snapVg);
    volbridge::requireShellWord(m.vgName, "the VG name", kFunc, kHere.unit, __LINE__);
    info("Found description of VG [%s] in passed metadata", m.vgName.c_str());
}

// The live group as LVM2 has it now, which must be the group of the backup: a revert that cannot
// read it changes nothing.
void readLive(Merge& m) {
    info("Parsing live metadata of VG [%s]", m.vgName.c_str());
    const std::string live = readVGMetadata(m.vgName, m.vgId);
    m.liveRoot = m.liveParser.parse(live.c_str());
    for (Node* n = m.liveRoot; n && !m.liveVg; n = n->next) {
        Node* id = Parser::findDirectChild(n, "id");
        if (id && id->isString()) m.liveVg = n;
    }
    if (!m.liveVg) kHere.fail("Can't find VG node in live metadata");
    addMissingVolumeSections(m.liveRoot);
    crossCheckMeta(m.liveRoot, m.liveParser, "live metadata", nullptr, &m.livePvs, &m.liveLvs);
    m.liveUsage.emplace(m.livePvs, m.liveLvs);
}

// Which backup-time PV each device carries, and the identifier it is to get.
void identifyDevices(Merge& m, const std::list<std::string>& devices,
                     const std::map<std::string, std::string>& old2new_uuid_map,
                     const ImportState& state) {
    info("Collecting information from passed PVs");
    m.passed =
        identifyPassedPVs(kHere, Operation::Revert, devices, old2new_uuid_map, state, m.vgId);
    for (PassedPV& pv : m.passed) {
        if (pv.current != pv.orig) {
            info("%s has current UUID %s (was %s at backup time)", pv.device.c_str(),
                 pv.current.c_str(), pv.orig.c_str());
        } else {
            info("%s has UUID %s", pv.device.c_str(), pv.current.c_str());
        }
        pv.section = findPVSection(m.snapPvs, pv.orig);
        if (!pv.section) {
            kHere.fail("Can't find PV with UUID " + printable(pv.orig) + " in snap metadata");
        }
        m.pvNames[pv.section->name] = pv.section->name;
    }
    requireOneDevicePerPV(kHere, m.passed);
    for (PassedPV& pv : m.passed) pv.fresh = genUUID();
}

// The live PVs that are the passed disks go. They are recognised by identifier, or by section
// name when the section's device is a passed device too: LVM2 numbers PV sections afresh whenever
// it writes metadata, so after a PV left the group a live section may bear the name that a
// different disk had at backup time.
void pruneLivePVs(Merge& m, const std::list<std::string>& devices) {
    std::set<std::string> passedIds;
    for (const PassedPV& pv : m.passed) passedIds.insert({pv.orig, pv.current});
    std::set<std::string> keep;
    for (Node* pv = m.livePvs->child; pv; pv = pv->next) {
        const bool passed =
            passedIds.count(idOf(pv)) ||
            (m.pvNames.count(pv->name) && matchDev(stringValue(pv, "device"), devices));
        if (!passed) keep.insert(pv->name);
    }
    if (m.livePvs->child) info("Pruning physical_volumes in live VG metadata");
    for (const RemovedSection& pv : removePVsNotIn(m.livePvs, keep)) {
        info("Removing PV name=[%s], id=[%s], device=[%s] from live VG metadata", pv.name.c_str(),
             pv.id.c_str(), pv.device.c_str());
    }
}

// The live LVs on the passed disks go (their device-mapper devices with them, later), and so do
// the snapshots and mirrors that lose a part with them.
void pruneLiveLVs(Merge& m) {
    std::set<std::string> remaining;
    for (Node* pv = m.livePvs->child; pv; pv = pv->next) remaining.insert(pv->name);
    if (m.liveLvs->child) info("Pruning logical_volumes in live VG metadata");
    // Stacked LVs (raid, thin, cache, ...) that use a passed PV go whole, with their parts.
    for (const DroppedLV& lv :
         removeStackedLVsNotWhollyOn(m.liveLvs, *m.liveUsage, remaining, m.liveParser)) {
        if (lv.partOf.empty()) {
            info("LV [%s] in live VG uses one of the passed PVs and will be removed.",
                 lv.section.name.c_str());
        } else {
            info("LV [%s] in live VG is a part of LV [%s] and will be removed with it.",
                 lv.section.name.c_str(), lv.partOf.c_str());
        }
        if (lv.section.visible) {
            m.mappings.push_back(doubleDashes(m.vgName.c_str()) + "-" +
                                 doubleDashes(lv.section.name.c_str()));
        }
    }
    for (const RemovedSection& lv : keepLVsWhollyOn(m.liveLvs, remaining, m.liveParser).removed) {
        info("LV [%s] in live VG resides on one of the passed PVs and will be removed.",
             lv.name.c_str());
        if (lv.visible) {
            m.mappings.push_back(doubleDashes(m.vgName.c_str()) + "-" +
                                 doubleDashes(lv.name.c_str()));
        }
    }
    for (const RemovedSection& snap : removeBrokenSnapshots(m.liveLvs, &m.orphans)) {
        info(
            "LVM Snap [%s], UUID [%s] in live VG references one of removed LVs and will be "
            "removed as well.",
            snap.name.c_str(), snap.id.c_str());
    }
    for (const MirrorOutcome& mirror : settleMirrors(m.liveLvs, m.liveParser, &m.orphans)) {
        if (mirror.kind == MirrorOutcome::Kind::Removed) {
            info("Removing Mirror [%s], UUID=[%s] from live metadata", mirror.name.c_str(),
                 mirror.id.c_str());
        } else if (mirror.kind == MirrorOutcome::Kind::Broken) {
            info("Breaking Mirror [%s], UUID=[%s]", mirror.name.c_str(), mirror.id.c_str());
        }
    }
    delOrphanLVs(&m.orphans, m.liveLvs, m.liveParser);
}

// The passed PVs' descriptions move from the snap tree to the live one, with their new
// identifiers and under names the live tree does not use yet.
void transferPVs(Merge& m) {
    for (Node* section = m.snapPvs->child; section;) {
        Node* next = section->next;
        const PassedPV* passed = nullptr;
        for (const PassedPV& pv : m.passed) {
            if (pv.section == section) passed = &pv;
        }
        if (!passed) {
            section = next;
            continue;
        }
        const PassedPV& pv = *passed;
        const std::string name = section->name;
        info("Transferring description of PV [%s], UUID=[%s] from snap to live metadata",
             name.c_str(), pv.orig.c_str());
        info("Changing transferred node UUID to [%s]", pv.fresh.c_str());
        Parser::assign(Parser::findDirectChild(section, "id"), pv.fresh.c_str());
        const std::string unique = findUniquePVName(name, m.livePvs, m.liveParser);
        if (unique != name) {
            info("Changing transferred node name to [%s]", unique.c_str());
            Parser::rename(section, unique.c_str());
            m.pvNames[name] = unique;
        }
        Parser::assign(Parser::findDirectChild(section, "device"), pv.device.c_str());
        unlinkChild(m.snapPvs, section);
        prependChild(m.livePvs, section);
        section = next;
    }
}

// Makes room for the returning LV `lv` in the live tree, then moves it there.
void moveIntoLive(Merge& m, Node* lv, const char* uuid) {
    Shoved shoved =
        shoveLV(m.vgName.c_str(), lv->name, uuid, m.liveLvs, m.liveParser, &m.toActivate);
    if (!shoved.deactivate.empty()) m.inTheWay.emplace_back(lv->name, shoved.deactivate);
    m.transferred.insert(lv->name);
    unlinkChild(m.snapLvs, lv);
    prependChild(m.liveLvs, lv);
}

// The LVs whose stripes all lie on passed PVs come back, their stripes renamed as the PVs were.
void transferStripedLVs(Merge& m) {
    std::set<std::string> passedNames;
    for (const auto& entry : m.pvNames) passedNames.insert(entry.first);
    for (Node* lv = m.snapLvs->child; lv;) {
        Node* next = lv->next;
        if (placementOn(lv, passedNames) == Placement::Wholly) {
            const std::string id = idOf(lv);
            info("Transferring description of LV [%s], UUID=[%s] from snap to live metadata",
                 lv->name, id.c_str());
            moveIntoLive(m, lv, id.c_str());
            if (isVisibleLV(lv, m.liveParser)) m.toActivate.push_back(lv->name);
            for (Node* seg = lv->child; seg; seg = seg->next) {
                if (!isSegmentOfType(seg, "striped")) continue;
                Node* stripes = Parser::findDirectChild(seg, "stripes");
                for (auto* v = stripes ? stripes->value : nullptr; v; v = v->next) {
                    if (v->str) Parser::assign(v, m.pvNames[v->str].c_str());
                }
            }
        }
        lv = next;
    }
}

// Stacked LVs (raid, thin, cache, ...) come back when everything they use lies on the passed PVs
// and came back before them; a hidden part that came back without the LV it belongs to goes
// again. Such an LV is never broken up.
void transferStackedLVs(Merge& m) {
    std::set<std::string> passedNames;
    for (const auto& entry : m.pvNames) passedNames.insert(entry.first);
    auto returns = [&](Node* lv) {
        const std::set<std::string>& pvs = m.snapUsage->pvs(lv->name);
        if (!isStackedLV(lv) || pvs.empty()) return false;
        for (const std::string& pv : pvs) {
            if (!passedNames.count(pv)) return false;
        }
        for (const std::string& used : m.snapUsage->uses(lv->name)) {
            if (!m.transferred.count(used)) return false;
        }
        return true;
    };
    for (bool moved = true; moved;) {
        moved = false;
        for (Node* lv = m.snapLvs->child; lv;) {
            Node* next = lv->next;
            if (returns(lv)) {
                const std::string id = idOf(lv);
                info("Transferring description of LV [%s], UUID=[%s] from snap to live metadata",
                     lv->name, id.c_str());
                moveIntoLive(m, lv, id.c_str());
                if (isVisibleLV(lv, m.liveParser)) m.toActivate.push_back(lv->name);
                moved = true;
            }
            lv = next;
        }
    }
    // A hidden part that came back for stacked LVs none of which did (a raid image wholly on a
    // passed PV of a raid that spans another PV; a cache pool whose cached LV stays) goes again,
    // and so, in turn, do its own parts.
    auto nodeOf = [&](const std::string& name) {
        Node* node = Parser::findDirectChild(m.snapLvs, name.c_str());
        return node ? node : Parser::findDirectChild(m.liveLvs, name.c_str());
    };
    std::set<std::string> gone;
    for (bool changed = true; changed;) {
        changed = false;
        for (const std::string& name : m.transferred) {
            Node* part = Parser::findDirectChild(m.liveLvs, name.c_str());
            const std::vector<std::string>& users = m.snapUsage->usedBy(name);
            if (gone.count(name) || !part || isVisibleLV(part, m.liveParser) || users.empty()) {
                continue;
            }
            bool onlyStackedUsersThatStayed = true;
            for (const std::string& user : users) {
                Node* owner = nodeOf(user);
                const bool came = m.transferred.count(user) && !gone.count(user);
                if (!owner || !isStackedLV(owner) || came) onlyStackedUsersThatStayed = false;
            }
            if (!onlyStackedUsersThatStayed) continue;
            info("LV [%s] does not come back without the LV it is a part of", name.c_str());
            gone.insert(name);
            m.orphans.push_back(name);
            changed = true;
        }
    }
}

// Snapshots whose origin and copy-on-write LV both came back come too; a copy-on-write LV that
// came back without its snapshot goes again.
void transferSnapshots(Merge& m) {
    for (Node* lv = m.snapLvs->child; lv;) {
        Node* next = lv->next;
        SnapshotVerdict verdict = evaluateSnapshot(lv, m.liveLvs);
        if (verdict.isSnapshot && verdict.complete) {
            const std::string id = idOf(lv);
            info(
                "Transferring description of LVM Snap [%s], UUID=[%s] from snap to live "
                "metadata",
                lv->name, id.c_str());
            moveIntoLive(m, lv, id.c_str());
        } else if (!verdict.cow.empty()) {
            m.orphans.push_back(verdict.cow);
        }
        lv = next;
    }
}

// Mirrors whose images came back come whole, or as their last side that came back.
void transferMirrors(Merge& m) {
    for (Node* lv = m.snapLvs->child; lv;) {
        Node* next = lv->next;
        MirrorVerdict verdict = evaluateMirror(lv, m.liveLvs);
        const std::string name = lv->name;
        const std::string id = idOf(lv);
        if (!verdict.isMirror) {
            // not a mirror
        } else if (verdict.survivor.empty()) {
            m.orphans.insert(m.orphans.end(), verdict.components.begin(), verdict.components.end());
        } else if (verdict.complete) {
            info("Transferring Mirror [%s], UUID=[%s] from snap to live metadata", name.c_str(),
                 id.c_str());
            moveIntoLive(m, lv, id.c_str());
            m.toActivate.push_back(name);
        } else {
            info("Transferring one side of Mirror [%s], UUID=[%s]", name.c_str(), id.c_str());
            for (const std::string& c : verdict.components) {
                if (c != verdict.survivor) m.orphans.push_back(c);
            }
            Shoved shoved = shoveLV(m.vgName.c_str(), name.c_str(), nullptr, m.liveLvs,
                                    m.liveParser, &m.toActivate);
            if (!shoved.deactivate.empty()) m.inTheWay.emplace_back(name, shoved.deactivate);
            breakMirror(m.liveLvs, name, verdict.survivor, m.liveParser);
            m.toActivate.push_back(name);
        }
        lv = next;
    }
}

void finishMerge(Merge& m) {
    delOrphanLVs(&m.orphans, m.liveLvs, m.liveParser);
    crossCheckMeta(m.liveRoot, m.liveParser, "combined metadata");
    requireLvmNames(kHere, m.vgName, m.liveLvs);
}

// The device-mapper devices of the live LVs that went; a failure is only logged.
void removeMappings(const Merge& m) {
    for (const std::string& mapping : m.mappings) {
        CommandLine cmd(kHere, "dmsetup remove");
        cmd.word(mapping, "the device-mapper name");
        CommandResult r = volbridge::run(cmd);
        if (!r.succeeded()) {
            info("Command [%s] failed with stdout=[%s], stderr=[%s]", cmd.text().c_str(),
                 r.out.c_str(), r.err.c_str());
        }
    }
}

void activateReturned(const Merge& m) {
    info("Activating new LVs [%s]", m.vgName.c_str());
    for (const std::string& name : m.toActivate) {
        const std::string device = "/dev/" + m.vgName + "/" + name;
        CommandResult r =
            volbridge::run(CommandLine(kHere, "lvchange -an").word(device, "the LV device path"));
        if (!r.succeeded()) info("Failed to deactivate LV [%s]:%s", device.c_str(), r.err.c_str());
        r = volbridge::run(CommandLine(kHere, "lvchange -ay").word(device, "the LV device path"));
        if (!r.succeeded()) kHere.fail("Failed to activate LV [" + device + "]: " + r.err);
    }
}

}  // namespace

LVM::VG LVM_linux_lvm::revertLVs(const std::list<std::string>& pv_dev_list, const char* metadata,
                                 std::map<std::string, std::string>& old2new_uuid_map) {
    for (const std::string& device : pv_dev_list) {
        volbridge::requireShellWord(device, "the PV device path", kFunc, kHere.unit, __LINE__);
    }
    requireDistinctDevices(kHere, pv_dev_list);

    Merge m;
    readSnap(m, metadata);
    readLive(m);
    {
        // Held from the look at the devices to the restore; the journal is read and written
        // under it.
        ImportState state(kHere);
        identifyDevices(m, pv_dev_list, old2new_uuid_map, state);
        pruneLivePVs(m, pv_dev_list);
        pruneLiveLVs(m);
        transferPVs(m);
        transferStripedLVs(m);
        transferStackedLVs(m);
        transferSnapshots(m);
        transferMirrors(m);
        finishMerge(m);

        // Nothing has changed up to here.
        removeMappings(m);
        for (const auto& lv : m.inTheWay) deactivateShoved(lv.first, lv.second);
        info("Serializing new metadata");
        volbridge::TempFile tmp(kHere, metadataTempDirectory(), kMetadataTempPrefix);
        tmp.write(Parser::dump(m.liveRoot, 0));
        reinitializePVs(kHere, Operation::Revert, m.passed, "", tmp.path(), state, m.vgId,
                        old2new_uuid_map);
        // "--yes": since LVM2 2.03 vgcfgrestore asks before it restores a group that has active
        // LVs, and with no terminal that question would be answered "no"; a revert keeps the LVs
        // of the untouched PVs active on purpose.
        restoreMetadata(kHere,
                        "--yes" + thinPoolOption(Operation::Revert, kFunc, m.liveLvs, m.vgName),
                        tmp.path(), m.vgName);

        std::set<std::string> done;
        for (const PassedPV& pv : m.passed) done.insert({pv.current, pv.fresh});
        state.forget(m.vgId, done);
    }
    activateReturned(m);

    // The reverted group as LVM2 now reports it: through the device node of the last LV
    // activated (udev makes it a moment after activation), or, when no LV was activated or its
    // node never appeared, by the group's own identity.
    vgList_.clear();
    if (!m.toActivate.empty()) {
        const std::string device = "/dev/" + m.vgName + "/" + m.toActivate.back();
        vbhost::Clock& clock = vbhost::currentClock();
        const uint64_t deadline = clock.nowMs() + kNodeWaitMs;
        struct stat st;
        while (stat(device.c_str(), &st) != 0 && clock.nowMs() < deadline) WMSLEEP(kNodePollMs);
        if (stat(device.c_str(), &st) == 0) return getVGByLVDevice(device.c_str());
        EvDebug(nullptr).Error(kFunc,
                               "Device node %s did not appear within %u seconds of its "
                               "activation",
                               device.c_str(), kNodeWaitMs / 1000);
    }
    VG vg;
    vg.orig_name = vg.name = m.vgName;
    vg.orig_uuid = vg.uuid = m.vgId;
    vg.vendor = vendor;
    populateVG(vg);
    return vg;
}
