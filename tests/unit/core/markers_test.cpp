// Operator markers steer the library only when this process's user or root made them.
#include "core/Markers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "Fixtures.h"
#include "OtherUser.h"
#include "host/HostSeams.h"

namespace {

TEST(Markers, OnlyARegularFileOfThisUserOrRootNotWritableByOthersCounts) {
    vbtest::ScopedTempDir dir;
    const std::string trusted = dir.file("trusted");
    vbtest::writeFile(trusted, "7\n");
    ASSERT_EQ(chmod(trusted.c_str(), 0644), 0);

    struct Case {
        const char* name;
        std::function<std::string()> make;  // the marker's path; empty: skip the case
        bool counts;
        const char* why;
    };
    const Case cases[] = {
        {"another user's", [&] { return vbtest::otherUsersFile(dir.path(), "1\n"); }, false,
         "it is owned by uid "},
        {"writable by others",
         [&] {
             vbtest::writeFile(dir.file("open"), "");
             chmod(dir.file("open").c_str(), 0666);
             return dir.file("open");
         },
         false, "it is writable by group or others (mode 0666)"},
        {"writable by the group",
         [&] {
             vbtest::writeFile(dir.file("group"), "");
             chmod(dir.file("group").c_str(), 0664);
             return dir.file("group");
         },
         false, "it is writable by group or others (mode 0664)"},
        {"a link to a trusted file",
         [&] {
             EXPECT_EQ(symlink(trusted.c_str(), dir.file("link").c_str()), 0);
             return dir.file("link");
         },
         false, "it is a symbolic link"},
        {"a directory",
         [&] {
             mkdir(dir.file("dir").c_str(), 0755);
             return dir.file("dir");
         },
         false, "it is a directory"},
        {"a fifo",
         [&] {
             mkfifo(dir.file("fifo").c_str(), 0644);
             return dir.file("fifo");
         },
         false, "it is not a regular file"},
        {"root's", [&] { return vbtest::rootsFile(dir.path()); }, true, ""},
        {"this user's", [&] { return trusted; }, true, ""},
        {"missing", [&] { return dir.file("none"); }, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.make();
        if (path.empty()) {
            ADD_FAILURE() << "no such file can be had here; run as root or through the harness";
            continue;
        }
        vbhost::MemoryLogSink log;
        vbhost::ScopedLogSink sink(log, 0);
        EXPECT_EQ(volbridge::markerExists(path), c.counts);
        std::string content = "untouched";
        EXPECT_EQ(volbridge::readMarker(path, &content), c.counts);
        if (!c.counts) {
            EXPECT_EQ(content, "untouched");
        }
        if (*c.why) {
            // One line per test, naming the file and the reason.
            EXPECT_EQ(log.count("Ignoring the marker file " + path + ": " + c.why), 2u)
                << testing::PrintToString(log.records());
        } else {
            EXPECT_EQ(log.records().size(), 0u) << testing::PrintToString(log.records());
        }
    }
}

TEST(Markers, ContentComesFromTheTestedFile) {
    vbtest::ScopedTempDir dir;
    const std::string path = dir.file("hook");
    vbtest::writeFile(path, "  7\t\nsecond line\n");
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    std::string content;
    ASSERT_TRUE(volbridge::readMarker(path, &content));
    EXPECT_EQ(content, "  7\t\nsecond line\n");
}

TEST(Markers, ResumeFileIsCreatedWithoutFollowingALinkOrTruncating) {
    vbtest::ScopedTempDir dir;
    const std::string resume = dir.file("settag.before.resume");
    EXPECT_TRUE(volbridge::createResumeFile(resume));
    struct stat st;
    ASSERT_EQ(lstat(resume.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));

    vbtest::writeFile(resume, "kept");
    EXPECT_TRUE(volbridge::createResumeFile(resume));
    EXPECT_EQ(vbtest::readFile(resume), "kept");

    const std::string target = dir.file("victim");
    vbtest::writeFile(target, "precious");
    const std::string planted = dir.file("planted.resume");
    ASSERT_EQ(symlink(target.c_str(), planted.c_str()), 0);
    EXPECT_FALSE(volbridge::createResumeFile(planted));
    EXPECT_EQ(vbtest::readFile(target), "precious");
}

}  // namespace
