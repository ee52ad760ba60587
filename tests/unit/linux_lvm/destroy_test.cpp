// Destroy through the fake runner: the commands, the groups the LV listing leaves out, and what a
// failure at each command leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeDisks.h"
#include "FakeRunner.h"
#include "LVM/LVM.h"
#include "host/HostSeams.h"

namespace {

const char* const kListing = "vgs --foreign --shared -o vg_name,vg_uuid";
const char* const kLvsListing = "lvs -o vg_name,vg_uuid,lv_name,lv_uuid,lv_attr";

std::string groups(const std::vector<std::pair<std::string, std::string>>& rows) {
    std::string text = "  VG VG UUID\n";
    for (const auto& row : rows) text += "  " + row.first + " " + row.second + "\n";
    return text;
}

// Destroy through the fake runner; LVM2's description of a group ("vgcfgbackup -f") has the
// given LV sections.
class DestroyFixture : public ::testing::Test {
  protected:
    void exportsGroup(vbtest::FakeRunner& fake, const std::string& vg, const std::string& uuid,
                      const std::string& lvs = "") {
        const std::string text = vg + " {\nid = \"" + uuid +
                                 "\"\nphysical_volumes {\n}\nlogical_volumes {\n" + lvs + "}\n}\n";
        disks_.answerGroupExport(fake, vg, [text] { return text; });
    }

    vbtest::FakeDisks disks_;  // the host's temporary directory
};

TEST_F(DestroyFixture, RemovesListedLvsThenTheGroupAndChecksItIsGone) {
    vbtest::FakeRunner fake;
    fake.on(kListing, 0, groups({{"g1", "u1"}, {"g2", "u2"}}));
    fake.on(kLvsListing, 0,
            "  VG  VG UUID LV LV UUID Attr\n"
            "  g1 u1 b lv-b -wi-a-----\n"
            "  g1 u1 a lv-a -wi-a-----\n"
            "  g1 u1 o lv-o owi-a-s---\n"
            "  g1 u1 s lv-s swi-a-s---\n"
            "  g2 u2 c lv-c -wi-a-----\n");
    exportsGroup(fake, "g1", "u1");
    fake.on("lvremove -f /dev/g1/a /dev/g1/b /dev/g1/o");  // key (LV uuid) order, no snapshot
    fake.on("vgremove -f g1");
    fake.on(kListing, 0, groups({{"g2", "u2"}}));
    LVM_linux_lvm backend;
    backend.destroyVG("g1");
    ASSERT_EQ(backend.cachedVGs().size(), 1u);
    EXPECT_EQ(backend.cachedVGs().front().name, "g2");
    EXPECT_EQ(disks_.withoutTempPaths(fake.commands()),
              (std::vector<std::string>{kListing, kLvsListing, "vgcfgbackup -f FILE g1",
                                        "lvremove -f /dev/g1/a /dev/g1/b /dev/g1/o",
                                        "vgremove -f g1", kListing}));
}

// Groups that the LV listing leaves out (no LVs, or none it shows) are found and removed; a
// plain hidden LV that no other LV uses is named to lvremove, since vgremove fails on it.
TEST_F(DestroyFixture, GroupsWithoutListedLvsAreRemovedToo) {
    const std::string hidden =
        "h {\nid = \"H\"\nstatus = [\"READ\"]\nsegment_count = 1\n"
        "segment1 {\ntype = \"striped\"\nstripes = [ ]\n}\n}\n"
        "m {\nid = \"M\"\nstatus = [\"READ\", \"VISIBLE\"]\nsegment_count = 1\n"
        "segment1 {\ntype = \"mirror\"\nmirrors = [\"m_mimage_0\", 0]\n}\n}\n"
        "m_mimage_0 {\nid = \"I\"\nstatus = [\"READ\"]\nsegment_count = 1\n"
        "segment1 {\ntype = \"striped\"\nstripes = [ ]\n}\n}\n";
    struct Case {
        const char* name;
        std::string lvs;
        const char* lvremove;  // null: none
    } cases[] = {
        {"no LVs", "", nullptr},
        {"a hidden LV nothing uses", hidden, "lvremove -f /dev/empty/h"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.on(kListing, 0, groups({{"empty", "u1"}}));
        fake.on(kLvsListing, 0, "  VG VG UUID LV LV UUID Attr\n");
        fake.on(kLvsListing, 0, "  VG VG UUID LV LV UUID Attr\n");
        exportsGroup(fake, "empty", "u1", c.lvs);
        if (c.lvremove) fake.on(c.lvremove);
        fake.on("vgremove -f empty");
        fake.on(kListing, 0, groups({}));
        LVM_linux_lvm().destroyVG("empty");
    }
}

TEST_F(DestroyFixture, MissingGroupIsOnlyLogged) {
    vbtest::FakeRunner fake;
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, -1);
    fake.on(kListing, 0, groups({{"g2", "u2"}}));
    LVM_linux_lvm backend;
    backend.destroyVG("nosuch");
    EXPECT_TRUE(log.contains("Can't destroy non-existent VG nosuch"));
}

TEST_F(DestroyFixture, GroupImportedAfterTheListingWasCachedIsFound) {
    vbtest::FakeRunner fake;
    fake.on(kListing, 0, groups({{"g2", "u2"}}));
    fake.on(kLvsListing, 0, "  VG VG UUID LV LV UUID Attr\n  g2 u2 c lv-c -wi-a-----\n");
    exportsGroup(fake, "g2", "u2");
    fake.on("lvremove -f /dev/g2/c");
    fake.on("vgremove -f g2");
    fake.on(kListing, 0, groups({{"new", "u3"}}));
    fake.on(kListing, 0, groups({{"new", "u3"}}));
    fake.on(kLvsListing, 0, "  VG VG UUID LV LV UUID Attr\n  new u3 d lv-d -wi-a-----\n");
    exportsGroup(fake, "new", "u3");
    fake.on("lvremove -f /dev/new/d");
    fake.on("vgremove -f new");
    fake.on(kListing, 0, groups({}));
    LVM_linux_lvm backend;
    backend.destroyVG("g2");  // fills the cache
    backend.destroyVG("new");
}

// Every way the group can fail to go is an exception, and a failure injected at each command in
// turn gives its own: the first error is what the caller gets, nothing runs after it, and LVs
// already removed are named in the log as left so (they cannot be brought back).
TEST_F(DestroyFixture, EachFailureIsThrownAndTheLogNamesWhatIsLeft) {
    struct Case {
        const char* name;
        int failAt;
        std::string listing;
        std::string listingAfter;
        std::string message;
        size_t commands;
        bool lvsLeft;
    } cases[] = {
        {"the listing", 1, groups({{"g1", "u1"}}), "",
         "Failed to list the VGs: \"" + std::string(kListing) + "\" exited with 5: busy", 1, false},
        {"lvremove", 4, groups({{"g1", "u1"}}), "", "\"lvremove -f /dev/g1/a\" failed: busy", 4,
         false},
        {"vgremove", 5, groups({{"g1", "u1"}}), "", "Failed to remove VG g1: busy", 5, true},
        {"the listing afterwards", 6, groups({{"g1", "u1"}}), "",
         "Failed to list the VGs: \"" + std::string(kListing) + "\" exited with 5: busy", 6, false},
        {"two groups of the name", 0, groups({{"g1", "u1"}, {"g1", "u9"}}), "",
         "Can't destroy VG g1: 2 groups bear that name", 1, false},
        {"still there", 0, groups({{"g1", "u1"}}), groups({{"g1", "u1"}}),
         "Failed to remove VG g1: it is still there after \"vgremove -f g1\" succeeded", 6, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        disks_.host().log().clear();
        vbtest::FakeRunner fake;
        fake.allowUnused();
        if (c.failAt) fake.failCommand(c.failAt, 5, "  WARNING: noise\n  busy\n");
        fake.on(kListing, 0, c.listing);
        fake.on(kLvsListing, 0, "  VG VG UUID LV LV UUID Attr\n  g1 u1 a lv-a -wi-a-----\n");
        exportsGroup(fake, "g1", "u1");
        fake.on("lvremove -f /dev/g1/a");
        fake.on("vgremove -f g1");
        fake.on(kListing, 0, c.listingAfter);
        LVM_linux_lvm backend;
        try {
            backend.destroyVG("g1");
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            // The listing's own message quotes all LVM2 said.
            std::string message = c.message;
            if (message.rfind("Failed to list", 0) == 0) {
                message.replace(message.size() - 4, 4, "  WARNING: noise\n  busy\n");
            }
            EXPECT_EQ(e.getMessage(), message);
            EXPECT_EQ(e.getFuncName(), "LVM_linux_lvm::destroyVG");
        }
        EXPECT_EQ(fake.commands().size(), c.commands);
        EXPECT_EQ(disks_.host().log().contains(
                      "Could not undo the removal of the LVs of g1: a removed LV cannot be "
                      "brought back"),
                  c.lvsLeft);
    }
}

}  // namespace
