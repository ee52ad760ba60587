// Command lines are built from checked words, and the fake runner replays captured output.
#include "core/Command.h"

#include <gtest/gtest.h>

#include "FakeRunner.h"
#include "Fixtures.h"
#include "core/Text.h"
#include "host/YbException.h"
#include "host/YbProcess.h"

namespace {

const volbridge::Origin kHere{"LVM_gpfs::generatePVId", "LVM_gpfs"};

TEST(CommandLine, TextIsTheConcatenationOfItsPieces) {
    using volbridge::CommandLine;
    EXPECT_EQ(CommandLine(kHere, "mmlsdisk")
                  .word("gpfs0", "the file-system name")
                  .literal(" -L 2>/dev/null| awk '{print $1}'")
                  .text(),
              "mmlsdisk gpfs0 -L 2>/dev/null| awk '{print $1}'");
    EXPECT_EQ(CommandLine(kHere, "vxdmpadm -q iostat show dmpnodename=")
                  .arg("emc0_0a1b", "the disk access name")
                  .text(),
              "vxdmpadm -q iostat show dmpnodename=emc0_0a1b");
    EXPECT_EQ(CommandLine(kHere, "mmfsctl")
                  .word("gpfs0", "the file-system name")
                  .literal(" exclude -d \"")
                  .joined({"nsd3", "nsd4"}, ";", "the NSD name")
                  .literal("\"")
                  .text(),
              "mmfsctl gpfs0 exclude -d \"nsd3;nsd4\"");
}

TEST(CommandLine, AValueTheShellWouldInterpretIsRefusedBeforeAnythingRuns) {
    vbtest::FakeRunner fake;  // any command run would fail the test
    const char* bad[] = {"/dev/sdf;reboot", "$(id)", "-rf", "", "a b"};
    for (const char* value : bad) {
        SCOPED_TRACE(value);
        try {
            volbridge::CommandLine cmd(kHere, "mmlsdisk");
            cmd.literal(" x").joined({"nsd1", value}, ";", "the NSD name");
            volbridge::run(cmd);
            ADD_FAILURE() << "not refused";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getFuncName(), "LVM_gpfs::generatePVId");
            EXPECT_EQ(e.getFileName(), "LVM_gpfs");
            EXPECT_EQ(e.getMessage().rfind("Refusing to run a command with the NSD name [" +
                                               volbridge::printable(value) + "]",
                                           0),
                      0u)
                << e.getMessage();
        }
    }
    EXPECT_TRUE(fake.commands().empty());
}

TEST(CommandLine, RunReturnsStatusAndBothStreams) {
    vbtest::FakeRunner fake;
    fake.on("mmgetstate", 0, "out\n", "warning\n").on("vxdg list", 20, "", "V-5-1-582\n");
    volbridge::CommandResult a = volbridge::run(volbridge::CommandLine(kHere, "mmgetstate"));
    EXPECT_TRUE(a.succeeded());
    EXPECT_FALSE(a.succeededQuietly());  // text on standard error
    EXPECT_EQ(a.out, "out\n");
    volbridge::CommandResult b = volbridge::run(volbridge::CommandLine(kHere, "vxdg list"),
                                                volbridge::OutputInLog::Withheld);
    EXPECT_EQ(b.status, 20);
    EXPECT_EQ(b.err, "V-5-1-582\n");
    EXPECT_FALSE(fake.calls()[0].quiet);
    EXPECT_TRUE(fake.calls()[1].quiet);
}

TEST(ReplayRunner, AnswersFromCapturedOutputAndRunsThePipelineForReal) {
    EXPECT_EQ(vbtest::FakeRunner::replayFileName("vxdisk -g datadg -s list | grep flags:"),
              "vxdisk_-g_datadg_-s_list__grep_flags.txt");
    EXPECT_EQ(vbtest::FakeRunner::replayFileName("mmfsadm test readdescraw /dev/sdb"),
              "mmfsadm_test_readdescraw_dev_sdb.txt");

    vbtest::FakeRunner fake;
    fake.replayFrom(vbtest::fixturePath("gpfs"));
    fake.on("mmgetstate", 0, "answered by the rule\n");
    std::string out, err;
    EXPECT_EQ(YbProcess::system("mmgetstate", &out, &err, 0, false), 0);
    EXPECT_EQ(out, "answered by the rule\n");
    EXPECT_EQ(YbProcess::system("mmlsnsd -m", &out, &err, 0, false), 0);
    EXPECT_EQ(out, vbtest::readFixture("gpfs/mmlsnsd_-m.txt"));
    // The awk program of a pipeline runs over the captured mmlsdisk output.
    EXPECT_EQ(YbProcess::system("mmlsdisk gpfs0 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag > 0 ) "
                                "printf \":\"$4\"$\"$1; if ($1 ~/-------/) flag = 1;}'",
                                &out, &err, 0, false),
              0);
    EXPECT_EQ(out, ":1$nsd1:1$nsd2:2$nsd3");
}

// Command output quoted inside one log line: the record stays one line.
TEST(QuotedOutput, LineBreaksInsideAreWrittenOutAndThoseAtTheEndDropped) {
    EXPECT_EQ(volbridge::quotedOutput("/bin/sh: 1: mmgetstate: not found\n"),
              "/bin/sh: 1: mmgetstate: not found");
    EXPECT_EQ(volbridge::quotedOutput("a\nb\r\n\n"), "a\\nb");
    EXPECT_EQ(volbridge::quotedOutput("x\ry"), "x\\ry");
    EXPECT_EQ(volbridge::quotedOutput(""), "");
}

}  // namespace
