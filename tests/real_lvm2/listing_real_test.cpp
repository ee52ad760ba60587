// The group and device listings against real LVM2 on loop devices.
#include <gtest/gtest.h>

#include <algorithm>

#include "LVM/LVM.h"
#include "LvmSandbox.h"

namespace {

class RealListing : public ::testing::Test {
  protected:
    void SetUp() override { VB_REQUIRE_REAL_LVM(); }
};

TEST_F(RealListing, GroupsDevicesAndLvsAsLvm2ReportsThem) {
    vbtest::LvmSandbox box;
    std::string d1 = box.addDisk();
    std::string d2 = box.addDisk();
    std::string d3 = box.addDisk();
    std::string spare = box.addDisk();  // a PV in no group
    std::string data = box.vg("data");
    std::string empty = box.vg("empty");  // a group without LVs is not listed
    vbtest::shOk("pvcreate -q " + d1 + " " + d2 + " " + d3 + " " + spare);
    vbtest::shOk("vgcreate -q " + data + " " + d1 + " " + d2);
    vbtest::shOk("vgcreate -q " + empty + " " + d3);
    vbtest::shOk("lvcreate -q --driverloaded n -an -Zn -L 8M -n lin " + data);
    vbtest::shOk("lvcreate -q --driverloaded n -an -Zn -i 2 -I 64k -L 16M -n str " + data);

    std::list<LVM::VG> vgs = LVM_linux_lvm::getVGs(true);
    ASSERT_EQ(vgs.size(), 1u);
    const LVM::VG& vg = vgs.front();
    EXPECT_EQ(vg.name, data);
    std::string uuid = vbtest::shOk("vgs --noheadings -o vg_uuid " + data);
    uuid.erase(std::remove_if(uuid.begin(), uuid.end(), ::isspace), uuid.end());
    EXPECT_EQ(vg.uuid, uuid);
    std::vector<std::string> devices;
    for (const auto& entry : vg.lvs) devices.push_back(entry.second.device);
    std::sort(devices.begin(), devices.end());
    EXPECT_EQ(devices,
              (std::vector<std::string>{"/dev/" + data + "/lin", "/dev/" + data + "/str"}));
    EXPECT_EQ(LVM_linux_lvm::getVGs(false).size(), 2u);  // one row per LV

    LVM_linux_lvm backend;
    LVM::DeviceInfoList rows;
    ASSERT_FALSE(backend.getPVList(rows).IsError());
    std::map<std::string, std::string> groupOf;
    for (const LVM::DeviceVGInfo& row : rows) {
        EXPECT_EQ(row.vendor, "LinuxLVM");
        groupOf[row.device] = row.vg_name;
    }
    EXPECT_EQ(groupOf, (std::map<std::string, std::string>{
                           {d1, data}, {d2, data}, {d3, empty}, {spare, ""}}));
}

}  // namespace
