// Revert comes next; until then it refuses.
#include "vxvm/vxvm_internal.h"

namespace {
[[noreturn]] void notYet(const char* func) {
    volbridge::Origin{func, volbridge::unit::kVxvm}.fail("Error: not supported yet");
}
}  // namespace

bool LVM_vxvm::canRevert(const VG&, const char*, const std::list<std::string>&) {
    notYet("LVM_vxvm::canRevert");
}
bool LVM_vxvm::prepRevertLV(const VG&, const char*, const std::list<std::string>&) {
    notYet("LVM_vxvm::prepRevertLV");
}
bool LVM_vxvm::cancelRevertLV(const char*, const std::list<std::string>&) {
    notYet("LVM_vxvm::cancelRevertLV");
}
LVM::VG LVM_vxvm::revertLVs(const std::list<std::string>&, const char*,
                            std::map<std::string, std::string>&) {
    notYet("LVM_vxvm::revertLVs");
}
