// Pieces that clone import and in-place revert share: the device filter, the temporary metadata
// file, the layout-preserving re-initialisation of a PV, the mirror verdict, and the map from
// current to backup-time PV identifiers.
#pragma once

#include <list>
#include <map>
#include <string>

#include "core/Command.h"
#include "linux_lvm/LVM_linux_lvm_parser.h"

namespace volbridge {
namespace lvm2 {

using Node = LVM_linux_lvm_parser::Node;

// LVM2 refuses longer group and LV names.
constexpr size_t kMaxLvmNameLength = 127;

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

// The command that re-initialises `device` as a PV with the identifier `new_uuid`, keeping the
// data layout (first PE, extent size and count, bootloader area) of the PV section that carries
// `new_uuid` in the metadata file `restore_file`. Plain "pvcreate -ffy" would lay out a PV as
// today's defaults do, and on a PV made with a smaller data offset its new metadata area would
// overlap the data that the restored metadata places there.
CommandLine layoutPreservingPvcreate(const Origin& at, const std::string& filter_option,
                                     const std::string& new_uuid, const std::string& restore_file,
                                     const std::string& device);

// How a mirror LV stands against the LV sections present in `lvs`.
struct MirrorVerdict {
    bool isMirror = false;              // it has a segment of type "mirror"
    bool complete = true;               // its log (if any) and all its sides are present
    std::string survivor;               // the last side that is present; empty when none is
    std::list<std::string> components;  // the log (if a string) and the sides, in order
};
MirrorVerdict evaluateMirror(Node* lv, Node* lvs);

// How a snapshot LV stands against the LV sections present in `lvs`.
struct SnapshotVerdict {
    bool isSnapshot = false;  // it has a segment of type "snapshot"
    bool complete = false;    // its origin and its copy-on-write LV are both present
    std::string cow;          // the copy-on-write LV named by the last snapshot segment seen
};
SnapshotVerdict evaluateSnapshot(Node* lv, Node* lvs);

// Unlinks `node` from the children of `parent` and destroys it.
void removeChild(Node* parent, Node* node);

}  // namespace lvm2
}  // namespace volbridge
