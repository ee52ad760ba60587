// Step hooks: an operator pauses or holds a step with a marker file, and only the removal of the
// resume file lets a held step go on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FakeHost.h"
#include "OtherUser.h"
#include "core/StepHook.h"

namespace {

class StepHook : public ::testing::Test {
  protected:
    vbtest::FakeHost host_;
};

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
        host_.setMarker("settag.before", c.content);
        const std::string resume = host_.marker("settag.before.resume");
        vbtest::HostClock clock;
        clock.removeAfter(resume, 5);
        vbhost::ScopedClock guard(clock);
        host_.log().clear();

        volbridge::stepHook("settag.before");

        if (!c.sleeps.empty()) {
            EXPECT_EQ(clock.sleeps(), c.sleeps);
            EXPECT_NE(access(resume.c_str(), F_OK), 0);
        } else {
            // Five polls of 5 seconds until the file went; the log says so on polls 0 and 4.
            EXPECT_EQ(clock.sleeps(), std::vector<uint64_t>(5, 5000));
            EXPECT_EQ(host_.log().count("waiting till file '" + resume + "' exists."), 2u);
        }
        // The marker itself stays: the next pass through the hook waits again.
        EXPECT_EQ(access(host_.marker("settag.before").c_str(), F_OK), 0);
    }
}

TEST_F(StepHook, NoMarkerOrAnUntrustedOneCostsNothing) {
    volbridge::stepHook("scandisks.before");
    EXPECT_TRUE(host_.clock().sleeps().empty());
    EXPECT_TRUE(host_.log().records().empty());

    // A marker others may write does not steer the step, and says why in the log.
    host_.setMarker("scandisks.after", "30\n");
    chmod(host_.marker("scandisks.after").c_str(), 0666);
    volbridge::stepHook("scandisks.after");
    EXPECT_TRUE(host_.clock().sleeps().empty());
    EXPECT_TRUE(host_.log().contains("it is writable by group or others"));

    const std::string foreign = vbtest::otherUsersFile(host_.markerDir(), "30\n");
    if (foreign.empty()) return;
    ASSERT_EQ(rename(foreign.c_str(), host_.marker("rmdg.before").c_str()), 0);
    volbridge::stepHook("rmdg.before");
    EXPECT_TRUE(host_.clock().sleeps().empty());
    EXPECT_FALSE(access(host_.marker("rmdg.before.resume").c_str(), F_OK) == 0);
}

// The hold is the operator's: whatever the umask, the resume file the hook makes is one it
// trusts, and a resume file it does not trust (another user's) keeps the step waiting instead of
// letting it go on. Either way only its removal ends the wait.
TEST_F(StepHook, AHoldLastsUntilTheResumeFileIsRemovedWhoeverMadeIt) {
    host_.setMarker("dgimport.before");
    const std::string resume = host_.marker("dgimport.before.resume");

    // A clock that notes the mode of the resume file while the step is held.
    struct Probe : vbtest::HostClock {
        std::string path;
        mode_t mode = 0;
        void sleepMs(uint64_t ms) override {
            struct stat st;
            if (mode == 0 && lstat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
            vbtest::HostClock::sleepMs(ms);
        }
    };
    {
        Probe probe;
        probe.path = resume;
        probe.removeAfter(resume, 3);
        vbhost::ScopedClock guard(probe);
        const mode_t saved = umask(0);
        volbridge::stepHook("dgimport.before");
        umask(saved);
        EXPECT_EQ(probe.mode, 0600u);
        EXPECT_EQ(probe.sleeps().size(), 3u);
    }

    const std::string foreign = vbtest::otherUsersFile(host_.scratch("."), "");
    if (foreign.empty()) return;
    ASSERT_EQ(rename(foreign.c_str(), resume.c_str()), 0);
    vbtest::HostClock clock;
    clock.removeAfter(resume, 6);
    vbhost::ScopedClock guard(clock);
    host_.log().clear();
    volbridge::stepHook("dgimport.before");
    EXPECT_EQ(clock.sleeps().size(), 6u);
    EXPECT_TRUE(
        host_.log().contains("it is not one this process made or trusts: it is owned by "
                             "uid " +
                             std::to_string(vbtest::kOtherUid)));
}

}  // namespace
