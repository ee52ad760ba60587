// Operations of the LVM2 backend that are not built yet. Each throws a YbException that says so,
// so that a caller never mistakes a missing operation for a result.
#include <string>

#include "LVM/LVM.h"

namespace {

[[noreturn]] void notBuilt(const char* func) {
    throw YbException(func, std::string(func) + " is not built yet in this version of volbridge",
                      "LVM_linux_lvm", __LINE__, -1);
}

}  // namespace

LVM::VG LVM_linux_lvm::getVGByLVDevice(const char*) { notBuilt("LVM_linux_lvm::getVGByLVDevice"); }

LVM::VG LVM_linux_lvm::getVGByUUID(const char*) { notBuilt("LVM_linux_lvm::getVGByUUID"); }

void LVM_linux_lvm::populateVG(VG&) { notBuilt("LVM_linux_lvm::populateVG"); }
