// Disk naming, the record scanners and the readers of VxVM command output.
#include <gtest/gtest.h>

#include "VxvmSandbox.h"

namespace {

using vbtest::readFixture;

TEST(VxvmNames, GroupNameFromAVolumePath) {
    struct Case {
        const char* path;
        const char* group;  // null: refused
    };
    const Case cases[] = {
        {"/dev/vx/dsk/dg1/vol1", "dg1"},
        {"/dev/vx/rdsk/datadg/vol01", "datadg"},
        {"/dg/vol", "dg"},
        {"vol1", nullptr},
        {"/vol1", nullptr},
        {"", nullptr},
    };
    LVM_vxvm backend;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string group;
        if (c.group) {
            backend.getDGName(c.path, group);
            EXPECT_EQ(group, c.group);
            continue;
        }
        try {
            backend.getDGName(c.path, group);
            ADD_FAILURE() << "accepted";
        } catch (const YbException& e) {
            EXPECT_EQ(
                e.getMessage(),
                std::string("Error: could not obtain group name from dev_path = '") + c.path + "'");
            EXPECT_EQ(e.getFuncName(), "LVM_vxvm::getDGName");
            EXPECT_EQ(e.getFileName(), "LVM_vxvm");
            EXPECT_EQ(e.getErrno(), -1);
        }
    }
}

TEST(VxvmScanners, FieldsAndPositions) {
    const char text[] = "a=b,c d\nsd=x:1";
    EXPECT_EQ(volbridge::vxvm::get_matching_pos_in_field(text, ','), text + 3);
    EXPECT_EQ(volbridge::vxvm::get_matching_pos_in_field(text, ':'), nullptr);  // blank first
    EXPECT_EQ(volbridge::vxvm::get_matching_pos_in_field(text + 8, ':'), text + 12);
    EXPECT_EQ(volbridge::vxvm::get_prev_matching_pos(text + 10, text, '\n'), text + 7);
    EXPECT_EQ(volbridge::vxvm::get_prev_matching_pos(text + 5, text, '\n'), text);

    std::string field = "stale";
    volbridge::vxvm::get_next_field("  \tvol vol01\n", field, ' ');
    EXPECT_EQ(field, "vol");
    volbridge::vxvm::get_next_field(" vol01\n", field, '\n');
    EXPECT_EQ(field, "vol01");
    volbridge::vxvm::get_next_field("vol01", field, '\n');
    EXPECT_EQ(field, "");

    EXPECT_FALSE(volbridge::vxvm::is_mirrored("vol vol01 x=1 plex=vol01-01 export="));
    EXPECT_TRUE(volbridge::vxvm::is_mirrored("vol vol01 x=1 plex=vol01-01,vol01-02 export="));
    EXPECT_FALSE(volbridge::vxvm::is_mirrored("dm d1 da_name=x"));
}

// Records shaped like "vxprint -g dg -ar -d <disk>" (attributes shortened).
const char kDisk010Records[] =
    "dm disk010 da_name=emc0_0010 comment=\"\n"
    "vol mirvol use_type=fsgen plex=mirvol-01,mirvol-02 export=\n"
    "plex mirvol-02 v_name=mirvol state=\"STALE sd=disk010-01:0\n"
    "sd disk010-01 dm_name=disk010 pl_name=mirvol-02 da_name=emc0_0010\n";

// disk01 holds a plex of an unmirrored volume first, then one side of a mirror.
const char kDisk01Records[] =
    "dm disk01 da_name=emc0_0001 comment=\"\n"
    "vol plainvol use_type=fsgen plex=plainvol-01 export=\n"
    "plex plainvol-01 v_name=plainvol state=\"ACTIVE sd=disk01-01:0\n"
    "sd disk01-01 dm_name=disk01 pl_name=plainvol-01 comment=\" da_name=emc0_0001\n"
    "vol mirvol use_type=fsgen plex=mirvol-01,mirvol-02 export=\n"
    "plex mirvol-01 v_name=mirvol state=\"ACTIVE sd=disk01-02:0\n"
    "sd disk01-02 dm_name=disk01 pl_name=mirvol-01 da_name=emc0_0001";

TEST(VxvmScanners, MirrorSideAndStateOfADisk) {
    struct Case {
        const char* name;
        std::string records;
        const char* disk;
        const char* plex;
        PV_STATE state;
    };
    const Case cases[] = {
        {"first side of vol01", readFixture("vxvm/vxprint_-g_datadg_-ar_-d_datadg01.txt"),
         "datadg01", "vol01-01", PV_ACTIVE},
        {"second side of vol01 and a stripe",
         readFixture("vxvm/vxprint_-g_datadg_-ar_-d_datadg02.txt"), "datadg02", "vol01-02",
         PV_ACTIVE},
        {"stripe only", readFixture("vxvm/vxprint_-g_datadg_-ar_-d_datadg03.txt"), "datadg03", "",
         PV_ACTIVE},
        // The disk media name is matched whole: disk01 does not take disk010's plex.
        {"a name that is the start of another", kDisk010Records, "disk01", "", PV_ACTIVE},
        {"the longer name", kDisk010Records, "disk010", "mirvol-02", PV_STALE},
        // The mirror side is found after an unmirrored volume, on the last line of the text.
        {"unmirrored volume listed first", kDisk01Records, "disk01", "mirvol-01", PV_ACTIVE},
        {"state neither active nor stale",
         "vol v plex=v-01,v-02\nplex v-01 v_name=v state=\"IOFAIL\nsd s dm_name=d pl_name=v-01\n",
         "d", "v-01", PV_STATE_UNKNOWN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string plex = "stale";
        volbridge::vxvm::get_mirror_plex(c.records.c_str(), c.disk, plex);
        EXPECT_EQ(plex, c.plex);
        if (plex.empty()) continue;
        PV_STATE state = PV_ACTIVE;
        volbridge::vxvm::set_pv_state(c.records.c_str(), plex.c_str(), state);
        EXPECT_EQ(state, c.state);
    }
    PV_STATE state = PV_ACTIVE;
    volbridge::vxvm::set_pv_state(kDisk01Records, "nosuchplex", state);
    EXPECT_EQ(state, PV_STATE_UNKNOWN);
}

TEST(VxvmReaders, DiskListings) {
    const std::set<std::string> flags = volbridge::vxvm::parseFlagWords(
        readFixture("vxvm/vxdisk_-g_datadg_-s_list__grep_flags.txt"));
    EXPECT_EQ(flags, (std::set<std::string>{"online", "ready", "private", "autoconfig",
                                            "autoimport", "imported"}));

    // The OS native name follows the status words, however many there are.
    struct Case {
        const char* name;
        std::string listing;
        const char* disk;
        const char* osName;  // null: no row names the disk
    };
    const std::string listing = readFixture("vxvm/vxdisk_-g_datadg_-qe_list.txt");
    const Case cases[] = {
        {"first disk", listing, "datadg01", "sdb"},
        {"last disk", listing, "datadg03", "sdd"},
        {"not in the group", listing, "datadg09", nullptr},
        {"several status words",
         "emc0_0a1b auto:cdsdisk datadg01 datadg online ready imported sdb -\n", "datadg01", "sdb"},
        {"a later row wins", "a t d1 g online sdb -\nb t d1 g online sdx -\n", "d1", "sdx"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string osName = "kept";
        const bool found = volbridge::vxvm::parseOsNativeName(c.listing, c.disk, flags, &osName);
        EXPECT_EQ(found, c.osName != nullptr);
        EXPECT_EQ(osName, c.osName ? c.osName : "kept");
    }

    const std::string paths = readFixture("vxvm/vxdisk_-qe_path.txt");
    EXPECT_EQ(volbridge::vxvm::parseDiskPathField(paths, "sdc", 1), "emc0_0a1c");
    EXPECT_EQ(volbridge::vxvm::parseDiskPathField(paths, "sdc", 2), "datadg02");
    EXPECT_EQ(volbridge::vxvm::parseDiskPathField(paths, "sde", 2), "-");
    EXPECT_EQ(volbridge::vxvm::parseDiskPathField(paths, "sdz", 1), "");
    EXPECT_EQ(volbridge::vxvm::parseDiskPathField("sdb emc0\nsdb x y\n", "sdb", 2), "");
    // The header row some releases print is no disk.
    const std::string withHeader = readFixture("vxvm/real-hosts/vxdisk_-qe_path.txt");
    EXPECT_EQ(volbridge::vxvm::parseDiskPathField(withHeader, "SUBPATH", 1), "");
    EXPECT_EQ(volbridge::vxvm::parseDiskPathField(withHeader, "sdf", 1), "emc0_0a1b");
    const auto rows = volbridge::vxvm::parseDiskPathRows(withHeader);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].subpath + " " + rows[0].da + " " + rows[0].dm + " " + rows[0].group,
              "sdb emc0_0a1b datadg01 datadg");
    EXPECT_EQ(rows[4].dm + " " + rows[4].group, "- -");

    EXPECT_EQ(volbridge::vxvm::parseNameList("datadg01\n-\ndatadg02\n"),
              (std::list<std::string>{"datadg01", "datadg02"}));
    EXPECT_TRUE(volbridge::vxvm::parseNameList("").empty());
}

TEST(VxvmReaders, UdidVariants) {
    struct Case {
        const char* name;
        std::string text;
        const char* cuts;
        const char* key;
        const char* udid;  // null: no key token
    };
    const Case cases[] = {
        {"group listing", readFixture("vxvm/vxdisk_-g_datadg_list_datadg01.txt"), ": \t\n", "udid",
         vbtest::kUdid1},
        {"verbose listing, first udid", readFixture("vxvm/vxdisk_-v_list_emc0_0a1c.txt"),
         ": \t\n=", "udid", vbtest::kUdid2},
        {"on-disk udid", readFixture("vxvm/vxdisk_-g_datadg_-v_list_datadg03.txt"),
         ": \t\n=", "udid_asl", vbtest::kUdid3},
        {"key in another case", "UDID: X1\n", ": \t\n", "udid", "X1"},
        {"key at the very end", "guid: -\nudid:", ": \t\n", "udid", ""},
        // Not the next line's first word: the disk has no udid.
        {"key with nothing after it on its line", "udid:\nsite:      -\n", ": \t\n", "udid", ""},
        {"no key", "guid: -\n", ": \t\n", "udid", nullptr},
        {"empty output", "", ": \t\n", "udid", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string udid = "kept";
        EXPECT_EQ(volbridge::vxvm::parseKeyedToken(c.text, c.cuts, c.key, &udid),
                  c.udid != nullptr);
        EXPECT_EQ(udid, c.udid ? c.udid : "kept");
    }
}

class VxvmDisks : public vbtest::VxvmSandbox {};

TEST_F(VxvmDisks, NamesThroughTheTools) {
    vbtest::FakeRunner fake;
    replayDatadg(fake);
    LVM_vxvm backend;

    std::string value;
    backend.getDiskField("/dev/sdd", 1, value);
    EXPECT_EQ(value, "emc0_0a1d");
    backend.getDiskField("sdb", 2, value);
    EXPECT_EQ(value, "datadg01");
    backend.getDiskField("/dev/sdq", 1, value);
    EXPECT_EQ(value, "");
    // A link (as udev makes them) is looked up as the device it leads to.
    putDevice("/dev/sdc");
    putLink("/dev/disk/by-id/wwn-0x60000970000197600123533030314143", "../../sdc");
    backend.getDiskField("/dev/disk/by-id/wwn-0x60000970000197600123533030314143", 1, value);
    EXPECT_EQ(value, "emc0_0a1c");
    putLink("/dev/disk/by-id/gone", "../../sdz");
    EXPECT_NE(vbtest::failureOf([&] {
                  backend.getDiskField("/dev/disk/by-id/gone", 1, value);
              }).find("is a symbolic link that leads nowhere"),
              std::string::npos);

    std::string path = "kept";
    backend.getDiskOSName("datadg", "datadg02", path);
    EXPECT_EQ(path, "/dev/sdc");
    backend.getDiskOSName("datadg", "datadg09", path);
    EXPECT_EQ(path, "/dev/sdc");
    putDevice("/dev/dsk/sdd");
    backend.getDiskOSName("datadg", "datadg03", path);
    EXPECT_EQ(path, "/dev/dsk/sdd");

    std::string udid;
    EXPECT_EQ(backend.getDiskUuid("datadg", "datadg02", udid), 0);
    EXPECT_EQ(udid, vbtest::kUdid2);
    EXPECT_EQ(backend.getOnDiskUuid("datadg", "datadg01", udid), 0);
    EXPECT_EQ(udid, vbtest::kUdid1);
    EXPECT_EQ(volbridge::vxvm::getDiskUuidForDisk("emc0_0a1d", udid), 0);
    EXPECT_EQ(udid, vbtest::kUdid3);
    backend.getDiskidFromOSName("datadg", "/dev/sdb", udid);
    EXPECT_EQ(udid, vbtest::kUdid1);

    std::list<std::string> names{"first"};
    backend.getDiskList("datadg", names);
    volbridge::vxvm::getDmNamesList("datadg", names);
    EXPECT_EQ(names, (std::list<std::string>{"first", "emc0_0a1b", "emc0_0a1c", "emc0_0a1d",
                                             "datadg01", "datadg02", "datadg03"}));
    EXPECT_EQ(backend.convertDiskNameToDAName("datadg01"), "-");
    EXPECT_EQ(backend.convertDANameToDiskName("emc0_0a1b"), "-");
    EXPECT_EQ(volbridge::vxvm::convertDiskNameToDiskMediaName("x"), "-");
}

TEST_F(VxvmDisks, FailedCommandsThrowWhereTheOutputIsNeededAndAreLoggedElsewhere) {
    vbtest::FakeRunner fake;
    fake.on("vxdisk -g dg -s list | grep flags:", 1, "", "boom1")
        .on("vxdisk -g dg -s list | grep flags:", 0, "flags: online\n")
        .on("vxdisk -g dg -qe list", 2, "", "boom2")
        .on("vxprint -g dg -ar -d d1", 3, "", "boom3")
        .on("vxprint -g dg -d -F%name", 4, "", "boom4")
        .on("vxprint -g dg -d -F%da_name", 5, "", "boom5")
        .on("vxdisk -g dg list d1", 1, "", "no such disk")
        .on("vxdisk -v list emc0_0a1z", 1, "", "no such da")
        .on("vxdisk -qe path", 1, "", "no paths");
    LVM_vxvm backend;
    std::string out;
    std::list<std::string> names;
    struct Case {
        const char* name;
        std::function<void()> call;
        const char* func;
        const char* message;
    };
    const Case cases[] = {
        {"flags", [&] { backend.getDiskOSName("dg", "d1", out); }, "LVM_vxvm::getDiskOSName",
         "Error: cmd: 'vxdisk -g dg -s list | grep flags:' failed with error: 'boom1'"},
        {"listing", [&] { backend.getDiskOSName("dg", "d1", out); }, "LVM_vxvm::getDiskOSName",
         "Error: cmd: 'vxdisk -g dg -qe list' failed with the error: 'boom2'"},
        {"records", [&] { volbridge::vxvm::get_disk_info("dg", "d1", out); },
         "LVM_vxvm::get_disk_info",
         "Error: cmd: 'vxprint -g dg -ar -d d1' failed with the error: 'boom3'"},
        {"media names", [&] { volbridge::vxvm::getDmNamesList("dg", names); }, "::getDmNamesList",
         "Error: cmd: 'vxprint -g dg -d -F%name' failed with the error: 'boom4'"},
        {"access names", [&] { backend.getDiskList("dg", names); }, "LVM_vxvm::getDiskList",
         "Error: cmd: 'vxprint -g dg -d -F%da_name' failed with the error: 'boom5'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.call();
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getMessage(), c.message);
            EXPECT_EQ(e.getFuncName(), c.func);
        }
    }
    std::string udid = "kept";
    EXPECT_EQ(backend.getDiskUuid("dg", "d1", udid), 1);
    EXPECT_EQ(volbridge::vxvm::getDiskUuidForDisk("emc0_0a1z", udid), 1);
    EXPECT_EQ(udid, "kept");
    backend.getDiskField("/dev/sdb", 1, out);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(
        log_.contains("Info: cmd: 'vxdisk -g dg list d1' failed with the message: 'no such disk'"));
    EXPECT_TRUE(log_.contains(
        "Info: cmd: 'vxdisk -v list emc0_0a1z' failed with the message: 'no such da'"));
    EXPECT_TRUE(log_.contains("Info: cmd: 'vxdisk -qe path' failed with the message: 'no paths'"));
    EXPECT_TRUE(names.empty());
}

TEST_F(VxvmDisks, NamesThatTheShellWouldReadAreRefusedBeforeAnyCommand) {
    vbtest::FakeRunner fake;
    LVM_vxvm backend;
    std::string out;
    std::list<std::string> names;
    EXPECT_THROW(backend.getDiskOSName("dg;reboot", "d1", out), YbException);
    EXPECT_THROW(backend.getDiskUuid("dg", "d1 d2", out), YbException);
    EXPECT_THROW(backend.getDiskList("$(id)", names), YbException);
    EXPECT_THROW(volbridge::vxvm::get_disk_info("dg", "-d1", out), YbException);
    EXPECT_THROW(volbridge::vxvm::getDiskUuidForDisk("a|b", out), YbException);
    EXPECT_TRUE(fake.commands().empty());
}

}  // namespace
