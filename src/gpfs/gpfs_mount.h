// The reader of the mount listing: which nodes of this cluster have a file system mounted.
#pragma once

#include <string>
#include <string_view>

namespace volbridge {
namespace gpfs {

// The nodes of "mmlsmount <fs> -L" output that have `fs` mounted and belong to the cluster that
// owns it, one name a line ("node1\nnode2\n"); nodes of other clusters that mount it remotely are
// left out.
std::string mountedNodes(std::string_view text, const std::string& fs);

}  // namespace gpfs
}  // namespace volbridge
