#include "core/ImportLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/FileDescriptor.h"
#include "host/LogWriter.h"

namespace volbridge {

namespace {

const char kLockName[] = "import.lock";

// Why `path` may not hold the lock and the journals; empty when it may. Other users must not be
// able to plant or change what an import of root trusts.
std::string distrust(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return std::string("it cannot be examined: ") + strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "it is not a directory";
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        return "it belongs to uid " + std::to_string(st.st_uid);
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return "others may write to it";
    return "";
}

// The lock as this process holds it: threads take the mutex (the thread that holds it may take
// it again), the first taker the flock.
std::recursive_mutex g_mutex;
int g_depth = 0;
int g_fd = -1;

}  // namespace

std::string& stateDirectory() {
    static std::string directory = "/var/lib/volbridge";
    return directory;
}

std::string trustedStateDirectory(const Origin& at) {
    const std::string directory = stateDirectory();
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        at.fail("Can't create the directory " + directory +
                " for the import lock: " + strerror(errno));
    }
    const std::string why = distrust(directory);
    if (!why.empty()) {
        at.fail("Refusing the directory " + directory + " for the import lock: " + why);
    }
    return directory;
}

ImportLock::ImportLock(const Origin& at) {
    std::unique_lock<std::recursive_mutex> held(g_mutex);
    if (g_depth > 0) {
        ++g_depth;
        held.release();
        return;
    }
    const std::string lock = trustedStateDirectory(at) + "/" + kLockName;
    FileDescriptor fd(open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) at.fail("Can't open the import lock " + lock + ": " + strerror(errno));
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            at.fail("Can't take the import lock " + lock + ": " + strerror(errno));
        }
        EvDebug(nullptr).DebugLvl(at.func, 0, "Waiting for another import, which holds the lock %s",
                                  lock.c_str());
        int rc;
        do {
            rc = flock(fd.get(), LOCK_EX);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) at.fail("Can't take the import lock " + lock + ": " + strerror(errno));
    }
    g_fd = fd.release();
    g_depth = 1;
    held.release();
}

ImportLock::~ImportLock() {
    if (--g_depth == 0) {
        close(g_fd);  // releases the flock
        g_fd = -1;
    }
    g_mutex.unlock();
}

}  // namespace volbridge
