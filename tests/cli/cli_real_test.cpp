// The tool against real LVM2 on loop devices: what it prints is read back with a JSON parser and
// compared with what the library returns and what LVM2 reports.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "LVM/LVM.h"
#include "LvmSandbox.h"
#include "ToolRun.h"

namespace {

using Json = nlohmann::json;
using vbtest::runTool;
using vbtest::shOk;
const char* const kLv = "lvcreate -q --driverloaded n -an -Zn ";

std::string trim(std::string s) {
    s.erase(std::remove_if(s.begin(), s.end(), ::isspace), s.end());
    return s;
}

// Each report row as "column1 column2 ...", whitespace-separated words joined by one space.
std::set<std::string> rows(const std::string& report) {
    std::set<std::string> set;
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word, row;
        while (words >> word) row += (row.empty() ? "" : " ") + word;
        if (!row.empty()) set.insert(row);
    }
    return set;
}

std::set<std::string> groupNames() { return rows(shOk("vgs --noheadings -o vg_name")); }

// The commands with their exit statuses, in order, from --trace lines on standard error
// ("+ [cmd] exited with N after M ms") or from the library's level-3 log lines ("... YbProcess::
// system:L: [cmd] exited with N after M ms").
std::vector<std::pair<std::string, int>> commandsIn(const std::string& text, const char* marker) {
    std::vector<std::pair<std::string, int>> commands;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t start = line.find(marker);
        size_t end = line.rfind("] exited with ");
        if (start == std::string::npos || end == std::string::npos) continue;
        start = line.find('[', start) + 1;
        commands.emplace_back(line.substr(start, end - start),
                              std::stoi(line.substr(end + sizeof("] exited with ") - 1)));
    }
    return commands;
}

// A group over two PVs: "lin" on the first, "other" on the second, "span" striped over both.
class CliReal : public ::testing::Test {
  protected:
    void SetUp() override {
        VB_REQUIRE_REAL_LVM();
        box_.reset(new vbtest::LvmSandbox);
        for (int i = 0; i < 2; ++i) disks_.push_back(box_->addDisk(64));
        vg_ = box_->vg("src");
        shOk("pvcreate -q " + disks_[0] + " " + disks_[1]);
        shOk("vgcreate -q " + vg_ + " " + disks_[0] + " " + disks_[1]);
        shOk(kLv + std::string("-L 8M -n lin ") + vg_ + " " + disks_[0]);
        shOk(kLv + std::string("-L 4M -n other ") + vg_ + " " + disks_[1]);
        shOk(kLv + std::string("-i 2 -I 64k -L 8M -n span ") + vg_ + " " + disks_[0] + " " +
             disks_[1]);
        node_ = box_->makeLVNode(vg_, "lin").path;
        LVM_linux_lvm lvm;
        captured_ = lvm.getVGByLVDevice(node_.c_str());
        ASSERT_EQ(captured_.name, vg_);
        metadata_ = files_.write("metadata.txt", captured_.metadata);
        Json identity = Json::object();
        for (const auto& entry : captured_.pvs) identity[entry.first] = entry.first;
        identityMap_ = identity.dump();
    }

    // Byte copies of both disks on new loop devices.
    std::vector<std::string> cloneBoth() {
        return {box_->cloneDisk(disks_[0]), box_->cloneDisk(disks_[1])};
    }

    std::vector<std::string> recreateArgs(const std::string& map,
                                          const std::vector<std::string>& clones) {
        std::vector<std::string> args = {"recreate", "--vendor", "LinuxLVM", "--metadata",
                                         metadata_,  "--map",    map};
        args.insert(args.end(), clones.begin(), clones.end());
        return args;
    }

    std::unique_ptr<vbtest::LvmSandbox> box_;
    vbtest::TempDir files_;
    std::vector<std::string> disks_;
    std::string vg_;
    std::string node_;
    LVM::VG captured_;
    std::string metadata_;
    std::string identityMap_;
};

// The JSON form of a group against the record the library returns, field by field (all but the
// metadata, which a later capture writes with a later time stamp).
void expectSameGroup(const Json& j, const LVM::VG& vg) {
    EXPECT_EQ(j.at("name"), vg.name);
    EXPECT_EQ(j.at("uuid"), vg.uuid);
    EXPECT_EQ(j.at("orig_name"), vg.orig_name);
    EXPECT_EQ(j.at("orig_uuid"), vg.orig_uuid);
    EXPECT_EQ(j.at("vendor"), vg.vendor);
    ASSERT_EQ(j.at("pvs").size(), vg.pvs.size());
    for (const Json& pv : j.at("pvs")) {
        SCOPED_TRACE(pv.dump());
        auto found = vg.pvs.find(pv.at("uuid").get<std::string>());
        ASSERT_NE(found, vg.pvs.end());
        EXPECT_EQ(pv.at("orig_uuid"), found->second.orig_uuid);
        EXPECT_EQ(pv.at("device"), found->second.device);
        EXPECT_EQ(pv.at("mirror_id"), found->second.mirror_id);
        EXPECT_EQ(pv.at("state"), static_cast<int>(found->second.state));
    }
    ASSERT_EQ(j.at("lvs").size(), vg.lvs.size());
    for (const Json& lv : j.at("lvs")) {
        SCOPED_TRACE(lv.dump());
        auto found = vg.lvs.find(lv.at("uuid").get<std::string>());
        ASSERT_NE(found, vg.lvs.end());
        EXPECT_EQ(lv.at("orig_uuid"), found->second.orig_uuid);
        EXPECT_EQ(lv.at("device"), found->second.device);
        EXPECT_EQ(lv.at("pvs").get<std::list<std::string>>(), found->second.pvs);
        EXPECT_EQ(lv.at("state"), found->second.state);
    }
}

// "uuid device" of every PV of the group, and "uuid /dev/vg/lv" of its LVs, from a JSON group.
std::set<std::string> pvRows(const Json& j) {
    std::set<std::string> set;
    for (const Json& pv : j.at("pvs")) {
        set.insert(pv.at("uuid").get<std::string>() + " " + pv.at("device").get<std::string>());
    }
    return set;
}
std::set<std::string> lvRows(const Json& j) {
    std::set<std::string> set;
    for (const Json& lv : j.at("lvs")) {
        set.insert(lv.at("uuid").get<std::string>() + " " + lv.at("device").get<std::string>());
    }
    return set;
}
std::set<std::string> lvm2LvRows(const std::string& vg) {
    std::set<std::string> set;
    for (const std::string& row : rows(shOk("lvs --noheadings -o lv_uuid,lv_name " + vg))) {
        set.insert(row.substr(0, row.find(' ')) + " /dev/" + vg + "/" +
                   row.substr(row.find(' ') + 1));
    }
    return set;
}

// LVM2 metadata text without the lines that differ between two exports of one group: the header
// comment, "description", "creation_time" and "creation_host" at the top.
std::string withoutStamps(const std::string& text) {
    std::string kept;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("# Generated", 0) == 0 || line.rfind("description = ", 0) == 0 ||
            line.rfind("creation_time = ", 0) == 0 || line.rfind("creation_host = ", 0) == 0) {
            continue;
        }
        kept += line + "\n";
    }
    return kept;
}

TEST_F(CliReal, DiscoverJsonRoundTripsThroughAParser) {
    const std::string metaOut = files_.path() + "/captured.txt";
    const std::string mapOut = files_.path() + "/map.json";
    vbtest::ToolRun run =
        runTool({"discover", "--json", "--metadata-out", metaOut, "--map-out", mapOut, node_});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json j = Json::parse(run.out);

    // The tool's process captured the metadata anew: the text is LVM2's description of the group
    // now (less the lines that say when and how it was written).
    const std::string now = files_.path() + "/now.vg";
    shOk("vgcfgbackup -q -f " + now + " " + vg_);
    EXPECT_EQ(withoutStamps(j.at("metadata")), withoutStamps(vbtest::readFile(now)));
    EXPECT_EQ(j.at("metadata"), vbtest::readFile(metaOut));
    expectSameGroup(j, captured_);

    // And LVM2 agrees.
    EXPECT_EQ(j.at("uuid"), trim(shOk("vgs --noheadings -o vg_uuid " + vg_)));
    EXPECT_EQ(pvRows(j),
              rows(shOk("pvs --noheadings -o pv_uuid,pv_name " + disks_[0] + " " + disks_[1])));
    EXPECT_EQ(lvRows(j), lvm2LvRows(vg_));

    // The map for byte copies: every PV's id to itself.
    Json identity = Json::object();
    for (const Json& pv : j.at("pvs")) identity[pv.at("uuid").get<std::string>()] = pv.at("uuid");
    EXPECT_EQ(Json::parse(vbtest::readFile(mapOut)), identity);

    // By uuid: the same group.
    vbtest::ToolRun byUuid = runTool({"discover", "--json", "--uuid", j.at("uuid")});
    ASSERT_EQ(byUuid.status, 0) << byUuid.err;
    expectSameGroup(Json::parse(byUuid.out), captured_);

    // The table names the same PVs and LVs.
    vbtest::ToolRun table = runTool({"discover", node_});
    ASSERT_EQ(table.status, 0) << table.err;
    for (const std::string& row : pvRows(j)) {
        EXPECT_NE(table.out.find(row.substr(row.find(' ') + 1)), std::string::npos) << row;
    }
    for (const std::string& row : lvRows(j)) {
        EXPECT_NE(table.out.find(row.substr(row.find(' ') + 1)), std::string::npos) << row;
    }
}

TEST_F(CliReal, DevicesListsWhatTheLibraryLists) {
    vbtest::ToolRun run = runTool({"devices", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    LVM::DeviceInfoList expected;
    LVM_linux_lvm lvm;
    ASSERT_TRUE(lvm.getPVList(expected).IsSuccess());
    const Json j = Json::parse(run.out);
    ASSERT_EQ(j.size(), expected.size());
    auto row = expected.begin();
    for (const Json& device : j) {
        EXPECT_EQ(device.at("device"), row->device);
        EXPECT_EQ(device.at("vendor"), row->vendor);
        EXPECT_EQ(device.at("vg_name"), row->vg_name);
        ++row;
    }
    // The sandbox's two PVs, in its group.
    EXPECT_EQ(j.size(), 2u);
    for (const Json& device : j) EXPECT_EQ(device.at("vg_name"), vg_);
}

TEST_F(CliReal, RecreateImportsTheClonesAndDestroyRemovesThem) {
    const std::string map = files_.write("map.json", identityMap_);
    std::vector<std::string> clones = cloneBoth();
    std::vector<std::string> args = recreateArgs(map, clones);
    args.push_back("--json");
    vbtest::ToolRun run = runTool(args);
    ASSERT_EQ(run.status, 0) << run.err;
    const Json j = Json::parse(run.out);

    EXPECT_EQ(j.at("name"), vg_ + "_copy_001");
    EXPECT_EQ(j.at("orig_name"), vg_);
    EXPECT_EQ(j.at("orig_uuid"), captured_.uuid);
    EXPECT_NE(j.at("uuid"), captured_.uuid);
    EXPECT_EQ(j.at("vendor"), "LinuxLVM");
    const std::string copy = j.at("name");
    EXPECT_EQ(j.at("uuid"), trim(shOk("vgs --noheadings -o vg_uuid " + copy)));

    // Each clone is a PV of the new group with a new id; the map file says which.
    const Json written = Json::parse(vbtest::readFile(map));
    std::set<std::string> devices;
    for (const Json& pv : j.at("pvs")) {
        SCOPED_TRACE(pv.dump());
        const std::string device = pv.at("device");
        devices.insert(device);
        EXPECT_TRUE(captured_.pvs.count(pv.at("orig_uuid")));
        EXPECT_NE(pv.at("uuid"), pv.at("orig_uuid"));
        EXPECT_EQ(written.at(pv.at("orig_uuid").get<std::string>()), pv.at("uuid"));
        EXPECT_EQ(pv.at("uuid"), trim(shOk("pvs --noheadings -o pv_uuid " + device)));
    }
    EXPECT_EQ(devices, std::set<std::string>(clones.begin(), clones.end()));
    EXPECT_EQ(written.size(), captured_.pvs.size());
    EXPECT_EQ(lvRows(j), lvm2LvRows(copy));
    std::set<std::string> origLvs;
    for (const Json& lv : j.at("lvs")) origLvs.insert(lv.at("orig_uuid"));
    std::set<std::string> capturedLvs;
    for (const auto& entry : captured_.lvs) capturedLvs.insert(entry.first);
    EXPECT_EQ(origLvs, capturedLvs);
    EXPECT_EQ(groupNames(), (std::set<std::string>{vg_, copy}));

    vbtest::ToolRun destroyed = runTool({"destroy", "--vendor", "LinuxLVM", copy});
    EXPECT_EQ(destroyed.status, 0) << destroyed.err;
    EXPECT_EQ(groupNames(), std::set<std::string>{vg_});
}

TEST_F(CliReal, TraceOfRecreateListsExactlyTheCommandsTheLibraryRan) {
    // The configuration file reaches the library: without declustering, the group is activated
    // without the locking override.
    struct Case {
        const char* name;
        std::string config;
        bool lockingOverride;
    };
    const std::vector<Case> cases = {
        {"default configuration", "", true},
        {"no declustering", "[FileSystemAgent]\nnDECLUSTER_LVM = 0\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string map = files_.write("map.json", identityMap_);
        const std::string log = files_.path() + "/log-" + std::to_string(&c - &cases[0]);
        std::vector<std::string> args = recreateArgs(map, cloneBoth());
        args.insert(args.end(), {"--trace", "--log-level", "3", "--log-file", log, "--config",
                                 files_.write("volbridge.conf", c.config)});
        vbtest::ToolRun run = runTool(args);
        ASSERT_EQ(run.status, 0) << run.err;

        const auto traced = commandsIn(run.err, "+ [");
        const auto logged = commandsIn(vbtest::readFile(log), "YbProcess::system:");
        EXPECT_EQ(traced, logged) << run.err << "\n---- log:\n" << vbtest::readFile(log);
        size_t pvcreates = 0, restores = 0, activations = 0, overrides = 0;
        for (const auto& command : traced) {
            pvcreates += command.first.rfind("pvcreate ", 0) == 0;
            restores += command.first.rfind("vgcfgrestore ", 0) == 0;
            if (command.first.rfind("vgchange ", 0) == 0) {
                activations += command.first.rfind("vgchange -ay ", 0) == 0;
                overrides += command.first.find("locking_type = 0") != std::string::npos;
            }
        }
        EXPECT_EQ(pvcreates, 2u);
        EXPECT_EQ(restores, 1u);
        EXPECT_EQ(activations, 1u);
        EXPECT_EQ(overrides, c.lockingOverride ? 1u : 0u);
    }
}

// The steps the library reported, from its level-2 log lines ("... L2 <operation>:<line>: Step 3
// of 7: <what>"), as the progress line shows them ("[3/7] <what>"); those of the operation that
// reported first only (an operation run inside another one reports nothing).
std::vector<std::string> reportedSteps(const std::string& log) {
    std::vector<std::string> steps;
    std::string first;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        const size_t level = line.find(" L2 ");
        const size_t step = line.find(": Step ");
        const size_t of = line.find(" of ", step);
        const size_t what = line.find(": ", of);
        if (level == std::string::npos || step == std::string::npos || of == std::string::npos ||
            what == std::string::npos) {
            continue;
        }
        const std::string operation = line.substr(level + 4, step - level - 4);
        if (first.empty()) first = operation;
        if (operation != first) continue;
        const size_t n = step + sizeof(": Step ") - 1;
        steps.push_back("[" + line.substr(n, of - n) + "/" + line.substr(of + 4, what - of - 4) +
                        "] " + line.substr(what + 2));
    }
    return steps;
}

// The progress on a terminal: every line the status line showed (blanks that rewrote a longer
// one dropped), and the last line.
struct TerminalText {
    std::vector<std::string> steps;
    std::string last;
};
TerminalText readTerminal(const std::string& text) {
    TerminalText seen;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, '\r');) {
        if (part.rfind('[', 0) == 0) {
            part.erase(part.find_last_not_of(' ') + 1);
            seen.steps.push_back(part);
        } else if (!part.empty() && part.find_first_not_of(' ') != std::string::npos) {
            seen.last = part;
        }
    }
    return seen;
}

// A clone import on a terminal shows the steps the library reports on one rewritten line, then
// the time it took; without a terminal, nothing of it (nor of the library's log) is shown.
TEST_F(CliReal, ProgressOfACloneImportIsShownOnATerminalOnly) {
    const std::string log = files_.path() + "/progress.log";
    const std::vector<std::string> clones = cloneBoth();
    std::vector<std::string> args = recreateArgs(files_.write("map.json", identityMap_), clones);
    // The log at level 2 in a file says which steps the library reported.
    args.insert(args.end(), {"--log-level", "2", "--log-file", log});
    vbtest::ToolRun tty = vbtest::runToolOnTerminal(args);
    ASSERT_EQ(tty.status, 0) << tty.err;
    EXPECT_NE(tty.out.find(vg_ + "_copy_001"), std::string::npos) << tty.out;

    const std::vector<std::string> reported = reportedSteps(vbtest::readFile(log));
    const TerminalText seen = readTerminal(tty.err);
    EXPECT_EQ(seen.steps, reported) << tty.err;
    // Each clone is re-initialised, the metadata restored onto both, the group activated.
    const std::string total = "/" + std::to_string(reported.size()) + "] ";
    ASSERT_EQ(reported.size(), 4u) << tty.err;
    EXPECT_EQ(reported[2],
              "[3" + total + "restoring the group metadata onto " + clones[0] + " " + clones[1]);
    EXPECT_TRUE(std::regex_match(seen.last, std::regex("recreateVG: done in [0-9.]+ s\n")))
        << seen.last;

    vbtest::ToolRun plain =
        runTool(recreateArgs(files_.write("map2.json", identityMap_), cloneBoth()));
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(groupNames(), (std::set<std::string>{vg_, vg_ + "_copy_001", vg_ + "_copy_002"}));
}

TEST_F(CliReal, FailedImportExitsWithOneAndLeavesNoGroup) {
    // The map does not know the ids the clones carry.
    const std::string map = files_.write("map.json", "{\"unknown\": \"ids\"}");
    std::vector<std::string> clones = cloneBoth();
    vbtest::ToolRun run = runTool(recreateArgs(map, clones));
    EXPECT_EQ(run.status, 1);
    // The first clone carries the id of the first disk.
    const std::string id = trim(shOk("pvs --noheadings -o pv_uuid " + disks_[0]));
    EXPECT_NE(
        run.err.find("volbridge recreate: LVM_linux_lvm::recreateVG failed: Can't find UUID " + id +
                     " in the supplied UUID map"),
        std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(groupNames(), std::set<std::string>{vg_});
    // Nothing was written to the clones.
    for (size_t i = 0; i < clones.size(); ++i) {
        shOk("cmp " + box_->imageOf(disks_[i]) + " " + box_->imageOf(clones[i]));
    }
    EXPECT_EQ(Json::parse(vbtest::readFile(map)), Json({{"unknown", "ids"}}));
}

TEST_F(CliReal, RevertStepsReportTheLibrarysVerdictInTheExitStatus) {
    struct Case {
        const char* name;
        std::string step;
        std::vector<std::string> devices;
        int status;
        std::string text;  // on standard output or standard error
    };
    const std::string lvDir = "/dev/" + vg_ + "/";
    const std::vector<Case> cases = {
        {"both disks", "can-revert", {disks_[0], disks_[1]}, 0, "can be reverted from"},
        {"an LV on both sides",
         "can-revert",
         {disks_[0]},
         1,
         "Can't allow revert because LV span resides both on PVs that will be reverted"},
        {"prepare the second disk",
         "prepare-revert",
         {disks_[1]},
         0,
         "+ [lvchange -an " + lvDir + "other " + lvDir + "span]"},
        {"cancel on the second disk",
         "cancel-revert",
         {disks_[1]},
         0,
         "+ [lvchange -ay " + lvDir + "other " + lvDir + "span]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {c.step,     "--trace",    "--vendor",
                                         "LinuxLVM", "--metadata", metadata_};
        if (c.step != "cancel-revert") args.insert(args.end(), {"--vg", vg_});
        args.insert(args.end(), c.devices.begin(), c.devices.end());
        vbtest::ToolRun run = runTool(args);
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(c.text), std::string::npos) << run.out << run.err;
        if (c.status == 1) {
            EXPECT_NE(
                run.err.find("volbridge " + c.step + ": group " + vg_ + " cannot be reverted"),
                std::string::npos)
                << run.err;
        }
    }
}

// ---- destroy refuses groups that recreate did not make ----

TEST_F(CliReal, DestroyOfAGroupRecreateDidNotMakeNeedsForce) {
    vbtest::ToolRun refused = runTool({"destroy", "--trace", "--vendor", "LinuxLVM", vg_});
    EXPECT_EQ(refused.status, 2) << refused.err;
    EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.err.find("+ ["), std::string::npos) << "a command ran:\n" << refused.err;
    EXPECT_EQ(groupNames(), std::set<std::string>{vg_});

    vbtest::ToolRun forced = runTool({"destroy", "--force", "--vendor", "LinuxLVM", vg_});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(groupNames(), std::set<std::string>{});
}

// ---- interrupted imports ----

// Stand-ins on the tool's PATH for LVM2 commands: each appends its command line to a file and
// counts itself; the stand-in whose count (over all of them, from 1) reaches the armed number runs
// an action against the tool (the process running it, found among its ancestors, as $tool):
// instead of the real command, before it or after it (keeping its exit status). Every other call
// is the real command. PATH leads to them only while run() runs the tool.
class StandIns {
  public:
    enum class When { Instead, Before, After };

    StandIns(const vbtest::TempDir& dir, const std::vector<std::string>& names)
        : dir_(dir.path() + "/standins") {
        shOk("mkdir -p " + dir_ + "/bin");
        std::string tool;
        vbtest::sh("readlink -f " + vbtest::shellQuoted(VBTEST_TOOL), &tool);
        for (const std::string& name : names) {
            const std::string real = trim(shOk("command -v " + name));
            const std::string script =
                "#!/bin/sh\n"
                "echo \"" +
                name + " $*\" >> " + dir_ +
                "/calls\n"
                "n=$(( $(cat " +
                dir_ +
                "/count 2>/dev/null || echo 0) + 1 ))\n"
                "echo $n > " +
                dir_ +
                "/count\n"
                "[ \"$n\" = \"$(cat " +
                dir_ + "/at)\" ] || exec " + real +
                " \"$@\"\n"
                "tool=$PPID\n"
                "while [ \"$tool\" -gt 1 ] && [ \"$(readlink /proc/$tool/exe)\" != " +
                vbtest::shellQuoted(trim(tool)) +
                " ]; do\n"
                "    tool=$(awk '/^PPid:/ { print $2 }' /proc/$tool/status)\n"
                "done\n"
                "when=$(cat " +
                dir_ +
                "/when)\n"
                "if [ \"$when\" = after ]; then " +
                real + " \"$@\"; rc=$?; . " + dir_ +
                "/action; exit $rc; fi\n"
                ". " +
                dir_ +
                "/action\n"
                "[ \"$when\" = before ] && exec " +
                real +
                " \"$@\"\n"
                "exit 1\n";
            vbtest::writeFile(dir_ + "/bin/" + name, script);
            shOk("chmod 755 " + dir_ + "/bin/" + name);
        }
        arm(0, When::Instead, "");
    }

    // For the runs to come: the `at`-th call (0: none) runs `action` (shell text).
    void arm(size_t at, When when, const std::string& action) const {
        vbtest::writeFile(dir_ + "/at", std::to_string(at) + "\n");
        vbtest::writeFile(dir_ + "/when", when == When::After    ? "after\n"
                                          : when == When::Before ? "before\n"
                                                                 : "instead\n");
        vbtest::writeFile(dir_ + "/action", action + "\n");
        vbtest::writeFile(dir_ + "/count", "0\n");
    }

    vbtest::ToolRun run(const std::vector<std::string>& args) const {
        const std::string saved = getenv("PATH");
        setenv("PATH", (dir_ + "/bin:" + saved).c_str(), 1);
        vbtest::ToolRun run = runTool(args);
        setenv("PATH", saved.c_str(), 1);
        return run;
    }

    // Each call's command line, as "<name> <arguments>".
    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::istringstream in(vbtest::readFile(dir_ + "/calls"));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // The metadata files the tool's commands named (pvcreate --restorefile, vgcfgrestore -f): a
    // tool killed outright leaves its own behind.
    std::vector<std::string> metadataFiles() const {
        std::vector<std::string> files;
        for (const std::string& call : calls()) {
            std::istringstream in(call);
            const bool restore = call.rfind("vgcfgrestore ", 0) == 0;
            for (std::string word; in >> word;) {
                if ((word == "--restorefile" || (restore && word == "-f")) && in >> word) {
                    files.push_back(word);
                }
            }
        }
        return files;
    }

  private:
    std::string dir_;
};

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Removes what a tool killed outright left of an import or revert of the group `vg`: its
// temporary metadata files in /tmp, which describe the group (or its copy) by name.
void removeMetadataFilesOf(const std::string& vg) {
    std::istringstream names(vbtest::shOk("ls /tmp"));
    for (std::string name; names >> name;) {
        if (name.rfind("ybmeta_", 0) != 0) continue;
        const std::string path = "/tmp/" + name;
        if (vbtest::readFile(path).find("\n" + vg) != std::string::npos) unlink(path.c_str());
    }
}

// The lines of the host's import journal about the group with id `vg_uuid`.
std::vector<std::string> journalLinesOf(const std::string& vg_uuid) {
    std::vector<std::string> lines;
    std::istringstream in(vbtest::readFile("/var/lib/volbridge/lvm2-import.journal"));
    for (std::string line; std::getline(in, line);) {
        if (line.find(vg_uuid) != std::string::npos) lines.push_back(line);
    }
    return lines;
}

// The work of an import or revert of the capture with group id `captured` is done: the group
// `vg` is sound and holds the LVs `lvs`, the map file holds the PV id each device carries now (and
// nothing else), and the journal keeps no line of the capture.
void expectFinished(const std::string& vg, const std::set<std::string>& lvs,
                    const std::string& mapFile, const std::vector<std::string>& devices,
                    const std::string& captured) {
    vbtest::shOk("vgck " + vg);
    EXPECT_EQ(rows(shOk("lvs --noheadings -o lv_name " + vg)), lvs);
    const Json written = Json::parse(vbtest::readFile(mapFile));
    std::set<std::string> recorded, carried;
    for (const auto& entry : written.items()) recorded.insert(entry.value().get<std::string>());
    for (const std::string& device : devices) {
        carried.insert(trim(shOk("pvs --noheadings -o pv_uuid " + device)));
    }
    EXPECT_EQ(recorded, carried);
    EXPECT_TRUE(journalLinesOf(captured).empty())
        << testing::PrintToString(journalLinesOf(captured));
}

// A terminating signal while the import changes the clones: the tool lets the import finish,
// writes the map (through the symbolic link it was given) and leaves no temporary file.
TEST_F(CliReal, SignalDuringAnImportLetsItFinishAndWritesTheMap) {
    const std::string target = files_.write("map-target.json", identityMap_);
    const std::string map = files_.path() + "/map.json";
    ASSERT_EQ(symlink(target.c_str(), map.c_str()), 0);
    std::vector<std::string> clones = cloneBoth();
    StandIns standIns(files_, {"pvcreate"});
    standIns.arm(1, StandIns::When::Before, "kill -TERM $tool; sleep 0.3");
    vbtest::ToolRun run = standIns.run(recreateArgs(map, clones));

    EXPECT_EQ(run.status, 128 + SIGTERM) << run.err;
    EXPECT_EQ(groupNames(), (std::set<std::string>{vg_, vg_ + "_copy_001"})) << run.err;
    struct stat st;
    ASSERT_EQ(lstat(map.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    expectFinished(vg_ + "_copy_001", {"lin", "other", "span"}, target, clones, captured_.uuid);
    for (const std::string& file : standIns.metadataFiles()) EXPECT_FALSE(exists(file)) << file;
}

// Ctrl-C at the terminal during a clone import: SIGINT reaches the tool's process group, not the
// command it runs (a vgcfgrestore here, which takes a moment); that command finishes, the import
// completes, the map is written, and the tool exits with 130.
TEST_F(CliReal, CtrlCDuringAnImportLetsTheCommandAndTheImportFinish) {
    const std::string map = files_.write("map.json", identityMap_);
    std::vector<std::string> clones = cloneBoth();
    StandIns standIns(files_, {"vgcfgrestore"});
    // The tool's process group, as a terminal's Ctrl-C reaches it; then the command takes its
    // time.
    standIns.arm(1, StandIns::When::Before,
                 "kill -INT -$(ps -o pgid= -p $tool | tr -d ' '); sleep 0.5");
    vbtest::ToolRun run = standIns.run(recreateArgs(map, clones));

    EXPECT_EQ(run.status, 130) << run.err;
    const std::string copy = vg_ + "_copy_001";
    EXPECT_EQ(groupNames(), (std::set<std::string>{vg_, copy})) << run.err;
    expectFinished(copy, {"lin", "other", "span"}, map, clones, captured_.uuid);
}

// Kills the tool outright (SIGKILL) just before, and then just after, each stand-in command in
// turn, each time in the state that `prepare` makes and with the arguments it returns (the files
// it leaves of group `vg` are removed); then runs the same command again, unharmed, which must
// succeed, and lets `check` judge the state. Returns
// the number of points at which the tool was killed (the loop ends at the first command number no
// run reaches).
size_t killAtEachStep(const StandIns& standIns, const std::string& vg,
                      const std::function<std::vector<std::string>()>& prepare,
                      const std::function<void()>& check) {
    size_t points = 0;
    for (size_t at = 1;; ++at) {
        for (StandIns::When when : {StandIns::When::Instead, StandIns::When::After}) {
            SCOPED_TRACE("killed " +
                         std::string(when == StandIns::When::After ? "after" : "before") +
                         " command " + std::to_string(at));
            const std::vector<std::string> args = prepare();
            standIns.arm(at, when, "kill -KILL $tool");
            vbtest::ToolRun killed = standIns.run(args);
            const std::vector<std::string> calls = standIns.calls();
            removeMetadataFilesOf(vg);
            const bool reached = killed.status != 0;
            if (reached) {
                EXPECT_EQ(killed.status, 128 + SIGKILL) << killed.err;
                ++points;
                standIns.arm(0, when, "");
                vbtest::ToolRun again = standIns.run(args);
                EXPECT_EQ(again.status, 0) << again.err;
            }
            check();
            if (!reached) return points;
            if (::testing::Test::HasFailure()) {
                ADD_FAILURE() << "commands: " << testing::PrintToString(calls);
                return points;
            }
        }
    }
}

// The tool killed outright just before, and just after, each command of a clone import that
// changes a disk, in turn; then the same command again. It finishes the import: one complete group,
// the map holding each clone's PV id, no journal line of the import left.
TEST_F(CliReal, ImportKilledAtEachStepIsFinishedByRunningItAgain) {
    StandIns standIns(files_, {"pvcreate", "vgcfgrestore", "vgchange"});
    const std::string copy = vg_ + "_copy_001";
    const std::string map = files_.path() + "/map.json";
    std::vector<std::string> clones;
    const size_t points = killAtEachStep(
        standIns, vg_,
        [&] {
            files_.write("map.json", identityMap_);
            clones = cloneBoth();
            return recreateArgs(map, clones);
        },
        [&] {
            EXPECT_EQ(groupNames(), (std::set<std::string>{vg_, copy}));
            expectFinished(copy, {"lin", "other", "span"}, map, clones, captured_.uuid);
            shOk("vgremove -q -ff -y " + copy);
            for (const std::string& clone : clones) box_->removeDisk(clone);
        });
    // pvcreate of each clone, vgcfgrestore and vgchange -ay, each before and after.
    EXPECT_EQ(points, 8u);
}

// Stopped once the import had returned but before the map reached its file (the journal lines are
// gone by then): the map still holds the backup-time ids, which the clones no longer carry. The
// same command again recognises the group made from all the clones and finishes: no disk changes,
// and the map gets the clones' ids. The clones must keep the captured layout: a group on them whose
// LVs are laid out otherwise is refused.
TEST_F(CliReal, ImportStoppedBeforeItsMapWasWrittenIsFinishedByRunningItAgain) {
    const std::string copy = vg_ + "_copy_001";
    const std::string map = files_.write("map.json", identityMap_);
    const std::vector<std::string> clones = cloneBoth();
    vbtest::ToolRun first = runTool(recreateArgs(map, clones));
    ASSERT_EQ(first.status, 0) << first.err;
    const std::string made = shOk("pvs --noheadings -o pv_uuid " + clones[0] + " " + clones[1]);
    files_.write("map.json", identityMap_);

    vbtest::ToolRun again = runTool(recreateArgs(map, clones));
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(groupNames(), (std::set<std::string>{vg_, copy}));
    EXPECT_EQ(shOk("pvs --noheadings -o pv_uuid " + clones[0] + " " + clones[1]), made);
    expectFinished(copy, {"lin", "other", "span"}, map, clones, captured_.uuid);

    // The group on the clones no longer places "lin" as captured.
    shOk("lvextend -q -l +1 " + copy + "/lin");
    files_.write("map.json", identityMap_);
    vbtest::ToolRun moved = runTool(recreateArgs(map, clones));
    EXPECT_EQ(moved.status, 1) << moved.err << moved.out;
    EXPECT_NE(moved.err.find("does not lay out LV [lin]"), std::string::npos) << moved.err;
    EXPECT_EQ(shOk("pvs --noheadings -o pv_uuid " + clones[0] + " " + clones[1]), made);
    shOk("vgremove -q -ff -y " + copy);
    for (const std::string& clone : clones) box_->removeDisk(clone);
}

// The same for a revert of both disks after a rollback: the tool killed just before and just after
// each command that changes a disk or an LV, then the same command again, which finishes it.
TEST_F(CliReal, RevertKilledAtEachStepIsFinishedByRunningItAgain) {
    // The last LV the revert activates has a node, through which the result is looked up.
    for (const char* lv : {"other", "span"}) box_->makeLVNode(vg_, lv);
    const std::string saved0 = box_->saveImage(disks_[0], "d0");
    const std::string saved1 = box_->saveImage(disks_[1], "d1");
    StandIns standIns(files_, {"dmsetup", "pvcreate", "vgcfgrestore", "lvchange"});
    const std::string map = files_.path() + "/map.json";
    const size_t points = killAtEachStep(
        standIns, vg_,
        [&] {
            // The storage rolls both disks back to the captured moment.
            box_->restoreImage(saved0, disks_[0]);
            box_->restoreImage(saved1, disks_[1]);
            files_.write("map.json", identityMap_);
            return std::vector<std::string>{"revert",     "--vendor", "LinuxLVM",
                                            "--metadata", metadata_,  "--map",
                                            map,          disks_[0],  disks_[1]};
        },
        [&] {
            expectFinished(vg_, {"lin", "other", "span"}, map, disks_, captured_.uuid);
        });
    // dmsetup remove, pvcreate of each disk, vgcfgrestore and lvchange -ay, before and after.
    EXPECT_EQ(points, 10u);
}

// The same for a revert: stopped after it finished but before the map reached its file, it is done
// again over its own result, each PV recognised in the live group by where its LVs lie, and the
// map gets the PVs' ids.
TEST_F(CliReal, RevertStoppedBeforeItsMapWasWrittenIsFinishedByRunningItAgain) {
    for (const char* lv : {"other", "span"}) box_->makeLVNode(vg_, lv);
    const std::string map = files_.write("map.json", identityMap_);
    const std::vector<std::string> args = {"revert",     "--vendor", "LinuxLVM",
                                           "--metadata", metadata_,  "--map",
                                           map,          disks_[0],  disks_[1]};
    vbtest::ToolRun first = runTool(args);
    ASSERT_EQ(first.status, 0) << first.err;
    files_.write("map.json", identityMap_);
    vbtest::ToolRun again = runTool(args);
    EXPECT_EQ(again.status, 0) << again.err << again.out;
    expectFinished(vg_, {"lin", "other", "span"}, map, disks_, captured_.uuid);

    // Once an LV on the first disk lies otherwise, that disk is no copy the revert can name.
    shOk("lvextend -q -l +1 " + vg_ + "/lin " + disks_[0]);
    const std::string ids = shOk("pvs --noheadings -o pv_uuid " + disks_[0] + " " + disks_[1]);
    files_.write("map.json", identityMap_);
    vbtest::ToolRun moved = runTool(args);
    EXPECT_EQ(moved.status, 1) << moved.out;
    EXPECT_NE(moved.err.find("Can't find UUID"), std::string::npos) << moved.err;
    EXPECT_EQ(shOk("pvs --noheadings -o pv_uuid " + disks_[0] + " " + disks_[1]), ids);
}

// A failed pvcreate is reported once: by the tool's message, not once more by a log line.
TEST_F(CliReal, FailedPvcreateIsReportedOnce) {
    const std::string map = files_.write("map.json", identityMap_);
    StandIns standIns(files_, {"pvcreate"});
    standIns.arm(1, StandIns::When::Instead, "echo '  injected pvcreate failure' >&2; exit 5");
    vbtest::ToolRun run = standIns.run(recreateArgs(map, cloneBoth()));
    EXPECT_EQ(run.status, 1);
    size_t seen = 0;
    for (size_t at = run.err.find("injected pvcreate failure"); at != std::string::npos;
         at = run.err.find("injected pvcreate failure", at + 1)) {
        ++seen;
    }
    EXPECT_EQ(seen, 1u) << run.err;
}

}  // namespace
