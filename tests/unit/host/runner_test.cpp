// The real command runner: exit status, both streams, no inherited descriptors, LC_ALL=C,
// standard input closed, interrupted system calls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "FakeRunner.h"
#include "host/HostSeams.h"
#include "host/YbProcess.h"

namespace {

struct RunResult {
    int rc;
    std::string out;
    std::string err;
};

RunResult run(const std::string& cmd) {
    RunResult r;
    r.rc = YbProcess::system(cmd.c_str(), &r.out, &r.err, 0, false);
    return r;
}

TEST(SystemRunner, ReportsExitStatusAndBothStreams) {
    struct Case {
        const char* cmd;
        int rc;
        const char* out;
        const char* err;
    } cases[] = {
        {"echo hello", 0, "hello\n", ""},
        {"echo oops >&2; exit 5", 5, "", "oops\n"},
        {"printf 'a|b' | tr '|' ':'", 0, "a:b", ""},  // pipes work: it is a shell line
        {"exit 255", 255, "", ""},
        {"/no/such/program", 127, "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cmd);
        RunResult r = run(c.cmd);
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.out, c.out);
        if (c.err) {
            EXPECT_EQ(r.err, c.err);
        }
    }
}

TEST(SystemRunner, ChildKilledBySignalIsAFailure) {
    EXPECT_EQ(run("kill -9 $$").rc, 128 + 9);
    EXPECT_EQ(run("kill -TERM $$").rc, 128 + 15);
}

TEST(SystemRunner, LargeOutputOnBothStreamsDoesNotDeadlock) {
    // 4 MiB on each stream, interleaved: a runner that reads one stream to the end before the
    // other would block the child on a full pipe.
    RunResult r =
        run("i=0; while [ $i -lt 64 ]; do head -c 65536 /dev/zero | tr '\\0' o; "
            "head -c 65536 /dev/zero | tr '\\0' e >&2; i=$((i+1)); done");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out.size(), 64u * 65536u);
    EXPECT_EQ(r.err.size(), 64u * 65536u);
    EXPECT_EQ(r.out.find_first_not_of('o'), std::string::npos);
    EXPECT_EQ(r.err.find_first_not_of('e'), std::string::npos);
}

TEST(SystemRunner, StandardInputIsDevNull) {
    RunResult r = run("cat; echo done");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "done\n");
    EXPECT_EQ(run("readlink /proc/self/fd/0").out, "/dev/null\n");
}

TEST(SystemRunner, NoDescriptorOfTheCallerReachesTheChild) {
    int leaky = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(leaky, 0);
    // The shell's own "ls" opens one descriptor for the directory; only 0, 1, 2 and that one.
    RunResult r = run("ls /proc/self/fd | sort -n | tr '\\n' ' '");
    close(leaky);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "0 1 2 3 ");
}

TEST(SystemRunner, ChildRunsWithLcAllC) {
    const char* previous = getenv("LC_ALL");
    std::string saved = previous ? previous : "";
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    setenv("VOLBRIDGE_RUNNER_PROBE", "kept", 1);
    RunResult r = run("echo \"$LC_ALL $VOLBRIDGE_RUNNER_PROBE\"");
    if (previous) {
        setenv("LC_ALL", saved.c_str(), 1);
    } else {
        unsetenv("LC_ALL");
    }
    unsetenv("VOLBRIDGE_RUNNER_PROBE");
    EXPECT_EQ(r.out, "C kept\n");
}

extern "C" void countAlarm(int) {}

TEST(SystemRunner, SignalsDeliveredToTheCallerDoNotBreakARun) {
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = countAlarm;  // no SA_RESTART: every blocking call sees EINTR
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    struct itimerval every = {{0, 1000}, {0, 1000}};
    struct itimerval off = {};
    setitimer(ITIMER_REAL, &every, nullptr);
    RunResult r = run("sleep 0.2; head -c 300000 /dev/zero | tr '\\0' x; echo end >&2; exit 3");
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(r.rc, 3);
    EXPECT_EQ(r.out.size(), 300000u);
    EXPECT_EQ(r.err, "end\n");
}

TEST(SystemRunner, ScopedRunnerReplacesAndRestores) {
    {
        vbtest::FakeRunner fake;
        fake.on("lvs", 5, "rows", "warning");
        RunResult r = run("lvs");
        EXPECT_EQ(r.rc, 5);
        EXPECT_EQ(r.out, "rows");
        EXPECT_EQ(r.err, "warning");
    }
    EXPECT_EQ(run("echo real").out, "real\n");
}

// A Ctrl-C at a terminal is a SIGINT to the terminal's foreground process group. The program that
// runs the library is in it; the command it runs is not, and finishes its work.
TEST(SystemRunner, ACommandRunsInAProcessGroupOfItsOwn) {
    char dir[] = "/tmp/vbtest-pgrp-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string done = std::string(dir) + "/done";
    const pid_t program = fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        setpgid(0, 0);  // the terminal's foreground group, led by the program
        YbProcess::system(("sleep 0.4; echo finished > " + done).c_str(), nullptr, nullptr, 0,
                          false);
        _exit(0);
    }
    setpgid(program, program);
    usleep(150 * 1000);
    ASSERT_EQ(kill(-program, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(waitpid(program, &status, 0), program);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);  // the program went
    for (int i = 0; i < 50 && access(done.c_str(), F_OK) != 0; ++i) usleep(20 * 1000);
    std::string text;
    if (FILE* f = fopen(done.c_str(), "r")) {
        char line[64] = "";
        if (fgets(line, sizeof line, f)) text = line;
        fclose(f);
    }
    EXPECT_EQ(text, "finished\n");  // the command did not
    unlink(done.c_str());
    rmdir(dir);
}

TEST(FakeRunner, RecordsCommandsAnswersInOrderAndInjectsFailures) {
    vbtest::FakeRunner fake;
    fake.on("a", 0, "first").on("a", 0, "second").onMatch("b [0-9]+", [](const std::string& c) {
        return vbtest::Reply{0, c + "!", ""};
    });
    fake.failCommand(3, 7, "boom");
    EXPECT_EQ(run("a").out, "first");
    EXPECT_EQ(run("b 42").out, "b 42!");
    RunResult failed = run("a");
    EXPECT_EQ(failed.rc, 7);
    EXPECT_EQ(failed.err, "boom");
    EXPECT_EQ(fake.commands(), (std::vector<std::string>{"a", "b 42", "a"}));
}

}  // namespace
