// Files written for a tool under a predictable name never follow a planted link and never
// overwrite another user's file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "Fixtures.h"
#include "OtherUser.h"
#include "core/TempFile.h"
#include "core/ToolFile.h"
#include "host/HostSeams.h"
#include "host/YbException.h"

namespace {

const volbridge::Origin kHere{"LVM_test::write", "LVM_test"};

std::string refusal(const std::function<void()>& write) {
    try {
        write();
    } catch (const YbException& e) {
        EXPECT_EQ(e.getFuncName(), "LVM_test::write");
        EXPECT_EQ(e.getFileName(), "LVM_test");
        return e.getMessage();
    }
    return "(not refused)";
}

TEST(ToolFiles, NewFileIsPrivateAndAStaleFileOfOursIsReplaced) {
    vbtest::ScopedTempDir dir;
    const std::string path = dir.file("stanzaFile_1_2");
    volbridge::writeToolFile(kHere, path, "%nsd:\n nsd=nsd1\n");
    EXPECT_EQ(vbtest::readFile(path), "%nsd:\n nsd=nsd1\n");
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());

    // A longer stale file of ours: replaced whole, not overwritten in place.
    vbtest::writeFile(path, std::string(100, 'x'));
    volbridge::writeToolFile(kHere, path, "short");
    EXPECT_EQ(vbtest::readFile(path), "short");
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    volbridge::clearToolOutputPath(kHere, path);
    EXPECT_NE(lstat(path.c_str(), &st), 0);
    volbridge::clearToolOutputPath(kHere, path);  // nothing there is fine
}

TEST(ToolFiles, LinksDirectoriesAndOtherUsersFilesAreRefusedAndLeftAlone) {
    vbtest::ScopedTempDir dir;
    const std::string victim = dir.file("victim");
    vbtest::writeFile(victim, "precious");
    const std::string link = dir.file("mmsdrfsExport_1_2");
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    EXPECT_EQ(refusal([&] { volbridge::writeToolFile(kHere, link, "new"); }),
              "Refusing to use the file " + link + ": it is a symbolic link");
    EXPECT_EQ(refusal([&] { volbridge::clearToolOutputPath(kHere, link); }),
              "Refusing to use the file " + link + ": it is a symbolic link");
    EXPECT_EQ(vbtest::readFile(victim), "precious");
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), victim);

    const std::string subdir = dir.file("nsdListFile_1_2");
    ASSERT_EQ(mkdir(subdir.c_str(), 0700), 0);
    EXPECT_EQ(refusal([&] { volbridge::writeToolFile(kHere, subdir, "new"); }),
              "Refusing to use the file " + subdir + ": it is not a regular file");

    const std::string foreign = vbtest::otherUsersFile(dir.path(), "theirs");
    if (foreign.empty()) GTEST_SKIP() << "no file of another user can be had here";
    const std::string before = vbtest::readFile(foreign);
    const std::string message = refusal([&] { volbridge::writeToolFile(kHere, foreign, "new"); });
    EXPECT_EQ(message.rfind("Refusing to use the file " + foreign + ": it belongs to uid ", 0), 0u)
        << message;
    EXPECT_EQ(refusal([&] { volbridge::clearToolOutputPath(kHere, foreign); }), message);
    EXPECT_EQ(vbtest::readFile(foreign), before);
}

TEST(ToolFiles, FileOwnerRemovesItsFileOnEveryPath) {
    vbtest::ScopedTempDir dir;
    const std::string path = dir.file("vol01.desc");
    struct stat st;
    try {
        volbridge::ToolFile file(kHere, path, "vol vol01\n");
        EXPECT_EQ(vbtest::readFile(path), "vol vol01\n");
        throw YbException("f", "later failure", "u", 1, -1);
    } catch (const YbException&) {
    }
    EXPECT_NE(lstat(path.c_str(), &st), 0);
}

TEST(TempFiles, HostTempDirectoryIsTheConfiguredOne) {
    vbtest::ScopedTempDir dir;
    auto config = vbhost::IniConfig::fromString("");
    config->set("host", "temp_dir", dir.path());
    vbhost::ScopedConfig guard(config);
    EXPECT_EQ(volbridge::hostTempDirectory(kHere), dir.path());
    {
        volbridge::TempFile file(kHere, volbridge::hostTempDirectory(kHere), "ybtest_");
        EXPECT_EQ(file.path().rfind(dir.path() + "/ybtest_", 0), 0u);
    }
    config->set("host", "temp_dir", dir.file("missing"));
    vbhost::reloadConfig();
    vbhost::ScopedConfig again(config);
    EXPECT_EQ(refusal([&] { volbridge::hostTempDirectory(kHere); }),
              "Error: the temporary directory is not available");
}

}  // namespace
