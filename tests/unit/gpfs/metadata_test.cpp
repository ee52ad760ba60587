// The GPFS metadata text: splitting, reading back what discovery wrote, and every rejection.
#include <gtest/gtest.h>

#include <functional>

#include "GpfsSandbox.h"

namespace {

using gpfstest::Sandbox;
using Map = std::map<std::string, std::string>;

const char kParse[] =
    "void LVM_gpfs::parseMetadata(const std::string&, GPFSMetadata&, std::map<std::string, "
    "std::string>&, std::map<std::string, std::string>&)";

// `text` with the first `from` replaced by `to`.
std::string edited(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST(GpfsMetadata, ToKenizeDropsEmptyPiecesAndAppends) {
    struct Case {
        const char* text;
        const char* delimiter;
        std::vector<std::string> pieces;
    } cases[] = {
        {"a$$b$$c", "$$", {"a", "b", "c"}},
        {"$$a$$$$b$$", "$$", {"a", "b"}},
        {"abc", "$$", {"abc"}},
        {"", "$$", {}},
        {"$$$$", "$$", {}},
        {"a$$$b", "$$", {"a", "$b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<std::string> pieces{"kept"};
        LVM_gpfs::ToKenize(c.text, pieces, c.delimiter);
        std::vector<std::string> expected{"kept"};
        expected.insert(expected.end(), c.pieces.begin(), c.pieces.end());
        EXPECT_EQ(pieces, expected);
    }
}

TEST(GpfsMetadata, CapturedTextReadsBackByteForByte) {
    Sandbox box;
    gpfstest::Backend gpfs;
    gpfs.m_failureGroup = 4;
    GPFSMetadata md;
    Map pvMap, lvMap;
    gpfs.parseMetadata(vbtest::readFixture("gpfs/metadata/gpfs0-failure-group-1.txt"), md, pvMap,
                       lvMap);

    EXPECT_EQ(md.fsName, "gpfs0");
    EXPECT_EQ(md.fsId, gpfstest::kFsId);
    EXPECT_EQ(md.mmsdrfsData, Sandbox::mmsdrfs());
    EXPECT_EQ(md.mmfsNodeData, Sandbox::mmfsNodeData());
    EXPECT_EQ(md.cluster.clusterId, gpfstest::kClusterIdValue);
    EXPECT_EQ(md.cluster.nodes, (std::list<std::string>{"node1", "node2"}));
    EXPECT_EQ(pvMap, (Map{{"/dev/sdb", gpfstest::kPvSdb}, {"/dev/sdc", gpfstest::kPvSdc}}));
    EXPECT_EQ(lvMap, (Map{{"/dev/gpfs0", gpfstest::kFsId}}));
    EXPECT_EQ(gpfs.getUniqueId(), "1700000042654321_");
    EXPECT_EQ(md.failureGroup, 1);
    EXPECT_EQ(gpfs.m_failureGroup, 1);
    EXPECT_EQ(md.excludeList, "nsd3");
    EXPECT_EQ(gpfs.m_excludeList, "nsd3");
}

TEST(GpfsMetadata, WhatDiscoveryWritesParsesToWhatItFound) {
    for (const char* failureGroup : {"", "1"}) {
        SCOPED_TRACE(*failureGroup ? "failure group 1" : "every disk");
        Sandbox box(gpfstest::Layout::ServerBased);
        if (*failureGroup) box.config().set("~Oxbrook", "nGPFSFAILUREGROUPNUM_gpfs0", failureGroup);
        vbtest::FakeRunner fake;
        fake.replayFrom(box.replayDir());
        gpfstest::Backend writer;
        const LVM::VG vg = writer.getVGByLVDevice("/dev/gpfs0");

        gpfstest::Backend reader;
        GPFSMetadata md;
        Map pvMap, lvMap;
        reader.parseMetadata(vg.metadata, md, pvMap, lvMap);

        EXPECT_EQ(md.fsName, vg.name);
        EXPECT_EQ(md.fsId, vg.uuid);
        EXPECT_EQ(md.mmsdrfsData, vbtest::readFile(box.configFile("mmsdrfs")));
        EXPECT_EQ(md.mmfsNodeData, vbtest::readFile(box.configFile("mmfsNodeData")));
        EXPECT_EQ(md.cluster.clusterId, gpfstest::kClusterIdValue);
        EXPECT_EQ(md.cluster.nodes, (std::list<std::string>{"node1", "node2"}));
        Map found;
        for (const auto& entry : vg.pvs) found[entry.second.device] = entry.first;
        EXPECT_EQ(pvMap, found);
        EXPECT_EQ(lvMap, (Map{{"/dev/gpfs0", vg.uuid}}));
        EXPECT_EQ(reader.getUniqueId(), writer.getUniqueId());
        EXPECT_EQ(md.failureGroup, writer.m_failureGroup);
        EXPECT_EQ(md.excludeList, writer.m_excludeList);
        EXPECT_EQ(md.excludeList, *failureGroup ? "nsd3" : "");
    }
}

TEST(GpfsMetadata, EveryMissingOrMalformedRequiredPieceIsRefused) {
    const std::string good = vbtest::readFixture("gpfs/metadata/gpfs0-all-disks.txt");
    const std::string cluster = std::string(gpfstest::kClusterIdValue) + ":node1;node2;$$$YB$$$";
    const std::string pvs = "$$$PV$$$/dev/sdb:" + std::string(gpfstest::kPvSdb) + ";";
    struct Case {
        const char* name;
        std::string text;
        std::string message;
        std::string log;  // an error line that goes with it, if any
    } cases[] = {
        {"empty", "", "Error: metadata cannot be empty", ""},
        {"three file-system pieces", good.substr(0, good.find(cluster)),
         "Error: insufficient metadata for fs, list length",
         "Error: insufficient metadata for fs, list length= '3'"},
        {"name without identifier",
         edited(good, "gpfs0:0A000001:5F3A2C10$$$YB$$$", "gpfs0$$$YB$$$"),
         "Error: Metadata doesnt contain correct token to be parsed",
         "Error: Metadata doesnt contain correct token to be parsed"},
        {"no cluster id", edited(good, cluster, ":::$$$YB$$$"), "Error: clusterid cannot be empty",
         ""},
        {"no PV section", edited(edited(good, "$$$PV$$$", ""), "$$$PV$$$", ""),
         "Error: insufficient metadata for pv, list length",
         "Error: insufficient metadata for pv, list length= '1'"},
        {"empty PV section",
         edited(good, pvs + "/dev/sdc:" + gpfstest::kPvSdc + ";/dev/sdd:" + gpfstest::kPvSdd + ";",
                "$$$PV$$$"),
         "Error: insufficient metadata for pv, list length",
         "Error: insufficient metadata for pv, list length= '2'"},
        {"PV entry without colon",
         edited(good, std::string("/dev/sdc:") + gpfstest::kPvSdc, "/dev/sdc"),
         "Error: invalid PV:ID pair in metadata!!!/dev/sdc", ""},
        {"no LV section", edited(good, "$$$LV$$$/dev/gpfs0#0A000001:5F3A2C10$$$LV$$$", ""),
         "Error: insufficient metadata for lv, list length",
         "Error: insufficient metadata for lv, list length= '1'"},
        {"LV without hash", edited(good, "/dev/gpfs0#", "/dev/gpfs0"),
         "Error: invalid LV:ID pair in metadata!!!/dev/gpfs00A000001:5F3A2C10", ""},
        {"no unique id", edited(good, "$$$UID$$$1700000000123456$$$UID$$$", ""),
         "Error: insufficient metadata for unique Id, list length",
         "Error: insufficient metadata for unique Id, list length= '1'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        gpfstest::Backend gpfs;
        GPFSMetadata md;
        Map pvMap, lvMap;
        EXPECT_EQ(gpfstest::failure([&] { gpfs.parseMetadata(c.text, md, pvMap, lvMap); }, kParse),
                  c.message);
        if (!c.log.empty()) {
            EXPECT_EQ(box.log().count(" ERROR "), 1u);
            EXPECT_TRUE(box.log().contains(c.log));
        }
    }
}

TEST(GpfsMetadata, OptionalSectionsAndTheReadersOwnRules) {
    const std::string good = vbtest::readFixture("gpfs/metadata/gpfs0-failure-group-1.txt");
    struct Case {
        const char* name;
        std::string text;
        Map pvMapOnEntry;
        int failureGroup;  // of the record; the object's started at 7
        int objectGroup;
        std::string excluded;
        std::string log;
        std::function<void(const GPFSMetadata&, const Map&, const Map&, const LVM_gpfs&)> more;
    } cases[] = {
        {"no failure-group section",
         edited(good, "$$$FG$$$1$$$FG$$$", ""),
         {},
         -1,
         7,
         "nsd3",
         "Failure group not present in metadata. list length= '1'",
         nullptr},
        {"no exclude list",
         edited(good, "$$$ED$$$nsd3$$$ED$$$", ""),
         {},
         1,
         1,
         "",
         "Excluded disks list is not present, list length= '1'",
         nullptr},
        {"empty exclude list",
         edited(good, "$$$ED$$$nsd3$$$ED$$$", "$$$ED$$$$$$ED$$$"),
         {},
         1,
         1,
         "",
         "Excluded disks list is not present, list length= '1'",
         nullptr},
        {"failure group read as a leading integer",
         edited(good, "$$$FG$$$1$$$", "$$$FG$$$ +12x$$$"),
         {},
         12,
         12,
         "nsd3",
         "",
         nullptr},
        {"identifier holding colons, nodes with an empty entry",
         edited(edited(good, "gpfs0:0A000001:5F3A2C10$$$YB$$$", "gpfs0:0A:00:01$$$YB$$$"),
                ":node1;node2;", ":;node1;;node:2;"),
         {},
         1,
         1,
         "nsd3",
         "",
         [](const GPFSMetadata& md, const Map&, const Map&, const LVM_gpfs&) {
             EXPECT_EQ(md.fsId, "0A:00:01");
             EXPECT_EQ(md.cluster.nodes, (std::list<std::string>{"node1", "node:2"}));
         }},
        {"a PV map given keeps its entries and the section is not read",
         edited(good, std::string("/dev/sdc:") + gpfstest::kPvSdc, "/dev/sdc"),
         {{"/dev/sdx", "kept"}},
         1,
         1,
         "nsd3",
         "",
         [](const GPFSMetadata&, const Map& pvMap, const Map& lvMap, const LVM_gpfs& gpfs) {
             EXPECT_EQ(pvMap, (Map{{"/dev/sdx", "kept"}}));
             EXPECT_EQ(lvMap.size(), 1u);
             EXPECT_EQ(gpfs.getUniqueId(), "1700000042654321_");
         }},
        {"a repeated device: the last entry wins",
         edited(good, "/dev/sdc:", "/dev/sdb:"),
         {},
         1,
         1,
         "nsd3",
         "",
         [](const GPFSMetadata&, const Map& pvMap, const Map&, const LVM_gpfs&) {
             EXPECT_EQ(pvMap, (Map{{"/dev/sdb", gpfstest::kPvSdc}}));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        gpfstest::Backend gpfs;
        gpfs.m_failureGroup = 7;
        GPFSMetadata md;
        Map pvMap = c.pvMapOnEntry, lvMap;
        gpfs.parseMetadata(c.text, md, pvMap, lvMap);
        EXPECT_EQ(md.failureGroup, c.failureGroup);
        EXPECT_EQ(gpfs.m_failureGroup, c.objectGroup);
        EXPECT_EQ(md.excludeList, c.excluded);
        EXPECT_EQ(gpfs.m_excludeList, c.excluded);
        if (!c.log.empty()) {
            EXPECT_TRUE(box.log().contains(" ERROR job=42 " + std::string(kParse)));
            EXPECT_TRUE(box.log().contains(c.log));
        }
        if (c.more) c.more(md, pvMap, lvMap, gpfs);
    }
}

TEST(GpfsMetadata, PvIdsSplitIntoDiskIdsAndNsdVolumeIds) {
    Sandbox box;
    gpfstest::Backend gpfs;
    Map diskIds, nsds;
    EXPECT_TRUE(gpfs.parsePVId({{"/dev/sdb", gpfstest::kPvSdb}, {"/dev/sdc", "D2#nsd2:V:2"}},
                               diskIds, nsds));
    EXPECT_EQ(diskIds, (Map{{"/dev/sdb", "0A0000015F3A2B01"}, {"/dev/sdc", "D2"}}));
    EXPECT_EQ(nsds, (Map{{"nsd1", "0A0000015F3A2B01"}, {"nsd2", "V:2"}}));

    struct Case {
        const char* pvId;
        const char* log;
        Map diskIds;  // what was added before the failure
    } cases[] = {
        {"abc", "Error: invalid pvId pair!!!", {{"/dev/sda", "A"}}},
        {"D9#nsd9", "Error: invalid NSD:NSDID pair!!!", {{"/dev/sda", "A"}, {"/dev/sdz", "D9"}}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pvId);
        box.log().clear();
        Map ids, names;
        EXPECT_FALSE(gpfs.parsePVId({{"/dev/sda", "A#n:1"}, {"/dev/sdz", c.pvId}}, ids, names));
        EXPECT_EQ(ids, c.diskIds);
        EXPECT_EQ(names, (Map{{"n", "1"}}));
        EXPECT_TRUE(box.log().contains(" ERROR job=42 bool LVM_gpfs::parsePVId("));
        EXPECT_TRUE(box.log().contains(c.log));
    }
}

TEST(GpfsMetadata, TokensAndIntegersAreCutTheWayTheTextIsWritten) {
    using volbridge::gpfs::cutTokens;
    EXPECT_EQ(cutTokens("::id:a;;b:c;", ":", ";"), (std::vector<std::string>{"id", "a", "b:c"}));
    EXPECT_EQ(cutTokens("id", ":", ";"), (std::vector<std::string>{"id"}));
    EXPECT_EQ(cutTokens("id:", ":", ";"), (std::vector<std::string>{"id"}));
    EXPECT_TRUE(cutTokens(";;;", ";", ";").empty());

    struct Case {
        const char* text;
        int value;
    } cases[] = {{"1", 1},
                 {"-1", -1},
                 {"  +7x", 7},
                 {"x7", 0},
                 {"", 0},
                 {"\t-0", 0},
                 {"99999999999", 2147483647},
                 {"-99999999999", -2147483647 - 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(volbridge::gpfs::leadingInt(c.text), c.value);
    }
    EXPECT_EQ(volbridge::gpfs::failureGroupItem(-2147483647 - 1), "$$$FG$$$-21474836$$$FG$$$");
}

}  // namespace
