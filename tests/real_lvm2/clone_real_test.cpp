// Clone import and destroy against real LVM2, with the original group attached throughout.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>
#include <sstream>

#include "GroupEdits.h"
#include "LVM/LVM.h"
#include "LvmSandbox.h"
#include "MetadataTrees.h"
#include "host/HostSeams.h"
#include "linux_lvm/LVM_linux_lvm_parser.h"
#include "linux_lvm/lvm2_crosscheck.h"

namespace {

using Parser = LVM_linux_lvm_parser;
const char* const kLv = "lvcreate -q --driverloaded n -an -Zn ";

std::set<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::set<std::string> set;
    std::string w;
    while (in >> w) set.insert(w);
    return set;
}

std::string lvName(const LVM::LV& lv) { return lv.device.substr(lv.device.rfind('/') + 1); }

// A group over three PVs — two laid out as today's LVM2 does, one whose data starts at 64 KiB
// as on PVs made by older releases — holding a linear, a two-segment, a striped, a snapshot and
// a mirror LV, with a pattern written over every PV's data area.
class RealClone : public ::testing::Test {
  protected:
    void SetUp() override {
        VB_REQUIRE_REAL_LVM();
        box_.reset(new vbtest::LvmSandbox);
        for (int i = 0; i < 3; ++i) disks_.push_back(box_->addDisk(64));
        vbtest::shOk("pvcreate -q " + disks_[0] + " " + disks_[1]);
        vbtest::shOk("pvcreate -q --dataalignment 64k --metadatasize 60k " + disks_[2]);
        vg_ = box_->vg("src");
        vbtest::shOk("vgcreate -q " + vg_ + " " + disks_[0] + " " + disks_[1] + " " + disks_[2]);
        vbtest::shOk(kLv + std::string("-L 8M -n lin ") + vg_ + " " + disks_[0]);
        vbtest::shOk(kLv + std::string("-L 4M -n twoseg ") + vg_ + " " + disks_[1]);
        vbtest::shOk("lvextend -q --driverloaded n -L +4M " + vg_ + "/twoseg " + disks_[2]);
        vbtest::shOk(kLv + std::string("-i 2 -I 64k -L 8M -n str ") + vg_ + " " + disks_[0] + " " +
                     disks_[1]);
        vbtest::shOk(kLv + std::string("-L 8M -n origin ") + vg_ + " " + disks_[0]);
        vbtest::shOk(kLv + std::string("-L 4M -n cow ") + vg_ + " " + disks_[1]);
        vbtest::shOk(kLv + std::string("-L 4M -n img0 ") + vg_ + " " + disks_[0]);
        vbtest::shOk(kLv + std::string("-L 4M -n img1 ") + vg_ + " " + disks_[1]);
        vbtest::shOk(kLv + std::string("-L 4M -n mlog ") + vg_ + " " + disks_[2]);
        std::string text = vbtest::exportGroup(*box_, vg_);
        text = vbtest::addSnapshot(text, "origin", "cow", "snap");
        text = vbtest::addMirror(text, "mir", "img0", "img1", "mlog");
        vbtest::applyGroup(*box_, vg_, text);

        for (size_t i = 0; i < disks_.size(); ++i) {
            vbtest::fillFrom(disks_[i], peStart(disks_[i]), static_cast<unsigned>(i + 1));
        }

        node_ = box_->makeLVNode(vg_, "lin").path;
        LVM_linux_lvm discovery;
        captured_ = discovery.getVGByLVDevice(node_.c_str());
        ASSERT_EQ(captured_.name, vg_);
        ASSERT_EQ(captured_.pvs.size(), 3u);
    }

    // The first PE of the device, in sectors, as LVM2 reports it.
    long long peStart(const std::string& device) {
        std::string out =
            vbtest::shOk("pvs --noheadings --units s --nosuffix -o pe_start " + device);
        return std::stoll(out);
    }

    // Backup-time PV id -> the id the clone of that PV carries now (the same: a byte copy).
    std::map<std::string, std::string> mapFor(const std::vector<std::string>& /*clones*/) {
        std::map<std::string, std::string> map;
        for (const auto& entry : captured_.pvs) map[entry.first] = entry.first;
        return map;
    }

    std::vector<std::string> cloneAll(const std::vector<int>& which) {
        std::vector<std::string> clones;
        for (int i : which) clones.push_back(box_->cloneDisk(disks_[i]));
        return clones;
    }

    std::unique_ptr<vbtest::LvmSandbox> box_;
    std::vector<std::string> disks_;
    std::string vg_;
    std::string node_;
    LVM::VG captured_;
};

TEST_F(RealClone, ImportGivesNewIdentitiesAndKeepsTheDataAndTheOriginal) {
    const std::string before = vbtest::comparableMetadata(vbtest::exportGroup(*box_, vg_));
    std::vector<std::string> clones = cloneAll({0, 1, 2});
    std::vector<std::string> dataHashes;
    for (size_t i = 0; i < clones.size(); ++i) {
        dataHashes.push_back(vbtest::hashFrom(clones[i], peStart(disks_[i])));
    }

    std::map<std::string, std::string> map = mapFor(clones);
    LVM_linux_lvm backend;
    LVM::VG vg = backend.recreateVG(std::list<std::string>(clones.begin(), clones.end()),
                                    captured_.metadata.c_str(), map);

    EXPECT_EQ(vg.name, vg_ + "_copy_001");
    EXPECT_EQ(vg.orig_name, vg_);
    EXPECT_EQ(vg.orig_uuid, captured_.uuid);
    EXPECT_NE(vg.uuid, captured_.uuid);
    ASSERT_EQ(vg.pvs.size(), 3u);
    for (const auto& entry : vg.pvs) {
        const LVM::PV& pv = entry.second;
        EXPECT_TRUE(captured_.pvs.count(pv.orig_uuid));
        EXPECT_NE(pv.uuid, pv.orig_uuid);
        EXPECT_EQ(map[pv.orig_uuid], pv.uuid);
        // LVM2 agrees about the new identity of each clone.
        std::string reported = vbtest::shOk("pvs --noheadings -o pv_uuid " + pv.device);
        reported.erase(std::remove_if(reported.begin(), reported.end(), ::isspace), reported.end());
        EXPECT_EQ(reported, pv.uuid);
    }
    std::set<std::string> lvs;
    for (const auto& entry : vg.lvs) {
        lvs.insert(lvName(entry.second));
        EXPECT_NE(entry.second.uuid, entry.second.orig_uuid);
    }
    EXPECT_EQ(lvs, (std::set<std::string>{"lin", "twoseg", "str", "origin", "mir"}));
    std::string vgUuid = vbtest::shOk("vgs --noheadings -o vg_uuid " + vg.name);
    EXPECT_NE(vgUuid.find(vg.uuid), std::string::npos);

    // Both groups are there and sound; the original is exactly as it was.
    std::set<std::string> groups = words(vbtest::shOk("vgs --noheadings -o vg_name"));
    EXPECT_TRUE(groups.count(vg_) && groups.count(vg.name));
    vbtest::shOk("vgck " + vg_);
    vbtest::shOk("vgck " + vg.name);
    std::set<std::string> lvsOfCopy =
        words(vbtest::shOk("lvs -a --noheadings -o lv_name " + vg.name));
    // LVM2 shows a snapshot under the name of its copy-on-write LV.
    EXPECT_TRUE(lvsOfCopy.count("cow") && lvsOfCopy.count("[mir_mimage_0]"))
        << vbtest::shOk("lvs -a " + vg.name);
    EXPECT_EQ(vbtest::comparableMetadata(vbtest::exportGroup(*box_, vg_)), before);

    // The clones' data areas survive the import and many metadata updates after it.
    for (int i = 1; i <= 80; ++i) {
        vbtest::shOk("vgchange -q --addtag t" + std::to_string(i) + " " + vg.name);
    }
    for (size_t i = 0; i < clones.size(); ++i) {
        SCOPED_TRACE(clones[i]);
        EXPECT_EQ(peStart(clones[i]), peStart(disks_[i]));
        EXPECT_EQ(vbtest::hashFrom(clones[i], peStart(disks_[i])), dataHashes[i]);
    }
}

TEST_F(RealClone, NamesCountUpAndDestroyFreesOne) {
    std::map<std::string, std::string> map;
    auto import = [&]() {
        std::vector<std::string> clones = cloneAll({0, 1, 2});
        map = mapFor(clones);
        LVM_linux_lvm backend;
        return backend
            .recreateVG(std::list<std::string>(clones.begin(), clones.end()),
                        captured_.metadata.c_str(), map)
            .name;
    };
    EXPECT_EQ(import(), vg_ + "_copy_001");
    EXPECT_EQ(import(), vg_ + "_copy_002");

    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    LVM_linux_lvm destroyer;
    destroyer.destroyVG((vg_ + "_copy_001").c_str());
    EXPECT_EQ(words(vbtest::shOk("vgs --noheadings -o vg_name")),
              (std::set<std::string>{vg_, vg_ + "_copy_002"}));
    destroyer.destroyVG((vg_ + "_copy_001").c_str());  // gone: only a log line
    EXPECT_TRUE(log.contains("Can't destroy non-existent VG " + vg_ + "_copy_001"));

    EXPECT_EQ(import(), vg_ + "_copy_001");
}

TEST_F(RealClone, PartialCloneSetKeepsWhatLiesWhollyOnIt) {
    // The second and third PVs only: the linear, striped and origin LVs lie on the first, so they
    // go, the snapshot goes with its origin, and the mirror keeps its second side and its log.
    std::vector<std::string> clones = cloneAll({1, 2});
    std::map<std::string, std::string> map = mapFor(clones);
    LVM_linux_lvm backend;
    LVM::VG vg = backend.recreateVG(std::list<std::string>(clones.begin(), clones.end()),
                                    captured_.metadata.c_str(), map);

    std::map<std::string, LVM::LV> byName;
    for (const auto& entry : vg.lvs) byName[lvName(entry.second)] = entry.second;
    EXPECT_EQ(byName.size(), 2u);
    ASSERT_TRUE(byName.count("twoseg") && byName.count("mir"));
    std::string mirId;
    for (const auto& entry : captured_.lvs) {
        if (lvName(entry.second) == "mir") mirId = entry.first;
    }
    EXPECT_EQ(byName["mir"].orig_uuid, mirId);

    std::set<std::string> all = words(vbtest::shOk("lvs -a --noheadings -o lv_name " + vg.name));
    EXPECT_EQ(all, (std::set<std::string>{"twoseg", "mir"}));
    std::string attr = vbtest::shOk("lvs --noheadings -o lv_attr,segtype " + vg.name + "/mir");
    EXPECT_NE(attr.find("linear"), std::string::npos) << attr;
    vbtest::shOk("vgck " + vg.name);

    LVM_linux_lvm destroyer;
    destroyer.destroyVG(vg.name.c_str());
    EXPECT_FALSE(words(vbtest::shOk("vgs --noheadings -o vg_name")).count(vg.name));
}

TEST_F(RealClone, FilterAdmitsExactlyTheGivenDevices) {
    // Each clone is given under a name that begins another name, one of the original it was
    // copied from: a pattern that is not anchored would admit the original too, and LVM2 would
    // refuse to work on two devices with one identity. The second name holds "." and "+",
    // which a pattern must take literally.
    std::vector<std::string> clones = cloneAll({0, 2});
    const std::string first = box_->alias("c1", clones[0]);
    box_->alias("c10", disks_[0]);
    const std::string second = box_->alias("d.2+x", clones[1]);
    box_->alias("d.2+xy", disks_[2]);
    box_->alias("dd2+x", disks_[2]);
    std::map<std::string, std::string> map = mapFor(clones);
    LVM_linux_lvm backend;
    LVM::VG vg = backend.recreateVG({first, second}, captured_.metadata.c_str(), map);
    EXPECT_EQ(vg.pvs.size(), 2u);
    vbtest::shOk("vgck " + vg.name);
    vbtest::shOk("vgck " + vg_);
    // The originals kept their identities.
    for (const std::string& d : {disks_[0], disks_[2]}) {
        std::string id = vbtest::shOk("pvs --noheadings -o pv_uuid " + d);
        id.erase(std::remove_if(id.begin(), id.end(), ::isspace), id.end());
        EXPECT_TRUE(captured_.pvs.count(id)) << d;
    }
}

// On hosts where LVM2 keeps a devices file, commands see only the devices listed in it: the
// clones are not, until the import adds them.
TEST(RealCloneDevicesFile, ImportWorksAndTheNewGroupStaysVisible) {
    VB_REQUIRE_REAL_LVM();
    vbtest::LvmSandbox box;
    box.useDevicesFile(true);
    std::string d1 = box.addDisk(32), d2 = box.addDisk(32);
    vbtest::shOk("pvcreate -q " + d1 + " " + d2);  // which lists them in the devices file
    const std::string vg = box.vg("df");
    vbtest::shOk("vgcreate -q " + vg + " " + d1 + " " + d2);
    vbtest::shOk(kLv + std::string("-i 2 -I 64k -L 8M -n str ") + vg);
    const std::string metadata = vbtest::exportGroup(box, vg);
    std::map<std::string, std::string> map;
    for (const std::string& d : {d1, d2}) {
        std::string id = vbtest::shOk("pvs --noheadings -o pv_uuid " + d);
        id.erase(std::remove_if(id.begin(), id.end(), ::isspace), id.end());
        map[id] = id;
    }
    std::string c1 = box.cloneDisk(d1), c2 = box.cloneDisk(d2);

    LVM_linux_lvm backend;
    LVM::VG copy = backend.recreateVG({c1, c2}, metadata.c_str(), map);
    EXPECT_EQ(copy.name, vg + "_copy_001");
    std::set<std::string> groups = words(vbtest::shOk("vgs --noheadings -o vg_name"));
    EXPECT_TRUE(groups.count(vg) && groups.count(copy.name));
    std::string listed = vbtest::shOk("lvm lvmdevices");
    EXPECT_NE(listed.find("DEVNAME=" + c1 + " "), std::string::npos) << listed;
    EXPECT_NE(listed.find("DEVNAME=" + c2 + " "), std::string::npos) << listed;
    LVM_linux_lvm().destroyVG(copy.name.c_str());
    EXPECT_FALSE(words(vbtest::shOk("vgs --noheadings -o vg_name")).count(copy.name));
}

// ---- names: one import at a time chooses one, and never one that is taken ----

TEST_F(RealClone, OneObjectImportsTwiceAndFindsEachNewGroup) {
    std::vector<std::string> first = cloneAll({0, 1, 2}), second = cloneAll({0, 1, 2});
    std::map<std::string, std::string> map1 = mapFor(first), map2 = mapFor(second);
    LVM_linux_lvm backend;
    LVM::VG one = backend.recreateVG(std::list<std::string>(first.begin(), first.end()),
                                     captured_.metadata.c_str(), map1);
    LVM::VG two = backend.recreateVG(std::list<std::string>(second.begin(), second.end()),
                                     captured_.metadata.c_str(), map2);
    EXPECT_EQ(one.name, vg_ + "_copy_001");
    EXPECT_EQ(two.name, vg_ + "_copy_002");
    EXPECT_EQ(words(vbtest::shOk("vgs --noheadings -o vg_name")),
              (std::set<std::string>{vg_, one.name, two.name}));
    vbtest::shOk("vgck " + one.name);
    vbtest::shOk("vgck " + two.name);
    // The same object finds the group it made last through one of its LVs.
    const std::string node = box_->makeLVNode(two.name, "lin").path;
    EXPECT_EQ(backend.getVGByLVDevice(node.c_str()).uuid, two.uuid);
}

TEST_F(RealClone, ImportsStartedTogetherGetDistinctNames) {
    std::vector<std::vector<std::string>> sets = {cloneAll({0, 1, 2}), cloneAll({0, 1, 2})};
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    for (const std::vector<std::string>& clones : sets) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(go[1]);
            char c;
            while (read(go[0], &c, 1) < 0 && errno == EINTR) {
            }
            int status = 1;
            try {
                std::map<std::string, std::string> map = mapFor(clones);
                LVM_linux_lvm().recreateVG(std::list<std::string>(clones.begin(), clones.end()),
                                           captured_.metadata.c_str(), map);
                status = 0;
            } catch (const YbException& e) {
                fprintf(stderr, "import failed: %s\n", e.getMessage().c_str());
            }
            _exit(status);
        }
        children.push_back(pid);
    }
    close(go[0]);
    close(go[1]);  // both start now
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    EXPECT_EQ(words(vbtest::shOk("vgs --noheadings -o vg_name")),
              (std::set<std::string>{vg_, vg_ + "_copy_001", vg_ + "_copy_002"}));
    for (const char* n : {"_copy_001", "_copy_002"}) vbtest::shOk("vgck " + vg_ + n);
}

// ---- the imported group is a local group of this host ----

TEST_F(RealClone, LockTypeForeignSystemIdAndClusteredFlagAreNotRestored) {
    // `what` inserted into `text` just before the first `anchor`.
    auto insertBefore = [](std::string text, const std::string& anchor, const std::string& what) {
        const size_t at = text.find(anchor);
        EXPECT_NE(at, std::string::npos) << anchor;
        if (at != std::string::npos) text.insert(at, what);
        return text;
    };
    const std::string& m = captured_.metadata;
    struct Case {
        const char* name;
        std::string metadata;
    } cases[] = {
        {"an lvmlockd group",
         insertBefore(insertBefore(m, "\tseqno = ",
                                   "\tlock_type = \"sanlock\"\n\tlock_args = \"1.0.0:lvmlock\"\n"),
                      "\t\t\tstatus = [\"READ\", \"WRITE\", \"VISIBLE\"]",
                      "\t\t\tlock_args = \"1.0.0:70254592\"\n")},
        {"a group owned by another host",
         insertBefore(m, "\tseqno = ", "\tsystem_id = \"otherhost\"\n")},
        {"a clustered group", insertBefore(m, "]\n\tflags = []\n\textent_size", ", \"CLUSTERED\"")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> clones = cloneAll({0, 1, 2});
        std::map<std::string, std::string> map = mapFor(clones);
        LVM::VG vg;
        try {
            vg = LVM_linux_lvm().recreateVG(std::list<std::string>(clones.begin(), clones.end()),
                                            c.metadata.c_str(), map);
        } catch (const YbException& e) {
            ADD_FAILURE() << e.getMessage();
            continue;
        }
        for (const char* gone : {"lock_type", "lock_args", "system_id", "CLUSTERED"}) {
            EXPECT_EQ(vg.metadata.find(gone), std::string::npos) << gone;
        }
        // LVM2 shows the group, checks it, and removes it by name.
        vbtest::shOk("vgck " + vg.name);
        EXPECT_TRUE(words(vbtest::shOk("lvs --noheadings -o lv_name " + vg.name)).count("lin"));
        LVM_linux_lvm().destroyVG(vg.name.c_str());
        EXPECT_FALSE(words(vbtest::shOk("vgs --noheadings -o vg_name")).count(vg.name));
    }
}

// ---- every argument is checked before the first clone is changed ----

TEST_F(RealClone, RefusalsComeBeforeAnyCloneIsChanged) {
    std::string renamed = captured_.metadata;
    renamed.replace(renamed.find("\n" + vg_ + " {"), vg_.size() + 3, "\n" + vg_ + ":x {");
    struct Case {
        const char* name;
        std::vector<int> disks;  // a clone of each
        std::vector<int> given;  // which clones are passed, by position in `disks`
        bool aliasFirst;         // the first clone is passed once more under another name
        bool mapFirstOnly;
        std::string metadata;
        std::vector<int> originals = {};  // originals passed in place of their clones, by disk
        std::string hidden = {};          // the host's setting that rejects the last clone, if any
        std::string message = {};         // what the refusal says, in part
    } cases[] = {
        {"map covers only the first clone", {0, 1, 2}, {0, 1, 2}, false, true, captured_.metadata},
        {"the same clone twice", {0, 1}, {0, 1, 0}, false, false, captured_.metadata},
        {"one clone under two names", {0, 1}, {0, 1}, true, false, captured_.metadata},
        {"two clones of one PV", {0, 0}, {0, 1}, false, false, captured_.metadata},
        {"new name LVM2 rejects", {0, 1, 2}, {0, 1, 2}, false, false, renamed},
        // The live group's own PV instead of its copy: LVM2 uses it for the group whether the
        // copy is attached beside it (and set aside) or not.
        {"the live PV beside its copy",
         {0, 1},
         {1},
         false,
         false,
         captured_.metadata,
         {0},
         "",
         " of VG [" + vg_ + "] on this host, not a copy of it: refusing to re-initialize it"},
        {"the live PV without its copy",
         {},
         {},
         false,
         false,
         captured_.metadata,
         {0},
         "",
         " of VG [" + vg_ + "] on this host, not a copy of it: refusing to re-initialize it"},
        // The host's LVM2 does not see the last clone: the library's own filter would let it
        // build the group there, where the host cannot use it.
        {"a clone the host's global_filter hides",
         {0, 1},
         {0, 1},
         false,
         false,
         captured_.metadata,
         {},
         "global_filter",
         ": LVM2 on this host does not see it; its setting devices/global_filter rejects it"},
        {"a clone the host's filter hides",
         {0, 1},
         {0, 1},
         false,
         false,
         captured_.metadata,
         {},
         "filter",
         ": LVM2 on this host does not see it; its setting devices/filter rejects it"},
    };
    std::vector<std::string> ids, hashes;
    for (const std::string& disk : disks_) {
        ids.push_back(vbtest::shOk("pvs --noheadings -o pv_uuid " + disk));
        hashes.push_back(vbtest::hashFrom(disk, 0));
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> clones = cloneAll(c.disks);
        std::list<std::string> given;
        for (int disk : c.originals) given.push_back(disks_[disk]);
        for (int i : c.given) given.push_back(clones[i]);
        if (c.aliasFirst) {
            given.push_back(box_->alias("again" + std::to_string(&c - cases), clones[0]));
        }
        if (!c.hidden.empty()) box_->reject(c.hidden, clones.back());
        std::map<std::string, std::string> map = mapFor(clones);
        if (c.mapFirstOnly) {
            const std::string first = vbtest::shOk("pvs --noheadings -o pv_uuid " + disks_[0]);
            map.clear();
            for (const auto& entry : captured_.pvs) {
                if (first.find(entry.first) != std::string::npos) map[entry.first] = entry.first;
            }
        }
        try {
            LVM_linux_lvm().recreateVG(given, c.metadata.c_str(), map);
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            EXPECT_NE(e.getMessage().find(c.message), std::string::npos) << e.getMessage();
        }
        for (size_t i = 0; i < clones.size(); ++i) {
            EXPECT_EQ(vbtest::sh("cmp -s " + box_->imageOf(disks_[c.disks[i]]) + " " +
                                 box_->imageOf(clones[i])),
                      0)
                << clones[i] << " was changed";
        }
        EXPECT_EQ(words(vbtest::shOk("vgs --noheadings -o vg_name")), std::set<std::string>{vg_});
        // The live group is as it was: the same PV ids.
        vbtest::shOk("vgck " + vg_);
        for (size_t i = 0; i < disks_.size(); ++i) {
            EXPECT_EQ(vbtest::shOk("pvs --noheadings -o pv_uuid " + disks_[i]), ids[i]);
        }
    }
    // Not a byte of the live group's disks changed.
    for (size_t i = 0; i < disks_.size(); ++i) {
        EXPECT_EQ(vbtest::hashFrom(disks_[i], 0), hashes[i]) << disks_[i] << " was changed";
    }
}

// ---- an exported group, and an import run again ----

// The group was exported (vgexport) when its disks were copied, and imported again since: its
// clones import as a usable local group.
TEST_F(RealClone, CaptureOfAnExportedGroupImportsAsALocalGroup) {
    vbtest::shOk("vgexport -q " + vg_);
    const std::string exported = vbtest::exportGroup(*box_, vg_);
    ASSERT_NE(exported.find("\"EXPORTED\""), std::string::npos);
    std::vector<std::string> clones = cloneAll({0, 1, 2});
    // LVM2 changes no group while it sees copies of its PVs: the originals only.
    std::string originals;
    for (const std::string& disk : disks_) originals += "\"a|^" + disk + "$|\",";
    vbtest::shOk("vgimport -q --config 'devices/filter=[" + originals + "\"r|.|\"]' " + vg_);
    std::map<std::string, std::string> map = mapFor(clones);
    LVM::VG vg = LVM_linux_lvm().recreateVG(std::list<std::string>(clones.begin(), clones.end()),
                                            exported.c_str(), map);
    EXPECT_EQ(vg.metadata.find("EXPORTED"), std::string::npos);
    vbtest::shOk("vgck " + vg.name);
    EXPECT_EQ(vbtest::shOk("vgs --noheadings -o vg_exported " + vg.name).find("exported"),
              std::string::npos);
    vbtest::shOk("vgchange -q -ay " + vg.name);
    EXPECT_TRUE(words(vbtest::shOk("lvs --noheadings -o lv_name " + vg.name)).count("lin"));
    LVM_linux_lvm().destroyVG(vg.name.c_str());
}

// The same import run again on its own result (the map has the new ids): the group it made is
// returned as it is; no clone changes and no second group is made.
TEST_F(RealClone, RepeatOfAFinishedImportReturnsTheSameGroup) {
    std::vector<std::string> clones = cloneAll({0, 1});
    const std::list<std::string> given(clones.begin(), clones.end());
    std::map<std::string, std::string> map = mapFor(clones);
    const LVM::VG first = LVM_linux_lvm().recreateVG(given, captured_.metadata.c_str(), map);
    std::vector<std::string> hashes;
    for (const std::string& clone : clones) hashes.push_back(vbtest::hashFrom(clone, 0));
    const std::map<std::string, std::string> after = map;

    vbtest::RecordingRunner runner;
    const LVM::VG again = LVM_linux_lvm().recreateVG(given, captured_.metadata.c_str(), map);
    EXPECT_EQ(runner.count("pvcreate"), 0u);
    EXPECT_EQ(runner.count("vgcfgrestore"), 0u);
    EXPECT_EQ(again.name, first.name);
    EXPECT_EQ(again.uuid, first.uuid);
    EXPECT_EQ(again.metadata, first.metadata);
    std::set<std::string> firstLvs, againLvs;
    for (const auto& lv : first.lvs) firstLvs.insert(lv.first + " " + lv.second.device);
    for (const auto& lv : again.lvs) againLvs.insert(lv.first + " " + lv.second.device);
    EXPECT_EQ(againLvs, firstLvs);
    EXPECT_EQ(map, after);
    EXPECT_EQ(words(vbtest::shOk("vgs --noheadings -o vg_name")),
              (std::set<std::string>{vg_, first.name}));
    for (size_t i = 0; i < clones.size(); ++i) {
        EXPECT_EQ(vbtest::hashFrom(clones[i], 0), hashes[i]) << clones[i] << " was changed";
    }
}

// ---- no command that can only fail ----

TEST_F(RealClone, OnePvImportRunsOnlyCommandsThatDoSomething) {
    std::vector<std::string> clones = cloneAll({0});
    std::map<std::string, std::string> map = mapFor(clones);
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    vbtest::RecordingRunner runner;
    LVM::VG vg = LVM_linux_lvm().recreateVG({clones[0]}, captured_.metadata.c_str(), map);
    vbtest::shOk("vgck " + vg.name);
    EXPECT_EQ(runner.count("vgchange --systemid"), 0u);
    EXPECT_EQ(runner.count("vgchange -cn"), 0u);
    // The listing, how LVM2 sees the clone, pvcreate, restore, devices file, activation.
    EXPECT_EQ(runner.commands().size(), 6u);
    EXPECT_FALSE(log.contains("Failed to clear"));
}

// ---- destroy: every group by name, and gone when it says so ----

TEST(RealDestroy, GroupsTheLvListingDoesNotShowAreRemovedToo) {
    VB_REQUIRE_REAL_LVM();
    vbtest::LvmSandbox box;
    const std::string d1 = box.addDisk(32), d2 = box.addDisk(32);
    vbtest::shOk("pvcreate -q " + d1 + " " + d2);
    const std::string empty = box.vg("empty"), hidden = box.vg("hidden");
    vbtest::shOk("vgcreate -q " + empty + " " + d1);
    vbtest::shOk("vgcreate -q " + hidden + " " + d2);
    vbtest::shOk(kLv + std::string("-L 4M -n lv ") + hidden);
    std::string text = vbtest::exportGroup(box, hidden);
    text.replace(text.find("\"WRITE\", \"VISIBLE\"", text.find("\t\tlv {")), 18, "\"WRITE\"");
    vbtest::applyGroup(box, hidden, text);
    ASSERT_EQ(vbtest::shOk("lvs --noheadings -o lv_name " + hidden), "");
    for (const std::string& name : {empty, hidden}) {
        SCOPED_TRACE(name);
        LVM_linux_lvm().destroyVG(name.c_str());
        EXPECT_FALSE(words(vbtest::shOk("vgs --noheadings -o vg_name")).count(name));
    }
}

}  // namespace
