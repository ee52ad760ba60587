// The tool's command line: usage errors, help, and failures of the library that need no root
// and no LVM2 (each is refused before any command runs).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "ToolRun.h"

namespace {

using vbtest::runTool;

class CliUsage : public ::testing::Test {
  protected:
    vbtest::TempDir dir_;
    const std::string meta_ = dir_.write("metadata.txt", "src {\n}\n");
    const std::string map_ = dir_.write("map.json", "{}");
};

TEST_F(CliUsage, UsageErrorsExitWithTwoNameTheProblemAndRunNothing) {
    const std::string notJson = dir_.write("notjson.json", "{ \"a\": ");
    const std::string array = dir_.write("array.json", "[\"a\", \"b\"]");
    const std::string number = dir_.write("number.json", "{\"a\": 1}");
    const std::string badConfig = dir_.write("bad.conf", "[host]\nthis line is no setting\n");
    const std::string lv = "/dev/no-such-group/lv";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string where;    // how the message starts
        std::string message;  // what it must say
    };
    const std::vector<Case> cases = {
        {"no subcommand", {}, "volbridge:", "A subcommand is required"},
        {"unknown subcommand", {"frobnicate"}, "volbridge:", "unknown subcommand \"frobnicate\""},
        {"discover without a device or uuid",
         {"discover"},
         "volbridge discover:",
         "give the DEVICE of one of the group's LVs, or --uuid ID"},
        {"discover with a device and a uuid",
         {"discover", lv, "--uuid", "x"},
         "volbridge discover:",
         "excludes"},
        {"discover with an unknown vendor",
         {"discover", "--vendor", "vxvm", lv},
         "volbridge discover:",
         "unknown vendor \"vxvm\" (vendors available: VxVM, LinuxLVM, GPFS)"},
        {"log level below -1",
         {"discover", "--log-level", "-2", lv},
         "volbridge discover:",
         "the log level is -1 or more, not -2"},
        {"log level not a number",
         {"discover", "--log-level", "high", lv},
         "volbridge discover:",
         "--log-level = high"},
        {"configuration file missing",
         {"discover", "--config", dir_.path() + "/none.conf", lv},
         "volbridge discover:",
         dir_.path() + "/none.conf"},
        {"configuration file malformed",
         {"discover", "--config", badConfig, lv},
         "volbridge discover:",
         "line 2 is not a section header"},
        {"log file cannot be opened",
         {"discover", "--log-file", dir_.path() + "/no/log", lv},
         "volbridge discover:",
         "cannot open the log file " + dir_.path() + "/no/log"},
        {"devices with an argument",
         {"devices", lv},
         "volbridge devices:",
         "argument was not expected: " + lv},
        {"devices with an unknown vendor",
         {"devices", "--vendor", "gpfs"},
         "volbridge devices:",
         "unknown vendor \"gpfs\""},
        {"recreate without a vendor",
         {"recreate", "--metadata", meta_, "--map", map_, "/dev/x"},
         "volbridge recreate:",
         "--vendor is required"},
        {"recreate without metadata",
         {"recreate", "--vendor", "LinuxLVM", "--map", map_, "/dev/x"},
         "volbridge recreate:",
         "--metadata is required"},
        {"recreate without a map",
         {"recreate", "--vendor", "LinuxLVM", "--metadata", meta_, "/dev/x"},
         "volbridge recreate:",
         "--map is required"},
        {"recreate without devices",
         {"recreate", "--vendor", "LinuxLVM", "--metadata", meta_, "--map", map_},
         "volbridge recreate:",
         "DEVICE is required"},
        {"recreate with a missing metadata file",
         {"recreate", "--vendor", "LinuxLVM", "--metadata", dir_.path() + "/none", "--map", map_,
          "/dev/x"},
         "volbridge recreate:",
         "--metadata: File does not exist: " + dir_.path() + "/none"},
        {"recreate with a map that is not JSON",
         {"recreate", "--vendor", "LinuxLVM", "--metadata", meta_, "--map", notJson, "/dev/x"},
         "volbridge recreate:",
         "the identifier map " + notJson + " is not valid JSON"},
        {"recreate with a map that is an array",
         {"recreate", "--vendor", "LinuxLVM", "--metadata", meta_, "--map", array, "/dev/x"},
         "volbridge recreate:",
         "must be a JSON object (backup-time id -> current id), not array"},
        {"recreate with a map value that is a number",
         {"recreate", "--vendor", "LinuxLVM", "--metadata", meta_, "--map", number, "/dev/x"},
         "volbridge recreate:",
         "the value of \"a\" is not a string"},
        {"can-revert without --vg",
         {"can-revert", "--vendor", "LinuxLVM", "--metadata", meta_, "/dev/x"},
         "volbridge can-revert:",
         "--vg is required"},
        {"can-revert without devices",
         {"can-revert", "--vendor", "LinuxLVM", "--metadata", meta_, "--vg", "g"},
         "volbridge can-revert:",
         "DEVICE is required"},
        {"prepare-revert without --vg",
         {"prepare-revert", "--vendor", "LinuxLVM", "--metadata", meta_, "/dev/x"},
         "volbridge prepare-revert:",
         "--vg is required"},
        {"prepare-revert with an unknown vendor",
         {"prepare-revert", "--vendor", "lvm", "--metadata", meta_, "--vg", "g", "/dev/x"},
         "volbridge prepare-revert:",
         "unknown vendor \"lvm\""},
        {"revert without a map",
         {"revert", "--vendor", "LinuxLVM", "--metadata", meta_, "/dev/x"},
         "volbridge revert:",
         "--map is required"},
        {"revert with a map that is not an object",
         {"revert", "--vendor", "LinuxLVM", "--metadata", meta_, "--map", array, "/dev/x"},
         "volbridge revert:",
         "must be a JSON object"},
        {"cancel-revert without metadata",
         {"cancel-revert", "--vendor", "LinuxLVM", "/dev/x"},
         "volbridge cancel-revert:",
         "--metadata is required"},
        {"cancel-revert without devices",
         {"cancel-revert", "--vendor", "LinuxLVM", "--metadata", meta_},
         "volbridge cancel-revert:",
         "DEVICE is required"},
        {"destroy without a name",
         {"destroy", "--vendor", "LinuxLVM"},
         "volbridge destroy:",
         "NAME is required"},
        {"destroy with two names",
         {"destroy", "--vendor", "LinuxLVM", "a", "b"},
         "volbridge destroy:",
         "argument was not expected: b"},
        {"destroy without a vendor",
         {"destroy", "a"},
         "volbridge destroy:",
         "--vendor is required"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        args.push_back("--trace");
        vbtest::ToolRun run = runTool(args);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_EQ(run.err.rfind(c.where, 0), 0u) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("+ ["), std::string::npos) << "a command ran:\n" << run.err;
        EXPECT_EQ(run.out, "");
    }
    // A map the tool refused is left as it was.
    EXPECT_EQ(vbtest::readFile(number), "{\"a\": 1}");
}

TEST_F(CliUsage, EverySubcommandHasHelpWithItsOwnAndTheCommonOptions) {
    const std::vector<std::string> common = {"--log-level", "--log-file", "--config", "--trace",
                                             "--quiet"};
    struct Case {
        std::string subcommand;
        std::vector<std::string> options;
    };
    const std::vector<Case> cases = {
        {"discover", {"DEVICE", "--uuid", "--vendor", "--json", "--metadata-out", "--map-out"}},
        {"devices", {"--vendor", "--json"}},
        {"recreate", {"DEVICE", "--vendor", "--metadata", "--map", "--json"}},
        {"can-revert", {"DEVICE", "--vendor", "--metadata", "--vg"}},
        {"prepare-revert", {"DEVICE", "--vendor", "--metadata", "--vg"}},
        {"revert", {"DEVICE", "--vendor", "--metadata", "--map", "--json"}},
        {"cancel-revert", {"DEVICE", "--vendor", "--metadata"}},
        {"destroy", {"NAME", "--vendor"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subcommand);
        vbtest::ToolRun run = runTool({c.subcommand, "--help"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("Usage: volbridge " + c.subcommand + " "), std::string::npos)
            << run.out;
        for (const std::string& option : c.options) {
            EXPECT_NE(run.out.find(option), std::string::npos) << option << "\n" << run.out;
        }
        for (const std::string& option : common) {
            EXPECT_NE(run.out.find(option), std::string::npos) << option << "\n" << run.out;
        }
        const size_t footer = run.out.find("Exit status: 0 success, 1 the operation failed");
        EXPECT_NE(footer, std::string::npos);
        EXPECT_EQ(run.out.find("Exit status:", footer + 1), std::string::npos) << run.out;
    }
    vbtest::ToolRun top = runTool({"--help"});
    EXPECT_EQ(top.status, 0);
    for (const Case& c : cases)
        EXPECT_NE(top.out.find("  " + c.subcommand + " "), std::string::npos);

    // The manual page is made from the same description: each subcommand with its own options,
    // the common options once, and the sections the help does not have.
    vbtest::ToolRun man = runTool({"--manpage"});
    EXPECT_EQ(man.status, 0) << man.err;
    auto roff = [](const std::string& text) {
        std::string escaped;
        for (char c : text) escaped += c == '-' ? std::string("\\-") : std::string(1, c);
        return escaped;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subcommand);
        const size_t entry = man.out.find(".SS \"" + roff(c.subcommand) + " [OPTIONS]");
        ASSERT_NE(entry, std::string::npos);
        const size_t next = man.out.find("\n.S", entry + 1);
        for (const std::string& option : c.options) {
            EXPECT_LT(man.out.find(roff(option), entry), next) << option;
        }
    }
    for (const std::string& option : common) {
        EXPECT_NE(man.out.find(".TP\n\\fB" + roff(option) + "\\fR"), std::string::npos) << option;
    }
    for (const char* section : {".SH \"COMMON OPTIONS\"", ".SH EXIT STATUS", ".SH ENVIRONMENT",
                                ".SH FILES", ".SH OPERATOR MARKERS", ".SH EXAMPLES"}) {
        EXPECT_NE(man.out.find(section), std::string::npos) << section;
    }
}

// Operations the library refuses before it runs anything: exit status 1, the library's message
// and the function that raised it on standard error.
TEST_F(CliUsage, OperationFailuresExitWithOneAndShowTheLibrarysMessageAndFunction) {
    const std::string map = dir_.write("compact.json", "{\"a\":\"b\"}");
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string function;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"discover of a device that does not exist",
         {"discover", "--vendor", "LinuxLVM", "/dev/no-such-group/lv"},
         "LVM_linux_lvm::getVGByLVDevice",
         "Failed to stat /dev/no-such-group/lv: No such file or directory"},
        {"destroy of a name the shell would interpret",
         {"destroy", "--vendor", "LinuxLVM", "--force", "bad;name"},
         "LVM_linux_lvm::destroyVG",
         "Refusing to run a command with the VG name [bad;name]"},
        {"recreate from a device path the shell would interpret",
         {"recreate", "--vendor", "LinuxLVM", "--metadata", meta_, "--map", map, "/dev/x$(id)"},
         "LVM_linux_lvm::recreateVG",
         "Refusing to run a command with the PV device path [/dev/x$(id)]"},
        {"revert onto a device path that starts with a dash",
         {"revert", "--vendor", "LinuxLVM", "--metadata", meta_, "--map", map, "--", "-rf"},
         "LVM_linux_lvm::revertLVs",
         "Refusing to run a command with the PV device path [-rf]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        args.insert(args.begin() + 1, "--trace");
        vbtest::ToolRun run = runTool(args);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find(": " + c.function + " failed: " + c.message), std::string::npos)
            << run.err;
        EXPECT_EQ(run.err.find("+ ["), std::string::npos) << "a command ran:\n" << run.err;
    }
    // The map goes back to its file after a failed import as after a successful one.
    EXPECT_EQ(nlohmann::json::parse(vbtest::readFile(map)), nlohmann::json({{"a", "b"}}));
    EXPECT_NE(vbtest::readFile(map), "{\"a\":\"b\"}") << "the map was not written back";
}

// The operator's view of a failure on this host (no GPFS, no VxVM): the tool's one line, and
// nothing of the library's probes of the backends, which answered "no".
TEST_F(CliUsage, DiscoverOfAMissingPathShowsTheToolsLineAlone) {
    vbtest::ToolRun run = runTool({"discover", "/dev/nonexistent"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "volbridge discover: LVM::getByLVDevice failed: Failed to stat /dev/nonexistent: No "
              "such file or directory\n");
}

// The map is written back through a symbolic link, which stays a link.
TEST_F(CliUsage, MapBehindASymbolicLinkIsWrittenThroughIt) {
    const std::string target = dir_.write("target.json", "{\"a\":\"b\"}");
    const std::string link = dir_.path() + "/link.json";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    vbtest::ToolRun run = runTool(
        {"recreate", "--vendor", "LinuxLVM", "--metadata", meta_, "--map", link, "/dev/x$(id)"});
    EXPECT_EQ(run.status, 1) << run.err;
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(nlohmann::json::parse(vbtest::readFile(target)), nlohmann::json({{"a", "b"}}));
    EXPECT_NE(vbtest::readFile(target), "{\"a\":\"b\"}") << "the map was not written back";
}

// destroy is for groups that recreate made ("<name>_copy_<NNN>"); any other name needs --force,
// and is refused before anything runs.
TEST_F(CliUsage, DestroyRefusesOtherGroupNamesWithoutForce) {
    struct Case {
        const char* vendor;
        const char* name;
    } cases[] = {
        {"LinuxLVM", "data"},
        {"LinuxLVM", "data_copy_"},
        {"LinuxLVM", "data_copy_12"},
        {"LinuxLVM", "data_copy_0x1"},
        {"LinuxLVM", "_copy_001"},
        {"LinuxLVM", "yb_data_1700000000"},
        {"VxVM", "datadg"},
        {"VxVM", "datadg_copy_001"},
        {"VxVM", "yb_datadg_"},
        // A GPFS clone keeps the file system's name: nothing tells it from the source.
        {"GPFS", "gpfs0"},
        {"GPFS", "gpfs0_copy_001"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.vendor) + " " + c.name);
        const char* name = c.name;
        vbtest::ToolRun run = runTool({"destroy", "--trace", "--vendor", c.vendor, name});
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_EQ(run.err.rfind("volbridge destroy: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("--force"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("+ ["), std::string::npos) << "a command ran:\n" << run.err;
    }
}

}  // namespace
