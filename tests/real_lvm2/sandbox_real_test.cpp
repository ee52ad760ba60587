// The sandbox itself: what it sets up, and that its teardown leaves nothing behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "LvmSandbox.h"

namespace {

class RealSandbox : public ::testing::Test {
  protected:
    void SetUp() override { VB_REQUIRE_REAL_LVM(); }
};

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST_F(RealSandbox, LvNodeAndTeardownLeaveNothingBehind) {
    std::string name, node, loop, disk, workDir;
    {
        vbtest::LvmSandbox box;
        disk = box.addDisk(16);
        name = box.vg("gone");
        workDir = box.workDir();
        const std::string conf = box.lvmConf();
        for (const std::string& line :
             {"global_filter = [ \"a|^" + disk + "$|\", \"r|.*|\" ]", std::string("activation = 0"),
              std::string("udev_sync = 0"), std::string("use_devicesfile = 0"),
              std::string("backup_dir = \"/etc/lvm/backup\"")}) {
            EXPECT_NE(conf.find(line), std::string::npos) << line << "\n" << conf;
        }
        vbtest::shOk("vgcreate -q " + name + " " + disk);
        vbtest::shOk("lvcreate -q --driverloaded n -an -Zn -L 4M -n lv " + name);
        vbtest::LvmSandbox::LvNode lv = box.makeLVNode(name, "lv");
        node = lv.path;
        loop = lv.loop;
        struct stat nodeStat, loopStat;
        ASSERT_EQ(stat(node.c_str(), &nodeStat), 0);
        ASSERT_EQ(stat(loop.c_str(), &loopStat), 0);
        EXPECT_TRUE(S_ISBLK(nodeStat.st_mode));
        EXPECT_EQ(nodeStat.st_rdev, loopStat.st_rdev);
        EXPECT_TRUE(exists("/etc/lvm/backup/" + name));
        // The spare loop is no PV candidate: the filter does not admit it.
        EXPECT_EQ(box.lvmConf().find(loop + "$"), std::string::npos);
    }
    EXPECT_FALSE(exists(node));
    EXPECT_FALSE(exists("/dev/" + name));
    EXPECT_FALSE(exists("/etc/lvm/backup/" + name));
    EXPECT_FALSE(exists(workDir));
    std::string loops;
    vbtest::sh("losetup -l -n -O NAME,BACK-FILE", &loops);
    EXPECT_EQ(loops.find(workDir), std::string::npos) << loops;
}

}  // namespace
