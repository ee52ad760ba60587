// Discovery of a GPFS file system on the captured cluster: the commands, the record, the metadata
// text, the lookups and the device listing.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "GpfsSandbox.h"
#include "gpfs/gpfs_discovery.h"

namespace {

using gpfstest::Disk;
using gpfstest::Layout;
using gpfstest::Sandbox;

// The unique id of a discovery: the digits between the "$$$UID$$$" tokens.
std::string uniqueIdOf(const std::string& metadata) {
    const size_t begin = metadata.find("$$$UID$$$") + 9;
    return metadata.substr(begin, metadata.find("$$$UID$$$", begin) - begin);
}

TEST(GpfsDiscovery, FileSystemFromDeviceInEitherClusterLayout) {
    for (Layout layout : {Layout::Ccr, Layout::ServerBased}) {
        SCOPED_TRACE(layout == Layout::Ccr ? "one dashed line" : "configuration servers");
        Sandbox box(layout);
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir());
        gpfstest::Backend gpfs;

        LVM::VG vg = gpfs.getVGByLVDevice("/dev/gpfs0");

        vbtest::expectCommands(fake.commands(), gpfstest::wholeDiscovery(layout));
        EXPECT_EQ(vg.name, "gpfs0");
        EXPECT_EQ(vg.orig_name, "gpfs0");
        EXPECT_EQ(vg.uuid, gpfstest::kFsId);
        EXPECT_EQ(vg.orig_uuid, gpfstest::kFsId);
        EXPECT_EQ(vg.vendor, "GPFS");

        const std::map<std::string, std::string> devices{{gpfstest::kPvSdb, "/dev/sdb"},
                                                         {gpfstest::kPvSdc, "/dev/sdc"},
                                                         {gpfstest::kPvSdd, "/dev/sdd"}};
        ASSERT_EQ(vg.pvs.size(), 3u);
        for (const auto& [pvId, device] : devices) {
            ASSERT_TRUE(vg.pvs.count(pvId)) << pvId;
            EXPECT_EQ(vg.pvs[pvId].uuid, pvId);
            EXPECT_EQ(vg.pvs[pvId].orig_uuid, pvId);
            EXPECT_EQ(vg.pvs[pvId].device, device);
            EXPECT_EQ(vg.pvs[pvId].mirror_id, "");
        }
        ASSERT_EQ(vg.lvs.size(), 1u);
        const LVM::LV& lv = vg.lvs.begin()->second;
        EXPECT_EQ(vg.lvs.begin()->first, gpfstest::kFsId);
        EXPECT_EQ(lv.uuid, gpfstest::kFsId);
        EXPECT_EQ(lv.orig_uuid, gpfstest::kFsId);
        EXPECT_EQ(lv.device, "/dev/gpfs0");
        EXPECT_EQ(lv.pvs,
                  (std::list<std::string>{gpfstest::kPvSdb, gpfstest::kPvSdc, gpfstest::kPvSdd}));

        // Item by item: both configuration files byte for byte, the cluster from either layout,
        // the disks in device order, the file system, the unique id, no failure group.
        const std::string uniqueId = uniqueIdOf(vg.metadata);
        EXPECT_EQ(vg.metadata, gpfstest::allDisksText(uniqueId));
        EXPECT_FALSE(uniqueId.empty());
        EXPECT_EQ(uniqueId.find_first_not_of("0123456789"), std::string::npos) << uniqueId;
        EXPECT_EQ(gpfs.getUniqueId(), uniqueId + "_");
        EXPECT_EQ(gpfs.getJobId(), "42");
        EXPECT_EQ(gpfs.m_failureGroup, -1);
        EXPECT_EQ(gpfs.m_excludeList, "");
    }
}

TEST(GpfsDiscovery, WhatDiscoveryWritesIsTheCapturedMetadataAndEachCaptureHasItsOwnId) {
    Sandbox box;
    vbtest::FakeRunner fake;
    fake.replayFrom(box.replayDir());
    gpfstest::Backend gpfs;

    const LVM::VG first = gpfs.getVGByLVDevice("/dev/gpfs0");
    const LVM::VG second = gpfs.getVGByUUID(gpfstest::kFsId);

    EXPECT_NE(uniqueIdOf(first.metadata), uniqueIdOf(second.metadata));
    EXPECT_EQ(gpfs.getUniqueId(), uniqueIdOf(second.metadata) + "_");
    EXPECT_EQ(second.name, "gpfs0");
    EXPECT_EQ(second.pvs.size(), 3u);
    EXPECT_EQ(fake.commands()[gpfstest::wholeDiscovery(Layout::Ccr).size()],
              "mmfsadm dump fs | awk '{ if ( $0 ~/ 0A000001:5F3A2C10 / ){ printf $6; } }'");

    // The fixture the metadata tests and the fuzz target start from is this text.
    const std::string captured = vbtest::readFixture("gpfs/metadata/gpfs0-all-disks.txt");
    EXPECT_EQ(gpfstest::allDisksText(uniqueIdOf(captured)), captured);
}

TEST(GpfsDiscovery, FailureGroupCasesOnOlderAndCurrentReleases) {
    const std::string quorum =
        "Error:filesystem descriptor quorum is not satisfied with failure group and tiebreaker "
        "disks (optional).";
    struct Case {
        const char* name;
        const char* failureGroup;  // configured value, or null
        std::vector<Disk> disks;
        std::string error;               // empty: discovery succeeds
        std::vector<std::string> taken;  // devices of the PVs
        std::string excluded;
        std::string metadataGroup;
    } cases[] = {
        {"no failure group: every disk",
         nullptr,
         {{"nsd1", 1, "yes", "desc", "/dev/sdb", "/dev/sdb"},
          {"nsd2", 1, "yes", "desc", "/dev/sdc", "/dev/sdc"},
          {"nsd3", 2, "yes", "desc", "/dev/sdd", "/dev/sdd"}},
         "",
         {"/dev/sdb", "/dev/sdc", "/dev/sdd"},
         "",
         "-1"},
        {"no failure group: a disk without a device here",
         nullptr,
         {{"nsd1", 1, "yes", "desc", "/dev/sdb", "/dev/sdb"},
          {"nsd2", 1, "yes", "desc", "-", "/dev/sdc"}},
         "Error: Make sure all the disks for the filesystem: 'gpfs0' are locally available",
         {},
         "",
         ""},
        {"2 of 3 replicas in the group",
         "1",
         {{"nsd1", 1, "yes", "desc", "/dev/sdb", "/dev/sdb"},
          {"nsd2", 1, "yes", "desc", "/dev/sdc", "/dev/sdc"},
          {"nsd3", 2, "yes", "desc", "/dev/sdd", "/dev/sdd"}},
         "",
         {"/dev/sdb", "/dev/sdc"},
         "nsd3",
         "1"},
        {"1 of 3 replicas and a descriptor-only tiebreaker",
         "1",
         {{"nsd1", 1, "yes", "desc", "/dev/sdb", "/dev/sdb"},
          {"nsd2", 2, "yes", "desc", "/dev/sdc", "/dev/sdc"},
          {"nsd3", 3, "no", "desc", "/dev/sdd", "/dev/sdd"}},
         "",
         {"/dev/sdb", "/dev/sdd"},
         "nsd2",
         "1"},
        {"1 of 3 replicas without a tiebreaker",
         "1",
         {{"nsd1", 1, "yes", "desc", "/dev/sdb", "/dev/sdb"},
          {"nsd2", 2, "yes", "desc", "/dev/sdc", "/dev/sdc"},
          {"nsd3", 3, "yes", "desc", "/dev/sdd", "/dev/sdd"}},
         quorum,
         {},
         "",
         ""},
        {"1 of 2 replicas is no majority",
         "1",
         {{"nsd1", 1, "yes", "desc", "/dev/sdb", "/dev/sdb"},
          {"nsd2", 2, "yes", "desc", "/dev/sdc", "/dev/sdc"},
          {"nsd3", 2, "yes", "", "/dev/sdd", "/dev/sdd"}},
         quorum,
         {},
         "",
         ""},
        {"a disk of the group without a device here is skipped",
         "1",
         {{"nsd1", 1, "yes", "desc", "/dev/sdb", "/dev/sdb"},
          {"nsd2", 1, "yes", "desc", "-", "/dev/sdc"},
          {"nsd3", 2, "yes", "desc", "/dev/sdd", "/dev/sdd"}},
         "",
         {"/dev/sdb"},
         "nsd3",
         "1"},
        {"replicas on disks of metadata only or data only count too",
         "1",
         {{"nsd1", 1, "yes", "desc", "/dev/sdb", "/dev/sdb"},
          {"nsd2", 2, "metadata", "desc", "/dev/sdc", "/dev/sdc"},
          {"nsd3", 3, "data", "desc", "/dev/sdd", "/dev/sdd"}},
         quorum,
         {},
         "",
         ""},
        {"a tiebreaker in the snapshot's own group counts once",
         "1",
         {{"nsd1", 1, "yes", "desc", "/dev/sdb", "/dev/sdb"},
          {"nsd2", 2, "yes", "desc", "/dev/sdc", "/dev/sdc"},
          {"nsd3", 2, "yes", "desc", "/dev/sdd", "/dev/sdd"},
          {"nsd4", 1, "no", "desc", "/dev/sde", "/dev/sde"}},
         quorum,
         {},
         "",
         ""},
        {"a status of several words does not shift the columns",
         "1",
         {{"nsd1", 1, "yes", "desc", "/dev/sdb", "/dev/sdb", "to be emptied"},
          {"nsd2", 1, "yes", "desc", "/dev/sdc", "/dev/sdc"},
          {"nsd3", 2, "yes", "desc", "/dev/sdd", "/dev/sdd", "being emptied"}},
         "",
         {"/dev/sdb", "/dev/sdc"},
         "nsd3",
         "1"},
        {"excluded disks once each, in listing order",
         "0",
         {{"nsd9", 2, "yes", "", "/dev/sdf", "/dev/sdf"},
          {"nsd1", 0, "yes", "desc", "/dev/sdb", "/dev/sdb"},
          {"nsd5", 1, "yes", "", "/dev/sde", "/dev/sde"},
          {"nsd2", 0, "yes", "desc", "/dev/sdc", "/dev/sdc"},
          {"nsd3", 1, "yes", "desc", "/dev/sdd", "/dev/sdd"}},
         "",
         {"/dev/sdb", "/dev/sdc"},
         "nsd9;nsd5;nsd3",
         "0"},
    };
    for (bool capitalised : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (capitalised ? " (Yes/No)" : " (yes/no)"));
            Sandbox box;
            gpfstest::answerFor(box, c.disks, capitalised);
            if (c.failureGroup)
                box.setConfig("~Oxbrook", "nGPFSFAILUREGROUPNUM_gpfs0", c.failureGroup);
            vbtest::FakeRunner fake;
            fake.replayFrom(box.replayDir());
            gpfstest::Backend gpfs;
            if (!c.error.empty()) {
                EXPECT_EQ(
                    gpfstest::failure([&] { gpfs.getVGByLVDevice("/dev/gpfs0"); },
                                      "virtual LVM::VG LVM_gpfs::getVGByLVDevice(const char*)"),
                    c.error);
                continue;
            }
            LVM::VG vg = gpfs.getVGByLVDevice("/dev/gpfs0");
            std::vector<std::string> taken;
            for (const auto& entry : vg.pvs) taken.push_back(entry.second.device);
            std::sort(taken.begin(), taken.end());
            EXPECT_EQ(taken, c.taken);
            EXPECT_EQ(gpfs.m_excludeList, c.excluded);
            EXPECT_EQ(gpfs.m_failureGroup, std::stoi(c.metadataGroup));
            const std::string tail =
                "$$$FG$$$" + c.metadataGroup + "$$$FG$$$$$$ED$$$" + c.excluded + "$$$ED$$$";
            EXPECT_EQ(vg.metadata.substr(vg.metadata.size() - tail.size()), tail);
            ASSERT_EQ(vg.lvs.size(), 1u);
            EXPECT_EQ(vg.lvs.begin()->second.pvs.size(), c.taken.size());
        }
    }
}

TEST(GpfsDiscovery, FailureGroupCaptureOnTheCapturedOutputOfEitherRelease) {
    for (const char* release : {"older", "current"}) {
        SCOPED_TRACE(release);
        Sandbox box(Layout::ServerBased);
        if (std::string(release) == "current") {
            box.setReplay("mmlsdisk_gpfs0_-L.txt",
                          vbtest::readFixture("gpfs/current-release/mmlsdisk_gpfs0_-L.txt"));
        }
        box.setConfig("~Oxbrook", "nGPFSFAILUREGROUPNUM_gpfs0", "1");
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir());
        gpfstest::Backend gpfs;

        LVM::VG vg = gpfs.getVGByLVDevice("/dev/gpfs0");

        vbtest::expectCommands(
            fake.commands(),
            gpfstest::discoveryCommands(Layout::ServerBased, true, {"/dev/sdb", "/dev/sdc"}));
        EXPECT_EQ(vg.metadata, gpfstest::capturedText(std::string("/dev/sdb:") + gpfstest::kPvSdb +
                                                          ";/dev/sdc:" + gpfstest::kPvSdc + ";",
                                                      uniqueIdOf(vg.metadata), "1", "nsd3"));
        EXPECT_TRUE(box.log().contains("nGPFSFAILUREGROUPNUM_gpfs0 set to 1"));
        EXPECT_FALSE(box.log().contains("found TieBreaker"));
    }
    // The failure-group fixture of the metadata tests and the fuzz target is such a text.
    const std::string captured = vbtest::readFixture("gpfs/metadata/gpfs0-failure-group-1.txt");
    EXPECT_EQ(gpfstest::capturedText(std::string("/dev/sdb:") + gpfstest::kPvSdb +
                                         ";/dev/sdc:" + gpfstest::kPvSdc + ";",
                                     uniqueIdOf(captured), "1", "nsd3"),
              captured);
}

TEST(GpfsDiscovery, FailuresGiveTheirMessagesFromTheLookup) {
    const std::string failed = "Error: cmd: '";
    const std::string local = vbtest::readFixture("gpfs/mmlsdisk_gpfs0_-m.txt");
    auto localWith = [&](const std::string& from, const std::string& to) {
        std::string text = local;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::string token = "it holds the token mark \"$$$\"";
    struct Answer {
        std::string cmd;
        int status;
        std::string out, err;
    };
    struct Case {
        const char* name;
        std::vector<Answer> answers;
        std::string message;
    } cases[] = {
        {"identifier query writes an error",
         {{gpfstest::fsIdCommand("gpfs0"), 0, "x", "boom"}},
         "Error: cmd: '" + gpfstest::fsIdCommand("gpfs0") + "' failed with error: 'boom'"},
        {"no identifier",
         {{gpfstest::fsIdCommand("gpfs0"), 0, "", ""}},
         "Error: FS GUID is empty!!!"},
        {"cluster id query fails",
         {{gpfstest::kClusterId, 1, "", "no cluster"}},
         failed + gpfstest::kClusterId + "' failed with error: 'no cluster'"},
        {"no cluster id", {{gpfstest::kClusterId, 0, "", ""}}, "Error: cluster GUID is empty!!!"},
        {"local disk view fails",
         {{gpfstest::localView("gpfs0"), 1, local, "mmlsdisk: node2 did not answer\n"}},
         failed + gpfstest::localView("gpfs0") +
             "' failed with error: 'mmlsdisk: node2 did not answer\n'"},
        {"local disk view empty",
         {{gpfstest::localView("gpfs0"), 0, "", ""}},
         "Error: mmlsdiskLocal did not return disks!!!"},
        {"all-node disk view empty",
         {{gpfstest::allView("gpfs0"), 0, "", ""}},
         "Error: mmlsdiskAll did not return disks!!!"},
        {"no NSDs",
         {{gpfstest::nsdList("gpfs0"), 0, "", ""}},
         "Error: mmlsnsdOut did not return disks!!!"},
        {"NSD entry without volume id",
         {{gpfstest::nsdList("gpfs0"), 0, "nsd1;", ""}},
         "Error: invalid LV:ID pair!!!"},
        {"an NSD the local view does not name",
         {{gpfstest::localView("gpfs0"), 0, localWith("nsd1 ", "nsd9 "), ""}},
         "Error: mmlsdisk for NSD did not return disks!!!"},
        {"NSD device not a plain path",
         {{gpfstest::localView("gpfs0"), 0, localWith("/dev/sdb", "/dev/$(b)"), ""},
          {gpfstest::allView("gpfs0"), 0, "/dev/$(b);/dev/sdc;/dev/sdd;", ""}},
         "Refusing to run a command with the device path [/dev/$(b)]: it holds characters that "
         "the shell would interpret (allowed: letters, digits and \"._+-:/@\")"},
        {"NSD name not a plain name",
         {{gpfstest::nsdList("gpfs0"), 0, "nsd$(reboot):0A;", ""}},
         "Error: the NSD name [nsd$(reboot)] cannot stand in GPFS metadata: it is not a GPFS "
         "name (letters, digits, \"_\", \"-\" and \".\", not beginning with \"-\" or \".\")"},
        {"two NSDs on one device",
         {{gpfstest::localView("gpfs0"), 0, localWith("/dev/sdc", "/dev/sdb"), ""}},
         "Error: mmlsdisk names the device /dev/sdb for two NSDs, nsd1 and nsd2"},
        {"descriptor unreadable",
         {{gpfstest::diskId("/dev/sdb"), 2, "", "EIO"}},
         "Error: cmd: getDiskIdfromDevice failed"},
        {"descriptor without identifier",
         {{gpfstest::diskId("/dev/sdb"), 0, "", ""}},
         "Error: mmfsadm dev did not return disk id!!!"},
        // Tool output never forges the metadata text: a value holding its tokens is refused.
        {"a node name holding a token",
         {{gpfstest::kNodes, 0, "node1;$$$PV$$$/dev/sdz:0A99#nsd9:0A99;", ""}},
         "Error: the node name [$$$PV$$$/dev/sdz:0A99#nsd9:0A99] cannot stand in GPFS metadata: " +
             token},
        {"an identifier holding a token",
         {{gpfstest::fsIdCommand("gpfs0"), 0, "0A000001$$$YB$$$x", ""}},
         "Error: the file-system identifier [0A000001$$$YB$$$x] cannot stand in GPFS metadata: " +
             token},
        {"a cluster id holding a separator",
         {{gpfstest::kClusterId, 0, "1239:9", ""}},
         "Error: the cluster id [1239:9] cannot stand in GPFS metadata: it holds the separator "
         "\":\""},
        {"a disk id holding a separator",
         {{gpfstest::diskId("/dev/sdc"), 0, "0A#01", ""}},
         "Error: the disk id [0A#01] cannot stand in GPFS metadata: it holds the separator "
         "\"#\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir());
        for (const Answer& a : c.answers) fake.on(a.cmd, a.status, a.out, a.err);
        gpfstest::Backend gpfs;
        int err = 0;
        EXPECT_EQ(gpfstest::failure([&] { gpfs.getVGByLVDevice("/dev/gpfs0"); },
                                    "virtual LVM::VG LVM_gpfs::getVGByLVDevice(const char*)", &err),
                  c.message);
        EXPECT_EQ(err, -1);
        EXPECT_TRUE(box.log().contains("ERROR")) << "the caught failure is logged";
    }

    // A configuration file holding the text's own tokens is refused too.
    Sandbox box;
    vbtest::writeFile(box.configFile("mmsdrfs"), "%%home%%:03_COMMENT::1:$$$PV$$$/dev/sdz\n");
    vbtest::FakeRunner fake;
    fake.replayFrom(box.replayDir());
    gpfstest::Backend gpfs;
    EXPECT_EQ(gpfstest::failure([&] { gpfs.getVGByLVDevice("/dev/gpfs0"); },
                                "virtual LVM::VG LVM_gpfs::getVGByLVDevice(const char*)"),
              "Error: the mmsdrfs cannot stand in GPFS metadata: " + token);
}

TEST(GpfsDiscovery, ErrorNumber60606IsPassedOnAndOtherExceptionsGetTheLookupsOwnText) {
    struct Case {
        const char* name;
        std::function<void()> raise;
        std::string message;
        int err;
    } cases[] = {
        {"60606 kept", [] { throw YbException("host", "lost contact", "host", 1, 60606); },
         "lost contact", 60606},
        {"other numbers become -1", [] { throw YbException("host", "odd", "host", 1, 7); }, "odd",
         -1},
        {"not a YbException", [] { throw std::runtime_error("surprise"); },
         "Exception in getVGByLVDevice", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir()).onMatch("mmlsdisk gpfs0 -M .*", [&](const std::string&) {
            c.raise();
            return vbtest::Reply{};
        });
        gpfstest::Backend gpfs;
        int err = 0;
        EXPECT_EQ(gpfstest::failure([&] { gpfs.getVGByLVDevice("/dev/gpfs0"); },
                                    "virtual LVM::VG LVM_gpfs::getVGByLVDevice(const char*)", &err),
                  c.message);
        EXPECT_EQ(err, c.err);
    }
}

TEST(GpfsDiscovery, NamesAndRecognition) {
    Sandbox box;
    vbtest::FakeRunner fake;
    const std::string notGpfs =
        "mmlsfs /dev/sda1 -T 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag>0) print $2; if ($1 "
        "~/-------/) flag =1;}'";
    fake.replayFrom(box.replayDir()).on(notGpfs, 0, "");
    gpfstest::Backend gpfs;

    EXPECT_EQ(LVM_gpfs::isGPFSFileSystem("gpfs0"), 0);
    EXPECT_EQ(LVM_gpfs::isGPFSFileSystem("/dev/sda1"), 1);
    EXPECT_EQ(LVM_gpfs::isGPFSFileSystem("/dev/x;reboot"), 1);  // refused: runs nothing
    vbtest::expectCommands(
        fake.commands(),
        {"mmlsfs gpfs0 -T 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag>0) print $2; if ($1 "
         "~/-------/) flag =1;}'",
         notGpfs});
    EXPECT_TRUE(box.log().contains("device 'gpfs0' is GPFS filesystem"));

    struct Case {
        const char* dev;
        int result;
        const char* name;
        const char* log;
    } cases[] = {{"/dev/gpfs0", 0, "gpfs0", "fsName = 'gpfs0'"},
                 {"", 1, "", "devPath is empty"},
                 {"gpfs0", 1, "", nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dev);
        box.log().clear();
        std::string name;
        EXPECT_EQ(gpfs.getGPFSFileSystemNamefromDevice(c.dev, name), c.result);
        EXPECT_EQ(name, c.name);
        if (c.log) {
            EXPECT_TRUE(box.log().contains(c.log));
        } else {
            EXPECT_TRUE(box.log().records().empty());
        }
    }

    std::string name;
    EXPECT_EQ(gpfs.getGPFSFileSystemNamefromUuid("0A000001:5F3A2C10", name), 0);
    EXPECT_EQ(name, "gpfs0");
    EXPECT_EQ(gpfs.getGPFSFileSystemNamefromUuid("0A000001:FFFFFFFF", name), 1);
    EXPECT_TRUE(box.log().contains("Error: mmfsadm output for this uuid is empty!!!"));
    EXPECT_EQ(gpfstest::failure([&] { gpfs.getVGByUUID("0A000001:FFFFFFFF"); },
                                "virtual LVM::VG LVM_gpfs::getVGByUUID(const char*)"),
              "Error: no GPFS file system has the identifier '0A000001:FFFFFFFF'");
    EXPECT_EQ(gpfstest::failure([&] { gpfs.getVGByLVDevice(nullptr); },
                                "virtual LVM::VG LVM_gpfs::getVGByLVDevice(const char*)"),
              "Error: dev_path is NULL");
    EXPECT_EQ(gpfstest::failure([&] { gpfs.getVGByUUID(nullptr); },
                                "virtual LVM::VG LVM_gpfs::getVGByUUID(const char*)"),
              "Error: uuid is NULL");
}

TEST(GpfsDiscovery, ConfigurationFilesMustBeThereAndHoldSomething) {
    struct Case {
        const char* name;
        const char* file;
        bool remove;  // else emptied
        std::string message;
    } cases[] = {
        {"no mmsdrfs", "mmsdrfs", true,
         "Error: mmsdrfs cannot be opened; verify if this node is part of a functional GPFS "
         "cluster!!!"},
        {"empty mmsdrfs", "mmsdrfs", false, "Error: mmsdrfs is empty!!!"},
        {"no mmfsNodeData", "mmfsNodeData", true,
         "Error: mmfsNodeData cannot be opened; verify if this node is part of a functional "
         "GPFS cluster!!!"},
        {"empty mmfsNodeData", "mmfsNodeData", false, "Error: mmfsNodeData is empty!!!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        if (c.remove) {
            std::filesystem::remove(box.configFile(c.file));
        } else {
            vbtest::writeFile(box.configFile(c.file), "");
        }
        vbtest::FakeRunner fake;
        gpfstest::Backend gpfs;
        std::string out;
        EXPECT_EQ(gpfstest::failure(
                      [&] { gpfs.collectFSMetadata("gpfs0", gpfstest::kFsId, out); },
                      "void LVM_gpfs::collectFSMetadata(const std::string&, const std::string&, "
                      "std::string&)"),
                  c.message);
        EXPECT_TRUE(fake.commands().empty());
    }
}

TEST(GpfsDiscovery, NodeListFromNeitherLayoutIsRefused) {
    Sandbox box;
    vbtest::FakeRunner fake;
    fake.replayFrom(box.replayDir()).on(gpfstest::kNodes, 0, "").on(gpfstest::kNodesOneDash, 0, "");
    gpfstest::Backend gpfs;
    std::string out;
    EXPECT_EQ(gpfstest::failure([&] { gpfs.collectFSMetadata("gpfs0", gpfstest::kFsId, out); },
                                "void LVM_gpfs::collectFSMetadata(const std::string&, const "
                                "std::string&, std::string&)"),
              "Error: cluster nodelist is empty!!!");
    EXPECT_EQ(out, std::string("$$$YB$$$gpfs0:") + gpfstest::kFsId + "$$$YB$$$" +
                       Sandbox::mmsdrfs() + "$$$YB$$$" + Sandbox::mmfsNodeData() + "$$$YB$$$" +
                       gpfstest::kClusterIdValue + ":$$$YB$$$");
}

TEST(GpfsDeviceList, OnlyTheNsdsServedByThisNode) {
    Sandbox box;
    vbtest::FakeRunner fake;
    fake.replayFrom(box.replayDir());
    gpfstest::Backend gpfs;
    LVM::DeviceInfoList list{{"/dev/sda", "LinuxLVM", "vg0"}};

    CWmError status = gpfs.getPVList(list);

    EXPECT_FALSE(status.IsError());
    vbtest::expectCommands(fake.commands(), {"mmgetstate", "mmlsnsd -m"});
    std::vector<std::string> rows;
    for (const LVM::DeviceVGInfo& row : list)
        rows.push_back(row.device + " " + row.vendor + " " + row.vg_name);
    EXPECT_EQ(rows, (std::vector<std::string>{"/dev/sda LinuxLVM vg0", "/dev/sdb GPFS nsd1",
                                              "/dev/sdc GPFS nsd2", "/dev/sdd GPFS nsd3"}));
}

TEST(GpfsDeviceList, NodeColumnNamesTheLocalNodeOrItsDomainName) {
    const std::string listing =
        "\n Disk name    NSD volume ID      Device         Node name      Remarks\n"
        "-----------------------------------------------------------------------\n"
        " nsd1         0A01               /dev/sdb       node1          server node\n"
        " nsd2         0A02               /dev/sdc       node1.example.com server node\n"
        " nsd3\t\t0A03\t/dev/sdd\tnode10\n"
        " nsd4         0A04               /dev/sde       node2          server node\n"
        " nsd5         0A05               /dev/sdf\n";
    LVM::DeviceInfoList rows = volbridge::gpfs::nsdsServedBy(listing, "node1");
    std::vector<std::string> names;
    for (const LVM::DeviceVGInfo& row : rows) names.push_back(row.vg_name + "=" + row.device);
    EXPECT_EQ(names, (std::vector<std::string>{"nsd1=/dev/sdb", "nsd2=/dev/sdc"}));
    EXPECT_TRUE(volbridge::gpfs::nsdsServedBy(listing, "").empty());

    EXPECT_EQ(volbridge::gpfs::localNodeName(vbtest::readFixture("gpfs/mmgetstate.txt")), "node1");
    EXPECT_EQ(volbridge::gpfs::localNodeName("no dashes\n 1 node1 active\n"), "");
}

TEST(GpfsDeviceList, WithoutGpfsThereAreNoDevicesAndOtherFailuresAreErrors) {
    struct Case {
        const char* name;
        int stateStatus;
        int nsdStatus;  // -1: not run
        std::string message;
    } cases[] = {
        {"GPFS not installed", 127, -1, ""},
        {"mmgetstate fails", 1, -1, "mmgetstate failed"},
        {"mmlsnsd fails", 0, 3, "mmlsnsd failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        vbtest::FakeRunner fake;
        fake.on("mmgetstate", c.stateStatus, vbtest::readFixture("gpfs/mmgetstate.txt"),
                c.stateStatus == 127 ? "sh: 1: mmgetstate: not found\n" : "daemon down\n");
        if (c.nsdStatus >= 0) fake.on("mmlsnsd -m", c.nsdStatus, "", "no NSDs\n");
        gpfstest::Backend gpfs;
        LVM::DeviceInfoList list;
        CWmError status = gpfs.getPVList(list);
        EXPECT_TRUE(list.empty());
        if (c.message.empty()) {
            EXPECT_FALSE(status.IsError());
            continue;
        }
        ASSERT_TRUE(status.IsError());
        EXPECT_EQ(status.GetErrno(), 22);
        EXPECT_EQ(status.GetMessage(), c.message);
        EXPECT_EQ(status.GetLocations()[0].file, "LVM_gpfs");
        EXPECT_EQ(status.GetLocations()[0].function,
                  "virtual CWmError LVM_gpfs::getPVList(LVM::DeviceInfoList&)");
        EXPECT_TRUE(box.log().contains(c.nsdStatus < 0 ? "CMD:mmgetstate status\nOUT:\n"
                                                       : "CMD:mmlsnsd status\nOUT:\n"));
    }
}

TEST(GpfsBackend, MadeByVendorNameAndRunsNothingWhenMade) {
    Sandbox box;
    vbtest::FakeRunner fake;
    std::unique_ptr<LVM> lvm(LVM::getByVendor("GPFS"));
    ASSERT_TRUE(dynamic_cast<LVM_gpfs*>(lvm.get()));
    EXPECT_EQ(static_cast<LVM_gpfs*>(lvm.get())->getJobId(), "42");
    EXPECT_EQ(static_cast<LVM_gpfs*>(lvm.get())->getUniqueId(), "");
    EXPECT_EQ(LVM::getByVendor("gpfs"), nullptr);
    EXPECT_TRUE(fake.commands().empty());
}

}  // namespace
