// The command runner: YbProcess::system and the real runner behind it.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "host/HostSeams.h"
#include "host/LogWriter.h"
#include "host/YbProcess.h"

extern char** environ;

// glibc 2.34 and later can close the caller's descriptors in a posix_spawn child.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
#define VB_SPAWN_CLOSEFROM 1
#else
#define VB_SPAWN_CLOSEFROM 0
#endif

namespace vbhost {

CommandRunner::~CommandRunner() = default;

namespace {

void closeQuietly(int fd) {
    if (fd >= 0) ::close(fd);
}

#if !VB_SPAWN_CLOSEFROM
// Closes every descriptor from 3 up in the child, between fork and exec (async-signal-safe).
void closeInheritedDescriptors() {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
    struct rlimit rl;
    long max = 65536;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
        rl.rlim_cur < static_cast<rlim_t>(max)) {
        max = static_cast<long>(rl.rlim_cur);
    }
    for (long fd = 3; fd < max; ++fd) ::close(static_cast<int>(fd));
}
#endif

// Starts "/bin/sh" with standard input, output and error on the given descriptors and every
// other descriptor closed, in a process group of its own; returns the child's pid, or -1 with
// errno set. posix_spawn does not copy the caller's address space, which for a large host process
// makes each command start tens of milliseconds sooner than fork would.
//
// The process group of its own keeps a volume manager's command out of the terminal's foreground
// group: a Ctrl-C at the terminal reaches the program that runs the library (which may defer it
// until its operation ends) but never a vgcfgrestore, vxdg import or mmimportfs half-way through
// its work. Standard input is /dev/null and the output goes to pipes, so a command in the
// background never stops for the terminal.
pid_t startChild(char* const argv[], char* const envp[], int in, int out, int err) {
#if VB_SPAWN_CLOSEFROM
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    int rc = posix_spawn_file_actions_adddup2(&actions, in, 0);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, out, 1);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, err, 2);
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    bool haveAttr = false;
    if (rc == 0) {
        rc = posix_spawnattr_init(&attr);
        haveAttr = rc == 0;
    }
    if (rc == 0) rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    if (rc == 0) rc = posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    if (rc == 0) rc = posix_spawn(&pid, argv[0], &actions, &attr, argv, envp);
    if (haveAttr) posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
#else
    // The child only calls async-signal-safe functions: setpgid, dup2, close, execve and _exit.
    pid_t pid = fork();
    if (pid == 0) {
        if (setpgid(0, 0) != 0) _exit(127);
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
        closeInheritedDescriptors();
        execve(argv[0], argv, envp);
        _exit(127);
    }
    return pid;
#endif
}

// The caller's environment with LC_ALL=C, so the tools print what the parsers expect.
std::vector<std::string> childEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        if (strncmp(*e, "LC_ALL=", 7) != 0) env.emplace_back(*e);
    }
    env.emplace_back("LC_ALL=C");
    return env;
}

class SystemRunner : public CommandRunner {
  public:
    int run(const std::string& cmd, std::string* out, std::string* err, int /*reserved*/,
            bool quiet) override {
        EvDebug dbg(nullptr);
        uint64_t started = currentClock().nowMs();
        std::string outText, errText;
        int status = spawnAndWait(cmd, &outText, &errText);
        if (g_ptrLogWriter->isEnabled(3)) {
            dbg.DebugLvl("YbProcess::system", 3, "[%s] exited with %d after %llu ms", cmd.c_str(),
                         status, static_cast<unsigned long long>(currentClock().nowMs() - started));
            if (!quiet) {
                dbg.DebugLvl("YbProcess::system", 4, "stdout: %s", outText.c_str());
                dbg.DebugLvl("YbProcess::system", 4, "stderr: %s", errText.c_str());
            }
        }
        if (out) *out = std::move(outText);
        if (err) *err = std::move(errText);
        return status;
    }

  private:
    static int spawnAndWait(const std::string& cmd, std::string* out, std::string* err) {
        int outPipe[2] = {-1, -1};
        int errPipe[2] = {-1, -1};
        int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (devnull < 0 || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
            *err = std::string("cannot start command: ") + strerror(errno);
            closeQuietly(devnull);
            for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) closeQuietly(fd);
            return -1;
        }

        // Everything the child needs is prepared before it is started.
        std::vector<std::string> envText = childEnvironment();
        std::vector<char*> envp;
        for (std::string& e : envText) envp.push_back(&e[0]);
        envp.push_back(nullptr);
        char shell[] = "/bin/sh";
        char dashC[] = "-c";
        std::string cmdCopy = cmd;
        char* argv[] = {shell, dashC, &cmdCopy[0], nullptr};

        pid_t pid = startChild(argv, envp.data(), devnull, outPipe[1], errPipe[1]);
        if (pid < 0) {
            *err = std::string("cannot start command: ") + strerror(errno);
            for (int fd : {devnull, outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
                closeQuietly(fd);
            }
            return -1;
        }

        closeQuietly(devnull);
        closeQuietly(outPipe[1]);
        closeQuietly(errPipe[1]);
        drain(outPipe[0], errPipe[0], out, err);
        closeQuietly(outPipe[0]);
        closeQuietly(errPipe[0]);

        int wstatus = 0;
        pid_t done;
        do {
            done = waitpid(pid, &wstatus, 0);
        } while (done < 0 && errno == EINTR);
        if (done < 0) return -1;
        if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
        if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
        return -1;
    }

    // Reads both pipes until both reach end of file, whichever fills first.
    static void drain(int outFd, int errFd, std::string* out, std::string* err) {
        struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
        std::string* sinks[2] = {out, err};
        int openCount = 2;
        char buffer[65536];
        while (openCount > 0) {
            int n = poll(fds, 2, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return;
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) continue;
                ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) {
                    fds[i].fd = -1;  // poll ignores negative descriptors
                    --openCount;
                    continue;
                }
                sinks[i]->append(buffer, static_cast<size_t>(got));
            }
        }
    }
};

CommandRunner* g_runner = nullptr;  // null: the system runner

}  // namespace

CommandRunner& systemRunner() {
    static SystemRunner* runner = new SystemRunner;
    return *runner;
}

CommandRunner& currentRunner() { return g_runner ? *g_runner : systemRunner(); }

ScopedRunner::ScopedRunner(CommandRunner& runner) : previous_(g_runner) { g_runner = &runner; }

ScopedRunner::~ScopedRunner() { g_runner = previous_; }

}  // namespace vbhost

int YbProcess::system(const char* cmd, std::string* out, std::string* err, int reserved,
                      bool quiet) {
    return vbhost::currentRunner().run(cmd ? cmd : "", out, err, reserved, quiet);
}
