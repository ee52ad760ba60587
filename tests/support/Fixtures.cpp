#include "Fixtures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace vbtest {

std::string readFixture(const std::string& relative) {
    const std::string path = std::string(VBTEST_FIXTURE_DIR) + "/" + relative;
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

}  // namespace vbtest
