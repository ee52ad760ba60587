// Real LVM2 on loop devices, confined to the test's own disks.
//
// A sandbox makes sparse image files under $VOLBRIDGE_REAL_TEST_ROOT/<prefix>/, attaches
// them to loop devices, and points LVM2 (through LVM_SYSTEM_DIR, inherited by every command the
// library runs) at a private lvm.conf whose filter admits exactly those loop devices, with
// activation off (there is no device-mapper here) and backups in /etc/lvm/backup. Group names
// carry a per-run prefix. The destructor removes the groups, detaches the loops and deletes the
// images and backup files, whatever the test did; tests/real_lvm2/cleanup.sh does the same for
// runs that were killed.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

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
    // Saves the device's current content to a file in the work directory; returns its path.
    std::string saveImage(const std::string& device, const std::string& name);
    // Writes a saved image back over the device (a storage rollback).
    void restoreImage(const std::string& image, const std::string& device);
    // The image file behind one of the sandbox's devices.
    std::string imageOf(const std::string& device) const;
    const std::vector<std::string>& devices() const { return devices_; }

    // The lvm.conf the sandbox wrote (regenerated whenever a disk is added).
    std::string lvmConf() const;

  private:
    std::string attach(const std::string& image);
    void writeConfig();
    void teardown();

    std::string prefix_;
    std::string workDir_;
    std::string confDir_;
    std::string previousSystemDir_;
    bool hadPreviousSystemDir_ = false;
    std::vector<std::string> devices_;
    std::vector<std::string> images_;
    unsigned imageCount_ = 0;
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
