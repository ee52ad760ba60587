// Reading the LVM2 group and device listings ("lvs", "pvdisplay -c").
#pragma once

#include <list>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "LVM/LVM.h"
#include "core/Origin.h"

namespace volbridge {
namespace lvm2 {

// The command getVGs runs.
const char* lvsListingCommand(bool with_lvs);

// Groups from the output of lvsListingCommand(with_lvs), in output order. See
// LVM_linux_lvm::getVGs for what an entry holds.
std::list<LVM::VG> parseLvsListing(std::string_view text, bool with_lvs);

// One row of lvsListingCommand(true) output; snapshots are rows too.
struct LvsRow {
    std::string vg;
    std::string vgUuid;
    std::string lv;
    std::string lvUuid;
    std::string attr;
};
std::vector<LvsRow> parseLvsRows(std::string_view text);

// The listing of every group LVM2 can see here, those owned by other hosts and shared ones
// included (a clone must not take the name of any of them).
constexpr const char* kGroupListingCommand = "vgs --foreign --shared -o vg_name,vg_uuid";

// The groups of kGroupListingCommand output (each with `name`, `uuid`, their orig_ copies and
// `vendor`), and the names LVM2 gave on standard error for the groups it skipped (clustered groups,
// which LVM2 2.03 no longer opens).
struct GroupListing {
    bool ok = false;      // the command ran and exited with 0
    std::string problem;  // when not ok: the exit status and standard error, for a message
    std::list<LVM::VG> groups;
    std::set<std::string> skipped;
};
GroupListing listGroups(const Origin& at);

std::set<std::string> parseSkippedGroups(std::string_view err);

// One row of pvsReportColumns output: a device LVM2 sees as a PV, the PV's id, its group (both
// empty for a PV in no group), and whether LVM2 set the device aside as a duplicate of another
// device carrying the same PV id (a clone attached beside its original).
struct PvsRow {
    std::string device;
    std::string pvUuid;
    std::string vgName;
    std::string vgUuid;
    bool duplicate = false;
};

// The options of a "pvs" report that parsePvsRows reads.
constexpr const char* kPvsReportOptions =
    "--noheadings --separator '|' -o pv_name,pv_uuid,vg_name,vg_uuid,pv_duplicate";

std::vector<PvsRow> parsePvsRows(std::string_view text);

// Rows of "pvdisplay -c" output: device and group of every PV line.
LVM::DeviceInfoList parsePvdisplayColon(std::string_view text);

}  // namespace lvm2
}  // namespace volbridge
