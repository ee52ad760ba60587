// Revert through the fake runner: the disks sdc and sdd of datadg (the second side of the vol01
// mirror and both columns of the vol02 stripe) are presented after the storage rolled them back.
#include <dirent.h>
#include <gtest/gtest.h>

#include <regex>

#include "VxvmSandbox.h"

namespace {

using vbtest::kUdid2;
using vbtest::kUdid3;
using vbtest::Reply;

const std::list<std::string> kPresented{"/dev/sdc", "/dev/sdd"};

// The names of the files in `dir`, one a line.
std::string filesIn(const std::string& dir) {
    std::string names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names += name + "\n";
        }
        closedir(d);
    }
    return names;
}

class VxvmRevert : public vbtest::VxvmSandbox {
  protected:
    std::string metadata_ = vbtest::readFixture("vxvm/metadata/datadg.txt");
    std::string file(const std::string& volume) const {
        return tempDir_.file("yb_" + volume + "_1700000000");
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
        try {
            call();
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            thrownBy_ = e.getFuncName();
            return e.getMessage();
        }
        return "";
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
        EXPECT_EQ(fake.commands(), std::vector<std::string>(c.disks.size(), "vxdisk -qe path"));
    }
    vbtest::FakeRunner fake;
    LVM_vxvm backend;
    EXPECT_EQ(message([&] { backend.canRevert(LVM::VG(), metadata_.c_str(), {}); }),
              "Error: size of pv_dev_list is 0!");
    EXPECT_EQ(thrownBy_, "LVM_vxvm::canRevert");
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
        .on("vxdg -q list", 0, "")
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

    std::vector<std::string> expected{"vxdisk -f scandisks",
                                      "vxdg -q list",
                                      "vxdg deport datadg",
                                      "vxdisk -qe path",
                                      "vxdisk -f init emc0_0a1c",
                                      "vxdg -q list",
                                      "vxdg init datadg emc0_0a1c",
                                      "vxdisk -v list emc0_0a1c",
                                      "vxdisk -qe path",
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
    EXPECT_EQ(filesIn(tempDir_.path()), "");

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
        .on("vxdisk -g datadg list datadg01", 0, "udid: NEW%5F0A1B\n")
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
    };
    auto deported = [](vbtest::FakeRunner& fake) {
        fake.on("vxdisk -f scandisks", 1, "", "VxVM vxdisk ERROR")
            .on("vxdg -q list", 0, "datadg enabled 1234567890.12.hostA\n")
            .on("vxdg deport datadg");
    };
    auto groupOnSdc = [&](vbtest::FakeRunner& fake) {
        deported(fake);
        fake.on("vxdisk -f init emc0_0a1c")
            .on("vxdg -q list", 0, "")
            .on("vxdg init datadg emc0_0a1c");
    };
    const Case cases[] = {
        {"a disk without an access name",
         {"/dev/sdq"},
         deported,
         "Error: could not obtain access name for '/dev/sdq'",
         "LVM_vxvm::revert",
         "vxdisk -qe path"},
        {"init of a disk fails",
         {"/dev/sdd"},
         [&](vbtest::FakeRunner& fake) {
             deported(fake);
             fake.on("vxdisk -f init emc0_0a1d", 1, "", "V-5-1-0 busy");
         },
         "Error: cmd: 'vxdisk -f init emc0_0a1d' failed with the error: 'V-5-1-0 busy'",
         "LVM_vxvm::revert",
         "vxdisk -f init emc0_0a1d"},
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
         vxmake("vol01")},
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
         "vxvol -g datadg init clean vol01 vol01-02"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        c.answer(fake);
        replayDatadg(fake);
        LVM_vxvm backend;
        std::map<std::string, std::string> map;
        putMarker("revertwait", "2");
        fakeClock_ = vbhost::FakeClock();
        EXPECT_EQ(message([&] { backend.revertLVs(c.disks, metadata_.c_str(), map); }), c.message);
        EXPECT_EQ(thrownBy_, c.thrownBy);
        EXPECT_EQ(fake.commands().back(), c.lastCommand);
        EXPECT_EQ(fakeClock_.sleeps(), std::vector<uint64_t>{2000});  // the "revertwait" hook
        EXPECT_EQ(filesIn(tempDir_.path()), "");
    }
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
