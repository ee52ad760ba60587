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

bool LVM_linux_lvm::canRevert(const VG&, const char*, const std::list<std::string>&) {
    notBuilt("LVM_linux_lvm::canRevert");
}

bool LVM_linux_lvm::prepRevertLV(const VG&, const char*, const std::list<std::string>&) {
    notBuilt("LVM_linux_lvm::prepRevertLV");
}

bool LVM_linux_lvm::cancelRevertLV(const char*, const std::list<std::string>&) {
    notBuilt("LVM_linux_lvm::cancelRevertLV");
}

LVM::VG LVM_linux_lvm::recreateVG(const std::list<std::string>&, const char*,
                                  std::map<std::string, std::string>&) {
    notBuilt("LVM_linux_lvm::recreateVG");
}

LVM::VG LVM_linux_lvm::revertLVs(const std::list<std::string>&, const char*,
                                 std::map<std::string, std::string>&) {
    notBuilt("LVM_linux_lvm::revertLVs");
}

void LVM_linux_lvm::destroyVG(const char*) { notBuilt("LVM_linux_lvm::destroyVG"); }
