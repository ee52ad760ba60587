// Revert through the fake runner: the disks sdc and sdd of datadg (the second side of the vol01
// mirror and both columns of the vol02 stripe) are presented after the storage rolled them back.
#include <gtest/gtest.h>

#include <optional>
#include <regex>

#include "VxvmSandbox.h"

namespace {

using vbtest::kUdid2;
using vbtest::kUdid3;
using vbtest::Reply;

const std::list<std::string> kPresented{"/dev/sdc", "/dev/sdd"};

class VxvmRevert : public vbtest::VxvmSandbox {
  protected:
    std::string metadata_ = vbtest::readFixture("vxvm/metadata/datadg.txt");
    std::string file(const std::string& volume) const {
        return host_.tempFile("yb_" + volume + "_1700000000");
    }
    std::string vxmake(const std::string& volume) const {
        return "vxmake -g datadg -o makedev=on -d " + file(volume);
    }
    // Answers vxmake of `volume` with `status`, keeping what the description file held.
    void answerVxmake(vbtest::FakeRunner& fake, const std::string& volume, int status) {
        fake.onMatch(
            std::regex_replace(vxmake(volume), std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&"),
            [this, volume, status](const std::string&) {
                descriptions_[volume].push_back(vbtest::readFile(file(volume)));
                return Reply{status, "", status ? "VxVM vxmake ERROR V-5-1-0 no disk" : ""};
            });
    }
    // Answers the commands that bring a rebuilt volume up, each with its status.
    static void answerReattach(vbtest::FakeRunner& fake, const std::string& volume,
                               const std::string& plex, int initStatus = 0) {
        fake.on("vxmend -g datadg fix empty " + volume)
            .on("vxvol -g datadg init clean " + volume + " " + plex, initStatus, "",
                initStatus ? "VxVM vxvol ERROR V-5-1-0 init failed" : "");
        if (initStatus == 0) fake.on("vxvol -g datadg start " + volume);
    }
    std::string message(const std::function<void()>& call) {
        return vbtest::failureOf(call, &thrownBy_);
    }

    std::map<std::string, std::vector<std::string>> descriptions_;
    std::string thrownBy_;
};

TEST_F(VxvmRevert, CanRevertChoosesThePlexesThatLieWhollyOnTheDisks) {
    struct Case {
        const char* name;
        std::list<std::string> disks;
        bool result;
        std::list<std::string> plexes;
    };
    const Case cases[] = {
        {"one side of the mirror and the stripe", kPresented, true, {"vol01-02", "vol02-01"}},
        {"the other side", {"/dev/sdb"}, true, {"vol01-01"}},
        {"one column of the stripe", {"/dev/sdd"}, false, {}},
        {"a disk VxVM does not know", {"/dev/sdq"}, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        replayDatadg(fake);
        LVM_vxvm backend;
        EXPECT_EQ(backend.canRevert(LVM::VG(), metadata_.c_str(), c.disks), c.result);
        EXPECT_EQ(backend.revertPlexNames(), c.plexes);
        EXPECT_EQ(fake.commands(), std::vector<std::string>{"vxdisk -qe path"});
    }
    vbtest::FakeRunner fake;
    LVM_vxvm backend;
    EXPECT_EQ(message([&] { backend.canRevert(LVM::VG(), metadata_.c_str(), {}); }),
              "Error: size of pv_dev_list is 0!");
    EXPECT_EQ(thrownBy_, "LVM_vxvm::canRevert");
}

// Each call chooses its plexes afresh: what an earlier call chose for other disks does not lie
// on these, and a revert never rebuilds a plex on a disk it was not given.
TEST_F(VxvmRevert, EachCallChoosesThePlexesForItsOwnDisks) {
    vbtest::FakeRunner fake;
    fake.always("vxdisk -f scandisks").always("vxdg -q list", 0, "");
    answerVxmake(fake, "vol01", 0);
    answerReattach(fake, "vol01", "vol01-02");
    fake.alwaysMatch("vxdisk -f init .*|vxdg (init|-g datadg adddisk) .*",
                     [](const std::string&) { return Reply{}; })
        .alwaysMatch("vxdisk -v list .*|vxdg list datadg|vxprint .*|vxdisk -g datadg .*",
                     [](const std::string&) {
                         return Reply{1, "", "not answered"};
                     })
        .allowUnused();
    replayDatadg(fake);
    LVM_vxvm backend;
    EXPECT_TRUE(backend.canRevert(LVM::VG(), metadata_.c_str(), {"/dev/sdb"}));
    EXPECT_FALSE(backend.canRevert(LVM::VG(), metadata_.c_str(), {"/dev/sde"}));
    EXPECT_TRUE(backend.revertPlexNames().empty());
    std::map<std::string, std::string> map;
    message([&] { backend.revertLVs({"/dev/sdc"}, metadata_.c_str(), map); });
    // vxmake was handed vol01 with the plex on sdc only; vol02's stripe does not lie on sdc.
    ASSERT_EQ(descriptions_["vol01"].size(), 1u);
    EXPECT_NE(descriptions_["vol01"][0].find("\tplex=vol01-02\n"), std::string::npos);
    EXPECT_EQ(descriptions_["vol01"][0].find("vol01-01"), std::string::npos);
    EXPECT_EQ(descriptions_.count("vol02"), 0u);
    EXPECT_EQ(backend.revertPlexNames(), std::list<std::string>{"vol01-02"});
}

TEST_F(VxvmRevert, APlexOfUnknownDisksIsNeverChosen) {
    // The subdisk record of vol01-01 names no disk access name.
    std::string metadata = metadata_;
    const std::string da = "\tda_name=emc0_0a1b\n";
    metadata.erase(metadata.find(da), da.size());
    vbtest::FakeRunner fake;
    replayDatadg(fake);
    LVM_vxvm backend;
    EXPECT_FALSE(backend.canRevert(LVM::VG(), metadata.c_str(), {"/dev/sdd"}));
    EXPECT_TRUE(backend.revertPlexNames().empty());
}

TEST_F(VxvmRevert, RebuildsTheGroupFromTheReducedDescriptions) {
    vbtest::FakeRunner fake;
    fake.on("vxdisk -f scandisks")
        .on("vxdg -q list", 0, vbtest::readFixture("vxvm/vxdg_-q_list.txt"))
        .on("vxdg deport datadg")
        .on("vxdisk -f init emc0_0a1c")
        .on("vxdg init datadg emc0_0a1c")
        .on("vxdisk -f init emc0_0a1d")
        .on("vxdg -g datadg adddisk emc0_0a1d")
        .on("vxedit -g datadg rename emc0_0a1c datadg02")
        .on("vxedit -g datadg rename emc0_0a1d datadg03", 1, "", "VxVM vxedit ERROR V-5-1-0");
    // The first vxmake fails until the disks carry their captured names.
    answerVxmake(fake, "vol01", 1);
    answerVxmake(fake, "vol01", 0);
    answerReattach(fake, "vol01", "vol01-02");
    answerVxmake(fake, "vol02", 0);
    answerReattach(fake, "vol02", "vol02-01");
    replayDatadg(fake);
    std::map<std::string, std::string> map{{kUdid2, "NEW%5F0A1C"}, {kUdid3, "NEW%5F0A1D"}};

    LVM_vxvm backend;
    const LVM::VG vg = backend.revertLVs(kPresented, metadata_.c_str(), map);

    // The host's disk paths are read before anything changes, once.
    std::vector<std::string> expected{"vxdisk -f scandisks",
                                      "vxdg -q list",
                                      "vxdisk -qe path",
                                      "vxdg deport datadg",
                                      "vxdisk -f init emc0_0a1c",
                                      "vxdg init datadg emc0_0a1c",
                                      "vxdisk -v list emc0_0a1c",
                                      "vxdisk -f init emc0_0a1d",
                                      "vxdg -g datadg adddisk emc0_0a1d",
                                      "vxdisk -v list emc0_0a1d",
                                      vxmake("vol01"),
                                      "vxedit -g datadg rename emc0_0a1c datadg02",
                                      "vxedit -g datadg rename emc0_0a1d datadg03",
                                      vxmake("vol01"),
                                      "vxmend -g datadg fix empty vol01",
                                      "vxvol -g datadg init clean vol01 vol01-02",
                                      "vxvol -g datadg start vol01",
                                      vxmake("vol02"),
                                      "vxmend -g datadg fix empty vol02",
                                      "vxvol -g datadg init clean vol02 vol02-01",
                                      "vxvol -g datadg start vol02"};
    for (std::string& c : vbtest::populateCommands("datadg")) expected.push_back(c);
    vbtest::expectCommands(fake.commands(), expected);

    // vxmake was handed exactly the descriptions reduced to the chosen plexes.
    LVM_vxvm::VXDG captured;
    backend.getFromMetadata(metadata_.c_str(), captured);
    std::string vol01, vol02;
    backend.modify_metadata(captured.lvs.at("vol01"), {"vol01-02"}, vol01);
    backend.modify_metadata(captured.lvs.at("vol02"), {"vol02-01"}, vol02);
    EXPECT_EQ(descriptions_["vol01"], (std::vector<std::string>{vol01, vol01}));
    EXPECT_EQ(descriptions_["vol02"], std::vector<std::string>{vol02});
    EXPECT_EQ(host_.leftoverTempFiles(), "");

    EXPECT_EQ(vg.name, "datadg");
    EXPECT_EQ(vg.orig_name, "datadg");
    EXPECT_EQ(vg.orig_uuid, vbtest::kDgid);
    EXPECT_EQ(vg.pvs.at(kUdid2).orig_uuid, kUdid2);
    EXPECT_EQ(vg.lvs.at(vbtest::kVol01Guid).orig_uuid, vbtest::kVol01Guid);
    EXPECT_TRUE(
        log_.contains("Info: cmd: 'vxedit -g datadg rename emc0_0a1d datadg03' failed "
                      "with the message: 'VxVM vxedit ERROR V-5-1-0'. Continuing..."));
}

TEST_F(VxvmRevert, RebuildsTheCapturedIdentitiesIntoTheRecord) {
    // The group as VxVM shows it after the rebuild carries new ids; the record keeps the
    // captured ones beside them.
    vbtest::FakeRunner fake;
    fake.on("vxdisk -f scandisks")
        .always("vxdg -q list", 0, "")
        .always("vxdisk -f init emc0_0a1b")
        .on("vxdg init datadg emc0_0a1b");
    answerVxmake(fake, "vol01", 0);
    answerReattach(fake, "vol01", "vol01-01");
    fake.on("vxdg list datadg", 0, "Group: datadg\ndgid: 1700000000.44.hostA\n")
        .on("vxprint -g datadg -d -F%name", 0, "datadg01\n")
        .on("vxdisk -g datadg list datadg01", 0, "udid: NEW%5F0A1B\n")
        .on("vxprint -g datadg -v -F%guid:%name", 0, "{new-guid-1}:vol01\n")
        .on("vxprint -hqtps -g datadg", 0, "pl vol01-01 vol01\nsd datadg01-01 vol01-01 datadg01\n")
        .on("vxprint -g datadg -mr -v vol01", 0, "vol vol01\n\tplex=vol01-01\n");
    replayDatadg(fake);
    std::map<std::string, std::string> map;

    const LVM::VG vg = LVM_vxvm().revertLVs({"/dev/sdb"}, metadata_.c_str(), map);

    EXPECT_EQ(vg.uuid, "1700000000.44.hostA");
    EXPECT_EQ(vg.orig_uuid, vbtest::kDgid);
    EXPECT_EQ(vg.pvs.at("NEW%5F0A1B").orig_uuid, vbtest::kUdid1);
    EXPECT_EQ(vg.lvs.at("new-guid-1").orig_uuid, vbtest::kVol01Guid);
}

TEST_F(VxvmRevert, FailuresStopTheRevertAndLeaveNoDescriptionFile) {
    struct Case {
        const char* name;
        std::list<std::string> disks;
        std::function<void(vbtest::FakeRunner&)> answer;
        std::string message;
        const char* thrownBy;
        std::string lastCommand;
        bool acted;  // the failure came after the first change (the "revertwait" hook ran)
    };
    auto live = [](vbtest::FakeRunner& fake) {
        fake.on("vxdisk -f scandisks", 1, "", "VxVM vxdisk ERROR")
            .on("vxdg -q list", 0, "datadg enabled 1234567890.12.hostA\n");
    };
    auto groupOnSdc = [&](vbtest::FakeRunner& fake) {
        live(fake);
        fake.on("vxdg deport datadg")
            .on("vxdisk -f init emc0_0a1c")
            .on("vxdg init datadg emc0_0a1c");
    };
    const Case cases[] = {
        // Refused before the live group is deported.
        {"a disk without an access name",
         {"/dev/sdq"},
         live,
         "Error: could not obtain access name for '/dev/sdq'",
         "LVM_vxvm::revert",
         "vxdisk -qe path",
         false},
        // The live group comes back: no disk was re-initialised yet.
        {"init of a disk fails",
         {"/dev/sdd", "/dev/sdc"},
         [&](vbtest::FakeRunner& fake) {
             live(fake);
             fake.on("vxdg deport datadg")
                 .on("vxdisk -f init emc0_0a1d", 1, "", "V-5-1-0 busy")
                 .on("vxdg -C import datadg");
         },
         "Error: cmd: 'vxdisk -f init emc0_0a1d' failed with the error: 'V-5-1-0 busy'",
         "LVM_vxvm::revert",
         "vxdg -C import datadg",
         true},
        // No map: no renames between the two vxmake attempts.
        {"vxmake fails twice",
         {"/dev/sdc"},
         [&](vbtest::FakeRunner& fake) {
             groupOnSdc(fake);
             fake.on("vxdisk -v list emc0_0a1c", 1, "", "gone");
             answerVxmake(fake, "vol01", 1);
             answerVxmake(fake, "vol01", 1);
         },
         "Error: cmd: '" + vxmake("vol01") +
             "' failed with the error: 'VxVM vxmake ERROR V-5-1-0 no disk'",
         "LVM_vxvm::revert_plexes",
         vxmake("vol01"),
         true},
        {"no plex can be initialised",
         {"/dev/sdc"},
         [&](vbtest::FakeRunner& fake) {
             groupOnSdc(fake);
             answerVxmake(fake, "vol01", 0);
             answerReattach(fake, "vol01", "vol01-02", 5);
         },
         "Error: no volumes were reverted! This may be because the physical volumes presented "
         "were not enough to revert any volumes",
         "LVM_vxvm::revert_plexes",
         "vxvol -g datadg init clean vol01 vol01-02",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        c.answer(fake);
        replayDatadg(fake);
        LVM_vxvm backend;
        std::map<std::string, std::string> map;
        putMarker("revertwait", "2");
        static_cast<vbhost::FakeClock&>(fakeClock_) = vbhost::FakeClock();
        log_.clear();
        EXPECT_EQ(message([&] { backend.revertLVs(c.disks, metadata_.c_str(), map); }), c.message);
        EXPECT_EQ(thrownBy_, c.thrownBy);
        EXPECT_EQ(fake.commands().back(), c.lastCommand);
        EXPECT_EQ(fakeClock_.sleeps(),
                  c.acted ? std::vector<uint64_t>{2000} : std::vector<uint64_t>{});
        EXPECT_EQ(host_.leftoverTempFiles(), "");
        // What a failed rebuild leaves is named for the operator.
        EXPECT_EQ(log_.contains("Could not undo the disk emc0_0a1c, re-initialised for disk group "
                                "datadg"),
                  c.lastCommand != "vxdisk -qe path" && c.lastCommand != "vxdg -C import datadg");
    }
}

// Everything from the metadata that goes into a command or a file name, and the temp directory,
// is checked before the live group is deported or a disk is re-initialised.
TEST_F(VxvmRevert, BadNamesAndFilesAreRefusedBeforeAnythingChanges) {
    const auto renamed = [&](const std::string& from, const std::string& to) {
        return std::regex_replace(metadata_, std::regex(from), to);
    };
    struct Case {
        const char* name;
        std::string metadata;
        std::function<void()> prepare;
        std::string message;
    };
    const std::string shellWords =
        "characters that the shell would interpret (allowed: letters, digits and \"._+-:/@\")";
    const std::string longName(300, 'v');
    std::optional<vbhost::ScopedConfig> noTempDir;
    const Case cases[] = {
        {"a volume name with a command in it", renamed("vol01", "vol$(reboot)"), [] {},
         "Refusing to run a command with the volume name [vol$(reboot)]: it holds " + shellWords},
        {"a volume name of 300 characters", renamed("vol01", longName), [] {},
         "Refusing to use the volume name [" + longName +
             "]: its description file name would be longer than 255 characters"},
        {"a disk media name with a backquote", renamed("datadg03", "datadg`id`03"), [] {},
         "Refusing to run a command with the captured disk media name [datadg`id`03]: it holds " +
             shellWords},
        {"a description file name planted in the temp directory", metadata_,
         [&] { symlink("/etc/passwd", file("vol01").c_str()); },
         "Refusing to use the file " + file("vol01") + ": it is a symbolic link"},
        {"no temp directory", metadata_,
         [&] {
             noTempDir.emplace(vbhost::IniConfig::fromString(
                 "[host]\ntemp_dir = " + host_.scratch("missing") + "\n"));
         },
         "Error: temp directory is NULL!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.always("vxdisk -f scandisks").always("vxdg -q list", 0, "datadg enabled 1.2.h\n");
        replayDatadg(fake);
        c.prepare();
        std::map<std::string, std::string> map;
        EXPECT_EQ(message([&] { LVM_vxvm().revertLVs(kPresented, c.metadata.c_str(), map); }),
                  c.message);
        // Nothing but the rescan and the listings ran.
        for (const std::string& cmd : fake.commands()) {
            EXPECT_TRUE(cmd == "vxdisk -f scandisks" || cmd == "vxdg -q list" ||
                        cmd == "vxdisk -qe path")
                << cmd;
        }
        unlink(file("vol01").c_str());
        noTempDir.reset();
    }
    EXPECT_EQ(host_.leftoverTempFiles(), "");
}

TEST_F(VxvmRevert, SharedGroupGetsItsClusterActivationBack) {
    vbtest::FakeRunner fake;
    fake.always("vxdg -q list", 0, "")
        .on("vxdisk -qe path", 0, "sdx emc0_0b01 - - ENABLED\n")
        .on("vxdisk -f init emc0_0b01")
        .on("vxdg -s init shdg emc0_0b01")
        .on("vxdisk -v list emc0_0b01", 0, "udid: X\n")
        .onMatch("vxmake -g shdg -o makedev=on -d .*/yb_plain_1700000000",
                 [](const std::string&) { return Reply{}; })
        .on("vxmend -g shdg fix empty plain")
        .on("vxvol -g shdg init clean plain plain-01")
        .on("vxvol -g shdg start plain")
        .on("cfsdgadm modify shdg node1=sw node2=sw", 1, "", "CFS not running");
    LVM_vxvm backend;
    LVM_vxvm::VXDG dg;
    const std::string metadata = vbtest::readFixture("vxvm/metadata/shared.txt");
    backend.getFromMetadata(metadata.c_str(), dg);
    std::map<std::string, std::string> map;

    backend.revert(dg, {"/dev/sdx"}, metadata.c_str(), map);

    EXPECT_EQ(fake.commands().back(), "cfsdgadm modify shdg node1=sw node2=sw");
    EXPECT_TRUE(
        log_.contains("Error: cmd: 'cfsdgadm modify shdg node1=sw node2=sw' failed with "
                      "the error: 'CFS not running'"));
}

TEST_F(VxvmRevert, ReattachUsesTheFirstPlexThatCanBeInitialised) {
    struct Case {
        const char* name;
        int initFirst;
        int initSecond;
        int start;
        bool result;
        std::vector<std::string> commands;
    };
    const std::string fix = "vxmend -g dg fix empty v";
    const std::string init1 = "vxvol -g dg init clean v v-01";
    const std::string init2 = "vxvol -g dg init clean v v-02";
    const std::string start = "vxvol -g dg start v";
    const Case cases[] = {
        {"first plex", 0, 0, 0, true, {fix, init1, start}},
        {"second plex", 1, 0, 0, true, {fix, init1, fix, init2, start}},
        {"start fails", 0, 0, 1, false, {fix, init1, start}},
        {"no plex", 1, 1, 0, false, {fix, init1, fix, init2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.always(fix, 1, "", "fix failed")
            .always(init1, c.initFirst)
            .always(init2, c.initSecond)
            .always(start, c.start);
        EXPECT_EQ(volbridge::vxvm::reattach_plexes("dg", "v", {"v-01", "v-02"}), c.result);
        vbtest::expectCommands(fake.commands(), c.commands);
    }
    EXPECT_TRUE(
        log_.contains("Error: cmd: 'vxmend -g dg fix empty v' failed with the error: "
                      "'fix failed'"));
}

TEST_F(VxvmRevert, PrepareAndCancel) {
    vbtest::FakeRunner fake;
    fake.on("vxdg flush datadg")
        .on("vxdg deport datadg")
        .on("vxdg flush datadg", 1, "", "VxVM vxdg ERROR V-5-1-0")
        .on("vxdg -C import datadg")
        .on("vxdg -C import datadg", 1, "", "VxVM vxdg ERROR V-5-1-587");
    LVM_vxvm backend;
    LVM::VG vg;
    vg.name = "datadg";
    EXPECT_TRUE(backend.prepRevertLV(vg, metadata_.c_str(), kPresented));
    // A failed flush never reports success, and nothing is deported.
    EXPECT_EQ(message([&] { backend.prepRevertLV(vg, metadata_.c_str(), kPresented); }),
              "Error: cmd: 'vxdg flush datadg' failed with the error: 'VxVM vxdg ERROR V-5-1-0'");
    // Cancel imports the captured group by its name.
    EXPECT_TRUE(backend.cancelRevertLV(metadata_.c_str(), kPresented));
    EXPECT_EQ(message([&] { backend.cancelRevertLV(metadata_.c_str(), kPresented); }),
              "Error: cmd: 'vxdg -C import datadg' failed with the error: 'VxVM vxdg ERROR "
              "V-5-1-587'");
    EXPECT_EQ(thrownBy_, "LVM_vxvm::cancelRevertLV");
    vbtest::expectCommands(fake.commands(),
                           {"vxdg flush datadg", "vxdg deport datadg", "vxdg flush datadg",
                            "vxdg -C import datadg", "vxdg -C import datadg"});
}

TEST_F(VxvmRevert, NamesFromTheMetadataAreCheckedBeforeAnyCommand) {
    vbtest::FakeRunner fake;  // nothing may run
    std::map<std::string, std::string> map;
    std::string hostile;
    volbridge::vxvm::appendCapturedRecord(hostile, {"dg", "data;reboot", "1.2.h"});
    EXPECT_EQ(message([&] { LVM_vxvm().revertLVs(kPresented, hostile.c_str(), map); }),
              "Refusing to run a command with the disk group name [data;reboot]: it holds "
              "characters that the shell would interpret (allowed: letters, digits and "
              "\"._+-:/@\")");
    EXPECT_EQ(thrownBy_, "LVM_vxvm::revertLVs");
    EXPECT_NE(
        message([&] { LVM_vxvm().cancelRevertLV("dg|$(reboot)|1;", kPresented); }).find("Refusing"),
        std::string::npos);
    EXPECT_TRUE(fake.commands().empty());
}

TEST_F(VxvmRevert, VolumesOnTheDisks) {
    vbtest::FakeRunner fake;
    replayDatadg(fake);
    LVM::VG vg;
    vg.name = "datadg";
    vg.lvs["g1"] = LVM::LV{"g1", "g1", "/dev/vx/dsk/datadg/vol01", {vbtest::kUdid1, kUdid2}, 1};
    vg.lvs["g2"] = LVM::LV{"g2", "g2", "/dev/vx/dsk/datadg/vol02", {kUdid2, kUdid3}, 1};
    LVM_vxvm backend;
    std::list<std::string> volumes;
    backend.getLVsOnPVs(vg, {"/dev/sdc", "/dev/sdq"}, volumes);
    EXPECT_EQ(volumes, (std::list<std::string>{"vol01", "vol02"}));
    volumes.clear();
    backend.getLVsOnPVs(vg, {"/dev/sdb"}, volumes);
    EXPECT_EQ(volumes, std::list<std::string>{"vol01"});
    volumes.clear();
    backend.getLVsOnPVs(vg, {"/dev/sde"}, volumes);
    EXPECT_TRUE(volumes.empty());
}

}  // namespace

namespace {

class VxvmRevertFaults : public VxvmRevert {};

// A failure at each command of a revert in turn: the caller gets that command's failure (or the
// revert goes on, where the failure is one it tolerates); until a disk is re-initialised the live
// group comes back as it was; after that nothing is destroyed, and the log names what the failed
// revert leaves for a second run to finish.
TEST_F(VxvmRevertFaults, AFailureAtEachCommandOfARevert) {
    const auto answer = [](vbtest::FakeRunner& fake) {
        fake.always("vxdisk -f scandisks")
            .always("vxdg deport datadg")
            .always("vxdg -C import datadg")
            .alwaysMatch(
                "vxdisk -f init emc0_0a1[cd]|vxdg init datadg emc0_0a1c|"
                "vxdg -g datadg adddisk emc0_0a1d|vxmake -g datadg .*|vxmend .*|"
                "vxvol -g datadg (init clean|start) .*",
                [](const std::string&) { return Reply{}; });
        replayDatadg(fake);
    };
    std::map<std::string, std::string> map;
    const auto runs = vbtest::failEachCommand(
        log_, answer, [&] { LVM_vxvm().revertLVs(kPresented, metadata_.c_str(), map); });
    const auto at = [&](const std::string& command) {
        return std::find_if(runs.begin(), runs.end(),
                            [&](const auto& run) { return run.command == command; }) -
               runs.begin();
    };
    // The changes run from the first disk's init to the read back of the rebuilt group.
    const auto firstChange = at("vxdisk -f init emc0_0a1c");
    const auto readBack = at("vxdg list datadg");
    ASSERT_LT(firstChange, readBack);
    ASSERT_EQ(static_cast<size_t>(readBack) + vbtest::populateCommands("datadg").size(),
              runs.size());
    const std::regex tolerated(
        "vxdisk -f scandisks|vxdisk -v list .*|vxmake .*|vxmend .*|vxvol -g datadg (init clean|"
        "start) .*");
    for (const vbtest::InjectedFailure& run : runs) {
        SCOPED_TRACE(run.command);
        const bool fatal = !std::regex_match(run.command, tolerated);
        if (!fatal) {
            EXPECT_EQ(run.error, "(no exception)");
        } else if (run.command.find("grep flags:") == std::string::npos) {
            EXPECT_EQ(run.error, "Error: cmd: '" + run.command +
                                     "' failed with the error: 'injected failure'");
            EXPECT_EQ(run.after, run.command == "vxdisk -f init emc0_0a1c"
                                     ? std::vector<std::string>{"vxdg -C import datadg"}
                                     : std::vector<std::string>{});
        }
        const long i = static_cast<long>(run.n) - 1;
        const bool named = std::any_of(run.log.begin(), run.log.end(), [](const std::string& line) {
            return line.find(
                       "Could not undo the disk emc0_0a1c, re-initialised for disk "
                       "group datadg: a re-initialised disk does not get its earlier "
                       "contents back") != std::string::npos;
        });
        EXPECT_EQ(named, fatal && i > firstChange && i < readBack);
    }
}

// Prepare and cancel: a failure at each command is what the caller gets, and nothing runs after
// it.
TEST_F(VxvmRevertFaults, AFailureAtEachCommandOfPrepareAndCancel) {
    LVM::VG vg;
    vg.name = "datadg";
    const std::function<void()> operations[] = {
        [&] { LVM_vxvm().prepRevertLV(vg, metadata_.c_str(), kPresented); },
        [&] { LVM_vxvm().cancelRevertLV(metadata_.c_str(), kPresented); },
    };
    for (const auto& operation : operations) {
        const auto runs = vbtest::failEachCommand(
            log_,
            [](vbtest::FakeRunner& fake) {
                fake.always("vxdg flush datadg")
                    .always("vxdg deport datadg")
                    .always("vxdg -C import datadg");
            },
            operation);
        EXPECT_FALSE(runs.empty());
        for (const vbtest::InjectedFailure& run : runs) {
            SCOPED_TRACE(run.command);
            EXPECT_EQ(run.error, "Error: cmd: '" + run.command +
                                     "' failed with the error: 'injected failure'");
            EXPECT_TRUE(run.after.empty());
        }
    }
}

}  // namespace
