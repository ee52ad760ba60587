// Teardown of a GPFS file system: the clean-up of each phase, the removal of a file system made
// by clone import with its forced removal and tiebreaker path, and what the checks refuse
// before anything runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>

#include "GpfsSandbox.h"
#include "OtherUser.h"
#include "gpfs/gpfs_destroy.h"

namespace {

using gpfstest::Sandbox;

const char kDestroy[] = "virtual void LVM_gpfs::destroyVG(const char*)";

// Answers every "mmexportfs <fs> -o FILE" by writing FILE, as GPFS does on success.
void exportWrites(vbtest::FakeRunner& fake, int status = 0, const std::string& err = "") {
    fake.onMatch("mmexportfs gpfs0 -o .*", [status, err](const std::string& cmd) {
        if (status == 0) vbtest::writeFile(cmd.substr(cmd.find(" -o ") + 4), "exported gpfs0\n");
        return vbtest::Reply{status, "", err};
    });
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
            teardown ? box.tempFile("yb_exportFile_gpfs0") : box.tempFile("gpfsRevExport_42");
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

// The forced removal after a failed export: the outcome is the first step that failed, or the
// removal when every step went through.
TEST(GpfsTeardown, DestroyRemovesWhatCloneImportMade) {
    const std::string tiebreakerError =
        "mmexportfs: Disk nsd3 is a tiebreaker disk and cannot be exported.\n"
        "mmexportfs: Command failed.\n";
    const std::string restart[] = {"mmshutdown -a ", "mmstartup -a "};
    const std::string delfsFailed =
        "Error: cmd: 'mmdelfs gpfs0 -p' failed with error: "
        "'mmdelfs: busy\n'";
    struct Case {
        const char* name;
        bool exists;
        std::string exportError;  // empty: the export succeeds
        bool delfsFails;
        bool forced;
        bool tiebreaker;
        std::string error;  // what destroyVG throws; empty: nothing
    } cases[] = {
        {"missing file system", false, "", false, false, false, ""},
        {"unmounted and exported", true, "", false, false, false, ""},
        {"failed export: forced removal", true, "mmexportfs: cannot\n", false, true, false, ""},
        {"failed export and failed deletion", true, "mmexportfs: cannot\n", true, true, false,
         delfsFailed},
        {"tiebreaker disk blocks the export", true, tiebreakerError, false, true, true, ""},
        {"EIO with ENODEV deletes nothing", true, "mmexportfs: EIO on nsd2, ENODEV on nsd3\n",
         false, false, false,
         "Error: the file system gpfs0 was neither exported nor deleted (the export failed with "
         "EIO and ENODEV)"},
        {"a tiebreaker name that is no disk name", true, "mmexportfs: tiebreaker Disk a;b is bad\n",
         true, true, false, delfsFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir());
        if (!c.exists) fake.on(gpfstest::presence("gpfs0"), 1, "", gpfstest::notKnown("gpfs0"));
        fake.on("mmumount gpfs0 -a -f");
        exportWrites(fake, c.exportError.empty() ? 0 : 1, c.exportError);
        std::string nsdList;
        fake.on("mmdelfs gpfs0 -p", c.delfsFails ? 1 : 0, "", c.delfsFails ? "mmdelfs: busy\n" : "")
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

        EXPECT_EQ(gpfstest::failure([&] { gpfs.destroyVG("gpfs0"); }, kDestroy),
                  c.error.empty() ? "(no exception)" : c.error);

        std::vector<std::string> expected{gpfstest::presence("gpfs0")};
        if (c.exists) {
            expected.push_back("mmumount gpfs0 -a -f");
            expected.push_back("mmexportfs gpfs0 -o " + box.tempFile("yb_exportFile_gpfs0"));
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
        EXPECT_EQ(gpfstest::filesIn(box.configFile("")),
                  (std::vector<std::string>{"mmfsNodeData", "mmsdrfs"}));
        struct stat st;
        ASSERT_EQ(stat(box.configFile("mmsdrfs").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        if (c.forced) {
            EXPECT_EQ(nsdList, "nsd1\nnsd2\nnsd3\n");
        }
        EXPECT_FALSE(std::filesystem::exists(box.tempFile("yb_exportFile_gpfs0")));
        // The temporary files of the object's capture go when the file system went, unless the
        // operator keeps them.
        EXPECT_EQ(std::filesystem::exists(box.tempFile("stanzaFile_42")),
                  !c.exists || !c.error.empty());
        if (!c.exists) {
            EXPECT_TRUE(
                box.log().contains("Filesystem by name 'gpfs0' does not exist. Returning."));
        }
    }
}

// A failure at each command destroy runs: the first failure that leaves the file system in the
// cluster is what the caller gets; an unmount or export that fails leads on to the removal by
// force, whose steps are each tried.
TEST(GpfsTeardown, DestroyReportsTheFirstFailureThatLeavesTheFileSystem) {
    const std::string cannotTell =
        "Error: cannot tell whether the file system gpfs0 exists: Error: cmd: 'mmlsfs gpfs0 -T' "
        "failed with error: 'injected failure'";
    auto failed = [](const std::string& cmd) {
        return "Error: cmd: '" + cmd + "' failed with error: 'injected failure'";
    };
    auto commandsOf = [](const Sandbox& box, bool exportFails) {
        std::vector<std::string> whole{
            gpfstest::presence("gpfs0"), "mmumount gpfs0 -a -f",
            "mmexportfs gpfs0 -o " + box.tempFile("yb_exportFile_gpfs0")};
        return exportFails ? joined(whole, forcedRemoval(box, "")) : whole;
    };
    for (bool exportFails : {false, true}) {
        const size_t count = exportFails ? 6 : 3;
        for (size_t n = 1; n <= count; ++n) {
            Sandbox box;
            const std::vector<std::string> whole = commandsOf(box, exportFails);
            SCOPED_TRACE("command " + std::to_string(n) + " fails: " + whole[n - 1] +
                         (exportFails ? " (the export fails)" : ""));
            gpfstest::StatefulCluster cluster(box, true);
            vbtest::FakeRunner fake;
            fake.failCommand(n);
            if (exportFails) fake.always(whole[2], 1, "", "mmexportfs: cannot\n");
            cluster.answer(fake);
            gpfstest::Backend gpfs;

            std::string error = "(no exception)";
            if (n == 1) error = cannotTell;
            if (exportFails && n > 3) error = failed(whole[n - 1]);
            EXPECT_EQ(gpfstest::failure([&] { gpfs.destroyVG("gpfs0"); }, kDestroy), error);

            std::vector<std::string> expected(whole.begin(), whole.begin() + (n == 1 ? 1 : 3));
            // A failed export (injected or not) leads on to the removal by force.
            if (n > 1 && (n == 3 || exportFails))
                expected = joined(expected, forcedRemoval(box, ""));
            vbtest::expectCommands(fake.commands(), expected);
            EXPECT_EQ(cluster.present(), n == 1 || (exportFails && n == 5));
        }
    }
}

// Nothing runs but the check when the name or a file is refused, or when GPFS cannot say
// whether the file system exists; nothing planted is used or removed.
TEST(GpfsTeardown, DestroyRefusesBeforeAnythingChanges) {
    struct Case {
        const char* name;
        std::string fs;
        std::function<std::string(Sandbox&)> plant;  // returns the planted path
        std::function<void(vbtest::FakeRunner&)> answer;
        std::vector<std::string> commands;
        std::function<std::string(const Sandbox&)> message;
    } cases[] = {
        {"a name that is a path",
         "x/mmsdrfs",
         nullptr,
         nullptr,
         {},
         [](const Sandbox&) {
             return std::string(
                 "Error: the file-system name [x/mmsdrfs] is not a GPFS name (letters, digits, "
                 "\"_\", \"-\" and \".\", not beginning with \"-\" or \".\")");
         }},
        {"GPFS is down",
         "gpfs0",
         nullptr,
         [](vbtest::FakeRunner& fake) {
             fake.on(gpfstest::presence("gpfs0"), 1, "",
                     "mmlsfs: The GPFS daemon is not running.\n");
         },
         {gpfstest::presence("gpfs0")},
         [](const Sandbox&) {
             return std::string(
                 "Error: cannot tell whether the file system gpfs0 exists: Error: cmd: 'mmlsfs "
                 "gpfs0 -T' failed with error: 'mmlsfs: The GPFS daemon is not running.\n'");
         }},
        {"a link planted where the export goes",
         "gpfs0",
         [](Sandbox& box) {
             const std::string path = box.tempFile("yb_exportFile_gpfs0");
             vbtest::writeFile(box.tempFile("victim"), "precious");
             EXPECT_EQ(symlink(box.tempFile("victim").c_str(), path.c_str()), 0);
             return path;
         },
         nullptr,
         {gpfstest::presence("gpfs0")},
         [](const Sandbox& box) {
             return "Refusing to use the file " + box.tempFile("yb_exportFile_gpfs0") +
                    ": it is a symbolic link";
         }},
        {"another user's file where the export goes",
         "gpfs0",
         [](Sandbox& box) {
             const std::string file = vbtest::otherUsersFile(box.tempDir(), "not ours\n");
             if (file.empty()) return std::string();
             const std::string path = box.tempFile("yb_exportFile_gpfs0");
             std::filesystem::rename(file, path);
             return path;
         },
         nullptr,
         {gpfstest::presence("gpfs0")},
         [](const Sandbox& box) {
             return "Refusing to use the file " + box.tempFile("yb_exportFile_gpfs0") +
                    ": it belongs to uid " + std::to_string(vbtest::kOtherUid) +
                    ", not to this process's user (uid " + std::to_string(geteuid()) + ")";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        std::string planted;
        if (c.plant) {
            planted = c.plant(box);
            if (planted.empty()) continue;  // no file of another user to be had here
        }
        gpfstest::StatefulCluster cluster(box, true);
        vbtest::FakeRunner fake;
        if (c.answer) c.answer(fake);
        cluster.answer(fake);
        gpfstest::Backend gpfs;
        EXPECT_EQ(gpfstest::failure([&] { gpfs.destroyVG(c.fs.c_str()); }, kDestroy),
                  c.message(box));
        vbtest::expectCommands(fake.commands(), c.commands);
        EXPECT_TRUE(cluster.present());
        if (!planted.empty()) {
            EXPECT_TRUE(std::filesystem::is_symlink(planted) || std::filesystem::exists(planted));
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
         "Error: cmd: 'awk",
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
        // The file system is gone, but the cluster's configuration was not repaired.
        EXPECT_EQ(gpfstest::failure([&] { gpfs.destroyVG("gpfs0"); }, kDestroy).rfind(c.log, 0),
                  0u);
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
    const std::string notAName =
        "is not a GPFS name (letters, digits, \"_\", \"-\" and \".\", not beginning with \"-\" or "
        "\".\")";
    EXPECT_EQ(gpfstest::failure([&] { gpfs.destroyVG(nullptr); }, kDestroy),
              "Error: vg_name is NULL");
    EXPECT_EQ(gpfstest::failure([&] { gpfs.destroyVG("gpfs0 -p; x"); }, kDestroy),
              "Error: the file-system name [gpfs0 -p; x] " + notAName);
    LVM::VG vg;
    vg.name = "-a";
    EXPECT_FALSE(gpfs.cleanFS(vg, {}, RP_DESTROY));
    EXPECT_EQ(gpfstest::failure(
                  [&] {
                      gpfs.prepRevertLV(
                          vg, vbtest::readFixture("gpfs/metadata/gpfs0-all-disks.txt").c_str(),
                          {"/dev/sdb"});
                  },
                  "virtual bool LVM_gpfs::prepRevertLV(const LVM::VG&, const char*, const "
                  "std::list<std::string>&)"),
              "Error: the file-system name [-a] " + notAName);
    std::string out;
    EXPECT_FALSE(gpfs.stopDisks("gpfs0", "", out));
    EXPECT_FALSE(gpfs.startDisks("gpfs0", "nsd1;nsd$(x)", out));
    EXPECT_TRUE(fake.commands().empty());
}

}  // namespace
