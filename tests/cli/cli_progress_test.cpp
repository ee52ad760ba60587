// The progress line on a terminal: the status line byte for byte, and the tool run in this
// process with its standard error on a pseudo-terminal (or not), while a fake command runner
// reports steps to the progress sink the way the library's operations do.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "FakeRunner.h"
#include "Fixtures.h"
#include "GpfsSandbox.h"
#include "Progress.h"
#include "ToolInProcess.h"

namespace {

using vbtest::InProcessRun;
using vbtest::runToolInProcess;

// What a StatusLine 20 columns wide writes, through a memory stream.
class Recorded {
  public:
    Recorded() : out_(open_memstream(&buffer_, &size_)) {}
    ~Recorded() {
        fclose(out_);
        free(buffer_);
    }
    FILE* out() { return out_; }
    std::string text() {
        fflush(out_);
        return std::string(buffer_, size_);
    }

  private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    FILE* out_;
};

TEST(Progress, StatusLineIsRewrittenInPlaceAndLinesGoAboveIt) {
    Recorded rec;
    {
        vbtool::StatusLine line(rec.out(), 20);
        vbtool::TerminalProgress progress(line);
        progress.step("LVM_linux_lvm::recreateVG", 1, 3, "checking");
        progress.step("LVM_linux_lvm::recreateVG", 2, 3, "pvcreate /dev/sdx");
        line.print("+ [pvcreate] exited");
        progress.step("LVM_linux_lvm::recreateVG", 3, 3, "restoring the group metadata");
        progress.step("LVM_linux_lvm::recreateVG", 3, 3, "a\nb");
        progress.finished("LVM_linux_lvm::recreateVG", true, 4250);
    }
    EXPECT_EQ(rec.text(),
              "\r[1/3] checking"
              // a longer line, cut to 19 columns so that it never wraps
              "\r[2/3] pvcreate /..."
              // a line above: the status line is cleared, then shown again
              "\r                   \r+ [pvcreate] exited\n"
              "\r[2/3] pvcreate /..."
              "\r[3/3] restoring ..."
              // a shorter line blanks what is left of the longer one; no line break goes out
              "\r[3/3] a\\x0ab       "
              // the last line
              "\r            \r"
              "recreateVG: done in 4.2 s\n");
}

TEST(Progress, LastLineNamesTheOperationTheTimeAndWhereItFailed) {
    struct Case {
        const char* name;
        std::string operation;
        size_t steps;  // reported before the end
        bool ok;
        uint64_t ms;
        std::string last;
    };
    const std::vector<Case> cases = {
        {"done", "LVM_linux_lvm::revertLVs", 2, true, 950, "revertLVs: done in 0.9 s"},
        {"failed at a step", "LVM_vxvm::recreateVG", 2, false, 61000,
         "recreateVG: failed after 1 min 01 s, at step 2 of 3 (step 2)"},
        {"failed before its first step", "LVM_vxvm::destroyVG", 0, false, 12,
         "destroyVG: failed after 0.0 s"},
        {"a whole signature as the name",
         "virtual LVM::VG LVM_gpfs::recreateVG(const std::list<std::string>&, const char*)", 1,
         true, 125000, "recreateVG: done in 2 min 05 s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorded rec;
        {
            vbtool::StatusLine line(rec.out(), 200);
            vbtool::TerminalProgress progress(line);
            for (size_t n = 1; n <= c.steps; ++n) {
                progress.step(c.operation, n, 3, "step " + std::to_string(n));
            }
            progress.finished(c.operation, c.ok, c.ms);
        }
        // What follows the clearing of the step line, if there was one.
        const std::string text = rec.text();
        const size_t last = text.rfind('\r');
        EXPECT_EQ(text.substr(last == std::string::npos ? 0 : last + 1), c.last + "\n") << text;
    }
}

// Standard error (descriptor 2) on a new pseudo-terminal, 200 columns wide and in raw mode (bytes
// pass as they are written), or on a plain file, for the object's lifetime.
class StandardError {
  public:
    explicit StandardError(bool terminal) {
        fflush(stderr);
        saved_ = dup(2);
        int slave = -1;
        if (terminal) {
            reader_ = posix_openpt(O_RDWR | O_NOCTTY);
            EXPECT_GE(reader_, 0);
            EXPECT_EQ(grantpt(reader_), 0);
            EXPECT_EQ(unlockpt(reader_), 0);
            slave = open(ptsname(reader_), O_RDWR | O_NOCTTY);
            struct termios mode;
            EXPECT_EQ(tcgetattr(slave, &mode), 0);
            cfmakeraw(&mode);
            EXPECT_EQ(tcsetattr(slave, TCSANOW, &mode), 0);
            struct winsize size {};
            size.ws_col = 200;
            size.ws_row = 50;
            EXPECT_EQ(ioctl(slave, TIOCSWINSZ, &size), 0);
        } else {
            char name[] = "/tmp/vbstderr.XXXXXX";
            slave = mkstemp(name);
            unlink(name);
            reader_ = open(("/proc/self/fd/" + std::to_string(slave)).c_str(), O_RDONLY);
        }
        dup2(slave, 2);
        close(slave);
    }
    ~StandardError() {
        restore();
        close(reader_);
    }

    // Puts standard error back; what was written to it.
    std::string text() {
        restore();
        std::string text;
        char buffer[4096];
        // Standard error was the terminal's last open end: once what was written has been read,
        // the terminal reports its hang-up (read fails) and a file its end. The wait is only a
        // guard against a test that hangs.
        struct pollfd wait {
            reader_, POLLIN, 0
        };
        while (poll(&wait, 1, 5000) > 0) {
            const ssize_t n = read(reader_, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<size_t>(n));
        }
        return text;
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }

    int saved_ = -1;
    int reader_ = -1;
};

// "\r" + the line shown, and the clearing of it, as a StatusLine 200 columns wide writes them.
std::string shown(const std::string& line) { return "\r" + line; }
std::string cleared(const std::string& line) { return "\r" + std::string(line.size(), ' ') + "\r"; }

const char kUnmount[] = "mmumount gpfs0 -a";

// Answers every command with `reply`, after reporting to the progress sink what an operation of
// the library reports: two steps, and, when `ms` is given, its end after that time.
void reportStepsAndAnswer(vbtest::FakeRunner& fake, const vbtest::Reply& reply,
                          std::optional<uint64_t> ms) {
    fake.onMatch(".*", [reply, ms](const std::string&) {
        if (vbhost::ProgressSink* sink = vbhost::currentProgress()) {
            sink->step("LVM_gpfs::unmountFS", 1, 2, "unmounting gpfs0 on all nodes");
            sink->step("LVM_gpfs::unmountFS", 2, 2, "waiting 1 s");
            if (ms) sink->finished("LVM_gpfs::unmountFS", reply.status == 0, *ms);
        }
        return reply;
    });
}

TEST(CliProgress, StepsAreShownOnlyOnATerminalAndNotWithQuietOrJson) {
    gpfstest::Sandbox box;
    const std::string log = box.tempFile("volbridge.log");
    const std::string first = "[1/2] unmounting gpfs0 on all nodes";
    const std::string second = "[2/2] waiting 1 s";
    // The second line blanks what is left of the first.
    const std::string steps =
        shown(first) + shown(second) + std::string(first.size() - second.size(), ' ');
    const std::string done = cleared(second) + "unmountFS: done in 1.5 s\n";
    const std::string metadata = vbtest::readFixture("gpfs/metadata/gpfs0-all-disks.txt");
    const std::string metaFile = box.tempFile("meta.txt");
    const std::string mapFile = box.tempFile("map.json");
    vbtest::writeFile(metaFile, metadata);
    vbtest::writeFile(mapFile, "{}");
    struct Case {
        const char* name;
        bool terminal;
        std::vector<std::string> args;
        bool ok;
        std::string err;  // on the terminal (or the file) that is standard error
    };
    const std::vector<Case> cases = {
        {"a terminal", true, {"unmount", "gpfs0"}, true, steps + done},
        {"a terminal, with the trace above the steps",
         true,
         {"unmount", "--trace", "gpfs0"},
         true,
         steps + done + "+ [mmumount gpfs0 -a] exited with 0 after 0 ms\n"},
        {"a terminal and --quiet", true, {"unmount", "--quiet", "gpfs0"}, true, ""},
        {"no terminal", false, {"unmount", "gpfs0"}, true, ""},
        {"no terminal, with the trace",
         false,
         {"unmount", "--trace", "gpfs0"},
         true,
         "+ [mmumount gpfs0 -a] exited with 0 after 0 ms\n"},
        {"a terminal and --json",
         true,
         {"recreate", "--json", "--vendor", "GPFS", "--metadata", metaFile, "--map", mapFile,
          "/dev/sdx"},
         false,
         ""},
        {"a terminal and a subcommand that changes nothing",
         true,
         {"discover", "--vendor", "GPFS", "/dev/gpfs0"},
         false,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        reportStepsAndAnswer(fake, c.ok ? vbtest::Reply{} : vbtest::Reply{1, "", "injected\n"},
                             1500);
        fake.allowUnused();
        std::vector<std::string> args = c.args;
        // The library's log goes to a file, so that the terminal holds the progress alone.
        args.insert(args.end(), {"--log-file", log});
        StandardError err(c.terminal);
        const InProcessRun run = runToolInProcess(args);
        const std::string text = err.text();
        EXPECT_EQ(run.status, c.ok ? 0 : 1) << run.err;
        EXPECT_EQ(text, c.err);
        // The fake reported its steps: a command ran.
        EXPECT_FALSE(fake.commands().empty());
        if (c.ok) {
            EXPECT_EQ(fake.commands(), std::vector<std::string>{kUnmount});
        }
    }
}

// An error of the library's log that comes while a step is shown is printed on a line of its own
// above it; the step line is shown again, and cleared when the tool ends.
TEST(CliProgress, LogLinesGoAboveTheStepLine) {
    gpfstest::Sandbox box;
    vbtest::FakeRunner fake;
    // (Without a line break at its end: the backend's error quotes it as it stands.)
    reportStepsAndAnswer(fake, vbtest::Reply{1, "", "mmumount: gpfs0 is busy"}, std::nullopt);
    StandardError err(true);
    const InProcessRun run = runToolInProcess({"unmount", "gpfs0"});
    const std::string text = err.text();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "volbridge unmount: unmounting file system gpfs0 failed (the library's log says "
              "why)\n");
    const std::string step = "[2/2] waiting 1 s";
    const std::string clear = cleared(step);
    size_t records = 0;
    size_t start = text.find(clear);
    ASSERT_NE(start, std::string::npos) << text;
    // Each record: the step line cleared, the record and its line break, the step line again.
    for (size_t end = text.find('\n', start); end != std::string::npos;
         end = text.find('\n', start)) {
        SCOPED_TRACE(text.substr(start, end - start));
        EXPECT_EQ(text.compare(start, clear.size(), clear), 0);
        const std::string record = text.substr(start + clear.size(), end - start - clear.size());
        EXPECT_NE(record.find(" ERROR "), std::string::npos);
        EXPECT_EQ(record.find('\r'), std::string::npos);
        ++records;
        EXPECT_EQ(text.compare(end + 1, shown(step).size(), shown(step)), 0);
        start = end + 1 + shown(step).size();
    }
    EXPECT_GT(records, 0u) << text;
    EXPECT_EQ(text.substr(start), clear);
}

}  // namespace
