#include "OtherUser.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "Fixtures.h"

namespace vbtest {

namespace {

std::string harnessFile(const char* name) {
    const char* dir = getenv("VBTEST_OTHER_USER_DIR");
    if (!dir || !*dir) return "";
    const std::string path = std::string(dir) + "/" + name;
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? path : "";
}

}  // namespace

std::string otherUsersFile(const std::string& dir, const std::string& text) {
    if (geteuid() != 0) return harnessFile("foreign");
    const std::string path = dir + "/foreign";
    writeFile(path, text);
    if (chown(path.c_str(), kOtherUid, kOtherUid) != 0 || chmod(path.c_str(), 0644) != 0) return "";
    return path;
}

std::string rootsFile(const std::string& dir) {
    if (geteuid() != 0) return harnessFile("by-root");
    const std::string path = dir + "/by-root";
    writeFile(path, "");
    return chmod(path.c_str(), 0644) == 0 ? path : "";
}

}  // namespace vbtest
