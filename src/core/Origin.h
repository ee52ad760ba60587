// Where a failure is reported from, and the one way the library throws.
//
// Every YbException of the library carries the throwing operation's name, the source unit, the
// line and an error number. An Origin holds the first two for one operation, so that a call site
// only says what went wrong:
//
//     const volbridge::Origin here{"LVM_vxvm::getDGName", volbridge::unit::kVxvm};
//     if (name.empty()) here.fail("Error: could not obtain group name from dev_path = '" + p +
//     "'");
#pragma once

#include <string>

namespace volbridge {

// The source units named in the library's exceptions.
namespace unit {
constexpr const char* kLinux = "LVM_linux";  // backend selection
constexpr const char* kLinuxLvm = "LVM_linux_lvm";
constexpr const char* kLinuxLvmParser = "LVM_linux_lvm_parser";
constexpr const char* kVxvm = "LVM_vxvm";
constexpr const char* kGpfs = "LVM_gpfs";
}  // namespace unit

struct Origin {
    const char* func;  // the operation's name as it appears in the exception
    const char* unit;  // one of unit::*

    // Throws YbException(func, message, unit, line, err). The line defaults to the caller's.
    [[noreturn]] void fail(const std::string& message, int line = __builtin_LINE(),
                           int err = -1) const;
};

}  // namespace volbridge
