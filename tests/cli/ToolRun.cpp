#include "ToolRun.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "host/HostSeams.h"

namespace vbtest {

namespace {

// The tool's temporary directory in the tests, unless the environment gives one: a directory of
// this test program's own, removed when it ends, so that no run leaves /tmp/volbridge-<uid>.
std::string toolTempDirectory() {
    const char* given = getenv("VOLBRIDGE_TMPDIR");
    if (given && *given) return "";
    static TempDir dir;
    return dir.path();
}

}  // namespace

ToolRun runTool(const std::vector<std::string>& args) {
    std::string cmd = shellQuoted(VBTEST_TOOL);
    const std::string tmp = toolTempDirectory();
    if (!tmp.empty()) cmd = "VOLBRIDGE_TMPDIR=" + shellQuoted(tmp) + " " + cmd;
    for (const std::string& arg : args) cmd += " " + shellQuoted(arg);
    ToolRun run;
    run.status = vbhost::systemRunner().run(cmd, &run.out, &run.err, 0, true);
    return run;
}

std::string shellQuoted(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/vbcli.XXXXXX";
    if (mkdtemp(&templ[0])) path_ = templ;
}

TempDir::~TempDir() {
    if (!path_.empty())
        vbhost::systemRunner().run("rm -rf " + shellQuoted(path_), nullptr, nullptr, 0, true);
}

std::string TempDir::write(const std::string& name, const std::string& text) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::trunc) << text;
    return file;
}

}  // namespace vbtest
