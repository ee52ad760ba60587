// Validation of parsed metadata and the shared tree functions.
#include <gtest/gtest.h>

#include <chrono>

#include "Fixtures.h"
#include "host/HostSeams.h"
#include "host/YbException.h"
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
        {"lvm2/metadata/types/raid1.vg", "exp19", 3, 5},
        {"lvm2/metadata/types/raid5-raid10-raid0.vg", "exp19", 3, 19},
        {"lvm2/metadata/types/thin.vg", "exp19", 3, 7},
        {"lvm2/metadata/types/cache.vg", "exp19", 3, 6},
        {"lvm2/metadata/types/vdo.vg", "exp19", 3, 3},
        {"lvm2/metadata/types/integrity-writecache-error-zero.vg", "exp19", 3, 8},
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

// Pieces of small groups: two PVs, and LVs built from one segment each unless said otherwise.
const char* const kPvs =
    "pv0 { id = \"P0\" device = \"/dev/a\" }\npv1 { id = \"P1\" device = \"/dev/b\" }\n";

std::string group(const std::string& pvs, const std::string& lvs) {
    return "vg {\nid = \"V\"\nphysical_volumes {\n" + pvs + "}\nlogical_volumes {\n" + lvs +
           "}\n}\n";
}

std::string lv(const std::string& name, const std::string& segments, int count = 1,
               const std::string& id = "") {
    return name + " {\nid = \"" + (id.empty() ? name + "-id" : id) +
           "\"\nstatus = [\"READ\", \"VISIBLE\"]\nsegment_count = " + std::to_string(count) + "\n" +
           segments + "}\n";
}

std::string striped(const std::string& stripes = "[\"pv0\", 0]") {
    return "segment1 { type = \"striped\" stripes = " + stripes + " }\n";
}

std::string snapshot(const std::string& body) {
    return "segment1 { type = \"snapshot\" " + body + " }\n";
}

std::string mirror(const std::string& body) {
    return "segment1 { type = \"mirror\" " + body + " }\n";
}

std::string segment(const std::string& type, const std::string& body) {
    return "segment1 { type = \"" + type + "\" " + body + " }\n";
}

const std::string kImages = lv("img0", striped()) + lv("img1", striped("[\"pv1\", 0]"));

TEST(CrossCheck, EveryRuleAndItsMessage) {
    const std::string X = " in metadata of VG t";
    struct Case {
        const char* name;
        std::string text;
        std::string message;
        int line;
    } cases[] = {
        {"no section with an id", "a { b = 1 }\nid = \"x\"\n", "Can't find VG node", 281},
        {"id that is no string", "vg { id = 5 }", "Can't find VG node", 281},
        {"no physical_volumes", "vg { id = \"V\" logical_volumes { } }",
         "Can't find physical volumes", 285},
        {"PV without id", group("pv0 { device = \"/dev/a\" }\n", ""),
         "Can't find UUID in the description of PV [pv0]", 291},
        {"PV without device", group("pv0 { id = \"P0\" device = 7 }\n", ""),
         "Can't find device path in the description of PV [pv0]", 295},
        {"PV name twice",
         group(std::string(kPvs) + "pv0 { id = \"P2\" device = \"/dev/c\" }\n", ""),
         "Duplicate PV [pv0]", 298},
        {"PV id twice", group(std::string(kPvs) + "pv2 { id = \"P1\" device = \"/dev/c\" }\n", ""),
         "Duplicate PV UUID [P1]", 300},
        {"no logical_volumes", "vg { id = \"V\" physical_volumes { " + std::string(kPvs) + " } }",
         "Can't find logical volumes", 307},
        {"LV without id", group(kPvs, "lv { status = [\"READ\"] segment_count = 0 }\n"),
         "Can't find UUID in the description of LV [lv]", 313},
        {"LV status no array",
         group(kPvs, "lv { id = \"L\" status = \"READ\" segment_count = 0 }\n"),
         "Can't find status in the description of LV [lv]", 317},
        {"LV segment_count no integer",
         group(kPvs, "lv { id = \"L\" status = [] segment_count = \"1\" }\n"),
         "Can't find segment_count in the description of LV [lv]", 321},
        {"segment without type", group(kPvs, lv("lv", "segment1 { stripes = [\"pv0\", 0] }\n")),
         "Can't find type of segment1 of LV [lv]", 329},
        {"striped without stripes", group(kPvs, lv("lv", "segment1 { type = \"striped\" }\n")),
         "Can't find stripes of segment1 of LV [lv]", 335},
        {"stripes no array", group(kPvs, lv("lv", striped("\"pv0\""))),
         "Can't find stripes of segment1 of LV [lv]", 335},
        {"stripe on an unknown PV", group(kPvs, lv("lv", striped("[\"pv0\", 0, \"pv9\", 0]"))),
         "One stripe of segment1 of LV [lv] refers to an unknown PV [pv9]", 339},
        {"snapshot without origin",
         group(kPvs, kImages + lv("s", snapshot("cow_store = \"img1\""))),
         "Can't find origin of segment1 of LV [s]", 347},
        {"snapshot without cow_store",
         group(kPvs, kImages + lv("s", snapshot("origin = \"img0\""))),
         "Can't find cow_store of segment1 of LV [s]", 350},
        {"snapshot of an unknown origin",
         group(kPvs, kImages + lv("s", snapshot("origin = \"nosuch\" cow_store = \"img1\""))),
         "origin of segment1 of LV [s] refers to an unknown LV [nosuch]", 353},
        {"snapshot on an unknown cow_store",
         group(kPvs, kImages + lv("s", snapshot("origin = \"img0\" cow_store = \"nosuch\""))),
         "cow_store of segment1 of LV [s] refers to an unknown LV [nosuch]", 357},
        {"snapshot with two segments",
         group(kPvs, kImages + lv("s", snapshot("origin = \"img0\" cow_store = \"img1\""), 2)),
         "Snapshot LV [s] has 2 segments instead of 1", 364},
        {"mirror log unknown",
         group(kPvs, kImages + lv("m", mirror("mirror_log = \"nosuch\" mirrors = [\"img0\", 0]"))),
         "mirror_log of segment1 of LV [m] refers to an unknown LV [nosuch]", 374},
        {"mirror without mirrors", group(kPvs, kImages + lv("m", mirror("mirror_count = 2"))),
         "Can't find mirrors of segment1 of LV [m]", 380},
        {"mirror side unknown",
         group(kPvs, kImages + lv("m", mirror("mirrors = [\"img0\", 0, \"nosuch\", 0]"))),
         "One mirror side of segment1 of LV [m] refers to an unknown LV [nosuch]", 384},
        {"mirror with two segments",
         group(kPvs, kImages + lv("m", mirror("mirrors = [\"img0\", 0, \"img1\", 0]"), 3)),
         "Mirror LV [m] has 3 segments instead of 1", 391},
        {"raid without its images", group(kPvs, kImages + lv("r", segment("raid1", ""))),
         "Can't find raids of segment1 of LV [r]", 0},
        {"raid image unknown",
         group(kPvs, kImages + lv("r", segment("raid5_ls", "raids = [\"img0\", \"nosuch\"]"))),
         "One raid image of segment1 of LV [r] refers to an unknown LV [nosuch]", 0},
        {"raid0 image unknown",
         group(kPvs, kImages + lv("r", segment("raid0", "raid0_lvs = [\"img0\", \"nosuch\"]"))),
         "One raid image of segment1 of LV [r] refers to an unknown LV [nosuch]", 0},
        {"thin pool without metadata",
         group(kPvs, kImages + lv("p", segment("thin-pool", "pool = \"img0\""))),
         "Can't find metadata of segment1 of LV [p]", 0},
        {"thin pool data unknown",
         group(kPvs,
               kImages + lv("p", segment("thin-pool", "metadata = \"img0\" pool = \"nosuch\""))),
         "pool of segment1 of LV [p] refers to an unknown LV [nosuch]", 0},
        {"thin LV without a pool", group(kPvs, lv("t", segment("thin", "device_id = 1"))),
         "Can't find thin_pool of segment1 of LV [t]", 0},
        {"thin snapshot of an unknown origin",
         group(kPvs, kImages + lv("t", segment("thin", "thin_pool = \"img0\" origin = \"x\""))),
         "origin of segment1 of LV [t] refers to an unknown LV [x]", 0},
        {"thin external origin that is no name",
         group(kPvs,
               kImages + lv("t", segment("thin", "thin_pool = \"img0\" external_origin = 3"))),
         "Can't find external_origin of segment1 of LV [t]", 0},
        {"cached LV without its origin",
         group(kPvs, kImages + lv("c", segment("cache", "cache_pool = \"img0\""))),
         "Can't find origin of segment1 of LV [c]", 0},
        {"writecache unknown",
         group(kPvs,
               kImages + lv("w", segment("writecache", "writecache = \"x\" origin = \"img0\""))),
         "writecache of segment1 of LV [w] refers to an unknown LV [x]", 0},
        {"cache pool data unknown (type with flags)",
         group(kPvs, kImages + lv("cp", segment("cache-pool+METADATA_FORMAT",
                                                "data = \"x\" metadata = \"img0\""))),
         "data of segment1 of LV [cp] refers to an unknown LV [x]", 0},
        {"VDO LV without its pool", group(kPvs, lv("v", segment("vdo", "vdo_offset = 0"))),
         "Can't find vdo_pool of segment1 of LV [v]", 0},
        {"VDO pool data unknown", group(kPvs, lv("vp", segment("vdo-pool", "data = \"x\""))),
         "data of segment1 of LV [vp] refers to an unknown LV [x]", 0},
        {"integrity metadata unknown",
         group(kPvs, kImages + lv("i", segment("integrity", "origin = \"img0\" meta_dev = \"x\""))),
         "meta_dev of segment1 of LV [i] refers to an unknown LV [x]", 0},
        {"segment_count differs",
         group(kPvs, lv("lv", striped() + "segment2 { type = \"striped\" stripes = [] }\n", 3)),
         "Invalid number of segments (2 instead of 3) in LV [lv]", 406},
        {"LV name twice", group(kPvs, lv("a", striped()) + lv("a", striped(), 1, "other")),
         "Duplicate LV [a]", 411},
        {"LV id twice", group(kPvs, lv("a", striped(), 1, "same") + lv("b", striped(), 1, "same")),
         "Duplicate LV UUID [same]", 413},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.message += X;
        Parser parser;
        Parser::NodeAutoPtr root(parser.parse(c.text.c_str()));
        Node* const untouched = reinterpret_cast<Node*>(&parser);
        Node *vg = untouched, *pvs = untouched, *lvs = untouched;
        try {
            crossCheckMeta(root, parser, "metadata of VG t", &vg, &pvs, &lvs);
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getFuncName(), "crossCheckMeta");
            EXPECT_EQ(e.getMessage(), c.message);
            EXPECT_EQ(e.getFileName(), "LVM_linux_lvm");
            if (c.line != 0) {
                EXPECT_EQ(e.getLineNum(), c.line);
            }
            EXPECT_EQ(e.getErrno(), -1);
        }
        EXPECT_TRUE(vg == untouched && pvs == untouched && lvs == untouched);
    }
}

TEST(CrossCheck, WhatPasses) {
    struct Case {
        const char* name;
        std::string text;
    } cases[] = {
        {"mirror without a log", group(kPvs, kImages + lv("m", mirror("mirrors = [\"img0\", 0]")))},
        {"references to LVs that come later",
         group(kPvs, lv("s", snapshot("origin = \"img0\" cow_store = \"img1\"")) + kImages)},
        {"only string stripes name PVs", group(kPvs, lv("lv", striped("[\"pv1\", 7, 8, 9]")))},
        {"children that are not segment sections are not counted",
         group(kPvs, lv("lv", striped() + "segment_extra = 1\ntags { a = 1 }\n"))},
        {"a group without LVs", group(kPvs, "")},
        {"only the first group is checked", "x = 1\n" + group(kPvs, "") + "other { id = \"W\" }\n"},
        {"raid0 of images only, and a raid1 without metadata LVs",
         group(kPvs, kImages + lv("r0", segment("raid0", "raid0_lvs = [\"img0\", \"img1\"]")) +
                         lv("r1", segment("raid1", "raids = [\"img0\", \"img1\"]")))},
        {"thin LV without origin, error and zero LVs",
         group(kPvs, kImages + lv("t", segment("thin", "thin_pool = \"img0\" device_id = 1")) +
                         lv("e", segment("error", "")) + lv("z", segment("zero", "")))},
        {"integrity without metadata LV",
         group(kPvs, kImages + lv("i", segment("integrity", "origin = \"img0\"")))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parser parser;
        Parser::NodeAutoPtr root(parser.parse(c.text.c_str()));
        Node *vg = nullptr, *pvs = nullptr, *lvs = nullptr;
        EXPECT_NO_THROW(crossCheckMeta(root, parser, "t", &vg, &pvs, &lvs));
        ASSERT_NE(vg, nullptr);
        EXPECT_STREQ(vg->name, "vg");
        EXPECT_EQ(pvs, Parser::findDirectChild(vg, "physical_volumes"));
        EXPECT_EQ(lvs, Parser::findDirectChild(vg, "logical_volumes"));
        EXPECT_NO_THROW(crossCheckMeta(root, parser, "t", nullptr, nullptr, nullptr));
    }
}

// A type from a later LVM2 does not make the group unusable: it is logged once and its LVs are
// taken to use whatever their segments name.
TEST(CrossCheck, UnknownTypeIsLoggedOnceAndPasses) {
    const std::string text =
        group(kPvs, kImages + lv("f1", segment("future", "a = \"img0\" b = [\"pv1\", 0]")) +
                        lv("f2", segment("future", "")));
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(text.c_str()));
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    Node *pvs = nullptr, *lvs = nullptr;
    EXPECT_NO_THROW(crossCheckMeta(root, parser, "t", nullptr, &pvs, &lvs));
    EXPECT_EQ(log.count("the segment type \"future\", which this library does not know"), 1u);
    LvUsage usage(pvs, lvs);
    EXPECT_EQ(usage.uses("f1"), (std::vector<std::string>{"img0"}));
    EXPECT_EQ(usage.pvs("f1"), (std::set<std::string>{"pv0", "pv1"}));
}

// What each LV uses, on groups LVM2 wrote: through raid images and their metadata LVs, pools and
// their data and metadata LVs, thin origins, cache pools and origins.
TEST(LvUsage, EveryLvUsesThePvsOfWhatItDependsOn) {
    struct Case {
        const char* fixture;
        const char* lv;
        std::set<std::string> pvs;
        std::vector<std::string> uses;
    } cases[] = {
        {"types/raid1.vg",
         "r1",
         {"pv0", "pv1"},
         {"r1_rmeta_0", "r1_rimage_0", "r1_rmeta_1", "r1_rimage_1"}},
        {"types/raid1.vg", "r1_rimage_1", {"pv1"}, {}},
        {"types/raid5-raid10-raid0.vg", "r10", {"pv0", "pv1", "pv2"}, {}},
        {"types/raid5-raid10-raid0.vg", "r0", {"pv0", "pv1"}, {"r0_rimage_0", "r0_rimage_1"}},
        {"types/thin.vg", "pool", {"pv0", "pv1"}, {"pool_tmeta", "pool_tdata"}},
        {"types/thin.vg", "thin2", {"pv0", "pv1"}, {"pool"}},
        {"types/thin.vg", "snap1", {"pv0", "pv1"}, {"pool", "thin1"}},
        {"types/cache.vg", "cached", {"pv0", "pv1"}, {"cpool", "cached_corig"}},
        {"types/vdo.vg", "vlv", {"pv0"}, {"vpool"}},
        {"types/integrity-writecache-error-zero.vg",
         "ilv",
         {"pv0", "pv1"},
         {"ilv_iorig", "ilv_imeta"}},
        {"types/integrity-writecache-error-zero.vg", "err", {}, {}},
        {"mirror.vg",
         "mirlv",
         {"pv0", "pv1", "pv2"},
         {"mirlv_mlog", "mirlv_mimage_0", "mirlv_mimage_1"}},
        {"snapshot.vg", "snapshot0", {"pv0", "pv1"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + " " + c.lv);
        Parser parser;
        Parser::NodeAutoPtr root(
            parser.parse(vbtest::readFixture(std::string("lvm2/metadata/") + c.fixture).c_str()));
        Node *pvs = nullptr, *lvs = nullptr;
        crossCheckMeta(root, parser, "t", nullptr, &pvs, &lvs);
        LvUsage usage(pvs, lvs);
        EXPECT_EQ(usage.pvs(c.lv), c.pvs);
        if (!c.uses.empty()) {
            EXPECT_EQ(usage.uses(c.lv), c.uses);
        }
    }
}

// A crafted chain of 100,000 LVs, each naming the next: the usage is read without recursion.
TEST(LvUsage, LongChainsAndCycles) {
    std::string lvs;
    const int kChain = 100000;
    for (int i = 0; i < kChain; ++i) {
        lvs += lv("l" + std::to_string(i),
                  i + 1 < kChain ? segment("thin", "thin_pool = \"l" + std::to_string(i + 1) + "\"")
                                 : striped("[\"pv1\", 0]"));
    }
    lvs += lv("a", segment("thin", "thin_pool = \"b\"")) +
           lv("b", segment("thin", "thin_pool = \"a\""));
    const std::string text = group(kPvs, lvs);
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(text.c_str()));
    Node *pvs = nullptr, *lvsNode = nullptr;
    crossCheckMeta(root, parser, "t", nullptr, &pvs, &lvsNode);
    LvUsage usage(pvs, lvsNode);
    EXPECT_EQ(usage.pvs("l0"), (std::set<std::string>{"pv1"}));
    EXPECT_TRUE(usage.pvs("a").empty());
    EXPECT_EQ(usage.usedBy("l5"), (std::vector<std::string>{"l4"}));
}

// A group of 50,000 LVs that refer to each other, with names sharing a long prefix. A check that
// compares every name or id with every other takes minutes on it; a linear one well under a
// second, also in the sanitizer build.
TEST(CrossCheck, FiftyThousandLvsInLinearTime) {
    const int kLvs = 50000;
    std::string pvs;
    for (int p = 0; p < 1000; ++p) {
        pvs += "pv" + std::to_string(p) + " { id = \"pv-id-" + std::to_string(p) +
               "\" device = \"/dev/d" + std::to_string(p) + "\" }\n";
    }
    const std::string prefix = "logical_volume_of_the_backup_agent_";
    auto name = [&](int i) { return prefix + std::to_string(i); };
    std::string lvs;
    lvs.reserve(kLvs * 300u);
    for (int i = 0; i < kLvs; ++i) {
        const std::string pv = "\"pv" + std::to_string(i % 1000) + "\"";
        if (i % 5 == 3) {  // a snapshot of the LV before, its cow store the one before that
            lvs +=
                lv(name(i),
                   snapshot("origin = \"" + name(i - 1) + "\" cow_store = \"" + name(i - 2) + "\""),
                   1, prefix + "id-" + std::to_string(i));
        } else if (i % 5 == 4) {  // a mirror of LVs at both ends of the section
            lvs += lv(name(i),
                      mirror("mirror_log = \"" + name(kLvs - i) + "\" mirrors = [\"" + name(i / 2) +
                             "\", 0, \"" + name(kLvs - 1 - i / 2) + "\", 0]"),
                      1, prefix + "id-" + std::to_string(i));
        } else {
            lvs += lv(name(i), striped("[" + pv + ", 0, " + pv + ", 100]"), 1,
                      prefix + "id-" + std::to_string(i));
        }
    }
    const std::string text = group(pvs, lvs);
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(text.c_str()));

    const auto start = std::chrono::steady_clock::now();
    Node* lvsNode = nullptr;
    crossCheckMeta(root, parser, "big", nullptr, nullptr, &lvsNode);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(2))
        << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms";
    EXPECT_EQ(Parser::findDirectChild(lvsNode, name(kLvs - 1).c_str())->next, nullptr);
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

TEST(TreeHelpers, VisibilityOfStatusValues) {
    struct Case {
        const char* name;
        const char* lv;
        bool visible;
        const char* afterMakeVisible;
    } cases[] = {
        {"visible", R"(lv { status = ["VISIBLE", "READ"] })", true,
         "lv {\n    status = [ \"VISIBLE\", \"READ\" ] \n}\n"},
        {"not visible", R"(lv { status = ["READ"] })", false,
         "lv {\n    status = [ \"READ\", \"VISIBLE\" ] \n}\n"},
        // "[ , "VISIBLE" ]" would be unreadable
        {"empty status", "lv { status = [] }", false, "lv {\n    status = [ \"VISIBLE\" ] \n}\n"},
        {"status no array", R"(lv { status = "VISIBLE" })", false, nullptr},
        {"no status", "lv { id = 1 }", false, "lv {\n    id = 1\n}\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parser parser;
        Parser::NodeAutoPtr root(parser.parse(c.lv));
        EXPECT_EQ(isVisibleLV(root, parser), c.visible);
        if (!c.afterMakeVisible) continue;
        makeVisibleLV(root, parser);
        EXPECT_EQ(Parser::dump(root, 0), c.afterMakeVisible);
        EXPECT_EQ(isVisibleLV(root, parser), Parser::findDirectChild(root, "status") != nullptr);
    }
}

TEST(TreeHelpers, DelOrphanLVsRemovesOneLvPerListedName) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse("lvs { a = 1 b = 2 a = 3 c = 4 }"));
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 2);
    std::list<std::string> names{"a", "a", "a", "c", "nosuch"};
    delOrphanLVs(&names, root, parser);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(Parser::dump(root, 0), "lvs {\n    b = 2\n}\n");
    EXPECT_EQ(log.count("delOrphanLVs"), 3u);
    EXPECT_EQ(log.count("Removing orphaned LV [a]"), 2u);
    EXPECT_EQ(log.count("Removing orphaned LV [c]"), 1u);
}

// Names and values quoted from metadata show control characters escaped, so that a message (or
// the terminal it is printed on) never carries them raw.
TEST(CrossCheck, MessagesEscapeControlCharactersOfTheMetadata) {
    struct Case {
        const char* name;
        std::string text;
        std::string message;
    } cases[] = {
        {"LV name", group(kPvs, "a\x1b[2J {\nstatus = [\"READ\"]\n}\n"),
         "Can't find UUID in the description of LV [a\\x1b[2J] in passed metadata"},
        {"reference of a raid",
         group(kPvs, lv("a", "segment1 {\ntype = \"raid1\"\nraids = [\"i\x07\"]\n}\n")),
         "One raid image of segment1 of LV [a] refers to an unknown LV [i\\x07] in passed metadata"},
        {"reference",
         group(kPvs, lv("a", "segment1 {\ntype = \"striped\"\nstripes = [\"pv\x01\", 0]\n}\n")),
         "One stripe of segment1 of LV [a] refers to an unknown PV [pv\\x01] in passed metadata"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parser parser;
        Parser::NodeAutoPtr root(parser.parse(c.text.c_str()));
        try {
            crossCheckMeta(root, parser, "passed metadata");
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getMessage(), c.message);
        }
    }
}

}  // namespace
