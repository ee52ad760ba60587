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
    EXPECT_EQ(shoveLV("vg", "a", "B", root, parser, &toActivate).deactivate, "");

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

TEST(ShoveLV, AnActiveLvIsToBeDeactivatedAndIsQueuedUnderItsNewName) {
    // An LV whose device node exists is active: a file under /dev/shm stands for the node of
    // LV <name> in group "shm".
    const std::string name = "vbshove" + std::to_string(getpid());
    const std::string node = "/dev/shm/" + name;
    std::ofstream(node) << "";
    const std::string text = "lvs { " + name + " { id = \"N\" } }";
    Parser parser;
    {
        // Only the tree changes; the deactivation is left to the caller, before the restore.
        Parser::NodeAutoPtr root(parser.parse(text.c_str()));
        std::list<std::string> toActivate{"earlier"};
        vbtest::FakeRunner fake;
        volbridge::lvm2::Shoved shoved =
            shoveLV("shm", name.c_str(), nullptr, root, parser, &toActivate);
        EXPECT_EQ(shoved.newName, name + "_conflict_001");
        EXPECT_EQ(shoved.deactivate, node);
        EXPECT_EQ(toActivate, (std::list<std::string>{"earlier", name + "_conflict_001"}));
        EXPECT_TRUE(fake.commands().empty());
    }
    {
        vbtest::FakeRunner fake;
        fake.on("lvchange -an " + node);
        fake.on("lvchange -an " + node, 5, "", "  LV in use\n");
        volbridge::lvm2::deactivateShoved(name, node);
        try {
            volbridge::lvm2::deactivateShoved(name, node);
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
        EXPECT_EQ(shoveLV("shm", name.c_str(), nullptr, root, parser, &toActivate).deactivate, "");
        EXPECT_TRUE(toActivate.empty());
    }
    unlink(node.c_str());
}

// LVM2 takes an LV name only while it and the group's name are together at most 124 characters.
TEST(ShoveLV, NewNameLvm2WouldRefuseIsRefused) {
    const std::string vg(20, 'v');
    const std::string fits(124 - vg.size() - 13, 'a'), tooLong(fits + "b");
    Parser parser;
    std::list<std::string> toActivate;
    Parser::NodeAutoPtr root(parser.parse(
        ("lvs { " + fits + " { id = \"A\" } " + tooLong + " { id = \"B\" } }").c_str()));
    EXPECT_EQ(shoveLV(vg.c_str(), fits.c_str(), nullptr, root, parser, &toActivate).newName,
              fits + "_conflict_001");
    try {
        shoveLV(vg.c_str(), tooLong.c_str(), nullptr, root, parser, &toActivate);
        ADD_FAILURE() << "no exception";
    } catch (const YbException& e) {
        EXPECT_EQ(e.getMessage(), "LV [" + tooLong + "] is in the way, but its new name [" +
                                      tooLong +
                                      "_conflict_001] would be longer than the 104 "
                                      "characters LVM2 allows in VG [" +
                                      vg + "]");
    }
}

TEST(FindUniquePVName, KeepsAFreeNameElseTakesTheFirstFreePvN) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse("pvs { pv0 { } pv1 { } pv3 { } }"));
    EXPECT_EQ(findUniquePVName("pv7", root, parser), "pv7");
    EXPECT_EQ(findUniquePVName("pv1", root, parser), "pv2");
    Parser::NodeAutoPtr empty(parser.parse("pvs { }"));
    EXPECT_EQ(findUniquePVName("pv0", empty, parser), "pv0");
}

// The group smp_mixed (PVs pv0..pv2) is live as captured; its first PV is rolled back. LVM2's
// description of the live group is what the fake's "vgcfgbackup -f" writes: the captured text,
// then whatever was restored.
class RevertFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        snap_ = vbtest::readFixture("lvm2/metadata/mixed-3pv.vg");
        live_ = snap_;
        device_ = disks_.add("pv0", kPv0);
    }

    void answer(vbtest::FakeRunner& fake) {
        disks_.answerPvTools(fake);
        disks_.answerGroupExport(fake, "smp_mixed", [this] { return live_; });
        fake.on("dmsetup remove smp_mixed-root");
        fake.on("dmsetup remove smp_mixed-stripe");
        fake.onMatch("vgcfgrestore --yes -f \\S+ smp_mixed", [this](const std::string& cmd) {
            restored_ = vbtest::readFile(
                cmd.substr(cmd.find(" -f ") + 4, cmd.rfind(' ') - cmd.find(" -f ") - 4));
            live_ = restored_;
            return vbtest::Reply{};
        });
        for (const char* lv : {"root", "data"}) {
            fake.on(std::string("lvchange -an /dev/smp_mixed/") + lv);
            fake.on(std::string("lvchange -ay /dev/smp_mixed/") + lv);
        }
        fake.alwaysMatch("lvs --separator .*", [](const std::string&) { return vbtest::Reply{}; });
    }

    std::vector<std::string> commands(const vbtest::FakeRunner& fake) const {
        return disks_.withoutTempPaths(fake.commands());
    }

    vbtest::FakeDisks disks_;
    std::string snap_;
    std::string live_;
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

    // The live group is read from LVM2 first; nothing changes before every check is done.
    const std::vector<std::string> run = commands(fake);
    ASSERT_GE(run.size(), 12u);
    EXPECT_EQ(std::vector<std::string>(run.begin(), run.begin() + 4),
              (std::vector<std::string>{"vgcfgbackup -f FILE smp_mixed", "pvdisplay " + device_,
                                        "dmsetup remove smp_mixed-root",
                                        "dmsetup remove smp_mixed-stripe"}));
    EXPECT_EQ(run[4], "pvcreate -ffy --uuid " + fresh + " --restorefile FILE " + device_);
    EXPECT_EQ(run[5], "pvdisplay " + device_);
    EXPECT_EQ(run[6], "vgcfgrestore --yes -f FILE smp_mixed");
    EXPECT_EQ(std::vector<std::string>(run.begin() + 7, run.begin() + 11),
              (std::vector<std::string>{
                  "lvchange -an /dev/smp_mixed/root", "lvchange -ay /dev/smp_mixed/root",
                  "lvchange -an /dev/smp_mixed/data", "lvchange -ay /dev/smp_mixed/data"}));

    // No device node appeared for /dev/smp_mixed/data (there is no such node here): after a
    // bounded wait the group is looked up by its identity, and the revert reports success.
    uint64_t waited = 0;
    for (uint64_t s : clock.sleeps()) waited += s;
    EXPECT_GE(waited, volbridge::lvm2::kNodeWaitMs);
    EXPECT_LT(waited, volbridge::lvm2::kNodeWaitMs + 1000);
    EXPECT_EQ(run[11], "vgcfgbackup -f FILE smp_mixed");
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
    for (size_t n = 1; n <= 11; ++n) {
        const std::string& cmd = all[n - 1];
        SCOPED_TRACE(cmd);
        live_ = snap_;
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
        } else if (cmd.rfind("vgcfgbackup", 0) == 0) {
            EXPECT_EQ(outcome,
                      "Could not read metadata for VG smp_mixed: vgcfgbackup failed: "
                      "injected");
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

// Nothing is changed (no device-mapper device removed, no PV re-initialised) when an argument or
// the live group is not what the revert needs.
TEST_F(RevertFixture, RefusalsComeBeforeAnythingChanges) {
    std::string otherGroup = snap_;
    otherGroup.replace(otherGroup.find("iZ20ux-UsWP-Ds1R-4hjT-32ky-7wjP-asnZYT"), 38,
                       "0therG-roup-0000-0000-0000-0000-000000");
    struct Case {
        const char* name;
        std::map<std::string, std::string> map;
        bool deviceTwice;
        std::string live;
        std::vector<std::string> commands;
        std::string message;
        const char* func = "LVM_linux_lvm::revertLVs";
    } cases[] = {
        {"current id not in the map",
         {{"elsewhere", "x"}},
         false,
         snap_,
         {"vgcfgbackup -f FILE smp_mixed", "pvdisplay " + device_},
         std::string("Can't find UUID ") + kPv0 + " in the supplied UUID map"},
        {"backup-time id not in the snap metadata",
         {{"not-in-metadata", kPv0}},
         false,
         snap_,
         {"vgcfgbackup -f FILE smp_mixed", "pvdisplay " + device_},
         "Can't find PV with UUID not-in-metadata in snap metadata"},
        {"the same device twice",
         {{kPv0, kPv0}},
         true,
         snap_,
         {},
         "PV device " + device_ + " is given twice"},
        {"the live group is another group of that name",
         {{kPv0, kPv0}},
         false,
         otherGroup,
         {"vgcfgbackup -f FILE smp_mixed"},
         "Could not read metadata for VG smp_mixed: LVM2 described the group with UUID "
         "0therG-roup-0000-0000-0000-0000-000000, not iZ20ux-UsWP-Ds1R-4hjT-32ky-7wjP-asnZYT (do "
         "two groups bear that name?)",
         "LVM_linux_lvm::readVGMetadata"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        live_ = c.live;
        vbtest::FakeRunner fake;
        fake.allowUnused();
        answer(fake);
        std::map<std::string, std::string> map = c.map;
        std::list<std::string> devices{device_};
        if (c.deviceTwice) devices.push_back(device_);
        try {
            LVM_linux_lvm().revertLVs(devices, snap_.c_str(), map);
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getMessage(), c.message);
            EXPECT_EQ(e.getFuncName(), c.func);
        }
        EXPECT_EQ(commands(fake), c.commands);
        EXPECT_EQ(map, c.map);
    }
}

}  // namespace
