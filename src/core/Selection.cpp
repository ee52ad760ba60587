// Choosing a backend: by vendor name.
#include <cstring>

#include "LVM/LVM.h"

LVM* LVM::getByVendor(const char* vendor) {
    if (!vendor) return nullptr;
    if (strcmp(vendor, LVM_vxvm::vendor) == 0) return new LVM_vxvm;
    if (strcmp(vendor, LVM_linux_lvm::vendor) == 0) return new LVM_linux_lvm;
    if (strcmp(vendor, LVM_gpfs::vendor) == 0) return new LVM_gpfs;
    return nullptr;
}
