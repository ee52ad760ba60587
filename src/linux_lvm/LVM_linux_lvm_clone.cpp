// Clone import: a volume group brought up from block-level copies of its PVs, beside the group
// they were copied from, under a new name and with new identifiers.
//
//   check   the devices; which backup-time PV each carries (through the map, the journal of a
//           run that was stopped, or the group a stopped run made from all of them); how LVM2 on
//           this host sees them: it must see every one, and none may be a PV that a group here
//           uses, unless they are all the PVs of the group an earlier run of this very import
//           made from them; the new name; the pruned description and the temporary file that
//           hands it to LVM2. All under the import lock, taken before the groups are listed, so
//           that no other import chooses the same name.
//   act     each clone re-initialised, the metadata restored onto them, the group activated (the
//           clones joining LVM's devices file first where the host keeps one); for the group an
//           earlier run made, only the activation.
//   result  the new group; the map leads from each backup-time PV id to its clone's new id, and
//           the journal keeps nothing of this group's run on these devices.
//
// What a failed step leaves (re-initialised clones, a restored group) is left as it is: running
// the same import again finishes it, and the log names it.
#include <cctype>
#include <cstring>
#include <optional>
#include <set>

#include "LVM/LVM.h"
#include "core/Operation.h"
#include "core/ShellWord.h"
#include "core/TempFile.h"
#include "core/Text.h"
#include "host/YBPlatformInfo.h"
#include "linux_lvm/lvm2_clone_set.h"
#include "linux_lvm/lvm2_command.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_identity.h"
#include "linux_lvm/lvm2_import_state.h"
#include "linux_lvm/lvm2_listing.h"
#include "linux_lvm/lvm2_restore.h"

namespace {

using namespace volbridge::lvm2;
using Parser = LVM_linux_lvm_parser;
using volbridge::Operation;
using volbridge::printable;

const char* const kFunc = "LVM_linux_lvm::recreateVG";
const char* const kConfigSection = "FileSystemAgent";

// The backup-time description, owned by the import.
using Description = CheckedMetadata;

void readPassedMetadata(const Operation& op, Description& d, const char* metadata) {
    op.log(0, "Parsing supplied LVM metadata...");
    d.read(metadata ? metadata : "", "passed metadata");
}

std::string joined(const std::list<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
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

// Whether `name` is one that this import gives a copy of the group `old_name`.
bool isCopyName(const std::string& name, const std::string& old_name) {
    const std::string lead = old_name + "_copy_";
    if (name.compare(0, lead.size(), lead) != 0 || name.size() < lead.size() + 3) return false;
    for (size_t i = lead.size(); i < name.size(); ++i) {
        if (!isdigit(static_cast<unsigned char>(name[i]))) return false;
    }
    return true;
}

// The group's name and identifier, in the record and in the tree.
void setIdentity(const Operation& op, LVM::VG& result, Description& d, const std::string& name,
                 const std::string& uuid) {
    result.orig_name = d.vg->name;
    result.orig_uuid = idOf(d.vg);
    result.name = name;
    result.uuid = uuid;
    Parser::assign(Parser::findDirectChild(d.vg, "id"), result.uuid.c_str());
    Parser::rename(d.vg, result.name.c_str());
    op.log(0, "Rebuilding VG [%s], Old UUID=[%s] under the new name [%s], New UUID=[%s]",
           result.orig_name.c_str(), result.orig_uuid.c_str(), result.name.c_str(),
           result.uuid.c_str());
}

// The name of a new group; it must be one LVM2 accepts.
std::string chooseNewName(const Operation& op, const Description& d, const GroupListing& listing) {
    const std::string old_name = d.vg->name;
    const std::string name = newGroupName(old_name, listing);
    if (name.size() > kMaxLvmNameLength) {
        op.fail("Can't re-create VG [" + printable(old_name) + "]: the new name [" +
                printable(name) + "] would be longer than the " +
                std::to_string(kMaxLvmNameLength) + " characters LVM2 allows");
    }
    const std::string problem = lvmNameProblem(name, kMaxLvmNameLength);
    if (!problem.empty()) {
        op.fail("Can't re-create VG [" + printable(old_name) + "]: the new name [" +
                printable(name) + "] is not a name LVM2 accepts: " + problem);
    }
    return name;
}

// The group an earlier run of this import made from the clones must bear a name this import
// gives, and have exactly the clones as its PVs.
void requireMadeByThisImport(const Operation& op, const Description& d, const ExistingGroup& group,
                             const CheckedMetadata& made, const std::vector<PassedPV>& passed,
                             const std::string& devices) {
    std::set<std::string> pvs, given;
    for (Node* pv = made.pvs->child; pv; pv = pv->next) pvs.insert(idOf(pv));
    for (const PassedPV& pv : passed) given.insert(pv.current);
    if (!isCopyName(group.name, d.vg->name) || pvs != given) {
        op.fail("PV devices " + devices + " belong to VG [" + printable(group.name) +
                "], which is not a copy of VG [" + printable(d.vg->name) +
                "] that this import makes from them: refusing to re-initialize them");
    }
    op.log(0,
           "VG [%s] was made from these devices by an earlier run of this import: it is "
           "finished, and no device is re-initialized",
           group.name.c_str());
}

// The identifiers the new group's LVs get: new ones, or, for the group an earlier run made, the
// ones its LVs have.
class LvIds {
  public:
    explicit LvIds(const CheckedMetadata* made) {
        for (Node* lv = made ? made->lvs->child : nullptr; lv; lv = lv->next) {
            existing_[lv->name] = idOf(lv);
        }
        finishing_ = made != nullptr;
    }
    std::string of(const std::string& lv) const {
        auto found = existing_.find(lv);
        return found != existing_.end() ? found->second : genUUID();
    }
    bool finishing() const { return finishing_; }
    const std::map<std::string, std::string>& existing() const { return existing_; }

  private:
    std::map<std::string, std::string> existing_;
    bool finishing_ = false;
};

// Each device's PV section, which takes the device's new identifier and path; the records of the
// result's PVs. PV section name -> new identifier.
std::map<std::string, std::string> assignPVs(const Operation& op, LVM::VG& result, Description& d,
                                             std::vector<PassedPV>& passed, const LvIds& ids) {
    std::map<std::string, std::string> pv_name_to_uuid;
    for (PassedPV& pv : passed) {
        pv.section = findPVSection(d.pvs, pv.orig);
        if (!pv.section) {
            op.fail("Can't find PV [" + pv.device + "], UUID=[" + printable(pv.orig) +
                    "] in the metadata.");
        }
    }
    requireOneDevicePerPV(op.origin(), passed);
    for (PassedPV& pv : passed) {
        pv.fresh = ids.finishing() ? pv.current : genUUID();
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

std::set<std::string> namesOf(const std::map<std::string, std::string>& pv_name_to_uuid) {
    std::set<std::string> names;
    for (const auto& entry : pv_name_to_uuid) names.insert(entry.first);
    return names;
}

void prunePVs(const Operation& op, Description& d,
              const std::map<std::string, std::string>& pv_name_to_uuid) {
    op.log(0, "Pruning metadata leaving only relevant PVs and LVs...");
    for (const RemovedSection& pv : removePVsNotIn(d.pvs, namesOf(pv_name_to_uuid))) {
        op.log(0, "Removing PV [%s], UUID [%s] from metadata", pv.name.c_str(), pv.id.c_str());
    }
}

// The LVs whose stripes all lie on the clones stay, each with a new identifier; the others go.
// The records of the visible ones go into the result, those of the hidden ones (mirror sides and
// logs) into `hidden_lvs` by name.
void keepStripedLVs(const Operation& op, LVM::VG& result, Description& d,
                    const std::map<std::string, std::string>& pv_name_to_uuid, const LvIds& ids,
                    std::map<std::string, LVM::LV>* hidden_lvs) {
    LVsOnPVs placed = keepLVsWhollyOn(d.lvs, namesOf(pv_name_to_uuid), d.parser);
    for (const RemovedSection& lv : placed.removed) {
        op.log(0, "Removing LV [%s], UUID=[%s] from metadata", lv.name.c_str(), lv.id.c_str());
    }
    for (const StripedLV& kept : placed.kept) {
        LVM::LV record;
        record.orig_uuid = idOf(kept.lv);
        record.uuid = ids.of(kept.lv->name);
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
        op.log(0, "LV [%s]: Old UUID=[%s], New UUID=[%s]", kept.lv->name, record.orig_uuid.c_str(),
               record.uuid.c_str());
    }
}

// Stacked LVs (raid, thin, cache, VDO, integrity, ...) stay only when everything they use lies
// on the clones; otherwise they go whole, with their hidden parts and with the LVs that use them.
void dropStackedLVs(const Operation& op, Description& d, const LvUsage& usage,
                    const std::map<std::string, std::string>& pv_name_to_uuid) {
    for (const DroppedLV& lv :
         removeStackedLVsNotWhollyOn(d.lvs, usage, namesOf(pv_name_to_uuid), d.parser)) {
        if (lv.partOf.empty()) {
            op.log(0,
                   "Removing LV [%s], UUID=[%s] from metadata: it uses PV [%s], which is not "
                   "among the supplied devices",
                   lv.section.name.c_str(), lv.section.id.c_str(), lv.outsidePV.c_str());
        } else {
            op.log(0,
                   "Removing LV [%s], UUID=[%s] from metadata: it is a part of LV [%s], which "
                   "was removed",
                   lv.section.name.c_str(), lv.section.id.c_str(), lv.partOf.c_str());
        }
    }
}

// The stacked LVs that stayed get new identifiers; the visible ones (a raid LV, a thin pool, a
// thin LV, a cached LV, ...) go into the result with every PV they use.
void keepStackedLVs(const Operation& op, LVM::VG& result, Description& d, const LvUsage& usage,
                    const std::map<std::string, std::string>& pv_name_to_uuid, const LvIds& ids) {
    for (Node* lv = d.lvs->child; lv; lv = lv->next) {
        if (!isStackedLV(lv)) continue;
        LVM::LV record;
        record.orig_uuid = idOf(lv);
        record.uuid = ids.of(lv->name);
        record.device = "/dev/" + result.name + "/" + lv->name;
        std::set<std::string> uuids;
        for (const std::string& pv : usage.pvs(lv->name)) uuids.insert(pv_name_to_uuid.at(pv));
        record.pvs.assign(uuids.begin(), uuids.end());
        if (isVisibleLV(lv, d.parser)) result.lvs[record.uuid] = record;
        Parser::assign(Parser::findDirectChild(lv, "id"), record.uuid.c_str());
        op.log(0, "LV [%s]: Old UUID=[%s], New UUID=[%s]", lv->name, record.orig_uuid.c_str(),
               record.uuid.c_str());
    }
}

// Snapshots stay when their origin and copy-on-write LV both stayed, with a new identifier.
void pruneSnapshots(const Operation& op, Description& d, const LvIds& ids,
                    std::list<std::string>* orphans) {
    for (const RemovedSection& snap : removeBrokenSnapshots(d.lvs, orphans)) {
        op.log(0, "Removing LVM Snap [%s], UUID=[%s] from metadata", snap.name.c_str(),
               snap.id.c_str());
    }
    for (Node* lv = d.lvs->child; lv; lv = lv->next) {
        if (!evaluateSnapshot(lv, d.lvs).isSnapshot) continue;
        const std::string old_id = idOf(lv);
        const std::string new_id = ids.of(lv->name);
        Parser::assign(Parser::findDirectChild(lv, "id"), new_id.c_str());
        op.log(0, "LVM Snap [%s]: Old UUID=[%s], New UUID=[%s]", lv->name, old_id.c_str(),
               new_id.c_str());
    }
}

// The new identifiers of the PVs that the LV's mirror log and sides use, ascending, once each.
std::list<std::string> mirrorPvs(const std::list<std::string>& components, Node* lvs,
                                 const std::map<std::string, std::string>& pv_name_to_uuid,
                                 LVM_linux_lvm_parser& parser) {
    std::set<std::string> uuids;
    for (const std::string& component : components) {
        for (const std::string& pv : findPVofLV(component.c_str(), lvs, parser)) {
            auto found = pv_name_to_uuid.find(pv);
            if (found != pv_name_to_uuid.end()) uuids.insert(found->second);
        }
    }
    return std::list<std::string>(uuids.begin(), uuids.end());
}

// Mirrors are kept whole (with a new identifier), broken up into their last present side (which
// keeps the mirror's name and backup-time identifier in the result), or removed.
void settleImportedMirrors(const Operation& op, LVM::VG& result, Description& d,
                           const std::map<std::string, std::string>& pv_name_to_uuid,
                           const LvIds& ids, std::map<std::string, LVM::LV>* hidden_lvs,
                           std::list<std::string>* orphans) {
    for (const MirrorOutcome& mirror : settleMirrors(d.lvs, d.parser, orphans)) {
        const char* name = mirror.name.c_str();
        const char* id = mirror.id.c_str();
        Node* lv = Parser::findDirectChild(d.lvs, name);
        switch (mirror.kind) {
            case MirrorOutcome::Kind::Removed:
                op.log(0, "Removing Mirror [%s], UUID=[%s] from metadata", name, id);
                break;
            case MirrorOutcome::Kind::Kept: {
                LVM::LV record;
                record.orig_uuid = mirror.id;
                record.uuid = ids.of(mirror.name);
                record.device = "/dev/" + result.name + "/" + mirror.name;
                record.pvs = mirrorPvs(mirror.components, d.lvs, pv_name_to_uuid, d.parser);
                result.lvs[record.uuid] = record;
                Parser::assign(Parser::findDirectChild(lv, "id"), record.uuid.c_str());
                op.log(0, "LVM Mirror [%s]: Old UUID=[%s], New UUID=[%s]", name, id,
                       record.uuid.c_str());
                break;
            }
            case MirrorOutcome::Kind::Broken: {
                op.log(0, "Breaking Mirror [%s], UUID=[%s]", name, id);
                auto hidden = hidden_lvs->find(mirror.survivor);
                if (hidden == hidden_lvs->end()) {
                    op.fail("Can't find side [" + printable(mirror.survivor) + "] of mirror [" +
                            printable(mirror.name) + "] in metadata");
                }
                LVM::LV record = hidden->second;
                record.orig_uuid = mirror.id;
                record.device = "/dev/" + result.name + "/" + mirror.name;
                // The side bears the mirror's name now, and so it does in a group made earlier.
                if (ids.existing().count(mirror.name)) {
                    record.uuid = ids.of(mirror.name);
                    Parser::assign(Parser::findDirectChild(lv, "id"), record.uuid.c_str());
                }
                result.lvs[record.uuid] = record;
                hidden_lvs->erase(hidden);
                break;
            }
        }
    }
}

// The group an earlier run made has exactly the LVs this import makes.
void requireSameLVs(const Operation& op, const Description& d, const LvIds& ids,
                    const ExistingGroup& group) {
    std::set<std::string> planned, made;
    for (Node* lv = d.lvs->child; lv; lv = lv->next) planned.insert(lv->name);
    for (const auto& entry : ids.existing()) made.insert(entry.first);
    if (planned != made) {
        op.fail("VG [" + printable(group.name) + "] on the given devices does not hold the LVs " +
                "this import makes from them: refusing to re-initialize them");
    }
}

// A run that restored and activated the group but was stopped before its caller wrote the map
// leaves clones whose new identities neither the map nor the journal knows any more (the journal
// lines go when the library returns). When the clones are all the PVs of the captured group, the
// group they form still tells which captured PV each one copies: LVM2 names the PV sections pv0,
// pv1, ... in their order, in the capture as in the group restored from all of it, so the section
// of a clone in that group is the copy of the captured section of the same name, with the same
// extents. Returns whether any clone was recognised so; the group must then lay out every LV as
// the capture does (requireSameLayout).
bool originsFromMadeGroup(const Operation& op, const Description& d, const CheckedMetadata& made,
                          const ExistingGroup& group, std::vector<PassedPV>& passed) {
    size_t captured = 0;
    for (Node* pv = d.pvs->child; pv; pv = pv->next) ++captured;
    if (captured != passed.size()) return false;
    bool recognised = false;
    for (PassedPV& pv : passed) {
        if (!pv.orig.empty()) continue;
        Node* section = findPVSection(made.pvs, pv.current);
        Node* origin = section ? Parser::findDirectChild(d.pvs, section->name) : nullptr;
        if (!origin || valueText(section, "pe_start") != valueText(origin, "pe_start") ||
            valueText(section, "pe_count") != valueText(origin, "pe_count")) {
            continue;
        }
        pv.orig = idOf(origin);
        recognised = true;
        op.log(0,
               "%s carries UUID %s as PV %s of VG [%s], the copy of PV %s that an earlier run of "
               "this import made",
               pv.device.c_str(), pv.current.c_str(), section->name, group.name.c_str(),
               pv.orig.c_str());
    }
    return recognised;
}

// The group an earlier run made places every LV as the captured metadata does: the same segments,
// extents, types and stripes.
void requireSameLayout(const Operation& op, const Description& d, const CheckedMetadata& made,
                       const ExistingGroup& group) {
    for (Node* lv = d.lvs->child; lv; lv = lv->next) {
        Node* twin = Parser::findDirectChild(made.lvs, lv->name);
        bool same = twin && valueText(lv, "segment_count") == valueText(twin, "segment_count");
        for (Node* seg = lv->child; same && seg; seg = seg->next) {
            if (!isSegment(seg)) continue;
            Node* other = Parser::findDirectChild(twin, seg->name);
            same = other != nullptr;
            for (const char* key : {"start_extent", "extent_count", "type", "stripes"}) {
                if (same && valueText(seg, key) != valueText(other, key)) same = false;
            }
        }
        if (!same) {
            op.fail("VG [" + printable(group.name) +
                    "] on the given devices does not lay out LV [" + printable(lv->name) +
                    "] as the captured metadata does: refusing to re-initialize them");
        }
    }
}

// Removes the string `text` from the array value of `node`; the only element becomes the empty
// array.
void removeArrayString(Node* node, const char* text) {
    if (!node) return;
    for (Parser::Value** link = &node->value; *link; link = &(*link)->next) {
        Parser::Value* v = *link;
        if (!v->str || strcmp(v->str, text) != 0) continue;
        if (link == &node->value && !v->next) {
            free(v->str);
            v->str = nullptr;
            v->type = Parser::VALUE_EMPTY_ARRAY;
            return;
        }
        *link = v->next;
        v->next = nullptr;
        Parser::destroyValues(v);
        return;
    }
}

bool hasArrayString(Node* node, const char* text) {
    for (Parser::Value* v = node ? node->value : nullptr; v; v = v->next) {
        if (v->str && strcmp(v->str, text) == 0) return true;
    }
    return false;
}

// The imported group is a local group of this host. It takes no lock type and no lock arguments
// of a group shared through lvmlockd (LVM2 would not open it without lvmlockd), no exported flag
// (a group exported with vgexport when it was captured: LVM2 would not activate it), and, unless
// the configuration keeps them, no system id (a group owned by another host is invisible here and
// cannot be activated or removed) and no clustered flag (which LVM2 2.03 no longer opens, and
// whose "vgchange -cn" it no longer has). Returns the suffix of the activation command.
std::string makeLocalGroup(const Operation& op, Description& d, const std::string& name) {
    Node* vg = d.vg;
    for (const char* key : {"lock_type", "lock_args"}) {
        removeChild(vg, Parser::findDirectChild(vg, key));
    }
    for (Node* lv = d.lvs->child; lv; lv = lv->next) {
        removeChild(lv, Parser::findDirectChild(lv, "lock_args"));
    }
    Node* status = Parser::findDirectChild(vg, "status");
    if (hasArrayString(status, "EXPORTED")) {
        op.log(0, "Clearing VG's EXPORTED status");
        removeArrayString(status, "EXPORTED");
        for (Node* pv = d.pvs->child; pv; pv = pv->next) {
            removeArrayString(Parser::findDirectChild(pv, "status"), "EXPORTED");
        }
    }

    unsigned long value = 0;
    if (YBPlatformInfo::getNumber(kConfigSection, "nDONOT_CLEAR_SYSTEM_ID", &value) && value != 0) {
        op.log(0, "Registry key [%s/%s] exists with value %ld, clear system_id command NOT sent",
               kConfigSection, "nDONOT_CLEAR_SYSTEM_ID", static_cast<long>(value));
    } else if (Node* systemId = Parser::findDirectChild(vg, "system_id")) {
        op.log(0, "Clearing VG system_id setting [%s]", name.c_str());
        removeChild(vg, systemId);
    }

    value = 1;
    if (YBPlatformInfo::getNumber(kConfigSection, "nDECLUSTER_LVM", &value) && value == 0) {
        op.log(0, "Registry key [%s/%s] exists with value %ld, decluster command NOT sent",
               kConfigSection, "nDECLUSTER_LVM", static_cast<long>(value));
        return "";
    }
    if (hasArrayString(status, "CLUSTERED")) {
        op.log(0, "Clearing VG's CLUSTERED status");
        removeArrayString(status, "CLUSTERED");
    }
    return " --config 'global {locking_type = 0}'";
}

// Where LVM2 keeps a devices file, its commands see only the devices listed there. The clones took
// their new identities with the file switched off for those commands, so they join it before the
// group is activated (with the host's own configuration); otherwise the new group would be
// invisible to every later command.
void addToDevicesFile(Operation& op, ImportKind kind, const std::list<std::string>& devices) {
    if (!op.succeeded(op.run(op.command("lvm lvmdevices")))) return;
    for (const std::string& device : devices) {
        op.log(0, "Adding %s to LVM's devices file", device.c_str());
        mustRunLvm(op, op.command("lvm lvmdevices --adddev").word(device, "the PV device path"),
                   "Failed to add PV device " + device + " to LVM's devices file");
        op.changed("the entry of " + device + " in LVM's devices file", leftForTheRerun(op, kind));
    }
}

void activateGroup(const Operation& op, const std::string& name, const std::string& suffix) {
    op.log(0, "Activating VG [%s]", name.c_str());
    mustRunLvm(op, op.command("vgchange -ay").word(name, "the new VG name").literal(suffix),
               "Failed to activate VG group [" + name + "]");
}

}  // namespace

LVM::VG LVM_linux_lvm::recreateVG(const std::list<std::string>& pv_dev_list, const char* metadata,
                                  std::map<std::string, std::string>& old2new_uuid_map) {
    Operation op(kFunc, volbridge::unit::kLinuxLvm);
    const ImportKind kind = ImportKind::CloneImport;

    // ---- check ----
    for (const std::string& device : pv_dev_list) {
        volbridge::requireShellWord(device, "the PV device path", kFunc, op.unit(), __LINE__);
    }
    requireDistinctDevices(op.origin(), pv_dev_list);
    const std::string filter = deviceFilterOption(pv_dev_list);
    Description d;
    readPassedMetadata(op, d, metadata);
    const std::string vgId = idOf(d.vg);
    // What each LV uses, read before anything is pruned.
    const LvUsage usage(d.pvs, d.lvs);
    // Held from the listing of the groups to the activation of the new one.
    ImportState state(op);
    GroupListing listing = listGroups(op.origin());
    if (!listing.ok) op.fail("Failed to list the existing VGs: " + listing.problem);
    const std::string newName = chooseNewName(op, d, listing);

    std::vector<PassedPV> passed = readPassedPVs(pv_dev_list);
    const std::vector<DeviceView> view = viewDevices(op, passed);
    requireSeen(op, view);
    const ExistingGroup existing = classifyDevices(op, view, vgId);
    findOrigins(op, kind, passed, old2new_uuid_map, state, vgId);
    CheckedMetadata made;
    bool recognisedByLayout = false;
    if (existing.exists()) {
        readExistingGroup(op, existing, filter, &made);
        recognisedByLayout = originsFromMadeGroup(op, d, made, existing, passed);
    }
    for (const PassedPV& pv : passed) {
        if (!pv.orig.empty()) continue;
        op.fail(unknownUuidMessage(
            pv.current, existing.exists()
                            ? "PV device " + pv.device + " is a PV of VG [" + existing.name + "]"
                            : ""));
    }
    const std::string devices = joined(pv_dev_list);
    VG result;
    result.vendor = vendor;
    if (existing.exists()) {
        requireMadeByThisImport(op, d, existing, made, passed, devices);
        setIdentity(op, result, d, existing.name, existing.uuid);
    } else {
        setIdentity(op, result, d, newName, genUUID());
    }
    const LvIds ids(existing.exists() ? &made : nullptr);

    const std::map<std::string, std::string> pv_name_to_uuid =
        assignPVs(op, result, d, passed, ids);
    prunePVs(op, d, pv_name_to_uuid);
    dropStackedLVs(op, d, usage, pv_name_to_uuid);
    std::map<std::string, LV> hidden_lvs;
    std::list<std::string> orphans;
    keepStripedLVs(op, result, d, pv_name_to_uuid, ids, &hidden_lvs);
    keepStackedLVs(op, result, d, usage, pv_name_to_uuid, ids);
    pruneSnapshots(op, d, ids, &orphans);
    settleImportedMirrors(op, result, d, pv_name_to_uuid, ids, &hidden_lvs, &orphans);
    delOrphanLVs(&orphans, d.lvs, d.parser);
    crossCheckMeta(d.root, d.parser, "pruned metadata");
    requireLvmNames(op.origin(), result.name, d.lvs);
    if (existing.exists()) requireSameLVs(op, d, ids, existing);
    if (recognisedByLayout) requireSameLayout(op, d, made, existing);
    const std::string activationSuffix = makeLocalGroup(op, d, result.name);
    result.metadata = Parser::dump(d.root, 0);

    // One temporary file tells pvcreate where each clone's data lies and then restores the
    // group; it goes on every path.
    std::optional<volbridge::TempFile> tmp;
    std::string restoreOptions;
    if (!existing.exists()) {
        op.log(0, "Storing pruned metadata in the PVs...");
        tmp.emplace(op.origin(), metadataTempDirectory(), kMetadataTempPrefix);
        tmp->write(result.metadata);
        restoreOptions = filter + thinPoolOption(op, kind, d.lvs, result.name);
    }

    // ---- act ----
    std::vector<Operation::Step> steps;
    if (!existing.exists()) {
        for (const PassedPV& pv : passed) {
            steps.push_back({"re-initialising " + pv.device + " as a PV", [&, pv] {
                                 reinitializePV(op, kind, pv, filter, tmp->path(), state, vgId,
                                                old2new_uuid_map);
                             }});
        }
        steps.push_back({"restoring the group metadata onto " + devices, [&] {
                             restoreMetadata(op, restoreOptions, tmp->path(), result.name);
                             op.changed("VG " + result.name + " on " + devices,
                                        leftForTheRerun(op, kind));
                         }});
    }
    steps.push_back({"activating " + result.name, [&] {
                         addToDevicesFile(op, kind, pv_dev_list);
                         activateGroup(op, result.name, activationSuffix);
                     }});
    op.act(steps);

    // ---- result ----
    std::set<std::string> given;
    for (const PassedPV& pv : passed) {
        old2new_uuid_map[pv.orig] = pv.fresh;
        given.insert({pv.current, pv.fresh});
    }
    state.finished(vgId, pv_dev_list, given);
    // The listing this object may hold predates the new group.
    vgList_.clear();
    return result;
}
