// Readers of the listings discovery and the device listing read: the local node, the NSDs it
// serves, and the rows after the dashed line of a GPFS listing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "LVM/LVM.h"

namespace volbridge {
namespace gpfs {

// The words of every line after the first line whose first word holds "-------" (as awk's
// default field splitting gives them; an empty line gives no word), the way the listings of
// mmlsdisk and mmlsfs are read.
std::vector<std::vector<std::string>> rowsAfterDashedLine(std::string_view text);

// The name of the local node in "mmgetstate" output: the second word of the last line with more
// than two words after the dashed line; empty when there is none.
std::string localNodeName(std::string_view mmgetstateText);

// Whether the node column of "mmlsnsd -m" names `node`: the same name, or `node` followed by a
// domain ("node1.example.com" for "node1").
bool namesNode(const std::string& column, const std::string& node);

// The rows of "mmlsnsd -m" output whose node column names `node`: device (third word), vendor
// "GPFS" and NSD name (first word).
LVM::DeviceInfoList nsdsServedBy(std::string_view mmlsnsdText, const std::string& node);

}  // namespace gpfs
}  // namespace volbridge
