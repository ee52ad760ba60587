#include "core/ToolFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/FileDescriptor.h"

namespace volbridge {

namespace {

// Removes what is at `path` when it is a stale regular file of ours; refuses anything else.
void removeStale(const Origin& at, const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return;
        at.fail("Refusing to use the file " + path + ": it cannot be examined: " + strerror(errno));
    }
    if (S_ISLNK(st.st_mode)) {
        at.fail("Refusing to use the file " + path + ": it is a symbolic link");
    }
    if (!S_ISREG(st.st_mode)) {
        at.fail("Refusing to use the file " + path + ": it is not a regular file");
    }
    if (st.st_uid != geteuid()) {
        at.fail("Refusing to use the file " + path + ": it belongs to uid " +
                std::to_string(st.st_uid) + ", not to this process's user (uid " +
                std::to_string(geteuid()) + ")");
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        at.fail("Refusing to use the file " + path +
                ": the stale file cannot be removed: " + strerror(errno));
    }
}

}  // namespace

void writeToolFile(const Origin& at, const std::string& path, const std::string& text) {
    FileDescriptor fd;
    // A second attempt covers a stale file removed in between; a file that reappears after that
    // is somebody else's race, and is refused.
    for (int attempt = 0; attempt < 2 && fd.get() < 0; ++attempt) {
        fd.reset(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.get() >= 0) break;
        if (errno != EEXIST || attempt == 1) {
            at.fail("Error: open on file '" + path + "' failed with the error: '" +
                    strerror(errno) + "'");
        }
        removeStale(at, path);
    }
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(fd.get(), p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // The file is ours (created exclusively): a short one is not left for a tool to read.
            const int error = n < 0 ? errno : EIO;
            unlink(path.c_str());
            at.fail("Error: write on file '" + path + "' failed with the error: '" +
                    strerror(error) + "'");
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    const int closed = close(fd.get());
    const int error = errno;
    fd.release();
    if (closed != 0) {
        unlink(path.c_str());
        at.fail("Error: write on file '" + path + "' failed with the error: '" + strerror(error) +
                "'");
    }
}

void clearToolOutputPath(const Origin& at, const std::string& path) { removeStale(at, path); }

ToolFile::ToolFile(const Origin& at, std::string path, const std::string& text)
    : path_(std::move(path)) {
    writeToolFile(at, path_, text);
}

ToolFile::~ToolFile() { unlink(path_.c_str()); }

}  // namespace volbridge
