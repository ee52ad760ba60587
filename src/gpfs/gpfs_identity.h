// Readers of the disk listings the identity of a file system's disks is built from: which NSD
// has which device on this node, the failure group and descriptor of every disk, and the count
// of descriptor replicas a failure-group snapshot holds.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/Operation.h"

namespace volbridge {
namespace gpfs {

// One disk as "mmlsdisk <fs> -m" shows it from this node.
struct DiskView {
    std::string nsd;
    std::string device;  // "-" when the disk has no device here
};

// The disks of "mmlsdisk <fs> -m" (rows after the dashed line with at least three words), and in
// `devices` the device column of every line after the dashed line, each followed by ";" (what the
// device views of "-m" and "-M" are compared by).
std::vector<DiskView> readDiskView(std::string_view text, std::string* devices = nullptr);

// The disks of `fs` as this node sees them, from the listing "mmlsdisk <fs> -m" (read once in
// an operation); `devices` as readDiskView gives them. A failed listing is logged as an error and
// thrown.
std::vector<DiskView> localDiskView(const Operation& op, const std::string& fs,
                                    std::string* devices = nullptr);

// One disk of "mmlsdisk <fs> -L".
struct DiskRow {
    std::string nsd;
    int failureGroup = 0;  // the leading integer of the column, as atoi reads it
    bool metadata = false;
    bool data = false;
    std::string status;  // one or more words: "ready", "to be emptied", ...
    std::string availability;
    bool descriptor = false;  // the remarks say "desc": the disk holds a descriptor replica
};

// The disk rows of "mmlsdisk <fs> -L"; lines that are not disk rows (the quorum summary) are left
// out.
std::vector<DiskRow> readDiskListing(std::string_view text);

// The leading decimal integer of `text` the way atoi reads it (leading white space, an optional
// sign, digits up to the first non-digit; 0 when there are none), held to the range of int.
int leadingInt(std::string_view text);

// The descriptor replicas of a file system and those a snapshot of one failure group holds.
struct DescriptorTally {
    int tiebreakerGroup = -1;  // failure group of a descriptor-only disk
    int tiebreakerPresent = 0;
    int total = 0;      // descriptor replicas
    int available = 0;  // replicas on the disks the snapshot takes
};

// Counts every disk whose remarks say "desc" once, whatever it holds; the snapshot takes the
// disks of `failureGroup` and of the tiebreaker's failure group (-1 without a tiebreaker).
DescriptorTally tallyDescriptors(const std::vector<DiskRow>& disks, int failureGroup);

// The snapshotted disks hold a majority of the descriptor replicas.
bool quorumSatisfied(const DescriptorTally& tally);

// The NSDs the snapshot takes: those of `failureGroup` and of the tiebreaker's group.
std::vector<std::string> keptNsds(const std::vector<DiskRow>& disks, int failureGroup,
                                  int tiebreakerGroup);

}  // namespace gpfs
}  // namespace volbridge
