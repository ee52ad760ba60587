// Owner of a file descriptor: closed when the owner goes, on every path.
#pragma once

#include <unistd.h>

#include <utility>

namespace volbridge {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        reset(other.release());
        return *this;
    }

    int get() const { return fd_; }
    // Gives up the descriptor without closing it.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held (if any) and takes `fd`.
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

}  // namespace volbridge
