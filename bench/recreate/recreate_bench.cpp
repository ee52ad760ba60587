// Clone import timed on real LVM2, against LVM2's own clone import.
//
// For groups over 1, 4 and 16 PVs (on loop devices, with linear and striped LVs), and for each
// number of unrelated PVs on the host (default 0 and 64), each run times on a fresh clone set
// (byte copies of the group's PVs attached as new loop devices, the originals attached
// throughout):
//   L  LVM_linux_lvm::recreateVG, through a runner that records every command it runs and the
//      time spent inside each;
//   V  "vgimportclone -n <the same new name> <clones>" then "vgchange -ay <that name>", each
//      started through the host's command runner as the library starts its commands.
// The runs of L and V alternate, and so do the host sizes, so that drift hits all of them. It
// prints the medians, L/V, the number of LVM2 commands each ran and the load average.
//
// The host's unrelated PVs are made once, in groups of their own shaped like the measured group;
// a run with fewer of them hides the rest from LVM2 through the filter. Activation is off in the
// private lvm.conf (there is no device-mapper here), for L and V alike.
//
// The program uses only the public interface and the host's seams, so that it measures whatever
// recreateVG does, whichever commands it runs.
//
// Everything it makes lives in <work root>/<prefix>/ and carries the group-name prefix: image
// files, the loop devices backed by them, a private lvm.conf (through LVM_SYSTEM_DIR) whose filter
// admits exactly those loops that are not hidden, the library's log and temporary files, and the
// backup files LVM2 writes for its groups in /etc/lvm/backup. All of it goes on the way out, after
// a failure or an interrupt too.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <list>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "LVM/LVM.h"
#include "host/HostSeams.h"
#include "host/YbException.h"

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

// Whether `cmd` runs an LVM2 tool: its program (after any "NAME=value" words) is "lvm..." or a
// "pv...", "vg..." or "lv..." command.
bool isLvm2Command(const std::string& cmd) {
    std::istringstream words(cmd);
    std::string program;
    while (words >> program && program.find('=') != std::string::npos) {
    }
    program = program.substr(program.rfind('/') + 1);
    for (const char* start : {"lvm", "pv", "vg", "lv"}) {
        if (program.rfind(start, 0) == 0 && isWordOf(program, "")) return true;
    }
    return false;
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
// file. LVM2 sees exactly the run's loop devices that are not hidden: the filter is rewritten
// whenever one is attached or detached, so that a loop number another program takes after a
// detach is never admitted. The destructor removes everything the run made.
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
        sh("mkdir -m 700 " + workDir_ + "/tmp");
        setenv("LVM_SYSTEM_DIR", (workDir_ + "/lvm").c_str(), 1);
        writeConfig();
    }

    ~Sandbox() {
        if (!made_) return;
        // Groups first, with every disk of the run in view, then the loops, then the files.
        hidden_.clear();
        std::string out, err;
        try {
            writeConfig();
            if (!loops_.empty() && vbhost::systemRunner().run("vgs --noheadings -o vg_name", &out,
                                                              &err, 0, true) == 0) {
                std::istringstream names(out);
                std::string name;
                while (names >> name) {
                    if (name.rfind(prefix_, 0) == 0 && isWordOf(name, "_")) {
                        shQuiet("vgremove -ff -y " + name);
                    }
                }
            }
        } catch (const std::exception& e) {
            std::cerr << "clean-up: " << e.what() << "\n";
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

    // Attaches `image` to a new loop device, which LVM2 then sees.
    std::string attach(const std::string& image) {
        std::string loop = trimmed(sh("losetup -f --show " + image));
        if (!isLoopDevice(loop)) {
            throw std::runtime_error("losetup gave an unexpected device name: [" + loop + "]");
        }
        loops_.push_back(loop);
        writeConfig();
        return loop;
    }

    void detach(const std::string& loop) {
        auto found = std::find(loops_.begin(), loops_.end(), loop);
        if (found == loops_.end()) throw std::logic_error(loop + " is not a loop of this run");
        sh("losetup -d " + loop);
        loops_.erase(found);
        writeConfig();
    }

    // LVM2 sees the run's loops except `devices`, from now on.
    void hide(const std::vector<std::string>& devices) {
        hidden_ = devices;
        writeConfig();
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
    // The private lvm.conf. Activation is off: there is no device-mapper here.
    void writeConfig() {
        std::string filter;
        for (const std::string& device : loops_) {
            if (std::find(hidden_.begin(), hidden_.end(), device) != hidden_.end()) continue;
            filter += "\"a|^" + device + "$|\", ";
        }
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

    std::string root_;
    std::string prefix_;
    std::string workDir_;
    bool made_ = false;
    std::vector<std::string> loops_;
    std::vector<std::string> hidden_;
};

// ---- the groups and the clone sets ----

struct Disk {
    std::string image;
    std::string device;
};

struct Group {
    unsigned pvs = 0;
    unsigned lvs = 0;
    std::string base;  // the name without the run's prefix; names the images too
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

// The group <prefix><base> over `pvs` new PVs of `mib` MiB: a linear LV on each PV and, over two
// PVs or more, an LV striped across all of them and a linear LV with one segment on each of the
// first two.
Group makeGroup(Sandbox& box, const std::string& base, unsigned pvs, unsigned mib) {
    Group group;
    group.pvs = pvs;
    group.base = base;
    group.name = box.prefix() + base;
    group.copyName = group.name + "_copy_001";
    for (unsigned i = 0; i < pvs; ++i) {
        Disk disk;
        disk.image = box.newImage(base + "_pv" + std::to_string(i), mib);
        disk.device = box.attach(disk.image);
        group.disks.push_back(disk);
    }
    const std::vector<std::string> devices = devicesOf(group.disks);
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
    return group;
}

// Captures the group's metadata and its PV ids, as a backup would.
void captureGroup(Sandbox& box, Group* group) {
    const std::string file = box.workDir() + "/" + group->name + ".vg";
    sh("vgcfgbackup -f " + file + " " + group->name);
    group->metadata = readFile(file);
    for (const std::string& device : devicesOf(group->disks)) {
        std::string id = trimmed(sh("pvs --noheadings -o pv_uuid " + device));
        if (id.empty()) throw std::runtime_error("no PV id for " + device);
        group->idMap[id] = id;  // a byte copy carries its original's id
    }
}

// Removes the group, its loops and its images.
void removeGroupAndDisks(Sandbox& box, const Group& group) {
    box.removeGroup(group.name);
    for (const Disk& disk : group.disks) {
        box.detach(disk.device);
        sh("rm -f " + disk.image);
    }
}

// The host's unrelated PVs, as on a SAN host: its LUNs come in groups of several, one group per
// application, rather than one group per LUN. A group ends after 8 PVs and at each host size
// asked for, so that every host size is a number of whole groups; a host size of n shows LVM2
// the first n PVs and hides the rest.
struct HostPvs {
    std::vector<Group> groups;
    std::vector<std::string> devices;

    void show(Sandbox& box, unsigned n) const {
        box.hide(std::vector<std::string>(devices.begin() + n, devices.end()));
    }

    // Throws unless LVM2 sees exactly the first n of them.
    void checkShown(unsigned n) const {
        std::istringstream seen(sh("pvs --noheadings -o pv_name"));
        unsigned shown = 0;
        for (std::string device; seen >> device;) {
            auto at = std::find(devices.begin(), devices.end(), device);
            if (at == devices.end()) continue;
            if (at - devices.begin() >= n) throw std::runtime_error("LVM2 sees hidden " + device);
            ++shown;
        }
        if (shown != n) {
            throw std::runtime_error("LVM2 sees " + std::to_string(shown) + " of the first " +
                                     std::to_string(n) + " host PVs");
        }
    }

    void remove(Sandbox& box) const {
        show(box, static_cast<unsigned>(devices.size()));
        for (const Group& group : groups) removeGroupAndDisks(box, group);
    }
};

constexpr unsigned kHostGroupPvs = 8;

HostPvs makeHostPvs(Sandbox& box, const std::vector<unsigned>& sizes, unsigned mib) {
    HostPvs host;
    const unsigned total = sizes.empty() ? 0 : *std::max_element(sizes.begin(), sizes.end());
    for (unsigned start = 0; start < total;) {
        unsigned end = std::min(start + kHostGroupPvs, total);
        for (unsigned size : sizes) {
            if (size > start && size < end) end = size;
        }
        checkInterrupted();
        host.groups.push_back(
            makeGroup(box, "host" + std::to_string(host.groups.size() + 1), end - start, mib));
        for (const Disk& disk : host.groups.back().disks) host.devices.push_back(disk.device);
        start = end;
    }
    return host;
}

// Byte copies of the group's PVs on new loop devices; LVM2 sees the originals and these.
std::vector<Disk> makeClones(Sandbox& box, const Group& group, unsigned serial) {
    std::vector<Disk> clones;
    for (size_t i = 0; i < group.disks.size(); ++i) {
        Disk clone;
        clone.image =
            box.copyImage(group.disks[i].image,
                          group.base + "_set" + std::to_string(serial) + "_pv" + std::to_string(i));
        clone.device = box.attach(clone.image);
        clones.push_back(clone);
    }
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

// ---- the two ways to import ----

struct Import {
    double ms = 0;
    double inCommandsMs = 0;  // L only: the part spent inside the commands it ran
    std::vector<TimingRunner::Call> calls;
};

Import runLibrary(const Group& group, const std::vector<Disk>& clones) {
    const std::vector<std::string> devices = devicesOf(clones);
    const std::list<std::string> pvList(devices.begin(), devices.end());
    std::map<std::string, std::string> idMap = group.idMap;
    LVM_linux_lvm backend;
    Import run;
    LVM::VG vg;
    {
        TimingRunner runner;
        Clock::time_point start = Clock::now();
        vg = backend.recreateVG(pvList, group.metadata.c_str(), idMap);
        run.ms = msSince(start);
        run.calls = runner.calls();
        run.inCommandsMs = runner.totalMs();
    }
    if (vg.name != group.copyName) {
        throw std::runtime_error("recreateVG made [" + vg.name + "], expected [" + group.copyName +
                                 "]");
    }
    checkImported(group, clones, "recreateVG");
    return run;
}

Import runVgimportclone(const Group& group, const std::vector<Disk>& clones) {
    const std::vector<std::string> commands{
        "vgimportclone -n " + group.copyName + " " + joined(devicesOf(clones)),
        "vgchange -ay " + group.copyName};
    Import run;
    std::string out, err;
    Clock::time_point start = Clock::now();
    for (const std::string& cmd : commands) {
        Clock::time_point started = Clock::now();
        int rc = vbhost::systemRunner().run(cmd, &out, &err, 0, true);
        run.calls.push_back({cmd, rc, msSince(started)});
        if (rc != 0)
            throw CommandFailed("V failed (" + std::to_string(rc) + "): " + cmd + "\n" + err);
    }
    run.ms = msSince(start);
    checkImported(group, clones, "vgimportclone");
    return run;
}

// ---- the benchmark ----

struct Options {
    std::vector<unsigned> pvCounts{1, 4, 16};
    std::vector<unsigned> hostPvs{0, 64};  // ascending, no repeats
    unsigned runs = 11;
    unsigned pvMib = 32;
    std::string workRoot = "/var/tmp/volbridge-bench";
    std::string prefix;
    bool showCommands = false;
};

// One cell: a clone set size on a host size.
struct Cell {
    unsigned pvs = 0;
    unsigned lvs = 0;
    unsigned hostPvs = 0;
    std::vector<double> library, inCommands, vgimportclone;
    std::vector<double> lvm2Commands, otherCommands;  // of L, per run
    size_t vCommands = 0;
    std::vector<TimingRunner::Call> lastCalls;  // of L's last run
    std::string loadBefore, loadAfter;          // around all the runs of its clone set size
};

// The cells of one clone set size, one per host size; every run goes through all host sizes,
// L and V on each, in turn.
std::vector<Cell> benchmark(Sandbox& box, const HostPvs& host, unsigned pvs,
                            const Options& options) {
    const std::string loadBefore = loadAverage();
    Group group = makeGroup(box, "g" + std::to_string(pvs), pvs, options.pvMib);
    captureGroup(box, &group);
    std::vector<Cell> cells(options.hostPvs.size());
    for (size_t h = 0; h < cells.size(); ++h) {
        cells[h].pvs = pvs;
        cells[h].lvs = group.lvs;
        cells[h].hostPvs = options.hostPvs[h];
    }
    unsigned serial = 0;

    // Run 0 warms the caches; it is not counted.
    for (unsigned run = 0; run <= options.runs; ++run) {
        // The host sizes take each place in the round in turn, and L goes first in every other
        // round, so that drift favours none.
        for (size_t turn = 0; turn < cells.size(); ++turn) {
            Cell& cell = cells[(turn + run) % cells.size()];
            host.show(box, cell.hostPvs);
            if (run == 0) host.checkShown(cell.hostPvs);
            for (bool library : {run % 2 == 0, run % 2 != 0}) {
                checkInterrupted();
                std::vector<Disk> clones = makeClones(box, group, ++serial);
                Import result;
                try {
                    result = library ? runLibrary(group, clones) : runVgimportclone(group, clones);
                } catch (...) {
                    // The import may have got as far as making the group.
                    std::string out, err;
                    bool made = vbhost::systemRunner().run("vgs " + group.copyName, &out, &err, 0,
                                                           true) == 0;
                    dropClones(box, group, clones, made);
                    throw;
                }
                dropClones(box, group, clones, true);
                if (run == 0) continue;
                if (library) {
                    size_t lvm2 = std::count_if(
                        result.calls.begin(), result.calls.end(),
                        [](const TimingRunner::Call& call) { return isLvm2Command(call.cmd); });
                    cell.library.push_back(result.ms);
                    cell.inCommands.push_back(result.inCommandsMs);
                    cell.lvm2Commands.push_back(lvm2);
                    cell.otherCommands.push_back(result.calls.size() - lvm2);
                    cell.lastCalls = result.calls;
                } else {
                    cell.vgimportclone.push_back(result.ms);
                    cell.vCommands = result.calls.size();
                }
            }
        }
        std::cerr << "  " << pvs << " PVs: run " << run << (run == 0 ? " (warm-up)" : "")
                  << " done\n";
    }

    host.show(box, 0);
    removeGroupAndDisks(box, group);
    const std::string loadAfter = loadAverage();
    for (Cell& cell : cells) {
        cell.loadBefore = loadBefore;
        cell.loadAfter = loadAfter;
    }
    return cells;
}

// "6", or "6-7" when the runs differ.
std::string countText(const std::vector<double>& counts) {
    if (counts.empty()) return "-";
    const auto [low, high] = std::minmax_element(counts.begin(), counts.end());
    std::string text = std::to_string(static_cast<long>(*low));
    if (*high != *low) text += "-" + std::to_string(static_cast<long>(*high));
    return text;
}

std::string rangeText(const std::vector<double>& values) {
    if (values.empty()) return "-";
    char text[64];
    snprintf(text, sizeof text, "%.0f..%.0f", *std::min_element(values.begin(), values.end()),
             *std::max_element(values.begin(), values.end()));
    return text;
}

void printTable(const std::vector<Cell>& cells, const Options& options) {
    std::string version = trimmed(sh("lvm version | sed -n 's/^ *LVM version: *//p'"));
    printf(
        "clone import: recreateVG (L) against vgimportclone -n NAME CLONES; vgchange -ay NAME (V)\n"
        "real LVM2 %s on loop devices; activation is off in the private lvm.conf (no\n"
        "device-mapper here), for L and V alike: their activation reads the group, makes nothing\n"
        "median of %u runs per cell after one warm-up round, L and V alternating, each on a fresh\n"
        "clone set (byte copies of the group's PVs; the originals attached throughout); PVs of\n"
        "%u MiB; %ld CPUs; host PVs: unrelated PVs in groups of up to %u, shaped like the cloned\n"
        "group, seen by LVM2 through the same filter as the originals and the clones\n\n",
        version.c_str(), options.runs, options.pvMib, sysconf(_SC_NPROCESSORS_ONLN), kHostGroupPvs);
    printf("%5s %5s %4s | %8s %8s %6s | %7s %6s | %9s | %13s %13s | %s\n", "host", "clone", "LVs",
           "L ms", "V ms", "L/V", "L cmds", "V cmds", "L in cmds", "L min..max", "V min..max",
           "load avg before / after");
    printf("%5s %5s\n", "PVs", "PVs");
    for (const Cell& cell : cells) {
        const double l = median(cell.library), v = median(cell.vgimportclone);
        std::string commands = countText(cell.lvm2Commands);
        if (median(cell.otherCommands) > 0) commands += "+" + countText(cell.otherCommands);
        printf("%5u %5u %4u | %8.1f %8.1f %6.2f | %7s %6zu | %9.1f | %13s %13s | %s / %s\n",
               cell.hostPvs, cell.pvs, cell.lvs, l, v, l / v, commands.c_str(), cell.vCommands,
               median(cell.inCommands), rangeText(cell.library).c_str(),
               rangeText(cell.vgimportclone).c_str(), cell.loadBefore.c_str(),
               cell.loadAfter.c_str());
    }
    printf(
        "\nL: recreateVG, wall clock; \"L cmds\" the LVM2 commands it ran (\"+k\": and k commands "
        "of\n"
        "   other programs), counted through a recording runner; \"L in cmds\" the median time\n"
        "   inside all its commands.\n"
        "V: vgimportclone -n <the name L gives> <the clones>, then vgchange -ay <that name>, each\n"
        "   started through the host's command runner as the library starts its commands.\n");
    for (const Cell& cell : cells) {
        if (!options.showCommands && &cell != &cells.front()) continue;
        printf("\ncommands of recreateVG's last run over %u PVs with %u host PVs, ms each:\n",
               cell.pvs, cell.hostPvs);
        for (const TimingRunner::Call& call : cell.lastCalls) {
            printf("%7.1f  %s\n", call.ms, call.cmd.c_str());
        }
    }
}

void usage(const char* argv0) {
    fprintf(stderr,
            "usage: %s [--pvs 1,4,16] [--host-pvs 0,64] [--runs 11] [--pv-size MIB]\n"
            "          [--work-root DIR] [--prefix NAME] [--show-commands]\n"
            "Needs root, loop devices and the LVM2 tools. Everything it makes lives in\n"
            "DIR/NAME (default /var/tmp/volbridge-bench/vbbench<pid>_) and is removed on exit.\n",
            argv0);
}

// A list "a,b,c" of numbers from `low` to `high`.
bool parseList(const std::string& text, unsigned low, unsigned high,
               std::vector<unsigned>* numbers) {
    numbers->clear();
    std::istringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        if (item.empty() || item.find_first_not_of("0123456789") != std::string::npos ||
            item.size() > 6) {
            return false;
        }
        unsigned n = static_cast<unsigned>(std::stoul(item));
        if (n < low || n > high) return false;
        numbers->push_back(n);
    }
    return !numbers->empty();
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        auto number = [&](unsigned low, unsigned high, unsigned* out) {
            std::vector<unsigned> one;
            if (!parseList(value(), low, high, &one) || one.size() != 1) return false;
            *out = one[0];
            return true;
        };
        if (arg == "--pvs") {
            if (!parseList(value(), 1, 64, &options->pvCounts)) return false;
        } else if (arg == "--host-pvs") {
            if (!parseList(value(), 0, 512, &options->hostPvs)) return false;
            std::sort(options->hostPvs.begin(), options->hostPvs.end());
            options->hostPvs.erase(std::unique(options->hostPvs.begin(), options->hostPvs.end()),
                                   options->hostPvs.end());
        } else if (arg == "--runs") {
            if (!number(1, 1000, &options->runs)) return false;
        } else if (arg == "--pv-size") {
            if (!number(16, 4096, &options->pvMib)) return false;
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

    std::vector<Cell> cells;
    try {
        Sandbox box(options.workRoot, options.prefix);
        // The library runs with its defaults (no configuration file), logs as a host would set it
        // up (to a file, at the default level) and keeps the host's temporary files in the run's
        // directory.
        setenv("VOLBRIDGE_CONFIG", (box.workDir() + "/volbridge.conf").c_str(), 1);
        setenv("VOLBRIDGE_LOG_FILE", (box.workDir() + "/volbridge.log").c_str(), 1);
        setenv("VOLBRIDGE_TMPDIR", (box.workDir() + "/tmp").c_str(), 1);
        unsetenv("VOLBRIDGE_LOG_LEVEL");
        vbhost::reloadConfig();
        fprintf(stderr, "work directory %s, group prefix %s, load average %s\n",
                box.workDir().c_str(), box.prefix().c_str(), loadAverage().c_str());
        const HostPvs host = makeHostPvs(box, options.hostPvs, options.pvMib);
        for (unsigned pvs : options.pvCounts) {
            std::vector<Cell> some = benchmark(box, host, pvs, options);
            cells.insert(cells.end(), some.begin(), some.end());
        }
        host.remove(box);
        printTable(cells, options);
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
