// Disk identity: the readers of the disk listings, the count of descriptor replicas a
// failure-group snapshot holds, and a disk listing that fails part-way.
#include <gtest/gtest.h>

#include "GpfsSandbox.h"
#include "gpfs/gpfs_identity.h"

namespace {

using gpfstest::Sandbox;
using volbridge::gpfs::DiskRow;

std::string rowsOf(const std::vector<DiskRow>& disks) {
    std::string text;
    for (const DiskRow& d : disks) {
        text += d.nsd + " fg=" + std::to_string(d.failureGroup) + (d.metadata ? " m" : "") +
                (d.data ? " d" : "") + " [" + d.status + "] " + d.availability +
                (d.descriptor ? " desc" : "") + "\n";
    }
    return text;
}

TEST(GpfsIdentity, DiskListingRowsOfEveryReleaseAndStatus) {
    const std::string header =
        "disk         driver   sector     failure holds    holds                                   "
        " "
        "storage\n"
        "name         type       size       group metadata data  status        availability disk "
        "id pool         remarks\n"
        "------------ -------- ------ ----------- -------- ----- ------------- ------------ "
        "------- ------------ ---------\n";
    struct Case {
        const char* name;
        std::string text;
        std::string rows;
    } cases[] = {
        {"the captured listing", vbtest::readFixture("gpfs/mmlsdisk_gpfs0_-L.txt"),
         "nsd1 fg=1 m d [ready] up desc\nnsd2 fg=1 m d [ready] up desc\n"
         "nsd3 fg=2 m d [ready] up desc\n"},
        {"a current release", vbtest::readFixture("gpfs/current-release/mmlsdisk_gpfs0_-L.txt"),
         "nsd1 fg=1 m d [ready] up desc\nnsd2 fg=1 m d [ready] up desc\n"
         "nsd3 fg=2 m d [ready] up desc\n"},
        {"statuses of several words, usages, no remarks",
         header +
             "nsd1         nsd         512           1 yes      no    to be emptied up        "
             "         1 system        desc\n"
             "nsd2         nsd         512           2 no       yes   being emptied down      "
             "         2 data\n"
             "nsd3         nsd         512           3 No       No    ready         recovering "
             "        3 system        desc\n"
             "Number of quorum disks: 3 \nRead quorum value:      2\n",
         "nsd1 fg=1 m [to be emptied] up desc\nnsd2 fg=2 d [being emptied] down\n"
         "nsd3 fg=3 [ready] recovering desc\n"},
        {"no dashed line", "nsd1 nsd 512 1 yes yes ready up 1 system desc\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(rowsOf(volbridge::gpfs::readDiskListing(c.text)), c.rows);
    }
}

TEST(GpfsIdentity, TheLocalViewGivesEachNsdItsDevice) {
    std::string devices;
    const auto view =
        volbridge::gpfs::readDiskView(vbtest::readFixture("gpfs/mmlsdisk_gpfs0_-m.txt"), &devices);
    ASSERT_EQ(view.size(), 3u);
    EXPECT_EQ(view[2].nsd, "nsd3");
    EXPECT_EQ(view[2].device, "/dev/sdd");
    EXPECT_EQ(devices, "/dev/sdb;/dev/sdc;/dev/sdd;") << "as the -M view is printed";
}

// Every replica counts once, whatever its disk holds; the snapshot holds those on the disks of
// its failure group and of the tiebreaker's.
TEST(GpfsIdentity, DescriptorQuorumCountsEveryReplicaOnce) {
    auto disk = [](const char* nsd, int group, bool metadata, bool data, bool desc) {
        DiskRow d;
        d.nsd = nsd;
        d.failureGroup = group;
        d.metadata = metadata;
        d.data = data;
        d.descriptor = desc;
        return d;
    };
    struct Case {
        const char* name;
        std::vector<DiskRow> disks;
        int total, available;
        bool quorum;
        std::vector<std::string> kept;
    } cases[] = {
        {"2 of 3",
         {disk("a", 1, true, true, true), disk("b", 1, true, true, true),
          disk("c", 2, true, true, true)},
         3,
         2,
         true,
         {"a", "b"}},
        {"1 of 3 and a descriptor-only disk in a third group",
         {disk("a", 1, true, true, true), disk("b", 2, true, true, true),
          disk("c", 3, false, false, true)},
         3,
         2,
         true,
         {"a", "c"}},
        {"the descriptor-only disk in the snapshot's own group counts once",
         {disk("a", 1, true, true, true), disk("b", 2, true, true, true),
          disk("c", 2, true, true, true), disk("d", 1, false, false, true)},
         4,
         2,
         false,
         {"a", "d"}},
        {"replicas on metadata-only and data-only disks",
         {disk("a", 1, true, true, true), disk("b", 2, true, false, true),
          disk("c", 3, false, true, true)},
         3,
         1,
         false,
         {"a"}},
        {"1 of 2",
         {disk("a", 1, true, true, true), disk("b", 2, true, true, true)},
         2,
         1,
         false,
         {"a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto tally = volbridge::gpfs::tallyDescriptors(c.disks, 1);
        EXPECT_EQ(tally.total, c.total);
        EXPECT_EQ(tally.available, c.available);
        EXPECT_EQ(volbridge::gpfs::quorumSatisfied(tally), c.quorum);
        EXPECT_EQ(volbridge::gpfs::keptNsds(c.disks, 1, tally.tiebreakerGroup), c.kept);
    }
}

// A disk listing that fails after printing some of its rows is a failure, not a shorter list.
TEST(GpfsIdentity, ADiskListingThatFailsPartWayFailsTheCapture) {
    Sandbox box;
    box.setConfig("~Oxbrook", "nGPFSFAILUREGROUPNUM_gpfs0", "1");
    std::string partial = vbtest::readFixture("gpfs/mmlsdisk_gpfs0_-L.txt");
    partial.erase(partial.find("nsd3"));
    vbtest::FakeRunner fake;
    fake.replayFrom(box.replayDir())
        .on(gpfstest::diskListing("gpfs0"), 1, partial, "mmlsdisk: node2: connection lost\n");
    gpfstest::Backend gpfs;
    EXPECT_EQ(gpfstest::failure([&] { gpfs.getVGByLVDevice("/dev/gpfs0"); },
                                "virtual LVM::VG LVM_gpfs::getVGByLVDevice(const char*)"),
              "Error: cmd: 'mmlsdisk gpfs0 -L' failed with error: 'mmlsdisk: node2: connection "
              "lost\n'");
}

TEST(GpfsIdentity, LeadingIntegersAsAtoiReadsThem) {
    struct Case {
        const char* text;
        int value;
    } cases[] = {{"1", 1},
                 {"-1", -1},
                 {"  +7x", 7},
                 {"x7", 0},
                 {"", 0},
                 {"\t-0", 0},
                 {"1,0,2", 1},
                 {"99999999999", 2147483647},
                 {"-99999999999", -2147483647 - 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(volbridge::gpfs::leadingInt(c.text), c.value);
    }
}

}  // namespace
