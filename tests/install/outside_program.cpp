// A program written against the installed package only: it constructs the LVM2 backend, lists
// the groups and devices LVM2 reports, asks the VxVM backend for its devices (VxVM is not
// installed: no rows, no error), asks the GPFS backend for its devices (no rows, no error either),
// has the library choose a backend for a VxVM path and list the devices of every backend, and
// runs a command through the host runner.
#include <LVM/LVM.h>
#include <host/YbProcess.h>

#include <cstdio>
#include <list>
#include <memory>
#include <string>

int main() {
    std::unique_ptr<LVM> backend(new LVM_linux_lvm);

    for (const LVM::VG& vg : LVM_linux_lvm::getVGs(true)) {
        printf("group %s %s %zu\n", vg.name.c_str(), vg.uuid.c_str(), vg.lvs.size());
        for (const auto& lv : vg.lvs) printf("lv %s\n", lv.second.device.c_str());
    }

    LVM::DeviceInfoList devices;
    CWmError status = backend->getPVList(devices);
    if (status.IsError()) {
        fprintf(stderr, "getPVList: %s\n", status.ToString().c_str());
        return 1;
    }
    for (const LVM::DeviceVGInfo& row : devices) {
        printf("device %s %s %s\n", row.device.c_str(), row.vendor.c_str(), row.vg_name.c_str());
    }

    std::unique_ptr<LVM> vxvm(LVM::getByVendor("VxVM"));
    LVM::DeviceInfoList vxvmDevices;
    CWmError vxvmStatus = vxvm->getPVList(vxvmDevices);
    printf("vxvm %s %s %zu\n", dynamic_cast<LVM_vxvm*>(vxvm.get()) ? LVM_vxvm::vendor : "?",
           vxvmStatus.IsError() ? "error" : "ok", vxvmDevices.size());
    // GPFS is not installed here: no devices, and no device is a GPFS file system.
    std::unique_ptr<LVM> gpfs(LVM::getByVendor(LVM_gpfs::vendor));
    LVM::DeviceInfoList gpfsDevices;
    CWmError gpfsStatus = gpfs->getPVList(gpfsDevices);
    printf("gpfs %d %zu %d\n", gpfsStatus.IsError() ? 1 : 0, gpfsDevices.size(),
           LVM_gpfs::isGPFSFileSystem("/dev/gpfs0"));

    // The entry points that choose a backend without naming one.
    std::unique_ptr<LVM> chosen(LVM::getByLVDevice("/dev/vx/dsk/nodg/novol"));
    LVM::DeviceInfoList all;
    CWmError allStatus = LVM::getAllPVList(all);
    printf("chosen %s all %s\n", dynamic_cast<LVM_vxvm*>(chosen.get()) ? LVM_vxvm::vendor : "?",
           allStatus.IsError() ? "error" : "ok");
    for (const LVM::DeviceVGInfo& row : all) {
        printf("all %s %s %s\n", row.device.c_str(), row.vendor.c_str(), row.vg_name.c_str());
    }

    std::string out, err;
    int rc = YbProcess::system("echo runner says hello", &out, &err, 0, false);
    printf("runner %d %s", rc, out.c_str());
    return 0;
}
