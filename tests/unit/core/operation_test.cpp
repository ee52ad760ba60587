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
        std::string message;
    };
    const Case cases[] = {
        {volbridge::unit::kVxvm, nullptr, "Error: cmd: 'tool x' failed with the error: 'bad\n'"},
        {volbridge::unit::kGpfs, nullptr, "Error: cmd: 'tool x' failed with error: 'bad\n'"},
        {volbridge::unit::kLinuxLvm, nullptr, "\"tool x\" failed: bad\n"},
        {volbridge::unit::kLinuxLvm, "Failed to remove VG x", "Failed to remove VG x: bad\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        fake_.on("tool x", 3, "", "bad\n");
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
