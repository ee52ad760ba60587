// Configuration lookups, host settings, the log writer and EvDebug.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>

#include "host/HostSeams.h"
#include "host/LogWriter.h"
#include "host/WmSleep.h"
#include "host/YBPlatformInfo.h"

namespace {

const char* const kIni = R"([FileSystemAgent]
nDONOT_CLEAR_SYSTEM_ID = 1
nDECLUSTER_LVM = 0x10
; a comment
notANumber = twelve
negative = -3

[~Oxbrook]
nGPFSFAILUREGROUPNUM_fs1 = 4001

[host]
log_level = 3
temp_dir = /var/tmp
job_id = 77
)";

TEST(Config, LookupsFindKeysOnlyWhereTheyAreAndWriteOnlyThen) {
    vbhost::ScopedConfig config(vbhost::IniConfig::fromString(kIni));
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);

    unsigned long number = 12345;
    EXPECT_NE(YBPlatformInfo::getNumber("FileSystemAgent", "nDONOT_CLEAR_SYSTEM_ID", &number), 0);
    EXPECT_EQ(number, 1u);
    EXPECT_NE(YBPlatformInfo::getNumber("FileSystemAgent", "nDECLUSTER_LVM", &number), 0);
    EXPECT_EQ(number, 16u);
    EXPECT_NE(YBPlatformInfo::getNumber("~Oxbrook", "nGPFSFAILUREGROUPNUM_fs1", &number), 0);
    EXPECT_EQ(number, 4001u);

    struct Missing {
        const char* section;
        const char* key;
    } missing[] = {
        {"FileSystemAgent", "nNOSUCHKEY"},
        {"Oxbrook", "nDONOT_CLEAR_SYSTEM_ID"},          // right key, wrong section
        {"filesystemagent", "nDONOT_CLEAR_SYSTEM_ID"},  // names are case-sensitive
        {"FileSystemAgent", "notANumber"},              // present but not a number: not found
        {"FileSystemAgent", "negative"},
    };
    for (const Missing& m : missing) {
        SCOPED_TRACE(std::string(m.section) + "/" + m.key);
        number = 12345;
        EXPECT_EQ(YBPlatformInfo::getNumber(m.section, m.key, &number), 0);
        EXPECT_EQ(number, 12345u);
    }
    EXPECT_TRUE(log.contains("[FileSystemAgent/notANumber] holds \"twelve\", not a number"));

    int value = 9;
    EXPECT_NE(YBPlatformInfo::getRegInt("FileSystemAgent", "negative", &value), 0);
    EXPECT_EQ(value, -3);
}

TEST(Config, MissingFileMeansEveryLookupIsNotFound) {
    setenv("VOLBRIDGE_CONFIG", "/nonexistent/volbridge.conf", 1);
    vbhost::reloadConfig();
    unsigned long number = 5;
    EXPECT_EQ(YBPlatformInfo::getNumber("FileSystemAgent", "nDECLUSTER_LVM", &number), 0);
    EXPECT_EQ(number, 5u);
    unsetenv("VOLBRIDGE_CONFIG");
    vbhost::reloadConfig();
}

TEST(Config, ReadsTheFileNamedByTheEnvironment) {
    char path[] = "/tmp/volbridge-config-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << kIni;
    setenv("VOLBRIDGE_CONFIG", path, 1);
    vbhost::reloadConfig();
    unsigned long number = 0;
    EXPECT_NE(YBPlatformInfo::getNumber("FileSystemAgent", "nDONOT_CLEAR_SYSTEM_ID", &number), 0);
    EXPECT_EQ(number, 1u);
    EXPECT_EQ(vbhost::hostSettings().jobId, 77);
    unsetenv("VOLBRIDGE_CONFIG");
    vbhost::reloadConfig();
    unlink(path);
}

TEST(HostSettings, HostSectionIsOverriddenByTheEnvironment) {
    vbhost::ScopedConfig config(vbhost::IniConfig::fromString(kIni));
    vbhost::HostSettings fromFile = vbhost::hostSettings();
    EXPECT_EQ(fromFile.logLevel, 3);
    EXPECT_EQ(fromFile.tempDir, "/var/tmp");
    EXPECT_EQ(fromFile.jobId, 77);
    EXPECT_EQ(fromFile.logFile, "");

    setenv("VOLBRIDGE_LOG_LEVEL", "4", 1);
    setenv("VOLBRIDGE_TMPDIR", "/nonexistent-dir", 1);
    setenv("VOLBRIDGE_JOB_ID", "9001", 1);
    vbhost::reloadConfig();  // settings are read again after a reload
    vbhost::ScopedConfig again(vbhost::IniConfig::fromString(kIni));
    vbhost::HostSettings fromEnv = vbhost::hostSettings();
    EXPECT_EQ(fromEnv.logLevel, 4);
    EXPECT_EQ(fromEnv.jobId, 9001);
    EXPECT_EQ(YBPI_Base::getPlumexTempDirectory(), nullptr);  // not a directory
    char buffer[1024] = "untouched";
    EXPECT_FALSE(YBPI_Base::getPlumexTempDirectory(buffer));
    EXPECT_STREQ(buffer, "untouched");
    unsetenv("VOLBRIDGE_LOG_LEVEL");
    unsetenv("VOLBRIDGE_TMPDIR");
    unsetenv("VOLBRIDGE_JOB_ID");
    vbhost::reloadConfig();
}

TEST(HostSettings, TempDirectoryDefaultsToAPrivateDirectoryOfTheUser) {
    vbhost::ScopedConfig config(vbhost::IniConfig::fromString(""));
    const std::string expected = "/tmp/volbridge-" + std::to_string(geteuid());
    // The test removes the directory again when it made it.
    struct stat before;
    const bool existed = lstat(expected.c_str(), &before) == 0;
    struct RemoveMade {
        const std::string& path;
        bool made;
        ~RemoveMade() {
            if (made) rmdir(path.c_str());
        }
    } removeMade{expected, !existed};
    ASSERT_NE(YBPI_Base::getPlumexTempDirectory(), nullptr);
    EXPECT_EQ(YBPI_Base::getPlumexTempDirectory(), expected);
    char buffer[1024];
    EXPECT_TRUE(YBPI_Base::getPlumexTempDirectory(buffer));
    EXPECT_EQ(std::string(buffer), expected);
    struct stat st;
    ASSERT_EQ(lstat(expected.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, geteuid());

    // A directory others can enter is refused, and said so; it is not repaired behind the
    // operator's back.
    ASSERT_EQ(chmod(expected.c_str(), 0755), 0);
    vbhost::MemoryLogSink log;
    {
        vbhost::ScopedLogSink sink(log, 0);
        EXPECT_EQ(YBPI_Base::getPlumexTempDirectory(), nullptr);
    }
    EXPECT_TRUE(log.contains("refusing the temporary directory " + expected +
                             ": its mode is 0755, not 0700"));
    ASSERT_EQ(chmod(expected.c_str(), 0700), 0);
}

TEST(LogWriter, WritesByLevelWithTimeLevelFunctionAndLine) {
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 2);
    g_ptrLogWriter->log(0, "F0", 10, 0, 0, "level %d", 0);
    g_ptrLogWriter->log(2, "F2", 20, 0, 0, "level %d", 2);
    g_ptrLogWriter->log(3, "F3", 30, 0, 0, "level %d", 3);  // above the current level
    g_ptrLogWriter->log(-1, "FE", 40, 0, 0, "error %s", "always");
    std::vector<std::string> records = log.records();
    ASSERT_EQ(records.size(), 3u);
    // "YYYY-MM-DD HH:MM:SS.mmm L0 F0:10: level 0"
    EXPECT_TRUE(std::regex_match(
        records[0], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} L0 F0:10: level 0)")))
        << records[0];
    EXPECT_NE(records[1].find(" L2 F2:20: level 2"), std::string::npos);
    EXPECT_NE(records[2].find(" ERROR FE:40: error always"), std::string::npos);
}

TEST(LogWriter, ErrorsAreWrittenEvenAtTheLowestLevel) {
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, -1);
    g_ptrLogWriter->log(0, "f", 1, 0, 0, "info");
    EvDebug(nullptr).Error("g", "error %d", 1);
    ASSERT_EQ(log.records().size(), 1u);
    EXPECT_NE(log.records()[0].find("ERROR g:"), std::string::npos);
}

TEST(EvDebug, CarriesTheCallersLineAndChecksArguments) {
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 4);
    EvDebug dbg(nullptr);
    const int line = __LINE__ + 1;
    dbg.Debug("Area::op", "value %s has %lu parts", "x", 3ul);
    dbg.DebugLvl("Area::op", 4, "at level %d", 4);
    dbg.DebugLvl("Area::op", 5, "too detailed");
    // A mismatched call shows its format instead of reading a wrong argument.
    dbg.Debug("Area::op", "count %s", 42);
    std::vector<std::string> records = log.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_NE(records[0].find(" L2 Area::op:" + std::to_string(line) + ": value x has 3 parts"),
              std::string::npos)
        << records[0];
    EXPECT_NE(records[1].find(" L4 Area::op:"), std::string::npos);
    EXPECT_NE(records[2].find("count %s [log arguments do not match this format]"),
              std::string::npos);
    EXPECT_EQ(dbg.getDebugLevel(), 4);
}

TEST(EvDebug, JobIdComesFromTheSettings) {
    vbhost::ScopedConfig config(vbhost::IniConfig::fromString("[host]\njob_id = 4242\n"));
    EXPECT_EQ(EvDebug(nullptr).getJobId(), 4242);
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    g_ptrLogWriter->log(0, "f", 1, 0, 0, "with job");
    EXPECT_TRUE(log.contains(" job=4242 f:1: with job"));
}

TEST(LogWriter, LogFileFromTheSettings) {
    char path[] = "/tmp/volbridge-log-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        vbhost::ScopedConfig config(
            vbhost::IniConfig::fromString(std::string("[host]\nlog_file = ") + path + "\n"));
        g_ptrLogWriter->log(-1, "Writer", 7, 0, 0, "to the file");
    }
    std::ifstream in(path);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(content.find("ERROR Writer:7: to the file\n"), std::string::npos) << content;
    unlink(path);
}

TEST(Clock, SleepGoesThroughTheReplaceableClock) {
    vbhost::FakeClock clock;
    vbhost::ScopedClock guard(clock);
    WMSLEEP(120000);
    WMSLEEP(5);
    EXPECT_EQ(clock.sleeps(), (std::vector<uint64_t>{120000, 5}));
    EXPECT_EQ(clock.nowMs(), 120005u);
}

}  // namespace
