// Reading a group's metadata backup, and the mirror synchronisation report discovery reads.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace volbridge {
namespace lvm2 {

// The content of "/etc/lvm/backup/" + vg_name. Throws YbException when it cannot be read, and
// for a name that is not a plain file name ("/" in it, "." or "..").
std::string readVGMetadata(const char* vg_name);

// The directory readVGMetadata reads from, with its final "/": "/etc/lvm/backup/" (tests point it
// elsewhere with a ScopedOverride).
std::string& backupDir();

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
