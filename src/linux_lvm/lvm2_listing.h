// Reading the LVM2 group and device listings ("lvs", "pvdisplay -c").
#pragma once

#include <list>
#include <string_view>

#include "LVM/LVM.h"

namespace volbridge {
namespace lvm2 {

// The command getVGs runs.
const char* lvsListingCommand(bool with_lvs);

// Groups from the output of lvsListingCommand(with_lvs), in output order. See
// LVM_linux_lvm::getVGs for what an entry holds.
std::list<LVM::VG> parseLvsListing(std::string_view text, bool with_lvs);

// Rows of "pvdisplay -c" output: device and group of every PV line.
LVM::DeviceInfoList parsePvdisplayColon(std::string_view text);

}  // namespace lvm2
}  // namespace volbridge
