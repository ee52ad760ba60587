// The files the library keeps in its state directory and in shared directories: nothing planted
// there (a FIFO, a link, a device, another user's file) is opened for use, and nothing blocks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FakeHost.h"
#include "core/StateFile.h"
#include "host/YbException.h"

namespace {

const volbridge::Origin kHere{"LVM_linux_lvm::recreateVG", volbridge::unit::kLinuxLvm};

std::string failure(const std::function<void()>& body) {
    try {
        body();
    } catch (const YbException& e) {
        return e.getMessage();
    }
    return "(no exception)";
}

class StateFileTest : public ::testing::Test {
  protected:
    vbtest::FakeHost host_;
    std::string path(const char* name) const { return host_.stateDir() + "/" + name; }
};

TEST_F(StateFileTest, AnythingButATrustedRegularFileIsRefusedAtOnce) {
    const std::string fifo = path("fifo"), link = path("link"), dir = path("dir"),
                      open = path("open"), regular = path("regular");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink("/etc/passwd", link.c_str()), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    volbridge::FileDescriptor(::open(open.c_str(), O_CREAT | O_WRONLY, 0666));
    ASSERT_EQ(chmod(open.c_str(), 0666), 0);
    volbridge::FileDescriptor(::open(regular.c_str(), O_CREAT | O_WRONLY, 0600));
    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {fifo, "Refusing the journal " + fifo + ": it is a FIFO"},
        {link, "Refusing the journal " + link + ": it is a symbolic link"},
        {dir, "Refusing the journal " + dir + ": it is a directory"},
        {open, "Refusing the journal " + open + ": others may write to it (mode 0666)"},
        {"/dev/null", "Refusing the journal /dev/null: it is a character device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        for (int flags : {O_RDONLY, O_WRONLY | O_APPEND}) {
            EXPECT_EQ(
                failure([&] { volbridge::openStateFile(kHere, c.path, flags, "the journal"); }),
                c.message);
        }
        EXPECT_EQ(failure([&] {
                      volbridge::openOrCreateStateFile(kHere, c.path, O_RDWR, 0600, "the journal");
                  }),
                  c.message);
    }
    EXPECT_EQ(failure([&] { volbridge::createStateFile(kHere, fifo, O_WRONLY, 0600, "the note"); }),
              "Can't create the note " + fifo + ": something is there (a FIFO)");
    EXPECT_GE(volbridge::openStateFile(kHere, regular, O_RDONLY, "the journal").get(), 0);
    EXPECT_EQ(volbridge::openStateFile(kHere, path("missing"), O_RDONLY, "the journal").get(), -1);
    EXPECT_GE(
        volbridge::openOrCreateStateFile(kHere, path("made"), O_RDWR, 0600, "the journal").get(),
        0);
}

}  // namespace
