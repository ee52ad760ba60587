// Revert and removal of GPFS file systems are not available yet: each refuses at once.
#include "gpfs/gpfs_internal.h"

namespace {

[[noreturn]] void notYet(const char* func) {
    const volbridge::Origin here{func, volbridge::unit::kGpfs};
    here.fail("Error: this operation is not available for GPFS file systems yet");
}

}  // namespace

bool LVM_gpfs::canRevert(const VG&, const char*, const std::list<std::string>&) {
    notYet(
        "virtual bool LVM_gpfs::canRevert(const LVM::VG&, const char*, const "
        "std::list<std::string>&)");
}

bool LVM_gpfs::prepRevertLV(const VG&, const char*, const std::list<std::string>&) {
    notYet(
        "virtual bool LVM_gpfs::prepRevertLV(const LVM::VG&, const char*, const "
        "std::list<std::string>&)");
}

bool LVM_gpfs::cancelRevertLV(const char*, const std::list<std::string>&) {
    notYet("virtual bool LVM_gpfs::cancelRevertLV(const char*, const std::list<std::string>&)");
}

LVM::VG LVM_gpfs::revertLVs(const std::list<std::string>&, const char*,
                            std::map<std::string, std::string>&) {
    notYet(
        "virtual LVM::VG LVM_gpfs::revertLVs(const std::list<std::string>&, const char*, "
        "std::map<std::string, std::string>&)");
}

void LVM_gpfs::destroyVG(const char*) { notYet("virtual void LVM_gpfs::destroyVG(const char*)"); }
