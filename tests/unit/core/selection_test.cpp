// Choosing a backend for a device path or a vendor name, and the device listing of all backends,
// through the fake runner. (A real LVM2 LV node is chosen in tests/real_lvm2.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "FakeRunner.h"
#include "Fixtures.h"
#include "LVM/LVM.h"
#include "host/HostSeams.h"
#include "host/YbException.h"

namespace {

const char kAllPVList[] = "static CWmError LVM::getAllPVList(LVM::DeviceInfoList&)";

// The GPFS file-system query that selection asks of every path outside /dev/vx/.
std::string gpfsQuery(const std::string& dev) {
    return "mmlsfs " + dev +
           " -T 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag>0) print $2; if ($1 ~/-------/) flag "
           "=1;}'";
}

enum class Kind { None, Vxvm, LinuxLvm, Gpfs };

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::None:
            return "null";
        case Kind::Vxvm:
            return "LVM_vxvm";
        case Kind::LinuxLvm:
            return "LVM_linux_lvm";
        case Kind::Gpfs:
            return "LVM_gpfs";
    }
    return "?";
}

Kind kindOf(const LVM* lvm) {
    if (!lvm) return Kind::None;
    if (dynamic_cast<const LVM_vxvm*>(lvm)) return Kind::Vxvm;
    if (dynamic_cast<const LVM_linux_lvm*>(lvm)) return Kind::LinuxLvm;
    if (dynamic_cast<const LVM_gpfs*>(lvm)) return Kind::Gpfs;
    ADD_FAILURE() << "a backend of an unknown class";
    return Kind::None;
}

class Selection : public ::testing::Test {
  protected:
    vbtest::ScopedTempDir dir_;
    vbhost::MemoryLogSink log_;
    vbhost::ScopedLogSink sink_{log_, 3};
};

TEST_F(Selection, BackendForADevicePath) {
    // Answers for the GPFS query: a GPFS device (the captured "mmlsfs" output, the query's awk
    // program run over it for real) and paths GPFS does not know (mmlsfs prints its complaint on
    // standard error, which the query throws away: empty output).
    const std::string replay = dir_.file("replay");
    ASSERT_EQ(mkdir(replay.c_str(), 0700), 0);
    vbtest::writeFile(replay + "/mmlsfs_dev_gpfs0_-T.txt",
                      vbtest::readFixture("gpfs/mmlsfs_gpfs0_-T.txt"));

    // A regular file lying where an inactive LV's node would be (what "dd of=/dev/vg/lv" leaves
    // behind). Its device number is 0 like that of any regular file, yet it is no device: the
    // listing is never asked about it.
    const std::string stale = dir_.file("lv1");
    vbtest::writeFile(stale, "data\n");
    const std::string lvsListing =
        "  VG UUID LV LV-UUID Attr\n  .." + dir_.path() +
        " J08Rg3-CEQV-agPX-nhmR-mwzF-FdIt-tJJnRV lv1 FxtuEJ-q3Ob-Lhd3-XWkX-nQNy-M3Py-LndLlf "
        "-wi-a-----\n";
    const std::string missing = dir_.file("no-such-device");

    // What the GPFS query is asked and answers.
    enum class Gpfs { NotAsked, Declines, Claims };
    struct Case {
        const char* name;
        const char* path;  // null: a null pointer
        Gpfs gpfs;
        Kind kind;
        std::string error;  // the message when it throws
    };
    const std::vector<Case> cases = {
        {"a path under /dev/vx/ that does not exist", "/dev/vx/dsk/nosuchdg/nosuchvol",
         Gpfs::NotAsked, Kind::Vxvm, ""},
        {"a GPFS device", "/dev/gpfs0", Gpfs::Claims, Kind::Gpfs, ""},
        {"a regular file, even one where an LV node should be", stale.c_str(), Gpfs::Declines,
         Kind::None, ""},
        {"a missing path", missing.c_str(), Gpfs::Declines, Kind::None,
         "Failed to stat " + missing + ": No such file or directory"},
        {"a missing path that only begins like /dev/vx", "/dev/vxdmp-missing", Gpfs::Declines,
         Kind::None, "Failed to stat /dev/vxdmp-missing: No such file or directory"},
        {"a missing path the shell would interpret: no query runs", "/dev/x;reboot", Gpfs::NotAsked,
         Kind::None, "Failed to stat /dev/x;reboot: No such file or directory"},
        {"a null path", nullptr, Gpfs::NotAsked, Kind::None, "Failed to stat (null): Bad address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.replayFrom(replay);
        fake.always("lvs -o vg_name,vg_uuid,lv_name,lv_uuid,lv_attr", 0, lvsListing);
        std::vector<std::string> expected;
        if (c.gpfs != Gpfs::NotAsked) expected.push_back(gpfsQuery(c.path));
        if (c.gpfs == Gpfs::Declines) fake.on(expected.back(), 0, "");
        std::unique_ptr<LVM> lvm;
        try {
            lvm.reset(LVM::getByLVDevice(c.path));
            EXPECT_EQ(c.error, "") << "no exception";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getMessage(), c.error);
            EXPECT_EQ(e.getFuncName(), "LVM::getByLVDevice");
            EXPECT_EQ(e.getFileName(), "LVM_linux");
            EXPECT_EQ(e.getLineNum(), 54);
            EXPECT_EQ(e.getErrno(), -1);
        }
        EXPECT_STREQ(kindName(kindOf(lvm.get())), kindName(c.kind));
        vbtest::expectCommands(fake.commands(), expected);
    }
}

TEST_F(Selection, BackendForAVendorNameComparedExactly) {
    vbtest::FakeRunner fake;  // making a backend runs nothing
    struct Case {
        const char* vendor;  // null: a null pointer
        Kind kind;
    };
    const std::vector<Case> cases = {
        {"VxVM", Kind::Vxvm},      {"LinuxLVM", Kind::LinuxLvm}, {"GPFS", Kind::Gpfs},
        {"linuxlvm", Kind::None},  {"vxvm", Kind::None},         {"Gpfs", Kind::None},
        {"LinuxLVM ", Kind::None}, {"LVM", Kind::None},          {"", Kind::None},
        {nullptr, Kind::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.vendor ? c.vendor : "(null)");
        std::unique_ptr<LVM> lvm(LVM::getByVendor(c.vendor));
        EXPECT_STREQ(kindName(kindOf(lvm.get())), kindName(c.kind));
        // Each backend knows its own vendor name again.
        if (lvm) {
            EXPECT_EQ(LVM::vendorOf(*lvm), c.vendor);
        }
    }
    EXPECT_EQ(LVM::vendors(), (std::vector<std::string>{"VxVM", "LinuxLVM", "GPFS"}));
    struct Outsider : LVM_linux_lvm {};
    EXPECT_EQ(LVM::vendorOf(Outsider()), "LinuxLVM");
    EXPECT_TRUE(fake.commands().empty());
}

// The captured listings of the three volume managers: VxVM's disk group "datadg" on sdb, sdc and
// sdd (sde and sda belong to no group), two LVM2 PVs, and the NSDs that node1 serves.
const char kVxdisk[] = "vxdisk -qe path";
const char kPvdisplay[] = "pvdisplay -c";
const char kMmgetstate[] = "mmgetstate";
const char kMmlsnsd[] = "mmlsnsd -m";
const char kPvdisplayText[] =
    "  WARNING: Activation disabled. No device-mapper interaction will be attempted.\n"
    "  /dev/loop9:smp_mixed:262144:-1:8:8:-1:4096:31:17:14:mF5Nbd-aisf-B0ur-j11g-MBML-SGdh-Yz3Tqa\n"
    "  /dev/loop0::131072:-1:0:0:-1:0:0:0:0:xTsTpk-AIcq-oKwW-pIlV-PMzY-dT2L-YbEm03\n";

struct Row {
    std::string device, vendor, vg_name;
    bool operator==(const Row& o) const {
        return device == o.device && vendor == o.vendor && vg_name == o.vg_name;
    }
};
std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << "{" << row.device << ", " << row.vendor << ", " << row.vg_name << "}";
}
std::vector<Row> rowsOf(const LVM::DeviceInfoList& list) {
    std::vector<Row> rows;
    for (const LVM::DeviceVGInfo& info : list)
        rows.push_back({info.device, info.vendor, info.vg_name});
    return rows;
}
const std::vector<Row> kVxvmRows = {
    {"/dev/sdb", "VxVM", "datadg"}, {"/dev/sdc", "VxVM", "datadg"}, {"/dev/sdd", "VxVM", "datadg"}};
const std::vector<Row> kLvm2Rows = {{"/dev/loop9", "LinuxLVM", "smp_mixed"},
                                    {"/dev/loop0", "LinuxLVM", ""}};
const std::vector<Row> kGpfsRows = {
    {"/dev/sdb", "GPFS", "nsd1"}, {"/dev/sdc", "GPFS", "nsd2"}, {"/dev/sdd", "GPFS", "nsd3"}};

std::vector<Row> joined(std::initializer_list<std::vector<Row>> parts) {
    std::vector<Row> rows;
    for (const auto& part : parts) rows.insert(rows.end(), part.begin(), part.end());
    return rows;
}

// Answers every listing command as the captured output has it.
void answerListings(vbtest::FakeRunner& fake) {
    fake.on(kVxdisk, 0, vbtest::readFixture("vxvm/vxdisk_-qe_path.txt"))
        .on(kPvdisplay, 0, kPvdisplayText)
        .on(kMmgetstate, 0, vbtest::readFixture("gpfs/mmgetstate.txt"))
        .on(kMmlsnsd, 0, vbtest::readFixture("gpfs/mmlsnsd_-m.txt"));
}

TEST_F(Selection, AllDevicesOfTheThreeBackendsInOrderWithTheirVendors) {
    vbtest::FakeRunner fake;
    answerListings(fake);
    LVM::DeviceInfoList list{{"/dev/old", "X", "left-over"}};

    const CWmError status = LVM::getAllPVList(list);

    EXPECT_TRUE(status.IsSuccess()) << status.ToString();
    EXPECT_EQ(rowsOf(list), joined({kVxvmRows, kLvm2Rows, kGpfsRows}));
    vbtest::expectCommands(fake.commands(), {kVxdisk, kPvdisplay, kMmgetstate, kMmlsnsd});
}

TEST_F(Selection, HostWithoutVxvmOrGpfsListsItsLvm2Devices) {
    vbtest::FakeRunner fake;
    fake.on(kVxdisk, 127, "", "sh: 1: vxdisk: not found\n")
        .on(kPvdisplay, 0, kPvdisplayText)
        .on(kMmgetstate, 127, "", "sh: 1: mmgetstate: not found\n");
    LVM::DeviceInfoList list;

    const CWmError status = LVM::getAllPVList(list);

    EXPECT_TRUE(status.IsSuccess()) << status.ToString();
    EXPECT_EQ(rowsOf(list), kLvm2Rows);
}

// A probe that answers "no" (GPFS not installed, a path that is no GPFS file system) is no error:
// at the default level nothing is logged, and its debug line quotes the shell's complaint on one
// line.
TEST_F(Selection, ProbesThatAnswerNoLogOnlyBelowTheDefaultLevel) {
    const std::string missing = dir_.file("no-such-device");
    const std::vector<std::string> expected = {
        "mmgetstate is not installed: no GPFS devices on this host (sh: 1: mmgetstate: not "
        "found\\nsh: 1: one more line)",
        "device '" + missing + "' is NOT GPFS filesystem []",
        "device '/dev/x;reboot' is NOT GPFS filesystem [not a device name]",
    };
    for (const int level : {0, 2}) {
        SCOPED_TRACE("log level " + std::to_string(level));
        vbhost::MemoryLogSink log;
        vbhost::ScopedLogSink sink(log, level);
        vbtest::FakeRunner fake;
        fake.on(kVxdisk, 127, "", "sh: 1: vxdisk: not found\n")
            .on(kPvdisplay, 0, kPvdisplayText)
            .on(kMmgetstate, 127, "", "sh: 1: mmgetstate: not found\nsh: 1: one more line\n")
            .on(gpfsQuery(missing), 0, "");
        LVM::DeviceInfoList list;
        EXPECT_TRUE(LVM::getAllPVList(list).IsSuccess());
        for (const char* path : {missing.c_str(), "/dev/x;reboot"}) {
            EXPECT_THROW(std::unique_ptr<LVM>(LVM::getByLVDevice(path)), YbException);
        }
        std::vector<std::string> probes;
        for (const std::string& record : log.records()) {
            EXPECT_EQ(record.find('\n'), std::string::npos) << record;
            EXPECT_EQ(record.find(" ERROR "), std::string::npos) << record;
            for (const std::string& line : expected) {
                if (record.size() >= line.size() &&
                    record.compare(record.size() - line.size(), line.size(), line) == 0) {
                    probes.push_back(line);
                }
            }
        }
        EXPECT_EQ(probes, level < 2 ? std::vector<std::string>{} : expected);
    }
}

TEST_F(Selection, FailingListingReturnsItsErrorWhereItWasAskedAndKeepsTheRowsBefore) {
    struct Case {
        const char* name;
        size_t failing;  // the command that fails
        std::string err;
        std::string message;
        std::string backendUnit;
        std::string backendFunction;
        int line;  // of getAllPVList
        std::vector<Row> rows;
    };
    const std::vector<Case> cases = {
        {"VxVM",
         1,
         "VxVM vxdisk ERROR V-5-1-684 IPC failure: Configuration daemon is not accessible",
         "vxdisk failed",
         "LVM_vxvm",
         "virtual CWmError LVM_vxvm::getPVList(LVM::DeviceInfoList&)",
         99,
         {}},
        {"LinuxLVM", 2, "  Locking type -1 initialisation failed.", "pvdisplay failed",
         "LVM_linux_lvm", "virtual CWmError LVM_linux_lvm::getPVList(LVM::DeviceInfoList&)", 110,
         kVxvmRows},
        {"GPFS", 3, "mmgetstate: The GPFS daemon is down.", "mmgetstate failed", "LVM_gpfs",
         "virtual CWmError LVM_gpfs::getPVList(LVM::DeviceInfoList&)", 121,
         joined({kVxvmRows, kLvm2Rows})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        answerListings(fake);
        fake.failCommand(c.failing, 1, c.err);
        LVM::DeviceInfoList list{{"/dev/old", "X", "left-over"}};

        const CWmError status = LVM::getAllPVList(list);

        ASSERT_TRUE(status.IsError());
        EXPECT_EQ(status.GetErrno(), 22);
        EXPECT_EQ(status.GetMessage(), c.message);
        const std::vector<FXCodeLocation> at = status.GetLocations();
        ASSERT_EQ(at.size(), 2u) << status.ToString();
        EXPECT_EQ(at[0].file, c.backendUnit);
        EXPECT_EQ(at[0].function, c.backendFunction);
        EXPECT_EQ(at[1].file, "LVM_linux");
        EXPECT_EQ(at[1].function, kAllPVList);
        EXPECT_EQ(at[1].line, c.line);
        EXPECT_EQ(rowsOf(list), c.rows);
        EXPECT_EQ(fake.commands().size(), c.failing) << "the backends after it were asked";
    }
}

}  // namespace
