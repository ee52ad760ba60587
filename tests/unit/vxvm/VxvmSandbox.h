// What every VxVM backend test runs in: the fake host (markers, temp and state directories, the
// log in memory at level 2, a fake clock), device paths looked up under a scratch tree and a fixed
// time. Nothing of the real /tmp, /var/lib/volbridge or /dev is read or written.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "FakeRunner.h"
#include "Fixtures.h"
#include "core/ScopedOverride.h"
#include "host/YbException.h"
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
// "vxdg list <group>" on: each group-wide listing once, a udid and the records of each disk, the
// description of each volume.
inline std::vector<std::string> populateCommands(const std::string& group) {
    const std::string g = "-g " + group;
    return {"vxdg list " + group,
            "vxprint " + g + " -d -F%name",
            "vxdisk " + g + " list datadg01",
            "vxdisk " + g + " -s list | grep flags:",
            "vxdisk " + g + " -qe list",
            "vxprint " + g + " -ar -d datadg01",
            "vxdisk " + g + " list datadg02",
            "vxprint " + g + " -ar -d datadg02",
            "vxdisk " + g + " list datadg03",
            "vxprint " + g + " -ar -d datadg03",
            "vxprint " + g + " -v -F%guid:%name",
            "vxprint -hqtps " + g,
            "vxprint " + g + " -mr -v vol01",
            "vxprint " + g + " -mr -v vol02"};
}

// The message of the YbException `body` throws, and the function it names in `thrownBy`;
// "(no exception)" when none.
inline std::string failureOf(const std::function<void()>& body, std::string* thrownBy = nullptr) {
    try {
        body();
    } catch (const YbException& e) {
        if (thrownBy) *thrownBy = e.getFuncName();
        return e.getMessage();
    }
    return "(no exception)";
}

// What an operation did when one of its commands failed.
struct InjectedFailure {
    size_t n;                        // the failing command, counted from 1
    std::string command;             // its text
    std::string error;               // what the caller got; "(no exception)" when it succeeded
    std::vector<std::string> after;  // the commands run after it
    std::vector<std::string> log;    // the log records of that run
};

// Runs `operation` once with the answers `answer` installs, to learn its commands, then once
// more for each of them with that command failing (status 1, "injected failure").
inline std::vector<InjectedFailure> failEachCommand(vbhost::MemoryLogSink& log,
                                                    const std::function<void(FakeRunner&)>& answer,
                                                    const std::function<void()>& operation) {
    std::vector<std::string> commands;
    {
        FakeRunner fake;
        answer(fake);
        fake.allowUnused();
        EXPECT_EQ(failureOf(operation), "(no exception)");
        commands = fake.commands();
    }
    std::vector<InjectedFailure> runs;
    for (size_t n = 1; n <= commands.size(); ++n) {
        FakeRunner fake;
        answer(fake);
        fake.failCommand(n).allowUnused();
        log.clear();
        InjectedFailure run{n, commands[n - 1], failureOf(operation), {}, log.records()};
        EXPECT_EQ(fake.commands().at(n - 1), run.command) << "the commands before it changed";
        run.after.assign(fake.commands().begin() + n, fake.commands().end());
        runs.push_back(run);
    }
    return runs;
}

class VxvmSandbox : public ::testing::Test {
  protected:
    VxvmSandbox()
        : devices_(volbridge::vxvm::deviceRoot(), deviceDir_.path()),
          now_(volbridge::vxvm::epochSeconds(), [] { return kNow; }) {}

    // A trusted operator marker `name` holding `text`.
    void putMarker(const std::string& name, const std::string& text = "") {
        host_.setMarker(name, text);
    }
    void removeMarker(const std::string& name) { unlink(host_.marker(name).c_str()); }
    // An empty file at `path` under the scratch device tree ("/dev/vx/dsk/datadg/vol01").
    void putDevice(const std::string& path) {
        const std::string full = deviceDir_.path() + path;
        std::filesystem::create_directories(std::filesystem::path(full).parent_path());
        writeFile(full, "");
    }
    // A symbolic link at `path` under the scratch device tree to `target` (as the link holds it).
    void putLink(const std::string& path, const std::string& target) {
        const std::string full = deviceDir_.path() + path;
        std::filesystem::create_directories(std::filesystem::path(full).parent_path());
        std::filesystem::create_symlink(target, full);
    }
    // The fake runner answering from the captured output of datadg.
    static void replayDatadg(FakeRunner& fake) { fake.replayFrom(fixturePath("vxvm")); }

    FakeHost host_;
    vbhost::MemoryLogSink& log_ = host_.log();
    HostClock& fakeClock_ = host_.clock();
    ScopedTempDir deviceDir_;
    volbridge::ScopedOverride<std::string> devices_;
    volbridge::ScopedOverride<std::function<long()>> now_;
};

}  // namespace vbtest
