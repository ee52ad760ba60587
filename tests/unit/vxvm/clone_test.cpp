// Clone import through the fake runner: the clones are the disks sdb, sdc and sdd of the captured
// group datadg, presented to a host on which they belong to no imported group; once imported,
// VxVM shows them under the new name with a new id, new udids and new guids (the captured outputs
// of datadg, rewritten).
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "VxvmSandbox.h"

namespace {

using vbtest::kDgid;
using vbtest::Reply;

const std::string kNewName = "yb_datadg_1700000000";
const char kNewDgid[] = "1700000000.31.hostA";
const char kScan[] = "vxdisk -s list sdb sdc sdd  | grep '^dgid:' | cut -d: -f2 | sort -u";
const char* const kDas[] = {"emc0_0a1b", "emc0_0a1c", "emc0_0a1d"};
const std::list<std::string> kClones{"/dev/sdb", "/dev/sdc", "/dev/sdd"};

std::string importCommand(const std::string& options) {
    return "vxdg -fC -n " + kNewName + options + " -o updateid import " + kDgid;
}

// A captured output of datadg as VxVM shows the imported clone.
std::string asClone(const std::string& text) {
    std::string clone = std::regex_replace(text, std::regex("\\bdatadg\\b"), kNewName);
    clone = std::regex_replace(clone, std::regex(std::string(kDgid)), kNewDgid);
    clone = std::regex_replace(clone, std::regex("%5F0A1"), "%5F0C1");
    return std::regex_replace(clone, std::regex("-7b21-"), "-7c21-");
}

// "vxdisk -qe path" on the host the clones are presented to: sdb, sdc and sdd belong to no
// imported group (the rows of the captured output, with the group columns of a disk outside any
// group), or to `group`.
std::string clonePaths(const std::string& group = "-") {
    const std::string paths = vbtest::readFixture("vxvm/vxdisk_-qe_path.txt");
    return std::regex_replace(paths, std::regex("(datadg0.) +datadg "),
                              group == "-" ? "-             -      " : "$1      " + group + " ");
}

// Answers every command on the new group from the captured output of the same command on
// datadg. Rules given before this one win.
void answerImportedGroup(vbtest::FakeRunner& fake) {
    fake.alwaysMatch(".*" + kNewName + ".*", [](const std::string& cmd) {
        const std::string source = std::regex_replace(cmd, std::regex(kNewName), "datadg");
        const std::string path =
            vbtest::fixturePath("vxvm/" + vbtest::FakeRunner::replayFileName(source));
        if (access(path.c_str(), R_OK) != 0) {
            ADD_FAILURE() << "no captured output for " << cmd;
            return Reply{1, "", "no answer"};
        }
        return Reply{0, asClone(vbtest::readFile(path)), ""};
    });
}

// Answers tagging, detagging and the host's disk paths: all succeed.
void answerTags(vbtest::FakeRunner& fake) {
    fake.always("vxdisk -qe path", 0, clonePaths())
        .alwaysMatch("vxdisk (clearimport|-f settag|-f rmtag) .*",
                     [](const std::string&) { return Reply{}; });
}

// Answers a whole import that goes well: the source group imported here, the tags, the import
// with the clone option, the new group's listings.
void answerImport(vbtest::FakeRunner& fake) {
    fake.on(std::string("vxdg list ") + kDgid)
        .on("vxdisk scandisks")
        .on(importCommand(" -o useclonedev=on -o tag=yb_emc0_0a1b"))
        .on("vxvol -g " + kNewName + " startall");
    answerTags(fake);
    answerImportedGroup(fake);
}

std::vector<std::string> tagCommands(size_t disks) {
    std::vector<std::string> cmds{"vxdisk -qe path"};
    for (size_t i = 0; i < disks; ++i) {
        cmds.push_back(std::string("vxdisk clearimport ") + kDas[i]);
        cmds.push_back(std::string("vxdisk -f settag ") + kDas[i] + " yb_emc0_0a1b");
    }
    return cmds;
}

std::vector<std::string> detagCommands() {
    std::vector<std::string> cmds;
    for (const char* da : kDas)
        cmds.push_back(std::string("vxdisk -f rmtag ") + da + " yb_emc0_0a1b");
    return cmds;
}

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class VxvmClone : public vbtest::VxvmSandbox {
  protected:
    LVM::VG recreate(std::map<std::string, std::string> map = {},
                     const std::list<std::string>& clones = kClones) {
        LVM_vxvm backend;
        return backend.recreateVG(clones, metadata_.c_str(), map);
    }
    // The message of the exception recreateVG throws, or "(no exception)".
    std::string recreateFails(const char* metadata, const std::list<std::string>& clones = kClones,
                              std::map<std::string, std::string> map = {}) {
        return vbtest::failureOf([&] { LVM_vxvm().recreateVG(clones, metadata, map); }, &thrownBy_);
    }

    std::string metadata_ = vbtest::readFixture("vxvm/metadata/datadg.txt");
    std::string thrownBy_;  // the function named by the last exception of recreateFails
};

TEST_F(VxvmClone, ImportsTheClonesUnderANewNameAndUntagsThem) {
    struct Case {
        const char* name;
        bool sourceImported;
        bool firstImportFails;
        std::string firstImport;
        std::string secondImport;  // empty: none
    };
    const Case cases[] = {
        {"source group imported here", true, false,
         importCommand(" -o useclonedev=on -o tag=yb_emc0_0a1b"), ""},
        {"source group not imported, first import fails", false, true,
         importCommand(" -o tag=yb_emc0_0a1b"),
         importCommand(" -o useclonedev=on -o tag=yb_emc0_0a1b")},
        {"source group imported, first import fails", true, true,
         importCommand(" -o useclonedev=on -o tag=yb_emc0_0a1b"),
         importCommand(" -o tag=yb_emc0_0a1b")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.on(std::string("vxdg list ") + kDgid, c.sourceImported ? 0 : 11, "",
                c.sourceImported ? "" : "VxVM vxdg ERROR V-5-1-582 Disk group not found")
            .on("vxdisk scandisks")
            .on("vxdisk -qe path", 0, clonePaths());
        for (const char* da : kDas) {
            fake.on(std::string("vxdisk clearimport ") + da)
                .on(std::string("vxdisk -f settag ") + da + " yb_emc0_0a1b")
                .on(std::string("vxdisk -f rmtag ") + da + " yb_emc0_0a1b");
        }
        fake.on(c.firstImport, c.firstImportFails ? 1 : 0, "",
                c.firstImportFails ? "VxVM vxdg ERROR V-5-1-10978 Disk group import failed" : "");
        if (!c.secondImport.empty()) fake.on(c.secondImport);
        fake.on("vxvol -g " + kNewName + " startall");
        answerImportedGroup(fake);
        replayDatadg(fake);
        log_.clear();

        const LVM::VG vg = recreate();

        std::vector<std::string> imports{c.firstImport};
        if (!c.secondImport.empty()) imports.push_back(c.secondImport);
        vbtest::expectCommands(
            fake.commands(), concat({{kScan, std::string("vxdg list ") + kDgid, "vxdisk scandisks"},
                                     tagCommands(3),
                                     imports,
                                     detagCommands(),
                                     {"vxvol -g " + kNewName + " startall"},
                                     vbtest::populateCommands(kNewName)}));

        EXPECT_EQ(vg.name, kNewName);
        EXPECT_EQ(vg.uuid, kNewDgid);
        EXPECT_EQ(vg.orig_name, "datadg");
        EXPECT_EQ(vg.orig_uuid, kDgid);
        ASSERT_EQ(vg.pvs.size(), 3u);
        const std::string udids[] = {vbtest::kUdid1, vbtest::kUdid2, vbtest::kUdid3};
        for (const std::string& captured : udids) {
            const std::string now = asClone(captured);
            ASSERT_EQ(vg.pvs.count(now), 1u) << now;
            EXPECT_EQ(vg.pvs.at(now).orig_uuid, captured);
        }
        ASSERT_EQ(vg.lvs.size(), 2u);
        const LVM::LV& vol01 = vg.lvs.at(asClone(vbtest::kVol01Guid));
        EXPECT_EQ(vol01.orig_uuid, vbtest::kVol01Guid);
        EXPECT_EQ(vol01.device, "/dev/vx/dsk/" + kNewName + "/vol01");
        EXPECT_EQ(vg.lvs.at(asClone(vbtest::kVol02Guid)).orig_uuid, vbtest::kVol02Guid);
        EXPECT_EQ(vg.metadata, asClone(metadata_));
        EXPECT_EQ(log_.count("WARNING: Disks are not tagged"), 0u);
        EXPECT_EQ(log_.count("failed. StdOut:"), c.firstImportFails ? 1u : 0u);
        EXPECT_EQ(log_.count("Will use clone option for DG import."), c.sourceImported ? 1u : 0u);
    }
}

TEST_F(VxvmClone, BothImportsFailing) {
    vbtest::FakeRunner fake;
    fake.on(std::string("vxdg list ") + kDgid, 11)
        .on("vxdisk scandisks")
        .on(importCommand(" -o tag=yb_emc0_0a1b"), 1, "", "V-5-1-10978 first")
        .on(importCommand(" -o useclonedev=on -o tag=yb_emc0_0a1b"), 1, "", "V-5-1-10978 second");
    answerTags(fake);
    replayDatadg(fake);
    putMarker("dgimport.failure", "9");
    putMarker("failure", "10");

    EXPECT_EQ(recreateFails(metadata_.c_str()),
              "Error: cmd: '" + importCommand(" -o useclonedev=on -o tag=yb_emc0_0a1b") +
                  "' failed with the error: 'V-5-1-10978 second'");
    // No group of the new name: the tags come off, and the clones stay as the rescan left them.
    vbtest::expectCommands(
        fake.commands(),
        concat({{kScan, std::string("vxdg list ") + kDgid, "vxdisk scandisks"},
                tagCommands(3),
                {importCommand(" -o tag=yb_emc0_0a1b"),
                 importCommand(" -o useclonedev=on -o tag=yb_emc0_0a1b"), "vxdg -q list"},
                detagCommands()}));
    EXPECT_EQ(log_.count("failed. StdOut:"), 2u);
    EXPECT_EQ(fakeClock_.sleeps(), (std::vector<uint64_t>{9000, 9000, 10000}));
}

TEST_F(VxvmClone, StepHooksInTheirPlaces) {
    const char* const hooks[] = {"scandisks.before", "scandisks.after", "settag.before",
                                 "settag.after",     "dgimport.before", "dgimport.after",
                                 "detag.before",     "detag.after"};
    std::vector<uint64_t> expected;
    for (const char* hook : hooks) {
        expected.push_back((expected.size() + 1) * 1000);
        putMarker(hook, std::to_string(expected.size()));
    }
    vbtest::FakeRunner fake;
    answerImport(fake);
    replayDatadg(fake);
    recreate();
    EXPECT_EQ(fakeClock_.sleeps(), expected);
}

TEST_F(VxvmClone, TaggingFailures) {
    struct Case {
        const char* name;
        bool requireRetag;
        const char* message;  // null: the import goes ahead untagged
        std::vector<std::string> commands;
        std::vector<uint64_t> sleeps;
    };
    const std::vector<std::string> failedTagging{
        "vxdisk clearimport emc0_0a1b", "vxdisk -f settag emc0_0a1b yb_emc0_0a1b",
        "vxdisk clearimport emc0_0a1c", "vxdisk -f settag emc0_0a1c yb_emc0_0a1b"};
    const std::vector<std::string> lookAtHost{kScan, std::string("vxdg list ") + kDgid,
                                              "vxdisk scandisks", "vxdisk -qe path"};
    const Case cases[] = {
        // The disk tagged before the failure loses its tag after the import; the untagged
        // import is checked to hold only the clones.
        {"without /tmp/requireretag",
         false,
         nullptr,
         concat({lookAtHost,
                 failedTagging,
                 {importCommand(" -o useclonedev=on"), "vxprint -g " + kNewName + " -d -F%da_name"},
                 detagCommands(),
                 {"vxvol -g " + kNewName + " startall"},
                 vbtest::populateCommands(kNewName)}),
         {}},
        {"with /tmp/requireretag",
         true,
         "Error: cmd: 'vxdisk scandisks' failed with the error: ''",
         concat({lookAtHost,
                 failedTagging,
                 {"vxdisk scandisks"},
                 failedTagging,
                 {"vxdisk scandisks"},
                 failedTagging,
                 detagCommands()}),
         {2000, 2000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbhost::FakeClock clock;
        vbhost::ScopedClock guard(clock);
        if (c.requireRetag) putMarker("requireretag");
        vbtest::FakeRunner fake;
        fake.on(std::string("vxdg list ") + kDgid)
            .always("vxdisk scandisks")
            .always("vxdisk -f settag emc0_0a1c yb_emc0_0a1b", 5, "",
                    "VxVM vxdisk ERROR V-5-1-0 Disk is offline")
            .on(importCommand(" -o useclonedev=on"))
            .on("vxvol -g " + kNewName + " startall")
            .allowUnused();
        answerTags(fake);
        answerImportedGroup(fake);
        replayDatadg(fake);
        log_.clear();

        if (c.message) {
            EXPECT_EQ(recreateFails(metadata_.c_str()), c.message);
            EXPECT_EQ(log_.count("Info: tag failed. Retry..."), 2u);
        } else {
            EXPECT_EQ(recreate().name, kNewName);
            EXPECT_EQ(log_.count("tagDisks failed. Continue..."), 1u);
            EXPECT_EQ(log_.count("WARNING: Disks are not tagged"), 1u);
        }
        vbtest::expectCommands(fake.commands(), c.commands);
        EXPECT_EQ(clock.sleeps(), c.sleeps);
        removeMarker("requireretag");
    }
}

TEST_F(VxvmClone, NewGroupNameKeepsEveryDigitOfTheTime) {
    using volbridge::vxvm::newGroupName;
    EXPECT_EQ(newGroupName("datadg", 1700000000), "yb_datadg_1700000000");
    EXPECT_EQ(newGroupName("abcdefghijklmnop", 1700000000), "yb_abcdefghijklmnop_1700000000");
    // 17 characters and more: the name gives way, not the time.
    EXPECT_EQ(newGroupName("abcdefghijklmnopq", 1700000000), "yb_abcdefghijklmnop_1700000000");
    EXPECT_EQ(newGroupName("a_twenty_char_group_", 1700000005), "yb_a_twenty_char_gr_1700000005");
    // Two imports of the same group within ten seconds get two names.
    EXPECT_NE(newGroupName("a_twenty_char_group_", 1700000001),
              newGroupName("a_twenty_char_group_", 1700000009));
    for (const char* name : {"g", "abcdefghijklmnopqrstuvwxyz"}) {
        EXPECT_LE(newGroupName(name, 1700000000).size(), 30u);
    }
}

// Both imports said they failed, but a group of the new name is there: it is this call's to
// destroy only when it holds these clones and nothing else.
TEST_F(VxvmClone, AFailedImportDestroysOnlyAGroupMadeOfTheseClones) {
    struct Case {
        const char* name;
        std::string groupDisks;  // "vxprint -g <new> -d -F%da_name"
        bool destroyed;
    };
    const Case cases[] = {
        {"the clones", "emc0_0a1b\nemc0_0a1c\nemc0_0a1d\n", true},
        {"another restore's disks", "emc0_0f01\nemc0_0f02\n", false},
        {"some of the clones and another disk", "emc0_0a1b\nemc0_0f02\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.on(std::string("vxdg list ") + kDgid)
            .on("vxdisk scandisks")
            .on(importCommand(" -o useclonedev=on -o tag=yb_emc0_0a1b"), 1, "", "failed one")
            .on(importCommand(" -o tag=yb_emc0_0a1b"), 1, "", "failed two")
            .on("vxdg -q list", 0, "datadg enabled 1.1.h\n" + kNewName + " enabled 9.9.h\n")
            .always("vxprint -g " + kNewName + " -d -F%da_name", 0, c.groupDisks)
            .alwaysMatch("(vxdmpadm|vxvol|vxdg destroy|vxdisk offline|vxdisk rm) .*",
                         [](const std::string&) { return Reply{}; })
            .allowUnused();
        answerTags(fake);
        answerImportedGroup(fake);
        replayDatadg(fake);
        log_.clear();

        EXPECT_EQ(recreateFails(metadata_.c_str()), "Error: cmd: '" +
                                                        importCommand(" -o tag=yb_emc0_0a1b") +
                                                        "' failed with the error: 'failed two'");

        const auto& run = fake.commands();
        EXPECT_EQ(std::count(run.begin(), run.end(), "vxdg destroy " + kNewName),
                  c.destroyed ? 1 : 0);
        // The clones are never taken out of VxVM's view for a group this call did not import.
        EXPECT_EQ(std::count_if(run.begin(), run.end(),
                                [](const std::string& cmd) {
                                    return cmd.find("&& vxdisk -f rm ") != std::string::npos;
                                }),
                  0);
        EXPECT_EQ(log_.contains("Error: the disk group '" + kNewName +
                                "' is present but was not imported from the clone disks of this "
                                "call; it is left in place"),
                  !c.destroyed);
    }
}

// Everything the import will use is checked before the first command: caller arguments, the
// names and ids from the capture and the map, the device paths.
TEST_F(VxvmClone, RefusalsBeforeAnyCommand) {
    vbtest::FakeRunner fake;  // nothing may run
    std::string hostileName;
    volbridge::vxvm::appendCapturedRecord(hostileName, {"dg", "data$(reboot)", kDgid});
    struct Case {
        const char* name;
        const char* metadata;
        std::list<std::string> clones;
        std::map<std::string, std::string> map;
        std::string message;
    };
    const std::string shellWords =
        "characters that the shell would interpret (allowed: letters, digits and \"._+-:/@\")";
    const Case cases[] = {
        {"no clone", metadata_.c_str(), {}, {}, "Error: size of pv_dev_list is 0!"},
        {"no metadata", nullptr, kClones, {}, "Error: metadata is NULL!"},
        // A capture without a group id is what the caller learns, not a clean-up's failure.
        {"no group id",
         "dg|datadg;",
         kClones,
         {},
         "Error: could not obtain the disk group id for import"},
        {"a description missing",
         "dg|datadg|1.2.h;lv|vol01|g;",
         kClones,
         {},
         "Error: VXVM metadata for volume 'vol01' is NULL!"},
        {"a group name the shell would read",
         hostileName.c_str(),
         kClones,
         {},
         "Refusing to run a command with the new disk group name [yb_data$(reboot)_1700000000]: "
         "it holds " +
             shellWords},
        {"a group id from the map the shell would read",
         metadata_.c_str(),
         kClones,
         {{kDgid, "1.2;reboot"}},
         "Refusing to run a command with the disk group id [1.2;reboot]: it holds " + shellWords},
        {"a device path the shell would read",
         metadata_.c_str(),
         {"/dev/sdb", "/dev/sdf;reboot"},
         {},
         "Refusing to run a command with the clone device path [/dev/sdf;reboot]: it holds " +
             shellWords},
        {"one device by two names",
         metadata_.c_str(),
         {"/dev/sdb", "/dev/sdc", "/dev/disk/by-id/wwn-0x6000097000019760012353303031414f"},
         {},
         "Error: the clone devices '/dev/sdb' and "
         "'/dev/disk/by-id/wwn-0x6000097000019760012353303031414f' are one device, /dev/sdb"},
    };
    putDevice("/dev/sdb");
    putLink("/dev/disk/by-id/wwn-0x6000097000019760012353303031414f", "../../sdb");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(recreateFails(c.metadata, c.clones, c.map), c.message);
    }
    EXPECT_TRUE(fake.commands().empty());
}

TEST_F(VxvmClone, TheCallersMapGivesTheIdToImport) {
    vbtest::FakeRunner fake;
    fake.on(kScan, 0, "   5.5.hostB\n")
        .on("vxdg list 5.5.hostB", 11)
        .on(std::string("vxdg list ") + kDgid, 11)
        .on("vxdisk scandisks")
        .on("vxdg -fC -n " + kNewName + " -o tag=yb_emc0_0a1b -o updateid import 5.5.hostB")
        .on("vxvol -g " + kNewName + " startall");
    answerTags(fake);
    answerImportedGroup(fake);
    replayDatadg(fake);
    const LVM::VG vg = recreate({{kDgid, "5.5.hostB"}});
    EXPECT_EQ(vg.orig_uuid, kDgid);
    EXPECT_EQ(fake.commands()[1], std::string("vxdg list ") + kDgid);
    EXPECT_EQ(fake.commands()[2], "vxdg list 5.5.hostB");
}

// Clone disks that already belong to an imported group are refused before anything is tagged:
// the group the clones form was made by an earlier import (stopped by a kill after its import,
// or returned to a caller that is using it), and a disk of another group is not ours to take.
TEST_F(VxvmClone, ClonesOfAnImportedGroupAreRefusedBeforeTheyAreTouched) {
    struct Case {
        const char* name;
        std::string paths;
        std::string message;
        const char* logged;  // the level-0 line naming the group, or null
    };
    const Case cases[] = {
        {"the group an earlier import made of them", clonePaths("yb_datadg_1699999997"),
         "Error: the clone disks already form the imported disk group 'yb_datadg_1699999997' "
         "(3 of 3 of them): an earlier import of these clones made it, and was stopped before it "
         "finished or gave it to its caller. Use that group, or remove it with destroyVG and "
         "import again; nothing was tagged or imported",
         "The clone disks emc0_0a1b emc0_0a1c emc0_0a1d already form the disk group "
         "yb_datadg_1699999997"},
        {"the source group itself", vbtest::readFixture("vxvm/vxdisk_-qe_path.txt"),
         "Error: the clone device '/dev/sdb' (emc0_0a1b) belongs to the imported disk group "
         "'datadg'; nothing was tagged or imported",
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.on(std::string("vxdg list ") + kDgid)
            .on("vxdisk scandisks")
            .on("vxdisk -qe path", 0, c.paths);
        replayDatadg(fake);
        log_.clear();
        EXPECT_EQ(recreateFails(metadata_.c_str()), c.message);
        EXPECT_EQ(thrownBy_, "LVM_vxvm::recreateVG");
        vbtest::expectCommands(fake.commands(), {kScan, std::string("vxdg list ") + kDgid,
                                                 "vxdisk scandisks", "vxdisk -qe path"});
        if (c.logged) {
            EXPECT_TRUE(log_.contains(c.logged));
        }
    }
}

// Clone devices given by a link are the devices the links lead to; a device VxVM does not know
// is refused; an untagged import that took a disk other than the clones is deported again.
TEST_F(VxvmClone, ClonesAreTheDevicesTheCallerNamed) {
    putDevice("/dev/sdb");
    putDevice("/dev/sdc");
    putDevice("/dev/sdd");
    std::list<std::string> links;
    for (const char* dev : {"sdb", "sdc", "sdd"}) {
        const std::string link = std::string("/dev/disk/by-id/scsi-360000970000197600123-") + dev;
        putLink(link, std::string("../../") + dev);
        links.push_back(link);
    }
    {
        SCOPED_TRACE("links");
        vbtest::FakeRunner fake;
        answerImport(fake);
        replayDatadg(fake);
        EXPECT_EQ(recreate({}, links).name, kNewName);
        vbtest::expectCommands(
            std::vector<std::string>(fake.commands().begin(), fake.commands().begin() + 10),
            concat(
                {{kScan, std::string("vxdg list ") + kDgid, "vxdisk scandisks"}, tagCommands(3)}));
    }
    {
        SCOPED_TRACE("a device VxVM does not know");
        vbtest::FakeRunner fake;
        fake.on(std::string("vxdg list ") + kDgid)
            .on("vxdisk scandisks")
            .on("vxdisk -s list sdb sdq  | grep '^dgid:' | cut -d: -f2 | sort -u");
        answerTags(fake);
        replayDatadg(fake);
        EXPECT_EQ(recreateFails(metadata_.c_str(), {"/dev/sdb", "/dev/sdq"}),
                  "Error: VxVM does not know the clone device '/dev/sdq': no row of 'vxdisk -qe "
                  "path' names sdq; nothing was tagged or imported");
        EXPECT_EQ(fake.commands().back(), "vxdisk -qe path");
    }
    SCOPED_TRACE("an untagged import that took another disk");
    vbtest::FakeRunner fake;
    fake.on(std::string("vxdg list ") + kDgid)
        .on("vxdisk scandisks")
        .always("vxdisk -f settag emc0_0a1b yb_emc0_0a1b", 5, "", "VxVM vxdisk ERROR V-5-1-0")
        .on(importCommand(" -o useclonedev=on"))
        .on("vxprint -g " + kNewName + " -d -F%da_name", 0,
            "emc0_0a1b\nemc0_0a1c\nemc0_0a1d\nemc0_0a1e\n")
        .on("vxdg deport " + kNewName);
    answerTags(fake);
    replayDatadg(fake);
    EXPECT_EQ(recreateFails(metadata_.c_str()),
              "Error: the untagged import of '" + kNewName +
                  "' took the disks emc0_0a1e, which are not among the clone devices given; the "
                  "group is deported again");
    vbtest::expectCommands(
        fake.commands(),
        concat({{kScan, std::string("vxdg list ") + kDgid, "vxdisk scandisks", "vxdisk -qe path",
                 "vxdisk clearimport emc0_0a1b", "vxdisk -f settag emc0_0a1b yb_emc0_0a1b",
                 importCommand(" -o useclonedev=on"), "vxprint -g " + kNewName + " -d -F%da_name",
                 "vxdg deport " + kNewName},
                detagCommands()}));
}

// When the clean-up cannot destroy the group it imported, the caller still gets the first error
// and the log names the group at level 0; the tags come off once.
TEST_F(VxvmClone, AGroupTheCleanUpCannotDestroyIsNamed) {
    vbtest::FakeRunner fake;
    fake.on(std::string("vxdg list ") + kDgid)
        .on("vxdisk scandisks")
        .on(importCommand(" -o useclonedev=on -o tag=yb_emc0_0a1b"))
        .on("vxvol -g " + kNewName + " startall")
        .on("vxprint -g " + kNewName + " -v -F%guid:%name", 1, "", "VxVM vxprint ERROR V-5-1-684")
        .alwaysMatch("vxdmpadm .*|vxvol -g " + kNewName + " stopall",
                     [](const std::string&) { return Reply{}; })
        .on("vxdg destroy " + kNewName, 1, "", "VxVM vxdg ERROR V-5-1-2275 Volume vol01 is open");
    answerTags(fake);
    answerImportedGroup(fake);
    replayDatadg(fake);

    EXPECT_EQ(recreateFails(metadata_.c_str()),
              "Error: cmd: 'vxprint -g " + kNewName +
                  " -v -F%guid:%name' failed with the error: 'VxVM vxprint ERROR V-5-1-684'");
    EXPECT_TRUE(log_.contains("Could not undo the disk group " + kNewName +
                              ": Error: cmd: 'vxdg destroy " + kNewName +
                              "' failed with the error: 'VxVM vxdg ERROR V-5-1-2275 Volume vol01 "
                              "is open'"));
    EXPECT_TRUE(log_.contains("for the operator to remove or finish: the disk group " + kNewName));
    const auto& run = fake.commands();
    EXPECT_EQ(std::count(run.begin(), run.end(), "vxdisk -f rmtag emc0_0a1b yb_emc0_0a1b"), 1);
    EXPECT_EQ(run.back(), "vxdg destroy " + kNewName);
}

// A failure at each command of the import in turn: the caller gets that command's failure (or
// the import goes on, where the failure is one the import tolerates), and what the import undoes
// afterwards touches only the tags it set and the group it imported.
TEST_F(VxvmClone, AFailureAtEachCommand) {
    const auto answer = [](vbtest::FakeRunner& fake) {
        fake.always(kScan, 0, std::string("   ") + kDgid + "\n")
            .always(std::string("vxdg list ") + kDgid)
            .always("vxdisk scandisks")
            .alwaysMatch("vxdg -fC -n .*", [](const std::string&) { return Reply{}; })
            .alwaysMatch("(vxdmpadm|vxvol -g " + kNewName + " (startall|stopall)|vxdg destroy " +
                             kNewName + "|vxdisk (offline|rm) emc0_0a1.) ?.*",
                         [](const std::string&) { return Reply{}; })
            .always("vxdg -q list", 0, "");
        answerTags(fake);
        answerImportedGroup(fake);
        replayDatadg(fake);
    };
    const auto runs = vbtest::failEachCommand(log_, answer, [this] { recreate(); });
    ASSERT_EQ(runs.size(), concat({{kScan, "", ""},
                                   tagCommands(3),
                                   {""},
                                   detagCommands(),
                                   {""},
                                   vbtest::populateCommands(kNewName)})
                               .size());
    // Failures the import lets pass: the candidate scan and the clone-option probe are answers,
    // not steps; a failed clearimport, settag (an untagged import), rmtag, import (tried again)
    // or startall is logged.
    const std::regex tolerated(
        "vxdisk -s list .*|vxdg list [0-9].*|vxdisk (clearimport|-f settag|-f rmtag) .*|"
        "vxdg -fC -n .*|vxvol -g .* startall");
    const std::regex sourceGroup("\\bdatadg\\b");
    for (const vbtest::InjectedFailure& run : runs) {
        SCOPED_TRACE(run.command);
        for (const std::string& cmd : run.after) {
            EXPECT_FALSE(std::regex_search(cmd, sourceGroup)) << cmd;
        }
        if (std::regex_match(run.command, tolerated)) {
            EXPECT_EQ(run.error, "(no exception)");
            continue;
        }
        const std::string text = run.command.find("grep flags:") != std::string::npos
                                     ? "failed with error: 'injected failure'"
                                     : "failed with the error: 'injected failure'";
        EXPECT_EQ(run.error, "Error: cmd: '" + run.command + "' " + text);
        const bool imported = run.n > 11;
        const auto& after = run.after;
        EXPECT_EQ(std::count(after.begin(), after.end(), "vxdg destroy " + kNewName),
                  imported ? 1 : 0);
        // The tags came off once, in the import's own step: the undo does not take them off
        // again.
        const size_t untagged = std::count_if(after.begin(), after.end(), [](const std::string& c) {
            return c.find("rmtag") != std::string::npos;
        });
        EXPECT_EQ(untagged, 0u);
        for (const std::string& line : run.log) {
            EXPECT_EQ(line.find("Could not undo"), std::string::npos) << line;
        }
    }
}

}  // namespace
