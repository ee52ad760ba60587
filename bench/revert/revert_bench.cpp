// In-place revert on real LVM2: how many commands it runs and how long it takes, as the number of
// LVs it brings back grows.
//
// For each size N (default 1, 16 and 128) a group over two PVs holds N linear LVs of one extent on
// each PV. The metadata is captured, and every run starts from that moment: both PVs' images are
// written back, then the first PV is reverted, so that its N LVs leave the live group and come
// back from the captured description. Each run is timed twice on the same state:
//   P  prepRevertLV of the first PV (deactivates the LVs that use it);
//   R  revertLVs of the first PV (merges, re-initialises the PV, restores, activates);
// through a runner that records every command, so the table shows the number of commands of
// each kind beside the times. The library's final lookup waits for a device node that activation
// without device-mapper never makes; it runs against a fake clock here, so that wait costs nothing.
//
// Everything it makes lives in a sandbox of the real LVM2 tests (image files and loop devices under
// $VOLBRIDGE_REAL_TEST_ROOT, default /var/tmp/volbridge-real-tests, a private lvm.conf through
// LVM_SYSTEM_DIR whose filter admits only those loops, groups named vbt<pid>n<k>_*), removed on
// the way out. Needs root.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Fixtures.h"
#include "GroupEdits.h"
#include "LVM/LVM.h"
#include "LvmSandbox.h"
#include "host/HostSeams.h"
#include "linux_lvm/LVM_linux_lvm_parser.h"
#include "linux_lvm/lvm2_identity.h"

namespace {

using Clock = std::chrono::steady_clock;
using Parser = LVM_linux_lvm_parser;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Whether anything the sandbox did failed (it reports through GoogleTest, outside any test).
bool sandboxFailed() { return ::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed(); }

std::string trimmed(std::string s) {
    s.erase(std::remove_if(s.begin(), s.end(), ::isspace), s.end());
    return s;
}

// One linear LV of one extent at extent `at` of the PV section `pv`.
std::string linearLv(const std::string& name, const std::string& pv, unsigned at) {
    std::ostringstream s;
    s << name << " {\n id = \"" << volbridge::lvm2::genUUID() << "\"\n"
      << " status = [\"READ\", \"WRITE\", \"VISIBLE\"]\n flags = []\n"
      << " creation_time = 1796859326\n creation_host = \"bench\"\n segment_count = 1\n"
      << " segment1 {\n  start_extent = 0\n  extent_count = 1\n  type = \"striped\"\n"
      << "  stripe_count = 1\n  stripes = [\"" << pv << "\", " << at << "]\n }\n}\n";
    return s.str();
}

// The PV section name of `device` in the exported metadata `text`.
std::string pvSectionOf(const std::string& text, const std::string& device) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(text.c_str()));
    Parser::Node* pvs = Parser::find(root, "physical_volumes", false);
    for (Parser::Node* pv = pvs ? pvs->child : nullptr; pv; pv = pv->next) {
        Parser::Node* path = Parser::findDirectChild(pv, "device");
        if (path && *path == device) return pv->name;
    }
    return "";
}

// `text` with its LVs replaced by `sections`.
std::string withLvs(const std::string& text, const std::string& sections) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(text.c_str()));
    Parser::Node* lvs = Parser::find(root, "logical_volumes", false);
    Parser::destroyChildren(lvs);
    lvs->child = parser.parse(sections.c_str());
    return Parser::dump(root, 0);
}

// The commands of one call, by their first word ("lvchange -an" and "-ay" apart).
std::map<std::string, size_t> byKind(const std::vector<std::string>& commands) {
    std::map<std::string, size_t> kinds;
    for (const std::string& cmd : commands) {
        std::string kind = cmd.substr(0, cmd.find(' '));
        if (kind == "lvchange") kind = cmd.substr(0, 12);
        ++kinds[kind];
    }
    return kinds;
}

struct Row {
    unsigned lvsPerPv = 0;
    size_t prepareCommands = 0;
    size_t revertCommands = 0;
    std::map<std::string, size_t> revertKinds;
    std::vector<double> prepareMs, revertMs;
};

Row measure(unsigned lvs, unsigned runs) {
    Row row;
    row.lvsPerPv = lvs;
    vbtest::LvmSandbox box;
    const unsigned mib = lvs + 16;  // one 1 MiB extent per LV, and room for the metadata
    const std::string d1 = box.addDisk(mib), d2 = box.addDisk(mib);
    const std::string vg = box.vg("rev");
    vbtest::shOk("pvcreate -q " + d1 + " " + d2);
    vbtest::shOk("vgcreate -q -s 1M " + vg + " " + d1 + " " + d2);
    vbtest::shOk("lvcreate -q --driverloaded n -an -Zn -l 1 -n first " + vg + " " + d1);
    std::string text = vbtest::exportGroup(box, vg);
    const std::string pv1 = pvSectionOf(text, d1), pv2 = pvSectionOf(text, d2);
    std::string sections;
    for (unsigned i = 0; i < lvs; ++i) {
        sections += linearLv("a" + std::to_string(i), pv1, i);
        sections += linearLv("b" + std::to_string(i), pv2, i);
    }
    vbtest::applyGroup(box, vg, withLvs(text, sections));
    const std::string captured = vbtest::exportGroup(box, vg);
    std::map<std::string, std::string> identity;
    for (const std::string& d : {d1, d2}) {
        const std::string id = trimmed(vbtest::shOk("pvs --noheadings -o pv_uuid " + d));
        identity[id] = id;
    }
    const std::string saved1 = box.saveImage(d1, "pv1"), saved2 = box.saveImage(d2, "pv2");
    if (sandboxFailed()) throw std::runtime_error("setting up the group failed");

    LVM::VG live;
    live.name = vg;
    for (unsigned run = 0; run <= runs; ++run) {  // run 0 warms the caches and is not counted
        box.restoreImage(saved1, d1);
        box.restoreImage(saved2, d2);
        vbtest::shOk("vgck " + vg);
        vbhost::FakeClock clock;
        vbhost::ScopedClock clockGuard(clock);
        vbtest::RecordingRunner runner;
        LVM_linux_lvm backend;

        Clock::time_point start = Clock::now();
        if (!backend.prepRevertLV(live, captured.c_str(), {d1})) {
            throw std::runtime_error("prepRevertLV failed (see the log)");
        }
        const double prepareMs = msSince(start);
        const size_t prepareCommands = runner.commands().size();
        runner.clear();

        std::map<std::string, std::string> map = identity;
        start = Clock::now();
        LVM::VG reverted = backend.revertLVs({d1}, captured.c_str(), map);
        const double revertMs = msSince(start);
        if (reverted.lvs.size() != 2 * lvs) {
            throw std::runtime_error("the reverted group has " +
                                     std::to_string(reverted.lvs.size()) + " LVs, not " +
                                     std::to_string(2 * lvs));
        }
        vbtest::shOk("vgck " + vg);
        if (sandboxFailed()) throw std::runtime_error("a command of the benchmark failed");
        if (run == 0) {
            row.prepareCommands = prepareCommands;
            row.revertCommands = runner.commands().size();
            row.revertKinds = byKind(runner.commands());
            continue;
        }
        row.prepareMs.push_back(prepareMs);
        row.revertMs.push_back(revertMs);
        fprintf(stderr, "  %u LVs per PV: run %u of %u: prepare %.0f ms, revert %.0f ms\n", lvs,
                run, runs, prepareMs, revertMs);
    }
    return row;
}

void printTable(const std::vector<Row>& rows, unsigned runs) {
    // "  LVM version:     2.03.16(2) (2022-05-18)" on the first line.
    std::string version = vbtest::shOk("lvm version");
    version = version.substr(0, version.find('\n'));
    version.erase(0, version.find(':') + 1);
    version.erase(0, version.find_first_not_of(' '));
    printf("revertLVs and prepRevertLV of one of two PVs, real LVM2 %s on loop devices\n",
           version.c_str());
    printf("median of %u runs per cell (after one warm-up run), %ld CPUs, load average %s\n\n",
           runs, sysconf(_SC_NPROCESSORS_ONLN),
           vbtest::readFile("/proc/loadavg").substr(0, 14).c_str());
    printf("%10s %10s | %8s %10s | %8s %10s %12s | %s\n", "LVs/PV", "reverted", "P cmds", "P ms",
           "R cmds", "R ms", "R min..max", "R commands by kind");
    for (const Row& row : rows) {
        std::string kinds;
        for (const auto& kind : row.revertKinds) {
            kinds += (kinds.empty() ? "" : ", ") + kind.first + " " + std::to_string(kind.second);
        }
        const auto [low, high] = std::minmax_element(row.revertMs.begin(), row.revertMs.end());
        char range[40];
        snprintf(range, sizeof range, "%.0f..%.0f", *low, *high);
        printf("%10u %10u | %8zu %10.0f | %8zu %10.0f %12s | %s\n", row.lvsPerPv, row.lvsPerPv,
               row.prepareCommands, median(row.prepareMs), row.revertCommands, median(row.revertMs),
               range, kinds.c_str());
    }
    printf(
        "\nP: prepRevertLV of the first PV; R: revertLVs of the first PV, whose LVs leave the live "
        "group\nand come back from the captured metadata. cmds: commands run through the host's "
        "runner.\n");
}

bool parseCounts(const std::string& text, std::vector<unsigned>* counts) {
    counts->clear();
    std::istringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        if (item.empty() || item.size() > 4 || item.find_first_not_of("0123456789") != item.npos) {
            return false;
        }
        const unsigned n = static_cast<unsigned>(std::stoul(item));
        if (n < 1 || n > 1000) return false;
        counts->push_back(n);
    }
    return !counts->empty();
}

volatile sig_atomic_t g_interrupted = 0;
void onSignal(int) { g_interrupted = 1; }

}  // namespace

int main(int argc, char** argv) {
    std::vector<unsigned> counts{1, 16, 128};
    unsigned runs = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::string value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--lvs" && parseCounts(value, &counts)) {
            ++i;
        } else if (arg == "--runs" && !value.empty() && value.size() < 4 &&
                   value.find_first_not_of("0123456789") == value.npos && std::stoul(value) > 0) {
            runs = static_cast<unsigned>(std::stoul(value));
            ++i;
        } else {
            fprintf(stderr,
                    "usage: %s [--lvs 1,16,128] [--runs 3]\n"
                    "Needs root, loop devices and the LVM2 tools; see the top of %s.\n",
                    argv[0], __FILE__);
            return 2;
        }
    }
    std::string why;
    if (!vbtest::LvmSandbox::prerequisites(&why)) {
        fprintf(stderr, "%s\n", why.c_str());
        return 2;
    }
    // An interrupt ends the benchmark between runs; the sandbox is removed on the way out.
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
    // The library logs to a file of its own at the default level, as a host would set it up.
    char logTemplate[] = "/tmp/volbridge-revert-bench-XXXXXX";
    const int logFd = mkstemp(logTemplate);
    if (logFd < 0) {
        perror("mkstemp");
        return 1;
    }
    close(logFd);
    setenv("VOLBRIDGE_LOG_FILE", logTemplate, 1);
    unsetenv("VOLBRIDGE_LOG_LEVEL");
    vbhost::reloadConfig();

    std::vector<Row> rows;
    int status = 0;
    try {
        for (unsigned lvs : counts) {
            if (g_interrupted) throw std::runtime_error("interrupted");
            rows.push_back(measure(lvs, runs));
        }
        printTable(rows, runs);
    } catch (const YbException& e) {
        fprintf(stderr, "%s: %s\n", e.getFuncName().c_str(), e.getMessage().c_str());
        status = 1;
    } catch (const std::exception& e) {
        fprintf(stderr, "%s\n", e.what());
        status = 1;
    }
    if (status != 0) fprintf(stderr, "the library's log is in %s\n", logTemplate);
    if (status == 0) unlink(logTemplate);
    // The sandboxes' root, unless another run still uses it.
    const char* root = getenv("VOLBRIDGE_REAL_TEST_ROOT");
    rmdir(root && *root ? root : "/var/tmp/volbridge-real-tests");
    return status;
}
