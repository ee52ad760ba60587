// Discovery against real LVM2 on loop devices: lookups by LV device and by group id, the
// captured backup, and a mirror made by editing metadata and applying it with vgcfgrestore.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "Fixtures.h"
#include "GroupEdits.h"
#include "LVM/LVM.h"
#include "LvmSandbox.h"
#include "MetadataTrees.h"
#include "linux_lvm/LVM_linux_lvm_parser.h"

namespace {

using vbtest::shOk;

class RealDiscovery : public ::testing::Test {
  protected:
    void SetUp() override { VB_REQUIRE_REAL_LVM(); }
};

// One value that LVM2 reports, blanks removed.
std::string report(const std::string& cmd) {
    std::string out = shOk(cmd);
    out.erase(std::remove_if(out.begin(), out.end(), ::isspace), out.end());
    return out;
}

std::string pvUuid(const std::string& device) {
    return report("pvs --noheadings -o pv_uuid " + device);
}

std::string lvUuid(const std::string& vg, const std::string& lv) {
    return report("lvs --noheadings -o lv_uuid " + vg + "/" + lv);
}

// Each LV as "<device> <state> <PV ids in order>", and each PV as "<id> <device> <mirror id>".
std::vector<std::string> lvLines(const LVM::VG& vg) {
    std::vector<std::string> lines;
    for (const auto& [uuid, lv] : vg.lvs) {
        std::string line = uuid + " " + lv.device + " " + std::to_string(lv.state);
        for (const std::string& pv : lv.pvs) line += " " + pv;
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> pvLines(const LVM::VG& vg) {
    std::vector<std::string> lines;
    for (const auto& [uuid, pv] : vg.pvs)
        lines.push_back(uuid + " " + pv.device + " " + pv.mirror_id);
    return lines;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

TEST_F(RealDiscovery, GroupByLvDeviceAndById) {
    vbtest::LvmSandbox box;
    const std::string d1 = box.addDisk(), d2 = box.addDisk();
    const std::string name = box.vg("disc");
    shOk("pvcreate -q " + d1 + " " + d2);
    shOk("vgcreate -q " + name + " " + d1 + " " + d2);
    shOk("lvcreate -q --driverloaded n -an -Zn -L 8M -n lin " + name + " " + d1);
    shOk("lvcreate -q --driverloaded n -an -Zn -i 2 -I 64k -L 16M -n str " + name);
    const vbtest::LvmSandbox::LvNode node = box.makeLVNode(name, "lin");
    ASSERT_FALSE(node.path.empty());

    const std::string id1 = pvUuid(d1), id2 = pvUuid(d2);
    const std::string vgId = report("vgs --noheadings -o vg_uuid " + name);
    const std::vector<std::string> expectedLvs = sorted({
        lvUuid(name, "lin") + " /dev/" + name + "/lin 1 " + id1,
        lvUuid(name, "str") + " /dev/" + name + "/str 1 " + std::min(id1, id2) + " " +
            std::max(id1, id2),
    });
    const std::vector<std::string> expectedPvs =
        sorted({id1 + " " + d1 + " ", id2 + " " + d2 + " "});

    vbtest::RecordingRunner runner;
    LVM_linux_lvm backend;
    LVM::VG vg = backend.getVGByLVDevice(node.path.c_str());
    EXPECT_EQ(vg.name, name);
    EXPECT_EQ(vg.orig_name, name);
    EXPECT_EQ(vg.uuid, vgId);
    EXPECT_EQ(vg.orig_uuid, vgId);
    EXPECT_EQ(vg.vendor, "LinuxLVM");
    EXPECT_EQ(lvLines(vg), expectedLvs);
    EXPECT_EQ(pvLines(vg), expectedPvs);
    // LVM2's description of the group now (not its backup file, which may lag behind).
    const std::string now = vbtest::comparableMetadata(vbtest::exportGroup(box, name));
    EXPECT_EQ(vbtest::comparableMetadata(vg.metadata), now);
    EXPECT_NE(vg.metadata.find("id = \"" + vgId + "\""), std::string::npos);
    EXPECT_EQ(runner.count("vgcfgbackup "), 1u);

    // The same device through another path (the loop behind the node): the cached, populated
    // group comes back and no second backup is made.
    LVM::VG again = backend.getVGByLVDevice(node.loop.c_str());
    EXPECT_EQ(again.name, name);
    EXPECT_EQ(again.metadata, vg.metadata);
    EXPECT_EQ(lvLines(again), expectedLvs);
    EXPECT_EQ(runner.count("vgcfgbackup "), 1u);

    LVM::VG byId = LVM_linux_lvm().getVGByUUID(vgId.c_str());
    EXPECT_EQ(byId.name, name);
    EXPECT_EQ(lvLines(byId), expectedLvs);
    EXPECT_EQ(pvLines(byId), expectedPvs);
    EXPECT_EQ(vbtest::comparableMetadata(byId.metadata), now);
    EXPECT_EQ(runner.count("vgcfgbackup "), 2u);

    struct Miss {
        const char* name;
        std::function<LVM::VG()> lookup;
    } misses[] = {
        {"unknown id",
         [] { return LVM_linux_lvm().getVGByUUID("ZZZZZZ-ZZZZ-ZZZZ-ZZZZ-ZZZZ-ZZZZ-ZZZZZZ"); }},
        {"a PV is not an LV", [&] { return backend.getVGByLVDevice(d1.c_str()); }},
        {"a loop device of no group",
         [&] { return LVM_linux_lvm().getVGByLVDevice(box.addDisk(8).c_str()); }},
    };
    for (const Miss& miss : misses) {
        SCOPED_TRACE(miss.name);
        LVM::VG none = miss.lookup();
        EXPECT_TRUE(none.name.empty() && none.uuid.empty() && none.metadata.empty());
        EXPECT_TRUE(none.lvs.empty() && none.pvs.empty());
    }
    EXPECT_EQ(runner.count("vgcfgbackup "), 2u);
}

// The PV section of the group's metadata whose device is `device`.
std::string pvSection(const std::string& metadata, const std::string& device) {
    LVM_linux_lvm_parser parser;
    LVM_linux_lvm_parser::NodeAutoPtr root(parser.parse(metadata.c_str()));
    LVM_linux_lvm_parser::Node* pvs = LVM_linux_lvm_parser::find(root, "physical_volumes", false);
    for (auto* pv = pvs ? pvs->child : nullptr; pv; pv = pv->next) {
        auto* dev = LVM_linux_lvm_parser::findDirectChild(pv, "device");
        if (dev && *dev == device) return pv->name;
    }
    ADD_FAILURE() << "no PV section for " << device;
    return "";
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

TEST_F(RealDiscovery, MirrorIsOneLvOverItsImagesAndLog) {
    vbtest::LvmSandbox box;
    const std::string d1 = box.addDisk(), d2 = box.addDisk(), d3 = box.addDisk(),
                      d4 = box.addDisk();
    const std::string name = box.vg("mirror");
    shOk("pvcreate -q " + d1 + " " + d2 + " " + d3 + " " + d4);
    shOk("vgcreate -q " + name + " " + d1 + " " + d2 + " " + d3 + " " + d4);
    shOk("lvcreate -q --driverloaded n -an -Zn -L 8M -n plain " + name + " " + d4);

    // Two images on d1 and d2 and a log on d3, added to the group's metadata by hand (LVM2
    // cannot make a mirror without device-mapper).
    const std::string edit = box.workDir() + "/mirror.vg";
    shOk("vgcfgbackup -q -f " + edit + " " + name);
    std::string metadata = vbtest::readFile(edit);
    std::string sections = vbtest::readFixture("lvm2/metadata/mirror-lv-sections.vg-part");
    replaceAll(sections, "@PV_IMAGE0@", pvSection(metadata, d1));
    replaceAll(sections, "@PV_IMAGE1@", pvSection(metadata, d2));
    replaceAll(sections, "@PV_LOG@", pvSection(metadata, d3));
    const size_t lvs = metadata.find("logical_volumes {\n");
    ASSERT_NE(lvs, std::string::npos);
    metadata.insert(lvs + strlen("logical_volumes {\n"), sections);
    std::ofstream(edit, std::ios::trunc) << metadata;
    shOk("vgcfgrestore -q -f " + edit + " " + name);

    const std::string id1 = pvUuid(d1), id2 = pvUuid(d2), id3 = pvUuid(d3), id4 = pvUuid(d4);
    std::vector<std::string> mirrorPvs = sorted({id1, id2, id3});
    const std::string vgId = report("vgs --noheadings -o vg_uuid " + name);

    vbtest::RecordingRunner runner;
    LVM::VG vg = LVM_linux_lvm().getVGByUUID(vgId.c_str());
    // Without device-mapper the mirror is not active and its copy percentage is empty: not
    // known to be in sync, so state 4.
    EXPECT_EQ(lvLines(vg), sorted({
                               lvUuid(name, "mirlv") + " /dev/" + name + "/mirlv 4 " +
                                   mirrorPvs[0] + " " + mirrorPvs[1] + " " + mirrorPvs[2],
                               lvUuid(name, "plain") + " /dev/" + name + "/plain 1 " + id4,
                           }));
    EXPECT_EQ(pvLines(vg), sorted({id1 + " " + d1 + " ABRACADABRA", id2 + " " + d2 + " ABRACADABRA",
                                   id3 + " " + d3 + " ABRACADABRA", id4 + " " + d4 + " "}));
    EXPECT_EQ(runner.count("lvs --separator \3"), 1u);
}

// ---- what discovery reads: the group as LVM2 has it at the moment of the lookup ----

std::set<std::string> lvSectionNames(const std::string& metadata) {
    LVM_linux_lvm_parser parser;
    LVM_linux_lvm_parser::NodeAutoPtr root(parser.parse(metadata.c_str()));
    std::set<std::string> names;
    LVM_linux_lvm_parser::Node* lvs = LVM_linux_lvm_parser::find(root, "logical_volumes", false);
    for (auto* lv = lvs ? lvs->child : nullptr; lv; lv = lv->next) names.insert(lv->name);
    return names;
}

std::set<std::string> lvDevices(const LVM::VG& vg) {
    std::set<std::string> devices;
    for (const auto& entry : vg.lvs) devices.insert(entry.second.device);
    return devices;
}

// LVM2's backup file lags behind the group after an LV made without a backup ("lvcreate -An", as
// with "backup = 0") until some other command refreshes it; with a PV missing LVM2 refreshes
// it no more; with backups kept in another directory it is not where it used to be. The lookup
// must describe the group as it is, and a missing PV as missing.
TEST_F(RealDiscovery, MetadataIsTheGroupAsItIsNotAnOldBackupFile) {
    enum class Then { Nothing, SecondPvGoes, BackupsMove };
    struct Case {
        const char* name;
        Then then;
    } cases[] = {
        {"LV made without a backup", Then::Nothing},
        {"and then a PV goes missing", Then::SecondPvGoes},
        {"backups kept in another directory", Then::BackupsMove},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::LvmSandbox box;
        const std::string d1 = box.addDisk(), d2 = box.addDisk();
        const std::string name = box.vg("stale");
        shOk("pvcreate -q " + d1 + " " + d2);
        shOk("vgcreate -q " + name + " " + d1 + " " + d2);
        shOk("lvcreate -q --driverloaded n -an -Zn -L 8M -n first " + name + " " + d1);
        shOk("lvcreate -q --driverloaded n -an -Zn -L 8M -n second " + name + " " + d2);
        // Reporting commands refresh a lagging backup file too: ids are read first.
        const std::string vgId = report("vgs --noheadings -o vg_uuid " + name);
        const std::string id1 = pvUuid(d1), id2 = pvUuid(d2);
        if (c.then == Then::BackupsMove) {
            shOk("mkdir -p " + box.workDir() + "/backups");
            std::ofstream(box.confDir() + "/lvm.conf", std::ios::app)
                << "backup {\n    backup_dir = \"" << box.workDir() << "/backups\"\n}\n";
            shOk("lvcreate -q --driverloaded n -an -Zn -L 8M -n later " + name + " " + d1);
        } else {
            shOk("lvcreate -q -An --driverloaded n -an -Zn -L 8M -n later " + name + " " + d1);
        }
        if (c.then == Then::SecondPvGoes) {
            shOk("dd if=/dev/zero of=" + d2 + " bs=1M count=1 conv=fsync status=none");
        }

        LVM::VG vg = LVM_linux_lvm().getVGByUUID(vgId.c_str());
        ASSERT_EQ(vg.name, name);
        EXPECT_EQ(lvSectionNames(vg.metadata), (std::set<std::string>{"first", "second", "later"}));
        EXPECT_TRUE(lvDevices(vg).count("/dev/" + name + "/later"));
        ASSERT_EQ(vg.pvs.size(), 2u);
        EXPECT_EQ(vg.pvs[id1].device, d1);
        EXPECT_EQ(vg.pvs[id1].state, PV_ACTIVE);
        if (c.then == Then::SecondPvGoes) {
            // Not an active PV at the path it had: LVM2 does not know where it is.
            EXPECT_EQ(vg.pvs[id2].device, "");
            EXPECT_EQ(vg.pvs[id2].state, PV_STATE_UNKNOWN);
        } else {
            EXPECT_EQ(vg.pvs[id2].device, d2);
            EXPECT_EQ(vg.pvs[id2].state, PV_ACTIVE);
        }
    }
}

// Two groups of one name (LVM2 warns, but lists both): the lookup by id never hands out the
// other group's metadata.
TEST_F(RealDiscovery, TwoGroupsOfOneNameNeverGiveEachOthersMetadata) {
    vbtest::LvmSandbox box;
    const std::string d1 = box.addDisk(), d2 = box.addDisk();
    const std::string name = box.vg("twin");
    shOk("pvcreate -q " + d1 + " " + d2);
    auto only = [](const std::string& device) {
        return " --config 'devices { global_filter = [ \"a|^" + device + "$|\", \"r|.*|\" ] }' ";
    };
    shOk("vgcreate -q" + only(d1) + name + " " + d1);
    shOk("lvcreate -q --driverloaded n -an -Zn -L 8M -n lv" + only(d1) + name);
    shOk("vgcreate -q" + only(d2) + name + " " + d2);
    std::set<std::string> ids;
    for (const std::string& row : {report("pvs --noheadings -o vg_uuid " + d1),
                                   report("pvs --noheadings -o vg_uuid " + d2)}) {
        ids.insert(row);
    }
    ASSERT_EQ(ids.size(), 2u);
    for (const std::string& id : ids) {
        SCOPED_TRACE(id);
        try {
            LVM::VG vg = LVM_linux_lvm().getVGByUUID(id.c_str());
            EXPECT_NE(vg.metadata.find("id = \"" + id + "\""), std::string::npos) << vg.metadata;
        } catch (const YbException& e) {
            EXPECT_EQ(e.getMessage().rfind("Could not read metadata for VG " + name, 0), 0u)
                << e.getMessage();
        }
    }
}

// A group without LVs is found by its id; the device of a snapshot's origin (an ordinary LV with
// data) and that of the snapshot itself lead to their group, whose LVs leave the snapshot out.
TEST_F(RealDiscovery, EveryGroupByItsIdAndEveryLvByItsDevice) {
    vbtest::LvmSandbox box;
    const std::string d1 = box.addDisk(), d2 = box.addDisk();
    const std::string empty = box.vg("nolvs"), snapped = box.vg("snapped");
    shOk("pvcreate -q " + d1 + " " + d2);
    shOk("vgcreate -q " + empty + " " + d1);
    shOk("vgcreate -q " + snapped + " " + d2);
    shOk("lvcreate -q --driverloaded n -an -Zn -L 8M -n origin " + snapped);
    shOk("lvcreate -q --driverloaded n -an -Zn -L 4M -n cow " + snapped);
    vbtest::applyGroup(
        box, snapped,
        vbtest::addSnapshot(vbtest::exportGroup(box, snapped), "origin", "cow", "snap"));
    // LVM2 shows the snapshot under a name of its own choosing: the row whose attributes begin
    // with "s".
    std::string snapshotName;
    std::istringstream rowsOut(shOk("lvs --noheadings -o lv_name,lv_attr " + snapped));
    for (std::string lv, attr; rowsOut >> lv >> attr;) {
        if (attr[0] == 's') snapshotName = lv;
    }
    ASSERT_FALSE(snapshotName.empty()) << shOk("lvs -a " + snapped);

    LVM::VG byId =
        LVM_linux_lvm().getVGByUUID(report("vgs --noheadings -o vg_uuid " + empty).c_str());
    EXPECT_EQ(byId.name, empty);
    EXPECT_EQ(byId.pvs.size(), 1u);
    EXPECT_TRUE(byId.lvs.empty());

    const std::string originNode = box.makeLVNode(snapped, "origin").path;
    const std::string snapshotNode = box.makeLVNode(snapped, snapshotName).path;
    for (const std::string& node : {originNode, snapshotNode}) {
        SCOPED_TRACE(node);
        LVM::VG vg = LVM_linux_lvm().getVGByLVDevice(node.c_str());
        EXPECT_EQ(vg.name, snapped);
        EXPECT_EQ(lvDevices(vg), std::set<std::string>{"/dev/" + snapped + "/origin"});
    }
}

}  // namespace
