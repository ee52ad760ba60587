// Step hooks and the text helpers of the VxVM backend.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "OtherUser.h"
#include "VxvmSandbox.h"

namespace {

using volbridge::vxvm::SeparatorRuns;

TEST(VxvmText, TrimTokenizeAndSplit) {
    EXPECT_EQ(volbridge::vxvm::trimLine("a\rb\n"), "a");
    EXPECT_EQ(volbridge::vxvm::trimLine("ab"), "ab");
    EXPECT_EQ(volbridge::vxvm::trimLine("\nab"), "");
    EXPECT_EQ(volbridge::vxvm::trimSpace(" \t x y \t"), "x y");
    EXPECT_EQ(volbridge::vxvm::trimSpace("  "), "  ");
    EXPECT_EQ(volbridge::vxvm::trimSpace(""), "");

    std::vector<std::string> tokens{"kept"};
    volbridge::vxvm::Tokenize("a  b ", tokens, " ");
    volbridge::vxvm::Tokenize(" :c:", tokens, ": ");
    EXPECT_EQ(tokens, (std::vector<std::string>{"kept", "a", "b", "c"}));

    struct Case {
        const char* name;
        std::string text;
        std::string separator;
        SeparatorRuns runs;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {"adjacent separators", "a::b", ":", SeparatorRuns::Keep, {"a", "", "b"}},
        {"adjacent separators collapsed", "a::b", ":", SeparatorRuns::Collapse, {"a", "b"}},
        {"separator at the end", "a:", ":", SeparatorRuns::Keep, {"a", ""}},
        {"run at the end collapsed", "a:::", ":", SeparatorRuns::Collapse, {"a", ""}},
        {"separator at the start collapsed", "::a", ":", SeparatorRuns::Collapse, {"", "a"}},
        {"empty text", "", ":", SeparatorRuns::Keep, {}},
        {"empty text collapsed", "", ":", SeparatorRuns::Collapse, {}},
        {"whole-string separator", "a, b,c, ", ", ", SeparatorRuns::Keep, {"a", "b,c", ""}},
        {"no separator", "abc", ":", SeparatorRuns::Keep, {"abc"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> out{"stale"};
        volbridge::vxvm::Split(c.text, c.separator, out, c.runs);
        EXPECT_EQ(out, c.fields);
    }
}

// A clock that removes a file after a number of sleeps, standing for the operator who releases
// a held step.
class ReleasingClock : public vbhost::Clock {
  public:
    ReleasingClock(std::string file, size_t after) : file_(std::move(file)), after_(after) {}
    void sleepMs(uint64_t ms) override {
        sleeps.push_back(ms);
        if (sleeps.size() == after_) unlink(file_.c_str());
    }
    uint64_t nowMs() override { return 0; }
    std::vector<uint64_t> sleeps;

  private:
    std::string file_;
    size_t after_;
};

class StepHook : public vbtest::VxvmSandbox {};

TEST_F(StepHook, MarkerPausesForItsNumberOrHoldsUntilTheResumeFileGoes) {
    struct Case {
        const char* name;
        const char* content;
        std::vector<uint64_t> sleeps;  // empty: the step is held
    };
    const Case cases[] = {
        {"number with blanks", "  7\t\nignored\n", {7000}},
        {"zero is one second", "0\n", {1000}},
        {"negative number", "-2\n", {}},
        {"text", "abc\n", {}},
        {"empty file", "", {}},
        {"blank first line", "   \n5\n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        putMarker("settag.before", c.content);
        const std::string resume = volbridge::markerPath("settag.before.resume");
        ReleasingClock clock(resume, 5);
        vbhost::ScopedClock guard(clock);
        log_.clear();

        volbridge::vxvm::waitFor("settag.before");

        if (!c.sleeps.empty()) {
            EXPECT_EQ(clock.sleeps, c.sleeps);
            EXPECT_NE(access(resume.c_str(), F_OK), 0);
        } else {
            // Five polls of 5 seconds until the file went; the log says so on polls 0 and 4.
            EXPECT_EQ(clock.sleeps, std::vector<uint64_t>(5, 5000));
            EXPECT_EQ(log_.count("waiting till file '" + resume + "' exists."), 2u);
        }
        // The marker itself stays: the next pass through the hook waits again.
        EXPECT_EQ(access(volbridge::markerPath("settag.before").c_str(), F_OK), 0);
    }
}

TEST_F(StepHook, NoMarkerOrAnUntrustedOneCostsNothing) {
    volbridge::vxvm::waitFor("scandisks.before");
    EXPECT_TRUE(fakeClock_.sleeps().empty());
    EXPECT_TRUE(log_.records().empty());

    // A marker others may write does not steer the step, and says why in the log.
    putMarker("scandisks.after", "30\n");
    chmod(volbridge::markerPath("scandisks.after").c_str(), 0666);
    volbridge::vxvm::waitFor("scandisks.after");
    EXPECT_TRUE(fakeClock_.sleeps().empty());
    EXPECT_TRUE(log_.contains("it is writable by group or others"));

    const std::string foreign = vbtest::otherUsersFile(markerDir_.path(), "30\n");
    if (foreign.empty()) return;
    ASSERT_EQ(rename(foreign.c_str(), volbridge::markerPath("rmdg.before").c_str()), 0);
    volbridge::vxvm::waitFor("rmdg.before");
    EXPECT_TRUE(fakeClock_.sleeps().empty());
    EXPECT_FALSE(access(volbridge::markerPath("rmdg.before.resume").c_str(), F_OK) == 0);
}

}  // namespace
