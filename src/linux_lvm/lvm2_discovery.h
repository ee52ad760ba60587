// Reading a group's metadata from LVM2, and the mirror synchronisation report discovery reads.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace volbridge {
namespace lvm2 {

// The group's metadata as LVM2 has it at this moment, exported with
// "vgcfgbackup -f <file> <vg_name>" into a private temporary file of the host's temporary
// directory (LVM2's own backup file may lag behind the group, lie in another directory, or not be
// written at all while a PV is missing). When `vg_uuid` is not empty, the metadata must be that
// group's: with two groups of one name LVM2 could describe the other. `options` (LVM2 options
// built from checked values, such as a device filter) go into the command. Throws YbException
// (function "LVM_linux_lvm::readVGMetadata") when the command fails, the file cannot be read or
// holds another group.
std::string readVGMetadata(const std::string& vg_name, const std::string& vg_uuid,
                           const std::string& options = "");

// The name prefix of that temporary file.
constexpr const char* kGroupExportPrefix = "ybvgcfg_";

// "lvs --separator " followed by the character with code 3: the default report with every
// column separated by that character.
std::string mirrorSyncCommand();

// One row of that report: the first column (LV), the second (VG) and the second-to-last, the
// copy percentage ("Cpy%Sync").
struct LvsSyncRow {
    std::string lv;
    std::string vg;
    std::string copyPercent;
};

// The rows of mirrorSyncCommand() output, header left out; lines with fewer than three fields
// are not rows.
std::vector<LvsSyncRow> parseMirrorSyncReport(std::string_view text);

}  // namespace lvm2
}  // namespace volbridge
