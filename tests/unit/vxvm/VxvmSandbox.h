// What every VxVM backend test runs in: operator markers in a scratch directory, the host temp
// directory in another, device paths looked up under a scratch tree, a fixed time, a fake clock
// and the log in memory at level 2 (debug lines kept, no diagnostics dump). Nothing of the real
// /tmp or /dev is read or written.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FakeRunner.h"
#include "Fixtures.h"
#include "core/Markers.h"
#include "core/ScopedOverride.h"
#include "host/HostSeams.h"
#include "vxvm/vxvm_internal.h"

namespace vbtest {

// The disks of the captured group datadg (tests/fixtures/vxvm/README.md).
constexpr const char* kDgid = "1234567890.12.hostA";
constexpr const char* kUdid1 = "EMC%5FSYMMETRIX%5F000197600123%5F0A1B";  // datadg01, emc0_0a1b, sdb
constexpr const char* kUdid2 = "EMC%5FSYMMETRIX%5F000197600123%5F0A1C";  // datadg02, emc0_0a1c, sdc
constexpr const char* kUdid3 = "EMC%5FSYMMETRIX%5F000197600123%5F0A1D";  // datadg03, emc0_0a1d, sdd
constexpr const char* kVol01Guid = "5f0a6c4e-7b21-11ee-9d2a-005056a1b201";
constexpr const char* kVol02Guid = "6a1d2e3f-7b21-11ee-9d2a-005056a1b201";
constexpr long kNow = 1700000000;

// Everything discovery runs for the group `group` holding the disks and volumes of datadg, from
// "vxdg list <group>" on.
inline std::vector<std::string> populateCommands(const std::string& group) {
    std::vector<std::string> cmds{"vxdg list " + group, "vxprint -g " + group + " -d -F%name"};
    for (const char* dm : {"datadg01", "datadg02", "datadg03"}) {
        for (const std::string& c :
             {"vxdisk -g " + group + " list " + dm, "vxdisk -g " + group + " -s list | grep flags:",
              "vxdisk -g " + group + " -qe list", "vxprint -g " + group + " -ar -d " + dm}) {
            cmds.push_back(c);
        }
    }
    for (const std::string& c :
         {"vxprint -g " + group + " -v -F%guid:%name", "vxprint -hqtps -g " + group,
          "vxdisk -g " + group + " list datadg01", "vxdisk -g " + group + " list datadg02",
          "vxprint -g " + group + " -mr -v vol01", "vxprint -hqtps -g " + group,
          "vxdisk -g " + group + " list datadg02", "vxdisk -g " + group + " list datadg03",
          "vxprint -g " + group + " -mr -v vol02"}) {
        cmds.push_back(c);
    }
    return cmds;
}

class VxvmSandbox : public ::testing::Test {
  protected:
    VxvmSandbox()
        : markers_(volbridge::markerDirectory(), markerDir_.path()),
          devices_(volbridge::vxvm::deviceRoot(), deviceDir_.path()),
          now_(volbridge::vxvm::epochSeconds(), [] { return kNow; }),
          config_(vbhost::IniConfig::fromString("[host]\ntemp_dir = " + tempDir_.path() + "\n")),
          clock_(fakeClock_),
          sink_(log_, 2) {}

    // A trusted operator marker `name` holding `text`.
    void putMarker(const std::string& name, const std::string& text = "") {
        const std::string path = volbridge::markerPath(name);
        writeFile(path, text);
        chmod(path.c_str(), 0644);
    }
    // An empty file at `path` under the scratch device tree ("/dev/vx/dsk/datadg/vol01").
    void putDevice(const std::string& path) {
        const std::string full = deviceDir_.path() + path;
        std::filesystem::create_directories(std::filesystem::path(full).parent_path());
        writeFile(full, "");
    }
    // The fake runner answering from the captured output of datadg.
    static void replayDatadg(FakeRunner& fake) { fake.replayFrom(fixturePath("vxvm")); }

    ScopedTempDir markerDir_;
    ScopedTempDir deviceDir_;
    ScopedTempDir tempDir_;
    volbridge::ScopedOverride<std::string> markers_;
    volbridge::ScopedOverride<std::string> devices_;
    volbridge::ScopedOverride<std::function<long()>> now_;
    vbhost::ScopedConfig config_;
    vbhost::FakeClock fakeClock_;
    vbhost::ScopedClock clock_;
    vbhost::MemoryLogSink log_;
    vbhost::ScopedLogSink sink_;
};

}  // namespace vbtest
