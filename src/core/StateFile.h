// Opening the files the library keeps in its state directory (core/ImportLock.h) or reads and
// writes in a shared directory (/tmp, the host temp directory): the import lock, the journals and
// notes of interrupted runs, a step hook's resume file.
//
// Somebody may have planted something at such a name: a FIFO, whose open() would block the
// library (and, in the state directory, every import of the host waiting for its lock), a device,
// a symbolic link, another user's file. Every open is made with O_NOFOLLOW and O_NONBLOCK, and the
// file is used only when fstat() on the open descriptor shows a regular file owned by root or by
// this process's user that nobody else may write; anything else fails at once with a YbException
// that names the path and says what is there. A file the library creates is created with O_EXCL.
#pragma once

#include <sys/types.h>

#include <string>

#include "core/FileDescriptor.h"
#include "core/Origin.h"

namespace volbridge {

// Why the file open at `fd` may not be used: empty when it may (see above).
std::string stateFileDistrust(int fd);

// Opens the existing file `path` (`flags`: O_RDONLY, O_RDWR, O_WRONLY | O_APPEND, ...; O_NOFOLLOW,
// O_NONBLOCK and O_CLOEXEC are added). A missing file gives a descriptor of -1; anything that is
// not a trusted regular file throws from `at`: "Refusing <what> <path>: it is a FIFO".
FileDescriptor openStateFile(const Origin& at, const std::string& path, int flags,
                             const char* what);

// Creates `path` (O_CREAT | O_EXCL, mode `mode`) and opens it with `flags` as above; throws from
// `at` when something is already there or it cannot be created.
FileDescriptor createStateFile(const Origin& at, const std::string& path, int flags, mode_t mode,
                               const char* what);

// Opens `path` as openStateFile does, creating it (as createStateFile does) when it is missing.
FileDescriptor openOrCreateStateFile(const Origin& at, const std::string& path, int flags,
                                     mode_t mode, const char* what);

}  // namespace volbridge
