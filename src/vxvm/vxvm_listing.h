// The listings an operation reads once and looks its rows up in: the host's disk paths
// ("vxdisk -qe path"), for finding the disk behind each device path a caller gives, and the
// group-wide listings of one disk group, for describing it. On a real host each VxVM command
// costs tens to hundreds of milliseconds; a listing read per disk, volume or subdisk made an
// operation's command count grow with the product of the group's sizes.
#pragma once

#include <list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/Operation.h"
#include "vxvm/vxvm_internal.h"

namespace volbridge {
namespace vxvm {

// The device a caller's path names: a symbolic link (/dev/disk/by-id/...) resolved to its device
// (the link's target made absolute, under deviceRoot()); any other path as it is. Throws from
// `at` when the path is a link that leads nowhere.
std::string resolveDevicePath(const Origin& at, const std::string& path);

// The host's disk paths, as "vxdisk -qe path" printed them once.
class HostDisks {
  public:
    explicit HostDisks(std::string_view listing);

    // Runs "vxdisk -qe path" once through `op`; a failure throws its failure text.
    static HostDisks read(const Operation& op);

    // The row of the device at `path` (a link resolved, see resolveDevicePath), looked up by the
    // device's base name; null when VxVM lists no path of that name.
    const DiskPathRow* find(const Origin& at, const std::string& path) const;

  private:
    std::vector<DiskPathRow> rows_;
};

// The group-wide listings of one disk group, each run at most once, when first needed, and the
// rows of the disks and volumes looked up in them. A failed listing throws its failure text from
// the operation that needs it (populatePV, getDiskOSName, get_disk_info, populateLV,
// fillPVList).
class GroupListing {
  public:
    explicit GroupListing(std::string group) : group_(std::move(group)) {}

    const std::string& group() const { return group_; }

    // "vxprint -g <group> -d -F%name": the disk media names, in order.
    const std::list<std::string>& diskMediaNames();
    // The disk's udid from "vxdisk -g <group> list <dm>" (once per disk). Throws when the command
    // fails or shows no udid: a record without the disk's identity would lose it.
    const std::string& udid(const std::string& dm);
    // The disk's OS device path from "vxdisk -g <group> -s list | grep flags:" and
    // "vxdisk -g <group> -qe list"; empty when no row names the disk.
    std::string osDevice(const std::string& dm);
    // The disk's records from "vxprint -g <group> -ar -d <dm>".
    const std::string& diskRecords(const std::string& dm);
    // (guid, volume name) of every volume, from "vxprint -g <group> -v -F%guid:%name".
    const std::vector<std::pair<std::string, std::string>>& volumes();
    // The disk media names under the volume, from "vxprint -hqtps -g <group>".
    std::list<std::string> volumeDisks(const std::string& volume);
    // The volume's configuration description, from "vxprint -g <group> -mr -v <volume>".
    const std::string& description(const std::string& volume);

  private:
    std::string group_;
    std::optional<std::list<std::string>> dms_;
    std::map<std::string, std::string> udids_;
    std::optional<std::set<std::string>> flags_;
    std::optional<std::string> diskRows_;
    std::map<std::string, std::string> records_;
    std::optional<std::vector<std::pair<std::string, std::string>>> volumes_;
    std::optional<std::string> hierarchy_;
    std::map<std::string, std::string> descriptions_;
};

}  // namespace vxvm
}  // namespace volbridge
