// Replacing a setting for the lifetime of a guard, for tests: the backup directory LVM2 is read
// from, the directory temporary files go to, the directory of the GPFS configuration files, ...
//
//     volbridge::ScopedOverride<std::string> dir(lvm2::backupDirectory(), testDir);
//
// The previous value comes back when the guard goes. Guards nest; one thread at a time.
#pragma once

#include <utility>

namespace volbridge {

template <class T>
class ScopedOverride {
  public:
    ScopedOverride(T& slot, T value) : slot_(slot), saved_(std::move(slot)) {
        slot_ = std::move(value);
    }
    ~ScopedOverride() { slot_ = std::move(saved_); }
    ScopedOverride(const ScopedOverride&) = delete;
    ScopedOverride& operator=(const ScopedOverride&) = delete;

  private:
    T& slot_;
    T saved_;
};

}  // namespace volbridge
