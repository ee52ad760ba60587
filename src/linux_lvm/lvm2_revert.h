// In-place revert of LVM2 volumes: the helpers of the merge and of the revert protocol.
#pragma once

#include <list>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/Operation.h"
#include "linux_lvm/LVM_linux_lvm_parser.h"
#include "linux_lvm/lvm2_crosscheck.h"

namespace volbridge {
namespace lvm2 {

using Node = LVM_linux_lvm_parser::Node;

// What shoveLV did to the live LV in the way.
struct Shoved {
    std::string newName;     // the name it bears now in the tree
    std::string deactivate;  // its device, when it is active and must be deactivated before
                             // the merged metadata is restored; empty otherwise
};

// Makes room in the live "logical_volumes" section `lv_section` of group `vg_name` for an
// incoming LV named `lv_name` with identifier `lv_uuid` (may be null): a live LV of that name is
// renamed to the first free "<name>_conflict_NNN" (queued in `to_activate` under its new name when
// its device node exists, that is when it is active), a live LV carrying `lv_uuid` gets a new
// identifier, and snapshot and mirror references follow the rename. Changes only the tree: the
// deactivation is the caller's, before the restore. Throws (function "LVM_linux_lvm::shoveLVs")
// when the new name would be one LVM2 refuses in the group.
Shoved shoveLV(const char* vg_name, const char* lv_name, const char* lv_uuid, Node* lv_section,
               LVM_linux_lvm_parser& parser, std::list<std::string>* to_activate);

// "lvchange -an" of the LVs that shoveLV moved out of the way, in one command (names and devices
// of the LVs, in order). Throws (function "LVM_linux_lvm::shoveLVs") "LV [<name>] is in the way,
// but I can't deactivate it: <error>", or, for several, "LVs [<name>], [<name>] are in the way,
// but I can't deactivate them: <error>".
void deactivateShoved(const std::vector<std::pair<std::string, std::string>>& lvs);

// `name` when no child of `pv_section` bears it, else the first free "pv%d".
std::string findUniquePVName(const std::string& name, Node* pv_section,
                             LVM_linux_lvm_parser& parser);

// The rules of canRevert over the LVs `lvs` of the live group, what each uses (`usage`) and the
// names of the PV sections being reverted: no LV may lie both on reverted PVs and on others (a
// striped LV by its own stripes, a stacked LV by everything it uses), and a snapshot and its
// origin are reverted together or not at all. Logs for each LV whether it is affected; throws the
// refusal ("Can't allow revert because ...").
void checkRevertable(const Operation& op, Node* lvs, const LvUsage& usage,
                     LVM_linux_lvm_parser& parser, const std::set<std::string>& reverted);

// `device` is one of `devices`: the same device (sameDevice: a block device by its number) when
// it can be stat'ed, else the same text.
bool matchDev(const std::string& device, const std::list<std::string>& devices);

// How long the final lookup of a revert waits for the device node of a re-activated LV (udev
// creates it a moment after "lvchange -ay" returns), and how often it looks.
constexpr unsigned kNodeWaitMs = 15000;
constexpr unsigned kNodePollMs = 100;

}  // namespace lvm2
}  // namespace volbridge
