// Real LVM2 on loop devices, confined to the test's own disks.
//
// A sandbox makes sparse image files under $VOLBRIDGE_REAL_TEST_ROOT/<prefix>/, attaches
// them to loop devices, and points LVM2 (through LVM_SYSTEM_DIR, inherited by every command the
// library runs) at a private lvm.conf whose filter admits exactly those loop devices, with
// activation off (there is no device-mapper here), udev synchronisation off and backups in
// /etc/lvm/backup. Group names carry a per-run prefix. Since activation makes no /dev/VG/LV
// node, makeLVNode makes one on a spare loop device for tests that need an LV's device number.
// The destructor removes the nodes, the groups, the loops, the images and the backup files,
// whatever the test did; tests/real_lvm2/cleanup.sh does the same for runs that were killed.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "host/HostSeams.h"

namespace vbtest {

// Runs `cmd` with the real runner (never a fake one); returns its exit status.
int sh(const std::string& cmd, std::string* out = nullptr, std::string* err = nullptr);
// Runs `cmd`, fails the test with its output when it exits nonzero; returns standard output.
std::string shOk(const std::string& cmd);

class LvmSandbox {
  public:
    LvmSandbox();
    ~LvmSandbox();
    LvmSandbox(const LvmSandbox&) = delete;
    LvmSandbox& operator=(const LvmSandbox&) = delete;

    // Root, loop devices and the LVM2 tools: what the real tests need. `why` says what's missing.
    static bool prerequisites(std::string* why);

    // "vbt<pid>n<k>_": every group a test makes starts with it.
    const std::string& prefix() const { return prefix_; }
    std::string vg(const std::string& base) const { return prefix_ + base; }
    const std::string& workDir() const { return workDir_; }
    const std::string& confDir() const { return confDir_; }

    // A new sparse image of `mib` MiB on a loop device that the filter admits; returns the
    // device path.
    std::string addDisk(unsigned mib = 64);
    // A byte copy of the device's current content on a new loop device (a hardware snapshot).
    std::string cloneDisk(const std::string& device);
    // Detaches one of the sandbox's devices and removes its image (a group on it must be gone).
    void removeDisk(const std::string& device);
    // Saves the device's current content to a file in the work directory; returns its path.
    std::string saveImage(const std::string& device, const std::string& name);
    // Writes a saved image back over the device (a storage rollback).
    void restoreImage(const std::string& image, const std::string& device);
    // The image file behind one of the sandbox's devices.
    std::string imageOf(const std::string& device) const;
    const std::vector<std::string>& devices() const { return devices_; }

    // The lvm.conf the sandbox wrote (regenerated whenever a disk is added).
    std::string lvmConf() const;

    // A block device node /dev/<vg>/<lv> standing for an active LV: it has the device number of
    // a spare loop device attached for it alone (one the filter does not admit), so that stat
    // of the node and of `loop` give the same st_rdev. `vg` must carry the sandbox's prefix.
    // Teardown removes the node, the directory and the loop.
    struct LvNode {
        std::string path;  // /dev/<vg>/<lv>
        std::string loop;  // the spare loop device behind it
    };
    LvNode makeLVNode(const std::string& vg, const std::string& lv);

    // A symbolic link "/dev/<prefix><name>" to `device`: another name under which LVM2 finds the
    // device. Teardown removes it.
    std::string alias(const std::string& name, const std::string& device);

    // Whether LVM2 keeps a devices file (in the sandbox's own configuration directory) and then
    // sees only the devices listed there, as on hosts where that is the default.
    void useDevicesFile(bool on);

    // Makes the setting "global_filter" or "filter" of the sandbox's lvm.conf reject `device`, as
    // a host's configuration may hide a disk from LVM2.
    void reject(const std::string& setting, const std::string& device);

  private:
    std::string attach(const std::string& image);
    void writeConfig();
    void teardown();

    std::string prefix_;
    std::string workDir_;
    std::string confDir_;
    std::string previousSystemDir_;
    bool hadPreviousSystemDir_ = false;
    std::string previousTempDir_;
    bool hadPreviousTempDir_ = false;
    std::vector<std::string> devices_;
    std::vector<std::string> images_;
    std::vector<std::string> spareLoops_;
    std::vector<std::string> nodes_;
    std::vector<std::string> nodeDirs_;
    std::vector<std::string> aliases_;
    bool devicesFile_ = false;
    std::vector<std::pair<std::string, std::string>> rejected_;  // setting, device
    unsigned imageCount_ = 0;
};

// Runs every command through the runner that was current when it was made (normally the real
// one), recording the command texts; installed for its lifetime. Lets a real test count what
// the library ran.
class RecordingRunner : public vbhost::CommandRunner {
  public:
    RecordingRunner();
    int run(const std::string& cmd, std::string* out, std::string* err, int reserved,
            bool quiet) override;
    const std::vector<std::string>& commands() const { return commands_; }
    // The number of commands that begin with `prefix`.
    size_t count(const std::string& prefix) const;
    void clear() { commands_.clear(); }

  private:
    vbhost::CommandRunner& inner_;
    std::vector<std::string> commands_;
    vbhost::ScopedRunner guard_;
};

}  // namespace vbtest

// Skips the test where real LVM2 cannot run (not root, no loop devices), unless
// VOLBRIDGE_REQUIRE_REAL is set (as in CI): then that is a failure.
#define VB_REQUIRE_REAL_LVM()                                       \
    do {                                                            \
        std::string vbWhy_;                                         \
        if (!::vbtest::LvmSandbox::prerequisites(&vbWhy_)) {        \
            if (getenv("VOLBRIDGE_REQUIRE_REAL")) FAIL() << vbWhy_; \
            GTEST_SKIP() << vbWhy_;                                 \
        }                                                           \
    } while (0)
