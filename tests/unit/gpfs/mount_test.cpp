// Mount control of GPFS file systems: the mount forms, failures, the pause after a mount, node
// files and the removal of temporary files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "GpfsSandbox.h"
#include "gpfs/gpfs_mount.h"

namespace {

using gpfstest::Sandbox;

TEST(GpfsMount, EveryPhaseAndAccessGivesItsCommand) {
    const std::string all = "mmmount gpfs0 -a 1>/dev/null";
    const std::string readOnly = "mmmount gpfs0 -o ro 1>/dev/null";
    const std::string local = "mmmount gpfs0 1>/dev/null";
    const std::string nodes = "nodes";  // a node file in the temp directory
    struct Case {
        RevertPhase phase;
        bool readOnly;
        std::string nodeFile;
        std::string cmd;
    } cases[] = {
        {RP_PREPARE, false, "", all},
        {RP_PREPARE, true, "", readOnly},
        {RP_REVERT, false, "", all},
        {RP_REVERT, true, "", readOnly},
        {RP_LOCAL, false, "", local},
        {RP_LOCAL, true, "", readOnly},
        {RP_CANCEL, false, "", all},
        {RP_CANCEL, true, "", readOnly},
        {RP_DESTROY, false, "", all},
        {RP_DESTROY, true, "", readOnly},
        {RP_NO_UNMOUNT, false, "", all},
        {RP_NO_UNMOUNT, true, "", readOnly},
        {RP_LOCAL, true, nodes, "mmmount gpfs0 -N NODES 1>/dev/null"},
        {RP_REVERT, false, nodes, "mmmount gpfs0 -N NODES 1>/dev/null"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.phase) + (c.readOnly ? " read-only " : " read-write ") +
                     c.nodeFile);
        Sandbox box;
        std::string nodeFile, cmd = c.cmd;
        if (!c.nodeFile.empty()) {
            nodeFile = box.tempFile(c.nodeFile);
            vbtest::writeFile(nodeFile, "node1\n");
            cmd.replace(cmd.find("NODES"), 5, nodeFile);
        }
        vbtest::FakeRunner fake;
        fake.on(cmd);
        gpfstest::Backend gpfs;
        LVM& lvm = gpfs;
        EXPECT_TRUE(lvm.mountFS("gpfs0", nodeFile, c.phase, c.readOnly));
        vbtest::expectCommands(fake.commands(), {cmd});
    }
}

// The node file names the nodes GPFS mounts on: one anybody else could have written or changed
// is refused, and nothing runs.
TEST(GpfsMount, ANodeFileNotOfThisUserIsRefused) {
    struct Case {
        const char* name;
        std::function<void(const std::string&, const Sandbox&)> make;
        const char* why;
    } cases[] = {
        {"missing", [](const std::string&, const Sandbox&) {}, "it does not exist"},
        {"writable by others",
         [](const std::string& path, const Sandbox&) {
             vbtest::writeFile(path, "node9\n");
             chmod(path.c_str(), 0666);
         },
         "it is writable by group or others (mode 0666)"},
        {"a link",
         [](const std::string& path, const Sandbox& box) {
             vbtest::writeFile(box.tempFile("other"), "node9\n");
             ASSERT_EQ(symlink(box.tempFile("other").c_str(), path.c_str()), 0);
         },
         "it is a symbolic link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        const std::string path = box.tempFile("nodes");
        c.make(path, box);
        vbtest::FakeRunner fake;
        gpfstest::Backend gpfs;
        EXPECT_FALSE(gpfs.mountFS("gpfs0", path, RP_REVERT, false));
        EXPECT_TRUE(fake.commands().empty());
        EXPECT_TRUE(box.log().contains("Refusing the node file " + path + ": " + c.why));
    }
}

TEST(GpfsMount, FailedMountsAndWhatTurnsThemIntoSuccess) {
    struct Case {
        const char* name;
        std::string err;
        const char* marker;
        bool result;
    } cases[] = {
        {"failure", "mmmount: mount failed\n", nullptr, false},
        {"some disks unavailable", "mmmount: disks unavailable\n", nullptr, true},
        {"operator ignores failed mounts", "mmmount: mount failed\n", "gpfsMountIgnore", true},
        {"exit status alone", "", nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        if (c.marker) box.setMarker(c.marker);
        vbtest::FakeRunner fake;
        fake.on("mmmount gpfs0 -a 1>/dev/null", 1, "", c.err);
        gpfstest::Backend gpfs;
        EXPECT_EQ(gpfs.mountFS("gpfs0", "", RP_REVERT, false), c.result);
        EXPECT_TRUE(box.log().contains("Error: cmd: 'mmmount gpfs0 -a 1>/dev/null' failed"));
        EXPECT_TRUE(box.clock().sleeps().empty()) << "no pause after a failed mount";
    }

    Sandbox box;
    box.setMarker("gpfsMountWait");
    box.clock().removeAfter(box.marker("gpfsMountWait"), 2);
    vbtest::FakeRunner fake;
    fake.on("mmmount gpfs0 -a 1>/dev/null", 0, "", "mmmount: some text\n");
    gpfstest::Backend gpfs;
    EXPECT_FALSE(gpfs.mountFS("gpfs0", "", RP_CANCEL, false)) << "any standard error fails it";
    EXPECT_EQ(box.clock().sleeps(), (std::vector<uint64_t>{2000, 2000}));
}

// Each control operation runs one command: when it fails, the caller gets false, the log names
// the command and its error, and nothing else runs (no pause either).
TEST(GpfsMount, AFailedControlCommandGivesFalseAndNothingElseRuns) {
    struct Case {
        const char* name;
        std::function<bool(LVM&)> call;
        std::string cmd;
    } cases[] = {
        {"mount", [](LVM& lvm) { return lvm.mountFS("gpfs0", "", RP_REVERT, false); },
         "mmmount gpfs0 -a 1>/dev/null"},
        {"unmount", [](LVM& lvm) { return lvm.unmountFS("gpfs0", true); }, "mmumount gpfs0 -a -f"},
        {"suspend", [](LVM& lvm) { return lvm.suspendFS("gpfs0"); }, "mmfsctl gpfs0 suspend"},
        {"resume", [](LVM& lvm) { return lvm.resumeFS("gpfs0"); }, "mmfsctl gpfs0 resume"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        vbtest::FakeRunner fake;
        fake.failCommand(1).on(c.cmd);
        gpfstest::Backend gpfs;
        EXPECT_FALSE(c.call(gpfs));
        vbtest::expectCommands(fake.commands(), {c.cmd});
        EXPECT_TRUE(box.log().contains("Error: cmd: '" + c.cmd +
                                       "' failed with error: 'injected failure'"));
        EXPECT_TRUE(box.clock().sleeps().empty());
    }
}

TEST(GpfsMount, PauseAfterMountAndUnmountComesFromTheConfiguration) {
    struct Case {
        const char* value;  // null: not configured
        std::vector<uint64_t> sleeps;
    } cases[] = {{nullptr, {1000, 1000}}, {"0", {}},
                 {"7", {7000, 7000}},     {"120", {120000, 120000}},
                 {"500", {1000, 1000}},   {"soon", {1000, 1000}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "missing");
        Sandbox box;
        if (c.value) box.setConfig("Oxbrook", "nGPFSMountDelayInSeconds", c.value);
        vbtest::FakeRunner fake;
        fake.on("mmmount gpfs0 1>/dev/null").on("mmumount gpfs0 -a");
        gpfstest::Backend gpfs;
        EXPECT_TRUE(gpfs.mountFS("gpfs0", "", RP_LOCAL, false));
        EXPECT_TRUE(gpfs.unmountFS("gpfs0", false));
        EXPECT_EQ(box.clock().sleeps(), c.sleeps);
    }
}

TEST(GpfsMount, UnmountSuspendAndResume) {
    Sandbox box;
    vbtest::FakeRunner fake;
    fake.on("mmumount gpfs0 -a -f", 0, "unmounted\n")
        .on("mmumount gpfs0 -a", 1, "", "mmumount: busy\n")
        .on("mmfsctl gpfs0 suspend", 0, "suspended\n")
        .on("mmfsctl gpfs0 resume", 0, "resumed\n")
        .on("mmfsctl gpfs0 suspend", 0, "", "mmfsctl: no\n")
        .on("mmfsctl gpfs0 resume", 2, "", "");
    gpfstest::Backend gpfs;
    LVM& lvm = gpfs;

    EXPECT_TRUE(lvm.unmountFS("gpfs0", true));
    EXPECT_FALSE(lvm.unmountFS("gpfs0", false));
    EXPECT_TRUE(
        box.log().contains("Error: cmd: 'mmumount gpfs0 -a' failed with error: "
                           "'mmumount: busy\n'"));
    EXPECT_TRUE(lvm.suspendFS("gpfs0"));
    EXPECT_TRUE(lvm.resumeFS("gpfs0"));
    EXPECT_FALSE(lvm.suspendFS("gpfs0"));
    EXPECT_FALSE(lvm.resumeFS("gpfs0"));
    EXPECT_TRUE(box.log().contains("LVM_gpfs::suspendFS:"));
    EXPECT_TRUE(box.log().contains("Info: suspendFS out 'suspended\n' "));
    EXPECT_TRUE(box.log().contains("Info: resumeFS out 'resumed\n' "));
    EXPECT_TRUE(
        box.log().contains("Error: cmd: 'mmfsctl gpfs0 suspend' failed with error: "
                           "'mmfsctl: no\n'"));
    EXPECT_EQ(box.clock().sleeps(), (std::vector<uint64_t>{1000}));

    // A name the shell would interpret is refused before anything runs.
    EXPECT_FALSE(lvm.mountFS("gpfs0;reboot", "", RP_LOCAL, false));
    EXPECT_FALSE(lvm.unmountFS("gpfs0 x", true));
    EXPECT_FALSE(lvm.mountFS("gpfs0", "/t/nodes;reboot", RP_LOCAL, false));
    EXPECT_EQ(fake.commands().size(), 6u);
    EXPECT_TRUE(
        box.log().contains("Refusing to run a command with the node file [/t/nodes;reboot]"));
}

TEST(GpfsMount, MountNodesGoToThePrivateNodeFile) {
    Sandbox box;
    vbtest::FakeRunner fake;
    fake.replayFrom(box.replayDir());
    gpfstest::Backend gpfs;
    std::string nodes;
    EXPECT_TRUE(gpfs.getMountNodes("gpfs0", nodes));
    vbtest::expectCommands(fake.commands(), {gpfstest::mountNodes("gpfs0")});
    EXPECT_EQ(nodes, "node1\nnode2\n");
    const std::string file = box.tempFile("gpfsMNodeList_42");
    EXPECT_EQ(vbtest::readFile(file), "node1\nnode2\n");
    struct stat st;
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // Unmounted everywhere: an empty node file, and a log line that says why.
    vbtest::FakeRunner unmounted;
    unmounted.on(gpfstest::mountNodes("gpfs0"), 0, "File system gpfs0 is not mounted.\n");
    EXPECT_TRUE(gpfs.getMountNodes("gpfs0", nodes));
    EXPECT_EQ(nodes, "");
    EXPECT_EQ(vbtest::readFile(file), "");
    EXPECT_TRUE(box.log().contains(
        "mmlsmountOut did not return nodes. Probably the file system is unmounted!!!"));

    // The file cannot be written: false, with what the failed listing printed.
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    vbtest::FakeRunner again;
    again.on(gpfstest::mountNodes("gpfs0"), 1,
             "File system gpfs0 is mounted on 2 nodes:\n  10.0.0.1        node1\n",
             "mmlsmount: partial\n");
    EXPECT_FALSE(gpfs.getMountNodes("gpfs0", nodes));
    EXPECT_EQ(nodes, "node1\n");
    EXPECT_TRUE(box.log().contains("Could not open node file '" + file + "'"));
}

// Current releases list the nodes of other clusters that mount a file system remotely, each
// with its cluster's name: only the nodes of the cluster that owns it are mounted on again.
TEST(GpfsMount, OnlyNodesOfThisClusterGoToTheNodeFile) {
    Sandbox box;
    vbtest::FakeRunner fake;
    fake.on(gpfstest::mountNodes("gpfs0"), 0,
            vbtest::readFixture("gpfs/remote-mounts/mmlsmount_gpfs0_-L.txt"));
    gpfstest::Backend gpfs;
    std::string nodes;
    EXPECT_TRUE(gpfs.getMountNodes("gpfs0", nodes));
    EXPECT_EQ(nodes, "node1\nnode2\n");
    EXPECT_EQ(vbtest::readFile(box.tempFile("gpfsMNodeList_42")), "node1\nnode2\n");

    struct Case {
        const char* name;
        std::string text;
        std::string nodes;
    } cases[] = {
        {"the captured layout, without clusters",
         vbtest::readFixture("gpfs/mmlsmount_gpfs0_-L.txt"), "node1\nnode2\n"},
        {"nodes of two clusters", vbtest::readFixture("gpfs/remote-mounts/mmlsmount_gpfs0_-L.txt"),
         "node1\nnode2\n"},
        {"not mounted", "File system gpfs0 is not mounted.\n", ""},
        {"another file system's header",
         "File system gpfs1 is mounted on 1 nodes:\n  10.0.0.1 node1\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(volbridge::gpfs::mountedNodes(c.text, "gpfs0"), c.nodes);
    }
}

TEST(GpfsMount, CleanTempRemovesTheFiveFilesOfThisCapture) {
    Sandbox box;
    gpfstest::Backend gpfs;
    GPFSMetadata md;
    std::map<std::string, std::string> pvMap, lvMap;
    gpfs.parseMetadata(vbtest::readFixture("gpfs/metadata/gpfs0-all-disks.txt"), md, pvMap, lvMap);
    const std::string suffix = "1700000000123456_42";
    for (const char* prefix : {"gpfsMNodeList_", "mmsdrfsExport_", "nsdListFile_"})
        vbtest::writeFile(box.tempFile(prefix + suffix), "x");
    vbtest::writeFile(box.tempFile("stanzaFile_other_42"), "not ours");
    box.log().clear();

    EXPECT_TRUE(gpfs.cleanTemp(""));

    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(box.tempDir()),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_EQ(box.log().count("unlink failed for"), 2u);
    EXPECT_TRUE(box.log().contains(" L3 job=42 bool LVM_gpfs::cleanTemp(const std::string&):"));
    EXPECT_TRUE(box.log().contains("unlink failed for '" + box.tempFile("stanzaFile_" + suffix)));
    EXPECT_TRUE(
        box.log().contains("unlink failed for '" + box.tempFile("gpfsRevExport_" + suffix)));
    EXPECT_TRUE(box.log().contains("It is ok for unlink to fail for files that did not exist"));

    EXPECT_TRUE(gpfs.cleanTemp(box.tempFile("stanzaFile_other_42")));
    EXPECT_FALSE(gpfs.cleanTemp(box.tempFile("stanzaFile_other_42")));
    EXPECT_TRUE(box.log().contains("ERROR job=42 bool LVM_gpfs::cleanTemp"));
}

}  // namespace
