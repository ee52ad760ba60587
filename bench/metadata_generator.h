// Synthetic LVM2 text metadata shaped like what "vgcfgbackup" writes, for benchmarks.
#pragma once

#include <cstddef>
#include <string>

namespace vbbench {

// One volume group of roughly `targetBytes` bytes: a header with comments and a description
// holding escaped quotes, many PVs, and LVs of every kind the backend reads — linear, two-segment
// linear, striped over two to four PVs, snapshots (origin, cow store, snapshot) and two-way
// mirrors (two images, a log, the mirror) — with tags and "# ..." comments as LVM2 writes them.
// The text passes crossCheckMeta.
std::string generateMetadata(size_t targetBytes);

}  // namespace vbbench
