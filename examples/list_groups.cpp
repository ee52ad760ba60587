// Lists the host's LVM2 groups and PV devices through the library's public interface.
#include <cstdio>
#include <list>
#include <memory>

#include "LVM/LVM.h"

int main() {
    std::unique_ptr<LVM> lvm(new LVM_linux_lvm);

    std::list<LVM::VG> groups = LVM_linux_lvm::getVGs(true);
    printf("LVM2 volume groups with logical volumes: %zu\n", groups.size());
    for (const LVM::VG& vg : groups) {
        printf("  %-24s %s\n", vg.name.c_str(), vg.uuid.c_str());
        for (const auto& entry : vg.lvs) {
            printf("      LV %-40s %s\n", entry.second.device.c_str(), entry.second.uuid.c_str());
        }
    }

    LVM::DeviceInfoList devices;
    CWmError status = lvm->getPVList(devices);
    if (status.IsError()) {
        fprintf(stderr, "device listing failed: %s\n", status.ToString().c_str());
        return 1;
    }
    printf("LVM2 physical volumes: %zu\n", devices.size());
    for (const LVM::DeviceVGInfo& row : devices) {
        printf("  %-24s %-10s %s\n", row.device.c_str(), row.vendor.c_str(),
               row.vg_name.empty() ? "(no group)" : row.vg_name.c_str());
    }
    return 0;
}
