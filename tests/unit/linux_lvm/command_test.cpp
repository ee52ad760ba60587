// Running LVM2 commands: the cause quoted from a failed command, and commands for many LVs.
#include <gtest/gtest.h>

#include <list>
#include <string>

#include "FakeHost.h"
#include "FakeRunner.h"
#include "Fixtures.h"
#include "core/Operation.h"
#include "host/YbException.h"
#include "linux_lvm/lvm2_command.h"

namespace {

TEST(LvmFailureCause, TheCauseNotTheWarningsBeforeIt) {
    struct Case {
        const char* name;
        std::string err;
        std::string cause;
    } cases[] = {
        {"captured: warnings, then the cause",
         vbtest::readFixture("lvm2/lvchange/exported-group-with-duplicates-stderr.txt"),
         "Volume group vbexpsrc is exported"},
        {"two lines of cause",
         "  WARNING: x\n  Cannot use /dev/sdb: device is rejected by filter config\n"
         "  Failed to find physical volume \"/dev/sdb\".\n",
         "Cannot use /dev/sdb: device is rejected by filter config; Failed to find physical "
         "volume \"/dev/sdb\"."},
        {"warnings only", "  WARNING: a\n\n  WARNING: b\n", "WARNING: a; WARNING: b"},
        {"plain", "busy", "busy"},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(volbridge::lvmFailureCause(c.err), c.cause);
    }
}

TEST(MustRunLvm, ThrowsTheSentenceAndTheCause) {
    vbtest::FakeHost host;
    vbtest::FakeRunner fake;
    fake.on("vgremove -f g1", 5, "", "  WARNING: noise\n  Volume group \"g1\" not found\n");
    const volbridge::Operation op("LVM_linux_lvm::destroyVG", volbridge::unit::kLinuxLvm);
    try {
        volbridge::lvm2::mustRunLvm(op, op.command("vgremove -f g1"), "Failed to remove VG g1");
        ADD_FAILURE() << "no exception";
    } catch (const YbException& e) {
        EXPECT_EQ(e.getMessage(), "Failed to remove VG g1: Volume group \"g1\" not found");
        EXPECT_EQ(e.getFuncName(), "LVM_linux_lvm::destroyVG");
    }
    EXPECT_TRUE(host.log().contains("'vgremove -f g1' exited with status 5"));
}

// Many LVs go into one command, unless their paths would make it longer than the shell takes.
TEST(CommandsFor, OneCommandUnlessTheLineWouldBeTooLong) {
    const volbridge::Operation op("f", volbridge::unit::kLinuxLvm);
    std::list<std::string> few{"/dev/vg/a", "/dev/vg/b"};
    auto lines = volbridge::lvm2::commandsFor(op, "lvchange -ay", few, "the LV device path");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text(), "lvchange -ay /dev/vg/a /dev/vg/b");
    EXPECT_TRUE(volbridge::lvm2::commandsFor(op, "x", {}, "v").empty());

    std::list<std::string> many;
    size_t total = 0;
    for (int i = 0; i < 2000; ++i) {
        many.push_back("/dev/vg/" + std::string(40, 'l') + std::to_string(i));
        total += many.back().size();
    }
    lines = volbridge::lvm2::commandsFor(op, "lvchange -ay", many, "the LV device path");
    ASSERT_EQ(lines.size(), 2u);
    size_t words = 0;
    for (const volbridge::CommandLine& line : lines) {
        EXPECT_LT(line.text().size(), 70u * 1024);
        for (char c : line.text()) words += c == ' ';
    }
    EXPECT_EQ(words, many.size() + 2);  // the blank after "lvchange" in each line
    EXPECT_GT(total, 64u * 1024);
}

}  // namespace
