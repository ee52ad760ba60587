// In-place revert of LVM2 volumes: the helpers of the merge and of the revert protocol.
#pragma once

#include <list>
#include <string>

#include "linux_lvm/LVM_linux_lvm_parser.h"

namespace volbridge {
namespace lvm2 {

using Node = LVM_linux_lvm_parser::Node;

// Makes room in the live "logical_volumes" section `lv_section` for an incoming LV named
// `lv_name` with identifier `lv_uuid` (may be null): a live LV of that name is renamed to the
// first free "<name>_conflict_NNN" (deactivated first when its device node exists, and then
// queued in `to_activate` under its new name), a live LV carrying `lv_uuid` gets a new
// identifier, and snapshot and mirror references follow the rename.
void shoveLV(const char* vg_name, const char* lv_name, const char* lv_uuid, Node* lv_section,
             LVM_linux_lvm_parser& parser, std::list<std::string>* to_activate);

// `name` when no child of `pv_section` bears it, else the first free "pv%d".
std::string findUniquePVName(const std::string& name, Node* pv_section,
                             LVM_linux_lvm_parser& parser);

// Deactivates (or activates) every visible LV of the live group that uses one of the PVs on
// `devices`; mirrors as a whole when any image or the log is there. lvchange failures are only
// logged; reading or validating the live metadata throws.
void toggleLVs(const std::string& vg_name, const std::list<std::string>& devices, bool activate);

// `device` is one of `devices`: the same device number when it can be stat'ed, else the same
// text.
bool matchDev(const std::string& device, const std::list<std::string>& devices);

// How long the final lookup of a revert waits for the device node of a re-activated LV (udev
// creates it a moment after "lvchange -ay" returns), and how often it looks.
constexpr unsigned kNodeWaitMs = 15000;
constexpr unsigned kNodePollMs = 100;

}  // namespace lvm2
}  // namespace volbridge
