// The revert protocol through the fake runner: canRevert's rules on the live group, and
// prepRevertLV and cancelRevertLV taking the LVs on the rolled-back disks out of service and back,
// with one command each, and what each leaves when a command fails.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "FakeDisks.h"
#include "FakeRunner.h"
#include "Fixtures.h"
#include "LVM/LVM.h"
#include "host/HostSeams.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_restore.h"

namespace {

using Parser = LVM_linux_lvm_parser;

struct Progress : vbhost::ProgressSink {
    std::vector<std::string> lines;
    void step(const std::string&, size_t n, size_t total, const std::string& what) override {
        lines.push_back("[" + std::to_string(n) + "/" + std::to_string(total) + "] " + what);
    }
    void finished(const std::string&, bool, uint64_t) override {}
};

// The live group smp_mixed over three fake disks (its PVs' device paths are theirs); LVM2's
// description of it is what the fake's "vgcfgbackup -f" writes.
class RevertChecks : public ::testing::Test {
  protected:
    void SetUp() override {
        full_ = vbtest::readFixture("lvm2/metadata/mixed-3pv.vg");
        for (int i = 0; i < 3; ++i) {
            const std::string loop = "\"/dev/loop" + std::to_string(9 + i) + "\"";
            devices_.push_back(disks_.add("pv" + std::to_string(i), ""));
            full_.replace(full_.find(loop), loop.size(), "\"" + devices_.back() + "\"");
        }
        outside_ = disks_.add("outside", "");
        // The group after its striped LV over all three PVs and its snapshot were removed.
        later_ = without(full_, {"stripe", "root_snap", "snapshot0"});
        live_ = later_;
    }

    static std::string without(const std::string& text, const std::set<std::string>& names) {
        Parser parser;
        Parser::NodeAutoPtr root(parser.parse(text.c_str()));
        Parser::Node* lvs = Parser::find(root, "logical_volumes", false);
        for (const std::string& name : names) {
            volbridge::lvm2::removeChild(lvs, Parser::findDirectChild(lvs, name.c_str()));
        }
        return Parser::dump(root, 0);
    }

    LVM::VG live() const {
        LVM::VG vg;
        vg.name = vg.orig_name = "smp_mixed";
        return vg;
    }

    std::vector<std::string> commands(const vbtest::FakeRunner& fake) const {
        return disks_.withoutTempPaths(fake.commands());
    }

    vbtest::FakeDisks disks_;
    std::vector<std::string> devices_;
    std::string outside_;
    std::string full_, later_, live_;
};

TEST_F(RevertChecks, CanRevertAppliesItsRulesToTheLiveGroup) {
    struct Case {
        const char* name;
        std::string live;
        std::list<std::string> devices;
        std::string refusal;  // empty: allowed
    } cases[] = {
        {"every PV", full_, {devices_[0], devices_[1], devices_[2]}, ""},
        {"a striped LV on the reverted PV and on others",
         full_,
         {devices_[0]},
         "Can't allow revert because LV stripe resides both on PVs that will be reverted and on "
         "those that won't be."},
        {"the snapshot's data reverted, its origin not",
         without(full_, {"stripe"}),
         {devices_[2]},
         "Can't allow revert because there is a not affected LV root that has snap root_snap "
         "residing on one of the passed PVs"},
        {"a mirror side on the reverted PV", later_, {devices_[0]}, ""},
        {"a disk that is no PV of the group",
         later_,
         {outside_},
         "Device " + outside_ + " is not a PV of VG [smp_mixed]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        disks_.host().log().clear();
        live_ = c.live;
        vbtest::FakeRunner fake;
        disks_.answerGroupExport(fake, "smp_mixed", [this] { return live_; });
        LVM_linux_lvm backend;
        EXPECT_EQ(backend.canRevert(live(), "", c.devices), c.refusal.empty());
        EXPECT_EQ(commands(fake), std::vector<std::string>{"vgcfgbackup -f FILE smp_mixed"});
        if (!c.refusal.empty()) {
            EXPECT_TRUE(disks_.host().log().contains("ERROR job=42 LVM_linux_lvm::canRevert:"));
            EXPECT_TRUE(disks_.host().log().contains(c.refusal));
        }
    }
}

// The visible LVs that use the reverted PV go out of service with one command, and come back with
// one (the mirror as a whole, since one of its sides is there).
TEST_F(RevertChecks, PrepareAndCancelTakeTheLvsOutOfServiceAndBackWithOneCommandEach) {
    const std::string lvs = "/dev/smp_mixed/root /dev/smp_mixed/data";
    Progress progress;
    vbhost::ScopedProgress progressGuard(progress);
    vbtest::FakeRunner fake;
    disks_.answerGroupExport(fake, "smp_mixed", [this] { return live_; });
    fake.on("lvchange -an " + lvs);
    fake.on("lvchange -ay " + lvs);
    LVM_linux_lvm backend;
    EXPECT_TRUE(backend.prepRevertLV(live(), full_.c_str(), {devices_[0]}));
    EXPECT_TRUE(backend.cancelRevertLV(full_.c_str(), {devices_[0]}));
    EXPECT_EQ(commands(fake),
              (std::vector<std::string>{"vgcfgbackup -f FILE smp_mixed", "lvchange -an " + lvs,
                                        "vgcfgbackup -f FILE smp_mixed", "lvchange -ay " + lvs}));
    EXPECT_EQ(progress.lines,
              (std::vector<std::string>{"[1/1] deactivating 2 LVs of smp_mixed on " + devices_[0],
                                        "[1/1] activating 2 LVs of smp_mixed on " + devices_[0]}));
}

// A failure injected at each command: the operation says false and logs why. A prepare whose
// deactivation fails brings the LVs back into service (it may have taken some out), and says so
// when that fails too; a cancel has nothing to undo.
TEST_F(RevertChecks, EachFailureGivesFalseAndAPrepareUndoesItsDeactivation) {
    const std::string lvs = "/dev/smp_mixed/root /dev/smp_mixed/data";
    const std::string listed = "/dev/smp_mixed/root, /dev/smp_mixed/data";
    struct Case {
        const char* name;
        bool prepare;
        std::vector<size_t> failing;
        std::vector<std::string> commands;
        std::string error;
        bool undoFailed;
    } cases[] = {
        {"prepare: the group cannot be read",
         true,
         {1},
         {"vgcfgbackup -f FILE smp_mixed"},
         "Could not read metadata for VG smp_mixed: vgcfgbackup failed: injected",
         false},
        {"prepare: the deactivation fails",
         true,
         {2},
         {"vgcfgbackup -f FILE smp_mixed", "lvchange -an " + lvs, "lvchange -ay " + lvs},
         "Failed to deactivate LVs of VG [smp_mixed] (" + listed + "): injected",
         false},
        {"prepare: the deactivation fails and so does bringing them back",
         true,
         {2, 3},
         {"vgcfgbackup -f FILE smp_mixed", "lvchange -an " + lvs, "lvchange -ay " + lvs},
         "Failed to deactivate LVs of VG [smp_mixed] (" + listed + "): injected",
         true},
        {"cancel: the activation fails",
         false,
         {2},
         {"vgcfgbackup -f FILE smp_mixed", "lvchange -ay " + lvs},
         "Failed to activate LVs of VG [smp_mixed] (" + listed + "): injected",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        disks_.host().log().clear();
        vbtest::FakeRunner fake;
        fake.allowUnused();
        size_t n = 0;
        fake.alwaysMatch(".*", [&](const std::string& cmd) {
            ++n;
            for (size_t failing : c.failing) {
                if (n == failing) return vbtest::Reply{5, "", "  WARNING: noise\n  injected\n"};
            }
            if (cmd.rfind("vgcfgbackup", 0) == 0) {
                std::smatch m;
                std::regex_search(cmd, m, std::regex(" -f (\\S+) "));
                vbtest::writeFile(m[1], live_);
            }
            return vbtest::Reply{};
        });
        LVM_linux_lvm backend;
        const bool ok = c.prepare ? backend.prepRevertLV(live(), full_.c_str(), {devices_[0]})
                                  : backend.cancelRevertLV(full_.c_str(), {devices_[0]});
        EXPECT_FALSE(ok);
        EXPECT_EQ(commands(fake), c.commands);
        const vbhost::MemoryLogSink& log = disks_.host().log();
        const std::string func = c.prepare ? "prepRevertLV" : "cancelRevertLV";
        EXPECT_EQ(log.count("ERROR job=42 LVM_linux_lvm::" + func + ":"), 1u);
        EXPECT_TRUE(log.contains(c.error));
        EXPECT_EQ(
            log.contains("Could not undo the deactivation of " + listed +
                         ": Failed to activate LVs of VG [smp_mixed] (" + listed + "): injected"),
            c.undoFailed);
    }
}

}  // namespace
