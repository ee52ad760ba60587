#include "core/TempFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/FileDescriptor.h"
#include "host/YBPlatformInfo.h"

namespace volbridge {

std::string hostTempDirectory(const Origin& at) {
    char buffer[1024];
    if (!YBPI_Base::getPlumexTempDirectory(buffer)) {
        at.fail("Error: the temporary directory is not available");
    }
    return buffer;
}

TempFile::TempFile(const Origin& at, const std::string& directory, const std::string& prefix)
    : at_(at) {
    const std::string templ = directory + "/" + prefix + "XXXXXX";
    std::string name = templ;
    int fd = mkostemp(&name[0], O_CLOEXEC);
    if (fd < 0) {
        at_.fail("Couldn't create temporary " + templ + ": " + strerror(errno));
    }
    close(fd);
    path_ = name;
}

TempFile::~TempFile() { unlink(path_.c_str()); }

void TempFile::write(const std::string& text) {
    // The readers are commands this process starts afterwards: they see the text through the
    // page cache, and the file goes when the operation ends, so nothing is forced to stable
    // storage. The old content is overwritten and then cut to the new length instead of being
    // truncated to nothing first, because ext4 flushes a file that was truncated to zero and
    // written again when it is closed (auto_da_alloc). Either would cost a disk write per PV in
    // a clone import.
    FileDescriptor fd(open(path_.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) at_.fail("Failed to open file " + path_ + " for writing.");
    int saved = 0;
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd.get(), p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            saved = n < 0 ? errno : EIO;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (saved == 0 && ftruncate(fd.get(), static_cast<off_t>(text.size())) != 0) saved = errno;
    if (close(fd.release()) != 0 && saved == 0) saved = errno;
    if (saved != 0) at_.fail("Failed to write file " + path_ + ": " + strerror(saved));
}

}  // namespace volbridge
