#include "Fixtures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vbtest {

std::string fixturePath(const std::string& relative) {
    return std::string(VBTEST_FIXTURE_DIR) + "/" + relative;
}

std::string readFixture(const std::string& relative) {
    const std::string path = fixturePath(relative);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "missing fixture " << path;
        return "";
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) ADD_FAILURE() << "cannot write " << path;
}

ScopedTempDir::ScopedTempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/vbtest-XXXXXX";
    if (!mkdtemp(&templ[0])) {
        ADD_FAILURE() << "mkdtemp " << templ << " failed";
        return;
    }
    path_ = templ;
}

ScopedTempDir::~ScopedTempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace vbtest
