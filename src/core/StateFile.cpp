#include "core/StateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace volbridge {

namespace {

const int kAlways = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

std::string kindOf(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// Why open() failed with `error` on `path`, in words.
std::string openFailure(const std::string& path, int error) {
    struct stat st;
    if (error == ELOOP || (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))) {
        return "it is a symbolic link";
    }
    if ((error == ENXIO || error == EISDIR) && lstat(path.c_str(), &st) == 0) {
        return "it is " + kindOf(st.st_mode);
    }
    return std::string("it cannot be opened: ") + strerror(error);
}

FileDescriptor checked(const Origin& at, const std::string& path, FileDescriptor fd,
                       const char* what) {
    const std::string why = stateFileDistrust(fd.get());
    if (!why.empty()) at.fail(std::string("Refusing ") + what + " " + path + ": " + why);
    return FileDescriptor(fd.release());
}

}  // namespace

std::string stateFileDistrust(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return std::string("it cannot be examined: ") + strerror(errno);
    if (!S_ISREG(st.st_mode)) return "it is " + kindOf(st.st_mode);
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        return "it belongs to uid " + std::to_string(st.st_uid);
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[16];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("others may write to it (mode ") + mode + ")";
    }
    return "";
}

FileDescriptor openStateFile(const Origin& at, const std::string& path, int flags,
                             const char* what) {
    FileDescriptor fd(open(path.c_str(), flags | kAlways));
    if (fd.get() < 0) {
        if (errno == ENOENT) return FileDescriptor();
        at.fail(std::string("Refusing ") + what + " " + path + ": " + openFailure(path, errno));
    }
    return checked(at, path, std::move(fd), what);
}

FileDescriptor createStateFile(const Origin& at, const std::string& path, int flags, mode_t mode,
                               const char* what) {
    FileDescriptor fd(open(path.c_str(), flags | kAlways | O_CREAT | O_EXCL, mode));
    if (fd.get() < 0) {
        const int error = errno;
        struct stat st;
        if (error == EEXIST && lstat(path.c_str(), &st) == 0) {
            at.fail(std::string("Can't create ") + what + " " + path + ": something is there (" +
                    (S_ISREG(st.st_mode) ? std::string("a file") : kindOf(st.st_mode)) + ")");
        }
        at.fail(std::string("Can't create ") + what + " " + path + ": " + strerror(error));
    }
    return checked(at, path, std::move(fd), what);
}

FileDescriptor openOrCreateStateFile(const Origin& at, const std::string& path, int flags,
                                     mode_t mode, const char* what) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        FileDescriptor fd = openStateFile(at, path, flags, what);
        if (fd.get() >= 0) return fd;
        FileDescriptor made(open(path.c_str(), flags | kAlways | O_CREAT | O_EXCL, mode));
        if (made.get() >= 0) return checked(at, path, std::move(made), what);
        if (errno != EEXIST) {
            at.fail(std::string("Can't create ") + what + " " + path + ": " + strerror(errno));
        }
        // Made by somebody else meanwhile: opened and judged as it is.
    }
    return openStateFile(at, path, flags, what);
}

}  // namespace volbridge
