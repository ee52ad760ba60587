// What every GPFS backend test stands on: GPFS answers replayed from captured output, the GPFS
// configuration files, the host temp directory and the operator markers all in directories of
// the test's own, a fake clock and a log kept in memory.
//
//   gpfstest::Sandbox box(gpfstest::Layout::ServerBased);
//   vbtest::FakeRunner fake;
//   fake.replayFrom(box.replayDir());
//   gpfstest::Backend gpfs;                       // job id 42
//   LVM::VG vg = gpfs.getVGByLVDevice("/dev/gpfs0");
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

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

// A fake clock that also removes a marker file once a number of sleeps have passed, for the waits
// that last while a marker exists.
class MarkerClock : public vbhost::FakeClock {
  public:
    void removeAfter(const std::string& path, size_t sleeps) {
        path_ = path;
        left_ = sleeps;
    }
    void sleepMs(uint64_t milliseconds) override {
        vbhost::FakeClock::sleepMs(milliseconds);
        if (!path_.empty() && left_ > 0 && --left_ == 0) std::filesystem::remove(path_);
    }

  private:
    std::string path_;
    size_t left_ = 0;
};

class Sandbox {
  public:
    explicit Sandbox(Layout layout = Layout::Ccr)
        : replayDir_(root_.file("replay")),
          configDir_(root_.file("mmfs-gen")),
          tempDir_(root_.file("tmp")),
          markerDir_(root_.file("markers")),
          exportDir_(root_.file("export")),
          config_(
              vbhost::IniConfig::fromString("[host]\njob_id = 42\ntemp_dir = " + tempDir_ + "\n")),
          configGuard_(config_),
          configDirGuard_(volbridge::gpfs::configDirectory(), configDir_),
          markerGuard_(volbridge::markerDirectory(), markerDir_),
          exportDirGuard_(volbridge::gpfs::exportFileDirectory(), exportDir_),
          sinkGuard_(log_, 4),
          clockGuard_(clock_) {
        for (const std::string& dir : {replayDir_, configDir_, tempDir_, markerDir_, exportDir_}) {
            std::filesystem::create_directory(dir);
        }
        std::filesystem::permissions(tempDir_, std::filesystem::perms::owner_all);
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
    const std::string& tempDir() const { return tempDir_; }
    std::string configFile(const std::string& name) const { return configDir_ + "/" + name; }
    std::string tempFile(const std::string& name) const { return tempDir_ + "/" + name; }
    std::string marker(const std::string& name) const { return markerDir_ + "/" + name; }
    std::string exportFile(const std::string& name) const { return exportDir_ + "/" + name; }
    // Creates the operator marker `name`.
    void setMarker(const std::string& name) {
        vbtest::writeFile(marker(name), "");
        std::filesystem::permissions(
            marker(name), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }
    // Makes "mmlscluster" describe another cluster than the captured one.
    void useOtherCluster() {
        std::string text = vbtest::readFixture("gpfs/mmlscluster.ccr.txt");
        const std::string id = kClusterIdValue;
        text.replace(text.find(id), id.size(), "4411223344556677889");
        setReplay("mmlscluster.txt", text);
    }

    // The host configuration, for values a test adds.
    vbhost::IniConfig& config() { return *config_; }
    vbhost::MemoryLogSink& log() { return log_; }
    MarkerClock& clock() { return clock_; }

    static std::string mmsdrfs() { return vbtest::readFixture("gpfs/mmsdrfs.head.txt"); }
    static std::string mmfsNodeData() { return vbtest::readFixture("gpfs/mmfsNodeData.txt"); }

  private:
    vbtest::ScopedTempDir root_;
    std::string replayDir_, configDir_, tempDir_, markerDir_, exportDir_;
    std::shared_ptr<vbhost::IniConfig> config_;
    vbhost::ScopedConfig configGuard_;
    volbridge::ScopedOverride<std::string> configDirGuard_;
    volbridge::ScopedOverride<std::string> markerGuard_;
    volbridge::ScopedOverride<std::string> exportDirGuard_;
    vbhost::MemoryLogSink log_;
    vbhost::ScopedLogSink sinkGuard_;
    MarkerClock clock_;
    vbhost::ScopedClock clockGuard_;
};

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
    std::string holds;       // "yes" (metadata and data), "no" (neither: descriptor only)
    std::string remarks;     // "desc" when the disk carries a descriptor replica, else ""
    std::string device;      // local device, "-" when the disk has none on this node
    std::string everywhere;  // its device as seen over all nodes
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
    auto holds = [&](const std::string& word) {
        return capitalised ? std::string(1, static_cast<char>(toupper(word[0]))) + word.substr(1)
                           : word;
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
    std::string disk =
        "disk         driver   sector     failure holds    holds                            "
        "storage\n"
        "name         type       size       group metadata data  status        availability "
        "pool\n"
        "------------ -------- ------ ----------- -------- ----- ------------- ------------ "
        "------------\n";
    const std::string viewHeader =
        "\nDisk name     IO performed on node     Device             Availability\n"
        "------------  -----------------------  -----------------  ------------\n";
    std::string local = viewHeader, all = viewHeader;
    for (size_t i = 0; i < disks.size(); ++i) {
        const Disk& d = disks[i];
        const std::string g = std::to_string(d.group);
        nsdL += " gpfs0         " + d.nsd + "         " + volumeId(i) + "   node1,node2\n";
        diskL += d.nsd + "         nsd         512           " + g + " " + holds(d.holds) +
                 "      " + holds(d.holds) + "   ready         up                 " +
                 std::to_string(i + 1) + " system        " + d.remarks + "\n";
        disk += d.nsd + "         nsd         512           " + g + " " + holds(d.holds) +
                "      " + holds(d.holds) + "   ready         up           system\n";
        const std::string row = d.nsd + "          localhost                ";
        local += row + d.device + "           up\n";
        all += row + d.everywhere + "           up\n";
        box.setReplay("mmlsdisk_gpfs0_-d_" + d.nsd + "_-m.txt",
                      viewHeader + row + d.device + "           up\n");
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
    box.setReplay("mmlsdisk_gpfs0.txt", disk);
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
inline std::string diskDevices(const std::string& fs, const std::string& view) {
    return "mmlsdisk " + fs + " " + view +
           " 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag > 0 ) printf $3\";\"; if ($1 "
           "~/-------/) flag = 1;}'";
}
inline std::string nsdList(const std::string& fs) {
    return "mmlsnsd -f " + fs +
           " -L | awk 'BEGIN {flag=0;} {if (flag > 0 && $1 != \"\") { printf $2\":\"$3\";\" } "
           "if ( $0 ~/------/ ) flag=1;}'";
}
inline std::string survey(const std::string& fs) {
    return "mmlsdisk " + fs +
           " -L 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag > 0 && tolower($5) == \"yes\" && "
           "tolower($6) == \"yes\") printf \":\"$4\"$\"$11; if ( flag > 0 && tolower($5) == "
           "\"no\" && tolower($6) == \"no\" && $11 \"/de*/\") printf \":\"$4\"$descOnly\"; if ($1 "
           "~/-------/) flag = 1;}'";
}
inline std::string keepList(const std::string& fs) {
    return "mmlsdisk " + fs +
           " 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag > 0 ) printf \":\"$4\"$\"$1; if ($1 "
           "~/-------/) flag = 1;}'";
}
inline std::string nsdDevice(const std::string& fs, const std::string& nsd) {
    return "mmlsdisk " + fs + " -d " + nsd +
           " -m | awk 'BEGIN {flag=0;} {if (flag > 0 ) printf $3; if ($1 ~/-------/) flag = 1;}'";
}
inline std::string diskId(const std::string& device) {
    return "mmfsadm test readdescraw " + device + " | awk '{ if ( $0 ~/FS disk/ ){ printf $5; } }'";
}

inline std::string isGpfs(const std::string& fs) {
    return "mmlsfs " + fs +
           " -T 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag>0) print $2; if ($1 ~/-------/) flag "
           "=1;}'";
}
const char kCurrentNode[] =
    "mmgetstate | awk 'BEGIN {flag=0;} {if(flag>0) printf $2; if($1 ~/----/) flag=1;}'";
inline std::string mountNodes(const std::string& fs) {
    return "mmlsmount " + fs + " -L | awk 'BEGIN{ flag=0;} {if(flag>0) print $2; if($3 == \"" + fs +
           "\"){ flag=1; }}'";
}

// The commands of one run of the disk-identity step over `fs` for the NSDs `nsds` (each with a
// local device: its "mmlsdisk -d" and, when `devices` names one, its descriptor).
inline std::vector<std::string> identityCommands(const std::string& fs,
                                                 const std::vector<std::string>& nsds,
                                                 const std::vector<std::string>& devices,
                                                 bool failureGroup) {
    std::vector<std::string> cmds{nsdList(fs)};
    if (failureGroup) {
        cmds.push_back(survey(fs));
        cmds.push_back(keepList(fs));
    }
    for (size_t i = 0; i < nsds.size(); ++i) {
        cmds.push_back(nsdDevice(fs, nsds[i]));
        if (!devices[i].empty()) cmds.push_back(diskId(devices[i]));
    }
    return cmds;
}

// Every command of discovering gpfs0 on the captured cluster: identity, cluster, disks.
inline std::vector<std::string> discoveryCommands(Layout layout, bool failureGroup,
                                                  const std::vector<std::string>& nsds,
                                                  const std::vector<std::string>& devices) {
    std::vector<std::string> cmds{fsIdCommand("gpfs0"), kClusterId, kNodes};
    if (layout == Layout::Ccr) cmds.push_back(kNodesOneDash);
    cmds.push_back(diskDevices("gpfs0", "-m"));
    cmds.push_back(diskDevices("gpfs0", "-M"));
    for (const char* fs : {"gpfs0", "/dev/gpfs0"}) {
        for (const std::string& c : identityCommands(fs, nsds, devices, failureGroup))
            cmds.push_back(c);
    }
    return cmds;
}

inline std::vector<std::string> wholeDiscovery(Layout layout) {
    return discoveryCommands(layout, false, {"nsd1", "nsd2", "nsd3"},
                             {"/dev/sdb", "/dev/sdc", "/dev/sdd"});
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

}  // namespace gpfstest
