// Groups of today on real LVM2: raid, thin and cached LVs in discovery, clone import and revert.
// Without device-mapper LVM2 cannot create them, so the test creates plain linear LVs, turns them
// into the hidden parts (raid images and their metadata LVs, pool data and metadata, a cache
// pool) and adds the stacked LVs over them in the metadata LVM2 would write, applied with
// vgcfgrestore.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "Fixtures.h"
#include "GroupEdits.h"
#include "LVM/LVM.h"
#include "LvmSandbox.h"
#include "host/HostSeams.h"

namespace {

const char* const kLv = "lvcreate -q --driverloaded n -an -Zn ";

std::string lvName(const LVM::LV& lv) { return lv.device.substr(lv.device.rfind('/') + 1); }

// name -> segment type of every LV of the group, hidden ones included, as LVM2 reports them.
std::map<std::string, std::string> lvTypes(const std::string& vg) {
    std::map<std::string, std::string> types;
    std::istringstream in(vbtest::shOk("lvs -a --noheadings -o lv_name,segtype " + vg));
    std::string name, type;
    while (in >> name >> type) {
        if (name.size() > 2 && name.front() == '[') name = name.substr(1, name.size() - 2);
        types[name] = type;
    }
    return types;
}

std::string pvUuid(const std::string& device) {
    std::string id = vbtest::shOk("pvs --noheadings -o pv_uuid " + device);
    id.erase(std::remove_if(id.begin(), id.end(), ::isspace), id.end());
    return id;
}

// A linear LV of `extents` extents (4 MiB each) on one disk, to become a part of a stacked LV.
struct Part {
    std::string name;  // the name it ends up with
    int disk;
    int extents;
};

class RealStacked : public ::testing::Test {
  protected:
    void SetUp() override {
        VB_REQUIRE_REAL_LVM();
        box_.reset(new vbtest::LvmSandbox);
    }

    // A group over `disks` new disks. The parts are made as linear LVs under names LVM2 accepts
    // from lvcreate, then hidden and renamed.
    void makeGroup(const std::string& base, int disks, const std::vector<Part>& parts,
                   const std::vector<std::string>& plain,
                   const std::function<std::string(std::string)>& addStacked) {
        std::string all;
        for (int i = 0; i < disks; ++i) {
            disks_.push_back(box_->addDisk(64));
            all += " " + disks_.back();
        }
        vg_ = box_->vg(base);
        vbtest::shOk("pvcreate -q" + all);
        vbtest::shOk("vgcreate -q -s 4m " + vg_ + all);
        for (const std::string& name : plain) {
            vbtest::shOk(kLv + std::string("-L 4M -n ") + name + " " + vg_ + " " + disks_[0]);
        }
        for (size_t i = 0; i < parts.size(); ++i) {
            vbtest::shOk(kLv + std::string("-l ") + std::to_string(parts[i].extents) + " -n part" +
                         std::to_string(i) + " " + vg_ + " " + disks_[parts[i].disk]);
        }
        std::string text = vbtest::exportGroup(*box_, vg_);
        for (size_t i = 0; i < parts.size(); ++i) {
            text = vbtest::hideLv(text, "part" + std::to_string(i), parts[i].name);
        }
        text = addStacked(text);
        const std::string path = box_->workDir() + "/" + vg_ + ".stacked";
        vbtest::writeFile(path, text);
        // A group with a thin pool is restored only with --force.
        vbtest::shOk("vgcfgrestore -q --force -f " + path + " " + vg_);
        vbtest::shOk("vgck " + vg_);
    }

    LVM::VG capture(const std::string& lv) {
        const std::string node = box_->makeLVNode(vg_, lv).path;
        return LVM_linux_lvm().getVGByLVDevice(node.c_str());
    }

    std::map<std::string, std::string> identityMap(const LVM::VG& vg) {
        std::map<std::string, std::string> map;
        for (const auto& entry : vg.pvs) map[entry.first] = entry.first;
        return map;
    }

    std::unique_ptr<vbtest::LvmSandbox> box_;
    std::vector<std::string> disks_;
    std::string vg_;
};

std::string raids(const std::string& lv, int images, bool meta = true) {
    std::string list;
    for (int i = 0; i < images; ++i) {
        if (!list.empty()) list += ", ";
        if (meta) list += "\"" + lv + "_rmeta_" + std::to_string(i) + "\", ";
        list += "\"" + lv + "_rimage_" + std::to_string(i) + "\"";
    }
    return list;
}

std::vector<Part> raidParts(const std::string& lv, const std::vector<int>& disks) {
    std::vector<Part> parts;
    for (size_t i = 0; i < disks.size(); ++i) {
        parts.push_back({lv + "_rmeta_" + std::to_string(i), disks[i], 1});
        parts.push_back({lv + "_rimage_" + std::to_string(i), disks[i], 1});
    }
    return parts;
}

// Four disks: "plain" on disk 0; raid1 "r1" over disks 0 and 1; raid5 "r5" over 0, 1 and 2;
// raid10 "r10" over all four; a thin pool "pool" (metadata on disk 2, data on disk 3) with thin
// LVs "thin1", "thin2" and the thin snapshot "tsnap" of thin1; "cached", whose origin is on disk 0
// and whose cache pool is on disk 1.
class RealStackedGroup : public RealStacked {
  protected:
    void SetUp() override {
        RealStacked::SetUp();
        if (IsSkipped()) return;
        std::vector<Part> parts;
        for (const auto& group : {raidParts("r1", {0, 1}), raidParts("r5", {0, 1, 2}),
                                  raidParts("r10", {0, 1, 2, 3})}) {
            parts.insert(parts.end(), group.begin(), group.end());
        }
        parts.push_back({"pool_tmeta", 2, 1});
        parts.push_back({"pool_tdata", 3, 2});
        parts.push_back({"cpool_cdata", 1, 1});
        parts.push_back({"cpool_cmeta", 1, 1});
        parts.push_back({"cached_corig", 0, 2});
        makeGroup("stacked", 4, parts, {"plain"}, [](std::string text) {
            text = vbtest::addSegmentLv(
                text, "r1", 1, "raid1",
                "device_count = 2\nregion_size = 1024\nraids = [" + raids("r1", 2) + "]");
            text = vbtest::addSegmentLv(
                text, "r5", 2, "raid5_ls",
                "device_count = 3\nstripe_size = 128\nregion_size = 1024\nraids = [" +
                    raids("r5", 3) + "]");
            text = vbtest::addSegmentLv(
                text, "r10", 2, "raid10",
                "device_count = 4\nstripe_size = 128\nregion_size = 1024\nraids = [" +
                    raids("r10", 4) + "]");
            text = vbtest::addSegmentLv(text, "pool", 2, "thin-pool",
                                        "metadata = \"pool_tmeta\"\npool = \"pool_tdata\"\n"
                                        "transaction_id = 3\nchunk_size = 128\n"
                                        "discards = \"passdown\"\nzero_new_blocks = 1");
            text = vbtest::addSegmentLv(text, "thin1", 4, "thin",
                                        "thin_pool = \"pool\"\ntransaction_id = 0\ndevice_id = 1");
            text = vbtest::addSegmentLv(text, "thin2", 4, "thin",
                                        "thin_pool = \"pool\"\ntransaction_id = 1\ndevice_id = 2");
            text = vbtest::addSegmentLv(text, "tsnap", 4, "thin",
                                        "thin_pool = \"pool\"\ntransaction_id = 2\ndevice_id = 3\n"
                                        "origin = \"thin1\"");
            text = vbtest::addSegmentLv(text, "cpool", 1, "cache-pool",
                                        "data = \"cpool_cdata\"\nmetadata = \"cpool_cmeta\"\n"
                                        "metadata_format = 2\nchunk_size = 128\n"
                                        "cache_mode = \"writethrough\"\npolicy = \"smq\"",
                                        false);
            text = vbtest::addSegmentLv(text, "cached", 2, "cache",
                                        "cache_pool = \"cpool\"\norigin = \"cached_corig\"");
            return text;
        });
        for (const std::string& d : disks_) uuids_.push_back(pvUuid(d));
    }

    // The record's LV name -> the indexes of the disks it lies on.
    std::map<std::string, std::set<int>> lvDisks(const LVM::VG& vg) {
        std::map<std::string, std::set<int>> result;
        for (const auto& entry : vg.lvs) {
            std::set<int>& disks = result[lvName(entry.second)];
            for (const std::string& pv : entry.second.pvs) {
                const std::string orig = vg.pvs.at(pv).orig_uuid;
                disks.insert(static_cast<int>(std::find(uuids_.begin(), uuids_.end(), orig) -
                                              uuids_.begin()));
            }
        }
        return result;
    }

    std::vector<std::string> uuids_;
};

const std::map<std::string, std::set<int>> kAllLvs = {
    {"plain", {0}},        {"r1", {0, 1}},    {"r5", {0, 1, 2}},
    {"r10", {0, 1, 2, 3}}, {"pool", {2, 3}},  {"thin1", {2, 3}},
    {"thin2", {2, 3}},     {"tsnap", {2, 3}}, {"cached", {0, 1}},
};

TEST_F(RealStackedGroup, DiscoveryOfAPlainARaidAndAThinLv) {
    for (const char* lv : {"plain", "r1", "thin1"}) {
        SCOPED_TRACE(lv);
        LVM::VG vg = capture(lv);
        EXPECT_EQ(vg.name, vg_);
        EXPECT_EQ(vg.pvs.size(), 4u);
        // Visible LVs only, each with every PV it uses, through its parts and its pool.
        EXPECT_EQ(lvDisks(vg), kAllLvs);
    }
}

TEST_F(RealStackedGroup, FullCloneSetIsImportedWithEveryLvOfTheSameType) {
    LVM::VG captured = capture("plain");
    std::list<std::string> clones;
    for (const std::string& d : disks_) clones.push_back(box_->cloneDisk(d));
    std::map<std::string, std::string> map = identityMap(captured);
    vbhost::MemoryLogSink log;
    LVM::VG copy;
    {
        vbhost::ScopedLogSink sink(log, 0);
        copy = LVM_linux_lvm().recreateVG(clones, captured.metadata.c_str(), map);
    }
    EXPECT_EQ(copy.name, vg_ + "_copy_001");
    vbtest::shOk("vgck " + copy.name);
    EXPECT_EQ(lvTypes(copy.name), lvTypes(vg_));
    EXPECT_EQ(lvDisks(copy), kAllLvs);
    EXPECT_TRUE(log.contains("holds the thin pool [pool], which LVM2 restores only with --force"));
    LVM_linux_lvm().destroyVG(copy.name.c_str());
}

TEST_F(RealStackedGroup, PartialCloneSetKeepsWhatLiesWhollyOnItAndDropsTheRestWhole) {
    LVM::VG captured = capture("plain");
    // Disk 3 holds the pool's data and one image of r10: without its clone, the pool goes with
    // its thin LVs and parts, and r10 with all its images; r1, r5 and the cached LV stay whole.
    std::list<std::string> clones;
    for (int i : {0, 1, 2}) clones.push_back(box_->cloneDisk(disks_[i]));
    std::map<std::string, std::string> map = identityMap(captured);
    vbhost::MemoryLogSink log;
    LVM::VG copy;
    {
        vbhost::ScopedLogSink sink(log, 0);
        copy = LVM_linux_lvm().recreateVG(clones, captured.metadata.c_str(), map);
    }
    vbtest::shOk("vgck " + copy.name);
    EXPECT_EQ(lvDisks(copy),
              (std::map<std::string, std::set<int>>{
                  {"plain", {0}}, {"r1", {0, 1}}, {"r5", {0, 1, 2}}, {"cached", {0, 1}}}));
    std::map<std::string, std::string> expected = lvTypes(vg_);
    for (auto it = expected.begin(); it != expected.end();) {
        const std::string& name = it->first;
        const bool gone = name.rfind("r10", 0) == 0 || name.rfind("pool", 0) == 0 ||
                          name.rfind("thin", 0) == 0 || name == "tsnap";
        it = gone ? expected.erase(it) : std::next(it);
    }
    EXPECT_EQ(lvTypes(copy.name), expected);
    EXPECT_EQ(lvTypes(copy.name)["r1"], "raid1");  // never broken into a linear LV
    EXPECT_TRUE(log.contains("Removing LV [pool], UUID=[") &&
                log.contains("from metadata: it uses PV [pv3], which is not among the supplied "
                             "devices"));
    EXPECT_TRUE(log.contains("Removing LV [r10_rimage_0], UUID=["));
    EXPECT_FALSE(log.contains("holds the thin pool"));
    LVM_linux_lvm().destroyVG(copy.name.c_str());
}

// Disk 1 is rolled back alone. r1, r5, r10 and the cached LV use it and other disks: a revert
// may not take them apart, so canRevert refuses it, and so does revertLVs, before anything
// changes: the live group keeps every LV, its PVs keep their ids, no byte of any disk changes.
TEST_F(RealStackedGroup, RevertOfOnePvThatStackedLvsSpanIsRefusedAndTheGroupStays) {
    LVM::VG captured = capture("plain");
    const std::string saved = box_->saveImage(disks_[1], "disk1");
    box_->restoreImage(saved, disks_[1]);
    LVM_linux_lvm backend;
    const std::list<std::string> passed{disks_[1]};
    vbhost::MemoryLogSink log;
    {
        vbhost::ScopedLogSink sink(log, 2);
        EXPECT_FALSE(backend.canRevert(captured, captured.metadata.c_str(), passed));
    }
    const std::string refusal =
        "resides both on PVs that will be reverted and on those that won't be.";
    EXPECT_TRUE(log.contains(refusal)) << testing::PrintToString(log.records());

    const std::map<std::string, std::string> types = lvTypes(vg_);
    std::vector<std::string> ids, hashes;
    for (const std::string& disk : disks_) {
        ids.push_back(pvUuid(disk));
        hashes.push_back(vbtest::hashFrom(disk, 0));
    }
    std::map<std::string, std::string> map = identityMap(captured);
    const std::map<std::string, std::string> given = map;
    try {
        backend.revertLVs(passed, captured.metadata.c_str(), map);
        ADD_FAILURE() << "no exception";
    } catch (const YbException& e) {
        EXPECT_NE(e.getMessage().find(refusal), std::string::npos) << e.getMessage();
    }
    EXPECT_EQ(map, given);
    vbtest::shOk("vgck " + vg_);
    EXPECT_EQ(lvTypes(vg_), types);
    for (size_t i = 0; i < disks_.size(); ++i) {
        SCOPED_TRACE(disks_[i]);
        EXPECT_EQ(pvUuid(disks_[i]), ids[i]);
        EXPECT_EQ(vbtest::hashFrom(disks_[i], 0), hashes[i]);
    }
}

// Both disks of a raid1 are rolled back while the group has moved on: the raid comes back whole
// from the backup, in place of the live one.
TEST_F(RealStacked, RevertOfEveryPvOfARaidBringsItBackWhole) {
    makeGroup("mirrored", 3, raidParts("r1", {0, 1}), {"plain"}, [](std::string text) {
        return vbtest::addSegmentLv(
            text, "r1", 1, "raid1",
            "device_count = 2\nregion_size = 1024\nraids = [" + raids("r1", 2) + "]");
    });
    const std::string node = box_->makeLVNode(vg_, "r1").path;
    LVM::VG captured = LVM_linux_lvm().getVGByLVDevice(node.c_str());
    ASSERT_EQ(captured.name, vg_);
    const std::string saved0 = box_->saveImage(disks_[0], "d0");
    const std::string saved1 = box_->saveImage(disks_[1], "d1");
    // The live group moves on: a new LV on the third disk.
    vbtest::shOk(kLv + std::string("-L 4M -n later ") + vg_ + " " + disks_[2]);
    box_->restoreImage(saved0, disks_[0]);
    box_->restoreImage(saved1, disks_[1]);

    LVM_linux_lvm backend;
    const std::list<std::string> passed{disks_[0], disks_[1]};
    EXPECT_TRUE(backend.canRevert(captured, captured.metadata.c_str(), passed));
    std::map<std::string, std::string> map;
    for (const auto& entry : captured.pvs) map[entry.first] = entry.first;
    backend.revertLVs(passed, captured.metadata.c_str(), map);
    vbtest::shOk("vgck " + vg_);
    std::map<std::string, std::string> types = lvTypes(vg_);
    EXPECT_EQ(types["r1"], "raid1");
    EXPECT_EQ(types["r1_rimage_1"], "linear");
    EXPECT_EQ(types["later"], "linear");
    EXPECT_EQ(types.size(), 7u);  // plain, later, r1 and its four parts
}

}  // namespace
