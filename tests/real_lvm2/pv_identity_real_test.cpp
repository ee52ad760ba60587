// Reading PV identifiers from real LVM2 labels, wherever pvcreate put them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "LvmSandbox.h"
#include "host/HostSeams.h"
#include "host/YbException.h"
#include "linux_lvm/lvm2_identity.h"

namespace {

using vbtest::shOk;

class RealPVIdentity : public ::testing::Test {
  protected:
    void SetUp() override { VB_REQUIRE_REAL_LVM(); }
};

std::string bytesAt(const std::string& device, off_t offset, size_t n) {
    std::string bytes(n, '\0');
    int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << device;
    if (fd < 0) return "";
    EXPECT_EQ(pread(fd, bytes.data(), n, offset), static_cast<ssize_t>(n));
    close(fd);
    return bytes;
}

TEST_F(RealPVIdentity, LabelInSectors0To3IsReadWithoutACommand) {
    vbtest::LvmSandbox box;
    for (int sector = 0; sector < 4; ++sector) {
        SCOPED_TRACE("label sector " + std::to_string(sector));
        const std::string disk = box.addDisk(16);
        shOk("pvcreate -q --labelsector " + std::to_string(sector) + " " + disk);
        ASSERT_EQ(bytesAt(disk, sector * 512, 8), "LABELONE");
        std::string expected = shOk("pvs --noheadings -o pv_uuid " + disk);
        expected.erase(std::remove_if(expected.begin(), expected.end(), ::isspace), expected.end());

        vbtest::RecordingRunner runner;
        EXPECT_EQ(volbridge::lvm2::getPVUUID(disk), expected);
        EXPECT_TRUE(runner.commands().empty());
    }
}

TEST_F(RealPVIdentity, DiskWithoutLabelFallsBackToPvdisplayWhichFails) {
    vbtest::LvmSandbox box;
    const std::string disk = box.addDisk(16);
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    vbtest::RecordingRunner runner;
    try {
        volbridge::lvm2::getPVUUID(disk);
        ADD_FAILURE() << "no exception";
    } catch (const YbException& e) {
        EXPECT_EQ(e.getFuncName(), "getPVUUID");
        EXPECT_EQ(e.getMessage().rfind("Failed to get UUID of the PV " + disk + ": ", 0), 0u)
            << e.getMessage();
    }
    EXPECT_EQ(runner.commands(), std::vector<std::string>{"pvdisplay " + disk});
    EXPECT_TRUE(log.contains("ERROR getPVUUID:"));
    EXPECT_TRUE(
        log.contains("Couldn't parse PV headers manually. Falling back to pvdisplay method."));
}

}  // namespace
