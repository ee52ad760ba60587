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

// Appends the listing of a fresh backend `B` to `list`, each row marked with the backend's vendor;
// on failure returns the backend's error with the location `line` of getAllPVList added and
// leaves `list` as it was.
template <class B>
CWmError appendListing(LVM::DeviceInfoList& list, int line) {
    LVM::DeviceInfoList rows;
    CWmError status;
    {
        B backend;
        status = backend.getPVList(rows);
    }
    if (status.IsError()) {
        return status.Push(FXCodeLocation(volbridge::unit::kLinux, kAllPVList, line));
    }
    for (LVM::DeviceVGInfo& row : rows) row.vendor = B::vendor;
    list.splice(list.end(), rows);
    return CWmError::Success();
}

// The backends, in the order getAllPVList asks them, with the line its failure is reported from:
// the one list of backends the library and its tool know.
struct Backend {
    const char* vendor;
    LVM* (*make)();
    bool (*isOf)(const LVM&);
    CWmError (*appendListing)(LVM::DeviceInfoList&, int);
    int listingLine;
};

template <class B>
LVM* make() {
    return new B;
}
template <class B>
bool isOf(const LVM& backend) {
    return dynamic_cast<const B*>(&backend) != nullptr;
}
const Backend kBackends[] = {
    {LVM_vxvm::vendor, make<LVM_vxvm>, isOf<LVM_vxvm>, appendListing<LVM_vxvm>, kVxvmListingLine},
    {LVM_linux_lvm::vendor, make<LVM_linux_lvm>, isOf<LVM_linux_lvm>, appendListing<LVM_linux_lvm>,
     kLinuxLvmListingLine},
    {LVM_gpfs::vendor, make<LVM_gpfs>, isOf<LVM_gpfs>, appendListing<LVM_gpfs>, kGpfsListingLine},
};

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
    for (const Backend& backend : kBackends) {
        if (strcmp(vendor, backend.vendor) == 0) return backend.make();
    }
    return nullptr;
}

CWmError LVM::getAllPVList(DeviceInfoList& list) {
    list.clear();
    for (const Backend& backend : kBackends) {
        CWmError status = backend.appendListing(list, backend.listingLine);
        if (status.IsError()) return status;
    }
    return CWmError::Success();
}

std::vector<std::string> LVM::vendors() {
    std::vector<std::string> names;
    for (const Backend& backend : kBackends) names.emplace_back(backend.vendor);
    return names;
}

std::string LVM::vendorOf(const LVM& object) {
    for (const Backend& backend : kBackends) {
        if (backend.isOf(object)) return backend.vendor;
    }
    return "";
}
