// In-place revert and teardown of a GPFS file system: the calls of one revert on separate backend
// objects, the clean-up of each phase, and the forced removal with its tiebreaker path.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "GpfsSandbox.h"

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
std::string failureGroup() {
    return vbtest::readFixture("gpfs/metadata/gpfs0-failure-group-1.txt");
}

// Answers every "mmexportfs <fs> -o FILE" by writing FILE, as GPFS does on success.
void exportWrites(vbtest::FakeRunner& fake, int status = 0, const std::string& err = "") {
    fake.onMatch("mmexportfs gpfs0 -o .*", [status, err](const std::string& cmd) {
        if (status == 0) vbtest::writeFile(cmd.substr(cmd.find(" -o ") + 4), "exported gpfs0\n");
        return vbtest::Reply{status, "", err};
    });
}

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string forcedList(const Sandbox& box, const std::string& uid) {
    return "mmlsnsd -f gpfs0 | awk 'BEGIN {flag=0;} {if(flag>0 && $1 != \"\") print $2; if($1 "
           "~/---/)flag=1;}' 1> " +
           box.tempFile("nsdListFile_" + uid + "42");
}

std::vector<std::string> forcedRemoval(const Sandbox& box, const std::string& uid) {
    return {forcedList(box, uid), "mmdelfs gpfs0 -p",
            "mmdelnsd -F " + box.tempFile("nsdListFile_" + uid + "42")};
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
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
        {"one disk given twice", {"/dev/sdb", "/dev/sdb", "/dev/sdc"}, {}, false, 3, nullptr},
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
        const std::string prepared = box.tempFile("gpfsRevExport_" + uid + "42");
        {
            vbtest::FakeRunner fake;
            fake.replayFrom(box.replayDir()).on("mmumount gpfs0 -a -f");
            exportWrites(fake);
            gpfstest::Backend gpfs;
            LVM::VG live;
            live.name = "gpfs0";
            EXPECT_TRUE(gpfs.prepRevertLV(live, allDisks().c_str(), kDisks));
            vbtest::expectCommands(fake.commands(),
                                   {gpfstest::mountNodes("gpfs0"), "mmumount gpfs0 -a -f",
                                    "mmexportfs gpfs0 -o " + prepared});
            EXPECT_EQ(vbtest::readFile(box.tempFile("gpfsMNodeList_" + uid + "42")),
                      "node1\nnode2\n");
            EXPECT_EQ(vbtest::readFile(prepared), "exported gpfs0\n");
        }
        vbtest::FakeRunner fake;
        std::string configAtImport;
        const std::string config = box.tempFile("mmsdrfsExport_" + uid + "42");
        fake.replayFrom(box.replayDir())
            .onMatch("mmimportfs gpfs0 -i " + config,
                     [&](const std::string&) {
                         configAtImport = vbtest::readFile(config);
                         return vbtest::Reply{};
                     })
            .on("mmmount gpfs0 -a 1>/dev/null");
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
        if (keepTemp) {
            EXPECT_EQ(filesIn(box.tempDir()),
                      (std::vector<std::string>{"gpfsMNodeList_" + uid + "42",
                                                "gpfsRevExport_" + uid + "42",
                                                "mmsdrfsExport_" + uid + "42"}));
        } else {
            EXPECT_EQ(filesIn(box.tempDir()), std::vector<std::string>{})
                << "the revert removes the files named with the captured unique id";
        }
    }
}

TEST(GpfsRevert, FailureGroupRevertStopsStartsAndRestripesTheExcludedDisks) {
    Sandbox box;
    {
        vbtest::FakeRunner fake;
        gpfstest::Backend gpfs;
        LVM::VG live;
        live.name = "gpfs0";
        EXPECT_FALSE(gpfs.prepRevertLV(live, failureGroup().c_str(), kDisks));
        EXPECT_TRUE(fake.commands().empty());
        EXPECT_TRUE(box.log().contains("Revert is not supported for mirror snap"));
    }
    box.setMarker("gpfsAttRevert");
    const std::string uid = kFgUid;
    {
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir())
            .on("mmchdisk gpfs0 stop -d \"nsd3\"", 0, "stopped\n")
            .on("mmumount gpfs0 -a -f");
        exportWrites(fake);
        gpfstest::Backend gpfs;
        LVM::VG live;
        live.name = "gpfs0";
        EXPECT_TRUE(gpfs.prepRevertLV(live, failureGroup().c_str(), kDisks));
        vbtest::expectCommands(
            fake.commands(),
            {gpfstest::mountNodes("gpfs0"), "mmchdisk gpfs0 stop -d \"nsd3\"",
             "mmumount gpfs0 -a -f",
             "mmexportfs gpfs0 -o " + box.tempFile("gpfsRevExport_" + uid + "42")});
        EXPECT_TRUE(
            box.log().contains("Info: mmchdisk cmd [mmchdisk gpfs0 stop -d \"nsd3\"] out "
                               "[stopped\n] "));
    }
    vbtest::FakeRunner fake;
    const std::string import = "mmimportfs gpfs0 -i " + box.tempFile("mmsdrfsExport_" + uid + "42");
    fake.replayFrom(box.replayDir())
        .on(import)
        .on("mmchdisk gpfs0 start -d \"nsd3\"", 1, "", "mmchdisk: busy\n")
        .on("mmrestripefs gpfs0 -b")
        .on("mmmount gpfs0 -a 1>/dev/null");
    gpfstest::Backend gpfs;
    Map map;
    LVM::VG vg = gpfs.revertLVs(kDisks, failureGroup().c_str(), map);
    vbtest::expectCommands(
        fake.commands(),
        joined({import, "mmchdisk gpfs0 start -d \"nsd3\"", "mmrestripefs gpfs0 -b",
                "mmmount gpfs0 -a 1>/dev/null"},
               gpfstest::discoveryCommands(gpfstest::Layout::Ccr, true, {"nsd1", "nsd2"},
                                           {"/dev/sdb", "/dev/sdc"})));
    EXPECT_EQ(vg.pvs.size(), 2u);
    EXPECT_TRUE(box.log().contains(
        " L0 job=42 bool LVM_gpfs::startDisks(const std::string&, const std::string&, "
        "std::string&):"));
    EXPECT_TRUE(box.log().contains("Error: cmd: 'mmchdisk gpfs0 start -d \"nsd3\"' failed"));
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

TEST(GpfsRevert, PrepareThenCancelReimportsExactlyWhatPrepareExported) {
    Sandbox box;
    const std::string uid = kAllUid;
    const std::string prepared = box.tempFile("gpfsRevExport_" + uid + "42");
    {
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir()).on("mmumount gpfs0 -a -f");
        exportWrites(fake);
        gpfstest::Backend gpfs;
        LVM::VG live;
        live.name = "gpfs0";
        ASSERT_TRUE(gpfs.prepRevertLV(live, allDisks().c_str(), kDisks));
    }
    // The file system is out of the cluster: discovery finds nothing, unmount and export fail,
    // and nothing is deleted before the re-import.
    vbtest::FakeRunner fake;
    const std::string cancelExport =
        "mmexportfs gpfs0 -o " + box.exportFile("yb_exportFile_" + uid + "gpfs0");
    fake.on(gpfstest::fsIdCommand("gpfs0"), 0, "")
        .on("mmumount gpfs0 -a -f", 1, "", "mmumount: File system gpfs0 not found\n")
        .on(cancelExport, 1, "", "mmexportfs: File system gpfs0 not found\n")
        .on("mmimportfs gpfs0 -i " + prepared);
    gpfstest::Backend gpfs;
    EXPECT_TRUE(gpfs.cancelRevertLV(allDisks().c_str(), kDisks));
    vbtest::expectCommands(fake.commands(), {gpfstest::fsIdCommand("gpfs0"), "mmumount gpfs0 -a -f",
                                             cancelExport, "mmimportfs gpfs0 -i " + prepared});
    EXPECT_TRUE(box.log().contains("cancelling a revert deletes nothing"));
    EXPECT_TRUE(box.log().contains("cleanFS has returned error. Not sending failure as yet."));
    EXPECT_EQ(filesIn(box.tempDir()), std::vector<std::string>{});
}

TEST(GpfsRevert, CancelVariants) {
    struct Case {
        const char* name;
        std::string metadata;
        bool prepared;  // the prepare phase wrote its export file
        bool liveFileSystem;
        bool keepTemp;
        bool importSucceeds;
        bool result;
        std::vector<std::string> tail;  // commands after the clean-up
    } cases[] = {
        {"the revert got as far as importing: the captured names are used",
         allDisks(),
         true,
         true,
         false,
         true,
         true,
         {}},
        {"temporary files kept", allDisks(), true, false, true, true, true, {}},
        {"the re-import fails", allDisks(), true, false, false, false, false, {}},
        {"prepare never exported: the file system is left alone",
         allDisks(),
         false,
         true,
         false,
         true,
         false,
         {}},
        {"failure group: the stopped disks start again",
         failureGroup(),
         true,
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
        const std::string prepared = box.tempFile("gpfsRevExport_" + uid + "42");
        if (c.prepared) {
            vbtest::writeFile(prepared, "exported gpfs0\n");
            vbtest::writeFile(box.tempFile("gpfsMNodeList_" + uid + "42"), "node1\n");
        }
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir());
        if (!c.liveFileSystem) fake.on(gpfstest::fsIdCommand("gpfs0"), 0, "");
        fake.on("mmumount gpfs0 -a -f", c.liveFileSystem ? 0 : 1);
        exportWrites(fake, c.liveFileSystem ? 0 : 1,
                     c.liveFileSystem ? "" : "mmexportfs: not found\n");
        fake.on("mmimportfs gpfs0 -i " + prepared, c.importSucceeds ? 0 : 1);
        for (const std::string& cmd : c.tail) fake.on(cmd);
        fake.allowUnused();
        gpfstest::Backend gpfs;

        EXPECT_EQ(gpfs.cancelRevertLV(c.metadata.c_str(), kDisks), c.result);

        if (!c.prepared) {
            EXPECT_TRUE(fake.commands().empty());
            EXPECT_TRUE(box.log().contains("of the prepare phase is missing"));
            continue;
        }
        std::vector<std::string> expected;
        if (c.liveFileSystem) {
            expected = gpfstest::wholeDiscovery(gpfstest::Layout::Ccr);
        } else {
            expected = {gpfstest::fsIdCommand("gpfs0")};
        }
        expected.push_back("mmumount gpfs0 -a -f");
        expected.push_back("mmexportfs gpfs0 -o " +
                           box.exportFile("yb_exportFile_" + uid + "gpfs0"));
        expected.push_back("mmimportfs gpfs0 -i " + prepared);
        if (c.importSucceeds) expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        vbtest::expectCommands(fake.commands(), expected);
        EXPECT_FALSE(std::filesystem::exists(box.exportFile("yb_exportFile_" + uid + "gpfs0")));
        EXPECT_EQ(box.log().contains("cancelling a revert deletes nothing"), !c.liveFileSystem);
        const bool removed = c.result && !c.keepTemp;
        EXPECT_EQ(filesIn(box.tempDir()).empty(), removed);
    }
}

TEST(GpfsTeardown, EachPhaseCleansUpItsOwnWay) {
    const char* const failedUnmount = "mmumount: busy\n";
    struct Case {
        RevertPhase phase;
        bool unmountOk;
        bool exportOk;
        bool result;
        bool exported;  // the export was tried
        bool forced;
        bool exportFileKept;
    } cases[] = {
        {RP_PREPARE, false, true, false, false, false, false},
        {RP_PREPARE, true, false, false, true, false, false},
        {RP_PREPARE, true, true, true, true, false, true},
        {RP_REVERT, true, false, false, true, false, false},
        {RP_NO_UNMOUNT, true, true, true, true, false, true},
        {RP_CANCEL, false, false, false, true, false, false},
        {RP_CANCEL, true, true, true, true, false, false},
        {RP_LOCAL, true, false, false, true, true, false},
        {RP_DESTROY, false, false, false, true, true, false},
        {RP_DESTROY, true, true, true, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.phase) + (c.unmountOk ? " unmounted" : " unmount fails") +
                     (c.exportOk ? " exported" : " export fails"));
        Sandbox box;
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir());
        fake.on("mmumount gpfs0 -a -f", c.unmountOk ? 0 : 1, "", c.unmountOk ? "" : failedUnmount);
        exportWrites(fake, c.exportOk ? 0 : 1, c.exportOk ? "" : "mmexportfs: cannot\n");
        fake.on("mmdelfs gpfs0 -p").on("mmdelnsd -F " + box.tempFile("nsdListFile_42"));
        fake.allowUnused();
        gpfstest::Backend gpfs;
        LVM::VG vg;
        vg.name = "gpfs0";

        EXPECT_EQ(gpfs.cleanFS(vg, {}, c.phase), c.result);

        const bool teardown = c.phase == RP_LOCAL || c.phase == RP_CANCEL || c.phase == RP_DESTROY;
        const std::string exportFile =
            teardown ? box.exportFile("yb_exportFile_gpfs0") : box.tempFile("gpfsRevExport_42");
        std::vector<std::string> expected;
        if (c.phase != RP_NO_UNMOUNT) expected.push_back("mmumount gpfs0 -a -f");
        if (c.exported) expected.push_back("mmexportfs gpfs0 -o " + exportFile);
        if (c.forced) expected = joined(expected, forcedRemoval(box, ""));
        vbtest::expectCommands(fake.commands(), expected);
        EXPECT_EQ(std::filesystem::exists(exportFile), c.exportFileKept);
        if (c.forced) {
            EXPECT_EQ(vbtest::readFile(box.tempFile("nsdListFile_42")), "nsd1\nnsd2\nnsd3\n");
        }
    }
}

TEST(GpfsTeardown, DestroyRemovesWhatCloneImportMade) {
    const std::string tiebreakerError =
        "mmexportfs: Disk nsd3 is a tiebreaker disk and cannot be exported.\n"
        "mmexportfs: Command failed.\n";
    const std::string restart[] = {"mmshutdown -a ", "mmstartup -a "};
    struct Case {
        const char* name;
        bool exists;
        std::string exportError;  // empty: the export succeeds
        bool forced;
        bool tiebreaker;
    } cases[] = {
        {"missing file system", false, "", false, false},
        {"unmounted and exported", true, "", false, false},
        {"failed export: forced removal", true, "mmexportfs: cannot\n", true, false},
        {"tiebreaker disk blocks the export", true, tiebreakerError, true, true},
        {"EIO with ENODEV deletes nothing", true, "mmexportfs: EIO on nsd2, ENODEV on nsd3\n",
         false, false},
        {"a tiebreaker name that is no disk name", true, "mmexportfs: tiebreaker Disk a;b is bad\n",
         true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir());
        if (!c.exists) fake.on(gpfstest::isGpfs("gpfs0"), 0, "");
        fake.on("mmumount gpfs0 -a -f");
        exportWrites(fake, c.exportError.empty() ? 0 : 1, c.exportError);
        std::string nsdList;
        fake.on("mmdelfs gpfs0 -p", 1, "", "mmdelfs: busy\n")
            .onMatch("mmdelnsd -F .*",
                     [&](const std::string&) {
                         nsdList = vbtest::readFile(box.tempFile("nsdListFile_42"));
                         return vbtest::Reply{};
                     })
            .on(restart[0])
            .on(restart[1])
            .onMatch("awk .*",
                     [](const std::string& cmd) {
                         vbtest::Reply reply;
                         reply.status =
                             vbhost::systemRunner().run(cmd, &reply.out, &reply.err, 0, false);
                         return reply;
                     })
            .on("mmsdrrestore -a ")
            .allowUnused();
        vbtest::writeFile(box.tempFile("stanzaFile_42"), "left by clone import");
        gpfstest::Backend gpfs;

        gpfs.destroyVG("gpfs0");

        std::vector<std::string> expected{gpfstest::isGpfs("gpfs0")};
        if (c.exists) {
            expected.push_back("mmumount gpfs0 -a -f");
            expected.push_back("mmexportfs gpfs0 -o " + box.exportFile("yb_exportFile_gpfs0"));
        }
        if (c.forced) expected = joined(expected, forcedRemoval(box, ""));
        const std::string filter =
            "awk '!($0 ~/:nsd3:/ && $0 ~/:quorumDisk:/ && $0 ~/BBBB/) {print $0;}' " +
            box.configFile("mmsdrfs") + " ";
        if (c.tiebreaker) {
            expected = joined(expected, {restart[0], restart[1], filter, "mmsdrrestore -a "});
        }
        vbtest::expectCommands(fake.commands(), expected);

        std::string mmsdrfs = Sandbox::mmsdrfs();
        if (c.tiebreaker) {
            mmsdrfs.erase(mmsdrfs.find("%%home%%:80_QUORUM_DISKS"));
            EXPECT_TRUE(box.log().contains("Info: Out: 'nsd3' is tiebreaker disk."));
        }
        EXPECT_EQ(vbtest::readFile(box.configFile("mmsdrfs")), mmsdrfs);
        EXPECT_EQ(filesIn(box.configFile("")),
                  (std::vector<std::string>{"mmfsNodeData", "mmsdrfs"}));
        struct stat st;
        ASSERT_EQ(stat(box.configFile("mmsdrfs").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        if (c.forced) {
            EXPECT_EQ(nsdList, "nsd1\nnsd2\nnsd3\n");
        }
        EXPECT_FALSE(std::filesystem::exists(box.exportFile("yb_exportFile_gpfs0")));
        // The temporary files of the object's capture go, unless the operator keeps them.
        EXPECT_EQ(std::filesystem::exists(box.tempFile("stanzaFile_42")), !c.exists);
        if (!c.exists) {
            EXPECT_TRUE(
                box.log().contains("Filesystem by name 'gpfs0' does not exist. Returning."));
        }
    }
}

TEST(GpfsTeardown, ClusterConfigurationIsReplacedOnlyByAWholeReading) {
    const std::string tiebreakerError =
        "mmexportfs: Disk nsd3 is a tiebreaker disk and cannot be exported.\n";
    const std::string filterPrefix = "awk '!($0 ~/:nsd3:/ && $0 ~/:quorumDisk:/ && $0 ~/BBBB/)";
    struct Case {
        const char* name;
        vbtest::Reply filtered;
        bool missingDirectory;
        const char* log;
        bool restored;
    } cases[] = {
        {"no configuration section in the output",
         {0, "%%home%%:03_COMMENT::1:\n", ""},
         false,
         "Error: No data to write to mmsdrfs",
         false},
        {"the reading failed half-way",
         {2, "%%home%%:70_MMFSCFG::1:x\n", "awk: read error\n"},
         false,
         "Error: No data to write to mmsdrfs",
         false},
        {"the file cannot be replaced",
         {0, "%%home%%:70_MMFSCFG::1:x\n", ""},
         true,
         "Error: Could not open ",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        std::unique_ptr<volbridge::ScopedOverride<std::string>> gone;
        if (c.missingDirectory) {
            gone = std::make_unique<volbridge::ScopedOverride<std::string>>(
                volbridge::gpfs::configDirectory(), box.configFile("gone"));
        }
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir()).always("mmumount gpfs0 -a -f");
        exportWrites(fake, 1, tiebreakerError);
        fake.onMatch("mmdel.*", [](const std::string&) { return vbtest::Reply{}; })
            .onMatch("mmdel.*", [](const std::string&) { return vbtest::Reply{}; })
            .always("mmshutdown -a ")
            .always("mmstartup -a ")
            .onMatch(".*quorumDisk.*", [&](const std::string&) { return c.filtered; })
            .always("mmsdrrestore -a ");
        gpfstest::Backend gpfs;
        gpfs.destroyVG("gpfs0");
        EXPECT_TRUE(box.log().contains(c.log));
        EXPECT_EQ(fake.commands().back() == "mmsdrrestore -a ", c.restored);
        EXPECT_EQ(
            fake.commands()[fake.commands().size() - (c.restored ? 2 : 1)].rfind(filterPrefix, 0),
            0u);
        EXPECT_EQ(vbtest::readFile(box.configFile("mmsdrfs")), Sandbox::mmsdrfs());
    }
}

TEST(GpfsTeardown, TiebreakerNameIsReadWithinTheErrorText) {
    struct Case {
        const char* text;
        const char* name;
    } cases[] = {
        {"mmexportfs: Disk nsd3 is a tiebreaker disk and cannot be exported.", "nsd3"},
        {"Disk nsd3 is busy", ""},
        {"tiebreaker disks: none named", ""},
        {"a tiebreaker Disk", ""},
        {"this is a tiebreaker Disk nsd9", ""},
        {"tiebreaker Disk is", ""},
        {"tiebreakerDisk", ""},
        {"tiebreaker: Disk a b is x", "a b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(volbridge::gpfs::tiebreakerDisk(c.text), c.name);
    }
}

TEST(GpfsTeardown, NamesAreCheckedBeforeAnythingRuns) {
    Sandbox box;
    vbtest::FakeRunner fake;
    gpfstest::Backend gpfs;
    const char destroy[] = "virtual void LVM_gpfs::destroyVG(const char*)";
    EXPECT_EQ(gpfstest::failure([&] { gpfs.destroyVG(nullptr); }, destroy),
              "Error: vg_name is NULL");
    EXPECT_EQ(gpfstest::failure([&] { gpfs.destroyVG("gpfs0 -p; x"); }, destroy),
              "Refusing to run a command with the file-system name [gpfs0 -p; x]: it holds "
              "characters that the shell would interpret (allowed: letters, digits and "
              "\"._+-:/@\")");
    LVM::VG vg;
    vg.name = "-a";
    EXPECT_FALSE(gpfs.cleanFS(vg, {}, RP_DESTROY));
    EXPECT_EQ(gpfstest::failure([&] { gpfs.prepRevertLV(vg, allDisks().c_str(), kDisks); },
                                "virtual bool LVM_gpfs::prepRevertLV(const LVM::VG&, const "
                                "char*, const std::list<std::string>&)"),
              "Refusing to run a command with the file-system name [-a]: it starts with \"-\" "
              "and would be taken for an option");
    std::string out;
    EXPECT_FALSE(gpfs.stopDisks("gpfs0", "", out));
    EXPECT_FALSE(gpfs.startDisks("gpfs0", "nsd1;nsd$(x)", out));
    EXPECT_TRUE(fake.commands().empty());
}

}  // namespace
