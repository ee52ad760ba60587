// How LVM2 on this host sees the devices given to a clone import, read before anything changes:
// whether it sees each of them at all, whether one of them is a PV that a group of the host uses
// (the live group's own PV given instead of its copy, a disk of another group), and whether they
// are the PVs of a group that an earlier run of the same import made from them.
#pragma once

#include <string>
#include <vector>

#include "core/Operation.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_listing.h"
#include "linux_lvm/lvm2_restore.h"

namespace volbridge {
namespace lvm2 {

// How LVM2 sees one device: as the PV of `row`, or not at all.
struct DeviceView {
    std::string device;
    bool seen = false;
    PvsRow row;
};

// How LVM2 sees each passed device, in order, with the host's own configuration: its filters and
// everything else, but not its devices file, to which the import adds the clones. One "pvs" of
// the devices; a device it reports no row for is one LVM2 does not see.
std::vector<DeviceView> viewDevices(const Operation& op, const std::vector<PassedPV>& passed);

// Refuses the first device LVM2 does not see, naming the setting that hides it ("Can't use PV
// device <device>: LVM2 on this host does not see it; its setting devices/global_filter rejects
// it"): with it, the library's own device filter would build the group on a device that the host
// cannot use afterwards. Finding the setting takes one or two more "pvs".
void requireSeen(const Operation& op, const std::vector<DeviceView>& view);

// The group that the devices are the PVs of, when it is neither the captured group nor none.
struct ExistingGroup {
    std::string name;
    std::string uuid;
    bool exists() const { return !name.empty(); }
};

// Refuses a device that LVM2 uses as a PV of a group on this host, unless every device is a PV of
// one and the same group other than the captured group `vg_uuid` (what an earlier run of this
// import may have made from them), which it returns. A device LVM2 set aside as a duplicate of
// another (a copy attached beside its original) and a device that is a PV of no group are copies
// to import. The messages name the group.
ExistingGroup classifyDevices(const Operation& op, const std::vector<DeviceView>& view,
                              const std::string& vg_uuid);

// The existing group's description, read from the given devices only (`filter_option`: the
// host's devices file may not list them yet), checked as "metadata of VG <name>".
void readExistingGroup(const Operation& op, const ExistingGroup& group,
                       const std::string& filter_option, CheckedMetadata* description);

}  // namespace lvm2
}  // namespace volbridge
