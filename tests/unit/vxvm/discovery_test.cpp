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

TEST_F(VxvmDiscovery, SharedGroupAndADiskWithoutDevice) {
    vbtest::FakeRunner fake;
    fake.on("vxdg list shdg", 0,
            "Group:     shdg\ndgid:      99.1.hostA\nflags:     shared cds\n"
            "cluster-actv-modes: node1=sw node2=sw\n")
        .on("vxprint -g shdg -d -F%name", 0, "d1\nd2\n")
        .on("vxdisk -g shdg list d1", 0, "Device: x\nudid: U1\n")
        .on("vxdisk -g shdg -s list | grep flags:", 0, "flags: online shared\n")
        .on("vxdisk -g shdg -qe list", 0, "x auto d1 shdg online shared sdx -\n")
        .on("vxprint -g shdg -ar -d d1", 0, "dm d1 da_name=x\n")
        .on("vxdisk -g shdg list d2", 0, "Device: y\nudid: U2\n")
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
    captured.pvs["d2"].uuid = "OLD2";
    backend.populateDG("shdg", vg, captured);

    EXPECT_EQ(vg.name, "shdg");
    EXPECT_EQ(vg.orig_name, "olddg");
    EXPECT_EQ(vg.orig_uuid, "11.1.hostB");
    ASSERT_EQ(vg.pvs.size(), 2u);
    EXPECT_EQ(vg.pvs.at("U1").device, "/dev/sdx");
    EXPECT_EQ(vg.pvs.at("U1").orig_uuid, "U1");
    // The second disk has no row in the group's listing and keeps no device.
    EXPECT_EQ(vg.pvs.at("U2").device, "");
    EXPECT_EQ(vg.pvs.at("U2").orig_uuid, "OLD2");
    ASSERT_EQ(vg.lvs.size(), 1u);
    EXPECT_EQ(vg.lvs.at("g-1").orig_uuid, "old-g-1");
    EXPECT_TRUE(vg.lvs.at("g-1").pvs.empty());
    // A volume on no disk has no "lv_to_pv" record.
    EXPECT_EQ(vg.metadata,
              "sdg|shdg|99.1.hostA;CA|node1=sw node2=sw;pv|d1|U1;pv|d2|U2;"
              "lv|empty|g-1|vol empty\n\tplex=\n;");
}

// Discovery gives the whole group or fails: a record without the group's id, or one that leaves a
// disk out or gives it another disk's identity, would be noticed only at restore.
TEST_F(VxvmDiscovery, AGroupWithoutItsIdOrADiskWithoutItsUdidIsNoRecord) {
    struct Case {
        const char* name;
        const char* cmd;
        vbtest::Reply reply;
        std::string message;
        const char* thrownBy;
    };
    const Case cases[] = {
        {"no dgid line",
         "vxdg list datadg",
         {0, "Group:     datadg\nimport-id: 1024.11\nflags:     cds\n", ""},
         "Error: 'vxdg list datadg' shows no dgid for the disk group 'datadg'",
         "LVM_vxvm::getDGParameters"},
        {"the udid command fails",
         "vxdisk -g datadg list datadg02",
         {11, "", "VxVM vxdisk ERROR V-5-1-558 Disk datadg02: Disk not in the configuration"},
         "Error: cmd: 'vxdisk -g datadg list datadg02' failed with the error: 'VxVM vxdisk ERROR "
         "V-5-1-558 Disk datadg02: Disk not in the configuration'",
         "LVM_vxvm::getDiskUuid"},
        {"an empty udid",
         "vxdisk -g datadg list datadg02",
         {0, "Device:    emc0_0a1c\nguid:      -\nudid:\nsite:      -\n", ""},
         "Error: the disk 'datadg02' of disk group 'datadg' shows no udid in 'vxdisk -g datadg "
         "list datadg02'",
         "LVM_vxvm::getDiskUuid"},
        {"two disks with one udid",
         "vxdisk -g datadg list datadg03",
         {0, std::string("Device:    emc0_0a1d\nudid:      ") + kUdid1 + "\n", ""},
         std::string("Error: the disks 'datadg01' and 'datadg03' of disk group 'datadg' show the "
                     "same udid '") +
             kUdid1 + "'",
         "LVM_vxvm::populatePV"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.on(c.cmd, c.reply.status, c.reply.out, c.reply.err).allowUnused();
        replayDatadg(fake);
        putDevice("/dev/vx/dsk/datadg/vol01");
        std::string thrownBy;
        EXPECT_EQ(vbtest::failureOf([] { LVM_vxvm().getVGByLVDevice("/dev/vx/dsk/datadg/vol01"); },
                                    &thrownBy),
                  c.message);
        EXPECT_EQ(thrownBy, c.thrownBy);
    }
}

// A volume with a disk change log: VxVM lists the log volume zoo_dcl (usage type gen) beside its
// data volume zoo; the log's disks are the data volume's. A layered volume's subdisks lie under
// the subvolumes its plex holds.
TEST_F(VxvmDiscovery, LogVolumesAndLayeredVolumes) {
    {
        SCOPED_TRACE("disk change log");
        vbtest::FakeRunner fake;
        fake.on("vxdg list zoodg", 0, "Group:     zoodg\ndgid:      77.1.hostA\n")
            .on("vxprint -g zoodg -d -F%name", 0, "disk01\ndisk02\ndisk03\ndisk04\n")
            .on("vxdisk -g zoodg -s list | grep flags:", 0, "flags: online\n")
            .on("vxdisk -g zoodg -qe list", 0, "")
            .on("vxprint -g zoodg -v -F%guid:%name", 0, "{g-zoo}:zoo\n{g-dcl}:zoo_dcl\n")
            .on("vxprint -hqtps -g zoodg", 0,
                vbtest::readFixture("vxvm/real-hosts/vxprint_-hqtps_-g_zoodg.txt"))
            .on("vxprint -g zoodg -mr -v zoo_dcl", 0,
                "vol zoo_dcl\n\tuse_type=gen\n\tplex=zoo_dcl-01,zoo_dcl-02\n")
            .on("vxprint -g zoodg -mr -v zoo", 0,
                "vol zoo\n\tuse_type=fsgen\n\tplex=zoo-01,zoo-02\n");
        for (int i = 1; i <= 4; ++i) {
            const std::string dm = "disk0" + std::to_string(i);
            fake.on("vxdisk -g zoodg list " + dm, 0, "udid: U" + std::to_string(i) + "\n")
                .on("vxprint -g zoodg -ar -d " + dm, 0, "dm " + dm + "\n");
        }
        LVM::VG vg;
        LVM_vxvm::VXDG none;
        LVM_vxvm().populateDG("zoodg", vg, none);
        ASSERT_EQ(vg.lvs.size(), 1u);
        EXPECT_EQ(vg.lvs.at("g-zoo").pvs, (std::list<std::string>{"U1", "U2", "U3", "U4"}));
        EXPECT_EQ(vg.metadata.find("lv|zoo_dcl|"), std::string::npos);
        EXPECT_NE(vg.metadata.find("lv_to_pv|zoo|U1|U2|U3|U4;"), std::string::npos);
    }
    SCOPED_TRACE("layered volume");
    const std::string layered = vbtest::readFixture("vxvm/real-hosts/vxprint_-hqtps_-g_laydg.txt");
    EXPECT_EQ(volbridge::vxvm::parseVolumeDisks(layered, "testvol"),
              (std::list<std::string>{"disk01", "disk02", "disk03", "disk04"}));
    EXPECT_EQ(volbridge::vxvm::parseVolumeDisks(layered, "other"),
              std::list<std::string>{"disk05"});
    EXPECT_EQ(volbridge::vxvm::parseVolumeDisks(layered, "testvol-L02"),
              (std::list<std::string>{"disk03", "disk04"}));
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
    // A release that prints the header row anyway: no device named SUBPATH.
    rows.clear();
    for (const auto& row : volbridge::vxvm::parseDiskPaths(
             vbtest::readFixture("vxvm/real-hosts/vxdisk_-qe_path.txt"))) {
        rows.push_back(row);
    }
    seen.clear();
    for (const auto& row : rows) seen.push_back(row.device + " " + row.vg_name);
    EXPECT_EQ(seen, (std::vector<std::string>{"/dev/sdb datadg", "/dev/sdf datadg",
                                              "/dev/sdc datadg", "/dev/sdd datadg"}));
}

TEST_F(VxvmDiscovery, DeviceListWithoutVxvmOrWithAFailingTool) {
    {
        vbtest::FakeRunner fake;
        fake.on("vxdisk -qe path", 127, "", "sh: 1: vxdisk: not found\n");
        LVM::DeviceInfoList rows;
        EXPECT_FALSE(LVM_vxvm().getPVList(rows).IsError());
        EXPECT_TRUE(rows.empty());
    }
    // Only a missing program means VxVM is not installed; a VxVM error that says "not found" is
    // a failure.
    const vbtest::Reply failures[] = {
        {1, "partial\n", "VxVM vxdisk ERROR V-5-1-15190"},
        {1, "",
         "VxVM vxdisk ERROR V-5-1-16007 Data Corruption Protection Activated - User "
         "Corrective Action Needed: path not found"},
    };
    for (const vbtest::Reply& failure : failures) {
        SCOPED_TRACE(failure.err);
        vbtest::FakeRunner fake;
        fake.on("vxdisk -qe path", failure.status, failure.out, failure.err);
        log_.clear();
        LVM::DeviceInfoList rows;
        const CWmError status = LVM_vxvm().getPVList(rows);
        EXPECT_TRUE(status.IsError());
        EXPECT_EQ(status.GetErrno(), 22);
        EXPECT_EQ(status.GetMessage(), "vxdisk failed");
        EXPECT_TRUE(rows.empty());
        EXPECT_TRUE(log_.contains("CMD:vxdisk -qe path\nOUT:\n" + failure.out + "\nError:\n" +
                                  failure.err));
    }
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
