// Clone import of a GPFS file system into another cluster: the commands, the files written for
// GPFS, the record, the refusals and what a failure leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "GpfsSandbox.h"

namespace {

using gpfstest::Sandbox;
using Map = std::map<std::string, std::string>;

const char kRecreate[] =
    "virtual LVM::VG LVM_gpfs::recreateVG(const std::list<std::string>&, const char*, "
    "std::map<std::string, std::string>&)";
const char kUid[] = "1700000000123456_";

// The captured text of every disk, with identities that differ from those of the clones.
std::string capturedElsewhere() {
    std::string text = vbtest::readFixture("gpfs/metadata/gpfs0-all-disks.txt");
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"0A0000015F3A2B01#", "C0FFEE01#"},
             {"0A0000015F3A2B04#", "C0FFEE04#"},
             {"0A0000015F3A2B07#", "C0FFEE07#"},
             {"gpfs0:0A000001:5F3A2C10", "gpfs0:0A000002:00000002"},
             {"/dev/gpfs0#0A000001:5F3A2C10", "/dev/gpfs0#0A000002:00000002"}}) {
        text.replace(text.find(from), from.size(), to);
    }
    return text;
}

std::string stanzaFor(const std::vector<std::string>& nsds) {
    std::string text;
    for (const std::string& nsd : nsds) text += "%nsd:\n nsd=" + nsd + "\n servers=node1\n";
    return text;
}

std::string importCommand(const Sandbox& box, const std::string& uid) {
    return "mmimportfs gpfs0 -i " + box.tempFile("mmsdrfsExport_" + uid + "42") + " -S " +
           box.tempFile("stanzaFile_" + uid + "42");
}

std::string exportCommand(const Sandbox& box) {
    return "mmexportfs gpfs0 -o " + box.exportFile(std::string("yb_exportFile_") + kUid + "gpfs0");
}

// Answers the export of a failed clone import by writing the export file, as GPFS does.
void answerExport(vbtest::FakeRunner& fake, const Sandbox& box, int status = 0,
                  const std::string& err = "") {
    const std::string file = box.exportFile(std::string("yb_exportFile_") + kUid + "gpfs0");
    fake.onMatch("mmexportfs .*", [file, status, err](const std::string&) {
        vbtest::writeFile(file, "exported\n");
        return vbtest::Reply{status, "", err};
    });
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(GpfsClone, ImportIntoAnotherClusterMountsDiscoversAndUnmounts) {
    Sandbox box;
    box.useOtherCluster();
    vbtest::FakeRunner fake;
    std::string configAtImport, stanzaAtImport;
    fake.replayFrom(box.replayDir())
        .on(gpfstest::isGpfs("gpfs0"), 0, "")
        .onMatch("mmimportfs .*",
                 [&](const std::string&) {
                     configAtImport = vbtest::readFile(
                         box.tempFile("mmsdrfsExport_" + std::string(kUid) + "42"));
                     stanzaAtImport =
                         vbtest::readFile(box.tempFile("stanzaFile_" + std::string(kUid) + "42"));
                     return vbtest::Reply{0, "mmimportfs: Processing file system gpfs0 ...\n", ""};
                 })
        .on("mmmount gpfs0 -o ro 1>/dev/null")
        .on("mmumount gpfs0 -a -f");
    gpfstest::Backend gpfs;
    Map map{{"old", "new"}};

    LVM::VG vg = gpfs.recreateVG({"/dev/sdx"}, capturedElsewhere().c_str(), map);

    std::vector<std::string> expected{gpfstest::kClusterId, gpfstest::isGpfs("gpfs0"),
                                      gpfstest::kCurrentNode, importCommand(box, kUid),
                                      "mmmount gpfs0 -o ro 1>/dev/null"};
    for (const std::string& c : gpfstest::wholeDiscovery(gpfstest::Layout::Ccr))
        expected.push_back(c);
    expected.push_back("mmumount gpfs0 -a -f");
    vbtest::expectCommands(fake.commands(), expected);

    EXPECT_EQ(configAtImport, Sandbox::mmsdrfs());
    EXPECT_EQ(stanzaAtImport, stanzaFor({"nsd1", "nsd2", "nsd3"}));
    EXPECT_EQ(modeOf(box.tempFile("mmsdrfsExport_" + std::string(kUid) + "42")), 0600u);
    EXPECT_EQ(modeOf(box.tempFile("stanzaFile_" + std::string(kUid) + "42")), 0600u);

    EXPECT_EQ(vg.name, "gpfs0");
    EXPECT_EQ(vg.orig_name, "gpfs0");
    EXPECT_EQ(vg.uuid, gpfstest::kFsId);
    EXPECT_EQ(vg.orig_uuid, "0A000002:00000002");
    EXPECT_EQ(vg.vendor, "GPFS");
    ASSERT_EQ(vg.pvs.size(), 3u);
    EXPECT_EQ(vg.pvs[gpfstest::kPvSdb].orig_uuid, "C0FFEE01#nsd1:0A0000015F3A2B01");
    EXPECT_EQ(vg.pvs[gpfstest::kPvSdd].orig_uuid, "C0FFEE07#nsd3:0A0000015F3A2B07");
    EXPECT_EQ(vg.pvs[gpfstest::kPvSdd].device, "/dev/sdd");
    ASSERT_EQ(vg.lvs.size(), 1u);
    EXPECT_EQ(vg.lvs.begin()->second.orig_uuid, "0A000002:00000002");
    EXPECT_EQ(vg.lvs.begin()->second.uuid, gpfstest::kFsId);
    EXPECT_EQ(map, (Map{{"old", "new"}}));
    EXPECT_NE(gpfs.getUniqueId(), kUid) << "the discovery made a new capture";
    EXPECT_EQ(box.clock().sleeps(), (std::vector<uint64_t>{1000, 1000}));
}

TEST(GpfsClone, RefusalsAndFailuresBeforeTheImportLeaveTheClusterAlone) {
    const std::string good = capturedElsewhere();
    struct Case {
        const char* name;
        std::string metadata;
        bool otherCluster;
        std::function<void(vbtest::FakeRunner&, Sandbox&)> answer;
        std::vector<std::string> commands;
        std::string message;
        int err;
    } cases[] = {
        {"metadata of this cluster",
         good,
         false,
         nullptr,
         {gpfstest::kClusterId},
         "Clone cannot be mounted on old cluster for GPFS where the filesystem already exists.",
         60314},
        {"file system already here",
         good,
         true,
         nullptr,
         {gpfstest::kClusterId, gpfstest::isGpfs("gpfs0")},
         "file system already present on the system",
         60314},
        {"cluster id query fails",
         good,
         true,
         [](vbtest::FakeRunner& fake, Sandbox&) {
             fake.on(gpfstest::kClusterId, 1, "", "mmlscluster: not a cluster node\n");
         },
         {gpfstest::kClusterId},
         std::string("Error: cmd: '") + gpfstest::kClusterId +
             "' failed with error: 'mmlscluster: not a cluster node\n'",
         -1},
        {"malformed PV map",
         std::string(good).replace(good.find("C0FFEE01#"), 9, "C0FFEE01"),
         true,
         nullptr,
         {},
         "Error: could not parse pvId to get nsd list",
         -1},
        {"empty metadata", "", true, nullptr, {}, "Error: Empty Metadata string", -1},
        {"no current node for the stanza file",
         good,
         true,
         [](vbtest::FakeRunner& fake, Sandbox&) {
             fake.on(gpfstest::isGpfs("gpfs0"), 0, "").on(gpfstest::kCurrentNode, 1, "", "down");
         },
         {gpfstest::kClusterId, gpfstest::isGpfs("gpfs0"), gpfstest::kCurrentNode},
         "Error in writing stanza file",
         -1},
        {"configuration copy cannot be written",
         good,
         true,
         [](vbtest::FakeRunner& fake, Sandbox& box) {
             fake.on(gpfstest::isGpfs("gpfs0"), 0, "");
             vbtest::writeFile(box.tempFile("victim"), "precious");
             ASSERT_EQ(symlink(box.tempFile("victim").c_str(),
                               box.tempFile("mmsdrfsExport_" + std::string(kUid) + "42").c_str()),
                       0);
         },
         {gpfstest::kClusterId, gpfstest::isGpfs("gpfs0")},
         "Error in writing mmsdrfs file",
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        if (c.otherCluster) box.useOtherCluster();
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir());
        if (c.answer) c.answer(fake, box);
        gpfstest::Backend gpfs;
        Map map;
        int err = 0;
        EXPECT_EQ(gpfstest::failure([&] { gpfs.recreateVG({}, c.metadata.c_str(), map); },
                                    kRecreate, &err),
                  c.message);
        EXPECT_EQ(err, c.err);
        vbtest::expectCommands(fake.commands(), c.commands);
        if (std::filesystem::exists(box.tempFile("victim"))) {
            EXPECT_EQ(vbtest::readFile(box.tempFile("victim")), "precious");
        }
    }
    Sandbox box;
    vbtest::FakeRunner fake;
    gpfstest::Backend gpfs;
    Map map;
    EXPECT_EQ(gpfstest::failure([&] { gpfs.recreateVG({}, nullptr, map); }, kRecreate),
              "Error: Empty Metadata string");
}

TEST(GpfsClone, ImportFailuresAndWhatCountsAsSuccess) {
    struct Case {
        const char* name;
        const char* fixture;
        std::string err;
        const char* marker;  // created before the import
        bool trusted;
        bool succeeds;
    } cases[] = {
        {"missing disks of a failure-group capture", "gpfs0-failure-group-1.txt",
         "mmimportfs: ENODEV on nsd3\n", nullptr, true, true},
        {"missing disks of a whole capture", "gpfs0-all-disks.txt", "mmimportfs: ENODEV\n", nullptr,
         true, false},
        {"completes asynchronously", "gpfs0-all-disks.txt", "import is asynchronous\n", nullptr,
         true, true},
        {"operator ignores the error", "gpfs0-all-disks.txt", "boom\n", "gpfsIgnoreError", true,
         true},
        {"an ignore marker anybody could write counts for nothing", "gpfs0-all-disks.txt", "boom\n",
         "gpfsIgnoreError", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        box.useOtherCluster();
        if (c.marker) {
            box.setMarker(c.marker);
            if (!c.trusted) chmod(box.marker(c.marker).c_str(), 0666);
        }
        const std::string metadata = vbtest::readFixture(std::string("gpfs/metadata/") + c.fixture);
        const std::string uid = metadata.substr(metadata.find("$$$UID$$$") + 9, 16) + "_";
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir())
            .on(gpfstest::isGpfs("gpfs0"), 0, "")
            .on(importCommand(box, uid), 1, "", c.err)
            .always("mmmount gpfs0 -o ro 1>/dev/null")
            .always("mmumount gpfs0 -a -f");
        answerExport(fake, box);
        fake.allowUnused();
        gpfstest::Backend gpfs;
        Map map;
        if (c.succeeds) {
            LVM::VG vg = gpfs.recreateVG({}, metadata.c_str(), map);
            EXPECT_EQ(vg.name, "gpfs0");
            for (const std::string& cmd : fake.commands()) EXPECT_NE(cmd.find("mmexportfs"), 0u);
            continue;
        }
        EXPECT_EQ(gpfstest::failure([&] { gpfs.recreateVG({}, metadata.c_str(), map); }, kRecreate),
                  "Error while importing the filesystem");
        EXPECT_EQ(fake.commands().back(), exportCommand(box));
        EXPECT_FALSE(std::filesystem::exists(box.exportFile("yb_exportFile_" + uid + "gpfs0")));
        EXPECT_TRUE(box.log().contains("[LVM_gpfs:"));
    }
}

TEST(GpfsClone, StanzaOfAFailureGroupCaptureNamesTheExcludedNsdsToo) {
    Sandbox box;
    box.useOtherCluster();
    vbtest::FakeRunner fake;
    std::string stanza;
    fake.replayFrom(box.replayDir())
        .on(gpfstest::isGpfs("gpfs0"), 0, "")
        .onMatch("mmimportfs .*",
                 [&](const std::string&) {
                     stanza = vbtest::readFile(box.tempFile("stanzaFile_1700000042654321_42"));
                     return vbtest::Reply{};
                 })
        .on("mmmount gpfs0 -o ro 1>/dev/null")
        .on("mmumount gpfs0 -a -f");
    gpfstest::Backend gpfs;
    Map map;
    LVM::VG vg = gpfs.recreateVG(
        {}, vbtest::readFixture("gpfs/metadata/gpfs0-failure-group-1.txt").c_str(), map);
    EXPECT_EQ(stanza, stanzaFor({"nsd1", "nsd2", "nsd3"}));
    EXPECT_TRUE(box.log().contains("++++ excluded Disk'nsd3'"));
    EXPECT_EQ(vg.pvs.size(), 2u);
    EXPECT_EQ(gpfs.m_excludeList, "nsd3");
}

TEST(GpfsClone, FailuresAtOrAfterTheImportExportTheFileSystemAgain) {
    struct Case {
        const char* name;
        std::string failing;  // the command that fails
        std::string err;
        int exportStatus;
        std::string message;
        int errNumber;
    } cases[] = {
        {"import fails", "", "", 0, "Error while importing the filesystem", -1},
        {"discovery finds no identifier", gpfstest::fsIdCommand("gpfs0"), "", 0,
         "Error: FS GUID is empty!!!", -1},
        {"the export fails too", "", "", 1, "Error while importing the filesystem", -1},
        {"a failure the host marked 60606", gpfstest::diskDevices("gpfs0", "-M"), "60606", 0,
         "host lost", 60606},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        box.useOtherCluster();
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir()).on(gpfstest::isGpfs("gpfs0"), 0, "");
        if (c.failing.empty()) {
            fake.on(importCommand(box, kUid), 1, "", "mmimportfs: bad disk\n");
        } else {
            fake.on(importCommand(box, kUid)).on("mmmount gpfs0 -o ro 1>/dev/null");
            if (c.err == "60606") {
                fake.onMatch("mmlsdisk gpfs0 -M .*", [](const std::string&) -> vbtest::Reply {
                    throw YbException("host", "host lost", "host", 1, 60606);
                });
            } else {
                fake.on(c.failing, 0, "");
            }
        }
        answerExport(fake, box, c.exportStatus, c.exportStatus ? "mmexportfs: busy\n" : "");
        gpfstest::Backend gpfs;
        Map map;
        int err = 0;
        EXPECT_EQ(gpfstest::failure([&] { gpfs.recreateVG({}, capturedElsewhere().c_str(), map); },
                                    kRecreate, &err),
                  c.message);
        EXPECT_EQ(err, c.errNumber);
        EXPECT_EQ(fake.commands().back(), exportCommand(box));
        EXPECT_FALSE(std::filesystem::exists(
            box.exportFile(std::string("yb_exportFile_") + kUid + "gpfs0")));
        EXPECT_EQ(box.log().contains("Export fs returned error"), c.exportStatus != 0);
    }
}

TEST(GpfsClone, ImportWaitsWhileTheOperatorHoldsIt) {
    Sandbox box;
    box.setMarker("gpfsImportWait");
    box.clock().removeAfter(box.marker("gpfsImportWait"), 3);
    vbtest::FakeRunner fake;
    fake.on("mmimportfs gpfs0 -i /x/export", 1, "", "boom\n");
    gpfstest::Backend gpfs;
    EXPECT_FALSE(gpfs.importFS("gpfs0", "/x/export", ""));
    EXPECT_EQ(box.clock().sleeps(), (std::vector<uint64_t>{2000, 2000, 2000}));
}

TEST(GpfsClone, ExportAndExcludeCommandsAndTheirFiles) {
    Sandbox box;
    vbtest::FakeRunner fake;
    const std::string exportFile = box.tempFile("gpfsRevExport_42");
    fake.on("mmexportfs gpfs0 -o " + exportFile, 1, "partial\n", "mmexportfs: EBUSY\n")
        .on("mmexportfs gpfs0 -o /x/e", 1, "", "done asynchronous\n")
        .on("mmfsctl gpfs0 exclude -d \"nsd3;nsd4\"")
        .on("mmfsctl gpfs0 exclude -d \"nsd3;nsd4\"", 1, "", "no\n");
    gpfstest::Backend gpfs;

    std::string errors = "before:";
    vbtest::writeFile(exportFile, "stale export of ours");
    EXPECT_FALSE(gpfs.exportFS("gpfs0", "", &errors));
    EXPECT_EQ(errors, "before:partial\nmmexportfs: EBUSY\n");
    EXPECT_FALSE(std::filesystem::exists(exportFile)) << "a stale file of ours makes way";
    EXPECT_TRUE(gpfs.exportFS("gpfs0", "/x/e", nullptr));

    // A link planted where GPFS is to write the export: refused, nothing run.
    vbtest::writeFile(box.tempFile("victim"), "precious");
    ASSERT_EQ(symlink(box.tempFile("victim").c_str(), exportFile.c_str()), 0);
    EXPECT_FALSE(gpfs.exportFS("gpfs0", "", nullptr));
    EXPECT_EQ(vbtest::readFile(box.tempFile("victim")), "precious");
    EXPECT_TRUE(box.log().contains("Refusing to use the file " + exportFile));

    gpfs.m_excludeList = "nsd3;nsd4";
    EXPECT_TRUE(gpfs.excludeFGDisks("gpfs0"));
    EXPECT_FALSE(gpfs.excludeFGDisks("gpfs0"));
    box.setMarker("gpfsExIgnoreError");
    fake.on("mmfsctl gpfs0 exclude -d \"nsd3;nsd4\"", 1, "", "no\n");
    EXPECT_TRUE(gpfs.excludeFGDisks("gpfs0"));
    box.setMarker("donotexclude");
    gpfs.m_excludeList = "nsd3;;$(reboot)";  // not even looked at
    EXPECT_TRUE(gpfs.excludeFGDisks("gpfs0"));
    std::filesystem::remove(box.marker("donotexclude"));
    EXPECT_FALSE(gpfs.excludeFGDisks("gpfs0"));
    EXPECT_TRUE(box.log().contains("Refusing to run a command with the NSD name []: it is empty"));

    vbtest::expectCommands(
        fake.commands(),
        {"mmexportfs gpfs0 -o " + exportFile, "mmexportfs gpfs0 -o /x/e",
         "mmfsctl gpfs0 exclude -d \"nsd3;nsd4\"", "mmfsctl gpfs0 exclude -d \"nsd3;nsd4\"",
         "mmfsctl gpfs0 exclude -d \"nsd3;nsd4\""});
}

}  // namespace
