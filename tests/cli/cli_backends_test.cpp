// The tool over all three backends, run in this process so that VxVM and GPFS answer from their
// captured output through the fake runner: the backend discover chooses for a device and says
// so, the listing of every backend, GPFS file-system control, the revert steps of the other
// backends, and the usage errors of the new subcommands and vendor names.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "FakeRunner.h"
#include "Fixtures.h"
#include "GpfsSandbox.h"
#include "ToolInProcess.h"
#include "VxvmSandbox.h"

namespace {

using Json = nlohmann::json;
using vbtest::InProcessRun;
using vbtest::runToolInProcess;

std::string gpfsQuery(const std::string& dev) {
    return "mmlsfs " + dev +
           " -T 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag>0) print $2; if ($1 ~/-------/) flag "
           "=1;}'";
}

// "Exit status N" and both streams, for a failed expectation.
std::string shown(const InProcessRun& run) {
    return "exit status " + std::to_string(run.status) + "\n---- out:\n" + run.out + "---- err:\n" +
           run.err;
}

TEST(CliBackends, UsageErrorsOfTheNewSubcommandsAndOfVendorNamesRunNothing) {
    vbtest::FakeRunner fake;  // answers nothing: a command would fail the test
    vbtest::ScopedTempDir dir;
    const std::string meta = dir.file("metadata.txt");
    const std::string map = dir.file("map.json");
    vbtest::writeFile(meta, "dg|datadg|1234567890.12.hostA;");
    vbtest::writeFile(map, "{}");
    const std::string vendors = " (vendors available: VxVM, LinuxLVM, GPFS)";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"mount without a file system", {"mount", "--read-only"}, "FS is required"},
        {"mount with two file systems",
         {"mount", "gpfs0", "gpfs1"},
         "argument was not expected: gpfs1"},
        {"mount in a phase of another spelling",
         {"mount", "--phase", "Local", "gpfs0"},
         "--phase: unknown phase \"Local\" (phases: prepare, revert, local, cancel, destroy, "
         "no-unmount)"},
        {"mount from a node file that does not exist",
         {"mount", "--node-file", dir.file("nodes"), "gpfs0"},
         "--node-file: File does not exist: " + dir.file("nodes")},
        {"mount of another vendor", {"mount", "--vendor", "VxVM", "gpfs0"}, "--vendor"},
        {"unmount without a file system", {"unmount", "--force"}, "FS is required"},
        {"suspend forced", {"suspend", "--force", "gpfs0"}, "argument was not expected: --force"},
        {"resume without a file system", {"resume"}, "FS is required"},
        {"discover with a vendor name in lower case",
         {"discover", "--vendor", "vxvm", "/dev/vx/dsk/datadg/vol01"},
         "unknown vendor \"vxvm\"" + vendors},
        {"devices with a vendor name in another case",
         {"devices", "--vendor", "Gpfs"},
         "unknown vendor \"Gpfs\"" + vendors},
        {"recreate with a vendor name and a blank",
         {"recreate", "--vendor", "GPFS ", "--metadata", meta, "--map", map, "/dev/sdx"},
         "unknown vendor \"GPFS \"" + vendors},
        {"revert with a vendor no backend has",
         {"revert", "--vendor", "VxFS", "--metadata", meta, "--map", map, "/dev/sdx"},
         "unknown vendor \"VxFS\"" + vendors},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const InProcessRun run = runToolInProcess(c.args);
        EXPECT_EQ(run.status, 2) << shown(run);
        EXPECT_EQ(run.err.rfind("volbridge " + c.args[0] + ": ", 0), 0u) << shown(run);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << shown(run);
        EXPECT_EQ(run.out, "");
    }
    EXPECT_TRUE(fake.commands().empty());
}

TEST(CliBackends, HelpOfTheNewSubcommandsAndWhatEachBackendReads) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> texts;
    };
    const std::vector<Case> cases = {
        {{"--help"}, {"  mount ", "  unmount ", "  suspend ", "  resume "}},
        {{"mount", "--help"},
         {"Usage: volbridge mount [OPTIONS] FS", "--node-file", "--phase", "--read-only",
          "local mounts on this node only", "--log-level"}},
        {{"unmount", "--help"}, {"Usage: volbridge unmount [OPTIONS] FS", "--force", "--trace"}},
        {{"suspend", "--help"}, {"Usage: volbridge suspend [OPTIONS] FS", "--config"}},
        {{"resume", "--help"}, {"Usage: volbridge resume [OPTIONS] FS", "--log-file"}},
        {{"discover", "--help"},
         {"the backend: VxVM LinuxLVM GPFS (default: the backend the library chooses for DEVICE",
          "VxVM for a path under /dev/vx/, GPFS for a GPFS file system"}},
        {{"devices", "--help"}, {"the backend: VxVM LinuxLVM GPFS (default: every backend"}},
        {{"recreate", "--help"}, {"GPFS reads neither the map nor the DEVICEs"}},
        {{"revert", "--help"}, {"GPFS reads neither"}},
        {{"can-revert", "--help"}, {"--vg is read by LinuxLVM only"}},
        {{"prepare-revert", "--help"}, {"VxVM flushes and deports the disk group --vg"}},
        {{"cancel-revert", "--help"}, {"Neither reads the DEVICEs"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const InProcessRun run = runToolInProcess(c.args);
        EXPECT_EQ(run.status, 0) << shown(run);
        for (const std::string& text : c.texts) {
            EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
        }
    }
}

// ---- VxVM ----

class CliVxvm : public vbtest::VxvmSandbox {};

TEST_F(CliVxvm, DiscoverChoosesVxvmForAVolumePathWithoutRunningACommandForIt) {
    putDevice("/dev/vx/dsk/datadg/vol01");
    const std::string metaOut = host_.tempFile("captured.txt");
    vbtest::FakeRunner fake;
    replayDatadg(fake);

    const InProcessRun run = runToolInProcess(
        {"discover", "--json", "--metadata-out", metaOut, "/dev/vx/dsk/datadg/vol01"});

    ASSERT_EQ(run.status, 0) << shown(run);
    EXPECT_EQ(run.err, "");
    vbtest::expectCommands(fake.commands(), vbtest::populateCommands("datadg"));
    const Json j = Json::parse(run.out);
    EXPECT_EQ(j.at("backend"), "VxVM");
    EXPECT_EQ(j.at("chosen_by"), "device");
    EXPECT_EQ(j.at("name"), "datadg");
    EXPECT_EQ(j.at("uuid"), vbtest::kDgid);
    EXPECT_EQ(j.at("vendor"), "VxVM");
    const Json pvs = Json::array({
        {{"uuid", vbtest::kUdid1},
         {"orig_uuid", vbtest::kUdid1},
         {"device", "/dev/sdb"},
         {"mirror_id", "vol01-01"},
         {"state", 1}},
        {{"uuid", vbtest::kUdid2},
         {"orig_uuid", vbtest::kUdid2},
         {"device", "/dev/sdc"},
         {"mirror_id", "vol01-02"},
         {"state", 1}},
        {{"uuid", vbtest::kUdid3},
         {"orig_uuid", vbtest::kUdid3},
         {"device", "/dev/sdd"},
         {"mirror_id", ""},
         {"state", 1}},
    });
    EXPECT_EQ(j.at("pvs"), pvs);
    const Json lvs = Json::array({
        {{"uuid", vbtest::kVol01Guid},
         {"orig_uuid", vbtest::kVol01Guid},
         {"device", "/dev/vx/dsk/datadg/vol01"},
         {"pvs", {vbtest::kUdid1, vbtest::kUdid2}},
         {"state", 1}},
        {{"uuid", vbtest::kVol02Guid},
         {"orig_uuid", vbtest::kVol02Guid},
         {"device", "/dev/vx/dsk/datadg/vol02"},
         {"pvs", {vbtest::kUdid2, vbtest::kUdid3}},
         {"state", 1}},
    });
    EXPECT_EQ(j.at("lvs"), lvs);
    const std::string captured = vbtest::readFixture("vxvm/metadata/datadg.txt");
    EXPECT_EQ(j.at("metadata"), captured);
    EXPECT_EQ(vbtest::readFile(metaOut), captured);

    // The table names the backend first.
    const InProcessRun table = runToolInProcess({"discover", "/dev/vx/dsk/datadg/vol01"});
    ASSERT_EQ(table.status, 0) << shown(table);
    EXPECT_EQ(table.out.rfind("Backend: VxVM, chosen by the library for the device\n\n  Group", 0),
              0u)
        << table.out;
    EXPECT_NE(table.out.find("/dev/vx/dsk/datadg/vol02"), std::string::npos) << table.out;
}

TEST_F(CliVxvm, RevertStepsAndListingOfTheVxvmBackend) {
    const std::string meta = host_.tempFile("datadg.txt");
    vbtest::writeFile(meta, vbtest::readFixture("vxvm/metadata/datadg.txt"));
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string text;  // on standard output, or on standard error when it failed
        std::vector<std::string> commands;
    };
    const std::vector<Case> cases = {
        {"one side of the mirror",
         {"can-revert", "--vendor", "VxVM", "--metadata", meta, "--vg", "datadg", "/dev/sdb"},
         0,
         "Group datadg can be reverted from /dev/sdb.",
         {"vxdisk -qe path"}},
        {"one column of the stripe",
         {"can-revert", "--vendor", "VxVM", "--metadata", meta, "--vg", "datadg", "/dev/sdd"},
         1,
         "volbridge can-revert: group datadg cannot be reverted from /dev/sdd",
         {"vxdisk -qe path"}},
        {"the disks of disk groups",
         {"devices", "--vendor", "VxVM"},
         0,
         "  /dev/sdd  VxVM    datadg\n",
         {"vxdisk -qe path"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        replayDatadg(fake);
        const InProcessRun run = runToolInProcess(c.args);
        EXPECT_EQ(run.status, c.status) << shown(run);
        EXPECT_NE((c.status == 0 ? run.out : run.err).find(c.text), std::string::npos)
            << shown(run);
        vbtest::expectCommands(fake.commands(), c.commands);
    }
}

// ---- GPFS ----

TEST(CliGpfs, DiscoverChoosesGpfsAfterItsQueryAndShowsTheFileSystem) {
    gpfstest::Sandbox box;
    vbtest::FakeRunner fake;
    fake.replayFrom(box.replayDir());

    const InProcessRun run = runToolInProcess({"discover", "--json", "/dev/gpfs0"});

    ASSERT_EQ(run.status, 0) << shown(run);
    EXPECT_EQ(run.err, "");
    std::vector<std::string> expected{gpfsQuery("/dev/gpfs0")};
    for (const std::string& cmd : gpfstest::wholeDiscovery(gpfstest::Layout::Ccr)) {
        expected.push_back(cmd);
    }
    vbtest::expectCommands(fake.commands(), expected);
    const Json j = Json::parse(run.out);
    EXPECT_EQ(j.at("backend"), "GPFS");
    EXPECT_EQ(j.at("chosen_by"), "device");
    EXPECT_EQ(j.at("name"), "gpfs0");
    EXPECT_EQ(j.at("uuid"), gpfstest::kFsId);
    EXPECT_EQ(j.at("vendor"), "GPFS");
    const Json pvs = Json::array({
        {{"uuid", gpfstest::kPvSdb},
         {"orig_uuid", gpfstest::kPvSdb},
         {"device", "/dev/sdb"},
         {"mirror_id", ""},
         {"state", 1}},
        {{"uuid", gpfstest::kPvSdc},
         {"orig_uuid", gpfstest::kPvSdc},
         {"device", "/dev/sdc"},
         {"mirror_id", ""},
         {"state", 1}},
        {{"uuid", gpfstest::kPvSdd},
         {"orig_uuid", gpfstest::kPvSdd},
         {"device", "/dev/sdd"},
         {"mirror_id", ""},
         {"state", 1}},
    });
    EXPECT_EQ(j.at("pvs"), pvs);
    const Json lvs = Json::array({{{"uuid", gpfstest::kFsId},
                                   {"orig_uuid", gpfstest::kFsId},
                                   {"device", "/dev/gpfs0"},
                                   {"pvs", {gpfstest::kPvSdb, gpfstest::kPvSdc, gpfstest::kPvSdd}},
                                   {"state", 1}}});
    EXPECT_EQ(j.at("lvs"), lvs);
    // The metadata is the captured text with the unique id of this discovery.
    const std::string metadata = j.at("metadata");
    const std::string uid = "$$$UID$$$";
    const size_t from = metadata.find(uid) + uid.size();
    const std::string uniqueId = metadata.substr(from, metadata.find(uid, from) - from);
    EXPECT_EQ(metadata, gpfstest::allDisksText(uniqueId));
}

TEST(CliGpfs, MountControlRunsTheFileSystemCommand) {
    gpfstest::Sandbox box;
    const std::string nodes = box.tempFile("nodes");
    vbtest::writeFile(nodes, "node1\nnode2\n");
    struct Case {
        std::vector<std::string> args;
        std::string command;
        std::string out;
    };
    const std::string mounted = "The file system gpfs0 is mounted.\n";
    const std::vector<Case> cases = {
        {{"mount", "gpfs0"}, "mmmount gpfs0 -a 1>/dev/null", mounted},
        {{"mount", "--phase", "prepare", "gpfs0"}, "mmmount gpfs0 -a 1>/dev/null", mounted},
        {{"mount", "--phase", "local", "gpfs0"}, "mmmount gpfs0 1>/dev/null", mounted},
        {{"mount", "--read-only", "gpfs0"}, "mmmount gpfs0 -o ro 1>/dev/null", mounted},
        {{"mount", "--phase", "local", "--read-only", "gpfs0"},
         "mmmount gpfs0 -o ro 1>/dev/null",
         mounted},
        {{"mount", "--node-file", nodes, "--read-only", "gpfs0"},
         "mmmount gpfs0 -N " + nodes + " 1>/dev/null",
         mounted},
        {{"unmount", "gpfs0"},
         "mmumount gpfs0 -a",
         "The file system gpfs0 is unmounted on all nodes.\n"},
        {{"unmount", "--force", "gpfs0"},
         "mmumount gpfs0 -a -f",
         "The file system gpfs0 is unmounted on all nodes.\n"},
        {{"suspend", "gpfs0"},
         "mmfsctl gpfs0 suspend",
         "The file system gpfs0 is suspended; 'volbridge resume gpfs0' resumes it.\n"},
        {{"resume", "gpfs0"}, "mmfsctl gpfs0 resume", "The file system gpfs0 is resumed.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        vbtest::FakeRunner fake;
        fake.on(c.command);
        const InProcessRun run = runToolInProcess(c.args);
        EXPECT_EQ(run.status, 0) << shown(run);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
        vbtest::expectCommands(fake.commands(), {c.command});
    }
}

TEST(CliGpfs, FailedFileSystemControlExitsWithOne) {
    gpfstest::Sandbox box;
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> commands;
        vbtest::Reply reply;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"unmount fails",
         {"unmount", "gpfs0"},
         {"mmumount gpfs0 -a"},
         {1, "", "mmumount: No file systems were found.\n"},
         1,
         "volbridge unmount: unmounting file system gpfs0 failed (the library's log says why)\n"},
        {"suspend writes an error but exits with 0",
         {"suspend", "gpfs0"},
         {"mmfsctl gpfs0 suspend"},
         {0, "", "mmfsctl: Command failed. Examine previous error messages to determine cause.\n"},
         1,
         "volbridge suspend: suspending file system gpfs0 failed (the library's log says why)\n"},
        {"a mount GPFS calls unavailable counts as done",
         {"mount", "gpfs0"},
         {"mmmount gpfs0 -a 1>/dev/null"},
         {1, "", "mmmount: File system gpfs0 is unavailable on node3.\n"},
         0,
         ""},
        {"a name the shell would interpret: nothing runs",
         {"resume", "gpfs0;reboot"},
         {},
         {},
         1,
         "volbridge resume: resuming file system gpfs0;reboot failed (the library's log says "
         "why)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        if (!c.commands.empty()) fake.on(c.commands[0], c.reply.status, c.reply.out, c.reply.err);
        const InProcessRun run = runToolInProcess(c.args);
        EXPECT_EQ(run.status, c.status) << shown(run);
        EXPECT_EQ(run.err, c.err);
        vbtest::expectCommands(fake.commands(), c.commands);
    }
}

TEST(CliGpfs, CanRevertReadsTheDiskIdentifiersOfTheDevices) {
    gpfstest::Sandbox box;
    const std::string meta = box.tempFile("gpfs0.txt");
    vbtest::writeFile(meta, vbtest::readFixture("gpfs/metadata/gpfs0-all-disks.txt"));
    vbtest::FakeRunner fake;
    fake.replayFrom(box.replayDir());

    const InProcessRun run =
        runToolInProcess({"can-revert", "--vendor", "GPFS", "--metadata", meta, "--vg", "gpfs0",
                          "/dev/sdb", "/dev/sdc", "/dev/sdd"});

    EXPECT_EQ(run.status, 0) << shown(run);
    EXPECT_EQ(run.out, "Group gpfs0 can be reverted from /dev/sdb /dev/sdc /dev/sdd.\n");
    vbtest::expectCommands(
        fake.commands(),
        {gpfstest::diskId("/dev/sdb"), gpfstest::diskId("/dev/sdc"), gpfstest::diskId("/dev/sdd")});
}

// ---- every backend ----

// The captured listings of the three volume managers (as in the library's own tests).
const char kPvdisplayText[] =
    "  "
    "/dev/loop9:smp_mixed:262144:-1:8:8:-1:4096:31:17:14:mF5Nbd-aisf-B0ur-j11g-MBML-SGdh-Yz3Tqa\n";

void answerListings(vbtest::FakeRunner& fake) {
    fake.on("vxdisk -qe path", 0, vbtest::readFixture("vxvm/vxdisk_-qe_path.txt"))
        .on("pvdisplay -c", 0, kPvdisplayText)
        .on("mmgetstate", 0, vbtest::readFixture("gpfs/mmgetstate.txt"))
        .on("mmlsnsd -m", 0, vbtest::readFixture("gpfs/mmlsnsd_-m.txt"));
}

TEST(CliBackends, DevicesListsEveryBackendWithItsVendor) {
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    {
        vbtest::FakeRunner fake;
        answerListings(fake);
        const InProcessRun run = runToolInProcess({"devices"});
        ASSERT_EQ(run.status, 0) << shown(run);
        EXPECT_EQ(run.out,
                  "  DEVICE      VENDOR    GROUP\n"
                  "  /dev/sdb    VxVM      datadg\n"
                  "  /dev/sdc    VxVM      datadg\n"
                  "  /dev/sdd    VxVM      datadg\n"
                  "  /dev/loop9  LinuxLVM  smp_mixed\n"
                  "  /dev/sdb    GPFS      nsd1\n"
                  "  /dev/sdc    GPFS      nsd2\n"
                  "  /dev/sdd    GPFS      nsd3\n");
    }
    {
        vbtest::FakeRunner fake;
        answerListings(fake);
        const InProcessRun run = runToolInProcess({"devices", "--json"});
        ASSERT_EQ(run.status, 0) << shown(run);
        const Json j = Json::parse(run.out);
        ASSERT_EQ(j.size(), 7u);
        EXPECT_EQ(
            j[3],
            Json({{"device", "/dev/loop9"}, {"vendor", "LinuxLVM"}, {"vg_name", "smp_mixed"}}));
        EXPECT_EQ(j[6], Json({{"device", "/dev/sdd"}, {"vendor", "GPFS"}, {"vg_name", "nsd3"}}));
    }
}

TEST(CliBackends, FailedListingShowsTheRowsBeforeItThenItsError) {
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "json" : "table");
        vbtest::FakeRunner fake;
        answerListings(fake);
        fake.failCommand(2, 5, "  Locking type -1 initialisation failed.\n");
        const InProcessRun run =
            runToolInProcess(json ? std::vector<std::string>{"devices", "--json"}
                                  : std::vector<std::string>{"devices"});
        EXPECT_EQ(run.status, 1) << shown(run);
        if (json) {
            const Json j = Json::parse(run.out);
            ASSERT_EQ(j.size(), 3u);
            for (const Json& row : j) EXPECT_EQ(row.at("vendor"), "VxVM");
        } else {
            EXPECT_EQ(run.out,
                      "  DEVICE    VENDOR  GROUP\n"
                      "  /dev/sdb  VxVM    datadg\n"
                      "  /dev/sdc  VxVM    datadg\n"
                      "  /dev/sdd  VxVM    datadg\n");
        }
        EXPECT_EQ(run.err.rfind("volbridge devices: the device listing failed: ", 0), 0u)
            << run.err;
        EXPECT_NE(run.err.find("pvdisplay failed"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("at static CWmError LVM::getAllPVList(LVM::DeviceInfoList&) "
                               "(LVM_linux:110)"),
                  std::string::npos)
            << run.err;
        vbtest::expectCommands(fake.commands(), {"vxdisk -qe path", "pvdisplay -c"});
    }
}

TEST(CliBackends, DiscoverOfAPathNoBackendClaims) {
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    vbtest::ScopedTempDir dir;
    const std::string file = dir.file("plain");
    vbtest::writeFile(file, "not a device\n");
    const std::string missing = dir.file("missing");
    struct Case {
        const char* name;
        std::string path;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"a regular file", file,
         "volbridge discover: no backend manages " + file +
             ": it is not under /dev/vx/, not a GPFS file system and not the node of an LVM2 "
             "LV\n"},
        {"a missing path", missing,
         "volbridge discover: LVM::getByLVDevice failed: Failed to stat " + missing +
             ": No such file or directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.on(gpfsQuery(c.path), 0, "");
        const InProcessRun run = runToolInProcess({"discover", "--json", c.path});
        EXPECT_EQ(run.status, 1) << shown(run);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, c.err);
        vbtest::expectCommands(fake.commands(), {gpfsQuery(c.path)});
    }
}

// On a host without VxVM and GPFS, at the default level, standard error holds the tool's own
// lines and nothing of the library's log: the probes that answer "no" are not errors. The log
// comes back with --log-level.
TEST(CliBackends, HostWithoutVxvmAndGpfsShowsOnlyTheToolsOwnLines) {
    const std::string missing = "/dev/nonexistent";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string err;
        std::vector<std::string> logged;  // the library's log lines, by their ends
    };
    const std::vector<Case> cases = {
        {"devices", {"devices"}, 0, "", {}},
        {"discover of a missing path",
         {"discover", missing},
         1,
         "volbridge discover: LVM::getByLVDevice failed: Failed to stat " + missing +
             ": No such file or directory\n",
         {}},
        {"devices, log level 2",
         {"devices", "--log-level", "2"},
         0,
         "",
         {"mmgetstate is not installed: no GPFS devices on this host (sh: 1: mmgetstate: not "
          "found)"}},
        {"discover of a missing path, log level 2",
         {"discover", "--log-level", "2", missing},
         1,
         "volbridge discover: LVM::getByLVDevice failed: Failed to stat " + missing +
             ": No such file or directory\n",
         {"device '" + missing + "' is NOT GPFS filesystem []"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbhost::MemoryLogSink log;
        vbhost::ScopedLogSink sink(log);
        vbtest::FakeRunner fake;
        fake.always("vxdisk -qe path", 127, "", "sh: 1: vxdisk: not found\n")
            .always("pvdisplay -c", 0, kPvdisplayText)
            .always("mmgetstate", 127, "", "sh: 1: mmgetstate: not found\n")
            .always(gpfsQuery(missing), 0, "");
        const InProcessRun run = runToolInProcess(c.args);
        EXPECT_EQ(run.status, c.status) << shown(run);
        EXPECT_EQ(run.err, c.err);
        std::vector<std::string> logged;
        for (const std::string& record : log.records()) {
            for (const std::string& line : c.logged) {
                if (record.size() > line.size() &&
                    record.compare(record.size() - line.size(), line.size(), line) == 0) {
                    logged.push_back(line);
                }
            }
        }
        EXPECT_EQ(logged, c.logged);
        if (c.logged.empty()) {
            EXPECT_EQ(log.records(), std::vector<std::string>{});
        }
    }
}

}  // namespace
