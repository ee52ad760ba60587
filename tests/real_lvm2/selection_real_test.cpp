// Choosing the backend for a real LVM2 LV node, and the listing of all backends on a host that
// has LVM2 but neither VxVM nor GPFS.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "LVM/LVM.h"
#include "LvmSandbox.h"

namespace {

using vbtest::shOk;

const char kLvsListing[] = "lvs -o vg_name,vg_uuid,lv_name,lv_uuid,lv_attr";

std::string gpfsQuery(const std::string& dev) {
    return "mmlsfs " + dev +
           " -T 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag>0) print $2; if ($1 ~/-------/) flag "
           "=1;}'";
}

// A group "sel" with the LVs "lin" on the first disk and "other" on the second, and a node for
// "lin".
class RealSelection : public ::testing::Test {
  protected:
    void SetUp() override {
        VB_REQUIRE_REAL_LVM();
        box_.reset(new vbtest::LvmSandbox);
        disks_ = {box_->addDisk(), box_->addDisk()};
        vg_ = box_->vg("sel");
        shOk("pvcreate -q " + disks_[0] + " " + disks_[1]);
        shOk("vgcreate -q " + vg_ + " " + disks_[0] + " " + disks_[1]);
        shOk("lvcreate -q --driverloaded n -an -Zn -L 8M -n lin " + vg_ + " " + disks_[0]);
        shOk("lvcreate -q --driverloaded n -an -Zn -L 4M -n other " + vg_ + " " + disks_[1]);
        node_ = box_->makeLVNode(vg_, "lin").path;
        ASSERT_FALSE(node_.empty());
    }

    std::unique_ptr<vbtest::LvmSandbox> box_;
    std::vector<std::string> disks_;
    std::string vg_;
    std::string node_;
};

TEST_F(RealSelection, LvNodeGivesTheLvm2BackendHoldingTheListingItWasFoundIn) {
    struct Case {
        const char* name;
        std::string path;
        bool lvm2;
    };
    const std::vector<Case> cases = {
        {"the node of an LV", node_, true},
        {"a PV of the group: a block device that is no LV", disks_[0], false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::RecordingRunner recorder;
        std::unique_ptr<LVM> lvm(LVM::getByLVDevice(c.path.c_str()));
        // GPFS is not installed: its query claims nothing, and LVM2 is asked once.
        EXPECT_EQ(recorder.commands(), (std::vector<std::string>{gpfsQuery(c.path), kLvsListing}));
        if (!c.lvm2) {
            EXPECT_EQ(lvm, nullptr);
            continue;
        }
        auto* lvm2 = dynamic_cast<LVM_linux_lvm*>(lvm.get());
        ASSERT_NE(lvm2, nullptr);
        const LVM::VG* cached = nullptr;
        for (const LVM::VG& vg : lvm2->cachedVGs()) {
            if (vg.name == vg_) cached = &vg;
        }
        ASSERT_NE(cached, nullptr) << "the listing is not in the backend's cache";
        EXPECT_EQ(cached->lvs.size(), 2u);

        recorder.clear();
        const LVM::VG vg = lvm->getVGByLVDevice(c.path.c_str());
        EXPECT_EQ(vg.name, vg_);
        EXPECT_EQ(vg.pvs.size(), 2u);
        EXPECT_EQ(recorder.count("lvs "), 0u) << "the group listing was read again";
        EXPECT_EQ(recorder.count("vgcfgbackup "), 1u);
    }
}

TEST_F(RealSelection, AllDevicesOnAHostWithoutVxvmAndGpfsAreTheLvm2Pvs) {
    vbtest::RecordingRunner recorder;
    LVM::DeviceInfoList list{{"/dev/old", "X", "left-over"}};
    const CWmError status = LVM::getAllPVList(list);
    ASSERT_TRUE(status.IsSuccess()) << status.ToString();
    std::vector<std::string> rows;
    for (const LVM::DeviceVGInfo& row : list) {
        rows.push_back(row.device + " " + row.vendor + " " + row.vg_name);
    }
    std::sort(rows.begin(), rows.end());
    std::vector<std::string> expected = {disks_[0] + " LinuxLVM " + vg_,
                                         disks_[1] + " LinuxLVM " + vg_};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(recorder.commands(),
              (std::vector<std::string>{"vxdisk -qe path", "pvdisplay -c", "mmgetstate"}));
}

}  // namespace
