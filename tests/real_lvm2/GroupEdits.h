// Snapshots and mirrors for real-LVM2 tests. Without device-mapper LVM2 cannot create them, so
// a test creates plain linear LVs, exports the group, rewrites those LVs into the hidden parts of
// a snapshot or mirror, and applies the result with vgcfgrestore (which LVM2 accepts).
#pragma once

#include <string>

#include "LvmSandbox.h"

namespace vbtest {

// The group's metadata as "vgcfgbackup -f" exports it now.
std::string exportGroup(const LvmSandbox& box, const std::string& vg);
// Writes `text` to a file and applies it to the group with "vgcfgrestore -f", then refreshes
// the group's backup file as any other LVM2 command that changes a group would.
void applyGroup(const LvmSandbox& box, const std::string& vg, const std::string& text);

// Renames the linear LVs `image0`, `image1` and (unless empty) `log` to "<mirror>_mimage_0",
// "<mirror>_mimage_1" and "<mirror>_mlog", hides them, and adds the two-way mirror LV `mirror`
// over them (LVM2 reserves those names, so the parts are made under others first).
std::string addMirror(const std::string& text, const std::string& mirror, const std::string& image0,
                      const std::string& image1, const std::string& log);

// Hides the linear LV `cow` and adds the snapshot LV `snapshot` of `origin` that keeps its
// copy-on-write data there.
std::string addSnapshot(const std::string& text, const std::string& origin, const std::string& cow,
                        const std::string& snapshot);

// Hides the LV `lv` (drops "VISIBLE" from its status) and renames it to `newName` unless that is
// empty: how a linear LV made by lvcreate becomes a raid image, a pool's data LV, ...
std::string hideLv(const std::string& text, const std::string& lv, const std::string& newName);

// Adds the LV `name` of one segment of `type` over `extents` extents; `keys` are the segment's
// further lines as LVM2 writes them for that type ("raids = [...]", "thin_pool = \"pool\"", ...).
std::string addSegmentLv(const std::string& text, const std::string& name, long long extents,
                         const std::string& type, const std::string& keys, bool visible = true);

// Writes a pattern made from `seed` over the device from `fromSector` (512 bytes each) to its
// end, and flushes it to the device.
void fillFrom(const std::string& device, long long fromSector, unsigned seed);

// The SHA-256 of the device's bytes from `fromSector` to its end.
std::string hashFrom(const std::string& device, long long fromSector);

}  // namespace vbtest
