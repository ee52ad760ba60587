// Clone import of a GPFS file system into another cluster: the commands, the files written for
// GPFS, the record, the refusals, what a failure at each command takes back, a run stopped at
// each step and run again, and two imports at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

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

// The export file of a clone import that takes its file system out again: private, and removed
// right after.
std::string exportFile(const Sandbox& box, const std::string& uid = kUid) {
    return box.tempFile("yb_exportFile_" + uid + "gpfs0");
}

// The commands of a whole clone import of gpfs0 into another cluster.
std::vector<std::string> wholeImport(const Sandbox& box) {
    std::vector<std::string> cmds{gpfstest::kClusterId, gpfstest::presence("gpfs0"),
                                  gpfstest::kCurrentNode, importCommand(box, kUid),
                                  "mmmount gpfs0 -o ro 1>/dev/null"};
    // The cluster id was read already.
    for (const std::string& c : gpfstest::wholeDiscovery(gpfstest::Layout::Ccr)) {
        if (c != gpfstest::kClusterId) cmds.push_back(c);
    }
    cmds.push_back("mmumount gpfs0 -a -f");
    return cmds;
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The capture of failure group 1 (nsd3 left out), or the same of failure group 0.
std::string failureGroupCapture(const char* group) {
    std::string text = vbtest::readFixture("gpfs/metadata/gpfs0-failure-group-1.txt");
    const std::string item = "$$$FG$$$1$$$FG$$$";
    return text.replace(text.find(item), item.size(), std::string("$$$FG$$$") + group + "$$$FG$$$");
}

// The disks of the captured file system with nsd1 and nsd2 in failure group 0, for the
// discovery of a failure-group 0 capture after its import.
void groupZeroDisks(Sandbox& box) {
    gpfstest::answerFor(box, {{"nsd1", 0, "yes", "desc", "/dev/sdb", "/dev/sdb"},
                              {"nsd2", 0, "yes", "desc", "/dev/sdc", "/dev/sdc"},
                              {"nsd3", 1, "yes", "desc", "/dev/sdd", "/dev/sdd"}});
}

// The journal an import keeps while it runs.
std::string journal(const Sandbox& box) { return box.stateDir() + "/gpfs-import.gpfs0"; }

TEST(GpfsClone, ImportIntoAnotherClusterMountsDiscoversAndUnmounts) {
    Sandbox box;
    box.useOtherCluster();
    gpfstest::StatefulCluster cluster(box, false);
    vbtest::FakeRunner fake;
    std::string configAtImport, stanzaAtImport, journalAtImport;
    fake.onMatch("mmimportfs .*", [&](const std::string&) {
        configAtImport =
            vbtest::readFile(box.tempFile("mmsdrfsExport_" + std::string(kUid) + "42"));
        stanzaAtImport = vbtest::readFile(box.tempFile("stanzaFile_" + std::string(kUid) + "42"));
        journalAtImport = vbtest::readFile(journal(box));
        vbtest::writeFile(box.host().scratch("cluster") + "/present", "");
        return vbtest::Reply{0, "mmimportfs: Processing file system gpfs0 ...\n", ""};
    });
    cluster.answer(fake);
    gpfstest::Backend gpfs;
    Map map{{"old", "new"}};

    LVM::VG vg = gpfs.recreateVG({"/dev/sdx"}, capturedElsewhere().c_str(), map);

    vbtest::expectCommands(fake.commands(), wholeImport(box));
    EXPECT_EQ(configAtImport, Sandbox::mmsdrfs());
    EXPECT_EQ(stanzaAtImport, stanzaFor({"nsd1", "nsd2", "nsd3"}));
    EXPECT_EQ(journalAtImport, "0A000002:00000002 1700000000123456\n");
    EXPECT_FALSE(std::filesystem::exists(journal(box))) << "the finished import forgets it";
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
    EXPECT_TRUE(cluster.present());
    EXPECT_FALSE(cluster.mounted());
}

TEST(GpfsClone, RefusalsAndFailuresBeforeTheImportLeaveTheClusterAlone) {
    const std::string good = capturedElsewhere();
    const std::string notAName =
        "is not a GPFS name (letters, digits, \"_\", \"-\" and \".\", not beginning with \"-\" or "
        "\".\")";
    struct Case {
        const char* name;
        std::string metadata;
        bool otherCluster;
        bool present;  // a file system gpfs0 is in this cluster
        std::function<void(vbtest::FakeRunner&, Sandbox&)> answer;
        std::vector<std::string> commands;
        std::string message;
        int err;
    } cases[] = {
        {"metadata of this cluster",
         good,
         false,
         true,
         nullptr,
         {gpfstest::kClusterId},
         "Clone cannot be mounted on old cluster for GPFS where the filesystem already exists.",
         60314},
        {"file system already here",
         good,
         true,
         true,
         nullptr,
         {gpfstest::kClusterId, gpfstest::presence("gpfs0")},
         "file system already present on the system",
         60314},
        {"GPFS cannot say whether the name is taken",
         good,
         true,
         false,
         [](vbtest::FakeRunner& fake, Sandbox&) {
             fake.on(gpfstest::presence("gpfs0"), 1, "", "mmlsfs: The GPFS daemon is busy.\n");
         },
         {gpfstest::kClusterId, gpfstest::presence("gpfs0")},
         "Error: cannot tell whether the file system gpfs0 exists: Error: cmd: 'mmlsfs gpfs0 -T' "
         "failed with error: 'mmlsfs: The GPFS daemon is busy.\n'",
         -1},
        {"cluster id query fails",
         good,
         true,
         false,
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
         false,
         nullptr,
         {},
         "Error: could not parse pvId to get nsd list",
         -1},
        {"a file-system name that is a path",
         std::string(good).replace(good.find("$$$YB$$$gpfs0:"), 14, "$$$YB$$$x/mmsdrfs:"),
         true,
         false,
         nullptr,
         {},
         "Error: the file-system name [x/mmsdrfs] cannot stand in GPFS metadata: it " + notAName,
         -1},
        {"an NSD name that is no name",
         std::string(good).replace(good.find("#nsd2:"), 6, "#../n:"),
         true,
         false,
         nullptr,
         {},
         "Error: the NSD name [../n] " + notAName,
         -1},
        {"empty metadata", "", true, false, nullptr, {}, "Error: Empty Metadata string", -1},
        {"no current node for the stanza file",
         good,
         true,
         false,
         [](vbtest::FakeRunner& fake, Sandbox&) { fake.on(gpfstest::kCurrentNode, 1, "", "down"); },
         {gpfstest::kClusterId, gpfstest::presence("gpfs0"), gpfstest::kCurrentNode},
         "Error in writing stanza file",
         -1},
        {"configuration copy cannot be written",
         good,
         true,
         false,
         [](vbtest::FakeRunner&, Sandbox& box) {
             vbtest::writeFile(box.tempFile("victim"), "precious");
             ASSERT_EQ(symlink(box.tempFile("victim").c_str(),
                               box.tempFile("mmsdrfsExport_" + std::string(kUid) + "42").c_str()),
                       0);
         },
         {gpfstest::kClusterId, gpfstest::presence("gpfs0")},
         "Error in writing mmsdrfs file",
         -1},
        {"a link where the export of an undo would go",
         good,
         true,
         false,
         [](vbtest::FakeRunner&, Sandbox& box) {
             vbtest::writeFile(box.tempFile("victim"), "precious");
             ASSERT_EQ(symlink(box.tempFile("victim").c_str(), exportFile(box).c_str()), 0);
         },
         {gpfstest::kClusterId, gpfstest::presence("gpfs0"), gpfstest::kCurrentNode},
         "",  // named below
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        if (c.otherCluster) box.useOtherCluster();
        gpfstest::StatefulCluster cluster(box, c.present);
        vbtest::FakeRunner fake;
        if (c.answer) c.answer(fake, box);
        cluster.answer(fake);
        gpfstest::Backend gpfs;
        Map map;
        int err = 0;
        const std::string message = gpfstest::failure(
            [&] { gpfs.recreateVG({}, c.metadata.c_str(), map); }, kRecreate, &err);
        EXPECT_EQ(message, c.message.empty() ? "Refusing to use the file " + exportFile(box) +
                                                   ": it is a symbolic link"
                                             : c.message);
        EXPECT_EQ(err, c.err);
        vbtest::expectCommands(fake.commands(), c.commands);
        EXPECT_EQ(cluster.present(), c.present);
        EXPECT_EQ(cluster.exports(), 0u);
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
        std::string metadata;
        std::string err;
        const char* marker;  // created before the import
        bool trusted;
        bool broughtIn;  // the failed import left the file system in the cluster
        bool succeeds;
    } cases[] = {
        {"missing disks of a failure-group capture", failureGroupCapture("1"),
         "mmimportfs: ENODEV on nsd3\n", nullptr, true, true, true},
        {"missing disks of a failure-group 0 capture", failureGroupCapture("0"),
         "mmimportfs: ENODEV on nsd3\n", nullptr, true, true, true},
        {"missing disks of a whole capture, half brought in",
         vbtest::readFixture("gpfs/metadata/gpfs0-all-disks.txt"), "mmimportfs: ENODEV\n", nullptr,
         true, true, false},
        {"missing disks of a whole capture, nothing brought in",
         vbtest::readFixture("gpfs/metadata/gpfs0-all-disks.txt"), "mmimportfs: ENODEV\n", nullptr,
         true, false, false},
        {"completes asynchronously", vbtest::readFixture("gpfs/metadata/gpfs0-all-disks.txt"),
         "import is asynchronous\n", nullptr, true, true, true},
        {"operator ignores the error", vbtest::readFixture("gpfs/metadata/gpfs0-all-disks.txt"),
         "boom\n", "gpfsIgnoreError", true, true, true},
        {"an ignore marker anybody could write counts for nothing",
         vbtest::readFixture("gpfs/metadata/gpfs0-all-disks.txt"), "boom\n", "gpfsIgnoreError",
         false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        box.useOtherCluster();
        if (c.metadata == failureGroupCapture("0")) groupZeroDisks(box);
        if (c.marker) {
            box.setMarker(c.marker);
            if (!c.trusted) chmod(box.marker(c.marker).c_str(), 0666);
        }
        const std::string uid = c.metadata.substr(c.metadata.find("$$$UID$$$") + 9, 16) + "_";
        gpfstest::StatefulCluster cluster(box, false);
        vbtest::FakeRunner fake;
        fake.onMatch("mmimportfs .*", [&](const std::string&) {
            if (c.broughtIn) vbtest::writeFile(box.host().scratch("cluster") + "/present", "");
            return vbtest::Reply{1, "", c.err};
        });
        cluster.answer(fake);
        gpfstest::Backend gpfs;
        Map map;
        if (c.succeeds) {
            LVM::VG vg = gpfs.recreateVG({}, c.metadata.c_str(), map);
            EXPECT_EQ(vg.name, "gpfs0");
            EXPECT_EQ(cluster.exports(), 0u);
            continue;
        }
        EXPECT_EQ(
            gpfstest::failure([&] { gpfs.recreateVG({}, c.metadata.c_str(), map); }, kRecreate),
            "Error while importing the filesystem");
        // What the failed import brought in goes out again; nothing else does.
        std::vector<std::string> tail{importCommand(box, uid), gpfstest::presence("gpfs0")};
        if (c.broughtIn) tail.push_back("mmexportfs gpfs0 -o " + exportFile(box, uid));
        const std::vector<std::string>& run = fake.commands();
        ASSERT_GE(run.size(), tail.size());
        vbtest::expectCommands(std::vector<std::string>(run.end() - tail.size(), run.end()), tail);
        EXPECT_FALSE(cluster.present());
        EXPECT_FALSE(std::filesystem::exists(exportFile(box, uid)));
        EXPECT_FALSE(std::filesystem::exists(journal(box)));
        EXPECT_TRUE(box.log().contains("[LVM_gpfs:"));
    }
}

TEST(GpfsClone, StanzaOfAFailureGroupCaptureNamesTheExcludedNsdsToo) {
    for (const char* group : {"1", "0"}) {
        SCOPED_TRACE(std::string("failure group ") + group);
        Sandbox box;
        box.useOtherCluster();
        if (*group == '0') groupZeroDisks(box);
        gpfstest::StatefulCluster cluster(box, false);
        vbtest::FakeRunner fake;
        std::string stanza;
        const std::string uid = "1700000042654321_";
        fake.onMatch("mmimportfs .*", [&](const std::string&) {
            stanza = vbtest::readFile(box.tempFile("stanzaFile_" + uid + "42"));
            vbtest::writeFile(box.host().scratch("cluster") + "/present", "");
            return vbtest::Reply{};
        });
        cluster.answer(fake);
        gpfstest::Backend gpfs;
        Map map;
        LVM::VG vg = gpfs.recreateVG({}, failureGroupCapture(group).c_str(), map);
        EXPECT_EQ(stanza, stanzaFor({"nsd1", "nsd2", "nsd3"}));
        EXPECT_TRUE(box.log().contains("++++ excluded Disk'nsd3'"));
        EXPECT_EQ(vg.pvs.size(), 2u) << "the disks of the captured failure group";
        EXPECT_EQ(gpfs.m_excludeList, "nsd3");
    }
}

// The failure text a step gives for a command that failed with "injected failure".
std::string failureOf(const std::string& cmd) {
    if (cmd.rfind("mmimportfs ", 0) == 0) return "Error while importing the filesystem";
    if (cmd.rfind("mmmount ", 0) == 0) return "Error: mounting the file system gpfs0 failed";
    if (cmd.rfind("mmumount ", 0) == 0) return "Error: unmounting the file system gpfs0 failed";
    if (cmd.rfind("mmfsadm test readdescraw", 0) == 0)
        return "Error: cmd: getDiskIdfromDevice failed";
    return "Error: cmd: '" + cmd + "' failed with error: 'injected failure'";
}

// A failure at each command the import runs once its checks passed: the caller gets that
// failure, the file system goes out of the cluster again (unmounted first) when the failure came
// after it was brought in, nothing else is touched, and an undo that fails is named.
TEST(GpfsClone, AFailureAtEachCommandTakesOutOnlyWhatThisCallBroughtIn) {
    const size_t firstChange = 4;  // the import; the commands before it only look
    const size_t count = wholeImport(Sandbox()).size();
    for (bool exportFails : {false, true}) {
        for (size_t n = firstChange; n <= count; ++n) {
            Sandbox box;
            const std::vector<std::string> whole = wholeImport(box);
            SCOPED_TRACE("command " + std::to_string(n) + " fails: " + whole[n - 1] +
                         (exportFails ? "; the export of the undo fails too" : ""));
            box.useOtherCluster();
            gpfstest::StatefulCluster cluster(box, false);
            vbtest::FakeRunner fake;
            fake.failCommand(n);
            if (exportFails) fake.always("mmexportfs gpfs0 -o " + exportFile(box), 1, "", "busy\n");
            cluster.answer(fake);
            gpfstest::Backend gpfs;
            Map map;

            EXPECT_EQ(
                gpfstest::failure([&] { gpfs.recreateVG({}, capturedElsewhere().c_str(), map); },
                                  kRecreate),
                failureOf(whole[n - 1]));

            const std::vector<std::string>& run = fake.commands();
            ASSERT_GE(run.size(), n);
            vbtest::expectCommands(std::vector<std::string>(run.begin(), run.begin() + n),
                                   std::vector<std::string>(whole.begin(), whole.begin() + n));
            // The failed import brought nothing in here: nothing to take out.
            const bool imported = n > firstChange;
            const bool mounted = n > firstChange + 1;
            std::vector<std::string> undo;
            if (!imported) undo.push_back(gpfstest::presence("gpfs0"));
            if (mounted) undo.push_back("mmumount gpfs0 -a -f");
            if (imported) undo.push_back("mmexportfs gpfs0 -o " + exportFile(box));
            vbtest::expectCommands(std::vector<std::string>(run.begin() + n, run.end()), undo);
            EXPECT_EQ(cluster.present(), imported && exportFails);
            EXPECT_FALSE(cluster.mounted());
            EXPECT_FALSE(std::filesystem::exists(exportFile(box)));
            EXPECT_EQ(std::filesystem::exists(journal(box)), imported && exportFails)
                << "the journal goes with the file system it records";
            EXPECT_EQ(box.log().contains("Could not undo the file system gpfs0 imported into this "
                                         "cluster: Error: the file system gpfs0 could not be "
                                         "exported again"),
                      imported && exportFails);
        }
    }
}

// Runs a clone import of the captured text in a process of its own, answered by `cluster`. The
// process exits with 0 when the import succeeded, 2 when it was refused for a file system live
// here, 1 for any other failure.
pid_t importInAnotherProcess(gpfstest::StatefulCluster& cluster) {
    return gpfstest::inAnotherProcess([&] {
        vbtest::FakeRunner fake;
        fake.allowUnused();
        cluster.answer(fake);
        gpfstest::Backend gpfs;
        Map map;
        try {
            gpfs.recreateVG({}, capturedElsewhere().c_str(), map);
        } catch (const YbException& e) {
            return e.getErrno() == 60314 ? 2 : 1;
        }
        return 0;
    });
}

// A run killed at each step, then run again: the second run finishes the import (mounts,
// describes, unmounts), whether or not the first got as far as importing.
TEST(GpfsClone, ARunStoppedAtAnyStepIsFinishedByRunningItAgain) {
    const gpfstest::StopPoint cases[] = {
        {"before the cluster is asked anything", "mmlscluster \\|.*", false},
        {"before the import", "mmimportfs .*", false},
        {"right after the import", "mmimportfs .*", true},
        {"right after the mount", "mmmount .*", true},
        {"while describing the file system", "mmfsadm test readdescraw /dev/sdc.*", false},
        {"right after the final unmount", "mmumount .*", true},
    };
    for (const gpfstest::StopPoint& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        box.useOtherCluster();
        gpfstest::StatefulCluster cluster(box, false);
        ASSERT_EQ(gpfstest::statusOfStoppedRun(cluster, c,
                                               [] {
                                                   gpfstest::Backend gpfs;
                                                   Map map;
                                                   gpfs.recreateVG({}, capturedElsewhere().c_str(),
                                                                   map);
                                               }),
                  9)
            << "the first run was not stopped";

        vbtest::FakeRunner fake;
        cluster.answer(fake);
        gpfstest::Backend gpfs;
        Map map;
        LVM::VG vg = gpfs.recreateVG({}, capturedElsewhere().c_str(), map);
        EXPECT_EQ(vg.name, "gpfs0");
        EXPECT_EQ(vg.pvs.size(), 3u);
        EXPECT_TRUE(cluster.present());
        EXPECT_FALSE(cluster.mounted());
        EXPECT_EQ(cluster.exports(), 0u);
        EXPECT_FALSE(std::filesystem::exists(journal(box)));
        const bool wasImported = std::string(c.name) != "before the cluster is asked anything" &&
                                 std::string(c.name) != "before the import";
        EXPECT_EQ(box.log().contains("was imported by an interrupted run of this import"),
                  wasImported);
    }
}

// A file system of the captured name that this import did not bring in, another capture's or
// one made while it waited for the lock, is refused and left as it is.
TEST(GpfsClone, TwoImportsAtOnceImportOnceAndNeitherExportsTheOther) {
    Sandbox box;
    box.useOtherCluster();
    gpfstest::StatefulCluster cluster(box, false);
    // The import takes long enough for the other process to arrive while it runs.
    cluster.beforeImport = [] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); };
    pid_t children[2];
    for (pid_t& child : children) {
        child = importInAnotherProcess(cluster);
        ASSERT_GE(child, 0);
    }
    std::vector<int> results;
    for (pid_t child : children) results.push_back(gpfstest::exitStatusOf(child));
    std::sort(results.begin(), results.end());
    EXPECT_EQ(results, (std::vector<int>{0, 2})) << "one imports, the other is refused";
    EXPECT_TRUE(cluster.present());
    EXPECT_EQ(cluster.exports(), 0u);
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
        .onMatch("mmexportfs gpfs0 -o .*",
                 [&](const std::string&) {
                     vbtest::writeFile(exportFile, "exported\n");
                     return vbtest::Reply{0, "", "mmexportfs: warning: node2 is down\n"};
                 })
        .on("mmexportfs gpfs0 -o " + exportFile, 0, "", "mmexportfs: warning: node2 is down\n")
        .on("mmfsctl gpfs0 exclude -d \"nsd3;nsd4\"")
        .on("mmfsctl gpfs0 exclude -d \"nsd3;nsd4\"", 1, "", "no\n");
    gpfstest::Backend gpfs;

    std::string errors = "before:";
    vbtest::writeFile(exportFile, "stale export of ours");
    EXPECT_FALSE(gpfs.exportFS("gpfs0", "", &errors));
    EXPECT_EQ(errors, "before:partial\nmmexportfs: EBUSY\n");
    EXPECT_FALSE(std::filesystem::exists(exportFile)) << "a stale file of ours makes way";
    EXPECT_TRUE(gpfs.exportFS("gpfs0", "/x/e", nullptr));

    // Exit status 0 with a warning: the file system left the cluster, as its export file shows.
    EXPECT_TRUE(gpfs.exportFS("gpfs0", "", nullptr));
    EXPECT_TRUE(box.log().contains("succeeded and said on standard error: mmexportfs: warning"));
    // The same without an export file to show for it is a failure.
    std::filesystem::remove(exportFile);
    EXPECT_FALSE(gpfs.exportFS("gpfs0", "", nullptr));

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
         "mmexportfs gpfs0 -o " + exportFile, "mmexportfs gpfs0 -o " + exportFile,
         "mmfsctl gpfs0 exclude -d \"nsd3;nsd4\"", "mmfsctl gpfs0 exclude -d \"nsd3;nsd4\"",
         "mmfsctl gpfs0 exclude -d \"nsd3;nsd4\""});
}

}  // namespace
