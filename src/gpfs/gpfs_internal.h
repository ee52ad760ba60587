// What the source files of the GPFS backend share: its settings, the names it accepts, the
// listings an operation reads once, the way a caught failure is thrown again, temporary files,
// files read back, operator markers, and whether GPFS knows a file system.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "LVM/LVM.h"
#include "core/Command.h"
#include "core/Operation.h"
#include "core/Origin.h"

namespace volbridge {
namespace gpfs {

using Map = std::map<std::string, std::string>;

// ---- settings (tests point them elsewhere with a ScopedOverride) ----

// The directory of the GPFS configuration files "mmsdrfs" and "mmfsNodeData": "/var/mmfs/gen".
// Metadata capture reads both from it; the clean-up after a tiebreaker disk blocked an export
// rewrites its "mmsdrfs".
std::string& configDirectory();

// ---- names ----

// Whether `name` can be a GPFS file-system or NSD name: letters, digits, "_", "-" and ".", not
// empty, not starting with "-" or ".", at most 255 characters. Such a name is a shell word and
// can stand in a file name: it holds no "/".
bool isGpfsName(std::string_view name);

// Throws from `op` when `name` is not a GPFS name, naming `what` and the value; nothing has run
// at that point.
void requireGpfsName(const Operation& op, const std::string& name, const char* what,
                     int line = __builtin_LINE());

// ---- the listings of one operation ----

// An operation reads each listing once: the first time a scope sees a command line it runs it,
// later the same output is handed out again. Every operation of the backend that reads listings
// opens a scope; the operations it calls join it, so that a clone import, a revert or a
// discovery reads its listings once in all. Only listings (commands that change nothing) go
// through it.
class ListingScope {
  public:
    ListingScope();
    ~ListingScope();
    ListingScope(const ListingScope&) = delete;
    ListingScope& operator=(const ListingScope&) = delete;
};

// What a listing describes: the file systems and their disks (read again after this operation
// imported or exported one), or the cluster itself (its id and nodes, which no operation of the
// backend changes).
enum class Describes { FileSystems, Cluster };

// Runs `cmd` once within the scope; a run that succeeded is handed out again for the same line.
// The caller judges the result.
CommandResult listed(const Operation& op, const CommandLine& cmd,
                     Describes describes = Describes::FileSystems);

// The output of `cmd` through listed(); a failure throws the command-failure message from `op`.
std::string listing(const Operation& op, const CommandLine& cmd,
                    Describes describes = Describes::FileSystems, int line = __builtin_LINE());

// Forgets the listings of file systems and disks, after a command changed what they say.
void listingsChanged();

// The PV identity map of `fs` (device path -> pvId) built in this scope, for the second half of
// a discovery; null when none was.
void rememberIdentity(const std::string& fs, const Map& ids);
const Map* rememberedIdentity(const std::string& fs);

// ---- failures ----

// How a caught failure keeps its error number when it is thrown again.
enum class ErrorNumber {
    Kept60606,     // 60606 stays 60606, every other number becomes -1
    KeptRefusals,  // 60606 and 60314 (a refusal concerning a live file system) stay
    Reset,         // always -1
};

// Called inside a catch block: logs the exception being handled as an error under `op` ("[file:
// line] message" for a YbException, `otherText` for anything else) and throws a YbException
// from `op` with the same message (or `otherText`).
[[noreturn]] void throwAgain(const Operation& op, const char* otherText, ErrorNumber number,
                             int line = __builtin_LINE());

// ---- temporary files and files read back ----

// temp directory + "/" + prefix + unique id + job id, for instance "stanzaFile_". Throws from
// `op` when the host has no temp directory.
std::string tempFilePath(const Operation& op, const char* prefix, const std::string& uniqueId,
                         const std::string& jobId);

// Removes the backend's temporary files named with `uniqueId` and `jobId` in the temp directory
// ("gpfsMNodeList_", "stanzaFile_", "mmsdrfsExport_", "gpfsRevExport_", "nsdListFile_"); each
// that cannot be removed (most often: it was never written) is logged at level 3.
void removeTemporaryFiles(const std::string& uniqueId, const std::string& jobId);

// A file the backend reads back (an export file, a node file an earlier call wrote): only one
// that passes the test operator markers pass (a regular file of this user or root that nobody
// else may write) is used, since the temp directory may be shared.
enum class FileState { Missing, Trusted, Refused };
FileState fileWeWrote(const std::string& path, std::string* why);

// Removes `path` when it is a file this process wrote there (never one somebody else put).
void removeFileWeWrote(const std::string& path);

// Whether the operator marker `name` (under the marker directory) exists and is trusted.
bool markerSet(const char* name);

// Sleeps 2000 ms at a time while the marker `name` exists.
void waitWhileMarker(const char* name);

// Appends the ";"-separated NSD names of `list` to `cmd` as they stand, each checked; an empty
// name (an empty list, ";;") is refused.
void appendNsdList(CommandLine& cmd, const std::string& list);

// ---- what an interrupted operation left ----

// The import an interrupted clone import or revert left in the cluster, so that running it again
// finishes it: the file "gpfs-<kind>.<fs>" in the library's state directory (see
// core/ImportLock.h) holds the captured file-system id and the capture's unique id. It is on
// stable storage before mmimportfs runs, and goes when the operation is finished or its import
// taken out again. Read and written under the import lock.
class ImportJournal {
  public:
    // `kind`: "import" or "revert". Throws from `op` when the state directory cannot be used.
    ImportJournal(const Operation& op, const char* kind, const std::string& fs);

    // Whether an earlier run for this capture noted that it imported the file system.
    bool records(const std::string& fsId, const std::string& uniqueId) const;
    // Notes it; throws from the operation when the note cannot be written whole.
    void record(const std::string& fsId, const std::string& uniqueId) const;
    // Drops the note; a failure is only logged.
    void forget() const;

  private:
    const Operation& op_;
    std::string path_;
};

// The change an import records: "the file system <fs> imported into this cluster".
std::string importedChange(const std::string& fs);

// Takes `fs` out of the cluster again after a failed clone import or revert that imported it (or
// took over an import an interrupted run made): exported to `exportFile`, a private file that goes
// right after, and the journal's note dropped. Throws from `op` when the export fails.
void exportAgain(LVM_gpfs& gpfs, const Operation& op, const std::string& fs,
                 const std::string& exportFile, const ImportJournal& journal);

// The step that takes over what an interrupted run of this `run` ("import", "revert") imported:
// it records the import as this call's own, with `undo` to take it out again.
Operation::Step takeOver(Operation& op, const std::string& fs, const char* run,
                         const std::function<void()>& undo);

// ---- whether GPFS knows a file system ----

// Prints the cluster id ("mmlscluster" line " GPFS cluster id: ...").
constexpr const char kClusterIdCommand[] = "mmlscluster | awk '{ if ( $0 ~/ id:/ ) printf $4 }'";

// What "mmlsfs <fs> -T" says of `fs`: a file system of this cluster, one GPFS does not know, or
// no definite answer (GPFS down or busy, a listing cut short).
enum class Presence { Present, Absent, Unknown };
Presence readPresence(const std::string& fs, const CommandResult& result);

// Runs "mmlsfs <fs> -T" and returns whether `fs` is a file system of this cluster. Only GPFS's
// own "File system <fs> is not known to the GPFS cluster." means absent: any other failure throws
// from `op` ("Error: cannot tell whether the file system <fs> exists: " + the failure text).
Presence presenceOf(const Operation& op, const std::string& fs);

}  // namespace gpfs
}  // namespace volbridge
