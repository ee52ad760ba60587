// The lock and the journal that clone import and revert keep between runs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/FileDescriptor.h"
#include "core/Text.h"
#include "linux_lvm/lvm2_identity.h"
#include "linux_lvm/lvm2_import_state.h"

namespace volbridge {
namespace lvm2 {

namespace {

const char kJournalName[] = "lvm2-import.journal";

// Writes the whole text; false with errno set when it cannot.
bool writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

ImportState::ImportState(const Operation& op)
    : op_(op), lock_(op.origin()), directory_(trustedStateDirectory(op.origin())) {}

std::string ImportState::journalPath() const { return directory_ + "/" + kJournalName; }

// One line per PV about to be re-initialised: the group's and the PV's backup-time ids, the id the
// PV's copy gets and the copy's device; lines of another form are ignored, and so is the device of
// a line written by an earlier release, which had none:
//   iZ20ux-UsWP-Ds1R-4hjT-32ky-7wjP-asnZYT mF5Nbd-aisf-B0ur-j11g-MBML-SGdh-Yz3Tqa Q2rFxk-...
//   /dev/sdx
std::vector<ImportState::Line> ImportState::readJournal() const {
    std::vector<Line> lines;
    FileDescriptor fd(open(journalPath().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return lines;
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    for (const std::string& line : splitLines(text)) {
        std::vector<std::string> words = splitWords(line);
        if (words.size() < 3 || words.size() > 4 || !isLvmUuid(words[0]) || !isLvmUuid(words[1]) ||
            !isLvmUuid(words[2])) {
            continue;
        }
        lines.push_back(Line{words[0], words[1], words[2], words.size() == 4 ? words[3] : ""});
    }
    return lines;
}

std::string ImportState::recordedOrigin(const std::string& vg_id,
                                        const std::string& current) const {
    for (const Line& line : readJournal()) {
        if (line.vg == vg_id && line.fresh == current) return line.pv;
    }
    return "";
}

bool ImportState::knows(const std::string& vg_id) const {
    for (const Line& line : readJournal()) {
        if (line.vg == vg_id) return true;
    }
    return false;
}

void ImportState::record(const std::string& vg_id, const std::string& pv_id,
                         const std::string& fresh, const std::string& device) {
    const std::string path = journalPath();
    FileDescriptor fd(
        open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0 ||
        !writeAll(fd.get(), vg_id + " " + pv_id + " " + fresh + " " + device + "\n") ||
        fsync(fd.get()) != 0) {
        op_.fail("Can't write the import journal " + path + ": " + strerror(errno));
    }
}

template <class Keep>
void ImportState::rewrite(Keep keep) {
    std::string kept;
    bool dropped = false;
    for (const Line& line : readJournal()) {
        if (!keep(line)) {
            dropped = true;
            continue;
        }
        kept += line.vg + " " + line.pv + " " + line.fresh;
        kept += (line.device.empty() ? "" : " " + line.device) + "\n";
    }
    if (!dropped) return;
    const std::string path = journalPath();
    const std::string next = path + ".new";
    unlink(next.c_str());
    FileDescriptor fd(
        open(next.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0 || !writeAll(fd.get(), kept) || fsync(fd.get()) != 0 ||
        rename(next.c_str(), path.c_str()) != 0) {
        op_.error("Failed to update the import journal %s: %s", path.c_str(), strerror(errno));
        unlink(next.c_str());
    }
}

void ImportState::forget(const std::string& vg_id, const std::string& fresh) {
    rewrite([&](const Line& line) { return line.vg != vg_id || line.fresh != fresh; });
}

void ImportState::finished(const std::string& vg_id, const std::list<std::string>& devices,
                           const std::set<std::string>& ids) {
    rewrite([&](const Line& line) {
        if (line.vg != vg_id) return true;
        if (line.device.empty()) return ids.count(line.fresh) == 0;
        return std::find(devices.begin(), devices.end(), line.device) == devices.end();
    });
}

}  // namespace lvm2
}  // namespace volbridge
