// Discovery through the fake runner on the captured output of the group datadg: the records, the
// captured metadata, the exact commands, and the failures.
#include <gtest/gtest.h>

#include "VxvmSandbox.h"

namespace {

using vbtest::kDgid;
using vbtest::kUdid1;
using vbtest::kUdid2;
using vbtest::kUdid3;
using vbtest::kVol01Guid;
using vbtest::kVol02Guid;

// The record discovery gives for datadg, with no captured identities.
void expectDatadg(const LVM::VG& vg) {
    EXPECT_EQ(vg.name, "datadg");
    EXPECT_EQ(vg.orig_name, "datadg");
    EXPECT_EQ(vg.uuid, kDgid);
    EXPECT_EQ(vg.orig_uuid, kDgid);
    EXPECT_EQ(vg.vendor, "VxVM");

    struct Disk {
        const char* udid;
        const char* device;
        const char* mirror;
    };
    const Disk disks[] = {{kUdid1, "/dev/sdb", "vol01-01"},
                          {kUdid2, "/dev/sdc", "vol01-02"},
                          {kUdid3, "/dev/sdd", ""}};
    ASSERT_EQ(vg.pvs.size(), 3u);
    for (const Disk& d : disks) {
        SCOPED_TRACE(d.udid);
        ASSERT_EQ(vg.pvs.count(d.udid), 1u);
        const LVM::PV& pv = vg.pvs.at(d.udid);
        EXPECT_EQ(pv.uuid, d.udid);
        EXPECT_EQ(pv.orig_uuid, d.udid);
        EXPECT_EQ(pv.device, d.device);
        EXPECT_EQ(pv.mirror_id, d.mirror);
        EXPECT_EQ(pv.state, PV_ACTIVE);
    }

    ASSERT_EQ(vg.lvs.size(), 2u);
    const LVM::LV& vol01 = vg.lvs.at(kVol01Guid);
    EXPECT_EQ(vol01.uuid, kVol01Guid);
    EXPECT_EQ(vol01.orig_uuid, kVol01Guid);
    EXPECT_EQ(vol01.device, "/dev/vx/dsk/datadg/vol01");
    EXPECT_EQ(vol01.pvs, (std::list<std::string>{kUdid1, kUdid2}));
    EXPECT_EQ(vol01.state, 1);
    const LVM::LV& vol02 = vg.lvs.at(kVol02Guid);
    EXPECT_EQ(vol02.device, "/dev/vx/dsk/datadg/vol02");
    EXPECT_EQ(vol02.pvs, (std::list<std::string>{kUdid2, kUdid3}));

    EXPECT_EQ(vg.metadata, vbtest::readFixture("vxvm/metadata/datadg.txt"));
}

class VxvmDiscovery : public vbtest::VxvmSandbox {};

TEST_F(VxvmDiscovery, GroupOfAVolumeDevice) {
    vbtest::FakeRunner fake;
    replayDatadg(fake);
    putDevice("/dev/vx/dsk/datadg/vol01");
    LVM_vxvm backend;

    const LVM::VG vg = backend.getVGByLVDevice("/dev/vx/dsk/datadg/vol01");

    expectDatadg(vg);
    vbtest::expectCommands(fake.commands(), vbtest::populateCommands("datadg"));
    EXPECT_TRUE(log_.contains("Info: '/dev/vx/dsk/datadg/vol01' belongs to DG 'datadg'"));
    EXPECT_TRUE(
        log_.contains("disk = 'datadg02', is_mir = '1', mirror_id = 'vol01-02', pv_state = 1"));
    EXPECT_TRUE(log_.contains("disk = 'datadg03', is_mir = '0', mirror_id = '', pv_state = 1"));
}

TEST_F(VxvmDiscovery, DevicePathsThatAreNoVolumes) {
    vbtest::FakeRunner fake;  // nothing runs
    putDevice("/dev/sdb");
    LVM_vxvm backend;
    struct Case {
        const char* path;
        std::string message;
    };
    const Case cases[] = {
        {nullptr, "Error: dev_path is NULL!"},
        {"/dev/vx/dsk/datadg/none",
         "Error: stat on '/dev/vx/dsk/datadg/none' failed with the error: 'No such file or "
         "directory'"},
        {"/dev/sdb", "Error: dev_path = '/dev/sdb' is not a VXVM path"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        try {
            backend.getVGByLVDevice(c.path);
            ADD_FAILURE() << "accepted";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getMessage(), c.message);
            EXPECT_EQ(e.getFuncName(), "LVM_vxvm::getVGByLVDevice");
        }
    }
    EXPECT_TRUE(fake.commands().empty());
}

TEST_F(VxvmDiscovery, GroupOfAnIdMatchesTheWholeId) {
    vbtest::FakeRunner fake;
    replayDatadg(fake);
    LVM_vxvm backend;

    expectDatadg(backend.getVGByUUID(kDgid));
    std::vector<std::string> expected{"vxdg list"};
    for (std::string& c : vbtest::populateCommands("datadg")) expected.push_back(c);
    vbtest::expectCommands(fake.commands(), expected);

    // Parts of the id, or ids that contain it, find nothing.
    for (const char* id : {"12", "1234567890.12", "1234567890.12.hostAB", ""}) {
        SCOPED_TRACE(id);
        log_.clear();
        const LVM::VG none = backend.getVGByUUID(id);
        EXPECT_TRUE(none.name.empty() && none.uuid.empty() && none.orig_uuid.empty() &&
                    none.vendor.empty() && none.metadata.empty() && none.pvs.empty());
        EXPECT_TRUE(log_.contains(std::string("Info:can't find DG [") + id + "]."));
    }
}

TEST_F(VxvmDiscovery, GroupOfAnIdNeverThrows) {
    vbtest::FakeRunner fake;
    fake.on("vxdg list", 1, "", "VxVM vxdg ERROR V-5-1-684 IPC failure");
    fake.on("vxdg list", 0, vbtest::readFixture("vxvm/vxdg_list.txt"))
        .on("vxdg list datadg", 0, vbtest::readFixture("vxvm/vxdg_list_datadg.txt"))
        .on("vxprint -g datadg -d -F%name", 1, "", "lost");
    LVM_vxvm backend;

    LVM::VG vg = backend.getVGByUUID(kDgid);
    EXPECT_TRUE(vg.name.empty() && vg.uuid.empty() && vg.metadata.empty());
    EXPECT_TRUE(log_.contains(
        "Info:can't find DG [1234567890.12.hostA]. Reason:Error: cmd: 'vxdg list' failed with "
        "the error: 'VxVM vxdg ERROR V-5-1-684 IPC failure'"));

    // A failure half-way keeps what was filled, apart from the identity.
    vg = backend.getVGByUUID(kDgid);
    EXPECT_TRUE(vg.name.empty() && vg.uuid.empty() && vg.orig_uuid.empty());
    EXPECT_EQ(vg.orig_name, "datadg");
    EXPECT_EQ(vg.metadata, "dg|datadg|1234567890.12.hostA;");
    EXPECT_TRUE(
        log_.contains("Reason:Error: cmd: 'vxprint -g datadg -d -F%name' failed with "
                      "the error: 'lost'"));
}

TEST_F(VxvmDiscovery, SharedGroupAndDisksWithoutUdidOrDevice) {
    vbtest::FakeRunner fake;
    fake.on("vxdg list shdg", 0,
            "Group:     shdg\ndgid:      99.1.hostA\nflags:     shared cds\n"
            "cluster-actv-modes: node1=sw node2=sw\n")
        .on("vxprint -g shdg -d -F%name", 0, "d1\nd2\n")
        .on("vxdisk -g shdg list d1", 1, "",
            "VxVM vxdisk ERROR V-5-1-558 Disk d1: Disk not in "
            "the configuration")
        .on("vxdisk -g shdg list d2", 0, "Device: x\nguid: -\n")
        .always("vxdisk -g shdg -s list | grep flags:", 0, "flags: online shared\n")
        .always("vxdisk -g shdg -qe list", 0, "x auto d1 shdg online shared sdx -\n")
        .on("vxprint -g shdg -ar -d d1", 0, "dm d1 da_name=x\n")
        .on("vxprint -g shdg -ar -d d2", 0, "dm d2 da_name=y\n")
        .on("vxprint -g shdg -v -F%guid:%name", 0, "{g-1}:empty\n")
        .on("vxprint -hqtps -g shdg", 0, "")
        .on("vxprint -g shdg -mr -v empty", 0, "vol empty\n\tplex=\n");
    LVM_vxvm backend;
    LVM::VG vg;
    LVM_vxvm::VXDG captured;
    captured.name = "olddg";
    captured.dgid = "11.1.hostB";
    captured.lvs["empty"].uuid = "old-g-1";
    backend.populateDG("shdg", vg, captured);

    EXPECT_EQ(vg.name, "shdg");
    EXPECT_EQ(vg.orig_name, "olddg");
    EXPECT_EQ(vg.orig_uuid, "11.1.hostB");
    // Both disks have no readable udid: one entry, the last, under "Unavailable"; the second
    // disk has no row in the group's listing and keeps no device.
    ASSERT_EQ(vg.pvs.size(), 1u);
    EXPECT_EQ(vg.pvs.at("Unavailable").device, "");
    EXPECT_EQ(vg.pvs.at("Unavailable").orig_uuid, "Unavailable");
    ASSERT_EQ(vg.lvs.size(), 1u);
    EXPECT_EQ(vg.lvs.at("g-1").orig_uuid, "old-g-1");
    EXPECT_TRUE(vg.lvs.at("g-1").pvs.empty());
    // A volume on no disk has no "lv_to_pv" record.
    EXPECT_EQ(vg.metadata,
              "sdg|shdg|99.1.hostA;CA|node1=sw node2=sw;pv|d1|Unavailable;pv|d2|Unavailable;"
              "lv|empty|g-1|vol empty\n\tplex=\n;");
}

TEST_F(VxvmDiscovery, FailedListingsStopDiscovery) {
    struct Case {
        const char* failing;
        const char* func;
    };
    const Case cases[] = {
        {"vxdg list datadg", "LVM_vxvm::getDGParameters"},
        {"vxprint -g datadg -d -F%name", "LVM_vxvm::populatePV"},
        {"vxprint -g datadg -ar -d datadg01", "LVM_vxvm::get_disk_info"},
        {"vxprint -g datadg -v -F%guid:%name", "LVM_vxvm::populateLV"},
        {"vxprint -hqtps -g datadg", "LVM_vxvm::fillPVList"},
        {"vxprint -g datadg -mr -v vol01", "LVM_vxvm::populateLV"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        vbtest::FakeRunner fake;
        fake.on(c.failing, 1, "", "VxVM ERROR");
        replayDatadg(fake);
        LVM_vxvm backend;
        LVM::VG vg;
        LVM_vxvm::VXDG none;
        try {
            backend.populateDG("datadg", vg, none);
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getMessage(), std::string("Error: cmd: '") + c.failing +
                                          "' failed with the error: 'VxVM ERROR'");
            EXPECT_EQ(e.getFuncName(), c.func);
        }
        EXPECT_EQ(fake.commands().back(), c.failing);
    }
}

TEST_F(VxvmDiscovery, GroupListAndDeviceList) {
    vbtest::FakeRunner fake;
    replayDatadg(fake);
    fake.always("vxdg -q list", 0, "datadg enabled,cds 1.2.h\nother enabled 3.4.h\n");
    LVM_vxvm backend;
    std::list<std::string> names{"kept"};
    backend.getDGList(names);
    EXPECT_EQ(names, (std::list<std::string>{"kept", "datadg", "other"}));
    EXPECT_TRUE(backend.isDGPresent("other"));
    EXPECT_FALSE(backend.isDGPresent("enabled"));

    LVM::DeviceInfoList rows{{"/dev/sda", "LinuxLVM", "vg0"}};
    ASSERT_FALSE(backend.getPVList(rows).IsError());
    std::vector<std::string> seen;
    for (const auto& row : rows) seen.push_back(row.device + " " + row.vendor + " " + row.vg_name);
    // Rows of disks outside any group ("-") are left out.
    EXPECT_EQ(seen, (std::vector<std::string>{"/dev/sda LinuxLVM vg0", "/dev/sdb VxVM datadg",
                                              "/dev/sdc VxVM datadg", "/dev/sdd VxVM datadg"}));

    EXPECT_EQ(
        volbridge::vxvm::parseDiskPaths("sdb\temc0 dm1 dg1 ENABLED\nsdc x y z\nsdd a b -  E\n")
            .size(),
        1u);
}

TEST_F(VxvmDiscovery, DeviceListWithoutVxvmOrWithAFailingTool) {
    {
        vbtest::FakeRunner fake;
        fake.on("vxdisk -qe path", 127, "", "sh: 1: vxdisk: not found\n");
        LVM::DeviceInfoList rows;
        EXPECT_FALSE(LVM_vxvm().getPVList(rows).IsError());
        EXPECT_TRUE(rows.empty());
    }
    vbtest::FakeRunner fake;
    fake.on("vxdisk -qe path", 1, "partial\n", "VxVM vxdisk ERROR V-5-1-15190");
    LVM::DeviceInfoList rows;
    const CWmError status = LVM_vxvm().getPVList(rows);
    EXPECT_TRUE(status.IsError());
    EXPECT_EQ(status.GetErrno(), 22);
    EXPECT_EQ(status.GetMessage(), "vxdisk failed");
    EXPECT_TRUE(rows.empty());
    EXPECT_TRUE(log_.contains("CMD:vxdisk -qe path\nOUT:\npartial\n\nError:\nVxVM vxdisk ERROR"));
}

TEST(VxvmBackend, MadeByVendorNameAndCheap) {
    vbtest::FakeRunner fake;
    std::unique_ptr<LVM> lvm(LVM::getByVendor("VxVM"));
    ASSERT_NE(dynamic_cast<LVM_vxvm*>(lvm.get()), nullptr);
    EXPECT_EQ(LVM::getByVendor("vxvm"), nullptr);
    EXPECT_TRUE(fake.commands().empty());
    EXPECT_STREQ(LVM_vxvm::vendor, "VxVM");
}

}  // namespace
