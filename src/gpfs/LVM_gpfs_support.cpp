// What the GPFS backend's source files share: its settings, the names it accepts, the listings
// one operation reads once, throwing a caught failure again, temporary files, files read back
// and operator markers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/FileDescriptor.h"
#include "core/ImportLock.h"
#include "core/Markers.h"
#include "core/TempFile.h"
#include "core/Text.h"
#include "core/ToolFile.h"
#include "gpfs/gpfs_internal.h"
#include "host/FXString.h"
#include "host/WmSleep.h"
#include "host/YbException.h"

namespace volbridge {
namespace gpfs {

std::string& configDirectory() {
    static std::string directory = "/var/mmfs/gen";
    return directory;
}

bool isGpfsName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name[0] == '-' || name[0] == '.') return false;
    for (char c : name) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !(c >= '0' && c <= '9') && c != '_' && c != '-' && c != '.') return false;
    }
    return true;
}

void requireGpfsName(const Operation& op, const std::string& name, const char* what, int line) {
    if (isGpfsName(name)) return;
    op.fail(std::string("Error: the ") + what + " [" + printable(name) +
                "] is not a GPFS name (letters, digits, \"_\", \"-\" and \".\", not beginning "
                "with \"-\" or \".\")",
            line);
}

// ---- the listings of one operation ----

namespace {

struct Listed {
    CommandResult result;
    Describes describes;
};

// The listings of the operations running on this thread, kept while the outermost scope lives.
struct Scope {
    int depth = 0;
    std::map<std::string, Listed> listings;  // by command line
    std::map<std::string, Map> identities;   // by file-system name
};

thread_local Scope t_scope;

}  // namespace

ListingScope::ListingScope() { ++t_scope.depth; }

ListingScope::~ListingScope() {
    if (--t_scope.depth > 0) return;
    t_scope.listings.clear();
    t_scope.identities.clear();
}

CommandResult listed(const Operation& op, const CommandLine& cmd, Describes describes) {
    if (t_scope.depth > 0) {
        auto it = t_scope.listings.find(cmd.text());
        if (it != t_scope.listings.end()) return it->second.result;
    }
    CommandResult r = op.run(cmd);
    if (t_scope.depth > 0 && op.succeeded(r)) t_scope.listings[cmd.text()] = Listed{r, describes};
    return r;
}

std::string listing(const Operation& op, const CommandLine& cmd, Describes describes, int line) {
    const CommandResult r = listed(op, cmd, describes);
    if (!op.succeeded(r)) {
        op.log(0, "'%s' exited with status %d", cmd.text().c_str(), r.status);
        op.fail(op.failureText(cmd, r), line);
    }
    return r.out;
}

void listingsChanged() {
    for (auto it = t_scope.listings.begin(); it != t_scope.listings.end();) {
        it =
            it->second.describes == Describes::Cluster ? std::next(it) : t_scope.listings.erase(it);
    }
    t_scope.identities.clear();
}

void rememberIdentity(const std::string& fs, const Map& ids) {
    if (t_scope.depth > 0) t_scope.identities[fs] = ids;
}

const Map* rememberedIdentity(const std::string& fs) {
    auto it = t_scope.identities.find(fs);
    return it == t_scope.identities.end() ? nullptr : &it->second;
}

// ---- failures ----

void throwAgain(const Operation& op, const char* otherText, ErrorNumber number, int line) {
    try {
        throw;
    } catch (const YbException& e) {
        op.error("[%s:%d] %s", e.getFileName().c_str(), e.getLineNum(), e.getMessage().c_str());
        const int kept = e.getErrno();
        const bool keep = (number != ErrorNumber::Reset && kept == 60606) ||
                          (number == ErrorNumber::KeptRefusals && kept == 60314);
        op.fail(e.getMessage(), line, keep ? kept : -1);
    } catch (...) {
        op.error("%s", otherText);
        op.fail(otherText, line);
    }
}

// ---- temporary files and files read back ----

std::string tempFilePath(const Operation& op, const char* prefix, const std::string& uniqueId,
                         const std::string& jobId) {
    return hostTempDirectory(op.origin()) + "/" + prefix + uniqueId + jobId;
}

FileState fileWeWrote(const std::string& path, std::string* why) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        return FileState::Missing;
    }
    *why = markerDistrust(path);
    return why->empty() ? FileState::Trusted : FileState::Refused;
}

void removeFileWeWrote(const std::string& path) {
    std::string why;
    if (fileWeWrote(path, &why) == FileState::Trusted) unlink(path.c_str());
}

bool markerSet(const char* name) { return markerExists(markerPath(name)); }

void waitWhileMarker(const char* name) {
    while (markerSet(name)) WMSLEEP(2000);
}

// ---- what an interrupted operation left ----

namespace {

std::string journalLine(const std::string& fsId, const std::string& uniqueId) {
    return fsId + " " + uniqueId + "\n";
}

}  // namespace

ImportJournal::ImportJournal(const Operation& op, const char* kind, const std::string& fs)
    : op_(op), path_(trustedStateDirectory(op.origin()) + "/gpfs-" + kind + "." + fs) {}

bool ImportJournal::records(const std::string& fsId, const std::string& uniqueId) const {
    FileDescriptor fd(open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return false;
    char text[512];
    ssize_t n;
    do {
        n = read(fd.get(), text, sizeof text);
    } while (n < 0 && errno == EINTR);
    return n > 0 && std::string(text, static_cast<size_t>(n)) == journalLine(fsId, uniqueId);
}

void ImportJournal::record(const std::string& fsId, const std::string& uniqueId) const {
    writeToolFile(op_.origin(), path_, journalLine(fsId, uniqueId));
    FileDescriptor fd(open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0 || fsync(fd.get()) != 0) {
        op_.fail("Error: the journal " + path_ + " cannot be written: " + strerror(errno));
    }
}

void ImportJournal::forget() const {
    if (unlink(path_.c_str()) != 0 && errno != ENOENT) {
        op_.log(0, "Could not remove the journal %s: %s", path_.c_str(), strerror(errno));
    }
}

std::string importedChange(const std::string& fs) {
    return "the file system " + fs + " imported into this cluster";
}

void exportAgain(LVM_gpfs& gpfs, const Operation& op, const std::string& fs,
                 const std::string& exportFile, const ImportJournal& journal) {
    const bool exported = gpfs.exportFS(fs, exportFile, nullptr);
    removeFileWeWrote(exportFile);
    if (!exported) {
        op.error("Export fs returned error");
        op.fail("Error: the file system " + fs + " could not be exported again");
    }
    journal.forget();
}

Operation::Step takeOver(Operation& op, const std::string& fs, const char* run,
                         const std::function<void()>& undo) {
    return {std::string("taking over ") + fs + ", which an interrupted run of this " + run +
                " imported",
            [&op, fs, run, undo] {
                op.log(0,
                       "The file system %s was imported by an interrupted run of this %s; going "
                       "on from there",
                       fs.c_str(), run);
                op.changed(importedChange(fs), undo);
            }};
}

void appendNsdList(CommandLine& cmd, const std::string& list) {
    std::list<std::string> names;
    FXString::Split(list, ";", names, FXString::KEEP_EMPTY);
    cmd.joined(names, ";", "the NSD name");
}

}  // namespace gpfs
}  // namespace volbridge
