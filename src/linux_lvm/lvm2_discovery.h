// Reading a group's metadata backup.
#pragma once

#include <string>

namespace volbridge {
namespace lvm2 {

// The content of "/etc/lvm/backup/" + vg_name. Throws YbException when it cannot be read.
std::string readVGMetadata(const char* vg_name);

}  // namespace lvm2
}  // namespace volbridge
