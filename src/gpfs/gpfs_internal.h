// What the source files of the GPFS backend share: its settings, the pieces of the metadata text,
// running a GPFS command, temporary-file names, and the readers of GPFS command output.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "LVM/LVM.h"
#include "core/Command.h"
#include "core/Origin.h"
#include "host/LogWriter.h"
#include "host/YbException.h"

namespace volbridge {
namespace gpfs {

// ---- settings (tests point them elsewhere with a ScopedOverride) ----

// The directory of the GPFS configuration files "mmsdrfs" and "mmfsNodeData": "/var/mmfs/gen".
// Metadata capture reads both from it; the clean-up after a tiebreaker disk blocked an export
// rewrites its "mmsdrfs".
std::string& configDirectory();

// The directory of the export files written by clone import and by the clean-up of the cancel,
// destroy and local phases ("yb_exportFile_" + unique id + file-system name): "/tmp".
std::string& exportFileDirectory();

// ---- the metadata text ----

constexpr const char kFsToken[] = "$$$YB$$$";
constexpr const char kPvToken[] = "$$$PV$$$";
constexpr const char kLvToken[] = "$$$LV$$$";
constexpr const char kUidToken[] = "$$$UID$$$";
constexpr const char kFgToken[] = "$$$FG$$$";
constexpr const char kEdToken[] = "$$$ED$$$";

// The pieces of the metadata text, in the order discovery writes them. The identity:
// "$$$YB$$$" + name + ":" + id + "$$$YB$$$".
std::string identityItem(const std::string& fsName, const std::string& fsId);
// A configuration file's content + "$$$YB$$$" (mmsdrfs, then mmfsNodeData).
std::string configFileItem(const std::string& content);
// The cluster: cluster id + ":" + node list (each node followed by ";") + "$$$YB$$$".
std::string clusterItem(const std::string& clusterId, const std::string& nodeList);
// One entry of the disk section ("$$$PV$$$" entries "$$$PV$$$"): device + ":" + pvId + ";".
std::string pvEntry(const std::string& device, const std::string& pvId);
// The file system as a volume: "$$$LV$$$" + device + "#" + uuid + "$$$LV$$$".
std::string lvItem(const std::string& device, const std::string& uuid);
// The unique id, the failure group ("%d", at most 9 characters) and the exclude list, each
// between its two tokens.
std::string uniqueIdItem(const std::string& uniqueId);
std::string failureGroupItem(int failureGroup);
std::string excludeListItem(const std::string& excludeList);

// The non-empty tokens of `text`: the first ends at the first character of `firstDelimiters`,
// the following ones at a character of `delimiters`; runs of delimiters count as one and
// delimiters before a token are skipped (the way strtok cuts a text).
std::vector<std::string> cutTokens(std::string_view text, std::string_view firstDelimiters,
                                   std::string_view delimiters);

// The leading decimal integer of `text` the way atoi reads it (leading white space, an optional
// sign, digits up to the first non-digit; 0 when there are none), held to the range of int.
int leadingInt(std::string_view text);

// Whether `list` (";"-separated) holds `name` as one of its entries.
bool listHolds(const std::string& list, const std::string& name);

// ---- commands ----

// Prints the cluster id ("mmlscluster" line " GPFS cluster id: ...").
constexpr const char kClusterIdCommand[] = "mmlscluster | awk '{ if ( $0 ~/ id:/ ) printf $4 }'";

// "Error: cmd: '" + command + "' failed with error: '" + standard error + "'".
std::string commandFailure(const CommandLine& cmd, const CommandResult& result);

// Runs `cmd`; a failure (an exit status other than 0, or any text on standard error) throws the
// command-failure message from `at`. Returns the standard output.
std::string outputOf(const Origin& at, const CommandLine& cmd, int line = __builtin_LINE());

// How a caught failure is thrown again.
enum class ErrorNumber {
    Kept60606,  // 60606 stays 60606, every other number becomes -1
    Reset,      // always -1
};

// Called inside a catch block: logs the exception being handled as an error ("[file:line]
// message" for a YbException, `otherText` for anything else) and throws a YbException from `at`
// with the same message (or `otherText`).
[[noreturn]] void rethrowFrom(const Origin& at, const char* otherText, ErrorNumber number,
                              int line = __builtin_LINE());

// ---- temporary files ----

// temp directory + "/" + prefix + unique id + job id, for instance "stanzaFile_". Throws from
// `at` when the host has no temp directory.
std::string tempFilePath(const Origin& at, const char* prefix, const std::string& uniqueId,
                         const std::string& jobId);

// Removes the backend's temporary files named with `uniqueId` and `jobId` in the temp directory
// ("gpfsMNodeList_", "stanzaFile_", "mmsdrfsExport_", "gpfsRevExport_", "nsdListFile_"); each
// that cannot be removed (most often: it was never written) is logged at level 3.
void removeTemporaryFiles(const std::string& uniqueId, const std::string& jobId);

// Whether the operator marker `name` (under the marker directory) exists and is trusted.
bool markerSet(const char* name);

// Sleeps 2000 ms at a time while the marker `name` exists.
void waitWhileMarker(const char* name);

// Runs `step`, which returns a bool. A YbException from it (a refused name, a file that may not
// be used, no temp directory) is logged as an error under `func` and gives false: for the
// operations that report every failure by their result.
template <class Step>
bool falseOnRefusal(const char* func, Step&& step) {
    try {
        return step();
    } catch (const YbException& e) {
        g_ptrLogWriter->log(-1, func, e.getLineNum(), 0, 0, "%s", e.getMessage().c_str());
        return false;
    }
}

// Appends the ";"-separated NSD names of `list` to `cmd` as they stand, each checked; an empty
// name (an empty list, ";;") is refused.
void appendNsdList(CommandLine& cmd, const std::string& list);

// ---- readers of command output ----

// The name of the local node in "mmgetstate" output: the second word of the last line with more
// than two words after the dashed line; empty when there is none.
std::string localNodeName(std::string_view mmgetstateText);

// Whether the node column of "mmlsnsd -m" names `node`: the same name, or `node` followed by a
// domain ("node1.example.com" for "node1").
bool namesNode(const std::string& column, const std::string& node);

// The rows of "mmlsnsd -m" output whose node column names `node`: device (third word), vendor
// "GPFS" and NSD name (first word).
LVM::DeviceInfoList nsdsServedBy(std::string_view mmlsnsdText, const std::string& node);

// The entries of the ":"-led output the failure-group awk programs print (":1$desc:2$nsd3"):
// the text without its first character, cut at ":".
std::vector<std::string> awkEntries(std::string_view output);

// The count of file-system descriptor replicas over the entries of the descriptor survey.
struct DescriptorTally {
    int tiebreakerGroup = -1;  // failure group of a descriptor-only disk
    int tiebreakerPresent = 0;
    int total = 0;      // descriptor replicas
    int available = 0;  // replicas in the snapshotted failure group
};
DescriptorTally tallyDescriptors(const std::vector<std::string>& entries, int failureGroup);

// The snapshotted disks hold a majority of the descriptor replicas (a tiebreaker disk counts
// once more).
bool quorumSatisfied(const DescriptorTally& tally);

// The tiebreaker disk that an "mmexportfs" error names ("... Disk nsd3 is a tiebreaker disk
// ..."): the text from 5 characters after the first "Disk" up to the first " is" behind it.
// Empty when the text does not mention "tiebreaker" or holds no such name.
std::string tiebreakerDisk(std::string_view errorText);

}  // namespace gpfs
}  // namespace volbridge
