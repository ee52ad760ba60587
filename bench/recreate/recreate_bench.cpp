// Clone import timed on real LVM2.
//
// For groups over 1, 4 and 16 PVs (on loop devices, with linear and striped LVs), each run on a
// fresh clone set (byte copies of the PVs attached as new loop devices, the originals attached
// throughout) times:
//   L  LVM_linux_lvm::recreateVG, through a runner that records every command it runs and the
//      time spent inside each;
//   F  the command floor: the commands L ran, run back to back by one shell script, with this
//      clone set's devices and fresh identifiers put in; the file they restore from and the
//      script are written before the clock starts;
//   R  the same commands back to back, each started through the host's command runner as the
//      library starts them (so R - F is the cost of starting commands that way);
//   V  vgimportclone -n <the same new name> on the clone set.
// It prints the median of each, the library's overhead (L - F) / F, and how L splits into time
// inside commands and time outside them.
//
// Everything it makes lives in <work root>/<prefix>/ and carries the group-name prefix: image
// files, the loop devices backed by them, a private lvm.conf (through LVM_SYSTEM_DIR) whose filter
// admits only those loops, the library's log and temporary files, and the backup files LVM2 writes
// for its groups in /etc/lvm/backup. All of it goes on the way out, after a failure or an interrupt
// too.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <list>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "LVM/LVM.h"
#include "core/ScopedOverride.h"
#include "host/HostSeams.h"
#include "linux_lvm/lvm2_restore.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---- interrupts ----

volatile sig_atomic_t g_interrupted = 0;

void onSignal(int) { g_interrupted = 1; }

struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};

void checkInterrupted() {
    if (g_interrupted) throw Interrupted();
}

// ---- names and commands ----

bool isWordOf(const std::string& s, const char* allowed) {
    if (s.empty()) return false;
    for (char c : s) {
        if (!isalnum(static_cast<unsigned char>(c)) && !strchr(allowed, c)) return false;
    }
    return true;
}

// A group-name prefix: a letter, then letters, digits and "_".
bool isPrefix(const std::string& s) {
    return s.size() <= 40 && isalpha(static_cast<unsigned char>(s[0])) && isWordOf(s, "_");
}

// An absolute path of letters, digits and "_./-" without "..".
bool isPlainPath(const std::string& s) {
    return s.size() > 1 && s[0] == '/' && isWordOf(s, "_./-") && s.find("..") == std::string::npos;
}

bool isLoopDevice(const std::string& s) {
    return s.rfind("/dev/loop", 0) == 0 && s.size() > 9 &&
           s.find_first_not_of("0123456789", 9) == std::string::npos;
}

struct CommandFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs `cmd` with the real runner; throws when it exits nonzero. Returns standard output.
std::string sh(const std::string& cmd) {
    std::string out, err;
    int rc = vbhost::systemRunner().run(cmd, &out, &err, 0, true);
    if (rc != 0) {
        throw CommandFailed("command failed (" + std::to_string(rc) + "): " + cmd +
                            "\nstdout: " + out + "\nstderr: " + err);
    }
    return out;
}

// Runs `cmd` and reports a failure on standard error only; for clean-up.
void shQuiet(const std::string& cmd) {
    std::string out, err;
    if (vbhost::systemRunner().run(cmd, &out, &err, 0, true) != 0) {
        std::cerr << "clean-up command failed: " << cmd << "\n" << err;
    }
}

std::string trimmed(std::string s) {
    while (!s.empty() && isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    size_t start = 0;
    while (start < s.size() && isspace(static_cast<unsigned char>(s[start]))) ++start;
    return s.substr(start);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string joined(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& w : words) line += (line.empty() ? "" : " ") + w;
    return line;
}

// An identifier in LVM2's form: 32 letters and digits in groups of 6-4-4-4-4-4-6.
std::string freshId() {
    static std::mt19937_64 generator{std::random_device{}()};
    static const char kAlphabet[] =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
    std::string id;
    for (int group : {6, 4, 4, 4, 4, 4, 6}) {
        if (!id.empty()) id += '-';
        for (int i = 0; i < group; ++i) id += kAlphabet[pick(generator)];
    }
    return id;
}

// Replaces the keys of `pairs` by their values in one pass from left to right, so that a value
// is never replaced again. A key ending in a letter or digit matches only where no letter or
// digit follows it: "/dev/loop1" leaves "/dev/loop10" alone.
std::string substitute(const std::string& text,
                       const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string result;
    size_t at = 0;
    while (at < text.size()) {
        const std::pair<std::string, std::string>* best = nullptr;
        for (const auto& pair : pairs) {
            const std::string& key = pair.first;
            if (key.empty() || text.compare(at, key.size(), key) != 0) continue;
            size_t end = at + key.size();
            if (isalnum(static_cast<unsigned char>(key.back())) && end < text.size() &&
                isalnum(static_cast<unsigned char>(text[end]))) {
                continue;
            }
            if (!best || key.size() > best->first.size()) best = &pair;
        }
        if (best) {
            result += best->second;
            at += best->first.size();
        } else {
            result += text[at++];
        }
    }
    return result;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string loadAverage() {
    std::string text = trimmed(readFile("/proc/loadavg"));
    std::istringstream in(text);
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// ---- the runner that times the library's commands ----

// Passes every command to the runner that was current when it was made and records its text,
// its exit status and the wall time it took (process start included); installed for its
// lifetime.
class TimingRunner : public vbhost::CommandRunner {
  public:
    struct Call {
        std::string cmd;
        int rc;
        double ms;
    };

    TimingRunner() : inner_(vbhost::currentRunner()), guard_(*this) {}

    int run(const std::string& cmd, std::string* out, std::string* err, int reserved,
            bool quiet) override {
        Clock::time_point start = Clock::now();
        int rc = inner_.run(cmd, out, err, reserved, quiet);
        calls_.push_back({cmd, rc, msSince(start)});
        return rc;
    }

    const std::vector<Call>& calls() const { return calls_; }
    double totalMs() const {
        double total = 0;
        for (const Call& call : calls_) total += call.ms;
        return total;
    }

  private:
    vbhost::CommandRunner& inner_;
    std::vector<Call> calls_;
    vbhost::ScopedRunner guard_;
};

// ---- the sandbox ----

// Image files, loop devices and LVM2 configuration of one benchmark run; see the top of the
// file. The destructor removes everything the run made.
class Sandbox {
  public:
    Sandbox(const std::string& root, const std::string& prefix)
        : root_(root), prefix_(prefix), workDir_(root + "/" + prefix) {
        sh("mkdir -p " + root);
        // The run's own directory must be new: the destructor removes it.
        if (mkdir(workDir_.c_str(), 0700) != 0) {
            throw std::runtime_error("cannot make " + workDir_ + ": " + strerror(errno));
        }
        made_ = true;
        sh("mkdir " + workDir_ + "/lvm");
        setenv("LVM_SYSTEM_DIR", (workDir_ + "/lvm").c_str(), 1);
        admit({});
    }

    ~Sandbox() {
        if (!made_) return;
        // Groups first while their disks are attached, then the loops, then the files.
        std::string out, err;
        if (!loops_.empty() &&
            vbhost::systemRunner().run("vgs --noheadings -o vg_name", &out, &err, 0, true) == 0) {
            std::istringstream names(out);
            std::string name;
            while (names >> name) {
                if (name.rfind(prefix_, 0) == 0) shQuiet("vgremove -ff -y " + name);
            }
        }
        for (const std::string& loop : loops_) shQuiet("losetup -d " + loop);
        shQuiet("rm -rf " + workDir_);
        rmdir(root_.c_str());  // only when empty: another run may be using it
        shQuiet("rm -f /etc/lvm/backup/" + prefix_ + "* /etc/lvm/archive/" + prefix_ + "*");
    }

    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& prefix() const { return prefix_; }
    const std::string& workDir() const { return workDir_; }

    // A new sparse image of `mib` MiB.
    std::string newImage(const std::string& name, unsigned mib) {
        std::string image = workDir_ + "/" + name + ".img";
        sh("truncate -s " + std::to_string(mib) + "M " + image);
        return image;
    }

    // A byte copy of the image behind an attached loop device, as a storage snapshot would make.
    std::string copyImage(const std::string& image, const std::string& name) {
        std::string copy = workDir_ + "/" + name + ".img";
        // The loop device's page cache may hold writes that are not in the file yet.
        sh("sync && cp --sparse=always " + image + " " + copy);
        return copy;
    }

    std::string attach(const std::string& image) {
        std::string loop = trimmed(sh("losetup -f --show " + image));
        if (!isLoopDevice(loop)) {
            throw std::runtime_error("losetup gave an unexpected device name: [" + loop + "]");
        }
        loops_.push_back(loop);
        return loop;
    }

    void detach(const std::string& loop) {
        auto found = std::find(loops_.begin(), loops_.end(), loop);
        if (found == loops_.end()) throw std::logic_error(loop + " is not a loop of this run");
        sh("losetup -d " + loop);
        loops_.erase(found);
    }

    // Rewrites the private lvm.conf so that LVM2 sees exactly `devices`. Activation is off: there
    // is no device-mapper here.
    void admit(const std::vector<std::string>& devices) {
        std::string filter;
        for (const std::string& device : devices) filter += "\"a|^" + device + "$|\", ";
        filter += "\"r|.*|\"";
        writeFile(workDir_ + "/lvm/lvm.conf", "# written by the volbridge clone import benchmark " +
                                                  prefix_ +
                                                  "\n"
                                                  "devices {\n"
                                                  "    global_filter = [ " +
                                                  filter +
                                                  " ]\n"
                                                  "    use_devicesfile = 0\n"
                                                  "    obtain_device_list_from_udev = 0\n"
                                                  "    hints = \"none\"\n"
                                                  "    scan_lvs = 0\n"
                                                  "}\n"
                                                  "global {\n"
                                                  "    activation = 0\n"
                                                  "}\n"
                                                  "activation {\n"
                                                  "    udev_sync = 0\n"
                                                  "    udev_rules = 0\n"
                                                  "    monitoring = 0\n"
                                                  "}\n"
                                                  "backup {\n"
                                                  "    backup = 1\n"
                                                  "    backup_dir = \"/etc/lvm/backup\"\n"
                                                  "    archive = 0\n"
                                                  "}\n");
    }

    // Removes a group of this run and its backup file.
    void removeGroup(const std::string& name) {
        if (name.rfind(prefix_, 0) != 0 || !isWordOf(name, "_")) {
            throw std::logic_error(name + " is not a group of this run");
        }
        sh("vgremove -ff -y " + name);
        sh("rm -f /etc/lvm/backup/" + name);
    }

  private:
    std::string root_;
    std::string prefix_;
    std::string workDir_;
    bool made_ = false;
    std::vector<std::string> loops_;
};

// ---- the group and its clone sets ----

struct Disk {
    std::string image;
    std::string device;
};

struct Group {
    unsigned pvs = 0;
    unsigned lvs = 0;
    std::string name;
    std::vector<Disk> disks;
    std::string metadata;                      // as "vgcfgbackup -f" wrote it
    std::map<std::string, std::string> idMap;  // backup-time PV id -> the id a clone carries
    std::string copyName;                      // the name clone import gives it
};

std::vector<std::string> devicesOf(const std::vector<Disk>& disks) {
    std::vector<std::string> devices;
    for (const Disk& disk : disks) devices.push_back(disk.device);
    return devices;
}

// A group over `pvs` PVs of `mib` MiB: a linear LV on each PV and, over two PVs or more, an LV
// striped across all of them and a linear LV with one segment on each of the first two.
Group makeGroup(Sandbox& box, unsigned pvs, unsigned mib) {
    Group group;
    group.pvs = pvs;
    group.name = box.prefix() + "g" + std::to_string(pvs);
    group.copyName = group.name + "_copy_001";
    for (unsigned i = 0; i < pvs; ++i) {
        Disk disk;
        disk.image = box.newImage("g" + std::to_string(pvs) + "_pv" + std::to_string(i), mib);
        disk.device = box.attach(disk.image);
        group.disks.push_back(disk);
    }
    const std::vector<std::string> devices = devicesOf(group.disks);
    box.admit(devices);
    const std::string all = joined(devices);
    const std::string lvcreate = "lvcreate -q --driverloaded n -an -Zn ";
    sh("pvcreate -q " + all);
    sh("vgcreate -q -s 4m " + group.name + " " + all);
    for (unsigned i = 0; i < pvs; ++i) {
        sh(lvcreate + "-L 4M -n lin" + std::to_string(i) + " " + group.name + " " + devices[i]);
        ++group.lvs;
    }
    if (pvs >= 2) {
        sh(lvcreate + "-i " + std::to_string(pvs) + " -I 64k -L " + std::to_string(4 * pvs) +
           "M -n striped " + group.name + " " + all);
        sh(lvcreate + "-L 4M -n twoseg " + group.name + " " + devices[0]);
        sh("lvextend -q --driverloaded n -L +4M " + group.name + "/twoseg " + devices[1]);
        group.lvs += 2;
    }
    const std::string file = box.workDir() + "/" + group.name + ".vg";
    sh("vgcfgbackup -f " + file + " " + group.name);
    group.metadata = readFile(file);
    for (const std::string& device : devices) {
        std::string id = trimmed(sh("pvs --noheadings -o pv_uuid " + device));
        if (id.empty()) throw std::runtime_error("no PV id for " + device);
        group.idMap[id] = id;  // a byte copy carries its original's id
    }
    return group;
}

// Byte copies of the group's PVs on new loop devices; LVM2 sees the originals and these.
std::vector<Disk> makeClones(Sandbox& box, const Group& group, unsigned serial) {
    std::vector<Disk> clones;
    for (size_t i = 0; i < group.disks.size(); ++i) {
        Disk clone;
        clone.image = box.copyImage(group.disks[i].image, "g" + std::to_string(group.pvs) + "_set" +
                                                              std::to_string(serial) + "_pv" +
                                                              std::to_string(i));
        clone.device = box.attach(clone.image);
        clones.push_back(clone);
    }
    std::vector<std::string> visible = devicesOf(group.disks);
    for (const Disk& clone : clones) visible.push_back(clone.device);
    box.admit(visible);
    // Nothing of the copies waits for write-back while the clock runs.
    sh("sync");
    return clones;
}

void dropClones(Sandbox& box, const Group& group, const std::vector<Disk>& clones, bool groupMade) {
    if (groupMade) box.removeGroup(group.copyName);
    for (const Disk& clone : clones) {
        box.detach(clone.device);
        sh("rm -f " + clone.image);
    }
    box.admit(devicesOf(group.disks));
}

// The imported group is there, on exactly the clone set.
void checkImported(const Group& group, const std::vector<Disk>& clones, const char* how) {
    std::string out = sh("pvs --noheadings -o pv_name,vg_name " + joined(devicesOf(clones)));
    std::istringstream rows(out);
    std::string device, vg;
    size_t count = 0;
    while (rows >> device >> vg) {
        if (vg != group.copyName) {
            throw std::runtime_error(std::string(how) + ": " + device + " is in group [" + vg +
                                     "], not [" + group.copyName + "]");
        }
        ++count;
    }
    std::string lvs = sh("lvs --noheadings -o lv_name " + group.copyName);
    size_t lvCount = 0;
    std::istringstream lvNames(lvs);
    for (std::string lv; lvNames >> lv;) ++lvCount;
    if (count != clones.size() || lvCount != group.lvs) {
        throw std::runtime_error(std::string(how) + ": group [" + group.copyName + "] has " +
                                 std::to_string(count) + " of " + std::to_string(clones.size()) +
                                 " PVs and " + std::to_string(lvCount) + " of " +
                                 std::to_string(group.lvs) + " LVs");
    }
}

// ---- the three ways to import ----

struct LibraryRun {
    double ms = 0;
    double inCommandsMs = 0;
    std::vector<TimingRunner::Call> calls;
    LVM::VG vg;
};

LibraryRun runLibrary(const Group& group, const std::vector<Disk>& clones) {
    const std::vector<std::string> devices = devicesOf(clones);
    const std::list<std::string> pvList(devices.begin(), devices.end());
    std::map<std::string, std::string> idMap = group.idMap;
    LVM_linux_lvm backend;
    LibraryRun run;
    {
        TimingRunner runner;
        Clock::time_point start = Clock::now();
        run.vg = backend.recreateVG(pvList, group.metadata.c_str(), idMap);
        run.ms = msSince(start);
        run.calls = runner.calls();
        run.inCommandsMs = runner.totalMs();
    }
    if (run.vg.name != group.copyName) {
        throw std::runtime_error("recreateVG made [" + run.vg.name + "], expected [" +
                                 group.copyName + "]");
    }
    checkImported(group, clones, "recreateVG");
    return run;
}

// What the floor replays: the commands of one library run and the metadata it restored, with
// what identifies that run's clone set.
struct FloorTemplate {
    std::vector<TimingRunner::Call> calls;
    std::string metadata;
    std::string restoreFile;           // the library's temporary file named in the commands
    std::vector<std::string> devices;  // that run's clones, in the order of its pvcreates
    std::map<std::string, std::string> pvIdOf;  // device -> the id that run gave it
    std::vector<std::string> otherIds;          // the new group's and LVs' identifiers
};

FloorTemplate floorTemplate(const LibraryRun& run) {
    FloorTemplate floor;
    floor.calls = run.calls;
    floor.metadata = run.vg.metadata;
    const std::string flag = " --restorefile ";
    for (const TimingRunner::Call& call : run.calls) {
        if (call.cmd.rfind("pvcreate ", 0) != 0) continue;
        floor.devices.push_back(call.cmd.substr(call.cmd.rfind(' ') + 1));
        size_t at = call.cmd.find(flag);
        if (at == std::string::npos) throw std::runtime_error("no restore file in " + call.cmd);
        at += flag.size();
        floor.restoreFile = call.cmd.substr(at, call.cmd.find(' ', at) - at);
    }
    if (floor.devices.empty()) throw std::runtime_error("recreateVG ran no pvcreate");
    for (const auto& pv : run.vg.pvs) floor.pvIdOf[pv.second.device] = pv.second.uuid;
    floor.otherIds.push_back(run.vg.uuid);
    for (const auto& lv : run.vg.lvs) floor.otherIds.push_back(lv.second.uuid);
    return floor;
}

// How the floor's commands are started.
enum class FloorStart {
    Script,  // one shell script runs them all
    Runner,  // each through the host's command runner, as the library starts them
};

// Times the floor: the template's commands with this clone set's devices, fresh identifiers and
// a restore file of its own, written (with the script) before the clock starts.
// With FloorStart::Runner, `perCommand` (if not null) receives each command's time.
double runFloor(Sandbox& box, const Group& group, const FloorTemplate& floor,
                const std::vector<Disk>& clones, unsigned serial, FloorStart how,
                std::vector<double>* perCommand = nullptr) {
    if (floor.devices.size() != clones.size()) {
        throw std::runtime_error("the floor has " + std::to_string(floor.devices.size()) +
                                 " pvcreate commands for " + std::to_string(clones.size()) +
                                 " clones");
    }
    const std::string restoreFile = box.workDir() + "/floor" + std::to_string(serial) + ".vg";
    const std::string script = box.workDir() + "/floor" + std::to_string(serial) + ".sh";
    std::vector<std::pair<std::string, std::string>> pairs;
    pairs.emplace_back(floor.restoreFile, restoreFile);
    std::map<std::string, std::string> expectedPvIds;  // clone device -> its new id
    for (size_t i = 0; i < clones.size(); ++i) {
        auto id = floor.pvIdOf.find(floor.devices[i]);
        if (id == floor.pvIdOf.end()) throw std::runtime_error("no id for " + floor.devices[i]);
        const std::string fresh = freshId();
        pairs.emplace_back(floor.devices[i], clones[i].device);
        pairs.emplace_back(id->second, fresh);
        expectedPvIds[clones[i].device] = fresh;
    }
    for (const std::string& id : floor.otherIds) pairs.emplace_back(id, freshId());

    std::vector<std::string> commands;
    for (const TimingRunner::Call& call : floor.calls) {
        commands.push_back(substitute(call.cmd, pairs));
    }
    std::string text =
        "#!/bin/sh\n"
        "# The commands one recreateVG run made, with another clone set's devices and fresh\n"
        "# identifiers.\n";
    for (size_t i = 0; i < commands.size(); ++i) {
        text += commands[i];
        // A command that succeeded for the library must succeed here too.
        if (floor.calls[i].rc == 0) {
            text += " || echo \"floor command " + std::to_string(i + 1) + " failed: $?\" >&2";
        }
        text += "\n";
    }
    writeFile(script, text);
    writeFile(restoreFile, substitute(floor.metadata, pairs));
    sh("sync");

    std::string out, err, failed;
    double ms = 0;
    if (how == FloorStart::Script) {
        Clock::time_point start = Clock::now();
        int rc = vbhost::systemRunner().run("/bin/sh " + script, &out, &err, 0, true);
        ms = msSince(start);
        if (rc != 0 || err.find("floor command") != std::string::npos) {
            failed = "(" + std::to_string(rc) + "): " + err;
        }
    } else {
        std::vector<int> rcs;
        std::vector<double> times;
        rcs.reserve(commands.size());
        times.reserve(commands.size());
        Clock::time_point start = Clock::now();
        for (const std::string& cmd : commands) {
            Clock::time_point started = Clock::now();
            rcs.push_back(vbhost::systemRunner().run(cmd, &out, &err, 0, false));
            times.push_back(msSince(started));
        }
        ms = msSince(start);
        if (perCommand) *perCommand = times;
        for (size_t i = 0; i < rcs.size(); ++i) {
            if (floor.calls[i].rc == 0 && rcs[i] != 0) {
                failed += " command " + std::to_string(i + 1) + " exited " + std::to_string(rcs[i]);
            }
        }
    }
    if (!failed.empty()) {
        throw std::runtime_error("the floor " + script + " failed" + failed);
    }
    checkImported(group, clones, "floor");
    for (const auto& expected : expectedPvIds) {
        std::string id = trimmed(sh("pvs --noheadings -o pv_uuid " + expected.first));
        if (id != expected.second) {
            throw std::runtime_error("floor: " + expected.first + " has PV id " + id +
                                     ", expected " + expected.second);
        }
    }
    sh("rm -f " + script + " " + restoreFile);
    return ms;
}

double runVgimportclone(const Group& group, const std::vector<Disk>& clones) {
    const std::string cmd = "vgimportclone -n " + group.copyName + " " + joined(devicesOf(clones));
    std::string out, err;
    Clock::time_point start = Clock::now();
    int rc = vbhost::systemRunner().run(cmd, &out, &err, 0, true);
    double ms = msSince(start);
    if (rc != 0) {
        throw std::runtime_error("vgimportclone failed (" + std::to_string(rc) + "): " + err);
    }
    checkImported(group, clones, "vgimportclone");
    return ms;
}

// ---- the benchmark ----

struct Options {
    std::vector<unsigned> pvCounts{1, 4, 16};
    unsigned runs = 11;
    unsigned pvMib = 32;
    std::string workRoot = "/var/tmp/volbridge-bench";
    std::string prefix;
    bool showCommands = false;
};

struct Row {
    unsigned pvs = 0;
    unsigned lvs = 0;
    size_t commands = 0;
    std::vector<double> library, inCommands, outside, floor, runnerFloor, vgimportclone;
    // Per command of the library run, per run: as the library ran it, and through the runner
    // back to back.
    std::vector<std::vector<double>> perCommand, perCommandRunner;
    std::vector<std::string> commandTexts;
    std::string loadBefore, loadAfter;
};

enum class Method { Library, Floor, RunnerFloor, Vgimportclone };

Row benchmark(Sandbox& box, unsigned pvs, const Options& options) {
    Row row;
    row.pvs = pvs;
    row.loadBefore = loadAverage();
    Group group = makeGroup(box, pvs, options.pvMib);
    row.lvs = group.lvs;
    unsigned serial = 0;
    FloorTemplate floor;

    // Run 0 warms the caches and gives the floor its commands; it is not counted.
    for (unsigned run = 0; run <= options.runs; ++run) {
        std::vector<Method> order{Method::Library, Method::Floor, Method::RunnerFloor,
                                  Method::Vgimportclone};
        // Each method takes each place in the order equally often, so drift favours none.
        std::rotate(order.begin(), order.begin() + (run == 0 ? 0 : (run - 1) % order.size()),
                    order.end());
        for (Method method : order) {
            checkInterrupted();
            std::vector<Disk> clones = makeClones(box, group, ++serial);
            bool made = false;
            try {
                if (method == Method::Library) {
                    LibraryRun result = runLibrary(group, clones);
                    made = true;
                    if (run == 0) {
                        floor = floorTemplate(result);
                        row.commands = result.calls.size();
                        for (const auto& call : result.calls) row.commandTexts.push_back(call.cmd);
                        row.perCommand.resize(result.calls.size());
                        row.perCommandRunner.resize(result.calls.size());
                    } else {
                        if (result.calls.size() != row.commands) {
                            throw std::runtime_error(
                                "recreateVG ran " + std::to_string(result.calls.size()) +
                                " commands, before " + std::to_string(row.commands));
                        }
                        row.library.push_back(result.ms);
                        row.inCommands.push_back(result.inCommandsMs);
                        row.outside.push_back(result.ms - result.inCommandsMs);
                        for (size_t i = 0; i < result.calls.size(); ++i) {
                            row.perCommand[i].push_back(result.calls[i].ms);
                        }
                    }
                } else if (method == Method::Floor) {
                    double ms = runFloor(box, group, floor, clones, serial, FloorStart::Script);
                    made = true;
                    if (run > 0) row.floor.push_back(ms);
                } else if (method == Method::RunnerFloor) {
                    std::vector<double> times;
                    double ms =
                        runFloor(box, group, floor, clones, serial, FloorStart::Runner, &times);
                    made = true;
                    if (run > 0) {
                        row.runnerFloor.push_back(ms);
                        for (size_t i = 0; i < times.size(); ++i) {
                            row.perCommandRunner[i].push_back(times[i]);
                        }
                    }
                } else {
                    double ms = runVgimportclone(group, clones);
                    made = true;
                    if (run > 0) row.vgimportclone.push_back(ms);
                }
            } catch (...) {
                // The import may have got as far as making the group.
                std::string out, err;
                made =
                    vbhost::systemRunner().run("vgs " + group.copyName, &out, &err, 0, true) == 0;
                dropClones(box, group, clones, made);
                throw;
            }
            dropClones(box, group, clones, made);
        }
        std::cerr << "  " << pvs << " PVs: run " << run << (run == 0 ? " (warm-up)" : "")
                  << " done\n";
    }

    box.removeGroup(group.name);
    for (const Disk& disk : group.disks) {
        box.detach(disk.device);
        sh("rm -f " + disk.image);
    }
    box.admit({});
    row.loadAfter = loadAverage();
    return row;
}

void printTable(const std::vector<Row>& rows, const Options& options) {
    std::string version = trimmed(sh("lvm version | sed -n 's/^ *LVM version: *//p'"));
    printf("recreateVG against the command floor and vgimportclone, real LVM2 %s on loop devices\n",
           version.c_str());
    printf("median of %u runs per cell (after one warm-up run), PVs of %u MiB, %ld CPUs\n\n",
           options.runs, options.pvMib, sysconf(_SC_NPROCESSORS_ONLN));
    printf("%4s %4s %5s | %8s %8s %8s %8s | %8s | %9s %9s | %s\n", "PVs", "LVs", "cmds", "L ms",
           "F ms", "R ms", "V ms", "(L-F)/F", "L in cmds", "L outside", "load avg before / after");
    for (const Row& row : rows) {
        double l = median(row.library), f = median(row.floor);
        printf("%4u %4u %5zu | %8.1f %8.1f %8.1f %8.1f | %7.1f%% | %9.1f %9.1f | %s / %s\n",
               row.pvs, row.lvs, row.commands, l, f, median(row.runnerFloor),
               median(row.vgimportclone), 100.0 * (l - f) / f, median(row.inCommands),
               median(row.outside), row.loadBefore.c_str(), row.loadAfter.c_str());
    }
    printf(
        "\nspread over the runs, min .. max; the overhead also taken run by run (the runs of\n"
        "one round were made next to each other):\n");
    printf("%4s | %17s | %17s | %17s | %15s | %s\n", "PVs", "L ms", "F ms", "R ms", "V ms",
           "(L-F)/F per run: median [min, max]");
    auto range = [](const std::vector<double>& v) {
        char text[64];
        snprintf(text, sizeof text, "%7.1f .. %7.1f", *std::min_element(v.begin(), v.end()),
                 *std::max_element(v.begin(), v.end()));
        return std::string(text);
    };
    for (const Row& row : rows) {
        std::vector<double> paired;
        for (size_t i = 0; i < row.library.size() && i < row.floor.size(); ++i) {
            paired.push_back(100.0 * (row.library[i] - row.floor[i]) / row.floor[i]);
        }
        printf("%4u | %17s | %17s | %17s | %15s | %5.1f%% [%.1f%%, %.1f%%]\n", row.pvs,
               range(row.library).c_str(), range(row.floor).c_str(), range(row.runnerFloor).c_str(),
               range(row.vgimportclone).c_str(), median(paired),
               *std::min_element(paired.begin(), paired.end()),
               *std::max_element(paired.begin(), paired.end()));
    }
    printf(
        "\nL: recreateVG, wall clock; \"L in cmds\" the part inside the commands it ran, each\n"
        "   started through /bin/sh -c by the host's command runner; \"L outside\" the rest.\n"
        "F: the command floor: the same commands back to back from one shell script.\n"
        "R: the same commands back to back, each through the host's command runner.\n"
        "V: vgimportclone -n <the same new name>.\n"
        "Each on a fresh clone set of the same group.\n");
    for (const Row& row : rows) {
        if (!options.showCommands && &row != &rows.front()) continue;
        printf("\ncommands of recreateVG over %u PVs, median ms each in L and in R:\n", row.pvs);
        for (size_t i = 0; i < row.commandTexts.size(); ++i) {
            printf("%7.1f %7.1f  %s\n", median(row.perCommand[i]), median(row.perCommandRunner[i]),
                   row.commandTexts[i].c_str());
        }
    }
}

void usage(const char* argv0) {
    fprintf(stderr,
            "usage: %s [--pvs 1,4,16] [--runs 11] [--pv-size MIB] [--work-root DIR]\n"
            "          [--prefix NAME] [--show-commands]\n"
            "Needs root, loop devices and the LVM2 tools. Everything it makes lives in\n"
            "DIR/NAME (default /var/tmp/volbridge-bench/vbbench<pid>_) and is removed on exit.\n",
            argv0);
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        auto number = [](const std::string& text, unsigned low, unsigned high, unsigned* out) {
            if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
                text.size() > 6) {
                return false;
            }
            unsigned n = static_cast<unsigned>(std::stoul(text));
            if (n < low || n > high) return false;
            *out = n;
            return true;
        };
        if (arg == "--pvs") {
            options->pvCounts.clear();
            std::istringstream list(value());
            for (std::string item; std::getline(list, item, ',');) {
                unsigned n = 0;
                if (!number(item, 1, 64, &n)) return false;
                options->pvCounts.push_back(n);
            }
            if (options->pvCounts.empty()) return false;
        } else if (arg == "--runs") {
            if (!number(value(), 1, 1000, &options->runs)) return false;
        } else if (arg == "--pv-size") {
            if (!number(value(), 16, 4096, &options->pvMib)) return false;
        } else if (arg == "--work-root") {
            options->workRoot = value();
            if (!isPlainPath(options->workRoot)) return false;
        } else if (arg == "--prefix") {
            options->prefix = value();
            if (!isPrefix(options->prefix)) return false;
        } else if (arg == "--show-commands") {
            options->showCommands = true;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        usage(argv[0]);
        return 2;
    }
    if (options.prefix.empty()) options.prefix = "vbbench" + std::to_string(getpid()) + "_";
    if (geteuid() != 0) {
        fprintf(stderr, "the benchmark needs root (loop devices, LVM2)\n");
        return 2;
    }
    if (access("/dev/loop-control", F_OK) != 0 ||
        vbhost::systemRunner().run("command -v lvm && command -v losetup && command -v "
                                   "vgimportclone",
                                   nullptr, nullptr, 0, true) != 0) {
        fprintf(stderr, "the benchmark needs loop devices and the lvm2 and losetup tools\n");
        return 2;
    }

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);

    std::vector<Row> rows;
    try {
        Sandbox box(options.workRoot, options.prefix);
        // The library runs with its defaults (no configuration file) and logs as a host would
        // set it up: to a file, at the default level.
        setenv("VOLBRIDGE_CONFIG", (box.workDir() + "/volbridge.conf").c_str(), 1);
        setenv("VOLBRIDGE_LOG_FILE", (box.workDir() + "/volbridge.log").c_str(), 1);
        unsetenv("VOLBRIDGE_LOG_LEVEL");
        vbhost::reloadConfig();
        // The library's temporary metadata files too, so that not even a killed run leaves one.
        volbridge::ScopedOverride<std::string> tempFiles(volbridge::lvm2::metadataTempDirectory(),
                                                         box.workDir());
        fprintf(stderr, "work directory %s, group prefix %s, load average %s\n",
                box.workDir().c_str(), box.prefix().c_str(), loadAverage().c_str());
        for (unsigned pvs : options.pvCounts) rows.push_back(benchmark(box, pvs, options));
        printTable(rows, options);
    } catch (const std::exception& e) {
        // After an interrupt the error is most likely a command that was interrupted.
        if (g_interrupted) {
            fprintf(stderr, "interrupted; everything the benchmark made is removed\n");
            return 130;
        }
        if (auto* yb = dynamic_cast<const YbException*>(&e)) {
            fprintf(stderr, "%s: %s\n", yb->getFuncName().c_str(), yb->getMessage().c_str());
        } else {
            fprintf(stderr, "%s\n", e.what());
        }
        return 1;
    }
    return 0;
}
