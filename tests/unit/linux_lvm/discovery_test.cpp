// Discovery through a fake runner: the group's metadata from its backup file, its PVs and LVs,
// mirror PVs and mirror synchronisation, and the lookups' failures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "FakeDisks.h"
#include "FakeRunner.h"
#include "Fixtures.h"
#include "LVM/LVM.h"
#include "core/ScopedOverride.h"
#include "host/HostSeams.h"
#include "host/YbException.h"
#include "linux_lvm/lvm2_discovery.h"

namespace {

using volbridge::lvm2::parseMirrorSyncReport;

const char kListing[] = "vgs --foreign --shared -o vg_name,vg_uuid";
const char kSync[] = "lvs --separator \3";

// What a test compares: each LV as "<device> <state> <first 6 characters of each PV id>", and
// the PVs that carry the mirror marker, by the same 6 characters.
struct Summary {
    std::vector<std::string> lvs;
    std::string marked;
    bool operator==(const Summary& o) const { return lvs == o.lvs && marked == o.marked; }
};

std::ostream& operator<<(std::ostream& os, const Summary& s) {
    for (const std::string& lv : s.lvs) os << "[" << lv << "] ";
    return os << "marked: " << s.marked;
}

Summary summarize(const LVM::VG& vg) {
    Summary s;
    for (const auto& [uuid, lv] : vg.lvs) {
        EXPECT_EQ(uuid, lv.uuid);
        EXPECT_EQ(lv.uuid, lv.orig_uuid);
        std::string line = lv.device + " " + std::to_string(lv.state);
        for (const std::string& pv : lv.pvs) line += " " + pv.substr(0, 6);
        s.lvs.push_back(line);
    }
    std::sort(s.lvs.begin(), s.lvs.end());
    for (const auto& [uuid, pv] : vg.pvs) {
        EXPECT_EQ(uuid, pv.uuid);
        EXPECT_EQ(pv.uuid, pv.orig_uuid);
        EXPECT_EQ(pv.state, PV_ACTIVE);
        if (pv.mirror_id == "ABRACADABRA") {
            s.marked += (s.marked.empty() ? "" : " ") + uuid.substr(0, 6);
        } else {
            EXPECT_EQ(pv.mirror_id, "");
        }
    }
    return s;
}

// Report text written with "|" for the separator, the character with code 3.
std::string columns(std::string text) {
    std::replace(text.begin(), text.end(), '|', '\3');
    return text;
}

// The captured report with the copy percentage of `lv`'s row set to `percent`.
std::string withCopyPercent(std::string report, const std::string& lv, const std::string& pct) {
    size_t row = report.find("  " + lv + "\3");
    size_t end = report.find('\n', row);
    size_t lastSep = report.rfind('\3', end);
    size_t copySep = report.rfind('\3', lastSep - 1);
    report.replace(copySep + 1, lastSep - copySep - 1, pct);
    return report;
}

class Discovery : public ::testing::Test {
  protected:
    // Answers "vgcfgbackup -f FILE <vg>" by writing `text` into FILE, once.
    void backupWrites(vbtest::FakeRunner& fake, const std::string& vg, const std::string& text) {
        fake.onMatch("vgcfgbackup -f (\\S+) " + vg, [text](const std::string& cmd) {
            std::ofstream(cmd.substr(15, cmd.rfind(' ') - 15), std::ios::trunc) << text;
            return vbtest::Reply{};
        });
    }

    std::vector<std::string> commands(const vbtest::FakeRunner& fake) const {
        return disks_.withoutTempPaths(fake.commands());
    }

    static std::string listing(const std::string& vg, const std::string& uuid) {
        return "  VG VG UUID\n  " + vg + " " + uuid + "\n";
    }

    vbtest::FakeDisks disks_;  // the host's temporary directory, checked for leftovers
};

TEST_F(Discovery, GroupsFromCapturedMetadata) {
    const std::string report = vbtest::readFixture("lvm2/lvs/mirror-separator3.txt");
    const char* mirrorUuid = "DEAEgn-eq2G-StqF-Zhd0-S7CX-HlOB-2stmWg";
    // mirror.vg: pv0 YDjawp, pv1 WhgsbW, pv2 KPm2xW; mirlv = images on pv0, pv1 + log on pv2,
    // mircore = images on pv0, pv1 and no log.
    const Summary mirrorLvs50 = {
        {"/dev/smp_mirror/mircore 4 WhgsbW YDjawp", "/dev/smp_mirror/mirlv 1 KPm2xW WhgsbW YDjawp"},
        "KPm2xW WhgsbW YDjawp"};
    struct Case {
        const char* name;
        const char* fixture;
        std::string vg;
        std::string uuid;
        const char* report;  // answer to the synchronisation report; null: it must not run
        Summary expected;
    } cases[] = {
        {"linear, one LV over two segments",
         "lvm2/metadata/linear-2pv-3lv.vg",
         "smp_linear",
         "J08Rg3-CEQV-agPX-nhmR-mwzF-FdIt-tJJnRV",
         nullptr,
         {{"/dev/smp_linear/lv1 1 pFkwpl", "/dev/smp_linear/lv2 1 xyQEaJ",
           "/dev/smp_linear/lv3 1 pFkwpl xyQEaJ"},
          ""}},
        {"mirrors at 50.00 and 100.00", "lvm2/metadata/mirror.vg", "smp_mirror", mirrorUuid, "",
         mirrorLvs50},
        {"both mirrors in sync",
         "lvm2/metadata/mirror.vg",
         "smp_mirror",
         mirrorUuid,
         "",
         {{"/dev/smp_mirror/mircore 1 WhgsbW YDjawp",
           "/dev/smp_mirror/mirlv 1 KPm2xW WhgsbW YDjawp"},
          "KPm2xW WhgsbW YDjawp"}},
        {"inactive mirrors report no percentage",
         "lvm2/metadata/mirror.vg",
         "smp_mirror",
         mirrorUuid,
         "",
         {{"/dev/smp_mirror/mircore 4 WhgsbW YDjawp",
           "/dev/smp_mirror/mirlv 4 KPm2xW WhgsbW YDjawp"},
          "KPm2xW WhgsbW YDjawp"}},
        {"snapshot, its store and mirror parts are not LVs",
         "lvm2/metadata/mixed-3pv.vg",
         "smp_mixed",
         "iZ20ux-UsWP-Ds1R-4hjT-32ky-7wjP-asnZYT",
         "",
         {{"/dev/smp_mixed/data 1 0dzRhq 8m9V4B mF5Nbd", "/dev/smp_mixed/root 1 mF5Nbd",
           "/dev/smp_mixed/span 1 0dzRhq", "/dev/smp_mixed/stripe 1 0dzRhq 8m9V4B mF5Nbd"},
          "0dzRhq 8m9V4B mF5Nbd"}},
    };
    // The reports of the mirror cases, in table order.
    const std::string reports[] = {
        withCopyPercent(withCopyPercent(report, "mircore", "50.00"), "mirlv", "100.00"),
        withCopyPercent(withCopyPercent(report, "mircore", "100.00"), "mirlv", "100.00"),
        report,
        columns("  LV|VG|Attr|LSize|Pool|Origin|Data%|Meta%|Move|Log|Cpy%Sync|Convert\n"
                "  data|smp_mixed|mwi-XXm---|16.00m||||||[data_mlog]|100.00|\n"),
    };
    size_t nextReport = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.on(kListing, 0, listing(c.vg, c.uuid));
        const std::string text = vbtest::readFixture(c.fixture);
        backupWrites(fake, c.vg, text);
        std::vector<std::string> expectedCommands = {kListing, "vgcfgbackup -f FILE " + c.vg};
        if (c.report) {
            fake.on(kSync, 0, reports[nextReport++]);
            expectedCommands.push_back(kSync);
        }
        LVM_linux_lvm backend;
        LVM::VG vg = backend.getVGByUUID(c.uuid.c_str());
        EXPECT_EQ(commands(fake), expectedCommands);
        EXPECT_EQ(vg.name, c.vg);
        EXPECT_EQ(vg.uuid, c.uuid);
        EXPECT_EQ(vg.vendor, "LinuxLVM");
        EXPECT_EQ(vg.metadata, text);
        EXPECT_EQ(summarize(vg), c.expected);
    }
}

TEST_F(Discovery, SynchronisationCountsOnlyThisGroupsRows) {
    // Another group's mirror with the same name, and a snapshot whose origin column names the
    // mirror, must not change this group's mirror.
    const std::string report = columns(
        "  LV|VG|Attr|LSize|Pool|Origin|Data%|Meta%|Move|Log|Cpy%Sync|Convert\n"
        "  mirlv|other|mwi-a-m---|16.00m||||||[mirlv_mlog]|12.50|\n"
        "  snap|other|swi-a-s---|8.00m||mirlv|0.01|||||\n"
        "  mirlv|smp_mirror|mwi-a-m---|16.00m||||||[mirlv_mlog]|100.00|\n"
        "  mircore|smp_mirror|mwi-a-m---|8.00m|||||||100.00|\n");
    vbtest::FakeRunner fake;
    fake.on(kListing, 0, listing("smp_mirror", "DEAEgn-eq2G-StqF-Zhd0-S7CX-HlOB-2stmWg"));
    backupWrites(fake, "smp_mirror", vbtest::readFixture("lvm2/metadata/mirror.vg"));
    fake.on(kSync, 0, report);
    LVM::VG vg = LVM_linux_lvm().getVGByUUID("DEAEgn-eq2G-StqF-Zhd0-S7CX-HlOB-2stmWg");
    ASSERT_EQ(vg.lvs.size(), 2u);
    for (const auto& entry : vg.lvs) EXPECT_EQ(entry.second.state, 1) << entry.second.device;
}

TEST_F(Discovery, FailedSynchronisationReportKeepsStatesAndLogsIt) {
    vbtest::FakeRunner fake;
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    fake.on(kListing, 0, listing("smp_mirror", "DEAEgn-eq2G-StqF-Zhd0-S7CX-HlOB-2stmWg"));
    backupWrites(fake, "smp_mirror", vbtest::readFixture("lvm2/metadata/mirror.vg"));
    fake.on(kSync, 5, "", "  Locking failed\n");
    LVM::VG vg = LVM_linux_lvm().getVGByUUID("DEAEgn-eq2G-StqF-Zhd0-S7CX-HlOB-2stmWg");
    ASSERT_EQ(vg.lvs.size(), 2u);
    for (const auto& entry : vg.lvs) EXPECT_EQ(entry.second.state, 1);
    EXPECT_TRUE(log.contains("ERROR job=42 LVM_linux_lvm::populateVG:"));
    EXPECT_TRUE(log.contains(std::string(kSync) + " failed:   Locking failed\n"));
}

TEST_F(Discovery, PopulateLogsItsProgress) {
    vbtest::FakeRunner fake;
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 2);
    fake.on(kListing, 0, listing("smp_linear", "J08Rg3-CEQV-agPX-nhmR-mwzF-FdIt-tJJnRV"));
    backupWrites(fake, "smp_linear", vbtest::readFixture("lvm2/metadata/linear-2pv-3lv.vg"));
    LVM_linux_lvm().getVGByUUID("J08Rg3-CEQV-agPX-nhmR-mwzF-FdIt-tJJnRV");
    for (const char* line :
         {"L2 job=42 LVM_linux_lvm::populateVG:", "Populating PV info for VG smp_linear",
          "Found 2 PVs", "Populating LV info for VG smp_linear", "Found 3 LVs"}) {
        EXPECT_TRUE(log.contains(line)) << line;
    }
}

TEST_F(Discovery, UnknownUuidGivesAnEmptyRecordWithoutABackup) {
    vbtest::FakeRunner fake;
    fake.on(kListing, 0, listing("smp_linear", "J08Rg3-CEQV-agPX-nhmR-mwzF-FdIt-tJJnRV"));
    LVM::VG vg = LVM_linux_lvm().getVGByUUID("nothere-0000");
    EXPECT_TRUE(vg.name.empty() && vg.uuid.empty() && vg.metadata.empty() && vg.vendor.empty());
    EXPECT_TRUE(vg.lvs.empty() && vg.pvs.empty());
    EXPECT_EQ(fake.commands(), std::vector<std::string>{kListing});
}

TEST_F(Discovery, MetadataThatCannotBeUsedFailsTheLookup) {
    const std::string other = vbtest::readFixture("lvm2/metadata/linear-2pv-3lv.vg");
    struct Case {
        const char* name;
        vbtest::Reply reply;
        std::function<void(const std::string& file)> write;
        std::string func;
        std::string message;  // how it begins
    } cases[] = {
        {"vgcfgbackup fails",
         {5, "", "  Volume group \"vgx\" not found\n"},
         [](const std::string&) {},
         "LVM_linux_lvm::readVGMetadata",
         "Could not read metadata for VG vgx: vgcfgbackup failed: Volume group \"vgx\" not "
         "found"},
        {"the file cannot be read",
         {},
         [](const std::string& file) {
             unlink(file.c_str());
             ASSERT_EQ(mkdir(file.c_str(), 0700), 0);
         },
         "LVM_linux_lvm::readVGMetadata",
         "Reading from metadata file "},
        {"the file holds no group",
         {},
         [](const std::string& file) { std::ofstream(file) << "contents = \"x\"\n"; },
         "crossCheckMeta",
         "Can't find VG node in metadata of VG vgx"},
        // With two groups of one name LVM2 may describe the other one.
        {"the file holds another group",
         {},
         [&other](const std::string& file) { std::ofstream(file) << other; },
         "LVM_linux_lvm::readVGMetadata",
         "Could not read metadata for VG vgx: LVM2 described the group with UUID "
         "J08Rg3-CEQV-agPX-nhmR-mwzF-FdIt-tJJnRV, not u-1 (do two groups bear that name?)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.on(kListing, 0, listing("vgx", "u-1"));
        fake.onMatch("vgcfgbackup -f (\\S+) vgx", [&c](const std::string& cmd) {
            c.write(cmd.substr(15, cmd.rfind(' ') - 15));
            return c.reply;
        });
        try {
            LVM_linux_lvm().getVGByUUID("u-1");
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getFuncName(), c.func);
            EXPECT_EQ(e.getFileName(), "LVM_linux_lvm");
            EXPECT_EQ(e.getMessage().rfind(c.message, 0), 0u) << e.getMessage();
        }
        // The directory made in place of the temporary file is this test's to remove.
        std::istringstream left(disks_.host().leftoverTempFiles());
        for (std::string name; left >> name;) rmdir(disks_.host().tempFile(name).c_str());
    }
}

// A PV that LVM2 cannot find is reported as missing, not as active at the path it had.
TEST_F(Discovery, MissingPvHasNoDeviceAndAnUnknownState) {
    std::string text = vbtest::readFixture("lvm2/metadata/linear-2pv-3lv.vg");
    const std::string pv1 = "pv1 {";
    const size_t at = text.find("flags = []", text.find(pv1));
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 10, "flags = [\"MISSING\"]");
    vbtest::FakeRunner fake;
    fake.on(kListing, 0, listing("smp_linear", "J08Rg3-CEQV-agPX-nhmR-mwzF-FdIt-tJJnRV"));
    backupWrites(fake, "smp_linear", text);
    LVM::VG vg = LVM_linux_lvm().getVGByUUID("J08Rg3-CEQV-agPX-nhmR-mwzF-FdIt-tJJnRV");
    ASSERT_EQ(vg.pvs.size(), 2u);
    size_t missing = 0;
    for (const auto& [uuid, pv] : vg.pvs) {
        if (pv.state == PV_STATE_UNKNOWN) {
            ++missing;
            EXPECT_EQ(pv.device, "") << uuid;
        } else {
            EXPECT_EQ(pv.state, PV_ACTIVE);
            EXPECT_FALSE(pv.device.empty());
        }
    }
    EXPECT_EQ(missing, 1u);
}

TEST_F(Discovery, GroupNamesAreCheckedBeforeUse) {
    struct Case {
        const char* name;
        std::function<void()> call;
    } cases[] = {
        {"shell characters in the listed name",
         [] {
             vbtest::FakeRunner fake;
             fake.on(kListing, 0, "  VG VG UUID\n  vg;reboot u-1\n");
             LVM_linux_lvm().getVGByUUID("u-1");
         }},
        {"shell characters in a name given to read",
         [] {
             vbtest::FakeRunner fake;
             volbridge::lvm2::readVGMetadata("vg$(id)", "");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(c.call(), YbException);
    }
}

TEST(MirrorSyncReport, CapturedAndOddLines) {
    std::vector<volbridge::lvm2::LvsSyncRow> rows =
        parseMirrorSyncReport(vbtest::readFixture("lvm2/lvs/mirror-separator3.txt"));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].lv, "mircore");
    EXPECT_EQ(rows[0].vg, "smp_mirror");
    EXPECT_EQ(rows[0].copyPercent, "");
    EXPECT_EQ(rows[1].lv, "mirlv");

    rows =
        parseMirrorSyncReport(columns("\n  LV|VG|Cpy%Sync|Convert\n"
                                      "  short|line\n"
                                      "a|b|c\n"
                                      "  m|v|x|y| 99.50|\n"
                                      "last|without|newline|"));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].copyPercent, "b");
    EXPECT_EQ(rows[1].copyPercent, " 99.50");
    EXPECT_EQ(rows[2].copyPercent, "newline");
}

TEST_F(Discovery, DevicesThatCannotMatchAnLV) {
    vbtest::FakeRunner fake;
    LVM_linux_lvm backend;
    try {
        backend.getVGByLVDevice("/nonexistent/lv");
        ADD_FAILURE() << "no exception";
    } catch (const YbException& e) {
        EXPECT_EQ(e.getFuncName(), "LVM_linux_lvm::getVGByLVDevice");
        EXPECT_EQ(e.getLineNum(), 805);
        EXPECT_EQ(e.getMessage(), "Failed to stat /nonexistent/lv: No such file or directory");
    }
    EXPECT_TRUE(fake.commands().empty());

    // Only block devices are compared: a character device or a regular file matches no LV,
    // even one whose path names the same node (or, for files, the same zero device number).
    LVM::VG cached;
    cached.name = cached.orig_name = "vg";
    cached.uuid = cached.orig_uuid = "u-1";
    cached.lvs["l-1"].device = "/dev/null";
    cached.lvs["l-2"].device = disks_.dir() + "/lv-file";
    std::ofstream(disks_.dir() + "/lv-file") << "x";
    std::ofstream(disks_.dir() + "/other-file") << "y";
    backend.setCachedVGs({cached});
    EXPECT_TRUE(backend.getVGByLVDevice("/dev/null").name.empty());
    EXPECT_TRUE(backend.getVGByLVDevice((disks_.dir() + "/other-file").c_str()).name.empty());
    EXPECT_TRUE(fake.commands().empty());  // the cached list is used, nothing is run
    EXPECT_THROW(backend.getVGByLVDevice(nullptr), YbException);  // no crash on a null path
}

TEST_F(Discovery, NullUuidMatchesNoGroup) {
    vbtest::FakeRunner fake;
    fake.on(kListing, 0, listing("smp_linear", "J08Rg3-CEQV-agPX-nhmR-mwzF-FdIt-tJJnRV"));
    EXPECT_TRUE(LVM_linux_lvm().getVGByUUID(nullptr).name.empty());
}

}  // namespace
