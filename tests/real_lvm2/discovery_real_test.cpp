// Discovery against real LVM2 on loop devices: lookups by LV device and by group id, the
// captured backup, and a mirror made by editing metadata and applying it with vgcfgrestore.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "Fixtures.h"
#include "LVM/LVM.h"
#include "LvmSandbox.h"
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
    EXPECT_EQ(vg.metadata, vbtest::readFile("/etc/lvm/backup/" + name));
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
    EXPECT_EQ(byId.metadata, vbtest::readFile("/etc/lvm/backup/" + name));
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

}  // namespace
