// Validation of parsed metadata and the shared tree functions.
#include <gtest/gtest.h>

#include "Fixtures.h"
#include "linux_lvm/lvm2_crosscheck.h"

namespace {

using Parser = LVM_linux_lvm_parser;
using Node = Parser::Node;
using namespace volbridge::lvm2;

TEST(CrossCheck, CapturedGroupsPassAndYieldTheirSections) {
    struct Case {
        const char* fixture;
        const char* vg;
        size_t pvs;
        size_t lvs;
    } cases[] = {
        {"lvm2/metadata/mixed-3pv.vg", "smp_mixed", 3, 9},
        {"lvm2/metadata/linear-2pv-3lv.vg", "smp_linear", 2, 3},
        {"lvm2/metadata/mirror.vg", "smp_mirror", 3, 7},
        {"lvm2/metadata/snapshot.vg", "smp_snap", 2, 3},
        {"lvm2/metadata/striped-2pv.vg", "smp_striped", 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture);
        Parser parser;
        Parser::NodeAutoPtr root(parser.parse(vbtest::readFixture(c.fixture).c_str()));
        Node *vg = nullptr, *pvs = nullptr, *lvs = nullptr;
        crossCheckMeta(root, parser, "metadata of VG x", &vg, &pvs, &lvs);
        ASSERT_NE(vg, nullptr);
        EXPECT_STREQ(vg->name, c.vg);
        size_t n = 0;
        for (Node* p = pvs->child; p; p = p->next) ++n;
        EXPECT_EQ(n, c.pvs);
        n = 0;
        for (Node* l = lvs->child; l; l = l->next) ++n;
        EXPECT_EQ(n, c.lvs);
    }
}

TEST(TreeHelpers, VisibilityOrphansAndStripes) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(vbtest::readFixture("lvm2/metadata/mirror.vg").c_str()));
    Node *vg = nullptr, *pvs = nullptr, *lvs = nullptr;
    crossCheckMeta(root, parser, "m", &vg, &pvs, &lvs);
    Node* image = Parser::findDirectChild(lvs, "mirlv_mimage_0");
    EXPECT_TRUE(isVisibleLV(Parser::findDirectChild(lvs, "mirlv"), parser));
    EXPECT_FALSE(isVisibleLV(image, parser));
    makeVisibleLV(image, parser);
    EXPECT_TRUE(isVisibleLV(image, parser));
    EXPECT_NE(Parser::dump(image, 0).find("status = [ \"READ\", \"WRITE\", \"VISIBLE\" ] \n"),
              std::string::npos);

    EXPECT_EQ(findPVofLV("mirlv_mimage_1", lvs, parser), (std::list<std::string>{"pv1"}));
    EXPECT_TRUE(findPVofLV("mirlv", lvs, parser).empty());  // mirror segments give nothing
    EXPECT_TRUE(findPVofLV("nosuch", lvs, parser).empty());

    std::list<std::string> orphans{"mirlv_mlog", "nosuch", "mirlv_mlog"};
    delOrphanLVs(&orphans, lvs, parser);
    EXPECT_TRUE(orphans.empty());
    EXPECT_EQ(Parser::findDirectChild(lvs, "mirlv_mlog"), nullptr);
}

TEST(TreeHelpers, MakeVisibleOnAnEmptyStatusStaysReadable) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse("lv { status = [] }"));
    makeVisibleLV(root, parser);
    EXPECT_EQ(Parser::dump(root, 0), "lv {\n    status = [ \"VISIBLE\" ] \n}\n");
}

}  // namespace
