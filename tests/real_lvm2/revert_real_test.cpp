// In-place revert against real LVM2: the protocol around a storage rollback, end to end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "FakeRunner.h"
#include "GroupEdits.h"
#include "LVM/LVM.h"
#include "LvmSandbox.h"
#include "host/HostSeams.h"
#include "linux_lvm/LVM_linux_lvm_parser.h"

namespace {

using Parser = LVM_linux_lvm_parser;
const char* const kLv = "lvcreate -q --driverloaded n -an -Zn ";

std::string trim(std::string s) {
    s.erase(std::remove_if(s.begin(), s.end(), ::isspace), s.end());
    return s;
}

// name -> "attr segtype devices" of every LV, hidden ones included, as LVM2 reports them.
std::map<std::string, std::string> lvTable(const std::string& vg) {
    std::map<std::string, std::string> table;
    std::istringstream in(
        vbtest::shOk("lvs -a --noheadings --separator '|' -o lv_name,lv_uuid,"
                     "seg_size_pe,devices,origin " +
                     vg));
    std::string line;
    while (std::getline(in, line)) {
        line.erase(0, line.find_first_not_of(' '));
        if (line.empty()) continue;
        std::string name = line.substr(0, line.find('|'));
        table[name] += line.substr(line.find('|') + 1) + ";";
    }
    return table;
}

std::set<std::string> keys(const std::map<std::string, std::string>& m) {
    std::set<std::string> k;
    for (const auto& e : m) k.insert(e.first);
    return k;
}

long long peStart(const std::string& device) {
    return std::stoll(vbtest::shOk("pvs --noheadings --units s --nosuffix -o pe_start " + device));
}

std::string pvUuid(const std::string& device) {
    return trim(vbtest::shOk("pvs --noheadings -o pv_uuid " + device));
}

// The LV devices a transcript of lvchange commands touched, in order.
std::vector<std::string> lvchangeTargets(const std::vector<std::string>& commands) {
    std::vector<std::string> targets;
    for (const std::string& c : commands) {
        if (c.rfind("lvchange ", 0) != 0) continue;
        std::istringstream words(c);
        for (std::string word; words >> word;) {
            if (word.rfind("/dev/", 0) == 0) targets.push_back(word);
        }
    }
    return targets;
}

class RealRevert : public ::testing::Test {
  protected:
    void SetUp() override {
        VB_REQUIRE_REAL_LVM();
        box_.reset(new vbtest::LvmSandbox);
    }

    std::string lv(const std::string& args) { return vbtest::shOk(kLv + args); }

    std::unique_ptr<vbtest::LvmSandbox> box_;
};

TEST_F(RealRevert, RollbackOfTwoOfThreePvsMergesIntoTheLiveGroup) {
    std::string d1 = box_->addDisk(64), d2 = box_->addDisk(64), d3 = box_->addDisk(64);
    vbtest::shOk("pvcreate -q " + d1 + " " + d3);
    vbtest::shOk("pvcreate -q --dataalignment 64k --metadatasize 60k " + d2);
    const std::string vg = box_->vg("live");
    vbtest::shOk("vgcreate -q " + vg + " " + d1 + " " + d2 + " " + d3);
    lv("-L 4M -n a1 " + vg + " " + d1);
    lv("-L 4M -n b1 " + vg + " " + d2);
    lv("-i 2 -I 64k -L 8M -n str " + vg + " " + d1 + " " + d2);
    lv("-L 4M -n origin " + vg + " " + d1);
    lv("-L 4M -n cow " + vg + " " + d2);
    lv("-L 4M -n img0 " + vg + " " + d1);
    lv("-L 4M -n img1 " + vg + " " + d2);
    lv("-L 4M -n mlog " + vg + " " + d2);
    lv("-L 4M -n c1 " + vg + " " + d3);
    lv("-L 4M -n c2 " + vg + " " + d3);
    std::string text = vbtest::exportGroup(*box_, vg);
    text = vbtest::addSnapshot(text, "origin", "cow", "snap");
    text = vbtest::addMirror(text, "mir", "img0", "img1", "mlog");
    vbtest::applyGroup(*box_, vg, text);

    // Backup time: the group's metadata is captured and the storage snapshots PV1 and PV2.
    std::string node = box_->makeLVNode(vg, "c1").path;
    LVM::VG captured = LVM_linux_lvm().getVGByLVDevice(node.c_str());
    ASSERT_EQ(captured.pvs.size(), 3u);
    const std::string pv1 = pvUuid(d1), pv2 = pvUuid(d2), pv3 = pvUuid(d3);
    const std::map<std::string, std::string> backupLvs = lvTable(vg);
    const std::string saved1 = box_->saveImage(d1, "pv1"), saved2 = box_->saveImage(d2, "pv2");

    // The live group moves on: a1 goes from PV1, a new a1 (with a snapshot) appears on PV3,
    // c2 grows.
    vbtest::shOk("lvremove -q -f " + vg + "/a1");
    lv("-L 4M -n a1 " + vg + " " + d3);
    lv("-L 4M -n cow2 " + vg + " " + d3);
    vbtest::applyGroup(*box_, vg,
                       vbtest::addSnapshot(vbtest::exportGroup(*box_, vg), "a1", "cow2", "snap2"));
    vbtest::shOk("lvextend -q --driverloaded n -L +4M " + vg + "/c2 " + d3);
    const std::string c2Live = lvTable(vg)["c2"];

    // The protocol: may PV1 and PV2 be reverted, and which LVs go out of service.
    LVM_linux_lvm backend;
    const std::list<std::string> passed{d1, d2};
    EXPECT_TRUE(backend.canRevert(captured, captured.metadata.c_str(), passed));
    std::vector<std::string> deactivated, reactivated;
    // The lvchange commands are recorded, not run; LVM2 answers the rest.
    auto lvm2Answers = [](const std::string& cmd) {
        vbtest::Reply reply;
        reply.status = vbtest::sh(cmd, &reply.out, &reply.err);
        return reply;
    };
    {
        vbtest::FakeRunner fake;
        fake.alwaysMatch("lvchange -an .*", [](const std::string&) { return vbtest::Reply{}; });
        fake.alwaysMatch("vgcfgbackup .*", lvm2Answers);
        EXPECT_TRUE(backend.prepRevertLV(captured, captured.metadata.c_str(), passed));
        deactivated = lvchangeTargets(fake.commands());
    }
    {
        vbtest::FakeRunner fake;
        fake.alwaysMatch("vgcfgbackup .*", lvm2Answers);
        fake.alwaysMatch("lvchange -ay .*", [](const std::string&) { return vbtest::Reply{}; });
        EXPECT_TRUE(backend.cancelRevertLV(captured.metadata.c_str(), passed));
        reactivated = lvchangeTargets(fake.commands());
    }
    std::vector<std::string> expected;
    for (const char* name : {"b1", "mir", "origin", "str"})
        expected.push_back("/dev/" + vg + "/" + name);
    std::vector<std::string> sortedDeactivated = deactivated;
    std::sort(sortedDeactivated.begin(), sortedDeactivated.end());
    EXPECT_EQ(sortedDeactivated, expected);
    EXPECT_EQ(reactivated, deactivated);

    // The rollback.
    box_->restoreImage(saved1, d1);
    box_->restoreImage(saved2, d2);
    std::map<std::string, std::string> dataBefore;
    for (const std::string& d : {d1, d2, d3}) dataBefore[d] = vbtest::hashFrom(d, peStart(d));
    box_->makeLVNode(vg, "mir");  // the device node of the LV activated last

    std::map<std::string, std::string> map{{pv1, pv1}, {pv2, pv2}, {pv3, pv3}};
    LVM::VG reverted = backend.revertLVs(passed, captured.metadata.c_str(), map);

    vbtest::shOk("vgck " + vg);
    EXPECT_EQ(reverted.name, vg);
    EXPECT_EQ(reverted.uuid, captured.uuid);
    // The reverted PVs carry new identifiers, and the map says so; PV3 keeps its own.
    EXPECT_NE(map[pv1], pv1);
    EXPECT_NE(map[pv2], pv2);
    EXPECT_EQ(map[pv1], pvUuid(d1));
    EXPECT_EQ(map[pv2], pvUuid(d2));
    EXPECT_EQ(map[pv3], pv3);
    EXPECT_EQ(pvUuid(d3), pv3);
    EXPECT_TRUE(reverted.pvs.count(map[pv1]) && reverted.pvs.count(map[pv2]) &&
                reverted.pvs.count(pv3));

    // The LVs of PV1 and PV2 are the backup-time ones; the new a1 was moved out of the way and
    // its snapshot followed; PV3's LVs stay.
    std::map<std::string, std::string> now = lvTable(vg);
    for (const char* name : {"a1", "b1", "str", "origin", "cow", "mir", "[mir_mimage_0]",
                             "[mir_mimage_1]", "[mir_mlog]", "c1"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(now.count(name));
        std::string before = backupLvs.at(name), after = now[name];
        // Devices are printed by name; only the PV identities changed.
        EXPECT_EQ(after.substr(0, after.find('|')), before.substr(0, before.find('|')));
    }
    EXPECT_TRUE(now.count("a1_conflict_001"));
    // LVM2 shows a snapshot under the name of its copy-on-write LV, with its origin.
    ASSERT_TRUE(now.count("cow2"));
    EXPECT_NE(now["cow2"].find("a1_conflict_001"), std::string::npos) << now["cow2"];
    EXPECT_NE(now["cow"].find("|origin;"), std::string::npos) << now["cow"];
    EXPECT_EQ(now["c2"], c2Live);
    EXPECT_EQ(now.size(), backupLvs.size() + 2);  // + a1_conflict_001, cow2

    // Not a byte of any data area moved, also after many metadata updates.
    for (int i = 1; i <= 80; ++i)
        vbtest::shOk("vgchange -q --addtag t" + std::to_string(i) + " " + vg);
    for (const std::string& d : {d1, d2, d3}) {
        SCOPED_TRACE(d);
        EXPECT_EQ(vbtest::hashFrom(d, peStart(d)), dataBefore[d]);
    }
    EXPECT_EQ(peStart(d2), 128);
}

TEST_F(RealRevert, WhenEveryPvWasRevertedTheBackupTimeGroupComesBack) {
    std::string d1 = box_->addDisk(64), d2 = box_->addDisk(64);
    vbtest::shOk("pvcreate -q " + d1 + " " + d2);
    const std::string vg = box_->vg("all");
    vbtest::shOk("vgcreate -q " + vg + " " + d1 + " " + d2);
    lv("-L 4M -n keep1 " + vg + " " + d1);
    lv("-i 2 -I 64k -L 8M -n str " + vg + " " + d1 + " " + d2);
    std::string node = box_->makeLVNode(vg, "keep1").path;
    LVM::VG captured = LVM_linux_lvm().getVGByLVDevice(node.c_str());
    const std::map<std::string, std::string> backupLvs = lvTable(vg);
    const std::string saved1 = box_->saveImage(d1, "pv1"), saved2 = box_->saveImage(d2, "pv2");
    const std::string pv1 = pvUuid(d1), pv2 = pvUuid(d2);

    lv("-L 4M -n later " + vg + " " + d2);
    vbtest::shOk("lvremove -q -f " + vg + "/keep1");
    box_->restoreImage(saved1, d1);
    box_->restoreImage(saved2, d2);
    // LVM2 sees the group as it was at backup time, whatever its backup file says.
    vbtest::shOk("rm -f /etc/lvm/backup/" + vg);

    LVM_linux_lvm backend;
    std::map<std::string, std::string> map{{pv1, pv1}, {pv2, pv2}};
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    vbhost::FakeClock clock;  // no LV node appears here: the bounded wait for one takes no time
    vbhost::ScopedClock clockGuard(clock);
    LVM::VG reverted = backend.revertLVs({d1, d2}, captured.metadata.c_str(), map);
    EXPECT_FALSE(log.contains("Could not read metadata for VG " + vg));
    vbtest::shOk("vgck " + vg);
    EXPECT_EQ(keys(lvTable(vg)), keys(backupLvs));
    EXPECT_EQ(reverted.lvs.size(), 2u);  // found by the group's identity: no LV node appeared
    EXPECT_EQ(reverted.pvs.size(), 2u);
}

TEST_F(RealRevert, CanRevertRefusesLayoutsThatWouldTearAnLvApart) {
    std::string d1 = box_->addDisk(64), d2 = box_->addDisk(64), d3 = box_->addDisk(64);
    vbtest::shOk("pvcreate -q " + d1 + " " + d2 + " " + d3);
    const std::string vg = box_->vg("chk");
    vbtest::shOk("vgcreate -q " + vg + " " + d1 + " " + d2 + " " + d3);
    lv("-i 2 -I 64k -L 8M -n str " + vg + " " + d1 + " " + d2);
    lv("-L 4M -n origin " + vg + " " + d3);
    lv("-L 4M -n cow " + vg + " " + d1);
    vbtest::applyGroup(
        *box_, vg, vbtest::addSnapshot(vbtest::exportGroup(*box_, vg), "origin", "cow", "snap"));
    LVM::VG live;
    live.name = vg;

    // A second node of the same block device stands for it.
    struct stat st;
    ASSERT_EQ(stat(d1.c_str(), &st), 0);
    const std::string alias = box_->workDir() + "/alias-of-pv1";
    vbtest::shOk("mknod " + alias + " b " + std::to_string(major(st.st_rdev)) + " " +
                 std::to_string(minor(st.st_rdev)));

    struct Case {
        const char* name;
        std::list<std::string> devices;
        std::string refusal;
    } cases[] = {
        {"striped LV across reverted and untouched PVs",
         {d1},
         "Can't allow revert because LV str resides both on PVs that will be reverted and on "
         "those that won't be."},
        {"the same through a second node",
         {alias},
         "Can't allow revert because LV str resides both on PVs that will be reverted and on "
         "those that won't be."},
        {"snapshot store reverted, origin not",
         {d1, d2},
         "Can't allow revert because there is a not affected LV origin that has snap cow "
         "residing on one of the passed PVs"},
        {"origin reverted, snapshot store not",
         {d3},
         "Can't allow revert because there is an affected LV origin that has snap cow that "
         "would not be reverted"},
        {"everything", {d1, d2, d3}, ""},
    };
    LVM_linux_lvm backend;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbhost::MemoryLogSink log;
        vbhost::ScopedLogSink sink(log, -1);
        EXPECT_EQ(backend.canRevert(live, "", c.devices), c.refusal.empty());
        if (!c.refusal.empty()) {
            EXPECT_TRUE(log.contains(c.refusal));
        }
    }
}

// ---- the live group is read from LVM2 when the revert needs it ----

// LVM2's backup file lags behind the group after an LV made without a backup, and is gone after
// an operator removed it: neither may make the revert drop the untouched PV or its LVs.
TEST_F(RealRevert, LiveGroupComesFromLvm2NotFromItsBackupFile) {
    struct Case {
        const char* name;
        const char* laterLv;  // how the LV made after the capture is created
        bool removeBackupFile;
    } cases[] = {
        {"LV made without a backup", "lvcreate -q -An --driverloaded n -an -Zn ", false},
        {"backup file removed", kLv, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::LvmSandbox box;
        std::string d1 = box.addDisk(64), d2 = box.addDisk(64);
        vbtest::shOk("pvcreate -q " + d1 + " " + d2);
        const std::string vg = box.vg("stale");
        vbtest::shOk("vgcreate -q " + vg + " " + d1 + " " + d2);
        vbtest::shOk(kLv + std::string("-L 4M -n a ") + vg + " " + d1);
        vbtest::shOk(kLv + std::string("-L 4M -n b ") + vg + " " + d2);
        std::string node = box.makeLVNode(vg, "a").path;
        LVM::VG captured = LVM_linux_lvm().getVGByLVDevice(node.c_str());
        ASSERT_EQ(captured.pvs.size(), 2u);
        const std::string pv1 = pvUuid(d1), pv2 = pvUuid(d2);
        const std::string saved = box.saveImage(d1, "pv1");

        vbtest::shOk(c.laterLv + std::string("-L 4M -n later ") + vg + " " + d2);
        if (c.removeBackupFile) vbtest::shOk("rm -f /etc/lvm/backup/" + vg);
        box.restoreImage(saved, d1);

        std::map<std::string, std::string> map{{pv1, pv1}, {pv2, pv2}};
        vbhost::FakeClock clock;  // no LV node appears: the wait for one takes no time
        vbhost::ScopedClock clockGuard(clock);
        LVM_linux_lvm().revertLVs({d1}, captured.metadata.c_str(), map);
        vbtest::shOk("vgck " + vg);
        EXPECT_EQ(keys(lvTable(vg)), (std::set<std::string>{"a", "b", "later"}));
        EXPECT_EQ(trim(vbtest::shOk("pvs --noheadings -o vg_name " + d2)), vg);
        EXPECT_EQ(pvUuid(d2), pv2);
    }
}

// ---- prepare and cancel say whether they did what was asked ----

TEST_F(RealRevert, PrepareAndCancelFailWhenTheyCannotDoTheirWork) {
    std::string d1 = box_->addDisk(32), d2 = box_->addDisk(32), outside = box_->addDisk(32);
    vbtest::shOk("pvcreate -q " + d1 + " " + d2 + " " + outside);
    const std::string vg = box_->vg("prep");
    vbtest::shOk("vgcreate -q " + vg + " " + d1 + " " + d2);
    lv("-L 4M -n a " + vg + " " + d1);
    std::string node = box_->makeLVNode(vg, "a").path;
    LVM::VG captured = LVM_linux_lvm().getVGByLVDevice(node.c_str());
    ASSERT_EQ(captured.name, vg);
    // LVM2 gives up at once when the group's lock is taken (instead of waiting for it).
    std::ofstream(box_->confDir() + "/lvm.conf", std::ios::app)
        << "global {\n    wait_for_locks = 0\n}\n";

    struct Case {
        const char* name;
        std::list<std::string> devices;
        bool lockHeld;  // another LVM2 command reads the group meanwhile
    } cases[] = {
        {"a disk that is no PV of the group", {outside}, false},
        {"a path that does not exist", {"/dev/" + box_->prefix() + "nosuch"}, false},
        {"lvchange is refused: the group is locked", {d1}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int lock = -1;
        if (c.lockHeld) {
            lock = open(("/run/lock/lvm/V_" + vg).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            ASSERT_GE(lock, 0);
            ASSERT_EQ(flock(lock, LOCK_SH), 0);
        }
        vbhost::MemoryLogSink log;
        vbhost::ScopedLogSink sink(log, -1);
        LVM_linux_lvm backend;
        EXPECT_FALSE(backend.prepRevertLV(captured, captured.metadata.c_str(), c.devices));
        EXPECT_FALSE(backend.cancelRevertLV(captured.metadata.c_str(), c.devices));
        // Each says why.
        EXPECT_TRUE(log.contains("ERROR LVM_linux_lvm::prepRevertLV:"));
        EXPECT_TRUE(log.contains("ERROR LVM_linux_lvm::cancelRevertLV:"));
        if (lock >= 0) close(lock);
    }
}

// ---- every name is checked before the first disk changes ----

// A live LV stands in the way of an LV that comes back, and its new name "<name>_conflict_001"
// would be longer than LVM2 allows in that group: the revert is refused before the rolled-back
// disk is re-initialised, and the group keeps both PVs.
TEST_F(RealRevert, ConflictNameLvm2WouldRejectIsRefusedBeforeTheDiskChanges) {
    std::string d1 = box_->addDisk(32), d2 = box_->addDisk(32);
    vbtest::shOk("pvcreate -q " + d1 + " " + d2);
    const std::string vg = box_->vg("long");
    vbtest::shOk("vgcreate -q " + vg + " " + d1 + " " + d2);
    // LVM2 takes LV names up to 124 characters less the group's name.
    const std::string name(124 - vg.size(), 'L');
    lv("-L 4M -n " + name + " " + vg + " " + d1);
    lv("-L 4M -n other " + vg + " " + d2);
    std::string node = box_->makeLVNode(vg, "other").path;
    LVM::VG captured = LVM_linux_lvm().getVGByLVDevice(node.c_str());
    const std::string pv1 = pvUuid(d1), pv2 = pvUuid(d2);
    const std::string saved = box_->saveImage(d1, "pv1");
    // The live group moves on: another LV of that name, on the untouched PV.
    vbtest::shOk("lvremove -q -f " + vg + "/" + name);
    lv("-L 4M -n " + name + " " + vg + " " + d2);
    box_->restoreImage(saved, d1);

    std::map<std::string, std::string> map{{pv1, pv1}, {pv2, pv2}};
    EXPECT_THROW(LVM_linux_lvm().revertLVs({d1}, captured.metadata.c_str(), map), YbException);
    EXPECT_EQ(pvUuid(d1), pv1);
    EXPECT_EQ(map[pv1], pv1);
    vbtest::shOk("vgck " + vg);
    EXPECT_EQ(trim(vbtest::shOk("vgs --noheadings -o pv_count " + vg)), "2");
}

}  // namespace
