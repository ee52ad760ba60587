// The captured metadata: reading it back, its escaped form, volume descriptions cut into
// records and reduced to chosen plexes, and description files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "VxvmSandbox.h"

namespace {

using vbtest::kUdid1;
using vbtest::kUdid2;
using vbtest::kUdid3;
using vbtest::readFixture;

class VxvmMetadata : public vbtest::VxvmSandbox {};

TEST_F(VxvmMetadata, DiscoveryTextReadsBackToWhatDiscoverySaw) {
    LVM_vxvm backend;
    LVM_vxvm::VXDG dg;
    backend.getFromMetadata(readFixture("vxvm/metadata/datadg.txt").c_str(), dg);

    EXPECT_EQ(dg.name, "datadg");
    EXPECT_EQ(dg.dgid, vbtest::kDgid);
    EXPECT_FALSE(dg.shared);
    EXPECT_EQ(dg.cluster_modes, "");
    ASSERT_EQ(dg.pvs.size(), 3u);
    EXPECT_EQ(dg.pvs["datadg01"].uuid, kUdid1);
    EXPECT_EQ(dg.pvs["datadg03"].uuid, kUdid3);

    ASSERT_EQ(dg.lvs.size(), 2u);
    const LVM_vxvm::VXLV& vol01 = dg.lvs["vol01"];
    EXPECT_EQ(vol01.uuid, vbtest::kVol01Guid);
    EXPECT_EQ(vol01.pvs, (std::list<std::string>{kUdid1, kUdid2}));
    // The records, concatenated in order, are the description again.
    const std::string description = readFixture("vxvm/vxprint_-g_datadg_-mr_-v_vol01.txt");
    EXPECT_EQ(vol01.vol_record + vol01.plex_records.at("vol01-01") +
                  vol01.sd_records.at("datadg01-01") + vol01.plex_records.at("vol01-02") +
                  vol01.sd_records.at("datadg02-01"),
              description);
    EXPECT_EQ(vol01.vol_record.rfind("vol vol01\n\tuse_type=fsgen\n", 0), 0u);
    EXPECT_EQ(vol01.plex_sds.at("vol01-01"), (std::list<std::string>{"datadg01-01"}));
    EXPECT_EQ(vol01.plex_sds.at("vol01-02"), (std::list<std::string>{"datadg02-01"}));
    EXPECT_EQ(vol01.sd_da_names.at("datadg01-01"), "emc0_0a1b");
    EXPECT_EQ(vol01.sd_da_names.at("datadg02-01"), "emc0_0a1c");

    const LVM_vxvm::VXLV& vol02 = dg.lvs["vol02"];
    EXPECT_EQ(vol02.plex_sds.at("vol02-01"),
              (std::list<std::string>{"datadg02-02", "datadg03-01"}));
    EXPECT_EQ(vol02.sd_da_names.size(), 2u);
    EXPECT_EQ(vol02.pvs, (std::list<std::string>{kUdid2, kUdid3}));
}

TEST_F(VxvmMetadata, RecordsOfEveryKind) {
    struct Case {
        const char* name;
        std::string text;
        std::function<void(const LVM_vxvm::VXDG&)> check;
    };
    const Case cases[] = {
        {"empty records and fields are skipped", "dg|g1|id1;;pv|d1|u1;",
         [](const LVM_vxvm::VXDG& dg) {
             EXPECT_EQ(dg.name, "g1");
             EXPECT_EQ(dg.dgid, "id1");
             EXPECT_FALSE(dg.shared);
             ASSERT_EQ(dg.pvs.size(), 1u);
             EXPECT_EQ(dg.pvs.at("d1").uuid, "u1");
         }},
        {"shared group, later records win",
         "dg|g1|id1;sdg||g2|id2;CA|a=sw;CA|b=sw;pv|d|u1;pv|d|u2;",
         [](const LVM_vxvm::VXDG& dg) {
             EXPECT_EQ(dg.name, "g2");
             EXPECT_EQ(dg.dgid, "id2");
             EXPECT_TRUE(dg.shared);
             EXPECT_EQ(dg.cluster_modes, "b=sw");
             EXPECT_EQ(dg.pvs.at("d").uuid, "u2");
         }},
        {"unknown kinds are ignored, udids append",
         "xx|1;lv|v1|g1|vol v1\n;lv_to_pv|v1|u1|u2;"
         "lv_to_pv|v1|u3;",
         [](const LVM_vxvm::VXDG& dg) {
             EXPECT_EQ(dg.lvs.at("v1").pvs, (std::list<std::string>{"u1", "u2", "u3"}));
             EXPECT_EQ(dg.lvs.at("v1").vol_record, "vol v1\n");
         }},
        {"empty text", "", [](const LVM_vxvm::VXDG& dg) { EXPECT_TRUE(dg.name.empty()); }},
    };
    LVM_vxvm backend;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LVM_vxvm::VXDG dg;
        backend.getFromMetadata(c.text.c_str(), dg);
        c.check(dg);
    }
    LVM_vxvm::VXDG dg;
    backend.getFromMetadata(nullptr, dg);
    EXPECT_TRUE(dg.name.empty());

    const std::pair<const char*, const char*> refused[] = {
        {"lv_to_pv|v1|u1|u2;",
         "Error: LV to PV map for volume 'v1' is not present in the metadata!"},
        {"lv|v1|g1;", "Error: VXVM metadata for volume 'v1' is NULL!"},
        {"lv|v1|g1||;", "Error: VXVM metadata for volume 'v1' is NULL!"},
    };
    for (const auto& [text, message] : refused) {
        SCOPED_TRACE(text);
        LVM_vxvm::VXDG some;
        try {
            backend.getFromMetadata(text, some);
            ADD_FAILURE() << "accepted";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getMessage(), message);
            EXPECT_EQ(e.getFuncName(), "LVM_vxvm::getFromMetadata");
        }
    }
}

// A description whose comments hold the capture's separators and a backslash.
const char kOddDescription[] =
    "vol odd\n\tcomment=\"a;b|c\\d\n\tputil0=\"x\\;y\\\n\tplex=odd-01\nplex odd-01\n"
    "\tcomment=\"|\n\tsd=dm1-01:0\nsd dm1-01\n\tda_name=emc0_0001\n";

TEST_F(VxvmMetadata, SeparatorsInsideFieldsRoundTrip) {
    std::string text;
    volbridge::vxvm::appendCapturedRecord(text, {"dg", "dg\\1", "id1"});
    volbridge::vxvm::appendCapturedRecord(text, {"pv", "dm1", "u\\1"});
    // Plain until a field holds ";" or "|".
    EXPECT_EQ(text, "dg|dg\\1|id1;pv|dm1|u\\1;");
    volbridge::vxvm::appendCapturedRecord(text, {"lv", "odd", "g-1", kOddDescription});
    volbridge::vxvm::appendCapturedRecord(text, {"lv_to_pv", "odd", "u\\1", "u;2"});
    EXPECT_EQ(
        text.rfind(
            "escaped;dg|dg\\\\1|id1;pv|dm1|u\\\\1;lv|odd|g-1|vol odd\n\tcomment=\"a\\;b\\|c\\\\d\n",
            0),
        0u);

    LVM_vxvm backend;
    LVM_vxvm::VXDG dg;
    backend.getFromMetadata(text.c_str(), dg);
    EXPECT_EQ(dg.name, "dg\\1");
    EXPECT_EQ(dg.pvs.at("dm1").uuid, "u\\1");
    const LVM_vxvm::VXLV& odd = dg.lvs.at("odd");
    EXPECT_EQ(odd.uuid, "g-1");
    EXPECT_EQ(odd.vol_record + odd.plex_records.at("odd-01") + odd.sd_records.at("dm1-01"),
              kOddDescription);
    EXPECT_EQ(odd.pvs, (std::list<std::string>{"u\\1", "u;2"}));

    // The same description captured before the escaped form existed is cut at its separators,
    // as it always was.
    const std::string plain =
        std::string("dg|dg\\1|id1;lv|odd|g-1|") + kOddDescription + ";lv_to_pv|odd|u\\1;";
    LVM_vxvm::VXDG old;
    backend.getFromMetadata(plain.c_str(), old);
    EXPECT_EQ(old.name, "dg\\1");
    EXPECT_EQ(old.lvs.at("odd").vol_record, "vol odd\n\tcomment=\"a");
    EXPECT_EQ(old.lvs.at("odd").pvs, (std::list<std::string>{"u\\1"}));

    // Stored captures of both forms.
    LVM_vxvm::VXDG stored;
    backend.getFromMetadata(readFixture("vxvm/metadata/escaped.txt").c_str(), stored);
    EXPECT_NE(stored.lvs.at("notes").vol_record.find("\tcomment=\"backup; keep | do not\\edit\n"),
              std::string::npos);
    EXPECT_NE(stored.lvs.at("notes").sd_records.at("shdg01-01").find("\tputil0=\"a|b\n"),
              std::string::npos);
    EXPECT_TRUE(stored.shared);
    EXPECT_EQ(stored.cluster_modes, "node1=sw node2=sw");
}

TEST_F(VxvmMetadata, DiscoveryWritesTheEscapedFormOnlyWhenAFieldNeedsIt) {
    const std::string notes =
        "vol notes\n\tcomment=\"backup; keep | do not\\edit\n\tplex=notes-01\n"
        "plex notes-01\n\tsd=datadg01-02:0\nsd datadg01-02\n\tda_name=emc0_0a1b\n";
    vbtest::FakeRunner fake;
    fake.on("vxprint -g datadg -v -F%guid:%name", 0,
            "{5f0a6c4e-7b21-11ee-9d2a-005056a1b201}:vol01\n{77}:notes\n")
        .on("vxprint -g datadg -mr -v notes", 0, notes)
        .on("vxprint -hqtps -g datadg", 0, "pl notes-01 notes\nsd datadg01-02 notes-01 datadg01\n");
    replayDatadg(fake);
    LVM_vxvm backend;
    LVM::VG vg;
    vg.name = "datadg";
    vg.metadata = "dg|datadg|1234567890.12.hostA;";
    backend.populateLV(vg, {});

    ASSERT_EQ(vg.metadata.rfind("escaped;dg|datadg|1234567890.12.hostA;lv|vol01|", 0), 0u);
    LVM_vxvm::VXDG dg;
    backend.getFromMetadata(vg.metadata.c_str(), dg);
    const LVM_vxvm::VXLV& read = dg.lvs.at("notes");
    EXPECT_EQ(
        read.vol_record + read.plex_records.at("notes-01") + read.sd_records.at("datadg01-02"),
        notes);
    const LVM_vxvm::VXLV& vol01 = dg.lvs.at("vol01");
    EXPECT_EQ(vol01.vol_record + vol01.plex_records.at("vol01-01") +
                  vol01.sd_records.at("datadg01-01") + vol01.plex_records.at("vol01-02") +
                  vol01.sd_records.at("datadg02-01"),
              readFixture("vxvm/vxprint_-g_datadg_-mr_-v_vol01.txt"));
    EXPECT_EQ(read.pvs, (std::list<std::string>{kUdid1}));
}

TEST_F(VxvmMetadata, RecordsOfADescription) {
    std::string type, name, record;
    const char text[] = "vol v1\n\tplex=v1-01\n\n\tx=1\nplex v1-01\n\tsd=a-01:0,b-01:0";
    const char* next = volbridge::vxvm::get_a_record(text, type, name, record);
    EXPECT_EQ(type, "vol");
    EXPECT_EQ(name, "v1");
    EXPECT_EQ(record, "vol v1\n\tplex=v1-01\n\n\tx=1\n");
    // The last record has no final line feed: it runs to the end of the text.
    next = volbridge::vxvm::get_a_record(next, type, name, record);
    EXPECT_EQ(type, "plex");
    EXPECT_EQ(name, "v1-01");
    EXPECT_EQ(record, "plex v1-01\n\tsd=a-01:0,b-01:0");
    EXPECT_EQ(*next, '\0');

    struct Case {
        const char* name;
        const char* description;
        std::map<std::string, std::list<std::string>> sds;
        std::map<std::string, std::string> das;
    };
    const Case cases[] = {
        {"two subdisks", "plex p\n\tsd=a-01:0,b-01:0\n", {{"p", {"a-01", "b-01"}}}, {}},
        {"striped columns", "plex p\n\tsd=a-01:0/0,b-01:1/0\n", {{"p", {"a-01", "b-01"}}}, {}},
        {"no sd attribute", "plex p\n\tlayout=CONCAT\n", {}, {}},
        {"sd without a disk", "sd s\n\tdm_name=d\n", {}, {}},
        {"disk access name", "sd s\n\tda_name=emc0_01\n\tx=1\n", {}, {{"s", "emc0_01"}}},
        {"unknown type skipped", "dco d\n\tx=1\nsd s\n\tda_name=e", {}, {{"s", "e"}}},
    };
    log_.clear();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LVM_vxvm::VXLV lv;
        volbridge::vxvm::parse_metadata(lv, c.description);
        EXPECT_EQ(lv.plex_sds, c.sds);
        EXPECT_EQ(lv.sd_da_names, c.das);
    }
    EXPECT_EQ(log_.records().size(), 1u);
    EXPECT_TRUE(log_.contains("Info: unknown field 'dco' in metadata"));
}

TEST_F(VxvmMetadata, ReducedDescriptionNamesOnlyTheChosenPlexes) {
    LVM_vxvm backend;
    LVM_vxvm::VXDG dg;
    backend.getFromMetadata(readFixture("vxvm/metadata/datadg.txt").c_str(), dg);
    const LVM_vxvm::VXLV& vol01 = dg.lvs.at("vol01");

    std::string description;
    backend.modify_metadata(vol01, {"vol01-02"}, description);

    const std::string vol = vol01.vol_record;
    const size_t plexLine = vol.find("\tplex=vol01-01,vol01-02\n");
    ASSERT_NE(plexLine, std::string::npos);
    const std::string expected = vol.substr(0, plexLine) + "\tplex=vol01-02\n" +
                                 vol.substr(plexLine + strlen("\tplex=vol01-01,vol01-02\n")) +
                                 vol01.plex_records.at("vol01-02") +
                                 vol01.sd_records.at("datadg02-01");
    EXPECT_EQ(description, expected);
    EXPECT_EQ(description.find("vol01-01"), std::string::npos);
    EXPECT_EQ(description.find("datadg01-01"), std::string::npos);
    // What vxmake reads again gives the volume with the one plex and its subdisk.
    LVM_vxvm::VXLV again;
    volbridge::vxvm::parse_metadata(again, description.c_str());
    EXPECT_EQ(again.plex_sds,
              (std::map<std::string, std::list<std::string>>{{"vol01-02", {"datadg02-01"}}}));

    std::string two;
    backend.modify_metadata(vol01, {"vol01-01", "vol01-02"}, two);
    EXPECT_EQ(two, readFixture("vxvm/vxprint_-g_datadg_-mr_-v_vol01.txt"));

    LVM_vxvm::VXLV noPlexes;
    noPlexes.vol_record = "vol v\n\tx=1\n";
    std::string untouched = "kept";
    backend.modify_metadata(noPlexes, {"p"}, untouched);
    EXPECT_EQ(untouched, "kept");
    LVM_vxvm::VXLV lastLine;
    lastLine.vol_record = "vol v\n\tplex=a,b";
    backend.modify_metadata(lastLine, {"b"}, untouched);
    EXPECT_EQ(untouched, "vol v\n\tplex=b");
}

TEST_F(VxvmMetadata, DescriptionFilesAreOursAlone) {
    LVM_vxvm backend;
    const std::string path = host_.tempFile("yb_vol01_1700000000");
    vbtest::writeFile(path, "stale content that is longer\n");
    backend.writeLVMetadata(path, "vol vol01\n");
    EXPECT_EQ(vbtest::readFile(path), "vol vol01\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::string link = host_.tempFile("yb_vol02_1700000000");
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    EXPECT_THROW(backend.writeLVMetadata(link, "x"), YbException);
    EXPECT_EQ(vbtest::readFile(path), "vol vol01\n");
    try {
        backend.writeLVMetadata(host_.tempFile("no/such/dir"), "x");
        ADD_FAILURE() << "accepted";
    } catch (const YbException& e) {
        EXPECT_EQ(e.getMessage(), "Error: open on file '" + host_.tempFile("no/such/dir") +
                                      "' failed with the error: 'No such file or directory'");
        EXPECT_EQ(e.getFuncName(), "LVM_vxvm::writeLVMetadata");
    }
}

}  // namespace
