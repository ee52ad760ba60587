// The volbridge tool as a separate program over a stateful stand-in for VxVM (fake/vxfake: the
// VxVM tools first on PATH, keeping the groups and tags they make in files): a Ctrl-C during a
// clone import, a kill at each step of an import and a second run of the same command, and two
// imports of the same clones at once. The tool holds the host's import lock under
// /var/lib/volbridge, so these tests need root, like the tool.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Fixtures.h"
#include "ToolRun.h"

namespace {

const std::vector<std::string> kRecreate{"recreate", "--vendor", "VxVM", "--metadata",
                                         "META",     "--map",    "MAP",  "/dev/sdb",
                                         "/dev/sdc", "/dev/sdd"};

struct Exit {
    int status = -1;  // the exit status, or 128 + the signal that ended the tool
    std::string out;
    std::string err;
};

// A host with VxVM's tools faked, and the tool run on it.
class FakeVxvmHost {
  public:
    FakeVxvmHost() {
        mkdir(bin().c_str(), 0755);
        mkdir(state().c_str(), 0755);
        for (const char* tool : {"vxdisk", "vxdg", "vxprint", "vxvol", "vxdmpadm"}) {
            EXPECT_EQ(symlink(VBTEST_FAKEVX, (bin() + "/" + tool).c_str()), 0);
        }
        dir_.write("meta.txt", vbtest::readFixture("vxvm/metadata/datadg.txt"));
        dir_.write("map.json", "{}\n");
    }

    std::string bin() const { return dir_.path() + "/bin"; }
    std::string state() const { return dir_.path() + "/state"; }
    std::vector<std::string> lines(const std::string& file) const {
        std::vector<std::string> result;
        std::ifstream in(state() + "/" + file);
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }

    // Starts the tool with `args` ("META" and "MAP" stand for the files of the capture) in a
    // process group of its own, as a shell starts a job; `env` adds to its environment.
    pid_t start(std::vector<std::string> args, const std::map<std::string, std::string>& env = {}) {
        for (std::string& arg : args) {
            if (arg == "META") arg = dir_.path() + "/meta.txt";
            if (arg == "MAP") arg = dir_.path() + "/map.json";
        }
        const std::string out = dir_.path() + "/out." + std::to_string(runs_);
        const std::string err = dir_.path() + "/err." + std::to_string(runs_);
        ++runs_;
        const pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            setenv("PATH", (bin() + ":" + getenv("PATH")).c_str(), 1);
            setenv("VBFAKE_STATE", state().c_str(), 1);
            setenv("VBFAKE_FIXTURES", vbtest::fixturePath("vxvm").c_str(), 1);
            setenv("VBFAKE_TOOL_PID", std::to_string(getpid()).c_str(), 1);
            setenv("VOLBRIDGE_TMPDIR", dir_.path().c_str(), 1);
            for (const auto& [key, value] : env) setenv(key.c_str(), value.c_str(), 1);
            if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr))
                _exit(126);
            std::vector<char*> argv{const_cast<char*>(VBTEST_TOOL)};
            for (std::string& arg : args) argv.push_back(&arg[0]);
            argv.push_back(nullptr);
            execv(VBTEST_TOOL, argv.data());
            _exit(127);
        }
        outputs_[pid] = {out, err};
        return pid;
    }

    Exit wait(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        Exit exit;
        exit.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        exit.out = vbtest::readFile(outputs_[pid].first);
        exit.err = vbtest::readFile(outputs_[pid].second);
        return exit;
    }

    Exit run(const std::vector<std::string>& args,
             const std::map<std::string, std::string>& env = {}) {
        return wait(start(args, env));
    }

    // Waits until `file` of the state holds a line that begins with `prefix`.
    bool awaitLine(const std::string& file, const std::string& prefix) {
        for (int i = 0; i < 300; ++i) {
            for (const std::string& line : lines(file)) {
                if (line.rfind(prefix, 0) == 0) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

  private:
    vbtest::TempDir dir_;
    int runs_ = 0;
    std::map<pid_t, std::pair<std::string, std::string>> outputs_;
};

std::string shown(const Exit& exit) {
    return "exit status " + std::to_string(exit.status) + "\n---- out:\n" + exit.out +
           "---- err:\n" + exit.err;
}

bool changesSomething(const std::string& cmd) {
    for (const char* verb : {"clearimport", "settag", "rmtag", "import", "destroy", "startall",
                             "deport", "offline", "vxdisk rm", "vxdisk -f rm"}) {
        if (cmd.find(verb) != std::string::npos) return true;
    }
    return false;
}

class CliVxvmTool : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the tool's import lock lives under /var/lib";
    }
};

// Ctrl-C at the terminal while the import runs: the signal reaches the tool, not the import (it
// runs in a process group of its own), so the import finishes; the tool then finishes the
// operation and exits with 130.
TEST_F(CliVxvmTool, CtrlCDuringTheImportLetsItFinish) {
    FakeVxvmHost host;
    const pid_t tool = host.start(kRecreate, {{"VBFAKE_IMPORT_SLEEP", "2"}});
    ASSERT_TRUE(host.awaitLine("events", "import started"));
    ASSERT_EQ(kill(-tool, SIGINT), 0);
    const Exit exit = host.wait(tool);

    EXPECT_EQ(exit.status, 130) << shown(exit);
    const std::vector<std::string> groups = host.lines("groups");
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_NE(exit.out.find(groups[0]), std::string::npos) << shown(exit);
    EXPECT_NE(exit.err.find("received signal 2"), std::string::npos) << shown(exit);
    const std::vector<std::string> events = host.lines("events");
    EXPECT_EQ(events, (std::vector<std::string>{"import started " + groups[0],
                                                "import finished " + groups[0]}));
    // The tags came off and the volumes were started after the import.
    EXPECT_TRUE(host.lines("tags").empty());
    const std::vector<std::string> commands = host.lines("commands");
    EXPECT_NE(std::find(commands.begin(), commands.end(), "vxvol -g " + groups[0] + " startall"),
              commands.end());
}

// A kill -9 at each step of an import that changes something, then the same command again (as
// the tool's help advises): before the import the second run does the whole import; after it,
// the second run changes nothing and names the group the clones already form, which destroy
// removes so that a third run can import again.
TEST_F(CliVxvmTool, ARunAfterAKillAtEachStepFinishesOrNamesTheGroupLeft) {
    // clearimport and settag for three disks, the import, three rmtags, startall.
    const int kImport = 7, kSteps = 11;
    for (int killAt = 1; killAt <= kSteps; ++killAt) {
        SCOPED_TRACE("killed after change " + std::to_string(killAt));
        FakeVxvmHost host;
        const Exit killed = host.run(kRecreate, {{"VBFAKE_KILL_AT", std::to_string(killAt)}});
        ASSERT_EQ(killed.status, 128 + SIGKILL) << shown(killed);
        const size_t before = host.lines("commands").size();

        const Exit again = host.run(kRecreate);

        const std::vector<std::string> groups = host.lines("groups");
        ASSERT_EQ(groups.size(), 1u);
        if (killAt < kImport) {
            EXPECT_EQ(again.status, 0) << shown(again);
            EXPECT_NE(again.out.find(groups[0]), std::string::npos) << shown(again);
            EXPECT_TRUE(host.lines("tags").empty());
            continue;
        }
        EXPECT_EQ(again.status, 1) << shown(again);
        EXPECT_NE(again.err.find("the clone disks already form the imported disk group '" +
                                 groups[0] + "'"),
                  std::string::npos)
            << shown(again);
        const std::vector<std::string> commands = host.lines("commands");
        for (size_t i = before; i < commands.size(); ++i) {
            EXPECT_FALSE(changesSomething(commands[i])) << commands[i];
        }
        if (killAt != kImport) continue;
        const Exit destroyed = host.run({"destroy", "--vendor", "VxVM", groups[0]});
        EXPECT_EQ(destroyed.status, 0) << shown(destroyed);
        EXPECT_TRUE(host.lines("groups").empty());
        const Exit third = host.run(kRecreate);
        EXPECT_EQ(third.status, 0) << shown(third);
        EXPECT_EQ(host.lines("groups").size(), 1u);
    }
}

// Two imports of the same clones at once: one imports them, the other waits for it (the host's
// import lock) and then refuses, naming that group, without touching its disks or destroying it.
TEST_F(CliVxvmTool, TwoImportsOfTheSameClonesAtOnce) {
    FakeVxvmHost host;
    const pid_t first = host.start(kRecreate, {{"VBFAKE_IMPORT_SLEEP", "1"}});
    const pid_t second = host.start(kRecreate, {{"VBFAKE_IMPORT_SLEEP", "1"}});
    const Exit exits[] = {host.wait(first), host.wait(second)};

    const std::vector<std::string> groups = host.lines("groups");
    ASSERT_EQ(groups.size(), 1u);
    int succeeded = 0;
    for (const Exit& exit : exits) {
        if (exit.status == 0) {
            ++succeeded;
            EXPECT_NE(exit.out.find(groups[0]), std::string::npos) << shown(exit);
            continue;
        }
        EXPECT_EQ(exit.status, 1) << shown(exit);
        EXPECT_NE(exit.err.find("already form the imported disk group '" + groups[0] + "'"),
                  std::string::npos)
            << shown(exit);
    }
    EXPECT_EQ(succeeded, 1);
    size_t imports = 0, destroys = 0;
    for (const std::string& cmd : host.lines("commands")) {
        imports += cmd.rfind("vxdg -fC -n", 0) == 0;
        destroys += cmd.rfind("vxdg destroy", 0) == 0;
    }
    EXPECT_EQ(imports, 1u);
    EXPECT_EQ(destroys, 0u);
    EXPECT_TRUE(host.lines("tags").empty());
}

}  // namespace
