// Our parser, cross-check and dump on metadata that real LVM2 wrote, and real LVM2 reading our
// dump back: for each kind of group, "vgcfgbackup" -> parse -> crossCheckMeta -> dump ->
// "vgcfgrestore -f" must be accepted, and LVM2's next export must describe the same group.
//
// With VOLBRIDGE_CAPTURE_METADATA=<dir> set, each case also writes what LVM2 exported before and
// after the round trip to <dir>/<case>.vg and <dir>/<case>-restored.vg; that is how the files
// under tests/fixtures/lvm2/metadata/roundtrip/ were made.
#include <gtest/gtest.h>

#include <fstream>
#include <list>
#include <sstream>
#include <utility>
#include <vector>

#include "Fixtures.h"
#include "LvmSandbox.h"
#include "MetadataTrees.h"
#include "linux_lvm/LVM_linux_lvm_parser.h"
#include "linux_lvm/lvm2_crosscheck.h"

namespace {

using Parser = LVM_linux_lvm_parser;
using vbtest::readFile;
using vbtest::shOk;

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

// What "vgcfgbackup" writes for the group now.
std::string exportGroup(const vbtest::LvmSandbox& box, const std::string& vg,
                        const std::string& file) {
    const std::string path = box.workDir() + "/" + file;
    shOk("vgcfgbackup -q -f " + path + " " + vg);
    return readFile(path);
}

// LV sections in the layout "vgcfgbackup" writes, for groups that lvcreate cannot make without
// device-mapper.
std::string lvSection(const std::string& name, const std::string& id, const std::string& segment) {
    return "\n\t\t" + name + " {\n\t\t\tid = \"" + id +
           "\"\n\t\t\tstatus = [\"READ\", \"WRITE\", \"VISIBLE\"]\n\t\t\tflags = []\n"
           "\t\t\tcreation_time = 1796859325\n\t\t\tcreation_host = \"vm\"\n"
           "\t\t\tsegment_count = 1\n\n\t\t\tsegment1 {\n" +
           segment + "\t\t\t}\n\t\t}\n";
}

// An exported group with the LVs `hidden` (old name, new name) renamed and no longer visible,
// and `extra` added at the end of its "logical_volumes". lvcreate refuses the names LVM2 gives
// the hidden parts of a mirror, so they are made under other names.
std::string editExport(std::string text,
                       const std::vector<std::pair<std::string, std::string>>& hidden,
                       const std::string& extra) {
    for (const auto& [from, to] : hidden) {
        const std::string head = "\n\t\t" + from + " {\n";
        const size_t section = text.find(head);
        const std::string visible = "status = [\"READ\", \"WRITE\", \"VISIBLE\"]";
        const size_t status = text.find(visible, section);
        EXPECT_NE(section, std::string::npos) << from;
        EXPECT_NE(status, std::string::npos) << from;
        if (section == std::string::npos || status == std::string::npos) return text;
        text.replace(status, visible.size(), "status = [\"READ\", \"WRITE\"]");
        text.replace(section, head.size(), "\n\t\t" + to + " {\n");
    }
    const size_t end = text.rfind("\t}\n\n}");  // the end of "logical_volumes"
    EXPECT_NE(end, std::string::npos);
    if (end != std::string::npos) text.insert(end, extra);
    return text;
}

long long seqno(const std::string& text) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(text.c_str()));
    Parser::Node* n = Parser::find(root, "seqno", false);
    return n && n->value ? static_cast<long long>(n->value->int_val) : -1;
}

struct Case {
    const char* name;
    unsigned disks;
    // Makes the group `vg` on the disks with real LVM2 commands.
    void (*make)(vbtest::LvmSandbox& box, const std::string& vg,
                 const std::vector<std::string>& disks);
};

// ctest lists each case by its name.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const char* const kLv = "lvcreate -q --driverloaded n -an -Zn ";

const Case kCases[] = {
    {"linear", 1,
     [](vbtest::LvmSandbox&, const std::string& vg, const std::vector<std::string>&) {
         shOk(std::string(kLv) + "-L 12M -n lin " + vg);
         shOk(std::string(kLv) + "-L 4M -n lin2 --addtag backup --addtag tier_1 " + vg);
     }},
    {"striped-2pv", 2,
     [](vbtest::LvmSandbox&, const std::string& vg, const std::vector<std::string>&) {
         shOk(std::string(kLv) + "-i 2 -I 64k -L 16M -n str " + vg);
     }},
    {"linear-two-segments", 2,
     [](vbtest::LvmSandbox&, const std::string& vg, const std::vector<std::string>& disks) {
         shOk(std::string(kLv) + "-L 8M -n two " + vg + " " + disks[0]);
         shOk("lvextend -q --driverloaded n -L +12M " + vg + "/two " + disks[1]);
     }},
    {"snapshot", 2,
     [](vbtest::LvmSandbox& box, const std::string& vg, const std::vector<std::string>& disks) {
         shOk(std::string(kLv) + "-L 16M -n origin " + vg + " " + disks[0]);
         shOk(std::string(kLv) + "-L 8M -n snap " + vg + " " + disks[1]);
         const std::string edited =
             editExport(exportGroup(box, vg, "snapshot-in.vg"), {{"snap", "snap"}},
                        lvSection("snapshot0", "QLLP7j-cLtx-7ox7-MMzg-8VZh-M3ax-aYDUxY",
                                  "\t\t\t\tstart_extent = 0\n\t\t\t\textent_count = 4\n\n"
                                  "\t\t\t\ttype = \"snapshot\"\n\t\t\t\tchunk_size = 8\n"
                                  "\t\t\t\torigin = \"origin\"\n"
                                  "\t\t\t\tcow_store = \"snap\"\n"));
         writeFile(box.workDir() + "/snapshot-edited.vg", edited);
         shOk("vgcfgrestore -q -f " + box.workDir() + "/snapshot-edited.vg " + vg);
     }},
    {"mirror", 3,
     [](vbtest::LvmSandbox& box, const std::string& vg, const std::vector<std::string>& disks) {
         shOk(std::string(kLv) + "-L 16M -n image0 " + vg + " " + disks[0]);
         shOk(std::string(kLv) + "-L 16M -n image1 " + vg + " " + disks[1]);
         shOk(std::string(kLv) + "-L 4M -n mirrorlog " + vg + " " + disks[2]);
         const std::string edited = editExport(
             exportGroup(box, vg, "mirror-in.vg"),
             {{"image0", "mirlv_mimage_0"},
              {"image1", "mirlv_mimage_1"},
              {"mirrorlog", "mirlv_mlog"}},
             lvSection("mirlv", "lCZvBP-lTB0-AXzp-bjG7-YjCo-32LX-3zhmqY",
                       "\t\t\t\tstart_extent = 0\n\t\t\t\textent_count = 4\n\n"
                       "\t\t\t\ttype = \"mirror\"\n\t\t\t\tmirror_count = 2\n"
                       "\t\t\t\tmirror_log = \"mirlv_mlog\"\n\t\t\t\tregion_size = 1024\n\n"
                       "\t\t\t\tmirrors = [\n\t\t\t\t\t\"mirlv_mimage_0\", 0,\n"
                       "\t\t\t\t\t\"mirlv_mimage_1\", 0\n\t\t\t\t]\n"));
         writeFile(box.workDir() + "/mirror-edited.vg", edited);
         shOk("vgcfgrestore -q -f " + box.workDir() + "/mirror-edited.vg " + vg);
     }},
};

class RealMetadataRoundTrip : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override { VB_REQUIRE_REAL_LVM(); }
};

TEST_P(RealMetadataRoundTrip, Lvm2AcceptsOurDumpAndExportsTheSameGroup) {
    const Case& c = GetParam();
    vbtest::LvmSandbox box;
    std::vector<std::string> disks;
    for (unsigned i = 0; i < c.disks; ++i) disks.push_back(box.addDisk());
    std::string all;
    for (const std::string& d : disks) all += " " + d;
    const std::string vg = box.vg("rt");
    shOk("pvcreate -q" + all);
    shOk("vgcreate -q " + vg + all);
    c.make(box, vg, disks);
    ASSERT_FALSE(::testing::Test::HasFailure());

    const std::string original = exportGroup(box, vg, "original.vg");
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(original.c_str()));
    Parser::Node *vgNode = nullptr, *pvs = nullptr, *lvs = nullptr;
    volbridge::lvm2::crossCheckMeta(root, parser, "metadata of VG " + vg, &vgNode, &pvs, &lvs);
    ASSERT_NE(vgNode, nullptr);
    EXPECT_EQ(vgNode->name, vg);
    const std::string ours = box.workDir() + "/ours.vg";
    writeFile(ours, Parser::dump(root, 0));

    shOk("vgcfgrestore -q -f " + ours + " " + vg);
    const std::string restored = exportGroup(box, vg, "restored.vg");
    EXPECT_EQ(vbtest::comparableMetadata(restored), vbtest::comparableMetadata(original));
    EXPECT_GT(seqno(restored), seqno(original));  // LVM2 wrote the group anew

    if (const char* dir = getenv("VOLBRIDGE_CAPTURE_METADATA")) {
        writeFile(std::string(dir) + "/" + c.name + ".vg", original);
        writeFile(std::string(dir) + "/" + c.name + "-restored.vg", restored);
    }
}

// What only our dump writes, read by real LVM2: a string with quotes and a final backslash (in
// the description, which LVM2 reads and then replaces; it writes an LV's creation_host without
// escapes, so that field cannot carry quotes through LVM2), and the empty "logical_volumes"
// section that removing a group's last LV leaves.
TEST(RealMetadataDump, Lvm2ReadsEscapedStringsAndEmptySections) {
    VB_REQUIRE_REAL_LVM();
    vbtest::LvmSandbox box;
    const std::string disk = box.addDisk();
    const std::string vg = box.vg("esc");
    shOk("pvcreate -q " + disk);
    shOk("vgcreate -q " + vg + " " + disk);
    shOk(std::string(kLv) + "-L 4M -n lin " + vg);

    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(exportGroup(box, vg, "original.vg").c_str()));
    Parser::Node* lvs = nullptr;
    volbridge::lvm2::crossCheckMeta(root, parser, "metadata of VG " + vg, nullptr, nullptr, &lvs);
    const std::string original = Parser::dump(root, 0);
    Parser::assign(Parser::find(root, "description", true), "a \"quoted\" text\\");
    std::string ours = Parser::dump(root, 0);
    ASSERT_NE(ours.find("description = \"a \\\"quoted\\\" text\\\\\"\n"), std::string::npos);
    writeFile(box.workDir() + "/escaped.vg", ours);
    shOk("vgcfgrestore -q -f " + box.workDir() + "/escaped.vg " + vg);
    EXPECT_EQ(vbtest::comparableMetadata(exportGroup(box, vg, "escaped-restored.vg")),
              vbtest::comparableMetadata(original));

    std::list<std::string> all{"lin"};
    volbridge::lvm2::delOrphanLVs(&all, lvs, parser);
    ours = Parser::dump(root, 0);
    writeFile(box.workDir() + "/empty.vg", ours);
    shOk("vgcfgrestore -q -f " + box.workDir() + "/empty.vg " + vg);
    EXPECT_NE(ours.find("    logical_volumes {\n    }\n"), std::string::npos);
    EXPECT_EQ(exportGroup(box, vg, "empty-restored.vg").find("logical_volumes"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Groups, RealMetadataRoundTrip, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name) {
                                 if (ch == '-') ch = '_';
                             }
                             return name;
                         });

}  // namespace
