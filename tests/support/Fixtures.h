// Captured command output and metadata kept under tests/fixtures.
#pragma once

#include <string>

namespace vbtest {

// The content of tests/fixtures/<relative>; fails the test (and returns "") when it is missing.
std::string readFixture(const std::string& relative);

// The path of tests/fixtures/<relative>.
std::string fixturePath(const std::string& relative);

// The content of a file; "" when it cannot be read.
std::string readFile(const std::string& path);

// Writes `text` to `path` (created or replaced, mode 0644); fails the test when it cannot.
void writeFile(const std::string& path, const std::string& text);

// A fresh directory under $TMPDIR (default /tmp), removed with everything in it when the guard
// goes.
class ScopedTempDir {
  public:
    ScopedTempDir();
    ~ScopedTempDir();
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace vbtest
