// In-place revert: the backup-time description of the rolled-back PVs and of the LVs wholly on
// them is merged into the live group's metadata and written back.
//
//   check   the devices; the live group, read from LVM2; which backup-time PV each device carries
//           (through the map, the journal of a run that was stopped, or, for a run stopped after
//           it finished, where its LVs lie in the live group); that the revert tears no
//           LV apart (the rules of canRevert); the merge, with every new name one LVM2 accepts;
//           the temporary file that hands it to LVM2.
//   act     the device-mapper devices of the LVs that leave the group removed, the live LVs in
//           the way of returning ones deactivated, the PVs re-initialised, the merged metadata
//           restored, the returned LVs activated: one command for all the LVs of each step.
//   result  the reverted group as LVM2 reports it; the map holds each PV's new id.
//
// A failure before the restore brings the LVs in the way back into service; the PVs re-initialised
// and a restored group stay, and running the same revert again finishes the work.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <set>

#include "LVM/LVM.h"
#include "core/Command.h"
#include "core/Operation.h"
#include "core/ShellWord.h"
#include "core/TempFile.h"
#include "core/Text.h"
#include "host/HostSeams.h"
#include "host/WmSleep.h"
#include "linux_lvm/lvm2_command.h"
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

void deactivateShoved(const std::vector<std::pair<std::string, std::string>>& lvs) {
    const Operation op(kShoveHere);
    std::list<std::string> names, devices;
    for (const auto& lv : lvs) {
        names.push_back("[" + printable(lv.first) + "]");
        devices.push_back(lv.second);
    }
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
    const std::string sentence =
        lvs.size() == 1 ? "LV " + list + " is in the way, but I can't deactivate it"
                        : "LVs " + list + " are in the way, but I can't deactivate them";
    for (const CommandLine& cmd : commandsFor(op, "lvchange -an", devices, "the LV device path")) {
        mustRunLvm(op, cmd, sentence);
    }
}

}  // namespace lvm2
}  // namespace volbridge

namespace {

using namespace volbridge::lvm2;
using Parser = LVM_linux_lvm_parser;
using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Operation;
using volbridge::printable;

const char* const kFunc = "LVM_linux_lvm::revertLVs";
const ImportKind kKind = ImportKind::Revert;

// The two descriptions being merged and what the merge leaves to do on disk.
struct Merge {
    // The backup-time ("snap") description: where the returning PVs and LVs come from.
    CheckedMetadata snap;
    // The live description, which receives them.
    CheckedMetadata live;
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

    std::exception_ptr liveFailure;  // why the live group could not be read
    std::string liveFailureText;
    std::vector<std::string> mappings;  // device-mapper names of the live LVs that go
    std::vector<std::pair<std::string, std::string>> inTheWay;  // LV name, device to deactivate
};

void readSnap(const Operation& op, Merge& m, const char* metadata) {
    op.log(2, "Parsing supplied snap LVM metadata...");
    m.snap.read(metadata ? metadata : "", "snap metadata");
    m.snapUsage.emplace(m.snap.pvs, m.snap.lvs);
    m.vgName = m.snap.vg->name;
    m.vgId = idOf(m.snap.vg);
    volbridge::requireShellWord(m.vgName, "the VG name", kFunc, op.unit(), __LINE__);
    op.log(2, "Found description of VG [%s] in passed metadata", m.vgName.c_str());
}

// The live group as LVM2 has it now, which must be the group of the backup: a revert that cannot
// read it changes nothing. One case aside: a revert of every PV of the group that was stopped after
// it re-initialised them all and before it restored the metadata leaves no PV that holds the
// group. Then, when the journal has lines of the group, the failure waits for the devices to be
// identified (finishLive decides). Returns whether the group was read.
bool readLive(const Operation& op, Merge& m, const ImportState& state) {
    op.log(2, "Parsing live metadata of VG [%s]", m.vgName.c_str());
    std::string live;
    try {
        live = readVGMetadata(m.vgName, m.vgId);
    } catch (const YbException& e) {
        if (!state.knows(m.vgId)) throw;
        m.liveFailure = std::current_exception();
        m.liveFailureText = e.getMessage();
        return false;
    }
    m.live.root = m.live.parser.parse(live.c_str());
    for (Node* n = m.live.root; n && !m.live.vg; n = n->next) {
        Node* id = Parser::findDirectChild(n, "id");
        if (id && id->isString()) m.live.vg = n;
    }
    if (!m.live.vg) op.fail("Can't find VG node in live metadata");
    addMissingVolumeSections(m.live.root);
    crossCheckMeta(m.live.root, m.live.parser, "live metadata", nullptr, &m.live.pvs, &m.live.lvs);
    m.liveUsage.emplace(m.live.pvs, m.live.lvs);
    return true;
}

// The group could not be read. When every PV of the backup is among the devices and each of them
// carries the identity an earlier run of this revert gave it, that run was stopped between
// re-initialising them and restoring the metadata: the live group starts from the backup-time
// description with no PVs and no LVs, and gets everything back from it. Otherwise the failure to
// read the group stands.
void finishLive(const Operation& op, Merge& m, const char* metadata) {
    std::set<std::string> journaled;
    for (const PassedPV& pv : m.passed) {
        if (pv.journaled) journaled.insert(pv.orig);
    }
    for (Node* pv = m.snap.pvs->child; pv; pv = pv->next) {
        if (!journaled.count(idOf(pv))) std::rethrow_exception(m.liveFailure);
    }
    op.error("%s", m.liveFailureText.c_str());
    op.log(2,
           "Every PV of VG [%s] was re-initialized by a revert that did not finish: the group "
           "comes back from the passed metadata",
           m.vgName.c_str());
    m.live.read(metadata, "live metadata");
    Parser::destroyChildren(m.live.pvs);
    Parser::destroyChildren(m.live.lvs);
    m.liveUsage.emplace(m.live.pvs, m.live.lvs);
}

// Where the LVs of `lvs` lie on the PV section `pv`: its extents, then one entry per stripe of a
// striped segment on it (LV, segment extents, stripe, extent on the PV), sorted.
std::vector<std::string> placementOnPV(Node* pv, Node* lvs) {
    std::vector<std::string> places = {valueText(pv, "pe_start") + "/" + valueText(pv, "pe_count")};
    for (Node* lv = lvs ? lvs->child : nullptr; lv; lv = lv->next) {
        for (Node* seg = lv->child; seg; seg = seg->next) {
            if (!isSegmentOfType(seg, "striped")) continue;
            const std::string extents =
                valueText(seg, "start_extent") + "+" + valueText(seg, "extent_count");
            Node* stripes = Parser::findDirectChild(seg, "stripes");
            size_t stripe = 0;
            for (Parser::Value* v = stripes ? stripes->value : nullptr; v && v->next;
                 v = v->next->next, ++stripe) {
                if (!v->str || strcmp(v->str, pv->name) != 0) continue;
                places.push_back(std::string(lv->name) + ":" + extents + "#" +
                                 std::to_string(stripe) + "@" + std::to_string(v->next->int_val));
            }
        }
    }
    std::sort(places.begin() + 1, places.end());
    return places;
}

// A revert that finished but was stopped before its caller wrote the map leaves PVs whose new
// identities neither the map nor the journal knows any more (the journal lines go when the library
// returns). Such a device is a PV of the live group, and the backup-time PV it carries is the one
// whose LVs lie on it exactly as they lie on the device's live PV: same extents, same LVs in the
// same places. Only a single such PV counts; a device it leaves unknown stays unknown.
void originFromLiveGroup(const Operation& op, Merge& m, PassedPV& pv) {
    if (!m.live.vg) return;
    Node* live = findPVSection(m.live.pvs, pv.current);
    if (!live) return;
    const std::vector<std::string> here = placementOnPV(live, m.live.lvs);
    Node* found = nullptr;
    for (Node* snap = m.snap.pvs->child; snap; snap = snap->next) {
        if (placementOnPV(snap, m.snap.lvs) != here) continue;
        if (found) return;
        found = snap;
    }
    if (!found || here.size() < 2) return;
    for (const PassedPV& other : m.passed) {
        if (other.orig == idOf(found)) return;
    }
    pv.orig = idOf(found);
    op.log(0,
           "%s carries UUID %s as PV %s of VG [%s], where its LVs lie as on PV %s at backup time: "
           "an earlier run of this revert gave it that UUID",
           pv.device.c_str(), pv.current.c_str(), live->name, m.vgName.c_str(), pv.orig.c_str());
}

// Which backup-time PV each device carries, and the identifier it is to get.
void identifyDevices(const Operation& op, Merge& m, const std::list<std::string>& devices,
                     const std::map<std::string, std::string>& old2new_uuid_map,
                     const ImportState& state) {
    op.log(2, "Collecting information from passed PVs");
    m.passed = readPassedPVs(devices);
    findOrigins(op, kKind, m.passed, old2new_uuid_map, state, m.vgId);
    for (PassedPV& pv : m.passed) {
        if (pv.orig.empty()) originFromLiveGroup(op, m, pv);
    }
    for (PassedPV& pv : m.passed) {
        if (pv.orig.empty()) op.fail(unknownUuidMessage(pv.current));
        if (pv.current != pv.orig) {
            op.log(2, "%s has current UUID %s (was %s at backup time)", pv.device.c_str(),
                   pv.current.c_str(), pv.orig.c_str());
        } else {
            op.log(2, "%s has UUID %s", pv.device.c_str(), pv.current.c_str());
        }
        pv.section = findPVSection(m.snap.pvs, pv.orig);
        if (!pv.section) {
            op.fail("Can't find PV with UUID " + printable(pv.orig) + " in snap metadata");
        }
        m.pvNames[pv.section->name] = pv.section->name;
    }
    requireOneDevicePerPV(op.origin(), m.passed);
    for (PassedPV& pv : m.passed) pv.fresh = genUUID();
}

// The live PV sections that are the passed disks. They are recognised by identifier, or by
// section name when the section's device is a passed device too: LVM2 numbers PV sections afresh
// whenever it writes metadata, so after a PV left the group a live section may bear the name that
// a different disk had at backup time.
std::set<std::string> passedLivePVs(const Merge& m, const std::list<std::string>& devices) {
    std::set<std::string> passedIds;
    for (const PassedPV& pv : m.passed) passedIds.insert({pv.orig, pv.current});
    std::set<std::string> passed;
    for (Node* pv = m.live.pvs->child; pv; pv = pv->next) {
        if (passedIds.count(idOf(pv)) ||
            (m.pvNames.count(pv->name) && matchDev(stringValue(pv, "device"), devices))) {
            passed.insert(pv->name);
        }
    }
    return passed;
}

// The live PVs that are the passed disks go.
void pruneLivePVs(const Operation& op, Merge& m, const std::set<std::string>& passed) {
    std::set<std::string> keep;
    for (Node* pv = m.live.pvs->child; pv; pv = pv->next) {
        if (!passed.count(pv->name)) keep.insert(pv->name);
    }
    if (m.live.pvs->child) op.log(2, "Pruning physical_volumes in live VG metadata");
    for (const RemovedSection& pv : removePVsNotIn(m.live.pvs, keep)) {
        op.log(2, "Removing PV name=[%s], id=[%s], device=[%s] from live VG metadata",
               pv.name.c_str(), pv.id.c_str(), pv.device.c_str());
    }
}

// The live LVs on the passed disks go (their device-mapper devices with them, later), and so do
// the snapshots and mirrors that lose a part with them.
void pruneLiveLVs(const Operation& op, Merge& m) {
    std::set<std::string> remaining;
    for (Node* pv = m.live.pvs->child; pv; pv = pv->next) remaining.insert(pv->name);
    if (m.live.lvs->child) op.log(2, "Pruning logical_volumes in live VG metadata");
    // Stacked LVs (raid, thin, cache, ...) that use a passed PV go whole, with their parts.
    for (const DroppedLV& lv :
         removeStackedLVsNotWhollyOn(m.live.lvs, *m.liveUsage, remaining, m.live.parser)) {
        if (lv.partOf.empty()) {
            op.log(2, "LV [%s] in live VG uses one of the passed PVs and will be removed.",
                   lv.section.name.c_str());
        } else {
            op.log(2, "LV [%s] in live VG is a part of LV [%s] and will be removed with it.",
                   lv.section.name.c_str(), lv.partOf.c_str());
        }
        if (lv.section.visible) {
            m.mappings.push_back(doubleDashes(m.vgName.c_str()) + "-" +
                                 doubleDashes(lv.section.name.c_str()));
        }
    }
    for (const RemovedSection& lv : keepLVsWhollyOn(m.live.lvs, remaining, m.live.parser).removed) {
        op.log(2, "LV [%s] in live VG resides on one of the passed PVs and will be removed.",
               lv.name.c_str());
        if (lv.visible) {
            m.mappings.push_back(doubleDashes(m.vgName.c_str()) + "-" +
                                 doubleDashes(lv.name.c_str()));
        }
    }
    for (const RemovedSection& snap : removeBrokenSnapshots(m.live.lvs, &m.orphans)) {
        op.log(2,
               "LVM Snap [%s], UUID [%s] in live VG references one of removed LVs and will be "
               "removed as well.",
               snap.name.c_str(), snap.id.c_str());
    }
    for (const MirrorOutcome& mirror : settleMirrors(m.live.lvs, m.live.parser, &m.orphans)) {
        if (mirror.kind == MirrorOutcome::Kind::Removed) {
            op.log(2, "Removing Mirror [%s], UUID=[%s] from live metadata", mirror.name.c_str(),
                   mirror.id.c_str());
        } else if (mirror.kind == MirrorOutcome::Kind::Broken) {
            op.log(2, "Breaking Mirror [%s], UUID=[%s]", mirror.name.c_str(), mirror.id.c_str());
        }
    }
    delOrphanLVs(&m.orphans, m.live.lvs, m.live.parser);
}

// The passed PVs' descriptions move from the snap tree to the live one, with their new
// identifiers and under names the live tree does not use yet.
void transferPVs(const Operation& op, Merge& m) {
    for (Node* section = m.snap.pvs->child; section;) {
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
        op.log(2, "Transferring description of PV [%s], UUID=[%s] from snap to live metadata",
               name.c_str(), pv.orig.c_str());
        op.log(2, "Changing transferred node UUID to [%s]", pv.fresh.c_str());
        Parser::assign(Parser::findDirectChild(section, "id"), pv.fresh.c_str());
        const std::string unique = findUniquePVName(name, m.live.pvs, m.live.parser);
        if (unique != name) {
            op.log(2, "Changing transferred node name to [%s]", unique.c_str());
            Parser::rename(section, unique.c_str());
            m.pvNames[name] = unique;
        }
        Parser::assign(Parser::findDirectChild(section, "device"), pv.device.c_str());
        unlinkChild(m.snap.pvs, section);
        prependChild(m.live.pvs, section);
        section = next;
    }
}

// Makes room for the returning LV `lv` in the live tree, then moves it there.
void moveIntoLive(Merge& m, Node* lv, const char* uuid) {
    Shoved shoved =
        shoveLV(m.vgName.c_str(), lv->name, uuid, m.live.lvs, m.live.parser, &m.toActivate);
    if (!shoved.deactivate.empty()) m.inTheWay.emplace_back(lv->name, shoved.deactivate);
    m.transferred.insert(lv->name);
    unlinkChild(m.snap.lvs, lv);
    prependChild(m.live.lvs, lv);
}

// The LVs whose stripes all lie on passed PVs come back, their stripes renamed as the PVs were.
void transferStripedLVs(const Operation& op, Merge& m) {
    std::set<std::string> passedNames;
    for (const auto& entry : m.pvNames) passedNames.insert(entry.first);
    for (Node* lv = m.snap.lvs->child; lv;) {
        Node* next = lv->next;
        if (placementOn(lv, passedNames) == Placement::Wholly) {
            const std::string id = idOf(lv);
            op.log(2, "Transferring description of LV [%s], UUID=[%s] from snap to live metadata",
                   lv->name, id.c_str());
            moveIntoLive(m, lv, id.c_str());
            if (isVisibleLV(lv, m.live.parser)) m.toActivate.push_back(lv->name);
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
void transferStackedLVs(const Operation& op, Merge& m) {
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
        for (Node* lv = m.snap.lvs->child; lv;) {
            Node* next = lv->next;
            if (returns(lv)) {
                const std::string id = idOf(lv);
                op.log(2,
                       "Transferring description of LV [%s], UUID=[%s] from snap to live metadata",
                       lv->name, id.c_str());
                moveIntoLive(m, lv, id.c_str());
                if (isVisibleLV(lv, m.live.parser)) m.toActivate.push_back(lv->name);
                moved = true;
            }
            lv = next;
        }
    }
    // A hidden part that came back for stacked LVs none of which did (a raid image wholly on a
    // passed PV of a raid that spans another PV; a cache pool whose cached LV stays) goes again,
    // and so, in turn, do its own parts.
    auto nodeOf = [&](const std::string& name) {
        Node* node = Parser::findDirectChild(m.snap.lvs, name.c_str());
        return node ? node : Parser::findDirectChild(m.live.lvs, name.c_str());
    };
    std::set<std::string> gone;
    for (bool changed = true; changed;) {
        changed = false;
        for (const std::string& name : m.transferred) {
            Node* part = Parser::findDirectChild(m.live.lvs, name.c_str());
            const std::vector<std::string>& users = m.snapUsage->usedBy(name);
            if (gone.count(name) || !part || isVisibleLV(part, m.live.parser) || users.empty()) {
                continue;
            }
            bool onlyStackedUsersThatStayed = true;
            for (const std::string& user : users) {
                Node* owner = nodeOf(user);
                const bool came = m.transferred.count(user) && !gone.count(user);
                if (!owner || !isStackedLV(owner) || came) onlyStackedUsersThatStayed = false;
            }
            if (!onlyStackedUsersThatStayed) continue;
            op.log(2, "LV [%s] does not come back without the LV it is a part of", name.c_str());
            gone.insert(name);
            m.orphans.push_back(name);
            changed = true;
        }
    }
}

// Snapshots whose origin and copy-on-write LV both came back come too; a copy-on-write LV that
// came back without its snapshot goes again.
void transferSnapshots(const Operation& op, Merge& m) {
    for (Node* lv = m.snap.lvs->child; lv;) {
        Node* next = lv->next;
        SnapshotVerdict verdict = evaluateSnapshot(lv, m.live.lvs);
        if (verdict.isSnapshot && verdict.complete) {
            const std::string id = idOf(lv);
            op.log(2,
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
void transferMirrors(const Operation& op, Merge& m) {
    for (Node* lv = m.snap.lvs->child; lv;) {
        Node* next = lv->next;
        MirrorVerdict verdict = evaluateMirror(lv, m.live.lvs);
        const std::string name = lv->name;
        const std::string id = idOf(lv);
        if (!verdict.isMirror) {
            // not a mirror
        } else if (verdict.survivor.empty()) {
            m.orphans.insert(m.orphans.end(), verdict.components.begin(), verdict.components.end());
        } else if (verdict.complete) {
            op.log(2, "Transferring Mirror [%s], UUID=[%s] from snap to live metadata",
                   name.c_str(), id.c_str());
            moveIntoLive(m, lv, id.c_str());
            m.toActivate.push_back(name);
        } else {
            op.log(2, "Transferring one side of Mirror [%s], UUID=[%s]", name.c_str(), id.c_str());
            for (const std::string& c : verdict.components) {
                if (c != verdict.survivor) m.orphans.push_back(c);
            }
            Shoved shoved = shoveLV(m.vgName.c_str(), name.c_str(), nullptr, m.live.lvs,
                                    m.live.parser, &m.toActivate);
            if (!shoved.deactivate.empty()) m.inTheWay.emplace_back(name, shoved.deactivate);
            breakMirror(m.live.lvs, name, verdict.survivor, m.live.parser);
            m.toActivate.push_back(name);
        }
        lv = next;
    }
}

void finishMerge(const Operation& op, Merge& m) {
    delOrphanLVs(&m.orphans, m.live.lvs, m.live.parser);
    crossCheckMeta(m.live.root, m.live.parser, "combined metadata");
    requireLvmNames(op.origin(), m.vgName, m.live.lvs);
}

// The device-mapper devices of the live LVs that went, in one command; a failure is only logged
// (they are gone from the group either way).
void removeMappings(const Operation& op, const Merge& m) {
    const std::list<std::string> names(m.mappings.begin(), m.mappings.end());
    for (const CommandLine& cmd :
         commandsFor(op, "dmsetup remove", names, "the device-mapper name")) {
        CommandResult r = op.run(cmd);
        if (!op.succeeded(r)) {
            op.log(2, "Command [%s] failed with stdout=[%s], stderr=[%s]", cmd.text().c_str(),
                   r.out.c_str(), r.err.c_str());
        }
    }
}

std::list<std::string> lvDevices(const std::string& vg, const std::list<std::string>& names) {
    std::list<std::string> devices;
    for (const std::string& name : names) devices.push_back("/dev/" + vg + "/" + name);
    return devices;
}

// "lvchange -ay" of `devices`, in one command; throws "Failed to activate LV [<device>]: <error>"
// (for several, "Failed to activate LVs [<device>, <device>]: <error>").
void activate(const Operation& op, const std::list<std::string>& devices) {
    std::string list;
    for (const std::string& device : devices) list += (list.empty() ? "" : ", ") + device;
    const std::string sentence =
        std::string(devices.size() == 1 ? "Failed to activate LV [" : "Failed to activate LVs [") +
        list + "]";
    for (const CommandLine& cmd : commandsFor(op, "lvchange -ay", devices, "the LV device path")) {
        mustRunLvm(op, cmd, sentence);
    }
}

}  // namespace

LVM::VG LVM_linux_lvm::revertLVs(const std::list<std::string>& pv_dev_list, const char* metadata,
                                 std::map<std::string, std::string>& old2new_uuid_map) {
    Operation op(kFunc, volbridge::unit::kLinuxLvm);

    // ---- check ----
    for (const std::string& device : pv_dev_list) {
        volbridge::requireShellWord(device, "the PV device path", kFunc, op.unit(), __LINE__);
    }
    requireDistinctDevices(op.origin(), pv_dev_list);
    Merge m;
    readSnap(op, m, metadata);
    // Held from the first look at the group to the last change; the journal is read and written
    // under it.
    ImportState state(op);
    const bool live = readLive(op, m, state);
    identifyDevices(op, m, pv_dev_list, old2new_uuid_map, state);
    if (!live) finishLive(op, m, metadata);
    const std::set<std::string> passed = passedLivePVs(m, pv_dev_list);
    checkRevertable(op, m.live.lvs, *m.liveUsage, m.live.parser, passed);
    pruneLivePVs(op, m, passed);
    pruneLiveLVs(op, m);
    transferPVs(op, m);
    transferStripedLVs(op, m);
    transferStackedLVs(op, m);
    transferSnapshots(op, m);
    transferMirrors(op, m);
    finishMerge(op, m);
    op.log(2, "Serializing new metadata");
    volbridge::TempFile tmp(op.origin(), metadataTempDirectory(), kMetadataTempPrefix);
    tmp.write(Parser::dump(m.live.root, 0));
    // "--yes": since LVM2 2.03 vgcfgrestore asks before it restores a group that has active LVs,
    // and with no terminal that question would be answered "no"; a revert keeps the LVs of the
    // untouched PVs active on purpose.
    const std::string restoreOptions = "--yes" + thinPoolOption(op, kKind, m.live.lvs, m.vgName);

    // ---- act ----
    std::vector<Operation::Step> steps;
    const std::string vg = m.vgName;
    if (!m.mappings.empty()) {
        steps.push_back({"removing the device-mapper devices of " +
                             std::to_string(m.mappings.size()) + " LVs of " + vg + " that leave it",
                         [&] { removeMappings(op, m); }});
    }
    // Back into service when the revert fails before the restore renames them.
    const std::string inTheWay = "the deactivation of " + std::to_string(m.inTheWay.size()) +
                                 " LVs of " + vg + " in the way of returning ones";
    if (!m.inTheWay.empty()) {
        steps.push_back({"deactivating " + std::to_string(m.inTheWay.size()) + " LVs of " + vg +
                             " in the way of returning ones",
                         [&] {
                             std::list<std::string> devices;
                             for (const auto& lv : m.inTheWay) devices.push_back(lv.second);
                             op.changed(inTheWay, [&op, devices] { activate(op, devices); });
                             deactivateShoved(m.inTheWay);
                         }});
    }
    for (const PassedPV& pv : m.passed) {
        steps.push_back({"re-initialising " + pv.device + " as a PV", [&, pv] {
                             reinitializePV(op, kKind, pv, "", tmp.path(), state, m.vgId,
                                            old2new_uuid_map);
                         }});
    }
    steps.push_back({"restoring the merged metadata of " + vg, [&] {
                         restoreMetadata(op, restoreOptions, tmp.path(), vg);
                         op.forget(inTheWay);
                         op.changed("the merged metadata of " + vg, leftForTheRerun(op, kKind));
                     }});
    if (!m.toActivate.empty()) {
        steps.push_back(
            {"activating " + std::to_string(m.toActivate.size()) + " LVs of " + vg, [&] {
                 op.log(2, "Activating new LVs [%s]", vg.c_str());
                 activate(op, lvDevices(vg, m.toActivate));
             }});
    }
    op.act(steps);

    // ---- result ----
    std::set<std::string> given;
    for (const PassedPV& pv : m.passed) given.insert({pv.current, pv.fresh});
    state.finished(m.vgId, pv_dev_list, given);

    // The reverted group as LVM2 now reports it: through the device node of the last LV
    // activated (udev makes it a moment after activation), or, when no LV was activated or its
    // node never appeared, by the group's own identity.
    vgList_.clear();
    if (!m.toActivate.empty()) {
        const std::string device = "/dev/" + vg + "/" + m.toActivate.back();
        vbhost::Clock& clock = vbhost::currentClock();
        const uint64_t deadline = clock.nowMs() + kNodeWaitMs;
        struct stat st;
        while (stat(device.c_str(), &st) != 0 && clock.nowMs() < deadline) WMSLEEP(kNodePollMs);
        if (stat(device.c_str(), &st) == 0) return getVGByLVDevice(device.c_str());
        op.error("Device node %s did not appear within %u seconds of its activation",
                 device.c_str(), kNodeWaitMs / 1000);
    }
    VG result;
    result.orig_name = result.name = vg;
    result.orig_uuid = result.uuid = m.vgId;
    result.vendor = vendor;
    populateVG(result);
    return result;
}
