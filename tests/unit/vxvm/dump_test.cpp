// The diagnostics dump: only above debug level 2, one log entry whose every line carries the
// label, a section for every disk, and the operator's trusted extras.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "VxvmSandbox.h"

namespace {

using vbtest::readFixture;

const char kLabel[] = ">> VXDG IMPORT OK";

class VxvmDump : public vbtest::VxvmSandbox {
  protected:
    // The one dump entry written, its message split into lines (the first is empty: the dump
    // begins with a line feed); every line carries the label.
    std::vector<std::string> dumpLines() {
        const std::vector<std::string> records = log_.records();
        EXPECT_EQ(records.size(), 1u);
        if (records.empty()) return {};
        const std::string& record = records.back();
        std::vector<std::string> lines;
        size_t start = record.find('\n');
        EXPECT_NE(start, std::string::npos);
        while (start != std::string::npos) {
            const size_t end = record.find('\n', start + 1);
            lines.push_back(
                record.substr(start + 1, end == std::string::npos ? end : end - start - 1));
            start = end;
        }
        for (const std::string& line : lines) {
            EXPECT_EQ(line.rfind(std::string(kLabel) + ":", 0), 0u) << line;
        }
        return lines;
    }
    static bool has(const std::vector<std::string>& lines, const std::string& content) {
        return std::find(lines.begin(), lines.end(), std::string(kLabel) + ":" + content) !=
               lines.end();
    }
};

TEST_F(VxvmDump, NothingAtLevelTwo) {
    vbtest::FakeRunner fake;
    putMarker("report.cmds", "echo hi\n");
    LVM_vxvm().printVXVMStatus(kLabel, {"/dev/sdb"}, "dg|datadg|1;");
    EXPECT_TRUE(fake.commands().empty());
    EXPECT_TRUE(log_.records().empty());
}

TEST_F(VxvmDump, EveryDiskAndTheOperatorsTrustedCommands) {
    vbhost::ScopedLogSink level3(log_, 3);
    vbtest::FakeRunner fake;
    fake.on("vxdisk list emc0_0a1e", 0, "Device:    emc0_0a1e\nflags:     online invalid\n")
        .on("vxdisk list sda", 1, "partial\n", "VxVM vxdisk ERROR V-5-1-0\nsecond line")
        .on("echo one", 0, "one\n");
    replayDatadg(fake);
    putMarker("report.cmds", "  echo one  \n\n   \t\nvxdisk -o alldgs list\n");
    putMarker("showmetadata");

    LVM_vxvm().printVXVMStatus(kLabel, {"/dev/sdb", "/dev/sdc"}, "dg|datadg|1;\npv|d|u;");

    // A section for every disk row, whatever the number of status words.
    vbtest::expectCommands(fake.commands(),
                           {"vxdisk -e list", "vxdisk list emc0_0a1b", "vxdisk list emc0_0a1c",
                            "vxdisk list emc0_0a1d", "vxdisk list emc0_0a1e", "vxdisk list sda",
                            "vxdisk -o alldgs list", "echo one", "vxdisk -o alldgs list"});
    const std::vector<std::string> lines = dumpLines();
    ASSERT_GT(lines.size(), 4u);
    EXPECT_EQ(lines.front(), std::string(kLabel) + ":Info: Dump debug information. Start...");
    EXPECT_EQ(lines.back(), std::string(kLabel) + ":Info: Dump debug information. End...");
    for (const char* content : {"*** disks used:",
                                " /dev/sdb",
                                " /dev/sdc",
                                "*** metadata:",
                                "dg|datadg|1;",
                                "pv|d|u;",
                                "*** sub_cmd:vxdisk -e list",
                                "*** information for 'emc0_0a1b' <-> 'sdb'",
                                "*** information for 'emc0_0a1e' <-> 'sde'",
                                "udid:      EMC%5FSYMMETRIX%5F000197600123%5F0A1D",
                                "*** information for 'sda' <-> 'sda'",
                                "cmd: 'vxdisk list sda' failed with the std message:",
                                "partial",
                                "failed with the err message:",
                                "VxVM vxdisk ERROR V-5-1-0",
                                "second line",
                                "Continuing...",
                                "*** sub_cmd:vxdisk -o alldgs list",
                                "*** sub_cmd:echo one",
                                "one"}) {
        EXPECT_TRUE(has(lines, content)) << content;
    }
    // The header line of the listing gets no section.
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("information for 'DEVICE'"), std::string::npos);
    }
}

TEST_F(VxvmDump, UntrustedOrMissingExtrasAreLeftOut) {
    vbhost::ScopedLogSink level3(log_, 3);
    vbtest::FakeRunner fake;
    fake.on("vxdisk -e list", 1, "", "VxVM vxdisk ERROR V-5-1-684 IPC failure");
    putMarker("report.cmds", "touch /tmp/owned\n");
    chmod(host_.marker("report.cmds").c_str(), 0666);

    LVM_vxvm().printVXVMStatus(kLabel, {}, "dg|datadg|1;");

    // The listing failed: its failure block, and none of the later sections.
    vbtest::expectCommands(fake.commands(), {"vxdisk -e list"});
    const std::vector<std::string> records = log_.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].find("*** metadata:"), std::string::npos);
    EXPECT_NE(records[0].find(std::string(kLabel) +
                              ":cmd: 'vxdisk -e list' failed with the std message:"),
              std::string::npos);

    log_.clear();
    fake.on("vxdisk -e list", 0, "").on("vxdisk -o alldgs list", 0, "");
    LVM_vxvm().printVXVMStatus(kLabel);
    vbtest::expectCommands(fake.commands(),
                           {"vxdisk -e list", "vxdisk -e list", "vxdisk -o alldgs list"});
    EXPECT_TRUE(log_.contains("Ignoring the marker file " + host_.marker("report.cmds") +
                              ": it is writable by group or others"));
}

}  // namespace
