// What every GPFS backend test stands on: the fake host (temp, marker and state directories of
// the test's own, its configuration, a fake clock, the log in memory) and what is GPFS's own:
// answers replayed from captured output and the GPFS configuration files.
//
//   gpfstest::Sandbox box(gpfstest::Layout::ServerBased);
//   vbtest::FakeRunner fake;
//   fake.replayFrom(box.replayDir());
//   gpfstest::Backend gpfs;                       // job id 42
//   LVM::VG vg = gpfs.getVGByLVDevice("/dev/gpfs0");
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "FakeRunner.h"
#include "Fixtures.h"
#include "LVM/LVM.h"
#include "core/Markers.h"
#include "core/ScopedOverride.h"
#include "gpfs/gpfs_internal.h"
#include "host/HostSeams.h"
#include "host/YbException.h"

namespace gpfstest {

// The two layouts "mmlscluster" prints: one dashed line (CCR repository) or two (configuration
// servers listed first).
enum class Layout { Ccr, ServerBased };

// The captured pvIds of the three disks of gpfs0.
const char kPvSdb[] = "0A0000015F3A2B01#nsd1:0A0000015F3A2B01";
const char kPvSdc[] = "0A0000015F3A2B04#nsd2:0A0000015F3A2B04";
const char kPvSdd[] = "0A0000015F3A2B07#nsd3:0A0000015F3A2B07";
const char kFsId[] = "0A000001:5F3A2C10";
const char kClusterIdValue[] = "12399838388936568191";

// The backend with its state in reach of the tests.
class Backend : public LVM_gpfs {
  public:
    using LVM_gpfs::m_excludeList;
    using LVM_gpfs::m_failureGroup;
};

class Sandbox {
  public:
    explicit Sandbox(Layout layout = Layout::Ccr)
        : host_(4),
          replayDir_(host_.scratch("replay")),
          configDir_(host_.scratch("mmfs-gen")),
          configDirGuard_(volbridge::gpfs::configDirectory(), configDir_) {
        for (const std::string& dir : {replayDir_, configDir_}) {
            std::filesystem::create_directory(dir);
        }
        for (const auto& entry : std::filesystem::directory_iterator(vbtest::fixturePath("gpfs"))) {
            const std::string name = entry.path().filename();
            if (!entry.is_regular_file() || name.size() < 4 ||
                name.compare(name.size() - 4, 4, ".txt") != 0) {
                continue;
            }
            setReplay(name, vbtest::readFile(entry.path()));
        }
        setReplay("mmlscluster.txt",
                  vbtest::readFixture(layout == Layout::Ccr ? "gpfs/mmlscluster.ccr.txt"
                                                            : "gpfs/mmlscluster.server-based.txt"));
        vbtest::writeFile(configFile("mmsdrfs"), mmsdrfs());
        vbtest::writeFile(configFile("mmfsNodeData"), mmfsNodeData());
    }

    // Answers for the command whose replay file is `name`. A name with "_gpfs0" answers the
    // commands on "/dev/gpfs0" as well.
    void setReplay(const std::string& name, const std::string& text) {
        vbtest::writeFile(replayDir_ + "/" + name, text);
        const size_t at = name.find("_gpfs0");
        if (at != std::string::npos) {
            std::string dev = name;
            dev.insert(at, "_dev");
            vbtest::writeFile(replayDir_ + "/" + dev, text);
        }
    }

    const std::string& replayDir() const { return replayDir_; }
    const std::string& tempDir() const { return host_.tempDir(); }
    const std::string& stateDir() const { return host_.stateDir(); }
    std::string configFile(const std::string& name) const { return configDir_ + "/" + name; }
    std::string tempFile(const std::string& name) const { return host_.tempFile(name); }
    std::string marker(const std::string& name) const { return host_.marker(name); }
    // A trusted operator marker `name`.
    void setMarker(const std::string& name) { host_.setMarker(name); }
    // A host configuration value.
    void setConfig(const std::string& section, const std::string& key, const std::string& value) {
        host_.setConfig(section, key, value);
    }
    // Makes "mmlscluster" describe another cluster than the captured one.
    void useOtherCluster() {
        std::string text = vbtest::readFixture("gpfs/mmlscluster.ccr.txt");
        const std::string id = kClusterIdValue;
        text.replace(text.find(id), id.size(), "4411223344556677889");
        setReplay("mmlscluster.txt", text);
    }

    vbhost::MemoryLogSink& log() { return host_.log(); }
    vbtest::HostClock& clock() { return host_.clock(); }
    vbtest::FakeHost& host() { return host_; }

    static std::string mmsdrfs() { return vbtest::readFixture("gpfs/mmsdrfs.head.txt"); }
    static std::string mmfsNodeData() { return vbtest::readFixture("gpfs/mmfsNodeData.txt"); }

  private:
    vbtest::FakeHost host_;
    std::string replayDir_, configDir_;
    volbridge::ScopedOverride<std::string> configDirGuard_;
};

// Runs `body` in a process of its own, which exits with what it returns (or as the body ends
// it); returns the process id, -1 when there is none.
inline pid_t inAnotherProcess(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child != 0) return child;
    _exit(body());
}

// The exit status of the process `child`; -1 when it did not exit.
inline int exitStatusOf(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// The names of the files in `dir`, sorted.
inline std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// The message of the YbException `run` throws, checking function name and unit; "(no
// exception)" when it throws none.
template <class F>
std::string failure(F&& run, const std::string& func, int* err = nullptr) {
    try {
        run();
    } catch (const YbException& e) {
        EXPECT_EQ(e.getFuncName(), func);
        EXPECT_EQ(e.getFileName(), "LVM_gpfs");
        if (err) *err = e.getErrno();
        return e.getMessage();
    }
    return "(no exception)";
}

// ---- a file system of any size, in the layouts of the captured output ----

// One disk of a generated file system.
struct Disk {
    std::string nsd;
    int group;
    std::string holds;       // "yes" (metadata and data), "no" (neither: descriptor only),
                             // "metadata" or "data" (that only)
    std::string remarks;     // "desc" when the disk carries a descriptor replica, else ""
    std::string device;      // local device, "-" when the disk has none on this node
    std::string everywhere;  // its device as seen over all nodes
    std::string status = "ready";
};

// The NSD volume id (and disk id) of the i-th generated disk.
inline std::string volumeId(size_t i) {
    char id[32];
    snprintf(id, sizeof id, "0A0000015F3A%04X", static_cast<unsigned>(i + 1) & 0xffff);
    return id;
}

// Writes the replay files of gpfs0 on `disks`: the NSD listing, the disk listings and views, and
// each disk's descriptor. `capitalised` prints "Yes"/"No" as current GPFS releases do.
inline void answerFor(Sandbox& box, const std::vector<Disk>& disks, bool capitalised = false) {
    auto word = [&](const char* text) {
        return capitalised ? std::string(1, static_cast<char>(toupper(text[0]))) + (text + 1)
                           : std::string(text);
    };
    // The "holds metadata" and "holds data" columns.
    auto holds = [&](const Disk& d) {
        const bool metadata = d.holds == "yes" || d.holds == "metadata";
        const bool data = d.holds == "yes" || d.holds == "data";
        return word(metadata ? "yes" : "no") + "      " + word(data ? "yes" : "no");
    };
    std::string nsdL =
        "\n File system   Disk name    NSD volume ID      NSD servers\n"
        "---------------------------------------------------------------\n";
    std::string diskL =
        "disk         driver   sector     failure holds    holds                                 "
        "   storage\n"
        "name         type       size       group metadata data  status        availability disk "
        "id pool         remarks\n"
        "------------ -------- ------ ----------- -------- ----- ------------- ------------ "
        "------- ------------ ---------\n";
    const std::string viewHeader =
        "\nDisk name     IO performed on node     Device             Availability\n"
        "------------  -----------------------  -----------------  ------------\n";
    std::string local = viewHeader, all = viewHeader;
    for (size_t i = 0; i < disks.size(); ++i) {
        const Disk& d = disks[i];
        const std::string g = std::to_string(d.group);
        nsdL += " gpfs0         " + d.nsd + "         " + volumeId(i) + "   node1,node2\n";
        diskL += d.nsd + "         nsd         512           " + g + " " + holds(d) + "   " +
                 d.status + "         up                 " + std::to_string(i + 1) +
                 " system        " + d.remarks + "\n";
        const std::string row = d.nsd + "          localhost                ";
        local += row + d.device + "           up\n";
        all += row + d.everywhere + "           up\n";
        if (d.device != "-") {
            box.setReplay(
                vbtest::FakeRunner::replayFileName("mmfsadm test readdescraw " + d.device),
                "FS descriptor in sector 2 of " + d.device + "\n  FS disk " +
                    std::to_string(i + 1) + " uid " + volumeId(i) +
                    " sgUid 0A000001:5F3A2C10 name " + d.nsd + " failureGroup " + g + "\n");
        }
    }
    diskL += "Number of quorum disks: 3 \nRead quorum value:      2\nWrite quorum value:     2\n";
    box.setReplay("mmlsnsd_-f_gpfs0_-L.txt", nsdL);
    box.setReplay("mmlsdisk_gpfs0_-L.txt", diskL);
    box.setReplay("mmlsdisk_gpfs0_-m.txt", local);
    box.setReplay("mmlsdisk_gpfs0_-M.txt", all);
}

// ---- the commands of discovery, as GPFS is asked ----

inline std::string fsIdCommand(const std::string& fs) {
    return "mmfsadm dump fs | awk '{ if ( $0 ~/ " + fs + "$/ ){ printf $4; } }'";
}
const char kClusterId[] = "mmlscluster | awk '{ if ( $0 ~/ id:/ ) printf $4 }'";
const char kNodes[] =
    "mmlscluster| awk 'BEGIN {flag=0;} {if (flag > 1 && $0 != \"\") printf $2\";\"; if ($1 "
    "~/-------/) flag = flag+1;}'";
const char kNodesOneDash[] =
    "mmlscluster| awk 'BEGIN {flag=0;} {if (flag == 1 && $0 != \"\") printf $2\";\"; if ($1 "
    "~/-------/) flag = flag+1;}'";
// The disks of `fs` as this node sees them, and their device column over all nodes.
inline std::string localView(const std::string& fs) { return "mmlsdisk " + fs + " -m"; }
inline std::string allView(const std::string& fs) {
    return "mmlsdisk " + fs +
           " -M 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag > 0 ) printf $3\";\"; if ($1 "
           "~/-------/) flag = 1;}'";
}
inline std::string nsdList(const std::string& fs) {
    return "mmlsnsd -f " + fs +
           " -L | awk 'BEGIN {flag=0;} {if (flag > 0 && $1 != \"\") { printf $2\":\"$3\";\" } "
           "if ( $0 ~/------/ ) flag=1;}'";
}
// The failure groups and descriptors of the disks of `fs`.
inline std::string diskListing(const std::string& fs) { return "mmlsdisk " + fs + " -L"; }
inline std::string diskId(const std::string& device) {
    return "mmfsadm test readdescraw " + device + " | awk '{ if ( $0 ~/FS disk/ ){ printf $5; } }'";
}

// The query of backend selection, and the definite one of clone import and destroy.
inline std::string isGpfs(const std::string& fs) {
    return "mmlsfs " + fs +
           " -T 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag>0) print $2; if ($1 ~/-------/) flag "
           "=1;}'";
}
inline std::string presence(const std::string& fs) { return "mmlsfs " + fs + " -T"; }
// What "mmlsfs <fs> -T" says of a name GPFS does not know.
inline std::string notKnown(const std::string& fs) {
    return "mmlsfs: File system " + fs +
           " is not known to the GPFS cluster.\nmmlsfs: Command failed. Examine previous error "
           "messages to determine cause.\n";
}
const char kCurrentNode[] =
    "mmgetstate | awk 'BEGIN {flag=0;} {if(flag>0) printf $2; if($1 ~/----/) flag=1;}'";
inline std::string mountNodes(const std::string& fs) { return "mmlsmount " + fs + " -L"; }

// Every command of discovering gpfs0 on the captured cluster: identity, cluster, disks, and the
// descriptor of every disk the snapshot takes that has a device here (`devices`).
inline std::vector<std::string> discoveryCommands(Layout layout, bool failureGroup,
                                                  const std::vector<std::string>& devices) {
    std::vector<std::string> cmds{fsIdCommand("gpfs0"), kClusterId, kNodes};
    if (layout == Layout::Ccr) cmds.push_back(kNodesOneDash);
    cmds.push_back(localView("gpfs0"));
    cmds.push_back(allView("gpfs0"));
    cmds.push_back(nsdList("gpfs0"));
    if (failureGroup) cmds.push_back(diskListing("gpfs0"));
    for (const std::string& device : devices) cmds.push_back(diskId(device));
    return cmds;
}

inline std::vector<std::string> wholeDiscovery(Layout layout) {
    return discoveryCommands(layout, false, {"/dev/sdb", "/dev/sdc", "/dev/sdd"});
}

// The metadata text discovery writes for gpfs0 on the captured cluster.
inline std::string capturedText(const std::string& pvEntries, const std::string& uniqueId,
                                const std::string& failureGroup, const std::string& excluded) {
    return std::string("$$$YB$$$gpfs0:") + kFsId + "$$$YB$$$" + Sandbox::mmsdrfs() + "$$$YB$$$" +
           Sandbox::mmfsNodeData() + "$$$YB$$$" + kClusterIdValue + ":node1;node2;$$$YB$$$" +
           "$$$PV$$$" + pvEntries + "$$$PV$$$" + "$$$LV$$$/dev/gpfs0#" + kFsId + "$$$LV$$$" +
           "$$$UID$$$" + uniqueId + "$$$UID$$$" + "$$$FG$$$" + failureGroup + "$$$FG$$$" +
           "$$$ED$$$" + excluded + "$$$ED$$$";
}

inline std::string allDisksText(const std::string& uniqueId) {
    return capturedText(
        std::string("/dev/sdb:") + kPvSdb + ";/dev/sdc:" + kPvSdc + ";/dev/sdd:" + kPvSdd + ";",
        uniqueId, "-1", "");
}

// A cluster that keeps in files what the commands that change it did, so that a test can stop an
// operation half-way (kill the process that runs it, even) and look at or go on from what it
// left: whether gpfs0 is in the cluster, whether it is mounted, and how often it was exported.
// The commands that change nothing are answered from the sandbox's replay directory.
//
//   gpfstest::StatefulCluster cluster(box, false);    // gpfs0 not in the cluster
//   vbtest::FakeRunner fake;
//   cluster.answer(fake);
//   gpfs.recreateVG(...);
//   EXPECT_TRUE(cluster.present());
class StatefulCluster {
  public:
    StatefulCluster(Sandbox& box, bool present) : box_(box), dir_(box.host().scratch("cluster")) {
        std::filesystem::create_directory(dir_);
        set("present", present);
    }

    bool present() const { return std::filesystem::exists(dir_ + "/present"); }
    bool mounted() const { return std::filesystem::exists(dir_ + "/mounted"); }
    // How many exports ran, in every process.
    size_t exports() const { return vbtest::readFile(dir_ + "/exports").size(); }

    // Runs before every import (a real pause, to let another process catch up).
    std::function<void()> beforeImport;

    // The process stops at the first command matching `pattern`, as a kill would stop it: the
    // command does not run (or, with `after`, has had its effect), nothing after it runs and
    // nothing is undone.
    void killAt(const std::string& pattern, bool after) {
        killPattern_ = pattern;
        killAfter_ = after;
    }

    // Adds the answers to `fake`; rules the test added before take precedence.
    void answer(vbtest::FakeRunner& fake) {
        fake.replayFrom(box_.replayDir());
        if (!killPattern_.empty()) {
            fake.alwaysMatch(killPattern_, [this](const std::string& cmd) {
                if (killAfter_) effect(cmd);
                _exit(9);
                return vbtest::Reply{};
            });
        }
        fake.alwaysMatch("mmlsfs gpfs0 -T", [this](const std::string&) {
            if (!present()) return vbtest::Reply{1, "", notKnown("gpfs0")};
            return vbtest::Reply{0, vbtest::readFile(box_.replayDir() + "/mmlsfs_gpfs0_-T.txt"),
                                 ""};
        });
        fake.alwaysMatch("mm(importfs|exportfs|mount|umount|chdisk|restripefs|delfs|delnsd) .*",
                         [this](const std::string& cmd) { return effect(cmd); });
    }

  private:
    void set(const char* name, bool on) {
        const std::string path = dir_ + "/" + name;
        if (on) {
            vbtest::writeFile(path, "");
        } else {
            std::filesystem::remove(path);
        }
    }

    vbtest::Reply effect(const std::string& cmd) {
        if (cmd.rfind("mmimportfs ", 0) == 0) {
            if (beforeImport) beforeImport();
            if (present())
                return vbtest::Reply{1, "", "mmimportfs: File system gpfs0 already exists.\n"};
            set("present", true);
            return vbtest::Reply{0, "mmimportfs: Processing file system gpfs0 ...\n", ""};
        }
        if (cmd.rfind("mmexportfs ", 0) == 0) {
            std::ofstream(dir_ + "/exports", std::ios::app) << "x";
            vbtest::writeFile(cmd.substr(cmd.find(" -o ") + 4), "exported gpfs0\n");
            set("present", false);
        } else if (cmd.rfind("mmmount ", 0) == 0) {
            set("mounted", true);
        } else if (cmd.rfind("mmumount ", 0) == 0) {
            set("mounted", false);
        } else if (cmd.rfind("mmdelfs ", 0) == 0) {
            set("present", false);
        }
        return vbtest::Reply{};
    }

    Sandbox& box_;
    std::string dir_;
    std::string killPattern_;
    bool killAfter_ = false;
};

// Where a test stops an operation, as a kill would: at the first command matching `pattern`,
// before it runs or, with `after`, once it had its effect.
struct StopPoint {
    const char* name;
    std::string pattern;
    bool after;
};

// Runs `operation` in a process of its own, answered by `cluster`, which stops it at `point`;
// returns the process's exit status: 9 when it was stopped there.
inline int statusOfStoppedRun(StatefulCluster& cluster, const StopPoint& point,
                              const std::function<void()>& operation) {
    return exitStatusOf(inAnotherProcess([&] {
        cluster.killAt(point.pattern, point.after);
        vbtest::FakeRunner fake;
        fake.allowUnused();
        cluster.answer(fake);
        try {
            operation();
        } catch (...) {
        }
        return 0;
    }));
}

}  // namespace gpfstest
