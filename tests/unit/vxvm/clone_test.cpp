// Clone import through the fake runner: the clones are the disks sdb, sdc and sdd of the captured
// group datadg; once imported, VxVM shows them under the new name with a new id, new udids and
// new guids (the captured outputs of datadg, rewritten).
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

std::vector<std::string> tagCommands(size_t disks) {
    std::vector<std::string> cmds;
    for (size_t i = 0; i < disks; ++i) {
        cmds.push_back("vxdisk -qe path");
        cmds.push_back(std::string("vxdisk clearimport ") + kDas[i]);
        cmds.push_back(std::string("vxdisk -f settag ") + kDas[i] + " yb_emc0_0a1b");
    }
    return cmds;
}

std::vector<std::string> detagCommands() {
    std::vector<std::string> cmds;
    for (const char* da : kDas) {
        cmds.push_back("vxdisk -qe path");
        cmds.push_back(std::string("vxdisk -f rmtag ") + da + " yb_emc0_0a1b");
    }
    return cmds;
}

std::vector<std::string> rmDiskCommands() {
    std::vector<std::string> cmds;
    for (const char* da : kDas) {
        cmds.push_back("vxdisk -qe path");
        cmds.push_back(std::string("vxdisk list ") + da +
                       " > /dev/null 2> /dev/null && vxdisk -f rm " + da);
    }
    return cmds;
}

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class VxvmClone : public vbtest::VxvmSandbox {
  protected:
    LVM::VG recreate(std::map<std::string, std::string> map = {}) {
        LVM_vxvm backend;
        return backend.recreateVG(kClones, metadata_.c_str(), map);
    }
    // The message of the exception recreateVG throws, or "" (a test failure) when it succeeds.
    std::string recreateFails(const char* metadata,
                              const std::list<std::string>& clones = kClones) {
        std::map<std::string, std::string> map;
        LVM_vxvm backend;
        try {
            backend.recreateVG(clones, metadata, map);
            ADD_FAILURE() << "recreateVG succeeded";
        } catch (const YbException& e) {
            thrownBy_ = e.getFuncName();
            return e.getMessage();
        }
        return "";
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
            .on("vxdisk scandisks");
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
        .on(importCommand(" -o useclonedev=on -o tag=yb_emc0_0a1b"), 1, "", "V-5-1-10978 second")
        .alwaysMatch("vxdisk (clearimport|-f settag|-f rmtag) .*",
                     [](const std::string&) { return Reply{}; })
        .alwaysMatch("vxdisk list .* && vxdisk -f rm .*",
                     [](const std::string&) { return Reply{}; });
    replayDatadg(fake);
    putMarker("dgimport.failure", "9");
    putMarker("failure", "10");

    EXPECT_EQ(recreateFails(metadata_.c_str()),
              "Error: cmd: '" + importCommand(" -o useclonedev=on -o tag=yb_emc0_0a1b") +
                  "' failed with the error: 'V-5-1-10978 second'");
    // Clean-up: the tags off, no group of the new name, so the clones leave VxVM's view.
    vbtest::expectCommands(fake.commands(),
                           concat({{kScan, std::string("vxdg list ") + kDgid, "vxdisk scandisks"},
                                   tagCommands(3),
                                   {importCommand(" -o tag=yb_emc0_0a1b"),
                                    importCommand(" -o useclonedev=on -o tag=yb_emc0_0a1b")},
                                   detagCommands(),
                                   {"vxdg -q list"},
                                   rmDiskCommands()}));
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
    fake.on(std::string("vxdg list ") + kDgid)
        .on("vxdisk scandisks")
        .alwaysMatch("vxdisk (clearimport|-f settag|-f rmtag) .*",
                     [](const std::string&) { return Reply{}; })
        .on(importCommand(" -o useclonedev=on -o tag=yb_emc0_0a1b"))
        .on("vxvol -g " + kNewName + " startall");
    answerImportedGroup(fake);
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
    const std::vector<std::string> failedTagging{"vxdisk scandisks",
                                                 "vxdisk -qe path",
                                                 "vxdisk clearimport emc0_0a1b",
                                                 "vxdisk -f settag emc0_0a1b yb_emc0_0a1b",
                                                 "vxdisk -qe path",
                                                 "vxdisk clearimport emc0_0a1c",
                                                 "vxdisk -f settag emc0_0a1c yb_emc0_0a1b"};
    const Case cases[] = {
        // The disk tagged before the failure loses its tag after the import.
        {"without /tmp/requireretag",
         false,
         nullptr,
         concat({{kScan, std::string("vxdg list ") + kDgid},
                 failedTagging,
                 {importCommand(" -o useclonedev=on")},
                 detagCommands(),
                 {"vxvol -g " + kNewName + " startall"},
                 vbtest::populateCommands(kNewName)}),
         {}},
        {"with /tmp/requireretag",
         true,
         "Error: cmd: 'vxdisk scandisks' failed with the error: ''",
         concat({{kScan, std::string("vxdg list ") + kDgid},
                 failedTagging,
                 failedTagging,
                 failedTagging,
                 detagCommands(),
                 {"vxdg -q list"},
                 rmDiskCommands()}),
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
            .alwaysMatch("vxdisk (clearimport|-f settag|-f rmtag) .*",
                         [](const std::string&) { return Reply{}; })
            .alwaysMatch("vxdisk list .* && vxdisk -f rm .*",
                         [](const std::string&) { return Reply{}; })
            .allowUnused();
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
        unlink(volbridge::markerPath("requireretag").c_str());
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

TEST_F(VxvmClone, CleanUpDestroysOnlyAGroupMadeOfTheseClones) {
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
            .on("vxprint -g " + kNewName + " -d -F%da_name", 0, c.groupDisks)
            .alwaysMatch("vxdisk (clearimport|-f settag|-f rmtag) .*",
                         [](const std::string&) { return Reply{}; })
            .alwaysMatch("vxdisk list .* && vxdisk -f rm .*",
                         [](const std::string&) { return Reply{}; })
            .alwaysMatch("(vxdmpadm|vxvol|vxdg destroy|vxdisk offline|vxdisk rm) .*",
                         [](const std::string&) { return Reply{}; })
            .allowUnused();
        answerImportedGroup(fake);
        replayDatadg(fake);
        log_.clear();

        recreateFails(metadata_.c_str());

        const auto& run = fake.commands();
        const bool destroyed =
            std::find(run.begin(), run.end(), "vxdg destroy " + kNewName) != run.end();
        const bool removedClones =
            std::find(run.begin(), run.end(),
                      "vxdisk list emc0_0a1b > /dev/null 2> /dev/null && vxdisk -f rm "
                      "emc0_0a1b") != run.end();
        EXPECT_EQ(destroyed, c.destroyed);
        EXPECT_EQ(removedClones, !c.destroyed);
        EXPECT_EQ(log_.contains("Error: the disk group '" + kNewName +
                                "' is present but was not imported from the clone disks of this "
                                "call; it is left in place"),
                  !c.destroyed);
    }
}

TEST_F(VxvmClone, RefusalsBeforeAndAfterTheCleanUpStarts) {
    {
        vbtest::FakeRunner fake;  // nothing may run
        EXPECT_EQ(recreateFails(metadata_.c_str(), {}), "Error: size of pv_dev_list is 0!");
        EXPECT_EQ(
            recreateFails(metadata_.c_str(), {"/dev/sdb", "/dev/sdf;reboot"}),
            "Refusing to run a command with the clone device path [/dev/sdf;reboot]: it holds "
            "characters that the shell would interpret (allowed: letters, digits and "
            "\"._+-:/@\")");
        EXPECT_EQ(thrownBy_, "LVM_vxvm::recreateVG");
        EXPECT_TRUE(fake.commands().empty());
    }
    struct Case {
        const char* name;
        const char* metadata;
        std::string message;
        const char* thrownBy;
    };
    const Case cases[] = {
        {"no metadata", nullptr, "Error: metadata is NULL!", "LVM_vxvm::recreateVG"},
        {"no group id", "dg|datadg;", "Error: could not obtain the disk group id for import",
         "LVM_vxvm::recreateVG"},
        {"a description missing", "dg|datadg|1.2.h;lv|vol01|g;",
         "Error: VXVM metadata for volume 'vol01' is NULL!", "LVM_vxvm::getFromMetadata"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.alwaysMatch("vxdisk list .* && vxdisk -f rm .*",
                         [](const std::string&) { return Reply{}; });
        replayDatadg(fake);
        EXPECT_EQ(recreateFails(c.metadata), c.message);
        EXPECT_EQ(thrownBy_, c.thrownBy);
        // Nothing was tagged or imported: the clone disks leave VxVM's view.
        vbtest::expectCommands(fake.commands(), concat({{"vxdg -q list"}, rmDiskCommands()}));
    }
}

TEST_F(VxvmClone, TheCallersMapGivesTheIdToImport) {
    vbtest::FakeRunner fake;
    fake.on(kScan, 0, "   5.5.hostB\n")
        .on("vxdg list 5.5.hostB", 11)
        .on(std::string("vxdg list ") + kDgid, 11)
        .on("vxdisk scandisks")
        .alwaysMatch("vxdisk (clearimport|-f settag|-f rmtag) .*",
                     [](const std::string&) { return Reply{}; })
        .on("vxdg -fC -n " + kNewName + " -o tag=yb_emc0_0a1b -o updateid import 5.5.hostB")
        .on("vxvol -g " + kNewName + " startall");
    answerImportedGroup(fake);
    replayDatadg(fake);
    const LVM::VG vg = recreate({{kDgid, "5.5.hostB"}});
    EXPECT_EQ(vg.orig_uuid, kDgid);
    EXPECT_EQ(fake.commands()[1], std::string("vxdg list ") + kDgid);
    EXPECT_EQ(fake.commands()[2], "vxdg list 5.5.hostB");
}

}  // namespace
