// The operation object: commands and their failure text in each backend's words, the act phase
// with its undo list, progress on the host's sink, and the host's import lock.
#include "core/Operation.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "FakeHost.h"
#include "FakeRunner.h"
#include "core/ImportLock.h"
#include "host/YbException.h"

namespace {

using volbridge::Operation;

// The message of the YbException `body` throws; "(no exception)" when none.
template <class F>
std::string failure(F&& body) {
    try {
        body();
    } catch (const YbException& e) {
        return e.getMessage();
    }
    return "(no exception)";
}

class OperationTest : public ::testing::Test {
  protected:
    vbtest::FakeHost host_;
    vbtest::FakeRunner fake_;
};

TEST_F(OperationTest, AFailedCommandReadsInItsBackendsWordsAndItsStatusIsLogged) {
    struct Case {
        const char* unit;
        const char* sentence;  // LVM2's own sentence, or null
        std::string err;
        std::string message;
    };
    const std::string warned = "  WARNING: Not using device /dev/sdz.\nbad\n";
    const Case cases[] = {
        {volbridge::unit::kVxvm, nullptr, "bad\n",
         "Error: cmd: 'tool x' failed with the error: 'bad\n'"},
        {volbridge::unit::kGpfs, nullptr, "bad\n",
         "Error: cmd: 'tool x' failed with error: 'bad\n'"},
        // LVM2's cause leaves out the warnings it prints before it.
        {volbridge::unit::kLinuxLvm, nullptr, warned, "\"tool x\" failed: bad"},
        {volbridge::unit::kLinuxLvm, "Failed to remove VG x", warned, "Failed to remove VG x: bad"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        fake_.on("tool x", 3, "", c.err);
        host_.log().clear();
        Operation op("F::g", c.unit);
        auto cmd = op.command("tool").word("x", "the name");
        const std::string message = failure([&] {
            if (c.sentence) {
                op.mustRun(cmd, c.sentence);
            } else {
                op.mustRun(cmd);
            }
        });
        EXPECT_EQ(message, c.message);
        EXPECT_TRUE(host_.log().contains("'tool x' exited with status 3"));
    }
}

TEST_F(OperationTest, GpfsCountsTextOnStandardErrorAsFailureUnlessTheStatusIsTrusted) {
    fake_.always("mmexportfs gpfs0 -o f", 0, "", "mmexportfs: warning\n");
    Operation op("LVM_gpfs::exportFS", volbridge::unit::kGpfs);
    const auto cmd = op.command("mmexportfs gpfs0 -o f");
    EXPECT_EQ(failure([&] { op.mustRun(cmd); }),
              "Error: cmd: 'mmexportfs gpfs0 -o f' failed with error: 'mmexportfs: warning\n'");
    EXPECT_EQ(failure([&] { op.mustRun(cmd, Operation::StderrText::Tolerated); }),
              "(no exception)");
    EXPECT_TRUE(host_.log().contains("succeeded and said on standard error: mmexportfs: warning"));

    Operation vx("LVM_vxvm::x", volbridge::unit::kVxvm);
    EXPECT_EQ(failure([&] { vx.mustRun(cmd); }), "(no exception)");
}

// A failing step: the changes recorded before it are undone newest first, an undo that fails is
// named at level 0 and does not replace the step's error, which the caller gets.
TEST_F(OperationTest, AFailedStepUndoesOnlyWhatWasRecordedAndKeepsTheFirstError) {
    Operation op("LVM_vxvm::recreateVG", volbridge::unit::kVxvm);
    std::vector<std::string> undone;
    const std::string message = failure([&] {
        op.act({
            {"tagging",
             [&] {
                 op.changed("the tag on emc0_0a1b", [&] { undone.push_back("tag b"); });
                 op.changed("the tag on emc0_0a1c", [&] { undone.push_back("tag c"); });
             }},
            {"importing",
             [&] {
                 op.changed("the disk group yb_datadg_1", [&] {
                     undone.push_back("group");
                     op.fail("vxdg destroy failed");
                 });
             }},
            {"starting volumes", [&] { op.fail("first error"); }},
            {"never run", [&] { ADD_FAILURE() << "ran after a failure"; }},
        });
    });
    EXPECT_EQ(message, "first error");
    EXPECT_EQ(undone, (std::vector<std::string>{"group", "tag c", "tag b"}));
    EXPECT_TRUE(
        host_.log().contains("Could not undo the disk group yb_datadg_1: vxdg destroy "
                             "failed"));
    EXPECT_TRUE(
        host_.log().contains("Left as it is after the failure, for the operator to remove "
                             "or finish: the disk group yb_datadg_1"));
    EXPECT_TRUE(op.changes().empty());

    // What a later step made permanent is not undone.
    Operation again("LVM_gpfs::recreateVG", volbridge::unit::kGpfs);
    undone.clear();
    failure([&] {
        again.act({{"import", [&] { again.changed("import", [&] { undone.push_back("x"); }); }},
                   {"keep", [&] { again.forget("import"); }},
                   {"fail", [&] { again.fail("late"); }}});
    });
    EXPECT_TRUE(undone.empty());
}

TEST_F(OperationTest, ATolerableFailureIsLoggedInItsBackendsWords) {
    struct Case {
        const char* unit;
        std::string line;
    };
    const Case cases[] = {
        {volbridge::unit::kVxvm,
         "Warning: cmd: 'tool x' failed with the message: 'bad'. Continuing..."},
        {volbridge::unit::kGpfs, "Error: cmd: 'tool x' failed with error: 'bad'"},
        {volbridge::unit::kLinuxLvm, "Command [tool x] failed with stdout=[out], stderr=[bad]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        fake_.on("tool x", 1, "out", "bad");
        host_.log().clear();
        const Operation op("F::g", c.unit);
        EXPECT_EQ(op.runTolerating(op.command("tool x"), 0, "Warning", ". Continuing...").status,
                  1);
        EXPECT_TRUE(host_.log().contains(c.line)) << host_.log().records().back();
    }
}

// What cannot be undone is named with how to finish it, among what the failure leaves.
TEST_F(OperationTest, APermanentChangeIsNamedWithHowToFinishIt) {
    Operation op("LVM_linux_lvm::recreateVG", volbridge::unit::kLinuxLvm);
    bool undone = false;
    EXPECT_EQ(failure([&] {
                  op.act({{"re-initialising",
                           [&] {
                               op.changed("the devices-file entry", [&] { undone = true; });
                               op.permanent("the re-initialisation of /dev/sdx",
                                            "it stays; running the same import again finishes "
                                            "the work");
                           }},
                          {"restoring", [&] { op.fail("restore failed"); }}});
              }),
              "restore failed");
    EXPECT_TRUE(undone);
    EXPECT_TRUE(host_.log().contains(
        "Could not undo the re-initialisation of /dev/sdx: it stays; running the same import "
        "again finishes the work"));
    EXPECT_TRUE(
        host_.log().contains("for the operator to remove or finish: the "
                             "re-initialisation of /dev/sdx"));
}

// A command that changes the host runs only as a step of a plan, and only when everything it
// names as changed is a subject of that plan; otherwise it is refused before it runs.
TEST_F(OperationTest, ACommandThatChangesTheHostRunsOnlyOnTheSubjectsOfThePlan) {
    using volbridge::SubjectKind;
    fake_.always("vxdisk -f init emc0_0a1c", 0);
    Operation op("LVM_vxvm::revertLVs", volbridge::unit::kVxvm);
    auto init = [&](const std::string& disk) {
        return op.change("vxdisk -f init").subject(SubjectKind::Disk, disk, "the disk");
    };
    // In the check phase nothing that changes the host runs.
    EXPECT_EQ(failure([&] { op.mustRun(init("emc0_0a1c")); }),
              "Refusing to run 'vxdisk -f init emc0_0a1c': it changes the host, and no plan is "
              "being carried out (the check phase of an operation changes nothing)");

    volbridge::Plan plan;
    plan.subject(SubjectKind::Disk, "emc0_0a1c", "the copy of captured disk datadg02");
    plan.subject(SubjectKind::Group, "datadg", "imported, holds emc0_0a1c");
    bool undoRan = false;
    plan.step("re-initialising emc0_0a1c", [&] {
        op.mustRun(init("emc0_0a1c"));
        op.changed("a change", [&] {
            undoRan = true;
            op.mustRun(init("emc0_0a1c"));  // an undo acts under the plan too
        });
    });
    plan.step("re-initialising emc0_0a1d", [&] { op.mustRun(init("emc0_0a1d")); });
    EXPECT_EQ(failure([&] { op.act(plan); }),
              "Refusing to run 'vxdisk -f init emc0_0a1d': it changes the disk emc0_0a1d, which "
              "is not among what the plan of this operation changes");
    EXPECT_TRUE(undoRan);
    vbtest::expectCommands(fake_.commands(),
                           {"vxdisk -f init emc0_0a1c", "vxdisk -f init emc0_0a1c"});
    // A command that only reads runs anywhere.
    fake_.on("vxdisk list", 0);
    EXPECT_EQ(op.run(op.command("vxdisk list")).status, 0);
}

// While the host asks for plans only, the check phase runs for real and the outermost operation
// hands its plan (or, for one that returns false, its refusal) to the host's sink; no step runs.
TEST_F(OperationTest, CheckingOnlyHandsThePlanToTheHostAndRunsNoStep) {
    using volbridge::SubjectKind;
    struct Sink : vbhost::PlanSink {
        std::vector<std::string> lines;
        void planned(const std::string& op, const std::vector<vbhost::PlannedSubject>& subjects,
                     const std::vector<std::string>& steps) override {
            lines.push_back("plan of " + op);
            for (const auto& s : subjects)
                lines.push_back(s.kind + " " + s.name + ": " + s.evidence);
            for (const auto& s : steps) lines.push_back("step " + s);
        }
        void refused(const std::string& op, const std::string& why) override {
            lines.push_back("refused " + op + ": " + why);
        }
    } sink;
    vbhost::ScopedCheckOnly only(sink);
    EXPECT_TRUE(Operation::checkingOnly());
    {
        Operation op("LVM_linux_lvm::recreateVG", volbridge::unit::kLinuxLvm);
        volbridge::Plan plan;
        plan.subject(SubjectKind::Disk, "/dev/sdx", "the copy of captured PV pv0")
            .subject(SubjectKind::Disk, "/dev/sdx", "in no group")
            .subject(SubjectKind::Group, "vg_copy_001", "the name is free");
        plan.step("re-initialising /dev/sdx as a PV", [] { ADD_FAILURE() << "a step ran"; });
        plan.step("activating vg_copy_001", [] { ADD_FAILURE() << "a step ran"; });
        EXPECT_FALSE(op.act(plan));
    }
    Operation refusing("LVM_gpfs::prepRevertLV", volbridge::unit::kGpfs);
    EXPECT_FALSE(refusing.falseOnFailure([&]() -> bool { refusing.fail("mmlsmount failed"); }));
    EXPECT_EQ(
        sink.lines,
        (std::vector<std::string>{
            "plan of LVM_linux_lvm::recreateVG",
            "disk /dev/sdx: the copy of captured PV pv0; in no group",
            "group vg_copy_001: the name is free", "step re-initialising /dev/sdx as a PV",
            "step activating vg_copy_001", "refused LVM_gpfs::prepRevertLV: mmlsmount failed"}));
    EXPECT_TRUE(fake_.commands().empty());
}

// The data of an operation lives in its plan, so a plan returned by value keeps what its steps
// refer to.
TEST_F(OperationTest, APlanKeepsItsDataWhenItIsMoved) {
    struct Data {
        std::vector<std::string> done;
    };
    auto check = [] {
        volbridge::Plan plan;
        Data& data = plan.hold<Data>();
        plan.step("one", [&data] { data.done.push_back("one"); });
        return plan;
    };
    volbridge::Plan plan = check();
    Operation op("X::y", volbridge::unit::kVxvm);
    EXPECT_TRUE(op.act(plan));
    EXPECT_EQ(plan.held<Data>().done, (std::vector<std::string>{"one"}));
    EXPECT_THROW(plan.held<std::string>(), std::logic_error);
}

TEST_F(OperationTest, FalseOnFailureLogsTheErrorUnderTheOperationsName) {
    Operation op("LVM_linux_lvm::canRevert", volbridge::unit::kLinuxLvm);
    EXPECT_FALSE(
        op.falseOnFailure([&]() -> bool { throw YbException("x", "refused", "u", 7, -1); }));
    ASSERT_EQ(host_.log().records().size(), 1u);
    EXPECT_NE(host_.log().records()[0].find(" ERROR job=42 LVM_linux_lvm::canRevert:7: refused"),
              std::string::npos);
    EXPECT_TRUE(op.falseOnFailure([] { return true; }));
}

// Progress: the outermost operation reports its steps and its end; an operation inside it (a
// clean-up, a lookup) reports nothing of its own.
TEST_F(OperationTest, TheOutermostOperationReportsItsStepsAndItsEnd) {
    struct Sink : vbhost::ProgressSink {
        std::vector<std::string> lines;
        void step(const std::string& op, size_t n, size_t total, const std::string& what) override {
            lines.push_back(op + " [" + std::to_string(n) + "/" + std::to_string(total) + "] " +
                            what);
        }
        void finished(const std::string& op, bool ok, uint64_t) override {
            lines.push_back(op + (ok ? " done" : " failed"));
        }
    } sink;
    vbhost::ScopedProgress progress(sink);
    {
        Operation op("A::recreateVG", volbridge::unit::kVxvm);
        op.act({{"one", [] {}}, {"two", [] {
                                     Operation inner("A::destroyVG", volbridge::unit::kVxvm);
                                     inner.act("inner step", [] {});
                                 }}});
    }
    failure([] {
        Operation op("B::revertLVs", volbridge::unit::kLinuxLvm);
        op.act("restoring the group metadata onto /dev/sdx", [&] { op.fail("x"); });
    });
    {
        Operation lookup("C::getVGByUUID", volbridge::unit::kGpfs);  // no act: nothing
    }
    EXPECT_EQ(sink.lines,
              (std::vector<std::string>{
                  "A::recreateVG [1/2] one", "A::recreateVG [2/2] two", "A::recreateVG done",
                  "B::revertLVs [1/1] restoring the group metadata onto /dev/sdx",
                  "B::revertLVs failed"}));
}

// One import at a time on a host: a second process waits for the first, and says so; inside one
// process the lock is taken again without waiting.
TEST_F(OperationTest, TheImportLockMakesAnotherProcessWait) {
    const volbridge::Origin here{"LVM_vxvm::recreateVG", volbridge::unit::kVxvm};
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        volbridge::ImportLock lock(here);
        (void)!write(ready[1], "x", 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    const auto start = std::chrono::steady_clock::now();
    {
        volbridge::ImportLock lock(here);
        volbridge::ImportLock again(here);  // a clean-up inside the import
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    }
    EXPECT_TRUE(host_.log().contains("Waiting for another import, which holds the lock " +
                                     host_.stateDir() + "/import.lock"));
    int status = 0;
    waitpid(child, &status, 0);
    close(ready[0]);
    close(ready[1]);
}

TEST_F(OperationTest, TheStateDirectoryMustBeOnlyItsOwners) {
    const volbridge::Origin here{"LVM_gpfs::recreateVG", volbridge::unit::kGpfs};
    ASSERT_EQ(chmod(host_.stateDir().c_str(), 0777), 0);
    EXPECT_EQ(failure([&] { volbridge::ImportLock lock(here); }),
              "Refusing the directory " + host_.stateDir() +
                  " for the import lock: others may write to it");
}

}  // namespace
