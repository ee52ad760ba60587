// The state the library keeps on a host between runs, and the lock that lets one import at a
// time run on a host, whatever its backend.
//
// The directory is "/var/lib/volbridge" (tests point it elsewhere with a ScopedOverride), made
// when missing with mode 0700; it must be a directory of root or of this process's user that
// nobody else may write, since what an import trusts lies there:
//
//   import.lock           held (flock) by one clone import, revert or destroy at a time, from its
//                         first look at the host (the groups there, the names taken) to its last
//                         change, so that two imports never choose the same name or take each
//                         other's disks, and a clean-up never meets a group another run is making;
//   lvm2-import.journal   what LVM2 clone import and revert were doing when they were stopped
//                         (see linux_lvm/lvm2_import_state.h), and the journals of the other
//                         backends beside it.
#pragma once

#include <string>

#include "core/Origin.h"

namespace volbridge {

// "/var/lib/volbridge".
std::string& stateDirectory();

// The state directory, made when missing (mode 0700). Throws from `at` when it cannot be made,
// or when it is not a directory of root or of this user that only its owner may write.
std::string trustedStateDirectory(const Origin& at);

// Holds the host's import lock for the object's lifetime, waiting for another process that holds
// it (one log line at level 0 says so). Taken again inside the same process (a clean-up that
// destroys a group inside an import), it is simply held longer; other threads of the process wait
// like other processes. Throws from `at` when the lock cannot be had.
class ImportLock {
  public:
    explicit ImportLock(const Origin& at);
    ~ImportLock();
    ImportLock(const ImportLock&) = delete;
    ImportLock& operator=(const ImportLock&) = delete;
};

}  // namespace volbridge
