// A command runner for tests: exact command text (or a pattern) -> exit status, stdout, stderr.
//
// Constructing a FakeRunner installs it in place of the real runner; destroying it puts the
// previous runner back and fails the test if an answer was never used. A command nobody answers
// fails the test, printing the command, and gets exit status 127.
//
//   vbtest::FakeRunner fake;
//   fake.on("vgremove vg1", 0).on("lvs -o vg_name,vg_uuid", 0, lvsText);
//   fake.failCommand(2);                       // the second command run fails
//   ... run the operation ...
//   EXPECT_EQ(fake.commands(), (std::vector<std::string>{"vgremove vg1", ...}));
//
// Replay: answers from a directory of captured outputs, one file per command line, named as the
// command line with blanks and "/" as "_" ("/" after a blank adds nothing), "|" and ":" dropped,
// plus ".txt"
// ("vxdisk -g datadg -s list | grep flags:" -> "vxdisk_-g_datadg_-s_list__grep_flags.txt").
// A pipeline whose whole line has no file is answered from the file of its first command, and the
// rest of the pipeline (an awk program, a grep) runs for real over that text:
//
//   fake.replayFrom(dir);       // "mmlsdisk gpfs0 -L 2>/dev/null| awk '...'" reads
//                               // mmlsdisk_gpfs0_-L.txt and runs the awk program over it
//
// Rules given with on()/always()/onMatch() are tried first; a replayed answer exits with 0 and
// can be used any number of times.
#pragma once

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "host/HostSeams.h"

namespace vbtest {

struct Reply {
    int status = 0;
    std::string out;
    std::string err;
};

struct Call {
    std::string cmd;
    int reserved;
    bool quiet;
};

class FakeRunner : public vbhost::CommandRunner {
  public:
    using Handler = std::function<Reply(const std::string& cmd)>;

    FakeRunner();
    ~FakeRunner() override;
    FakeRunner(const FakeRunner&) = delete;
    FakeRunner& operator=(const FakeRunner&) = delete;

    // Answers one run of exactly `cmd`. Answers for the same command are used in the order given.
    FakeRunner& on(const std::string& cmd, int status = 0, const std::string& out = "",
                   const std::string& err = "");
    // Answers every run of exactly `cmd`; never reported as unused.
    FakeRunner& always(const std::string& cmd, int status = 0, const std::string& out = "",
                       const std::string& err = "");
    // Answers one run of a command matching the whole regular expression `pattern`, computing
    // the reply when it runs (it may, for instance, read a file that the command names).
    FakeRunner& onMatch(const std::string& pattern, Handler handler);
    FakeRunner& alwaysMatch(const std::string& pattern, Handler handler);

    // The n-th command run (counting from 1) fails with `status` and `err`, whatever its answer
    // says (the answer counts as used, but a handler is not called; a replayed answer is read and
    // dropped). Answers left over afterwards are not reported.
    FakeRunner& failCommand(size_t n, int status = 1, const std::string& err = "injected failure");
    // Do not report unused answers at destruction.
    FakeRunner& allowUnused();
    // Answers commands that no rule answers from the captured outputs in `directory`.
    FakeRunner& replayFrom(const std::string& directory);

    // The name of the file that replays `cmd`.
    static std::string replayFileName(const std::string& cmd);

    const std::vector<std::string>& commands() const { return commands_; }
    const std::vector<Call>& calls() const { return calls_; }
    // The answers (exact text or pattern) that were never used.
    std::vector<std::string> unused() const;

    int run(const std::string& cmd, std::string* out, std::string* err, int reserved,
            bool quiet) override;

  private:
    struct Rule {
        std::string text;  // exact command, or the pattern's source
        bool isPattern = false;
        std::regex pattern;
        Handler handler;
        bool repeat = false;
        size_t uses = 0;
    };

    std::vector<Rule> rules_;
    std::vector<std::string> commands_;
    std::vector<Call> calls_;
    size_t failAt_ = 0;
    Reply failReply_;
    bool allowUnused_ = false;
    std::string replayDir_;
    vbhost::ScopedRunner guard_;

    bool replay(const std::string& cmd, Reply* reply);
};

// Compares the commands run with the expected ones one by one; a difference names its position
// and shows both commands whole.
void expectCommands(const std::vector<std::string>& run, const std::vector<std::string>& expected);

}  // namespace vbtest
