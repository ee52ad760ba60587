// Construction of the LVM2 backend.
#include "LVM/LVM.h"

LVM_linux_lvm::LVM_linux_lvm() = default;

LVM_linux_lvm::~LVM_linux_lvm() = default;
