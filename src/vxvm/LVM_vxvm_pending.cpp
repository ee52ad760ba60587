// Clone import, revert and teardown come next; until then they refuse.
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
LVM::VG LVM_vxvm::recreateVG(const std::list<std::string>&, const char*,
                             std::map<std::string, std::string>&) {
    notYet("LVM_vxvm::recreateVG");
}
LVM::VG LVM_vxvm::revertLVs(const std::list<std::string>&, const char*,
                            std::map<std::string, std::string>&) {
    notYet("LVM_vxvm::revertLVs");
}
void LVM_vxvm::destroyVG(const char*) { notYet("LVM_vxvm::destroyVG"); }
