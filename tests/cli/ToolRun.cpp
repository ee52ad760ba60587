#include "ToolRun.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// The shell command line that runs the tool with `args`.
std::string toolCommand(const std::vector<std::string>& args) {
    std::string cmd = shellQuoted(VBTEST_TOOL);
    const std::string tmp = toolTempDirectory();
    if (!tmp.empty()) cmd = "VOLBRIDGE_TMPDIR=" + shellQuoted(tmp) + " " + cmd;
    for (const std::string& arg : args) cmd += " " + shellQuoted(arg);
    return cmd;
}

}  // namespace

ToolRun runTool(const std::vector<std::string>& args) {
    ToolRun run;
    run.status = vbhost::systemRunner().run(toolCommand(args), &run.out, &run.err, 0, true);
    return run;
}

ToolRun runToolOnTerminal(const std::vector<std::string>& args) {
    ToolRun run;
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0) {
        run.err = std::string("no pseudo-terminal: ") + strerror(errno);
        return run;
    }
    const int side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    struct termios mode;
    tcgetattr(side, &mode);
    cfmakeraw(&mode);
    tcsetattr(side, TCSANOW, &mode);
    struct winsize size {};
    size.ws_col = 200;
    size.ws_row = 50;
    ioctl(side, TIOCSWINSZ, &size);
    TempDir dir;
    const std::string out = dir.path() + "/out";
    const std::string cmd = toolCommand(args);

    const pid_t child = fork();
    if (child == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int stdoutFile = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(stdoutFile, 1);
        dup2(side, 2);
        closefrom(3);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(side);
    // Until the tool and whatever it started have closed the terminal (then read() fails).
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(terminal, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        run.err.append(buffer, static_cast<size_t>(n));
    }
    close(terminal);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = readFile(out);
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
