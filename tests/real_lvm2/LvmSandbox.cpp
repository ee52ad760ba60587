#include "LvmSandbox.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Fixtures.h"
#include "host/HostSeams.h"

namespace vbtest {

namespace {

// Where sandboxes put their files: $VOLBRIDGE_REAL_TEST_ROOT (set per build tree by ctest, so
// that the cleanup of one build never touches another build's running tests).
std::string testRoot() {
    const char* root = getenv("VOLBRIDGE_REAL_TEST_ROOT");
    return root && *root ? root : "/var/tmp/volbridge-real-tests";
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

int sh(const std::string& cmd, std::string* out, std::string* err) {
    std::string o, e;
    int rc = vbhost::systemRunner().run(cmd, &o, &e, 0, true);
    if (out) *out = o;
    if (err) *err = e;
    return rc;
}

std::string shOk(const std::string& cmd) {
    std::string out, err;
    int rc = sh(cmd, &out, &err);
    if (rc != 0) {
        ADD_FAILURE() << "command failed (" << rc << "): " << cmd << "\nstdout: " << out
                      << "\nstderr: " << err;
    }
    return out;
}

namespace {

// Detaches a loop device. When something else (a scan by a test running beside this one, say)
// holds it open just then, the kernel only marks it to go at its last close; wait for that, a
// few seconds at most, so that the image is really released when teardown returns.
void detach(const std::string& device) {
    sh("losetup -d " + device);
    for (int i = 0; i < 100; ++i) {
        std::string backing;
        if (sh("losetup -n -O BACK-FILE " + device, &backing) != 0 ||
            backing.find_first_not_of(" \n") == std::string::npos) {
            return;
        }
        usleep(50000);
    }
}

}  // namespace

bool LvmSandbox::prerequisites(std::string* why) {
    if (geteuid() != 0) {
        *why = "real LVM2 tests need root";
        return false;
    }
    if (access("/dev/loop-control", F_OK) != 0) {
        *why = "real LVM2 tests need loop devices (/dev/loop-control is missing)";
        return false;
    }
    if (sh("command -v lvm >/dev/null && command -v losetup >/dev/null") != 0) {
        *why = "real LVM2 tests need the lvm2 and losetup tools";
        return false;
    }
    return true;
}

LvmSandbox::LvmSandbox() {
    static unsigned counter = 0;
    prefix_ = "vbt" + std::to_string(getpid()) + "n" + std::to_string(++counter) + "_";
    workDir_ = testRoot() + "/" + prefix_;
    confDir_ = workDir_ + "/lvm";
    shOk("mkdir -p " + confDir_);
    const char* previous = getenv("LVM_SYSTEM_DIR");
    hadPreviousSystemDir_ = previous != nullptr;
    if (previous) previousSystemDir_ = previous;
    setenv("LVM_SYSTEM_DIR", confDir_.c_str(), 1);
    // The host's temp directory (of the library in this process and of the tools it runs) is
    // the sandbox's own, so that nothing is left in /tmp.
    const std::string tmp = workDir_ + "/tmp";
    shOk("mkdir -m 700 -p " + tmp);
    const char* previousTmp = getenv("VOLBRIDGE_TMPDIR");
    hadPreviousTempDir_ = previousTmp != nullptr;
    if (previousTmp) previousTempDir_ = previousTmp;
    setenv("VOLBRIDGE_TMPDIR", tmp.c_str(), 1);
    vbhost::reloadConfig();
    writeConfig();
}

LvmSandbox::~LvmSandbox() { teardown(); }

void LvmSandbox::teardown() {
    // LV nodes first, then the groups (while their disks are still attached), then the loops,
    // then the files.
    for (const std::string& node : nodes_) unlink(node.c_str());
    nodes_.clear();
    for (const std::string& link : aliases_) unlink(link.c_str());
    aliases_.clear();
    for (const std::string& dir : nodeDirs_) rmdir(dir.c_str());
    nodeDirs_.clear();
    std::string out;
    if (!devices_.empty() && sh("vgs --noheadings -o vg_name 2>/dev/null", &out) == 0) {
        std::istringstream names(out);
        std::string name;
        while (names >> name) {
            if (name.rfind(prefix_, 0) == 0) sh("vgremove -ff -y " + name);
        }
    }
    for (const std::string& device : devices_) detach(device);
    devices_.clear();
    for (const std::string& device : spareLoops_) detach(device);
    spareLoops_.clear();
    sh("rm -rf " + workDir_);
    sh("rm -f /etc/lvm/backup/" + prefix_ + "* /etc/lvm/archive/" + prefix_ + "*");
    if (hadPreviousSystemDir_) {
        setenv("LVM_SYSTEM_DIR", previousSystemDir_.c_str(), 1);
    } else {
        unsetenv("LVM_SYSTEM_DIR");
    }
    if (hadPreviousTempDir_) {
        setenv("VOLBRIDGE_TMPDIR", previousTempDir_.c_str(), 1);
    } else {
        unsetenv("VOLBRIDGE_TMPDIR");
    }
    vbhost::reloadConfig();
}

std::string LvmSandbox::attach(const std::string& image) {
    std::string device = trimmed(shOk("losetup -f --show " + image));
    if (device.empty()) return device;
    devices_.push_back(device);
    images_.push_back(image);
    writeConfig();
    return device;
}

std::string LvmSandbox::addDisk(unsigned mib) {
    std::string image = workDir_ + "/disk" + std::to_string(++imageCount_) + ".img";
    shOk("truncate -s " + std::to_string(mib) + "M " + image);
    return attach(image);
}

std::string LvmSandbox::cloneDisk(const std::string& device) {
    std::string image = workDir_ + "/disk" + std::to_string(++imageCount_) + ".img";
    // The loop device's page cache may hold writes that are not in the file yet.
    shOk("sync; cp --sparse=always " + imageOf(device) + " " + image);
    return attach(image);
}

void LvmSandbox::removeDisk(const std::string& device) {
    for (size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i] != device) continue;
        detach(device);
        sh("rm -f " + images_[i]);
        devices_.erase(devices_.begin() + static_cast<long>(i));
        images_.erase(images_.begin() + static_cast<long>(i));
        writeConfig();
        return;
    }
    ADD_FAILURE() << device << " is not a device of this sandbox";
}

std::string LvmSandbox::saveImage(const std::string& device, const std::string& name) {
    std::string image = workDir_ + "/" + name + ".saved";
    shOk("sync; cp --sparse=always " + imageOf(device) + " " + image);
    return image;
}

void LvmSandbox::restoreImage(const std::string& image, const std::string& device) {
    shOk("dd if=" + image + " of=" + device + " bs=1M conv=fsync status=none");
}

LvmSandbox::LvNode LvmSandbox::makeLVNode(const std::string& vg, const std::string& lv) {
    LvNode node;
    if (vg.rfind(prefix_, 0) != 0 || vg.find('/') != std::string::npos ||
        lv.find('/') != std::string::npos || lv.empty()) {
        ADD_FAILURE() << "makeLVNode: " << vg << "/" << lv << " is not a group of this sandbox";
        return node;
    }
    // The spare loop stays out of the filter: LVM2 never looks at it.
    std::string image = workDir_ + "/node" + std::to_string(++imageCount_) + ".img";
    shOk("truncate -s 1M " + image);
    node.loop = trimmed(shOk("losetup -f --show " + image));
    if (node.loop.empty()) return node;
    spareLoops_.push_back(node.loop);
    struct stat st;
    if (stat(node.loop.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        ADD_FAILURE() << "makeLVNode: " << node.loop << " is not a block device";
        return node;
    }
    const std::string dir = "/dev/" + vg;
    if (mkdir(dir.c_str(), 0755) == 0) {
        nodeDirs_.push_back(dir);
    } else if (errno != EEXIST) {
        ADD_FAILURE() << "makeLVNode: mkdir " << dir << ": " << strerror(errno);
        return node;
    }
    node.path = dir + "/" + lv;
    if (mknod(node.path.c_str(), S_IFBLK | 0600, st.st_rdev) != 0) {
        ADD_FAILURE() << "makeLVNode: mknod " << node.path << " (" << major(st.st_rdev) << ":"
                      << minor(st.st_rdev) << "): " << strerror(errno);
        node.path.clear();
        return node;
    }
    nodes_.push_back(node.path);
    return node;
}

std::string LvmSandbox::alias(const std::string& name, const std::string& device) {
    const std::string link = "/dev/" + prefix_ + name;
    if (symlink(device.c_str(), link.c_str()) != 0) {
        ADD_FAILURE() << "symlink " << link << ": " << strerror(errno);
        return "";
    }
    aliases_.push_back(link);
    return link;
}

void LvmSandbox::useDevicesFile(bool on) {
    devicesFile_ = on;
    writeConfig();
}

void LvmSandbox::reject(const std::string& setting, const std::string& device) {
    if (setting != "global_filter" && setting != "filter") {
        ADD_FAILURE() << "reject: no setting " << setting;
        return;
    }
    rejected_.emplace_back(setting, device);
    writeConfig();
}

std::string LvmSandbox::imageOf(const std::string& device) const {
    for (size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i] == device) return images_[i];
    }
    ADD_FAILURE() << device << " is not a device of this sandbox";
    return "";
}

std::string LvmSandbox::lvmConf() const { return readFile(confDir_ + "/lvm.conf"); }

void LvmSandbox::writeConfig() {
    std::string filter, hostFilter;
    for (const auto& rejected : rejected_) {
        const std::string pattern = "\"r|^" + rejected.second + "$|\", ";
        (rejected.first == "global_filter" ? filter : hostFilter) += pattern;
    }
    for (const std::string& device : devices_) filter += "\"a|^" + device + "$|\", ";
    filter += "\"r|.*|\"";
    std::ofstream conf(confDir_ + "/lvm.conf", std::ios::trunc);
    conf << "# written by the volbridge test sandbox " << prefix_ << "\n"
         << "devices {\n"
         << "    global_filter = [ " << filter << " ]\n"
         << (hostFilter.empty() ? "" : "    filter = [ " + hostFilter + "\"a|.*|\" ]\n")
         << "    use_devicesfile = " << (devicesFile_ ? 1 : 0) << "\n"
         << "    obtain_device_list_from_udev = 0\n"
         << "    hints = \"none\"\n"
         << "    scan_lvs = 0\n"
         << "}\n"
         << "global {\n"
         << "    activation = 0\n"
         << "}\n"
         << "activation {\n"
         << "    udev_sync = 0\n"
         << "    udev_rules = 0\n"
         << "    monitoring = 0\n"
         << "}\n"
         << "backup {\n"
         << "    backup = 1\n"
         << "    backup_dir = \"/etc/lvm/backup\"\n"
         << "    archive = 0\n"
         << "}\n";
}

RecordingRunner::RecordingRunner() : inner_(vbhost::currentRunner()), guard_(*this) {}

int RecordingRunner::run(const std::string& cmd, std::string* out, std::string* err, int reserved,
                         bool quiet) {
    commands_.push_back(cmd);
    return inner_.run(cmd, out, err, reserved, quiet);
}

size_t RecordingRunner::count(const std::string& prefix) const {
    size_t n = 0;
    for (const std::string& cmd : commands_) n += cmd.rfind(prefix, 0) == 0;
    return n;
}

}  // namespace vbtest
