// The steps that clone import and in-place revert share: checking the devices and the names
// before anything changes, finding which backup-time PV each device carries, pruning a metadata
// tree to what lies wholly on a set of PVs (PVs, striped LVs, snapshots, mirrors), re-initialising
// the PVs with the layout they had, and restoring the metadata; with the device filter, the
// temporary metadata file and the map from current to backup-time PV identifiers.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/Command.h"
#include "core/Operation.h"
#include "linux_lvm/LVM_linux_lvm_parser.h"
#include "linux_lvm/lvm2_crosscheck.h"

namespace volbridge {
namespace lvm2 {

class ImportState;
using Node = LVM_linux_lvm_parser::Node;

// LVM2 refuses longer group and LV names.
constexpr size_t kMaxLvmNameLength = 127;
// LVM2 refuses an LV whose name and its group's name are together longer than this.
constexpr size_t kMaxGroupAndLvNameLength = 124;

// Why LVM2 would refuse `name` as a group or LV name at most `longest` characters long: empty
// when it would not. LVM2 takes letters, digits and "+_.-", not "-" first, not "." or "..".
std::string lvmNameProblem(const std::string& name, size_t longest);

// Which operation a shared step works for: its log lines are that operation's, at its level
// (clone import at level 0, revert at level 2).
enum class ImportKind { CloneImport, Revert };
inline int logLevel(ImportKind kind) { return kind == ImportKind::CloneImport ? 0 : 2; }

// The key of the first entry of `old2new_uuid_map` (in key order) whose value is
// `current_uuid`; empty when none is.
std::string new2old(const std::map<std::string, std::string>& old2new_uuid_map,
                    const std::string& current_uuid);

// `path` as a literal inside an LVM2 filter regular expression.
std::string escapeFilterRegex(const std::string& path);

// The LVM2 option that confines one command to exactly the given devices: one anchored accept
// pattern per device, in order, then a pattern rejecting everything else; LVM's devices file is
// switched off for the command, since it would override the filter.
//   --config 'devices/filter=["a|^/dev/sdb$|","r|.|"] devices/use_devicesfile=0'
std::string deviceFilterOption(const std::list<std::string>& devices);

// The metadata files handed to vgcfgrestore and pvcreate: TempFiles named "ybmeta_" + six
// random characters, in "/tmp" (tests point the directory elsewhere with a ScopedOverride).
constexpr const char* kMetadataTempPrefix = "ybmeta_";
std::string& metadataTempDirectory();

// ---- checks before anything changes ----

// Every device can be stat'ed ("Can't stat PV device <device>: <error>") and no two of them are
// one device, by path or through two names of it.
void requireDistinctDevices(const Origin& at, const std::list<std::string>& devices);

// Two paths name one device: the same device number for block devices, the same file for anything
// else (a file standing for a disk in a test).
bool sameDevice(const struct stat& a, const struct stat& b);

// A passed device and the backup-time PV it carries a copy of.
struct PassedPV {
    std::string device;
    std::string current;      // the identifier on its label now
    std::string orig;         // the PV's identifier at backup time; empty while unknown
    Node* section = nullptr;  // the PV's section in the backup-time tree
    std::string fresh;        // the identifier it is to get (or has, for a group being finished)
    bool journaled = false;   // `orig` came from the journal: an earlier run gave it `current`
};

// Reads the label of each device, in order (the identifier it carries now); throws what
// getPVUUID throws.
std::vector<PassedPV> readPassedPVs(const std::list<std::string>& devices);

// Finds each device's backup-time identifier: through the map, or, for a device that an earlier
// run of group `vg_id` gave its identity and that was stopped before its caller had the map,
// through the import journal (logged). Leaves `orig` empty where neither knows it.
void findOrigins(const Operation& op, ImportKind kind, std::vector<PassedPV>& passed,
                 const std::map<std::string, std::string>& old2new_uuid_map,
                 const ImportState& state, const std::string& vg_id);

// "Can't find UUID <id> in the supplied UUID map", with `why` appended when it is not empty.
std::string unknownUuidMessage(const std::string& uuid, const std::string& why = "");

// The first child of `pvs` whose "id" is `id`; null when there is none.
Node* findPVSection(Node* pvs, const std::string& id);

// No two devices carry a copy of one PV.
void requireOneDevicePerPV(const Origin& at, const std::vector<PassedPV>& passed);

// Every LV section of `lvs` has a name LVM2 accepts in the group `vg_name`.
void requireLvmNames(const Origin& at, const std::string& vg_name, Node* lvs);

// ---- pruning a tree ----

// A section a pruning step removed.
struct RemovedSection {
    std::string name;
    std::string id;
    std::string device;    // PVs: their "device"
    bool visible = false;  // LVs: it was visible
};

// Removes the PV sections whose names are not in `keep`.
std::vector<RemovedSection> removePVsNotIn(Node* pvs, const std::set<std::string>& keep);

// Where the striped segments of an LV put it against a set of PV section names.
enum class Placement {
    NoStripes,  // it has no striped segment (a snapshot, a mirror)
    Wholly,     // every stripe is on one of the PVs
    Partly,     // some stripe is on another PV
};
Placement placementOn(Node* lv, const std::set<std::string>& pv_names);

// Keeps the LVs with striped segments that lie wholly on the PVs `pv_names` and removes those
// that lie partly elsewhere; LVs without striped segments stay for the later steps.
struct StripedLV {
    Node* lv;
    std::list<std::string> stripes;  // the PV names of its stripes, in order, repeats kept
};
struct LVsOnPVs {
    std::vector<StripedLV> kept;
    std::vector<RemovedSection> removed;
};
LVsOnPVs keepLVsWhollyOn(Node* lvs, const std::set<std::string>& pv_names,
                         LVM_linux_lvm_parser& parser);

// A stacked LV (raid, thin, cache, VDO, integrity, ...) that a pruning step removed, and why: it
// uses a PV outside the set, or it is a hidden part of such an LV that nothing else uses.
struct DroppedLV {
    RemovedSection section;
    std::string outsidePV;  // the first PV it uses that is not in the set
    std::string partOf;     // or the dropped LV it is a part of
};

// Removes every stacked LV (isStackedLV) that, by `usage`, uses a PV whose name is not in
// `pv_names`, together with the hidden LVs it uses that no remaining LV uses (raid images and
// their metadata LVs, a pool's data and metadata LVs, a cache pool, ...). The LVs that use a
// removed LV use its PVs too, so they go as well. A stacked LV is never broken up.
std::vector<DroppedLV> removeStackedLVsNotWhollyOn(Node* lvs, const LvUsage& usage,
                                                   const std::set<std::string>& pv_names,
                                                   LVM_linux_lvm_parser& parser);

// Removes the snapshots whose origin or copy-on-write LV is gone; their copy-on-write LVs are
// added to `orphans`.
std::vector<RemovedSection> removeBrokenSnapshots(Node* lvs, std::list<std::string>* orphans);

// How a mirror LV stands against the LV sections present in `lvs`.
struct MirrorVerdict {
    bool isMirror = false;              // it has a segment of type "mirror"
    bool complete = true;               // its log (if any) and all its sides are present
    std::string survivor;               // the last side that is present; empty when none is
    std::list<std::string> components;  // the log (if a string) and the sides, in order
};
MirrorVerdict evaluateMirror(Node* lv, Node* lvs);

// The mirror's side `survivor` (an LV section of `lvs`) takes the mirror's name and becomes
// visible: a plain LV with the data of one side. The mirror's own section is not touched.
void breakMirror(Node* lvs, const std::string& mirror, const std::string& survivor,
                 LVM_linux_lvm_parser& parser);

// What became of each mirror of `lvs`: kept whole, broken into its last present side, or removed
// with all its parts (no side left). The parts that go are added to `orphans`.
struct MirrorOutcome {
    enum class Kind { Kept, Broken, Removed };
    Kind kind;
    std::string name;
    std::string id;
    std::string survivor;               // Broken: the side that now bears the mirror's name
    std::list<std::string> components;  // the log and the sides
};
std::vector<MirrorOutcome> settleMirrors(Node* lvs, LVM_linux_lvm_parser& parser,
                                         std::list<std::string>* orphans);

// How a snapshot LV stands against the LV sections present in `lvs`.
struct SnapshotVerdict {
    bool isSnapshot = false;  // it has a segment of type "snapshot"
    bool complete = false;    // its origin and its copy-on-write LV are both present
    std::string cow;          // the copy-on-write LV named by the last snapshot segment seen
};
SnapshotVerdict evaluateSnapshot(Node* lv, Node* lvs);

// Unlinks `node` from the children of `parent` and destroys it (a node that is no child of
// `parent` is left alone).
void removeChild(Node* parent, Node* node);
// Unlinks `node` from the children of `parent` without destroying it; false when it is none of
// them.
bool unlinkChild(Node* parent, Node* node);
// Makes `node` the first child of `parent`.
void prependChild(Node* parent, Node* node);

// ---- the commands ----

// The command that re-initialises `device` as a PV with the identifier `new_uuid`, keeping the
// data layout (first PE, extent size and count, bootloader area) of the PV section that carries
// `new_uuid` in the metadata file `restore_file`. Plain "pvcreate -ffy" would lay out a PV as
// today's defaults do, and on a PV made with a smaller data offset its new metadata area would
// overlap the data that the restored metadata places there.
CommandLine layoutPreservingPvcreate(const Origin& at, const std::string& filter_option,
                                     const std::string& new_uuid, const std::string& restore_file,
                                     const std::string& device);

// How a change is recorded that a run of the same import or revert finishes and that is therefore
// left as it is when a later step fails: its undo only says so, and the operation's log names the
// change among what is left.
std::function<void()> leftForTheRerun(const Operation& op, ImportKind kind);

// Gives the passed device its `fresh` identifier with the layout its section has in the metadata
// file `restore_file`. The journal has the new identity before the pvcreate runs; the map has it
// once the device carries it. A failed pvcreate throws "Failed to re-initialize PV <device>:
// <error>", after the map got what the device carries then.
void reinitializePV(Operation& op, ImportKind kind, const PassedPV& pv,
                    const std::string& filter_option, const std::string& restore_file,
                    ImportState& state, const std::string& vg_id,
                    std::map<std::string, std::string>& old2new_uuid_map);

// " --force" when the group's LVs `lvs` hold a thin pool, which LVM2 restores only so (it cannot
// check the pool's transaction id), with a log line of `kind` that says why and that the metadata
// restored must come from the same moment as the pool's disks; "" for any other group.
std::string thinPoolOption(const Operation& op, ImportKind kind, Node* lvs,
                           const std::string& vg_name);

// "vgcfgrestore <options> -f <file> <vg_name>"; throws "Failed to update metadata for VG group
// [<vg_name>]: <error>".
void restoreMetadata(const Operation& op, const std::string& options, const std::string& file,
                     const std::string& vg_name);

}  // namespace lvm2
}  // namespace volbridge
