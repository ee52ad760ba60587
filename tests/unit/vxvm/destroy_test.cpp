// Destroy through the fake runner on the captured output of datadg: the order of a destroy, the
// I/O drain and its cap, the early returns, a group that stays, disk removal and the flush and
// deport.
#include <gtest/gtest.h>

#include "VxvmSandbox.h"

namespace {

using vbtest::Reply;

const char* const kDas[] = {"emc0_0a1b", "emc0_0a1c", "emc0_0a1d"};

std::vector<std::string> iostatPoll() {
    std::vector<std::string> cmds;
    for (const char* da : kDas) {
        cmds.push_back(std::string("vxdmpadm -q iostat show dmpnodename=") + da);
    }
    return cmds;
}

// The commands of a whole destroy of datadg, with `polls` polls of the disks' I/O.
std::vector<std::string> destroyCommands(int polls) {
    std::vector<std::string> cmds{"vxprint -g datadg",
                                  "vxprint -g datadg -d -F%da_name",
                                  "vxprint -g datadg -d -F%name",
                                  "vxdmpadm settune dmp_cache_open=on",
                                  "vxvol -g datadg stopall",
                                  "vxdg destroy datadg",
                                  "vxdg -q list"};
    for (const char* da : kDas) {
        cmds.push_back(std::string("vxdisk offline ") + da);
        cmds.push_back(std::string("vxdisk rm ") + da);
    }
    cmds.push_back("vxdmpadm iostat start");
    for (int i = 0; i < polls; ++i) {
        for (std::string& c : iostatPoll()) cmds.push_back(c);
    }
    cmds.push_back("vxdmpadm iostat stop");
    return cmds;
}

// Answers the destroy commands that have no captured output: all succeed, and datadg is gone
// afterwards.
void answerDestroy(vbtest::FakeRunner& fake) {
    fake.alwaysMatch("vxdmpadm (settune|iostat start|iostat stop).*",
                     [](const std::string&) { return Reply{}; })
        .alwaysMatch("vxvol -g datadg stopall|vxdg destroy datadg|vxdisk (offline|rm) .*",
                     [](const std::string&) { return Reply{}; })
        .always("vxdg -q list", 0, "otherdg      enabled,cds          1234567777.5.hostA\n");
}

class VxvmDestroy : public vbtest::VxvmSandbox {};

TEST_F(VxvmDestroy, DestroyStopsDestroysRemovesAndWaitsForTheDisksToDrain) {
    vbtest::FakeRunner fake;
    // Pending I/O on the first poll, none on the second.
    fake.on("vxdmpadm -q iostat show dmpnodename=emc0_0a1c", 0,
            "DMPNODENAME READS WRITES\nemc0_0a1c  2  1  4\nemc0_0a1c 9 9\n");
    answerDestroy(fake);
    replayDatadg(fake);
    putMarker("rmgroup.before", "4");
    putMarker("rmdg.after", "5");

    LVM_vxvm().destroyVG("datadg");

    vbtest::expectCommands(fake.commands(), destroyCommands(2));
    // The hooks before and after the group goes, then exactly one wait for the I/O to drain.
    EXPECT_EQ(fakeClock_.sleeps(), (std::vector<uint64_t>{4000, 5000, 10000}));
    EXPECT_TRUE(log_.contains("7 I/O pending."));
    // A line of the disk with other than four fields adds nothing and is logged.
    EXPECT_TRUE(log_.contains("  expected 4 fields, got 3"));
    EXPECT_TRUE(log_.contains("  :emc0_0a1c  2  1  4:"));
    EXPECT_TRUE(log_.contains("Info: cmd: 'vxdg destroy datadg'\nstd_out:\n\nstd_err:\n\n"));
}

// Releases that count the I/O per path print rows that name the paths, not the disk: those rows
// are the disk's, and the drain waits for them too.
TEST_F(VxvmDestroy, TheDrainWaitsForIoCountedPerPath) {
    vbtest::FakeRunner fake;
    fake.on(
        "vxdmpadm -q iostat show dmpnodename=emc0_0a1b", 0,
        vbtest::readFixture("vxvm/real-hosts/vxdmpadm_-q_iostat_show_dmpnodename=emc0_0a1b.txt"));
    answerDestroy(fake);
    replayDatadg(fake);

    LVM_vxvm().destroyVG("datadg");

    vbtest::expectCommands(fake.commands(), destroyCommands(2));
    EXPECT_EQ(fakeClock_.sleeps(), std::vector<uint64_t>{10000});
    EXPECT_TRUE(log_.contains("6 I/O pending."));
    const auto lines = volbridge::vxvm::parseIostat(
        vbtest::readFixture("vxvm/real-hosts/vxdmpadm_-q_iostat_show_dmpnodename=emc0_0a1b.txt"),
        "emc0_0a1b");
    std::vector<int64_t> counted;
    for (const auto& line : lines) {
        if (line.counted) counted.push_back(line.pending);
    }
    EXPECT_EQ(counted, (std::vector<int64_t>{3, 3}));
}

TEST_F(VxvmDestroy, DrainGivesUpAfterTenMinutes) {
    vbtest::FakeRunner fake;
    fake.alwaysMatch("vxdmpadm -q iostat show dmpnodename=(.*)", [](const std::string& cmd) {
        return Reply{0, cmd.substr(cmd.find('=') + 1) + " 0 0 1\n", ""};
    });
    answerDestroy(fake);
    replayDatadg(fake);

    LVM_vxvm().destroyVG("datadg");

    vbtest::expectCommands(fake.commands(), destroyCommands(61));
    EXPECT_EQ(fakeClock_.sleeps(), std::vector<uint64_t>(60, 10000));
    EXPECT_EQ(log_.count("3 I/O pending."), 60u);
    EXPECT_EQ(log_.count("ERROR"), 1u);
    EXPECT_TRUE(log_.contains("3 I/O still pending. Can't wait longer..."));
}

TEST_F(VxvmDestroy, EveryStepOfTheDisksIsTriedWhateverTheEarlierOnesDid) {
    vbtest::FakeRunner fake;
    fake.on("vxprint -g datadg", 1, "", "VxVM vxprint ERROR V-5-1-684 IPC failure")
        .on("vxdmpadm settune dmp_cache_open=on", 1)
        .on("vxvol -g datadg stopall", 1, "", "busy")
        .on("vxdisk offline emc0_0a1b", 1, "", "offline failed")
        .on("vxdisk rm emc0_0a1c", 1, "", "rm failed")
        .on("vxdmpadm iostat start", 1, "", "no stats")
        .on("vxdmpadm iostat stop", 1);
    answerDestroy(fake);
    replayDatadg(fake);

    LVM_vxvm().destroyVG("datadg");

    // Without per-disk statistics the drain is a fixed 10 seconds.
    vbtest::expectCommands(fake.commands(), destroyCommands(0));
    EXPECT_EQ(fakeClock_.sleeps(), std::vector<uint64_t>{10000});
    for (const char* line :
         {"Failed to settune dmp_cache_open=on",
          "Info: cmd: 'vxvol -g datadg stopall' failed with the message: 'busy'. Continuing...",
          "Failed to offline 'emc0_0a1b'.\nStdout:\nError:offline failed",
          "Failed to remove 'emc0_0a1c'.\nStdout:\nError:rm failed",
          "Failed to enable iostat.\nStdout:\nError:no stats"}) {
        EXPECT_TRUE(log_.contains(line)) << line;
    }
}

// A group that is still there after the destroy (a volume open) fails the destroy, names the
// group, and keeps its disks: offlining them would take the volumes down under their users.
TEST_F(VxvmDestroy, AGroupThatStaysFailsTheDestroyAndKeepsItsDisks) {
    struct Case {
        const char* name;
        vbtest::Reply destroy;
        std::string listed;  // "vxdg -q list" after the destroy
        std::string message;
        const char* thrownBy;
    };
    const Case cases[] = {
        {"vxdg destroy fails",
         {1, "", "VxVM vxdg ERROR V-5-1-2275 Volume vol01 is open"},
         "",
         "Error: cmd: 'vxdg destroy datadg' failed with the error: 'VxVM vxdg ERROR V-5-1-2275 "
         "Volume vol01 is open'",
         "LVM_vxvm::rmGroup"},
        {"the group is listed after a destroy that said it succeeded",
         {0, "", ""},
         vbtest::readFixture("vxvm/vxdg_-q_list.txt"),
         "Error: the disk group 'datadg' is still imported after 'vxdg destroy datadg'; its disks "
         "were left as they are",
         "LVM_vxvm::destroyVG"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.on("vxdg destroy datadg", c.destroy.status, c.destroy.out, c.destroy.err)
            .always("vxdg -q list", 0, c.listed)
            .allowUnused();
        answerDestroy(fake);
        replayDatadg(fake);
        std::string thrownBy;
        EXPECT_EQ(vbtest::failureOf([] { LVM_vxvm().destroyVG("datadg"); }, &thrownBy), c.message);
        EXPECT_EQ(thrownBy, c.thrownBy);
        std::vector<std::string> expected = destroyCommands(0);
        expected.resize(c.destroy.status ? 6 : 7);
        vbtest::expectCommands(fake.commands(), expected);
    }
}

TEST_F(VxvmDestroy, DestroyRunsNothingForAMissingGroupOrWhenTheOperatorKeepsIt) {
    {
        vbtest::FakeRunner fake;
        fake.on("vxprint -g gone", 11, "",
                "VxVM vxprint ERROR V-5-1-582 Disk group gone: No such "
                "disk group");
        LVM_vxvm().destroyVG("gone");
        vbtest::expectCommands(fake.commands(), {"vxprint -g gone"});
        EXPECT_TRUE(
            log_.contains("Failed to list the vg 'gone'.\nError:VxVM vxprint ERROR "
                          "V-5-1-582"));
    }
    {
        vbtest::FakeRunner fake;
        putMarker("userdgremove", "3\n");
        LVM_vxvm().destroyVG("datadg");
        EXPECT_TRUE(fake.commands().empty());
        EXPECT_EQ(fakeClock_.sleeps(), std::vector<uint64_t>{3000});
    }
    vbtest::FakeRunner fake;
    std::string thrownBy;
    EXPECT_EQ(vbtest::failureOf([] { LVM_vxvm().destroyVG(nullptr); }, &thrownBy),
              "Error: vg_name is NULL!");
    EXPECT_EQ(thrownBy, "LVM_vxvm::destroyVG");
}

TEST_F(VxvmDestroy, GroupAndDiskRemoval) {
    vbtest::FakeRunner fake;
    fake.on("vxdg destroy datadg", 1, "", "VxVM vxdg ERROR V-5-1-2275")
        .on("vxdisk list emc0_0a1b > /dev/null 2> /dev/null && vxdisk -f rm emc0_0a1b", 11)
        .on("vxdisk list emc0_0a1c > /dev/null 2> /dev/null && vxdisk -f rm emc0_0a1c", 0)
        .on("vxdisk list emc0_0a1e > /dev/null 2> /dev/null && vxdisk -f rm emc0_0a1e", 1, "",
            "in use")
        .on("vxdg -g datadg rmdisk datadg01")
        .on("vxdg -g datadg rmdisk datadg02")
        .on("vxdg destroy datadg");
    replayDatadg(fake);
    LVM_vxvm backend;

    try {
        backend.rmGroup("datadg");
        ADD_FAILURE() << "accepted";
    } catch (const YbException& e) {
        EXPECT_EQ(e.getMessage(),
                  "Error: cmd: 'vxdg destroy datadg' failed with the error: 'VxVM vxdg ERROR "
                  "V-5-1-2275'");
        EXPECT_EQ(e.getFuncName(), "LVM_vxvm::rmGroup");
    }

    // Access names as given; a disk VxVM does not list (status 11) is no failure.
    backend.rmDisks({"emc0_0a1b", "emc0_0a1c"}, LVM_vxvm::DiskNames::AccessNames);
    // OS devices through their row; one without an access name is skipped.
    backend.rmDisks({"/dev/sde", "/dev/sdq"}, LVM_vxvm::DiskNames::OsDevices);
    EXPECT_EQ(log_.count("failed with the message"), 1u);
    EXPECT_TRUE(
        log_.contains("Info: cmd: 'vxdisk list emc0_0a1e > /dev/null 2> /dev/null && "
                      "vxdisk -f rm emc0_0a1e' failed with the message: 'in use'. "
                      "Continuing..."));
    EXPECT_TRUE(log_.contains("Info: could not obtain access name for '/dev/sdq'. Continuing..."));

    // All three disks of the group: two leave it, the group goes with the third.
    backend.rmDisksAndGroup("datadg", {"/dev/sdb", "/dev/sdc", "/dev/sdd"});

    // The host's disk paths are read once a call.
    vbtest::expectCommands(
        fake.commands(),
        {"vxdg destroy datadg",
         "vxdisk list emc0_0a1b > /dev/null 2> /dev/null && vxdisk -f rm emc0_0a1b",
         "vxdisk list emc0_0a1c > /dev/null 2> /dev/null && vxdisk -f rm emc0_0a1c",
         "vxdisk -qe path",
         "vxdisk list emc0_0a1e > /dev/null 2> /dev/null && vxdisk -f rm emc0_0a1e",
         "vxprint -g datadg -d -F%da_name", "vxdisk -qe path", "vxdg -g datadg rmdisk datadg01",
         "vxdg -g datadg rmdisk datadg02", "vxdg destroy datadg"});
}

TEST_F(VxvmDestroy, FlushAndDeport) {
    {
        vbtest::FakeRunner fake;
        fake.on("vxdg flush datadg").on("vxdg deport datadg");
        LVM::VG vg;
        vg.name = "datadg";
        EXPECT_TRUE(LVM_vxvm().cleanup(vg, {"/dev/sdb"}));
        vbtest::expectCommands(fake.commands(), {"vxdg flush datadg", "vxdg deport datadg"});
    }
    vbtest::FakeRunner fake;
    fake.on("vxdg flush datadg", 1, "", "VxVM vxdg ERROR V-5-1-2275");
    LVM::VG vg;
    vg.name = "datadg";
    struct Case {
        std::list<std::string> disks;
        std::string message;
    };
    const Case cases[] = {
        {{}, "Error: size of pv_dev_list is 0!"},
        {{"/dev/sdb"},
         "Error: cmd: 'vxdg flush datadg' failed with the error: 'VxVM vxdg ERROR V-5-1-2275'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        try {
            LVM_vxvm().cleanup(vg, c.disks);
            ADD_FAILURE() << "accepted";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getMessage(), c.message);
            EXPECT_EQ(e.getFuncName(), "LVM_vxvm::cleanup");
        }
    }
    vbtest::expectCommands(fake.commands(), {"vxdg flush datadg"});
}

}  // namespace

namespace {

// A failure at each command of a destroy in turn: a failed listing of the group's disks or a
// group that stays is what the caller gets, and nothing runs after it (the disks of a group that
// stays are kept); every other failure is logged and the destroy goes on.
TEST_F(VxvmDestroy, AFailureAtEachCommand) {
    const auto runs = vbtest::failEachCommand(
        log_,
        [](vbtest::FakeRunner& fake) {
            answerDestroy(fake);
            replayDatadg(fake);
        },
        [] { LVM_vxvm().destroyVG("datadg"); });
    vbtest::expectCommands(
        [&] {
            std::vector<std::string> run;
            for (const auto& r : runs) run.push_back(r.command);
            return run;
        }(),
        destroyCommands(1));
    const std::set<std::string> fatal{"vxprint -g datadg -d -F%da_name",
                                      "vxprint -g datadg -d -F%name", "vxdg destroy datadg",
                                      "vxdg -q list"};
    for (const vbtest::InjectedFailure& run : runs) {
        SCOPED_TRACE(run.command);
        if (!fatal.count(run.command)) {
            EXPECT_EQ(run.error, "(no exception)");
            continue;
        }
        EXPECT_EQ(run.error,
                  "Error: cmd: '" + run.command + "' failed with the error: 'injected failure'");
        EXPECT_TRUE(run.after.empty());
    }
}

}  // namespace
