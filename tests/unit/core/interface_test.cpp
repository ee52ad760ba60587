// The records and the defaults of the abstract interface.
#include <gtest/gtest.h>

#include "FakeRunner.h"
#include "LVM/LVM.h"

namespace {

// A backend that overrides only what it must: the optional operations keep their defaults.
class MinimalBackend : public LVM {
  public:
    VG getVGByLVDevice(const char*) override { return VG(); }
    VG getVGByUUID(const char*) override { return VG(); }
    bool canRevert(const VG&, const char*, const std::list<std::string>&) override { return true; }
    bool prepRevertLV(const VG&, const char*, const std::list<std::string>&) override {
        return true;
    }
    bool cancelRevertLV(const char*, const std::list<std::string>&) override { return true; }
    VG recreateVG(const std::list<std::string>&, const char*,
                  std::map<std::string, std::string>&) override {
        return VG();
    }
    VG revertLVs(const std::list<std::string>&, const char*,
                 std::map<std::string, std::string>&) override {
        return VG();
    }
    void destroyVG(const char*) override {}
};

TEST(Records, DefaultsAndDeepCopies) {
    LVM::PV pv;
    EXPECT_EQ(pv.state, PV_ACTIVE);
    EXPECT_EQ(static_cast<int>(pv.state), 1);
    EXPECT_TRUE(pv.orig_uuid.empty() && pv.uuid.empty() && pv.device.empty() &&
                pv.mirror_id.empty());
    LVM::LV lv;
    EXPECT_EQ(lv.state, 1);
    EXPECT_TRUE(lv.pvs.empty());
    EXPECT_EQ(static_cast<int>(PV_STATE_UNKNOWN), 16);
    EXPECT_EQ(static_cast<int>(RP_NO_UNMOUNT), 5);

    LVM::VG source;
    source.name = "vg";
    lv.uuid = "lv-1";
    lv.pvs = {"pv-1"};
    source.lvs[lv.uuid] = lv;
    LVM::VG copy = source;
    copy.lvs["lv-1"].pvs.push_back("pv-2");
    copy.lvs["lv-1"].state = 4;
    EXPECT_EQ(source.lvs["lv-1"].pvs, (std::list<std::string>{"pv-1"}));
    EXPECT_EQ(source.lvs["lv-1"].state, 1);
}

TEST(Interface, OptionalOperationsKeepTheirDefaultsAndRunNothing) {
    vbtest::FakeRunner fake;  // answers nothing: any command would fail the test
    MinimalBackend backend;
    LVM& lvm = backend;

    LVM::DeviceInfoList list{{"/dev/sdz", "X", "g"}};
    CWmError status = lvm.getPVList(list);
    EXPECT_TRUE(status.IsError());
    EXPECT_EQ(status.GetWin32Code(), 50u);
    ASSERT_EQ(status.GetLocations().size(), 1u);
    EXPECT_EQ(status.GetLocations()[0].file, "LVM");
    EXPECT_EQ(status.GetLocations()[0].function,
              "virtual CWmError LVM::getPVList(LVM::DeviceInfoList&)");
    EXPECT_EQ(status.GetLocations()[0].line, 231);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().device, "/dev/sdz");

    EXPECT_TRUE(lvm.mountFS("fs", "nodes", RP_REVERT, false));
    EXPECT_TRUE(lvm.unmountFS("fs", true));
    EXPECT_TRUE(lvm.suspendFS("fs"));
    EXPECT_TRUE(lvm.resumeFS("fs"));
    std::string data = "kept";
    lvm.getRevertStateData(data);
    EXPECT_EQ(data, "kept");
    LVM::VG vg;
    vg.name = "kept";
    lvm.getVGfromMetadata("anything", vg);
    EXPECT_EQ(vg.name, "kept");
    EXPECT_TRUE(fake.commands().empty());
}

TEST(Interface, LinuxLvmBackendIsCheapToMake) {
    vbtest::FakeRunner fake;
    std::unique_ptr<LVM> lvm(new LVM_linux_lvm);
    EXPECT_TRUE(fake.commands().empty());
    EXPECT_STREQ(LVM_linux_lvm::vendor, "LinuxLVM");
}

}  // namespace
