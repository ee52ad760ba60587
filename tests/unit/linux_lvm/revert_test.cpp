// In-place revert through the fake runner: the merge, its commands, the final lookup, and the
// helpers that move live LVs out of the way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>

#include "FakeDisks.h"
#include "FakeRunner.h"
#include "Fixtures.h"
#include "LVM/LVM.h"
#include "core/ScopedOverride.h"
#include "host/HostSeams.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_discovery.h"
#include "linux_lvm/lvm2_revert.h"

namespace {

using Parser = LVM_linux_lvm_parser;
using Node = Parser::Node;
using volbridge::lvm2::findUniquePVName;
using volbridge::lvm2::shoveLV;

const char* const kPv0 = "mF5Nbd-aisf-B0ur-j11g-MBML-SGdh-Yz3Tqa";

std::set<std::string> childNames(Node* section) {
    std::set<std::string> names;
    for (Node* n = section ? section->child : nullptr; n; n = n->next) names.insert(n->name);
    return names;
}

TEST(ShoveLV, RenamesTheLvInTheWayAndReferencesFollow) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(R"(lvs {
        a { id = "A" }
        a_conflict_001 { id = "old-conflict" }
        other { id = "B" }
        snap { id = "S" segment1 { type = "snapshot" origin = "a" cow_store = "a" } }
        mir { id = "M" segment1 { type = "mirror" mirror_log = "a" mirrors = [ "x", 0, "a", 0 ] } }
    })"));
    std::list<std::string> toActivate;
    vbtest::FakeRunner fake;  // "a" has no device node: nothing to deactivate
    shoveLV("vg", "a", "B", root, parser, &toActivate);

    EXPECT_EQ(childNames(root),
              (std::set<std::string>{"a_conflict_002", "a_conflict_001", "other", "snap", "mir"}));
    Node* other = Parser::findDirectChild(root, "other");
    EXPECT_FALSE(*Parser::findDirectChild(other, "id") == "B");  // the clashing id was replaced
    EXPECT_EQ(Parser::dump(
                  Parser::find(Parser::findDirectChild(root, "snap"), "segment1", false)->child, 0),
              "type = \"snapshot\"\norigin = \"a_conflict_002\"\ncow_store = \"a_conflict_002\"\n");
    EXPECT_NE(Parser::dump(root, 0).find("mirror_log = \"a_conflict_002\"\n"), std::string::npos);
    EXPECT_NE(Parser::dump(root, 0).find("mirrors = [ \"x\", 0, \"a_conflict_002\", 0 ] "),
              std::string::npos);
    EXPECT_TRUE(toActivate.empty());
    EXPECT_TRUE(fake.commands().empty());
}

TEST(ShoveLV, AnActiveLvIsDeactivatedFirstAndQueuedUnderItsNewName) {
    // An LV whose device node exists is active: a file under /dev/shm stands for the node of
    // LV <name> in group "shm".
    const std::string name = "vbshove" + std::to_string(getpid());
    const std::string node = "/dev/shm/" + name;
    std::ofstream(node) << "";
    const std::string text = "lvs { " + name + " { id = \"N\" } }";
    Parser parser;
    {
        Parser::NodeAutoPtr root(parser.parse(text.c_str()));
        std::list<std::string> toActivate{"earlier"};
        vbtest::FakeRunner fake;
        fake.on("lvchange -an " + node);
        shoveLV("shm", name.c_str(), nullptr, root, parser, &toActivate);
        EXPECT_EQ(toActivate, (std::list<std::string>{"earlier", name + "_conflict_001"}));
    }
    {
        Parser::NodeAutoPtr root(parser.parse(text.c_str()));
        std::list<std::string> toActivate;
        vbtest::FakeRunner fake;
        fake.on("lvchange -an " + node, 5, "", "  LV in use\n");
        try {
            shoveLV("shm", name.c_str(), nullptr, root, parser, &toActivate);
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getFuncName(), "LVM_linux_lvm::shoveLVs");
            EXPECT_EQ(e.getMessage(),
                      "LV [" + name + "] is in the way, but I can't deactivate it:   LV in use\n");
        }
    }
    {
        // A node left behind by an LV that is no longer in the group does not count.
        Parser::NodeAutoPtr root(parser.parse("lvs { other { id = \"O\" } }"));
        std::list<std::string> toActivate;
        vbtest::FakeRunner fake;
        shoveLV("shm", name.c_str(), nullptr, root, parser, &toActivate);
        EXPECT_TRUE(toActivate.empty());
    }
    unlink(node.c_str());
}

TEST(FindUniquePVName, KeepsAFreeNameElseTakesTheFirstFreePvN) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse("pvs { pv0 { } pv1 { } pv3 { } }"));
    EXPECT_EQ(findUniquePVName("pv7", root, parser), "pv7");
    EXPECT_EQ(findUniquePVName("pv1", root, parser), "pv2");
    Parser::NodeAutoPtr empty(parser.parse("pvs { }"));
    EXPECT_EQ(findUniquePVName("pv0", empty, parser), "pv0");
}

// The group smp_mixed (PVs pv0..pv2) is live as captured; its first PV is rolled back. The live
// group is read from a backup directory of the test's own.
class RevertFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        backupDir_ = disks_.dir() + "/backup/";
        ASSERT_EQ(mkdir(backupDir_.c_str(), 0700), 0);
        backupGuard_ = std::make_unique<volbridge::ScopedOverride<std::string>>(
            volbridge::lvm2::backupDir(), backupDir_);
        snap_ = vbtest::readFixture("lvm2/metadata/mixed-3pv.vg");
        std::ofstream(backupDir_ + "smp_mixed") << snap_;
        device_ = disks_.add("pv0", kPv0);
    }

    // The commands of a revert of pv0 up to the metadata restore; "vgcfgbackup" stands for LVM2
    // writing the group's backup file.
    void answer(vbtest::FakeRunner& fake) {
        disks_.answerPvTools(fake);
        fake.on("dmsetup remove smp_mixed-root");
        fake.on("dmsetup remove smp_mixed-stripe");
        fake.onMatch("vgcfgrestore --yes -f \\S+ smp_mixed", [this](const std::string& cmd) {
            restored_ = vbtest::readFile(
                cmd.substr(cmd.find(" -f ") + 4, cmd.rfind(' ') - cmd.find(" -f ") - 4));
            return vbtest::Reply{};
        });
        for (const char* lv : {"root", "data"}) {
            fake.on(std::string("lvchange -an /dev/smp_mixed/") + lv);
            fake.on(std::string("lvchange -ay /dev/smp_mixed/") + lv);
        }
        fake.alwaysMatch("vgcfgbackup smp_mixed", [this](const std::string&) {
            std::ofstream(backupDir_ + "smp_mixed") << restored_;
            return vbtest::Reply{};
        });
        fake.alwaysMatch("lvs --separator .*", [](const std::string&) { return vbtest::Reply{}; });
    }

    vbtest::FakeDisks disks_;
    std::string backupDir_;
    std::unique_ptr<volbridge::ScopedOverride<std::string>> backupGuard_;
    std::string snap_;
    std::string device_;
    std::string restored_;
};

TEST_F(RevertFixture, MergesTheRolledBackPvIntoTheLiveGroup) {
    vbtest::FakeRunner fake;
    answer(fake);
    vbhost::FakeClock clock;
    vbhost::ScopedClock clockGuard(clock);
    std::map<std::string, std::string> map{{kPv0, kPv0}};
    LVM_linux_lvm backend;
    LVM::VG vg = backend.revertLVs({device_}, snap_.c_str(), map);

    const std::string fresh = disks_.uuidOf[device_];
    EXPECT_NE(fresh, kPv0);
    EXPECT_EQ(map[kPv0], fresh);

    // What was restored: pv0 with its new id; the LVs wholly on pv0 came back from the snap
    // description; the live mirror lost a side, became a plain LV and is moved out of the way of
    // the mirror side that returns under the mirror's name.
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(restored_.c_str()));
    Node *vgNode = nullptr, *pvs = nullptr, *lvs = nullptr;
    volbridge::lvm2::crossCheckMeta(root, parser, "restored", &vgNode, &pvs, &lvs);
    EXPECT_EQ(childNames(pvs), (std::set<std::string>{"pv0", "pv1", "pv2"}));
    EXPECT_TRUE(*Parser::findDirectChild(Parser::findDirectChild(pvs, "pv0"), "id") == fresh);
    EXPECT_TRUE(*Parser::findDirectChild(Parser::findDirectChild(pvs, "pv0"), "device") == device_);
    EXPECT_EQ(childNames(lvs),
              (std::set<std::string>{"root", "span", "data", "data_conflict_001"}));
    EXPECT_EQ(volbridge::lvm2::findPVofLV("data", lvs, parser), std::list<std::string>{"pv0"});
    EXPECT_EQ(volbridge::lvm2::findPVofLV("data_conflict_001", lvs, parser),
              std::list<std::string>{"pv1"});
    EXPECT_TRUE(volbridge::lvm2::isVisibleLV(Parser::findDirectChild(lvs, "data"), parser));

    // The re-initialisation was handed the backup-time layout of pv0 under its new id.
    ASSERT_EQ(disks_.restoreFiles.size(), 1u);
    EXPECT_NE(disks_.restoreFiles[0].find("id = \"" + fresh + "\""), std::string::npos);

    ASSERT_GE(fake.commands().size(), 11u);
    EXPECT_EQ(std::vector<std::string>(fake.commands().begin(), fake.commands().begin() + 3),
              (std::vector<std::string>{"pvdisplay " + device_, "dmsetup remove smp_mixed-root",
                                        "dmsetup remove smp_mixed-stripe"}));
    EXPECT_EQ(fake.commands()[3].rfind("pvcreate -ffy --uuid " + fresh + " --restorefile ", 0), 0u);
    EXPECT_EQ(fake.commands()[4], "pvdisplay " + device_);
    EXPECT_EQ(fake.commands()[5].rfind("vgcfgrestore --yes -f ", 0), 0u);
    EXPECT_EQ(std::vector<std::string>(fake.commands().begin() + 6, fake.commands().begin() + 10),
              (std::vector<std::string>{
                  "lvchange -an /dev/smp_mixed/root", "lvchange -ay /dev/smp_mixed/root",
                  "lvchange -an /dev/smp_mixed/data", "lvchange -ay /dev/smp_mixed/data"}));

    // No device node appeared for /dev/smp_mixed/data (there is no such node here): after a
    // bounded wait the group is looked up by its identity, and the revert reports success.
    uint64_t waited = 0;
    for (uint64_t s : clock.sleeps()) waited += s;
    EXPECT_GE(waited, volbridge::lvm2::kNodeWaitMs);
    EXPECT_LT(waited, volbridge::lvm2::kNodeWaitMs + 1000);
    EXPECT_EQ(fake.commands()[10], "vgcfgbackup smp_mixed");
    EXPECT_EQ(vg.name, "smp_mixed");
    EXPECT_EQ(vg.uuid, "iZ20ux-UsWP-Ds1R-4hjT-32ky-7wjP-asnZYT");
    EXPECT_EQ(vg.metadata, restored_);
    EXPECT_TRUE(vg.pvs.count(fresh));
    EXPECT_EQ(backend.cachedVGs().size(), 0u);
}

TEST_F(RevertFixture, EachFailingCommandGivesItsMessageAndLeavesNoTemporaryFile) {
    std::vector<std::string> all;
    {
        vbtest::FakeRunner fake;
        answer(fake);
        vbhost::FakeClock clock;
        vbhost::ScopedClock clockGuard(clock);
        std::map<std::string, std::string> map{{kPv0, kPv0}};
        LVM_linux_lvm().revertLVs({device_}, snap_.c_str(), map);
        all = fake.commands();
    }
    for (size_t n = 1; n <= 10; ++n) {
        const std::string& cmd = all[n - 1];
        SCOPED_TRACE(cmd);
        std::ofstream(backupDir_ + "smp_mixed") << snap_;
        disks_.uuidOf[device_] = kPv0;
        vbtest::FakeRunner fake;
        fake.failCommand(n, 5, "injected");
        answer(fake);
        vbhost::FakeClock clock;
        vbhost::ScopedClock clockGuard(clock);
        std::map<std::string, std::string> map{{kPv0, kPv0}};
        std::string outcome = "ok";
        try {
            LVM_linux_lvm().revertLVs({device_}, snap_.c_str(), map);
        } catch (const YbException& e) {
            outcome = e.getMessage();
        }
        if (cmd.rfind("dmsetup", 0) == 0 || cmd.rfind("lvchange -an", 0) == 0) {
            EXPECT_EQ(outcome, "ok");  // only logged
        } else if (cmd.rfind("pvdisplay", 0) == 0) {
            EXPECT_EQ(outcome, "Failed to get UUID of the PV " + device_ + ": injected");
        } else if (cmd.rfind("pvcreate", 0) == 0) {
            EXPECT_EQ(outcome, "Failed to re-initialize PV " + device_ + ": injected");
        } else if (cmd.rfind("vgcfgrestore", 0) == 0) {
            EXPECT_EQ(outcome, "Failed to update metadata for VG group [smp_mixed]: injected");
        } else {
            EXPECT_EQ(outcome,
                      "Failed to activate LV [" + cmd.substr(cmd.rfind(' ') + 1) + "]: injected");
        }
        EXPECT_EQ(disks_.leftoverTempFiles(), "");
    }
}

TEST_F(RevertFixture, PassedDeviceMustBeKnown) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> map;
        std::string message;
    } cases[] = {
        {"current id not in the map",
         {{"elsewhere", "x"}},
         std::string("Can't find UUID ") + kPv0 + " in the supplied UUID map"},
        {"backup-time id not in the snap metadata",
         {{"not-in-metadata", kPv0}},
         "Can't find PV with UUID not-in-metadata in snap metadata"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.allowUnused();
        answer(fake);
        std::map<std::string, std::string> map = c.map;
        try {
            LVM_linux_lvm().revertLVs({device_}, snap_.c_str(), map);
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getMessage(), c.message);
            EXPECT_EQ(e.getFuncName(), "LVM_linux_lvm::revertLVs");
        }
        EXPECT_EQ(fake.commands(), std::vector<std::string>{"pvdisplay " + device_});
    }
}

}  // namespace
