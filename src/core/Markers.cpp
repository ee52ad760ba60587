// Compiled into the library and into the host-service library (whose debug-wait points obey
// markers too), hidden in both.
#include "core/Markers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/FileDescriptor.h"
#include "host/LogWriter.h"

namespace volbridge {

namespace {

enum class Presence { Absent, Trusted, Distrusted };

// The verdict on a file from its status; `why` says why it is not trusted.
Presence judge(const struct stat& st, std::string* why) {
    const uid_t me = geteuid();
    if (!S_ISREG(st.st_mode)) {
        *why = S_ISLNK(st.st_mode)   ? "it is a symbolic link"
               : S_ISDIR(st.st_mode) ? "it is a directory"
                                     : "it is not a regular file";
        return Presence::Distrusted;
    }
    if (st.st_uid != me && st.st_uid != 0) {
        *why = "it is owned by uid " + std::to_string(st.st_uid) + ", not by uid " +
               std::to_string(me) + " or root";
        return Presence::Distrusted;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[16];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *why = std::string("it is writable by group or others (mode ") + mode + ")";
        return Presence::Distrusted;
    }
    return Presence::Trusted;
}

// Opens `path` for the test (for reading when `forReading`, else as a bare path descriptor that
// needs no read permission) and judges it.
Presence openAndJudge(const std::string& path, bool forReading, FileDescriptor* fd,
                      std::string* why) {
    const int flags = forReading ? (O_RDONLY | O_NONBLOCK) : O_PATH;
    fd->reset(open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
    if (fd->get() < 0) {
        const int error = errno;
        struct stat st;
        if (error == ELOOP || (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))) {
            *why = "it is a symbolic link";
            return Presence::Distrusted;
        }
        if (error == ENOENT || error == ENOTDIR) return Presence::Absent;
        *why = std::string("it cannot be opened: ") + strerror(error);
        return Presence::Distrusted;
    }
    struct stat st;
    if (fstat(fd->get(), &st) != 0) {
        *why = std::string("it cannot be examined: ") + strerror(errno);
        return Presence::Distrusted;
    }
    return judge(st, why);
}

Presence check(const std::string& path, bool forReading, FileDescriptor* fd) {
    std::string why;
    Presence presence = openAndJudge(path, forReading, fd, &why);
    if (presence == Presence::Distrusted && g_ptrLogWriter->isEnabled(0)) {
        g_ptrLogWriter->log(0, "marker check", __LINE__, 0, 0,
                            "Ignoring the marker file %s: %s (a marker must be a regular file "
                            "owned by this process's user or root and writable by nobody else)",
                            path.c_str(), why.c_str());
    }
    return presence;
}

}  // namespace

std::string& markerDirectory() {
    static std::string directory = "/tmp";
    return directory;
}

std::string markerPath(const std::string& name) { return markerDirectory() + "/" + name; }

bool markerExists(const std::string& path) {
    FileDescriptor fd;
    return check(path, false, &fd) == Presence::Trusted;
}

bool readMarker(const std::string& path, std::string* content) {
    FileDescriptor fd;
    if (check(path, true, &fd) != Presence::Trusted) return false;
    std::string text;
    char buffer[4096];
    const size_t cap = 64 * 1024;
    while (text.size() < cap) {
        ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    if (text.size() > cap) text.resize(cap);
    if (content) *content = std::move(text);
    return true;
}

std::string markerDistrust(const std::string& path) {
    FileDescriptor fd;
    std::string why;
    return openAndJudge(path, false, &fd, &why) == Presence::Distrusted ? why : std::string();
}

bool createResumeFile(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    close(fd);
    return true;
}

}  // namespace volbridge
