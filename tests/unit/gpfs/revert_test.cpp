// In-place revert of a GPFS file system: the calls of one revert on separate backend objects,
// failure-group snapshots (failure group 0 included), what a failure at each command takes
// back, and a cancel after a prepare that stopped half-way.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "GpfsSandbox.h"
#include "OtherUser.h"

namespace {

using gpfstest::Sandbox;
using Map = std::map<std::string, std::string>;

const char kRevertLVs[] =
    "virtual LVM::VG LVM_gpfs::revertLVs(const std::list<std::string>&, const char*, "
    "std::map<std::string, std::string>&)";
const char kAllUid[] = "1700000000123456_";
const char kFgUid[] = "1700000042654321_";
const std::list<std::string> kDisks{"/dev/sdb", "/dev/sdc", "/dev/sdd"};

std::string allDisks() { return vbtest::readFixture("gpfs/metadata/gpfs0-all-disks.txt"); }
// The capture of failure group 1 (nsd3 left out), or the same text for failure group 0.
std::string failureGroup(const char* group = "1") {
    std::string text = vbtest::readFixture("gpfs/metadata/gpfs0-failure-group-1.txt");
    const std::string item = "$$$FG$$$1$$$FG$$$";
    return text.replace(text.find(item), item.size(), std::string("$$$FG$$$") + group + "$$$FG$$$");
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

LVM::VG live() {
    LVM::VG vg;
    vg.name = "gpfs0";
    return vg;
}

// The files of one revert, named by the captured unique id and job 42.
std::string prepared(const Sandbox& box, const std::string& uid) {
    return box.tempFile("gpfsRevExport_" + uid + "42");
}
std::string nodeFile(const Sandbox& box, const std::string& uid) {
    return box.tempFile("gpfsMNodeList_" + uid + "42");
}

// The commands of a prepare: the mount nodes, the excluded disks stopped (failure-group
// snapshots), unmount and export.
std::vector<std::string> preparation(const Sandbox& box, const std::string& uid, bool group) {
    std::vector<std::string> cmds{gpfstest::mountNodes("gpfs0")};
    if (group) cmds.push_back("mmchdisk gpfs0 stop -d \"nsd3\"");
    cmds.push_back("mmumount gpfs0 -a -f");
    cmds.push_back("mmexportfs gpfs0 -o " + prepared(box, uid));
    return cmds;
}

TEST(GpfsRevert, CanRevertComparesDiskIdentitiesNotPaths) {
    struct Case {
        const char* name;
        std::list<std::string> devices;
        std::vector<std::pair<std::string, vbtest::Reply>> answers;
        bool result;
        size_t commands;
        const char* log;
    } cases[] = {
        {"the right disks in another order",
         {"/dev/sdd", "/dev/sdb", "/dev/sdc"},
         {},
         true,
         3,
         nullptr},
        {"the right disks under other paths",
         {"/dev/mapper/c1", "/dev/mapper/c2", "/dev/mapper/c3"},
         {{gpfstest::diskId("/dev/mapper/c1"), {0, "0A0000015F3A2B07", ""}},
          {gpfstest::diskId("/dev/mapper/c2"), {0, "0A0000015F3A2B01", ""}},
          {gpfstest::diskId("/dev/mapper/c3"), {0, "0A0000015F3A2B04", ""}}},
         true,
         3,
         nullptr},
        {"one disk missing",
         {"/dev/sdb", "/dev/sdc"},
         {},
         false,
         0,
         "old_pv_map.size [3] is not equal to pv_dev_list.size [2]"},
        {"a disk of another file system",
         {"/dev/sdb", "/dev/sdc", "/dev/sde"},
         {{gpfstest::diskId("/dev/sde"), {0, "0B0000015F3A2B99", ""}}},
         false,
         3,
         nullptr},
        // Its descriptor is read once.
        {"one disk given twice", {"/dev/sdb", "/dev/sdb", "/dev/sdc"}, {}, false, 2, nullptr},
        {"a descriptor that cannot be read",
         {"/dev/sdb", "/dev/sde", "/dev/sdc"},
         {{gpfstest::diskId("/dev/sde"), {1, "", "EIO\n"}}},
         false,
         2,
         "Error: cmd: getDiskIdfromDevice failed"},
        {"a descriptor without identifier",
         {"/dev/sdb", "/dev/sde", "/dev/sdc"},
         {{gpfstest::diskId("/dev/sde"), {0, "", ""}}},
         false,
         2,
         "Error: mmfsadm did not return id for disk!!!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir());
        for (const auto& [cmd, reply] : c.answers) fake.on(cmd, reply.status, reply.out, reply.err);
        gpfstest::Backend gpfs;
        LVM& lvm = gpfs;
        EXPECT_EQ(lvm.canRevert(LVM::VG(), allDisks().c_str(), c.devices), c.result);
        EXPECT_EQ(fake.commands().size(), c.commands);
        if (c.log) {
            EXPECT_TRUE(box.log().contains(c.log));
        }
    }
}

TEST(GpfsRevert, PrepareThenRevertOnFreshObjects) {
    for (bool keepTemp : {false, true}) {
        SCOPED_TRACE(keepTemp ? "temporary files kept" : "temporary files removed");
        Sandbox box;
        if (keepTemp) box.setMarker("gpfsKeepTemp");
        const std::string uid = kAllUid;
        gpfstest::StatefulCluster cluster(box, true);
        {
            vbtest::FakeRunner fake;
            cluster.answer(fake);
            gpfstest::Backend gpfs;
            EXPECT_TRUE(gpfs.prepRevertLV(live(), allDisks().c_str(), kDisks));
            vbtest::expectCommands(fake.commands(), preparation(box, uid, false));
            EXPECT_EQ(vbtest::readFile(nodeFile(box, uid)), "node1\nnode2\n");
            EXPECT_EQ(vbtest::readFile(prepared(box, uid)), "exported gpfs0\n");
            EXPECT_FALSE(cluster.present());
        }
        vbtest::FakeRunner fake;
        std::string configAtImport;
        const std::string config = box.tempFile("mmsdrfsExport_" + uid + "42");
        fake.onMatch("mmimportfs gpfs0 -i " + config, [&](const std::string&) {
            configAtImport = vbtest::readFile(config);
            vbtest::writeFile(box.host().scratch("cluster") + "/present", "");
            return vbtest::Reply{};
        });
        cluster.answer(fake);
        gpfstest::Backend gpfs;
        Map map{{"kept", "as is"}};
        LVM::VG vg = gpfs.revertLVs(kDisks, allDisks().c_str(), map);

        vbtest::expectCommands(
            fake.commands(),
            joined({"mmimportfs gpfs0 -i " + config, "mmmount gpfs0 -a 1>/dev/null"},
                   gpfstest::wholeDiscovery(gpfstest::Layout::Ccr)));
        EXPECT_EQ(configAtImport, Sandbox::mmsdrfs());
        EXPECT_EQ(vg.name, "gpfs0");
        EXPECT_EQ(vg.orig_uuid, gpfstest::kFsId);
        EXPECT_EQ(vg.pvs.size(), 3u);
        EXPECT_EQ(map, (Map{{"kept", "as is"}}));
        EXPECT_EQ(box.clock().sleeps(), (std::vector<uint64_t>{1000, 1000}));
        EXPECT_TRUE(cluster.mounted());
        if (keepTemp) {
            EXPECT_EQ(gpfstest::filesIn(box.tempDir()),
                      (std::vector<std::string>{"gpfsMNodeList_" + uid + "42",
                                                "gpfsRevExport_" + uid + "42",
                                                "mmsdrfsExport_" + uid + "42"}));
        } else {
            EXPECT_EQ(gpfstest::filesIn(box.tempDir()), std::vector<std::string>{})
                << "the revert removes the files named with the captured unique id";
        }
    }
}

// A configured failure group is a snapshot of that group's disks, failure group 0 as much as
// any other: the revert needs the operator's consent, and the disks left out are stopped
// before and started (and the file system rebalanced) after.
TEST(GpfsRevert, FailureGroupRevertStopsStartsAndRestripesTheExcludedDisks) {
    for (const char* group : {"1", "0"}) {
        SCOPED_TRACE(std::string("failure group ") + group);
        Sandbox box;
        {
            vbtest::FakeRunner fake;
            gpfstest::Backend gpfs;
            EXPECT_FALSE(gpfs.prepRevertLV(live(), failureGroup(group).c_str(), kDisks));
            EXPECT_TRUE(fake.commands().empty());
            EXPECT_TRUE(box.log().contains("Revert is not supported for mirror snap"));
        }
        box.setMarker("gpfsAttRevert");
        const std::string uid = kFgUid;
        gpfstest::StatefulCluster cluster(box, true);
        {
            vbtest::FakeRunner fake;
            fake.on("mmchdisk gpfs0 stop -d \"nsd3\"", 0, "stopped\n");
            cluster.answer(fake);
            gpfstest::Backend gpfs;
            EXPECT_TRUE(gpfs.prepRevertLV(live(), failureGroup(group).c_str(), kDisks));
            vbtest::expectCommands(fake.commands(), preparation(box, uid, true));
            EXPECT_TRUE(
                box.log().contains("Info: mmchdisk cmd [mmchdisk gpfs0 stop -d \"nsd3\"] out "
                                   "[stopped\n] "));
        }
        if (*group == '0') continue;  // the captured cluster has no disks in failure group 0
        vbtest::FakeRunner fake;
        const std::string import =
            "mmimportfs gpfs0 -i " + box.tempFile("mmsdrfsExport_" + uid + "42");
        fake.on("mmchdisk gpfs0 start -d \"nsd3\"", 1, "", "mmchdisk: busy\n");
        cluster.answer(fake);
        gpfstest::Backend gpfs;
        Map map;
        LVM::VG vg = gpfs.revertLVs(kDisks, failureGroup().c_str(), map);
        vbtest::expectCommands(fake.commands(),
                               joined({import, "mmchdisk gpfs0 start -d \"nsd3\"",
                                       "mmrestripefs gpfs0 -b", "mmmount gpfs0 -a 1>/dev/null"},
                                      gpfstest::discoveryCommands(gpfstest::Layout::Ccr, true,
                                                                  {"/dev/sdb", "/dev/sdc"})));
        EXPECT_EQ(vg.pvs.size(), 2u);
        EXPECT_TRUE(box.log().contains(
            " L0 job=42 bool LVM_gpfs::startDisks(const std::string&, const std::string&, "
            "std::string&):"));
        EXPECT_TRUE(box.log().contains("Error: cmd: 'mmchdisk gpfs0 start -d \"nsd3\"' failed"));
    }
}

TEST(GpfsRevert, RevertFailuresAreThrownFromRevertLVs) {
    Sandbox box;
    vbtest::FakeRunner fake;
    fake.on("mmimportfs gpfs0 -i " + box.tempFile(std::string("mmsdrfsExport_") + kAllUid + "42"),
            1, "", "mmimportfs: no\n");
    gpfstest::Backend gpfs;
    Map map;
    EXPECT_EQ(
        gpfstest::failure([&] { gpfs.revertLVs(kDisks, allDisks().c_str(), map); }, kRevertLVs),
        "Error: Revert failed for the filesystem :gpfs0");
    EXPECT_EQ(gpfstest::failure([&] { gpfs.revertLVs(kDisks, nullptr, map); }, kRevertLVs),
              "Error: Metadata is NULL");
    EXPECT_EQ(
        gpfstest::failure([&] { gpfs.revertLVs(kDisks, "$$$YB$$$x$$$YB$$$", map); }, kRevertLVs),
        "Error: insufficient metadata for fs, list length");
}

// A failure at each command of the prepare: the disks it stopped start again and the file
// system is mounted again where it was, the caller gets false, and an undo that fails is named.
TEST(GpfsRevert, APrepareThatFailsTakesBackWhatItDid) {
    for (bool startFails : {false, true}) {
        for (size_t n = 1; n <= 4; ++n) {
            Sandbox box;
            box.setMarker("gpfsAttRevert");
            const std::string uid = kFgUid;
            const std::vector<std::string> whole = preparation(box, uid, true);
            SCOPED_TRACE("command " + std::to_string(n) + " fails: " + whole[n - 1] +
                         (startFails ? "; starting the disks again fails too" : ""));
            gpfstest::StatefulCluster cluster(box, true);
            vbtest::FakeRunner fake;
            fake.failCommand(n);
            if (startFails) fake.always("mmchdisk gpfs0 start -d \"nsd3\"", 1, "", "busy\n");
            cluster.answer(fake);
            gpfstest::Backend gpfs;

            // The mount nodes and the stop of the excluded disks are a help, not a must.
            const bool result = n <= 2;
            EXPECT_EQ(gpfs.prepRevertLV(live(), failureGroup().c_str(), kDisks), result);

            std::vector<std::string> expected = whole;
            if (!result) {
                expected.resize(n);
                expected.push_back("mmmount gpfs0 -N " + nodeFile(box, uid) + " 1>/dev/null");
                expected.push_back("mmchdisk gpfs0 start -d \"nsd3\"");
            }
            vbtest::expectCommands(fake.commands(), expected);
            EXPECT_EQ(cluster.present(), !result);
            EXPECT_EQ(std::filesystem::exists(prepared(box, uid)), result);
            EXPECT_EQ(box.log().contains("Could not undo the stopped disks nsd3 of gpfs0: Error: "
                                         "the disks nsd3 of gpfs0 could not be started again"),
                      !result && startFails);
            if (n == 3) {
                EXPECT_TRUE(box.log().contains("unmountFS failed."));
            }
        }
    }

    // An export that GPFS says succeeded, with a warning: the prepare succeeded.
    Sandbox box;
    gpfstest::StatefulCluster cluster(box, true);
    vbtest::FakeRunner fake;
    fake.onMatch("mmexportfs .*", [](const std::string& cmd) {
        vbtest::writeFile(cmd.substr(cmd.find(" -o ") + 4), "exported gpfs0\n");
        return vbtest::Reply{0, "", "mmexportfs: node2 could not be reached\n"};
    });
    cluster.answer(fake);
    gpfstest::Backend gpfs;
    EXPECT_TRUE(gpfs.prepRevertLV(live(), allDisks().c_str(), kDisks));
}

// A failure at each command of the revert: the caller gets it, and what the revert imported is
// unmounted and exported again (to a file of its own: the prepare's export stays as it is).
TEST(GpfsRevert, ARevertThatFailsTakesOutWhatItImported) {
    for (size_t n = 1;; ++n) {
        Sandbox box;
        box.setMarker("gpfsAttRevert");
        const std::string uid = kFgUid;
        vbtest::writeFile(prepared(box, uid), "exported gpfs0 by the prepare\n");
        const std::string import =
            "mmimportfs gpfs0 -i " + box.tempFile("mmsdrfsExport_" + uid + "42");
        const std::vector<std::string> whole = joined(
            {import, "mmchdisk gpfs0 start -d \"nsd3\"", "mmrestripefs gpfs0 -b",
             "mmmount gpfs0 -a 1>/dev/null"},
            gpfstest::discoveryCommands(gpfstest::Layout::Ccr, true, {"/dev/sdb", "/dev/sdc"}));
        if (n > whole.size()) break;
        const std::string& failing = whole[n - 1];
        SCOPED_TRACE("command " + std::to_string(n) + " fails: " + failing);
        gpfstest::StatefulCluster cluster(box, false);
        vbtest::FakeRunner fake;
        fake.failCommand(n);
        cluster.answer(fake);
        gpfstest::Backend gpfs;
        Map map;

        std::string message = "Error: cmd: '" + failing + "' failed with error: 'injected failure'";
        if (n == 1) message = "Error: Revert failed for the filesystem :gpfs0";
        if (n == 4) message = "Error: mounting the file system gpfs0 failed";
        if (failing.rfind("mmfsadm test", 0) == 0)
            message = "Error: cmd: getDiskIdfromDevice failed";
        const bool tolerated = n == 2 || n == 3;  // starting and rebalancing never stop it
        EXPECT_EQ(gpfstest::failure([&] { gpfs.revertLVs(kDisks, failureGroup().c_str(), map); },
                                    kRevertLVs),
                  tolerated ? "(no exception)" : message);
        if (tolerated) continue;

        std::vector<std::string> expected(whole.begin(), whole.begin() + n);
        if (n > 4) expected.push_back("mmumount gpfs0 -a -f");
        if (n > 1) {
            expected.push_back("mmexportfs gpfs0 -o " +
                               box.tempFile("yb_exportFile_" + uid + "gpfs0"));
        }
        vbtest::expectCommands(fake.commands(), expected);
        EXPECT_FALSE(cluster.present());
        EXPECT_FALSE(cluster.mounted());
        EXPECT_EQ(vbtest::readFile(prepared(box, uid)), "exported gpfs0 by the prepare\n");
        EXPECT_FALSE(std::filesystem::exists(box.tempFile("yb_exportFile_" + uid + "gpfs0")));
    }
}

// A revert killed at each step, then run again: the second run goes on from where the first
// stopped and brings the reverted file system into service; a cancel instead forgets the
// stopped run.
TEST(GpfsRevert, ARevertStoppedAtAnyStepIsFinishedByRunningItAgain) {
    const gpfstest::StopPoint cases[] = {
        {"before the import", "mmimportfs .*", false},
        {"right after the import", "mmimportfs .*", true},
        {"right after starting the stopped disks", "mmchdisk .*", true},
        {"right after the mount", "mmmount .*", true},
        {"while describing the file system", "mmfsadm test readdescraw /dev/sdc.*", false},
    };
    for (const gpfstest::StopPoint& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        box.setMarker("gpfsAttRevert");
        gpfstest::StatefulCluster cluster(box, false);
        vbtest::writeFile(prepared(box, kFgUid), "exported gpfs0\n");
        ASSERT_EQ(gpfstest::statusOfStoppedRun(cluster, c,
                                               [] {
                                                   gpfstest::Backend gpfs;
                                                   Map map;
                                                   gpfs.revertLVs(kDisks, failureGroup().c_str(),
                                                                  map);
                                               }),
                  9)
            << "the first run was not stopped";

        vbtest::FakeRunner fake;
        cluster.answer(fake);
        gpfstest::Backend gpfs;
        Map map;
        LVM::VG vg = gpfs.revertLVs(kDisks, failureGroup().c_str(), map);
        EXPECT_EQ(vg.pvs.size(), 2u);
        EXPECT_TRUE(cluster.present());
        EXPECT_TRUE(cluster.mounted());
        EXPECT_EQ(cluster.exports(), 0u);
        EXPECT_FALSE(std::filesystem::exists(box.stateDir() + "/gpfs-revert.gpfs0"));
        EXPECT_EQ(box.log().contains("was imported by an interrupted run of this revert"),
                  std::string(c.name) != "before the import");
    }

    // Cancelled instead of run again, the stopped revert is forgotten.
    Sandbox box;
    vbtest::writeFile(box.stateDir() + "/gpfs-revert.gpfs0",
                      "0A000001:5F3A2C10 1700000000123456\n");
    vbtest::writeFile(prepared(box, kAllUid), "exported gpfs0\n");
    gpfstest::StatefulCluster cluster(box, true);
    vbtest::FakeRunner fake;
    cluster.answer(fake);
    gpfstest::Backend gpfs;
    EXPECT_TRUE(gpfs.cancelRevertLV(allDisks().c_str(), kDisks));
    EXPECT_FALSE(std::filesystem::exists(box.stateDir() + "/gpfs-revert.gpfs0"));
}

TEST(GpfsRevert, PrepareThenCancelReimportsExactlyWhatPrepareExported) {
    Sandbox box;
    const std::string uid = kAllUid;
    gpfstest::StatefulCluster cluster(box, true);
    {
        vbtest::FakeRunner fake;
        cluster.answer(fake);
        gpfstest::Backend gpfs;
        ASSERT_TRUE(gpfs.prepRevertLV(live(), allDisks().c_str(), kDisks));
    }
    // The file system is out of the cluster: discovery finds nothing, unmount and export fail,
    // and nothing is deleted before the re-import.
    vbtest::FakeRunner fake;
    const std::string cancelExport =
        "mmexportfs gpfs0 -o " + box.tempFile("yb_exportFile_" + uid + "gpfs0");
    fake.on(gpfstest::fsIdCommand("gpfs0"), 0, "")
        .on("mmumount gpfs0 -a -f", 1, "", "mmumount: File system gpfs0 not found\n")
        .on(cancelExport, 1, "", "mmexportfs: File system gpfs0 not found\n");
    cluster.answer(fake);
    gpfstest::Backend gpfs;
    EXPECT_TRUE(gpfs.cancelRevertLV(allDisks().c_str(), kDisks));
    vbtest::expectCommands(fake.commands(),
                           {gpfstest::fsIdCommand("gpfs0"), "mmumount gpfs0 -a -f", cancelExport,
                            "mmimportfs gpfs0 -i " + prepared(box, uid)});
    EXPECT_TRUE(box.log().contains("cancelling a revert deletes nothing"));
    EXPECT_TRUE(box.log().contains("cleanFS has returned error. Not sending failure as yet."));
    EXPECT_EQ(gpfstest::filesIn(box.tempDir()), std::vector<std::string>{});
    EXPECT_TRUE(cluster.present());
}

// A failure at each command of a cancel after the revert got as far as importing: the cancel
// goes on past what it may (describing, unmounting), deletes nothing, and reports false only
// when the file system could not be brought back from the prepare's export.
TEST(GpfsRevert, ACancelFailsOnlyWhenTheFileSystemIsNotBroughtBack) {
    for (size_t n = 1;; ++n) {
        Sandbox box;
        const std::string uid = kAllUid;
        vbtest::writeFile(prepared(box, uid), "exported gpfs0\n");
        const std::string takeOut =
            "mmexportfs gpfs0 -o " + box.tempFile("yb_exportFile_" + uid + "gpfs0");
        const std::string reimport = "mmimportfs gpfs0 -i " + prepared(box, uid);
        const std::vector<std::string> whole =
            joined(gpfstest::wholeDiscovery(gpfstest::Layout::Ccr),
                   {"mmumount gpfs0 -a -f", takeOut, reimport});
        if (n > whole.size()) break;
        SCOPED_TRACE("command " + std::to_string(n) + " fails: " + whole[n - 1]);
        gpfstest::StatefulCluster cluster(box, true);
        vbtest::FakeRunner fake;
        fake.failCommand(n);
        cluster.answer(fake);
        gpfstest::Backend gpfs;

        // Not taken out, the reverted file system is in the way of the re-import.
        const bool broughtBack = whole[n - 1] != reimport && whole[n - 1] != takeOut;
        EXPECT_EQ(gpfs.cancelRevertLV(allDisks().c_str(), kDisks), broughtBack);
        EXPECT_EQ(fake.commands().back(), reimport);
        for (const std::string& cmd : fake.commands())
            EXPECT_EQ(cmd.find("mmdel"), std::string::npos);
        EXPECT_EQ(cluster.present(), whole[n - 1] != reimport);
        EXPECT_EQ(std::filesystem::exists(prepared(box, uid)), !broughtBack)
            << "the prepare's export stays until the file system is back";
    }
}

TEST(GpfsRevert, CancelVariants) {
    struct Case {
        const char* name;
        std::string metadata;
        bool liveFileSystem;
        bool keepTemp;
        bool importSucceeds;
        bool result;
        std::vector<std::string> tail;  // commands after the clean-up
    } cases[] = {
        {"the revert got as far as importing: the captured names are used",
         allDisks(),
         true,
         false,
         true,
         true,
         {}},
        {"temporary files kept", allDisks(), false, true, true, true, {}},
        {"the re-import fails", allDisks(), false, false, false, false, {}},
        {"failure group: the stopped disks start again",
         failureGroup(),
         false,
         false,
         true,
         true,
         {"mmchdisk gpfs0 start -d \"nsd3\""}},
        {"failure group 0: the stopped disks start again",
         failureGroup("0"),
         false,
         false,
         true,
         true,
         {"mmchdisk gpfs0 start -d \"nsd3\""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        if (c.keepTemp) box.setMarker("gpfsKeepTemp");
        const std::string uid = c.metadata == allDisks() ? kAllUid : kFgUid;
        vbtest::writeFile(prepared(box, uid), "exported gpfs0\n");
        vbtest::writeFile(nodeFile(box, uid), "node1\n");
        gpfstest::StatefulCluster cluster(box, c.liveFileSystem);
        vbtest::FakeRunner fake;
        if (!c.liveFileSystem) {
            fake.on(gpfstest::fsIdCommand("gpfs0"), 0, "")
                .on("mmumount gpfs0 -a -f", 1)
                .on("mmexportfs gpfs0 -o " + box.tempFile("yb_exportFile_" + uid + "gpfs0"), 1, "",
                    "mmexportfs: not found\n");
        }
        if (!c.importSucceeds) fake.on("mmimportfs gpfs0 -i " + prepared(box, uid), 1);
        cluster.answer(fake);
        gpfstest::Backend gpfs;

        EXPECT_EQ(gpfs.cancelRevertLV(c.metadata.c_str(), kDisks), c.result);

        std::vector<std::string> expected;
        if (c.liveFileSystem) {
            expected = gpfstest::wholeDiscovery(gpfstest::Layout::Ccr);
        } else {
            expected = {gpfstest::fsIdCommand("gpfs0")};
        }
        expected.push_back("mmumount gpfs0 -a -f");
        expected.push_back("mmexportfs gpfs0 -o " + box.tempFile("yb_exportFile_" + uid + "gpfs0"));
        expected.push_back("mmimportfs gpfs0 -i " + prepared(box, uid));
        if (c.importSucceeds) expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        vbtest::expectCommands(fake.commands(), expected);
        EXPECT_FALSE(std::filesystem::exists(box.tempFile("yb_exportFile_" + uid + "gpfs0")));
        EXPECT_EQ(box.log().contains("cancelling a revert deletes nothing"), !c.liveFileSystem);
        const bool removed = c.result && !c.keepTemp;
        EXPECT_EQ(gpfstest::filesIn(box.tempDir()).empty(), removed);
        EXPECT_EQ(cluster.present(), c.importSucceeds);
    }
}

// The prepare phase stopped before its export (it failed and could not take everything back,
// or it was killed): cancel brings the file system, still in the cluster, back into service.
TEST(GpfsRevert, CancelAfterAPrepareThatStoppedBeforeItsExportBringsTheFileSystemBack) {
    struct Case {
        const char* name;
        bool present;
        std::string mountedNow;  // mmlsmount output
        const char* nodeFileText;
        std::vector<std::string> commands;  // after the presence check
        bool result;
    } cases[] = {
        {"unmounted: mounted again on the recorded nodes",
         true,
         "File system gpfs0 is not mounted.\n",
         "node1\nnode2\n",
         {gpfstest::mountNodes("gpfs0"), "mmmount gpfs0 -N NODEFILE 1>/dev/null"},
         true},
        {"still mounted: left as it is",
         true,
         "",
         "node1\nnode2\n",
         {gpfstest::mountNodes("gpfs0")},
         true},
        {"mounted nowhere before the prepare: left unmounted",
         true,
         "File system gpfs0 is not mounted.\n",
         "",
         {gpfstest::mountNodes("gpfs0")},
         true},
        {"not in the cluster either: nothing to bring back", false, "", "", {}, false},
    };
    for (const char* group : {"", "1"}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (*group ? " (failure group 1)" : ""));
            Sandbox box;
            const std::string uid = *group ? kFgUid : kAllUid;
            vbtest::writeFile(nodeFile(box, uid), c.nodeFileText);
            gpfstest::StatefulCluster cluster(box, c.present);
            vbtest::FakeRunner fake;
            if (!c.mountedNow.empty()) fake.on(gpfstest::mountNodes("gpfs0"), 0, c.mountedNow);
            cluster.answer(fake);
            gpfstest::Backend gpfs;

            EXPECT_EQ(gpfs.cancelRevertLV((*group ? failureGroup() : allDisks()).c_str(), kDisks),
                      c.result);

            std::vector<std::string> expected{gpfstest::presence("gpfs0")};
            if (c.present && *group) expected.push_back("mmchdisk gpfs0 start -d \"nsd3\"");
            for (std::string cmd : c.commands) {
                const size_t at = cmd.find("NODEFILE");
                if (at != std::string::npos) cmd.replace(at, 8, nodeFile(box, uid));
                expected.push_back(cmd);
            }
            vbtest::expectCommands(fake.commands(), expected);
            if (!c.present) {
                EXPECT_TRUE(box.log().contains(
                    "of the prepare phase is missing and the file system gpfs0 is not in this "
                    "cluster: there is nothing to bring back"));
            }
        }
    }
}

// The temp directory may be shared: an export file the prepare phase could not have written is
// never imported, and nothing is run.
TEST(GpfsRevert, CancelRefusesAnExportFileSomebodyElseCouldHavePlanted) {
    struct Case {
        const char* name;
        std::function<bool(const std::string&, const Sandbox&)> plant;
        const char* why;
    } cases[] = {
        {"writable by others",
         [](const std::string& path, const Sandbox&) {
             vbtest::writeFile(path, "planted\n");
             return chmod(path.c_str(), 0666) == 0;
         },
         "it is writable by group or others (mode 0666)"},
        {"another user's",
         [](const std::string& path, const Sandbox& box) {
             const std::string file = vbtest::otherUsersFile(box.tempDir(), "planted\n");
             if (file.empty()) return false;
             std::filesystem::rename(file, path);
             return true;
         },
         "it is owned by uid"},
        {"a link",
         [](const std::string& path, const Sandbox& box) {
             vbtest::writeFile(box.tempFile("elsewhere"), "planted\n");
             return symlink(box.tempFile("elsewhere").c_str(), path.c_str()) == 0;
         },
         "it is a symbolic link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        const std::string path = prepared(box, kAllUid);
        if (!c.plant(path, box)) continue;  // no file of another user to be had here
        vbtest::FakeRunner fake;
        gpfstest::Backend gpfs;
        EXPECT_FALSE(gpfs.cancelRevertLV(allDisks().c_str(), kDisks));
        EXPECT_TRUE(fake.commands().empty());
        EXPECT_TRUE(box.log().contains("Refusing the export file " + path +
                                       " of the prepare phase: " + c.why));
    }
}

}  // namespace
