// Choosing a backend: for a device path, by vendor name, and the device listing of all backends.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <memory>
#include <string>

#include "LVM/LVM.h"
#include "core/Origin.h"

namespace {

const char kAllPVList[] = "static CWmError LVM::getAllPVList(LVM::DeviceInfoList&)";

// The lines the failures of getByLVDevice and getAllPVList are reported from; callers and logs
// have always seen these numbers.
constexpr int kStatFailureLine = 54;
constexpr int kVxvmListingLine = 99;
constexpr int kLinuxLvmListingLine = 110;
constexpr int kGpfsListingLine = 121;

// Every path under this directory is a VxVM volume device.
constexpr char kVxvmDevicePrefix[] = "/dev/vx/";

// The LVM2 group that has an LV whose node is the block device `rdev`, or null. Only block
// devices count on both sides: a regular file has device number 0, and so does a stale regular
// file lying where an inactive LV's node would be (what "dd of=/dev/vg/lv" leaves behind).
const LVM::VG* groupWithLVNode(const std::list<LVM::VG>& vgs, dev_t rdev) {
    for (const LVM::VG& vg : vgs) {
        for (const auto& entry : vg.lvs) {
            struct stat st;
            if (stat(entry.second.device.c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
                st.st_rdev == rdev) {
                return &vg;
            }
        }
    }
    return nullptr;
}

// Appends the listing of a fresh `Backend` to `list`, each row marked with the backend's vendor;
// on failure returns the backend's error with the location `line` of getAllPVList added and
// leaves `list` as it was.
template <class Backend>
CWmError appendListing(LVM::DeviceInfoList& list, int line) {
    LVM::DeviceInfoList rows;
    CWmError status;
    {
        Backend backend;
        status = backend.getPVList(rows);
    }
    if (status.IsError()) {
        return status.Push(FXCodeLocation(volbridge::unit::kLinux, kAllPVList, line));
    }
    for (LVM::DeviceVGInfo& row : rows) row.vendor = Backend::vendor;
    list.splice(list.end(), rows);
    return CWmError::Success();
}

}  // namespace

LVM* LVM::getByLVDevice(const char* dev) {
    const volbridge::Origin here{"LVM::getByLVDevice", volbridge::unit::kLinux};
    if (!dev)
        here.fail(std::string("Failed to stat (null): ") + strerror(EFAULT), kStatFailureLine);
    const std::string path = dev;
    if (path.compare(0, strlen(kVxvmDevicePrefix), kVxvmDevicePrefix) == 0) return new LVM_vxvm;
    if (LVM_gpfs::isGPFSFileSystem(path) == 0) return new LVM_gpfs;

    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        here.fail("Failed to stat " + path + ": " + strerror(errno), kStatFailureLine);
    }
    if (!S_ISBLK(st.st_mode)) return nullptr;
    const std::list<VG> vgs = LVM_linux_lvm::getVGs(true);
    if (!groupWithLVNode(vgs, st.st_rdev)) return nullptr;
    std::unique_ptr<LVM_linux_lvm> lvm(new LVM_linux_lvm);
    lvm->setCachedVGs(vgs);
    return lvm.release();
}

LVM* LVM::getByVendor(const char* vendor) {
    if (!vendor) return nullptr;
    if (strcmp(vendor, LVM_vxvm::vendor) == 0) return new LVM_vxvm;
    if (strcmp(vendor, LVM_linux_lvm::vendor) == 0) return new LVM_linux_lvm;
    if (strcmp(vendor, LVM_gpfs::vendor) == 0) return new LVM_gpfs;
    return nullptr;
}

CWmError LVM::getAllPVList(DeviceInfoList& list) {
    list.clear();
    CWmError status = appendListing<LVM_vxvm>(list, kVxvmListingLine);
    if (status.IsError()) return status;
    status = appendListing<LVM_linux_lvm>(list, kLinuxLvmListingLine);
    if (status.IsError()) return status;
    return appendListing<LVM_gpfs>(list, kGpfsListingLine);
}
