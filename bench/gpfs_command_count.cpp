// How many GPFS commands each operation of the GPFS backend runs, on file systems of 1, 16 and 64
// disks. What an agent waits on is processes: each GPFS command takes tens to hundreds of
// milliseconds on a real host, so the count of commands is the cost of an operation.
//
// The file systems are generated in the layouts of the captured output (tests/fixtures/gpfs) and
// answered through the tests' fake runner; the commands that change the cluster (import, export,
// mount, unmount, disk start and stop) are answered by the tests' stateful cluster, which keeps
// what changes what a later command says: whether the file system is in the cluster. For each
// operation and size the table gives the commands run and, after a "/", how many of them ran a
// command line that the same operation had already run.
//
//     build/release/bench/gpfs_command_count
#include <cstdio>
#include <functional>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "FakeRunner.h"
#include "GpfsSandbox.h"
#include "LVM/LVM.h"
#include "host/HostSeams.h"
#include "host/YbException.h"

namespace {

using Map = std::map<std::string, std::string>;

const size_t kSizes[] = {1, 16, 64};
const char kFs[] = "gpfs0";
const char kOtherCluster[] = "4411223344556677889";

// Disks of failure groups 1 and 2 in turn; the first three carry the descriptor replicas.
std::vector<gpfstest::Disk> disks(size_t count) {
    std::vector<gpfstest::Disk> list;
    for (size_t i = 0; i < count; ++i) {
        char device[48];
        snprintf(device, sizeof device, "/dev/mapper/lun%03u", static_cast<unsigned>(i + 1));
        list.push_back({"nsd" + std::to_string(i + 1), static_cast<int>(i % 2) + 1, "yes",
                        i < 3 ? "desc" : "", device, device});
    }
    return list;
}

// The commands run, and how many of them repeat a line run before.
struct Count {
    size_t commands = 0;
    size_t repeats = 0;
    bool failed = false;
};

Count countOf(const vbtest::FakeRunner& fake, bool failed) {
    Count count;
    std::set<std::string> seen;
    for (const std::string& cmd : fake.commands()) {
        ++count.commands;
        if (!seen.insert(cmd).second) ++count.repeats;
    }
    count.failed = failed;
    return count;
}

// Runs `operation` on a fresh fake runner answered by `cluster`, and counts what it ran.
Count run(gpfstest::StatefulCluster& cluster, const std::function<void()>& operation) {
    vbtest::FakeRunner fake;
    cluster.answer(fake);
    bool failed = false;
    try {
        operation();
    } catch (const YbException& e) {
        fprintf(stderr, "operation failed: %s\n", e.getMessage().c_str());
        failed = true;
    }
    return countOf(fake, failed);
}

struct Row {
    const char* name;
    std::map<size_t, Count> counts;
};

// Runs every operation on a file system of `size` disks into `rows`.
void measure(size_t size, std::vector<Row>& rows) {
    size_t row = 0;
    auto record = [&](const char* name, const Count& count) {
        if (rows.size() <= row) rows.push_back(Row{name, {}});
        rows[row++].counts[size] = count;
    };
    std::list<std::string> devices;
    for (const gpfstest::Disk& disk : disks(size)) devices.push_back(disk.device);

    gpfstest::Sandbox box;
    gpfstest::answerFor(box, disks(size));
    gpfstest::StatefulCluster cluster(box, true);
    std::string metadata;
    {
        gpfstest::Backend gpfs;
        record("discovery by device",
               run(cluster, [&] { metadata = gpfs.getVGByLVDevice("/dev/gpfs0").metadata; }));
        record("discovery by uuid", run(cluster, [&] { gpfs.getVGByUUID(gpfstest::kFsId); }));
    }
    {
        gpfstest::Sandbox fgBox;
        gpfstest::answerFor(fgBox, disks(size));
        fgBox.setConfig("~Oxbrook", "nGPFSFAILUREGROUPNUM_gpfs0", "1");
        gpfstest::StatefulCluster fgCluster(fgBox, true);
        gpfstest::Backend gpfs;
        record("discovery, failure group 1",
               run(fgCluster, [&] { gpfs.getVGByLVDevice("/dev/gpfs0"); }));
    }
    LVM::VG live;
    live.name = kFs;
    record("can revert", run(cluster, [&] {
               if (!gpfstest::Backend().canRevert(live, metadata.c_str(), devices))
                   throw YbException("bench", "canRevert said no", "bench", __LINE__, -1);
           }));
    auto prepare = [&] {
        if (!gpfstest::Backend().prepRevertLV(live, metadata.c_str(), devices))
            throw YbException("bench", "prepRevertLV failed", "bench", __LINE__, -1);
    };
    record("prepare revert", run(cluster, prepare));
    record("revert", run(cluster, [&] {
               Map map;
               gpfstest::Backend().revertLVs(devices, metadata.c_str(), map);
           }));
    run(cluster, prepare);
    record("cancel revert", run(cluster, [&] {
               if (!gpfstest::Backend().cancelRevertLV(metadata.c_str(), devices))
                   throw YbException("bench", "cancelRevertLV failed", "bench", __LINE__, -1);
           }));
    record("destroy", run(cluster, [&] { gpfstest::Backend().destroyVG(kFs); }));

    // Captured on another cluster: the same text under another cluster id.
    std::string elsewhere = metadata;
    const std::string id = std::string(gpfstest::kClusterIdValue) + ":node1;";
    elsewhere.replace(elsewhere.find(id), id.size(), std::string(kOtherCluster) + ":node1;");
    record("clone import", run(cluster, [&] {
               Map map;
               gpfstest::Backend().recreateVG(devices, elsewhere.c_str(), map);
           }));
}

}  // namespace

int main() {
    // The library's log goes to memory, at the default level.
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    std::vector<Row> rows;
    for (size_t size : kSizes) measure(size, rows);

    printf(
        "GPFS commands per operation on a file system of D disks (commands / repeated lines)\n\n");
    printf("%-28s", "operation");
    for (size_t size : kSizes) printf("%18s", ("D=" + std::to_string(size)).c_str());
    printf("\n");
    bool failed = false;
    for (const Row& row : rows) {
        printf("%-28s", row.name);
        for (size_t size : kSizes) {
            const Count& c = row.counts.at(size);
            const std::string cell = std::to_string(c.commands) + " / " +
                                     std::to_string(c.repeats) + (c.failed ? " (failed)" : "");
            printf("%18s", cell.c_str());
            failed = failed || c.failed;
        }
        printf("\n");
    }
    return failed ? 1 : 0;
}
