// The host every backend test runs on: operator markers, the host's temp directory and the
// library's state directory (import lock, journals) each in a scratch directory of the test's
// own, a host configuration the test can add to, a fake clock, and the log kept in memory. Nothing
// of the real /tmp, /var/lib/volbridge or configuration is read or written, and everything is put
// back when the object goes.
//
//   vbtest::FakeHost host;                 // log level 2 in memory
//   vbtest::FakeRunner fake;
//   host.setMarker("requireretag");
//   ... run the operation ...
//   EXPECT_TRUE(host.log().contains("Could not undo"));
//   EXPECT_EQ(host.leftoverTempFiles(), "");
#pragma once

#include <memory>
#include <string>

#include "Fixtures.h"
#include "core/ScopedOverride.h"
#include "host/HostSeams.h"

namespace vbtest {

// A fake clock that can also remove a file once a number of sleeps have passed, for the waits
// that last while a marker (or a resume file) exists.
class HostClock : public vbhost::FakeClock {
  public:
    void removeAfter(const std::string& path, size_t sleeps);
    void sleepMs(uint64_t milliseconds) override;

  private:
    std::string path_;
    size_t left_ = 0;
};

class FakeHost {
  public:
    explicit FakeHost(int logLevel = 2);
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    const std::string& tempDir() const { return tempDir_; }
    const std::string& markerDir() const { return markerDir_; }
    const std::string& stateDir() const { return stateDir_; }
    std::string tempFile(const std::string& name) const { return tempDir_ + "/" + name; }
    std::string marker(const std::string& name) const { return markerDir_ + "/" + name; }
    // A fresh path for a scratch file or directory of the test's own, outside the directories
    // above.
    std::string scratch(const std::string& name) const { return root_.file(name); }

    // A trusted operator marker `name` holding `text` (mode 0644, owned by this user).
    void setMarker(const std::string& name, const std::string& text = "");
    // A host configuration value ([host] temp_dir and job_id = 42 are set from the start).
    void setConfig(const std::string& section, const std::string& key, const std::string& value);

    // The names in the temp directory now, one a line; "" when it is empty.
    std::string leftoverTempFiles() const;

    vbhost::MemoryLogSink& log() { return log_; }
    HostClock& clock() { return clock_; }

  private:
    ScopedTempDir root_;
    std::string tempDir_, markerDir_, stateDir_;
    std::shared_ptr<vbhost::IniConfig> config_;
    vbhost::ScopedConfig configGuard_;
    volbridge::ScopedOverride<std::string> markerGuard_;
    volbridge::ScopedOverride<std::string> stateGuard_;
    vbhost::MemoryLogSink log_;
    vbhost::ScopedLogSink sinkGuard_;
    HostClock clock_;
    vbhost::ScopedClock clockGuard_;
};

}  // namespace vbtest
