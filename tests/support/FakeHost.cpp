#include "FakeHost.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "core/ImportLock.h"
#include "core/Markers.h"

namespace vbtest {

namespace {

// Makes the directory `path` (mode 0700) and returns it.
std::string madeDirectory(const std::string& path) {
    std::filesystem::create_directories(path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

}  // namespace

void HostClock::removeAfter(const std::string& path, size_t sleeps) {
    path_ = path;
    left_ = sleeps;
}

void HostClock::sleepMs(uint64_t milliseconds) {
    vbhost::FakeClock::sleepMs(milliseconds);
    if (!path_.empty() && left_ > 0 && --left_ == 0) std::filesystem::remove(path_);
}

FakeHost::FakeHost(int logLevel)
    : tempDir_(madeDirectory(root_.file("tmp"))),
      markerDir_(madeDirectory(root_.file("markers"))),
      stateDir_(madeDirectory(root_.file("state"))),
      config_(vbhost::IniConfig::fromString("[host]\njob_id = 42\ntemp_dir = " + tempDir_ + "\n")),
      configGuard_(config_),
      markerGuard_(volbridge::markerDirectory(), markerDir_),
      stateGuard_(volbridge::stateDirectory(), stateDir_),
      sinkGuard_(log_, logLevel),
      clockGuard_(clock_) {}

FakeHost::~FakeHost() = default;

void FakeHost::setMarker(const std::string& name, const std::string& text) {
    const std::string path = marker(name);
    writeFile(path, text);
    chmod(path.c_str(), 0644);
}

void FakeHost::setConfig(const std::string& section, const std::string& key,
                         const std::string& value) {
    config_->set(section, key, value);
}

std::string FakeHost::leftoverTempFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(tempDir_)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    std::string list;
    for (const std::string& name : names) list += name + "\n";
    return list;
}

}  // namespace vbtest
