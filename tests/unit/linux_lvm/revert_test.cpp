// In-place revert through the fake runner: the merge, its commands, the checks before anything
// changes, a failure at each step, the final lookup, and the helpers that move live LVs out of the
// way.
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
#include "linux_lvm/lvm2_restore.h"
#include "linux_lvm/lvm2_revert.h"

namespace {

using Parser = LVM_linux_lvm_parser;
using Node = Parser::Node;
using volbridge::lvm2::findUniquePVName;
using volbridge::lvm2::shoveLV;

const char* const kVgId = "iZ20ux-UsWP-Ds1R-4hjT-32ky-7wjP-asnZYT";
const char* const kPv0 = "mF5Nbd-aisf-B0ur-j11g-MBML-SGdh-Yz3Tqa";
const char* const kPv1 = "0dzRhq-jfFn-cOov-2e8l-NEZ8-ttRl-Q3PmMe";

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
        vbtest::FakeHost host;
        vbtest::FakeRunner fake;
        fake.on("lvchange -an " + node);
        fake.on("lvchange -an " + node + " /dev/shm/other", 5, "",
                "  WARNING: noise\n  LV in use\n");
        volbridge::lvm2::deactivateShoved({{name, node}});
        try {
            volbridge::lvm2::deactivateShoved({{name, node}, {"other", "/dev/shm/other"}});
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getFuncName(), "LVM_linux_lvm::shoveLVs");
            EXPECT_EQ(e.getMessage(), "LVs [" + name +
                                          "], [other] are in the way, but I can't deactivate "
                                          "them: LV in use");
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

// The group smp_mixed (PVs pv0..pv2) is live as captured, less its striped LV over all three PVs
// and its snapshot (removed since): its first PV is rolled back. LVM2's description of the live
// group is what the fake's "vgcfgbackup -f" writes: that text, then whatever was restored.
class RevertFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        snap_ = vbtest::readFixture("lvm2/metadata/mixed-3pv.vg");
        live_ = withoutLvs(snap_, {"stripe", "root_snap", "snapshot0"});
        device_ = disks_.add("pv0", kPv0);
    }

    static std::string withoutLvs(const std::string& text, const std::set<std::string>& names) {
        Parser parser;
        Parser::NodeAutoPtr root(parser.parse(text.c_str()));
        Node* lvs = Parser::find(root, "logical_volumes", false);
        for (const std::string& name : names) {
            volbridge::lvm2::removeChild(lvs, Parser::findDirectChild(lvs, name.c_str()));
        }
        return Parser::dump(root, 0);
    }

    void answer(vbtest::FakeRunner& fake) {
        disks_.answerPvTools(fake);
        disks_.answerGroupExport(fake, "smp_mixed", [this] { return live_; });
        fake.on("dmsetup remove smp_mixed-root");
        fake.onMatch("vgcfgrestore --yes -f \\S+ smp_mixed", [this](const std::string& cmd) {
            restored_ = vbtest::readFile(
                cmd.substr(cmd.find(" -f ") + 4, cmd.rfind(' ') - cmd.find(" -f ") - 4));
            live_ = restored_;
            return vbtest::Reply{};
        });
        fake.on("lvchange -ay /dev/smp_mixed/root /dev/smp_mixed/data");
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

    // The live group is read from LVM2 first; nothing changes before every check is done; the
    // LVs that leave and those that return are each handled by one command. No device node
    // appeared for /dev/smp_mixed/data (there is no such node here): after a bounded wait the
    // group is looked up by its identity, and the revert reports success.
    vbtest::expectCommands(
        commands(fake),
        {"vgcfgbackup -f FILE smp_mixed", "pvdisplay " + device_, "dmsetup remove smp_mixed-root",
         "pvcreate -ffy --uuid " + fresh + " --restorefile FILE " + device_, "pvdisplay " + device_,
         "vgcfgrestore --yes -f FILE smp_mixed",
         "lvchange -ay /dev/smp_mixed/root /dev/smp_mixed/data", "vgcfgbackup -f FILE smp_mixed"});
    uint64_t waited = 0;
    for (uint64_t s : disks_.host().clock().sleeps()) waited += s;
    EXPECT_GE(waited, volbridge::lvm2::kNodeWaitMs);
    EXPECT_LT(waited, volbridge::lvm2::kNodeWaitMs + 1000);
    EXPECT_EQ(vg.name, "smp_mixed");
    EXPECT_EQ(vg.uuid, kVgId);
    EXPECT_EQ(vg.metadata, restored_);
    EXPECT_TRUE(vg.pvs.count(fresh));
    EXPECT_EQ(backend.cachedVGs().size(), 0u);
    EXPECT_EQ(disks_.journal(), "");
}

// Nothing is changed (no device-mapper device removed, no PV re-initialised) when an argument or
// the live group is not what the revert needs, or when the revert would tear an LV apart.
TEST_F(RevertFixture, RefusalsComeBeforeAnythingChanges) {
    std::string otherGroup = live_;
    otherGroup.replace(otherGroup.find(kVgId), 38, "0therG-roup-0000-0000-0000-0000-000000");
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
         live_,
         {"vgcfgbackup -f FILE smp_mixed", "pvdisplay " + device_},
         std::string("Can't find UUID ") + kPv0 + " in the supplied UUID map"},
        {"backup-time id not in the snap metadata",
         {{"not-in-metadata", kPv0}},
         false,
         live_,
         {"vgcfgbackup -f FILE smp_mixed", "pvdisplay " + device_},
         "Can't find PV with UUID not-in-metadata in snap metadata"},
        {"the same device twice",
         {{kPv0, kPv0}},
         true,
         live_,
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
        // What canRevert refuses, revertLVs refuses too: the striped LV lies on pv1 and pv2 as
        // well, and the snapshot of the LV on pv0 keeps its data on pv2.
        {"an LV on the rolled-back PV and on others",
         {{kPv0, kPv0}},
         false,
         snap_,
         {"vgcfgbackup -f FILE smp_mixed", "pvdisplay " + device_},
         "Can't allow revert because LV stripe resides both on PVs that will be reverted and on "
         "those that won't be."},
        {"a snapshot whose origin is rolled back and whose data is not",
         {{kPv0, kPv0}},
         false,
         withoutLvs(snap_, {"stripe"}),
         {"vgcfgbackup -f FILE smp_mixed", "pvdisplay " + device_},
         "Can't allow revert because there is an affected LV root that has snap root_snap that "
         "would not be reverted"},
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

// A small group "shm" whose LVs live in /dev/shm for the test: X and Y lay on its first PV at
// backup time; since then X has been made anew on the second PV (and is active: its device node
// exists). Reverting the first PV removes Y's device-mapper device, deactivates the live X, which
// stands in the way of the X that returns, re-initialises the PV, restores and activates.
class RevertStepsFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        x_ = "vbrevx" + std::to_string(getpid());
        node_ = "/dev/shm/" + x_;
        std::ofstream(node_) << "";
        device_ = disks_.add("pv0", kPv0);
        other_ = disks_.add("pv1", kPv1);
        snap_ = group({lv(x_, "pv0", 0, "Xsnapx"), lv("y", "pv0", 1, "Ysnapy")});
        live_ = group({lv(x_, "pv1", 0, "Xlivex"), lv("y", "pv0", 1, "Ysnapy")});
    }
    void TearDown() override { unlink(node_.c_str()); }

    std::string lv(const std::string& name, const char* pv, int at, const char* tag) {
        return name + " {\nid = \"" + tag + "-1111-1111-1111-1111-1111-" + tag +
               "\"\nstatus = [\"READ\", \"WRITE\", \"VISIBLE\"]\nsegment_count = 1\n"
               "segment1 {\nstart_extent = 0\nextent_count = 1\ntype = \"striped\"\n"
               "stripe_count = 1\nstripes = [\"" +
               pv + "\", " + std::to_string(at) + "]\n}\n}\n";
    }
    std::string group(const std::vector<std::string>& lvs) {
        std::string text = "shm {\nid = \"" + std::string(kVgId) +
                           "\"\nseqno = 3\nstatus = [\"READ\", \"WRITE\"]\nextent_size = 8192\n"
                           "physical_volumes {\npv0 {\nid = \"" +
                           kPv0 + "\"\ndevice = \"" + device_ +
                           "\"\npe_start = 2048\npe_count = 10\n}\npv1 {\nid = \"" + kPv1 +
                           "\"\ndevice = \"" + other_ +
                           "\"\npe_start = 2048\npe_count = 10\n}\n}\nlogical_volumes {\n";
        for (const std::string& l : lvs) text += l;
        return text + "}\n}\n";
    }

    void answer(vbtest::FakeRunner& fake) {
        disks_.answerPvTools(fake);
        disks_.answerGroupExport(fake, "shm", [this] { return live_; });
        fake.alwaysMatch("dmsetup remove .*", [](const std::string&) { return vbtest::Reply{}; });
        fake.alwaysMatch("lvchange .*", [](const std::string&) { return vbtest::Reply{}; });
        fake.alwaysMatch("vgcfgrestore --yes -f \\S+ shm",
                         [](const std::string&) { return vbtest::Reply{}; });
    }

    vbtest::FakeDisks disks_;
    std::string x_, node_, device_, other_, snap_, live_;
};

// A failure injected at each command in turn: the caller gets the first error; the LVs this
// revert deactivated are activated again when the failure comes before the restore, and nothing
// else is touched; what stays for a run of the same revert (the re-initialised PV, the restored
// metadata) is named in the log.
TEST_F(RevertStepsFixture, EachFailingCommandGivesTheFirstErrorAndUndoesOnlyItsOwnChanges) {
    const std::string conflict = "/dev/shm/" + x_ + "_conflict_001";
    auto run = [&](size_t failAt, std::vector<std::string>* commands) {
        disks_.uuidOf[device_] = kPv0;
        disks_.host().log().clear();
        vbtest::FakeRunner fake;
        if (failAt) fake.failCommand(failAt, 5, "  WARNING: noise\n  injected\n");
        answer(fake);
        std::map<std::string, std::string> map{{kPv0, kPv0}, {kPv1, kPv1}};
        std::string outcome = "ok";
        try {
            LVM_linux_lvm().revertLVs({device_}, snap_.c_str(), map);
        } catch (const YbException& e) {
            outcome = e.getMessage();
        }
        *commands = disks_.withoutNewIds(disks_.withoutTempPaths(fake.commands()));
        return outcome;
    };
    std::vector<std::string> all;
    ASSERT_EQ(run(0, &all), "ok");
    const std::string activation = "lvchange -ay " + conflict + " " + node_ + " /dev/shm/y";
    vbtest::expectCommands(
        all, {"vgcfgbackup -f FILE shm", "pvdisplay " + device_, "dmsetup remove shm-y",
              "lvchange -an " + node_, "pvcreate -ffy --uuid NEW --restorefile FILE " + device_,
              "pvdisplay " + device_, "vgcfgrestore --yes -f FILE shm", activation,
              "vgcfgbackup -f FILE shm"});
    EXPECT_EQ(disks_.journal(), "");

    const std::string undo = "lvchange -ay " + node_;
    const std::string pvKept = "Could not undo the re-initialisation of " + device_ + " as PV ";
    const std::string metadataKept =
        "Could not undo the merged metadata of shm: it stays; running the same revert again "
        "finishes the work";
    struct Case {
        size_t n;
        std::string outcome;
        std::vector<std::string> after;  // what runs after the failing command
        bool pvLeft;
        bool metadataLeft;
    } cases[] = {
        {1, "Could not read metadata for VG shm: vgcfgbackup failed: injected", {}, false, false},
        {2, "Failed to get UUID of the PV " + device_ + ": injected", {}, false, false},
        {3, "ok", {all.begin() + 3, all.end()}, false, false},  // only logged
        {4,
         "LV [" + x_ + "] is in the way, but I can't deactivate it: injected",
         {undo},
         false,
         false},
        {5,
         "Failed to re-initialize PV " + device_ + ": injected",
         {"pvdisplay " + device_, undo},
         false,
         false},
        {6, "Failed to get UUID of the PV " + device_ + ": injected", {undo}, true, false},
        {7, "Failed to update metadata for VG group [shm]: injected", {undo}, true, false},
        {8,
         "Failed to activate LVs [" + conflict + ", " + node_ + ", /dev/shm/y]: injected",
         {},
         true,
         true},
        // The group is reverted; the lookup of what it is now fails, and says so.
        {9, "Could not read metadata for VG shm: vgcfgbackup failed: injected", {}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(all[c.n - 1]);
        std::vector<std::string> commands;
        EXPECT_EQ(run(c.n, &commands), c.outcome);
        std::vector<std::string> expected(all.begin(), all.begin() + c.n);
        expected.insert(expected.end(), c.after.begin(), c.after.end());
        EXPECT_EQ(commands, expected);
        const vbhost::MemoryLogSink& log = disks_.host().log();
        EXPECT_EQ(log.contains(pvKept), c.pvLeft);
        EXPECT_EQ(log.contains(metadataKept), c.metadataLeft);
        EXPECT_EQ(disks_.host().leftoverTempFiles(), "");
    }
}

// A revert of both PVs that was stopped after it re-initialised them both and before it restored
// the metadata leaves no PV that holds the group: LVM2 cannot describe it. Run again, the revert
// takes the group from the passed metadata and finishes; but only when each device carries the
// identity the journal says that run gave it. Otherwise the failure to read the group stands and
// nothing changes.
TEST_F(RevertStepsFixture, ARevertStoppedWhenNoPvHeldTheGroupIsFinished) {
    const std::string given0 = "Given0-0000-0000-0000-0000-0000-000000";
    const std::string given1 = "Given1-1111-1111-1111-1111-1111-111111";
    const std::string lines = std::string(kVgId) + " " + kPv0 + " " + given0 + " " + device_ +
                              "\n" + kVgId + " " + kPv1 + " " + given1 + " " + other_ + "\n";
    struct Case {
        const char* name;
        std::string second;  // what the second device carries
        bool finished;
    } cases[] = {
        {"both devices re-initialised by the stopped run", given1, true},
        {"the second device carries its backup-time identity", kPv1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::writeFile(disks_.host().stateDir() + "/lvm2-import.journal", lines);
        disks_.uuidOf[device_] = given0;
        disks_.uuidOf[other_] = c.second;
        disks_.restoreFiles.clear();
        vbtest::FakeRunner fake;
        fake.allowUnused();
        std::string restored;
        fake.onMatch("vgcfgbackup -f \\S+ shm", [](const std::string&) {
            return vbtest::Reply{5, "", "  Volume group \"shm\" not found\n"};
        });
        disks_.answerPvTools(fake);
        fake.alwaysMatch("lvchange .*", [](const std::string&) { return vbtest::Reply{}; });
        fake.alwaysMatch("vgcfgrestore --yes -f \\S+ shm", [&](const std::string& cmd) {
            restored = vbtest::readFile(
                cmd.substr(cmd.find(" -f ") + 4, cmd.rfind(' ') - cmd.find(" -f ") - 4));
            return vbtest::Reply{};
        });
        disks_.answerGroupExport(fake, "shm", [&] { return restored; });
        std::map<std::string, std::string> map{{kPv0, kPv0}, {kPv1, kPv1}};
        std::string outcome = "ok";
        try {
            LVM_linux_lvm().revertLVs({device_, other_}, snap_.c_str(), map);
        } catch (const YbException& e) {
            outcome = e.getMessage();
        }
        if (c.finished) {
            EXPECT_EQ(outcome, "ok");
            Parser parser;
            Parser::NodeAutoPtr root(parser.parse(restored.c_str()));
            EXPECT_EQ(childNames(Parser::find(root, "logical_volumes", false)),
                      (std::set<std::string>{x_, "y"}));
            EXPECT_EQ(childNames(Parser::find(root, "physical_volumes", false)).size(), 2u);
            EXPECT_EQ(map[kPv0], disks_.uuidOf[device_]);
            EXPECT_EQ(map[kPv1], disks_.uuidOf[other_]);
            EXPECT_EQ(disks_.journal(), "");
        } else {
            EXPECT_EQ(outcome,
                      "Could not read metadata for VG shm: vgcfgbackup failed: Volume group "
                      "\"shm\" not found");
            EXPECT_TRUE(restored.empty());
            EXPECT_TRUE(disks_.restoreFiles.empty());
        }
    }
}

}  // namespace
