// Captured command output and metadata kept under tests/fixtures.
#pragma once

#include <string>

namespace vbtest {

// The content of tests/fixtures/<relative>; fails the test (and returns "") when it is missing.
std::string readFixture(const std::string& relative);

// The content of a file; "" when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace vbtest
