// The LVM2 group listing (lvs), the device listing (pvdisplay -c) and the tokenizers.
#include <gtest/gtest.h>

#include "FakeRunner.h"
#include "Fixtures.h"
#include "LVM/LVM.h"
#include "host/HostSeams.h"
#include "linux_lvm/lvm2_listing.h"
#include "linux_lvm/lvm2_tokens.h"

namespace {

using volbridge::lvm2::parseLvsListing;
using volbridge::lvm2::parsePvdisplayColon;

const char* const kLvsWithLvs = "lvs -o vg_name,vg_uuid,lv_name,lv_uuid,lv_attr";

TEST(Tokens, WhitespaceTokenCrossesLinesAndStopsBeforeBlank) {
    const char* p = "  one\t\n two  ";
    EXPECT_EQ(volbridge::lvm2::getToken(p), "one");
    EXPECT_EQ(*p, '\t');
    EXPECT_EQ(volbridge::lvm2::getToken(p), "two");
    EXPECT_EQ(volbridge::lvm2::getToken(p), "");
    EXPECT_EQ(volbridge::lvm2::getToken(p), "");
}

TEST(Tokens, SeparatorFieldStaysOnItsLine) {
    const char* p = "a\3\3b\nc";
    bool more = false;
    EXPECT_EQ(volbridge::lvm2::getToken(p, '\3', &more), "a");
    EXPECT_TRUE(more);
    EXPECT_EQ(volbridge::lvm2::getToken(p, '\3', &more), "");
    EXPECT_TRUE(more);
    EXPECT_EQ(volbridge::lvm2::getToken(p, '\3', &more), "b");
    EXPECT_FALSE(more);
    EXPECT_EQ(*p, '\n');  // the newline is not consumed
    EXPECT_EQ(volbridge::lvm2::getToken(p, '\3', &more), "");
    EXPECT_FALSE(more);
}

TEST(LvsListing, CapturedOutputWithAWarningBeforeTheHeader) {
    std::list<LVM::VG> vgs =
        parseLvsListing(vbtest::readFixture("lvm2/lvs/five-groups-warning-first.txt"), true);
    ASSERT_EQ(vgs.size(), 5u);
    std::vector<std::string> names;
    for (const LVM::VG& vg : vgs) {
        names.push_back(vg.name);
        EXPECT_EQ(vg.name, vg.orig_name);
        EXPECT_EQ(vg.uuid, vg.orig_uuid);
        EXPECT_EQ(vg.vendor, "LinuxLVM");
        EXPECT_TRUE(vg.pvs.empty());
        EXPECT_TRUE(vg.metadata.empty());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"smp_linear", "smp_mirror", "smp_mixed", "smp_snap",
                                               "smp_striped"}));

    const LVM::VG& linear = vgs.front();
    EXPECT_EQ(linear.uuid, "J08Rg3-CEQV-agPX-nhmR-mwzF-FdIt-tJJnRV");
    ASSERT_EQ(linear.lvs.size(), 3u);
    const LVM::LV& lv1 = linear.lvs.at("FxtuEJ-q3Ob-Lhd3-XWkX-nQNy-M3Py-LndLlf");
    EXPECT_EQ(lv1.device, "/dev/smp_linear/lv1");
    EXPECT_EQ(lv1.orig_uuid, lv1.uuid);

    // Snapshots ("swi") are left out; their origins ("owi", ordinary LVs with data) and mirrors
    // ("mwi") stay.
    auto devicesOf = [](const LVM::VG& vg) {
        std::vector<std::string> devices;
        for (const auto& entry : vg.lvs) devices.push_back(entry.second.device);
        std::sort(devices.begin(), devices.end());
        return devices;
    };
    auto mixed = std::next(vgs.begin(), 2);
    EXPECT_EQ(devicesOf(*mixed),
              (std::vector<std::string>{"/dev/smp_mixed/data", "/dev/smp_mixed/root",
                                        "/dev/smp_mixed/span", "/dev/smp_mixed/stripe"}));
    // A group whose only LVs are a snapshot and its origin is listed with the origin.
    auto snap = std::next(vgs.begin(), 3);
    EXPECT_EQ(snap->name, "smp_snap");
    EXPECT_EQ(devicesOf(*snap), (std::vector<std::string>{"/dev/smp_snap/origin"}));

    // Row by row, the snapshots are there too.
    size_t snapshots = 0;
    for (const volbridge::lvm2::LvsRow& row : volbridge::lvm2::parseLvsRows(
             vbtest::readFixture("lvm2/lvs/five-groups-warning-first.txt"))) {
        snapshots += row.attr[0] == 's';
    }
    EXPECT_EQ(snapshots, 2u);
}

TEST(LvsListing, WithoutLvsEveryRowIsAnEntry) {
    const char* text =
        "  VG  VG UUID\n"
        "  vg1 aaaaaa-1111-1111-1111-1111-1111-aaaaaa\n"
        "  vg1 aaaaaa-1111-1111-1111-1111-1111-aaaaaa\n"
        "  vg1 aaaaaa-1111-1111-1111-1111-1111-aaaaaa\n"
        "  vg2 bbbbbb-2222-2222-2222-2222-2222-bbbbbb\n";
    std::list<LVM::VG> vgs = parseLvsListing(text, false);
    ASSERT_EQ(vgs.size(), 4u);
    EXPECT_EQ(vgs.front().name, "vg1");
    EXPECT_TRUE(vgs.front().lvs.empty());
    EXPECT_EQ(vgs.back().uuid, "bbbbbb-2222-2222-2222-2222-2222-bbbbbb");
}

TEST(LvsListing, OddInputs) {
    struct Case {
        const char* name;
        const char* text;
        size_t groups;
    } cases[] = {
        {"empty output", "", 0},
        {"header only", "  VG VG UUID LV LV UUID Attr\n", 0},
        {"no header at all", "  vg1 u1 lv1 l1 -wi-a-----\n", 0},
        {"header without the final newline", "VG VG UUID LV LV UUID Attr", 0},
        {"row without newline at the end", "VG VG UUID LV LV UUID Attr\nvg1 u1 lv1 l1 -wi\n", 1},
        {"row cut after the group", "VG VG UUID LV LV UUID Attr\nvg1 u1\n", 1},
        {"a line before the header", "  Reading all\nVG VG UUID LV LV UUID Attr\nvg1 u1 a l1 x\n",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parseLvsListing(c.text, true).size(), c.groups);
    }
}

TEST(GetVGs, RunsLvsAndKeepsRowsOfANonzeroExit) {
    vbtest::FakeRunner fake;
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    fake.on(kLvsWithLvs, 5, vbtest::readFixture("lvm2/lvs/five-groups-warning-first.txt"),
            "  WARNING: something\n");
    EXPECT_EQ(LVM_linux_lvm::getVGs(true).size(), 5u);
    EXPECT_EQ(fake.commands(), (std::vector<std::string>{kLvsWithLvs}));
    EXPECT_FALSE(log.contains("Failed to query"));
}

TEST(GetVGs, FailedListingGivesAnEmptyListAndAnErrorLine) {
    vbtest::FakeRunner fake;
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, -1);
    fake.on("lvs -o vg_name,vg_uuid", 3, "", "  /run/lock/lvm: permission denied\n");
    EXPECT_TRUE(LVM_linux_lvm::getVGs(false).empty());
    EXPECT_TRUE(log.contains("ERROR LVM_linux_lvm::getVGs:")) << log.records().size();
    EXPECT_TRUE(log.contains(
        "Failed to query Linux LVM info: rc=3, error=  /run/lock/lvm: permission denied\n"));
}

TEST(PvdisplayColon, CapturedOutput) {
    LVM::DeviceInfoList rows =
        parsePvdisplayColon(vbtest::readFixture("lvm2/pvdisplay/c-five-groups-warning-first.txt"));
    ASSERT_EQ(rows.size(), 12u);  // the WARNING line gives no row
    EXPECT_EQ(rows.front().device, "/dev/loop9");
    EXPECT_EQ(rows.front().vg_name, "smp_mixed");
    EXPECT_EQ(rows.front().vendor, "LinuxLVM");
    EXPECT_EQ(rows.back().device, "/dev/loop1");
    EXPECT_EQ(rows.back().vg_name, "smp_linear");
}

TEST(PvdisplayColon, MessagesAndPvsWithoutGroup) {
    const char* text =
        "  \"/dev/loop0\" is a new physical volume of \"64.00 MiB\"\n"
        "  /dev/loop0::131072:-1:0:0:-1:0:0:0:0:xTsTpk-AIcq-oKwW-pIlV-PMzY-dT2L-YbEm03\n"
        "\n"
        "\t/dev/sdb:data:1:2\t\n"
        "  WARNING: Couldn't find device with uuid abc.\n";
    LVM::DeviceInfoList rows = parsePvdisplayColon(text);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows.front().device, "/dev/loop0");
    EXPECT_EQ(rows.front().vg_name, "");
    EXPECT_EQ(rows.back().device, "/dev/sdb");
    EXPECT_EQ(rows.back().vg_name, "data");
}

TEST(GetPVList, AppendsRowsOnSuccess) {
    vbtest::FakeRunner fake;
    fake.on("pvdisplay -c", 0, "  /dev/sdc:vg9:1:2:3\n");
    LVM_linux_lvm backend;
    LVM::DeviceInfoList list{{"/dev/vx/dmp/disk0", "VxVM", "dg"}};
    EXPECT_FALSE(backend.getPVList(list).IsError());
    ASSERT_EQ(list.size(), 2u);  // appended, not cleared
    EXPECT_EQ(list.back().device, "/dev/sdc");
    EXPECT_EQ(list.back().vendor, "LinuxLVM");
}

TEST(GetPVList, FailureReturnsErrno22AndLeavesTheListAlone) {
    vbtest::FakeRunner fake;
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, -1);
    fake.on("pvdisplay -c", 5, "  /dev/sdc:vg9:1\n", "  Locking failed\n");
    LVM_linux_lvm backend;
    LVM::DeviceInfoList list;
    CWmError status = backend.getPVList(list);
    EXPECT_TRUE(status.IsError());
    EXPECT_EQ(status.GetErrno(), 22);
    EXPECT_EQ(status.GetMessage(), "pvdisplay failed");
    ASSERT_EQ(status.GetLocations().size(), 1u);
    EXPECT_EQ(status.GetLocations()[0].file, "LVM_linux_lvm");
    EXPECT_EQ(status.GetLocations()[0].function,
              "virtual CWmError LVM_linux_lvm::getPVList(LVM::DeviceInfoList&)");
    EXPECT_EQ(status.GetLocations()[0].line, 2294);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(
        log.contains("CMD:pvdisplay -c\nOUT:\n  /dev/sdc:vg9:1\n\nError:\n  Locking failed\n"));
}

}  // namespace

namespace {

// The "pvs" report of devices that clone import asks for, captured on real LVM2: an original,
// two copies set aside beside their originals, and a PV of no group; message lines are no rows.
TEST(PvsReport, RowsOfDevicesWithTheirGroupsAndDuplicates) {
    using volbridge::lvm2::PvsRow;
    const std::string captured = vbtest::readFixture("lvm2/pvs/duplicates-and-a-free-pv.txt");
    const char* const group = "2pmn5h-TKa3-N0oV-31Xr-VuIj-bbZd-cgrjL5";
    struct Case {
        const char* name;
        std::string text;
        std::vector<PvsRow> rows;
    } cases[] = {
        {"captured",
         captured,
         {{"/dev/loop0", "YNDByI-OYHw-brJd-NW9k-q6DU-MmAA-NJJLos", "vbexpsrc", group, false},
          {"/dev/loop2", "YNDByI-OYHw-brJd-NW9k-q6DU-MmAA-NJJLos", "vbexpsrc", group, true},
          {"/dev/loop3", "TbezoU-D8Xt-DXC3-teIl-Fu0r-I1sX-oT13jS", "vbexpsrc", group, true},
          {"/dev/loop4", "hgJSyI-GRdH-afoQ-XYNf-3SK7-nkFd-xcSZKO", "", "", false}}},
        {"messages and short lines",
         "  WARNING: Not using device /dev/loop2 for PV x.\n  /dev/loop5|id|vg\n"
         "  Cannot use /dev/loop6: device is rejected by filter config\n",
         {}},
        {"empty", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<PvsRow> rows = volbridge::lvm2::parsePvsRows(c.text);
        ASSERT_EQ(rows.size(), c.rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].device, c.rows[i].device);
            EXPECT_EQ(rows[i].pvUuid, c.rows[i].pvUuid);
            EXPECT_EQ(rows[i].vgName, c.rows[i].vgName);
            EXPECT_EQ(rows[i].vgUuid, c.rows[i].vgUuid);
            EXPECT_EQ(rows[i].duplicate, c.rows[i].duplicate);
        }
    }
}

}  // namespace
