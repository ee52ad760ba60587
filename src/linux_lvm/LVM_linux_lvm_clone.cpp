// Clone import: a volume group brought up from block-level copies of its PVs, beside the group
// they were copied from, under a new name and with new identifiers.
//
// Everything is checked and the new metadata is complete before the first clone changes: the
// devices, which PV each carries, the new name, the pruned description. Then, under the import
// lock (taken before the groups are listed, so that no other import chooses the same name), the
// clones are re-initialised and the metadata restored; then the group is activated.
#include <cstring>
#include <set>

#include "LVM/LVM.h"
#include "core/Command.h"
#include "core/ShellWord.h"
#include "core/TempFile.h"
#include "core/Text.h"
#include "host/LogWriter.h"
#include "host/YBPlatformInfo.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_identity.h"
#include "linux_lvm/lvm2_import_state.h"
#include "linux_lvm/lvm2_listing.h"
#include "linux_lvm/lvm2_restore.h"

namespace {

using namespace volbridge::lvm2;
using Parser = LVM_linux_lvm_parser;
using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::printable;

const char* const kFunc = "LVM_linux_lvm::recreateVG";
const volbridge::Origin kHere{kFunc, volbridge::unit::kLinuxLvm};
const char* const kConfigSection = "FileSystemAgent";

template <class... A>
void info(EvDebug::Fmt fmt, const A&... args) {
    say(Operation::CloneImport, kFunc, fmt, args...);
}

// The backup-time description, parsed and checked, owned by the import.
struct Description {
    Parser parser;
    Parser::NodeAutoPtr root;
    Node* vg = nullptr;
    Node* pvs = nullptr;
    Node* lvs = nullptr;
};

void readPassedMetadata(Description& d, const char* metadata) {
    info("Parsing supplied LVM metadata...");
    d.root = d.parser.parse(metadata ? metadata : "");
    addMissingVolumeSections(d.root);
    crossCheckMeta(d.root, d.parser, "passed metadata", &d.vg, &d.pvs, &d.lvs);
}

// The first "<old name>_copy_NNN" that no group bears, nor a group LVM2 skipped.
std::string newGroupName(const std::string& old_name, const GroupListing& listing) {
    std::set<std::string> taken = listing.skipped;
    for (const LVM::VG& vg : listing.groups) taken.insert(vg.name);
    for (unsigned long n = 1;; ++n) {
        char suffix[32];
        snprintf(suffix, sizeof suffix, "_copy_%03lu", n);
        std::string candidate = old_name + suffix;
        if (!taken.count(candidate)) return candidate;
    }
}

// The new group's name and identifier, in the record and in the tree.
void chooseIdentity(LVM::VG& result, Description& d, const GroupListing& listing) {
    result.orig_name = d.vg->name;
    result.orig_uuid = idOf(d.vg);
    result.uuid = genUUID();
    result.name = newGroupName(result.orig_name, listing);
    if (result.name.size() > kMaxLvmNameLength) {
        kHere.fail("Can't re-create VG [" + printable(result.orig_name) + "]: the new name [" +
                   printable(result.name) + "] would be longer than the " +
                   std::to_string(kMaxLvmNameLength) + " characters LVM2 allows");
    }
    const std::string problem = lvmNameProblem(result.name, kMaxLvmNameLength);
    if (!problem.empty()) {
        kHere.fail("Can't re-create VG [" + printable(result.orig_name) + "]: the new name [" +
                   printable(result.name) + "] is not a name LVM2 accepts: " + problem);
    }
    Parser::assign(Parser::findDirectChild(d.vg, "id"), result.uuid.c_str());
    Parser::rename(d.vg, result.name.c_str());
    info("Rebuilding VG [%s], Old UUID=[%s] under the new name [%s], New UUID=[%s]",
         result.orig_name.c_str(), result.orig_uuid.c_str(), result.name.c_str(),
         result.uuid.c_str());
}

// Each device's PV section, which takes the device's new identifier and path; the records of the
// result's PVs. PV section name -> new identifier.
std::map<std::string, std::string> assignPVs(LVM::VG& result, Description& d,
                                             std::vector<PassedPV>& passed) {
    std::map<std::string, std::string> pv_name_to_uuid;
    for (PassedPV& pv : passed) {
        pv.section = findPVSection(d.pvs, pv.orig);
        if (!pv.section) {
            kHere.fail("Can't find PV [" + pv.device + "], UUID=[" + printable(pv.orig) +
                       "] in the metadata.");
        }
    }
    requireOneDevicePerPV(kHere, passed);
    for (PassedPV& pv : passed) {
        pv.fresh = genUUID();
        Parser::assign(Parser::findDirectChild(pv.section, "id"), pv.fresh.c_str());
        Parser::assign(Parser::findDirectChild(pv.section, "device"), pv.device.c_str());
        pv_name_to_uuid[pv.section->name] = pv.fresh;
        LVM::PV record;
        record.orig_uuid = pv.orig;
        record.uuid = pv.fresh;
        record.device = pv.device;
        result.pvs[pv.fresh] = record;
    }
    return pv_name_to_uuid;
}

void prunePVs(Description& d, const std::map<std::string, std::string>& pv_name_to_uuid) {
    info("Pruning metadata leaving only relevant PVs and LVs...");
    std::set<std::string> keep;
    for (const auto& entry : pv_name_to_uuid) keep.insert(entry.first);
    for (const RemovedSection& pv : removePVsNotIn(d.pvs, keep)) {
        info("Removing PV [%s], UUID [%s] from metadata", pv.name.c_str(), pv.id.c_str());
    }
}

// The LVs whose stripes all lie on the clones stay, each with a new identifier; the others go.
// The records of the visible ones go into the result, those of the hidden ones (mirror sides and
// logs) into `hidden_lvs` by name.
void keepStripedLVs(LVM::VG& result, Description& d,
                    const std::map<std::string, std::string>& pv_name_to_uuid,
                    std::map<std::string, LVM::LV>* hidden_lvs) {
    std::set<std::string> pvNames;
    for (const auto& entry : pv_name_to_uuid) pvNames.insert(entry.first);
    LVsOnPVs placed = keepLVsWhollyOn(d.lvs, pvNames, d.parser);
    for (const RemovedSection& lv : placed.removed) {
        info("Removing LV [%s], UUID=[%s] from metadata", lv.name.c_str(), lv.id.c_str());
    }
    for (const StripedLV& kept : placed.kept) {
        LVM::LV record;
        record.orig_uuid = idOf(kept.lv);
        record.uuid = genUUID();
        record.device = "/dev/" + result.name + "/" + kept.lv->name;
        for (const std::string& stripe : kept.stripes) {
            record.pvs.push_back(pv_name_to_uuid.at(stripe));
        }
        if (isVisibleLV(kept.lv, d.parser)) {
            result.lvs[record.uuid] = record;
        } else {
            (*hidden_lvs)[kept.lv->name] = record;
        }
        Parser::assign(Parser::findDirectChild(kept.lv, "id"), record.uuid.c_str());
        info("LV [%s]: Old UUID=[%s], New UUID=[%s]", kept.lv->name, record.orig_uuid.c_str(),
             record.uuid.c_str());
    }
}

// Stacked LVs (raid, thin, cache, VDO, integrity, ...) stay only when everything they use lies
// on the clones; otherwise they go whole, with their hidden parts and with the LVs that use them.
void dropStackedLVs(Description& d, const LvUsage& usage,
                    const std::map<std::string, std::string>& pv_name_to_uuid) {
    std::set<std::string> pvNames;
    for (const auto& entry : pv_name_to_uuid) pvNames.insert(entry.first);
    for (const DroppedLV& lv : removeStackedLVsNotWhollyOn(d.lvs, usage, pvNames, d.parser)) {
        if (lv.partOf.empty()) {
            info("Removing LV [%s], UUID=[%s] from metadata: it uses PV [%s], which is not "
                 "among the supplied devices",
                 lv.section.name.c_str(), lv.section.id.c_str(), lv.outsidePV.c_str());
        } else {
            info("Removing LV [%s], UUID=[%s] from metadata: it is a part of LV [%s], which was "
                 "removed",
                 lv.section.name.c_str(), lv.section.id.c_str(), lv.partOf.c_str());
        }
    }
}

// The stacked LVs that stayed get new identifiers; the visible ones (a raid LV, a thin pool, a
// thin LV, a cached LV, ...) go into the result with every PV they use.
void keepStackedLVs(LVM::VG& result, Description& d, const LvUsage& usage,
                    const std::map<std::string, std::string>& pv_name_to_uuid) {
    for (Node* lv = d.lvs->child; lv; lv = lv->next) {
        if (!isStackedLV(lv)) continue;
        LVM::LV record;
        record.orig_uuid = idOf(lv);
        record.uuid = genUUID();
        record.device = "/dev/" + result.name + "/" + lv->name;
        std::set<std::string> ids;
        for (const std::string& pv : usage.pvs(lv->name)) ids.insert(pv_name_to_uuid.at(pv));
        record.pvs.assign(ids.begin(), ids.end());
        if (isVisibleLV(lv, d.parser)) result.lvs[record.uuid] = record;
        Parser::assign(Parser::findDirectChild(lv, "id"), record.uuid.c_str());
        info("LV [%s]: Old UUID=[%s], New UUID=[%s]", lv->name, record.orig_uuid.c_str(),
             record.uuid.c_str());
    }
}

// Snapshots stay when their origin and copy-on-write LV both stayed, with a new identifier.
void pruneSnapshots(Description& d, std::list<std::string>* orphans) {
    for (const RemovedSection& snap : removeBrokenSnapshots(d.lvs, orphans)) {
        info("Removing LVM Snap [%s], UUID=[%s] from metadata", snap.name.c_str(), snap.id.c_str());
    }
    for (Node* lv = d.lvs->child; lv; lv = lv->next) {
        if (!evaluateSnapshot(lv, d.lvs).isSnapshot) continue;
        const std::string old_id = idOf(lv);
        const std::string new_id = genUUID();
        Parser::assign(Parser::findDirectChild(lv, "id"), new_id.c_str());
        info("LVM Snap [%s]: Old UUID=[%s], New UUID=[%s]", lv->name, old_id.c_str(),
             new_id.c_str());
    }
}

// The new identifiers of the PVs that the LV's mirror log and sides use, ascending, once each.
std::list<std::string> mirrorPvs(const std::list<std::string>& components, Node* lvs,
                                 const std::map<std::string, std::string>& pv_name_to_uuid,
                                 LVM_linux_lvm_parser& parser) {
    std::set<std::string> ids;
    for (const std::string& component : components) {
        for (const std::string& pv : findPVofLV(component.c_str(), lvs, parser)) {
            auto found = pv_name_to_uuid.find(pv);
            if (found != pv_name_to_uuid.end()) ids.insert(found->second);
        }
    }
    return std::list<std::string>(ids.begin(), ids.end());
}

// Mirrors are kept whole (with a new identifier), broken up into their last present side (which
// keeps the mirror's name and backup-time identifier in the result), or removed.
void settleImportedMirrors(LVM::VG& result, Description& d,
                           const std::map<std::string, std::string>& pv_name_to_uuid,
                           std::map<std::string, LVM::LV>* hidden_lvs,
                           std::list<std::string>* orphans) {
    for (const MirrorOutcome& mirror : settleMirrors(d.lvs, d.parser, orphans)) {
        const char* name = mirror.name.c_str();
        const char* id = mirror.id.c_str();
        switch (mirror.kind) {
            case MirrorOutcome::Kind::Removed:
                info("Removing Mirror [%s], UUID=[%s] from metadata", name, id);
                break;
            case MirrorOutcome::Kind::Kept: {
                LVM::LV record;
                record.orig_uuid = mirror.id;
                record.uuid = genUUID();
                record.device = "/dev/" + result.name + "/" + mirror.name;
                record.pvs = mirrorPvs(mirror.components, d.lvs, pv_name_to_uuid, d.parser);
                result.lvs[record.uuid] = record;
                Node* lv = Parser::findDirectChild(d.lvs, name);
                Parser::assign(Parser::findDirectChild(lv, "id"), record.uuid.c_str());
                info("LVM Mirror [%s]: Old UUID=[%s], New UUID=[%s]", name, id,
                     record.uuid.c_str());
                break;
            }
            case MirrorOutcome::Kind::Broken: {
                info("Breaking Mirror [%s], UUID=[%s]", name, id);
                auto hidden = hidden_lvs->find(mirror.survivor);
                if (hidden == hidden_lvs->end()) {
                    kHere.fail("Can't find side [" + printable(mirror.survivor) + "] of mirror [" +
                               printable(mirror.name) + "] in metadata");
                }
                LVM::LV record = hidden->second;
                record.orig_uuid = mirror.id;
                record.device = "/dev/" + result.name + "/" + mirror.name;
                result.lvs[record.uuid] = record;
                hidden_lvs->erase(hidden);
                break;
            }
        }
    }
}

// Removes the string `text` from the array value of `node`, unless it is the only element (an
// array is never left without one).
void removeArrayString(Node* node, const char* text) {
    if (!node || !node->value || !node->value->next) return;
    for (Parser::Value** link = &node->value; *link; link = &(*link)->next) {
        if ((*link)->str && strcmp((*link)->str, text) == 0) {
            Parser::Value* gone = *link;
            *link = gone->next;
            gone->next = nullptr;
            Parser::destroyValues(gone);
            return;
        }
    }
}

bool hasArrayString(Node* node, const char* text) {
    for (Parser::Value* v = node ? node->value : nullptr; v; v = v->next) {
        if (v->str && strcmp(v->str, text) == 0) return true;
    }
    return false;
}

// The imported group is a local group of this host. It takes no lock type and no lock arguments
// of a group shared through lvmlockd (LVM2 would not open it without lvmlockd), and, unless the
// configuration keeps them, no system id (a group owned by another host is invisible here and
// cannot be activated or removed) and no clustered flag (which LVM2 2.03 no longer opens, and
// whose "vgchange -cn" it no longer has). Returns the suffix of the activation command.
std::string makeLocalGroup(Description& d, const std::string& name) {
    Node* vg = d.vg;
    for (const char* key : {"lock_type", "lock_args"}) {
        removeChild(vg, Parser::findDirectChild(vg, key));
    }
    for (Node* lv = d.lvs->child; lv; lv = lv->next) {
        removeChild(lv, Parser::findDirectChild(lv, "lock_args"));
    }

    unsigned long value = 0;
    if (YBPlatformInfo::getNumber(kConfigSection, "nDONOT_CLEAR_SYSTEM_ID", &value) && value != 0) {
        info("Registry key [%s/%s] exists with value %ld, clear system_id command NOT sent",
             kConfigSection, "nDONOT_CLEAR_SYSTEM_ID", static_cast<long>(value));
    } else if (Node* systemId = Parser::findDirectChild(vg, "system_id")) {
        info("Clearing VG system_id setting [%s]", name.c_str());
        removeChild(vg, systemId);
    }

    value = 1;
    if (YBPlatformInfo::getNumber(kConfigSection, "nDECLUSTER_LVM", &value) && value == 0) {
        info("Registry key [%s/%s] exists with value %ld, decluster command NOT sent",
             kConfigSection, "nDECLUSTER_LVM", static_cast<long>(value));
        return "";
    }
    Node* status = Parser::findDirectChild(vg, "status");
    if (hasArrayString(status, "CLUSTERED")) {
        info("Clearing VG's CLUSTERED status");
        removeArrayString(status, "CLUSTERED");
    }
    return " --config 'global {locking_type = 0}'";
}

// Where LVM2 keeps a devices file, its commands see only the devices listed there. The clones took
// their new identities with the file switched off for those commands, so they are added to it now;
// otherwise the new group would be invisible to every later command.
void addToDevicesFile(const std::list<std::string>& devices) {
    if (!volbridge::run(CommandLine(kHere, "lvm lvmdevices")).succeeded()) return;
    for (const std::string& device : devices) {
        info("Adding %s to LVM's devices file", device.c_str());
        CommandResult added = volbridge::run(
            CommandLine(kHere, "lvm lvmdevices --adddev").word(device, "the PV device path"));
        if (!added.succeeded()) {
            kHere.fail("Failed to add PV device " + device +
                       " to LVM's devices file: " + added.err);
        }
    }
}

void activateGroup(const std::string& name, const std::string& suffix) {
    info("Activating VG [%s]", name.c_str());
    CommandResult activated = volbridge::run(
        CommandLine(kHere, "vgchange -ay").word(name, "the new VG name").literal(suffix));
    if (!activated.succeeded()) {
        kHere.fail("Failed to activate VG group [" + name + "]: " + activated.err);
    }
}

}  // namespace

LVM::VG LVM_linux_lvm::recreateVG(const std::list<std::string>& pv_dev_list, const char* metadata,
                                  std::map<std::string, std::string>& old2new_uuid_map) {
    VG result;
    result.vendor = vendor;
    for (const std::string& device : pv_dev_list) {
        volbridge::requireShellWord(device, "the PV device path", kFunc, kHere.unit, __LINE__);
    }
    requireDistinctDevices(kHere, pv_dev_list);
    const std::string filter = deviceFilterOption(pv_dev_list);

    Description d;
    readPassedMetadata(d, metadata);
    // What each LV uses, read before anything is pruned.
    const LvUsage usage(d.pvs, d.lvs);
    std::string activationSuffix;
    {
        // Held from the listing of the groups to the restore of the new one.
        ImportState state(kHere);
        GroupListing listing = listGroups(kHere);
        if (!listing.ok) kHere.fail("Failed to list the existing VGs: " + listing.problem);
        chooseIdentity(result, d, listing);

        std::vector<PassedPV> passed = identifyPassedPVs(kHere, Operation::CloneImport, pv_dev_list,
                                                         old2new_uuid_map, state, result.orig_uuid);
        const std::map<std::string, std::string> pv_name_to_uuid = assignPVs(result, d, passed);
        prunePVs(d, pv_name_to_uuid);
        dropStackedLVs(d, usage, pv_name_to_uuid);
        std::map<std::string, LV> hidden_lvs;
        std::list<std::string> orphans;
        keepStripedLVs(result, d, pv_name_to_uuid, &hidden_lvs);
        keepStackedLVs(result, d, usage, pv_name_to_uuid);
        pruneSnapshots(d, &orphans);
        settleImportedMirrors(result, d, pv_name_to_uuid, &hidden_lvs, &orphans);
        delOrphanLVs(&orphans, d.lvs, d.parser);
        crossCheckMeta(d.root, d.parser, "pruned metadata");
        requireLvmNames(kHere, result.name, d.lvs);
        activationSuffix = makeLocalGroup(d, result.name);

        // Nothing has changed on disk up to here. One temporary file tells pvcreate where each
        // clone's data lies and then restores the group; it goes on every path.
        info("Storing pruned metadata in the PVs...");
        result.metadata = Parser::dump(d.root, 0);
        volbridge::TempFile tmp(kHere, metadataTempDirectory(), kMetadataTempPrefix);
        tmp.write(result.metadata);
        reinitializePVs(kHere, Operation::CloneImport, passed, filter, tmp.path(), state,
                        result.orig_uuid, old2new_uuid_map);
        restoreMetadata(
            kHere, filter + thinPoolOption(Operation::CloneImport, kFunc, d.lvs, result.name),
            tmp.path(), result.name);

        std::set<std::string> done;
        for (const PassedPV& pv : passed) done.insert({pv.current, pv.fresh});
        state.forget(result.orig_uuid, done);
    }
    addToDevicesFile(pv_dev_list);
    activateGroup(result.name, activationSuffix);
    // The listing this object may hold predates the new group.
    vgList_.clear();
    return result;
}
