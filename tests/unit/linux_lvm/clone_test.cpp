// Clone import and destroy through the fake runner: commands, pruning, results, failures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "FakeDisks.h"
#include "FakeRunner.h"
#include "Fixtures.h"
#include "LVM/LVM.h"
#include "core/ScopedOverride.h"
#include "core/TempFile.h"
#include "host/HostSeams.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_restore.h"

namespace {

using Parser = LVM_linux_lvm_parser;

const char* const kPv0 = "mF5Nbd-aisf-B0ur-j11g-MBML-SGdh-Yz3Tqa";
const char* const kPv1 = "0dzRhq-jfFn-cOov-2e8l-NEZ8-ttRl-Q3PmMe";
const char* const kPv2 = "8m9V4B-ToPf-eOQp-5BBq-HE9M-afe3-OlVGDV";
const char* const kFilterPrefix = "--config 'devices/filter=[";
const char* const kLocking = " --config 'global {locking_type = 0}'";
const char* const kListing = "vgs --foreign --shared -o vg_name,vg_uuid";

// The clones are fake disks; LVM2's answers come from the fake runner.
class CloneFixture : public ::testing::Test {
  protected:
    void SetUp() override { metadata_ = vbtest::readFixture("lvm2/metadata/mixed-3pv.vg"); }

    std::string addDevice(const std::string& name, const std::string& uuid) {
        return disks_.add(name, uuid);
    }
    void answerPvTools(vbtest::FakeRunner& fake) { disks_.answerPvTools(fake); }
    std::string leftoverTempFiles() { return disks_.leftoverTempFiles(); }

    void answerListing(vbtest::FakeRunner& fake, const std::vector<std::string>& groups,
                       const std::string& err = "") {
        std::string text = "  VG  VG UUID\n";
        for (const std::string& g : groups)
            text += "  " + g + " aaaaaa-1111-1111-1111-1111-1111-aaaaaa\n";
        fake.on(kListing, 0, text, err);
    }

    void answerRestoreAndActivation(vbtest::FakeRunner& fake, const std::string& vg) {
        fake.onMatch("vgcfgrestore --config '.*' -f \\S+ " + vg, [this](const std::string& cmd) {
            std::smatch m;
            std::regex_search(cmd, m, std::regex(" -f (\\S+) "));
            restored_ = vbtest::readFile(m[1]);
            return vbtest::Reply{0, "  Restored volume group " + std::string("x") + ".\n", ""};
        });
        fake.on("lvm lvmdevices", 5, "", "  Devices file not enabled.\n");
        fake.on("vgchange -ay " + vg + kLocking);
    }

    std::vector<std::string> commands(const vbtest::FakeRunner& fake) const {
        return disks_.withoutTempPaths(fake.commands());
    }

    vbtest::FakeDisks disks_;
    std::map<std::string, std::string>& uuidOf_ = disks_.uuidOf;
    std::vector<std::string>& restoreFiles_ = disks_.restoreFiles;
    const std::string& dir_ = disks_.dir();
    std::string metadata_;
    std::string restored_;
};

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::set<std::string> lvNames(const LVM::VG& vg) {
    std::set<std::string> names;
    for (const auto& entry : vg.lvs)
        names.insert(entry.second.device.substr(entry.second.device.rfind('/') + 1));
    return names;
}

TEST_F(CloneFixture, WholeGroupGetsNewNameAndIdentifiersAndIsRestoredAndActivated) {
    vbtest::FakeRunner fake;
    std::string d0 = addDevice("sdb", "cur000-0000-0000-0000-0000-0000-000000");
    std::string d1 = addDevice("sdc", "cur111-1111-1111-1111-1111-1111-111111");
    std::string d2 = addDevice("sdd", "cur222-2222-2222-2222-2222-2222-222222");
    answerListing(fake, {"smp_mixed", "other"});
    answerPvTools(fake);
    answerRestoreAndActivation(fake, "smp_mixed_copy_001");
    std::map<std::string, std::string> map{
        {kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}, {kPv2, uuidOf_[d2]}, {"unrelated", "x"}};

    LVM_linux_lvm backend;
    LVM::VG vg = backend.recreateVG({d0, d1, d2}, metadata_.c_str(), map);

    EXPECT_EQ(vg.name, "smp_mixed_copy_001");
    EXPECT_EQ(vg.orig_name, "smp_mixed");
    EXPECT_EQ(vg.orig_uuid, "iZ20ux-UsWP-Ds1R-4hjT-32ky-7wjP-asnZYT");
    EXPECT_EQ(vg.uuid.size(), 38u);
    EXPECT_NE(vg.uuid, vg.orig_uuid);
    EXPECT_EQ(vg.vendor, "LinuxLVM");

    // Each device: its backup-time id, its new id (what its label says now), its path.
    ASSERT_EQ(vg.pvs.size(), 3u);
    const char* origs[] = {kPv0, kPv1, kPv2};
    std::string devices[] = {d0, d1, d2};
    for (int i = 0; i < 3; ++i) {
        const std::string now = uuidOf_[devices[i]];
        ASSERT_TRUE(vg.pvs.count(now)) << devices[i];
        EXPECT_EQ(vg.pvs[now].orig_uuid, origs[i]);
        EXPECT_EQ(vg.pvs[now].device, devices[i]);
        EXPECT_EQ(map[origs[i]], now);
    }
    EXPECT_EQ(map["unrelated"], "x");

    // Visible LVs and the whole mirror; images, log, copy-on-write and snapshot are not listed.
    EXPECT_EQ(lvNames(vg), (std::set<std::string>{"root", "span", "stripe", "data"}));
    for (const auto& entry : vg.lvs) {
        const LVM::LV& lv = entry.second;
        EXPECT_EQ(entry.first, lv.uuid);
        EXPECT_NE(lv.uuid, lv.orig_uuid);
        EXPECT_EQ(lv.device.rfind("/dev/smp_mixed_copy_001/", 0), 0u);
        if (endsWith(lv.device, "/stripe")) {
            EXPECT_EQ(lv.orig_uuid, "y1TzHa-JdDb-wiCK-I0OM-eS9Z-czVJ-iofQ8o");
            EXPECT_EQ(lv.pvs, (std::list<std::string>{uuidOf_[d0], uuidOf_[d1], uuidOf_[d2]}));
        }
        if (endsWith(lv.device, "/data")) {
            std::set<std::string> ids{uuidOf_[d0], uuidOf_[d1], uuidOf_[d2]};
            EXPECT_EQ(lv.pvs, std::list<std::string>(ids.begin(), ids.end()));
        }
    }

    // What was restored is the result's metadata: valid, renamed, and without any old id.
    EXPECT_EQ(restored_, vg.metadata);
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(vg.metadata.c_str()));
    volbridge::lvm2::crossCheckMeta(root, parser, "result");
    EXPECT_NE(vg.metadata.find("\nsmp_mixed_copy_001 {\n"), std::string::npos);
    for (const char* old :
         {kPv0, kPv1, kPv2, "iZ20ux-UsWP-Ds1R-4hjT-32ky-7wjP-asnZYT",
          "g0l5Sw-Bte0-RoEE-ZEw1-EQWi-Nkym-dB3EPm", "Ca7ZhR-yOHu-ZQ30-RuLH-xpvo-gwSg-4Bqwy0"}) {
        EXPECT_EQ(vg.metadata.find(old), std::string::npos) << old;
    }

    // Each re-initialisation was handed metadata in which that PV carries its new id and its
    // original data offset.
    ASSERT_EQ(restoreFiles_.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        Parser p;
        Parser::NodeAutoPtr tree(p.parse(restoreFiles_[i].c_str()));
        Parser::Node* pv = Parser::find(tree, ("pv" + std::to_string(i)).c_str(), false);
        ASSERT_NE(pv, nullptr);
        EXPECT_TRUE(*Parser::findDirectChild(pv, "id") == uuidOf_[devices[i]]);
        EXPECT_EQ(Parser::findDirectChild(pv, "pe_start")->value->int_val, 2048);
    }

    // The commands, in order: every clone is identified before the first one changes, and only
    // commands that do something run (the metadata restored has no system id and no clustered
    // flag to clear).
    const std::string filter = std::string(kFilterPrefix) + "\"a|^" + d0 + "$|\",\"a|^" + d1 +
                               "$|\",\"a|^" + d2 + "$|\",\"r|.|\"] devices/use_devicesfile=0'";
    std::vector<std::string> expected = {kListing};
    for (const std::string& d : devices) expected.push_back("pvdisplay " + d);
    for (const std::string& d : devices) {
        expected.push_back("pvcreate " + filter + " -ffy --uuid " + uuidOf_[d] +
                           " --restorefile FILE " + d);
        expected.push_back("pvdisplay " + d);
    }
    expected.push_back("vgcfgrestore " + filter + " -f FILE smp_mixed_copy_001");
    expected.push_back("lvm lvmdevices");
    expected.push_back("vgchange -ay smp_mixed_copy_001" + std::string(kLocking));
    vbtest::expectCommands(commands(fake), expected);
}

TEST_F(CloneFixture, NewNameIsTheFirstFreeCandidate) {
    struct Case {
        const char* name;
        std::vector<std::string> existing;
        const char* expected;
    } cases[] = {
        {"first two taken",
         {"smp_mixed", "smp_mixed_copy_001", "smp_mixed_copy_002"},
         "smp_mixed_copy_003"},
        {"only the second taken", {"smp_mixed_copy_002"}, "smp_mixed_copy_001"},
        {"nothing listed", {}, "smp_mixed_copy_001"},
    };
    std::string d0 = addDevice("sdb", "cur000-0000-0000-0000-0000-0000-000000");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        uuidOf_[d0] = "cur000-0000-0000-0000-0000-0000-000000";
        answerListing(fake, c.existing);
        answerPvTools(fake);
        answerRestoreAndActivation(fake, c.expected);
        std::map<std::string, std::string> map{{kPv0, uuidOf_[d0]}};
        LVM_linux_lvm backend;
        EXPECT_EQ(backend.recreateVG({d0}, metadata_.c_str(), map).name, c.expected);
    }
}

TEST_F(CloneFixture, PartialCloneSetIsPruned) {
    struct Case {
        const char* name;
        std::vector<int> pvs;
        std::set<std::string> lvs;       // listed in the result
        std::set<std::string> sections;  // LV sections left in the metadata
        const char* sidePv;              // the PV of the side that became "data"
    } cases[] = {
        {"pv0 and pv1: mirror loses its log, stripe and snapshot go",
         {0, 1},
         {"root", "span", "data"},
         {"root", "span", "data"},
         "pv1"},
        {"pv0 and pv2: snapshot stays, mirror keeps its first side",
         {0, 2},
         {"root", "data"},
         {"root", "root_snap", "data", "snapshot0"},
         "pv0"},
        {"pv1 only: the snapshot's origin is gone, so its copy-on-write LV goes too",
         {1},
         {"span", "data"},
         {"span", "data"},
         "pv1"},
    };
    const char* ids[] = {kPv0, kPv1, kPv2};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        std::list<std::string> devices;
        std::map<std::string, std::string> map;
        for (int i : c.pvs) {
            std::string d =
                addDevice("disk" + std::to_string(i),
                          "cur" + std::to_string(i) + "00-0000-0000-0000-0000-0000-000000");
            devices.push_back(d);
            map[ids[i]] = uuidOf_[d];
        }
        answerListing(fake, {"smp_mixed"});
        answerPvTools(fake);
        answerRestoreAndActivation(fake, "smp_mixed_copy_001");
        LVM_linux_lvm backend;
        LVM::VG vg = backend.recreateVG(devices, metadata_.c_str(), map);
        EXPECT_EQ(lvNames(vg), c.lvs);
        EXPECT_EQ(vg.pvs.size(), c.pvs.size());

        Parser parser;
        Parser::NodeAutoPtr root(parser.parse(vg.metadata.c_str()));
        Parser::Node* lvs = Parser::find(root, "logical_volumes", false);
        std::set<std::string> sections;
        for (Parser::Node* lv = lvs->child; lv; lv = lv->next) sections.insert(lv->name);
        EXPECT_EQ(sections, c.sections);
        Parser::Node* pvs = Parser::find(root, "physical_volumes", false);
        size_t pvCount = 0;
        for (Parser::Node* pv = pvs->child; pv; pv = pv->next) ++pvCount;
        EXPECT_EQ(pvCount, c.pvs.size());

        // The surviving side carries the mirror's name and is visible; the record keeps the
        // mirror's backup-time id.
        Parser::Node* data = Parser::findDirectChild(lvs, "data");
        ASSERT_NE(data, nullptr);
        EXPECT_TRUE(volbridge::lvm2::isVisibleLV(data, parser));
        EXPECT_EQ(volbridge::lvm2::findPVofLV(data, parser), std::list<std::string>{c.sidePv});
        for (const auto& entry : vg.lvs) {
            if (!endsWith(entry.second.device, "/data")) continue;
            EXPECT_EQ(entry.second.orig_uuid, "EsJwgy-J7cV-P6kM-60ke-84IA-yUS2-YkmebX");
            EXPECT_TRUE(*Parser::findDirectChild(data, "id") == entry.second.uuid);
        }
        restoreFiles_.clear();
    }
}

TEST_F(CloneFixture, RefusalsBeforeAnythingChangesOnDisk) {
    std::string d0 = addDevice("sdb", "cur000-0000-0000-0000-0000-0000-000000");
    std::string d1 = addDevice("sdc", "cur111-1111-1111-1111-1111-1111-111111");
    const std::string link = dir_ + "/sdb-again";
    ASSERT_EQ(symlink(d0.c_str(), link.c_str()), 0);
    auto renamed = [this](const std::string& name) {
        std::string text = metadata_;
        const std::string header = "\nsmp_mixed {";
        text.replace(text.find(header), header.size(), "\n" + name + " {");
        return text;
    };
    std::string longName(120, 'v');
    // An LV whose name fits the old group's name but not the new, longer one.
    const std::string longRoot(124 - 17, 'r');
    std::string longLv = metadata_;
    for (size_t at = longLv.find("root"); at != std::string::npos;
         at = longLv.find("root", at + longRoot.size())) {
        longLv.replace(at, 4, longRoot);
    }
    std::string d2 = addDevice("sdd", uuidOf_[d0]);  // a second copy of the same PV
    struct Case {
        const char* name;
        std::list<std::string> devices;
        std::map<std::string, std::string> map;
        std::string metadata;
        std::vector<std::string> commands;
        std::string message;
    } cases[] = {
        {"device path with shell characters",
         {d0 + ";reboot"},
         {{kPv0, uuidOf_[d0]}},
         metadata_,
         {},
         "Refusing to run a command with the PV device path [" + d0 +
             ";reboot]: it holds characters that the shell would interpret (allowed: letters, "
             "digits and \"._+-:/@\")"},
        {"device that does not exist",
         {dir_ + "/nosuch"},
         {{kPv0, uuidOf_[d0]}},
         metadata_,
         {},
         "Can't stat PV device " + dir_ + "/nosuch: No such file or directory"},
        {"the same device twice",
         {d0, d1, d0},
         {{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}},
         metadata_,
         {},
         "PV device " + d0 + " is given twice"},
        {"one device under two names",
         {d0, link},
         {{kPv0, uuidOf_[d0]}},
         metadata_,
         {},
         "PV device " + link + " is given twice (also as " + d0 + ")"},
        {"new name too long for LVM2",
         {d0},
         {{kPv0, uuidOf_[d0]}},
         renamed(longName),
         {kListing},
         "Can't re-create VG [" + longName + "]: the new name [" + longName +
             "_copy_001] would be longer than the 127 characters LVM2 allows"},
        {"new name LVM2 does not accept",
         {d0},
         {{kPv0, uuidOf_[d0]}},
         renamed("smp:mixed\x1b"),
         {kListing},
         "Can't re-create VG [smp:mixed\\x1b]: the new name [smp:mixed\\x1b_copy_001] is not a "
         "name LVM2 accepts: it holds characters other than letters, digits and \"+_.-\""},
        {"device not in the map",
         {d0, d1},
         {{kPv0, uuidOf_[d0]}, {kPv1, "someone-else"}},
         metadata_,
         {kListing, "pvdisplay " + d0, "pvdisplay " + d1},
         "Can't find UUID cur111-1111-1111-1111-1111-1111-111111 in the supplied UUID map"},
        {"backup-time id not in the metadata",
         {d0},
         {{"not-in-metadata", uuidOf_[d0]}},
         metadata_,
         {kListing, "pvdisplay " + d0},
         "Can't find PV [" + d0 + "], UUID=[not-in-metadata] in the metadata."},
        {"two devices carrying one PV",
         {d0, d2},
         {{kPv0, uuidOf_[d0]}},
         metadata_,
         {kListing, "pvdisplay " + d0, "pvdisplay " + d2},
         "PV devices " + d0 + " and " + d2 + " both carry a copy of PV " + kPv0},
        {"LV name too long for the new group",
         {d0},
         {{kPv0, uuidOf_[d0]}},
         longLv,
         {kListing, "pvdisplay " + d0},
         "LV [" + longRoot +
             "] would have a name that LVM2 refuses in VG [smp_mixed_copy_001]: it is longer "
             "than the 106 characters LVM2 allows"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.allowUnused();
        answerListing(fake, {});
        answerPvTools(fake);
        std::map<std::string, std::string> map = c.map;
        LVM_linux_lvm backend;
        try {
            backend.recreateVG(c.devices, c.metadata.c_str(), map);
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getMessage(), c.message);
            EXPECT_EQ(e.getFuncName(), "LVM_linux_lvm::recreateVG");
            EXPECT_EQ(e.getErrno(), -1);
        }
        EXPECT_EQ(fake.commands(), c.commands);
        EXPECT_EQ(map, c.map);
    }
}

// The new group is a local group of this host: what would make LVM2 refuse it (a lock type, a
// system id of another host, the clustered flag) is not restored, unless the configuration keeps
// the system id or the clustered flag. No command is run to clear them.
TEST_F(CloneFixture, TheNewGroupIsLocalUnlessTheConfigurationKeepsWhatItNames) {
    std::string shared = metadata_;
    const std::string seqno = "\tseqno = ";
    shared.insert(shared.find(seqno),
                  "\tlock_type = \"sanlock\"\n\tlock_args = \"1.0.0:lvmlock\"\n"
                  "\tsystem_id = \"otherhost\"\n");
    const std::string status = "status = [\"RESIZEABLE\", \"READ\", \"WRITE\"]";
    shared.replace(shared.find(status), status.size(),
                   "status = [\"RESIZEABLE\", \"READ\", \"WRITE\", \"CLUSTERED\"]");
    const std::string rootLv = "\t\troot {\n";
    shared.insert(shared.find(rootLv) + rootLv.size(), "\t\t\tlock_args = \"1.0.0:70254592\"\n");
    struct Case {
        const char* name;
        const char* ini;
        bool systemIdKept;
        bool clusteredKept;
    } cases[] = {
        {"defaults", "", false, false},
        {"system id kept", "[FileSystemAgent]\nnDONOT_CLEAR_SYSTEM_ID = 1\n", true, false},
        {"no declustering", "[FileSystemAgent]\nnDECLUSTER_LVM = 0\n", false, true},
    };
    std::string d0 = addDevice("sdb", "cur000-0000-0000-0000-0000-0000-000000");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbhost::ScopedConfig config(
            vbhost::IniConfig::fromString(std::string(c.ini) + disks_.hostSection()));
        vbhost::MemoryLogSink log;
        vbhost::ScopedLogSink sink(log, 0);
        vbtest::FakeRunner fake;
        uuidOf_[d0] = "cur000-0000-0000-0000-0000-0000-000000";
        answerListing(fake, {});
        answerPvTools(fake);
        const std::string vg = "smp_mixed_copy_001";
        fake.onMatch("vgcfgrestore .*", [this](const std::string& cmd) {
            restored_ = vbtest::readFile(
                cmd.substr(cmd.find(" -f ") + 4, cmd.rfind(' ') - cmd.find(" -f ") - 4));
            return vbtest::Reply{};
        });
        fake.on("lvm lvmdevices", 5, "", "  Devices file not enabled.\n");
        fake.on("vgchange -ay " + vg + (c.clusteredKept ? "" : kLocking));
        std::map<std::string, std::string> map{{kPv0, uuidOf_[d0]}};
        LVM_linux_lvm backend;
        LVM::VG result = backend.recreateVG({d0}, shared.c_str(), map);

        EXPECT_EQ(restored_, result.metadata);
        EXPECT_EQ(restored_.find("lock_type"), std::string::npos);
        EXPECT_EQ(restored_.find("lock_args"), std::string::npos);
        EXPECT_EQ(restored_.find("system_id = \"otherhost\"") != std::string::npos, c.systemIdKept);
        EXPECT_EQ(restored_.find("\"CLUSTERED\"") != std::string::npos, c.clusteredKept);
        EXPECT_EQ(log.contains("clear system_id command NOT sent"), c.systemIdKept);
        EXPECT_EQ(log.contains("Clearing VG system_id setting [" + vg + "]"), !c.systemIdKept);
        EXPECT_EQ(log.contains("decluster command NOT sent"), c.clusteredKept);
        EXPECT_EQ(log.contains("Clearing VG's CLUSTERED status"), !c.clusteredKept);
        for (const std::string& cmd : fake.commands()) {
            EXPECT_TRUE(cmd.rfind("vgchange", 0) != 0 || cmd.rfind("vgchange -ay ", 0) == 0) << cmd;
        }
    }
}

TEST_F(CloneFixture, EachFailingCommandGivesItsMessageAndLeavesNoTemporaryFile) {
    const std::string vg = "smp_mixed_copy_001";
    std::string d0 = addDevice("sdb", "");
    std::string d1 = addDevice("sdc", "");
    auto run = [&](size_t failAt, std::map<std::string, std::string>* map) {
        uuidOf_[d0] = "cur000-0000-0000-0000-0000-0000-000000";
        uuidOf_[d1] = "cur111-1111-1111-1111-1111-1111-111111";
        *map = {{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}};
        vbtest::FakeRunner fake;
        if (failAt) fake.failCommand(failAt, 5, "injected");
        answerListing(fake, {"smp_mixed"});
        answerPvTools(fake);
        answerRestoreAndActivation(fake, vg);
        LVM_linux_lvm backend;
        std::string outcome;
        try {
            backend.recreateVG({d0, d1}, metadata_.c_str(), *map);
            outcome = "ok";
        } catch (const YbException& e) {
            outcome = e.getMessage();
        }
        return std::make_pair(fake.commands(), outcome);
    };
    std::map<std::string, std::string> map;
    std::vector<std::string> all = run(0, &map).first;
    ASSERT_EQ(all.size(), 10u);
    for (size_t n = 1; n <= all.size(); ++n) {
        SCOPED_TRACE(all[n - 1]);
        auto [commands, outcome] = run(n, &map);
        const std::string& cmd = all[n - 1];
        const std::string dev = cmd.substr(cmd.rfind(' ') + 1);
        if (cmd == kListing) {
            // Without the listing no name can be chosen safely.
            EXPECT_EQ(outcome, "Failed to list the existing VGs: \"" + std::string(kListing) +
                                   "\" exited with 5: injected");
        } else if (cmd == "lvm lvmdevices") {
            EXPECT_EQ(outcome, "ok");  // no devices file in use
        } else if (cmd.rfind("pvdisplay", 0) == 0) {
            EXPECT_EQ(outcome, "Failed to get UUID of the PV " + dev + ": injected");
        } else if (cmd.rfind("pvcreate", 0) == 0) {
            EXPECT_EQ(outcome, "Failed to re-initialize PV " + dev + ": injected");
            // The map still leads from the backup-time id to what the device carries now.
            EXPECT_EQ(map[dev == d0 ? kPv0 : kPv1], uuidOf_[dev]);
        } else if (cmd.rfind("vgcfgrestore", 0) == 0) {
            EXPECT_EQ(outcome, "Failed to update metadata for VG group [" + vg + "]: injected");
        } else {
            EXPECT_EQ(outcome, "Failed to activate VG group [" + vg + "]: injected");
        }
        EXPECT_TRUE(leftoverTempFiles().empty());
    }
}

// Each clone's new identity is in the import journal before its pvcreate runs, so that a run
// killed then (which leaves nothing else that knows it) can be finished; it goes from the journal
// once the group is restored.
TEST_F(CloneFixture, JournalKnowsEachNewIdentityBeforeTheCloneChanges) {
    std::string d0 = addDevice("sdb", "cur000-0000-0000-0000-0000-0000-000000");
    std::string d1 = addDevice("sdc", "cur111-1111-1111-1111-1111-1111-111111");
    const std::string journal = disks_.stateDir() + "/lvm2-import.journal";
    const std::string vgId = "iZ20ux-UsWP-Ds1R-4hjT-32ky-7wjP-asnZYT";
    const std::map<std::string, std::string> pvOf{{d0, kPv0}, {d1, kPv1}};
    vbtest::FakeRunner fake;
    std::vector<std::string> seenBefore;  // the new ids the journal had when pvcreate ran
    // Tried before the answer of answerPvTools, and doing what it does.
    fake.alwaysMatch("pvcreate .*", [&](const std::string& cmd) {
        std::smatch m;
        std::regex_search(cmd, m, std::regex("--uuid (\\S+) --restorefile \\S+ (\\S+)$"));
        const std::string line = vgId + " " + pvOf.at(m[2]) + " " + m[1].str() + "\n";
        if (vbtest::readFile(journal).find(line) != std::string::npos) seenBefore.push_back(m[1]);
        uuidOf_[m[2]] = m[1];
        return vbtest::Reply{};
    });
    answerListing(fake, {});
    answerRestoreAndActivation(fake, "smp_mixed_copy_001");
    answerPvTools(fake);
    std::map<std::string, std::string> map{{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}};
    LVM_linux_lvm().recreateVG({d0, d1}, metadata_.c_str(), map);
    EXPECT_EQ(seenBefore, (std::vector<std::string>{map[kPv0], map[kPv1]}));
    EXPECT_EQ(vbtest::readFile(journal), "");
}

// A run stopped after it re-initialised the first clone left that clone with an identity that
// only the journal knows; the same import run again takes the clone for what it is.
TEST_F(CloneFixture, CloneReinitialisedByAStoppedRunIsAccepted) {
    const std::string vgId = "iZ20ux-UsWP-Ds1R-4hjT-32ky-7wjP-asnZYT";
    const std::string given = "Half00-done-0000-0000-0000-0000-000000";
    std::string d0 = addDevice("sdb", given);
    std::string d1 = addDevice("sdc", "cur111-1111-1111-1111-1111-1111-111111");
    const std::string journal = disks_.stateDir() + "/lvm2-import.journal";
    ASSERT_EQ(mkdir(disks_.stateDir().c_str(), 0700), 0);
    const std::string otherRun = vgId + " " + kPv2 + " Other0-run0-0000-0000-0000-0000-000000\n";
    vbtest::writeFile(journal, vgId + " " + kPv0 + " " + given + "\n" + otherRun);
    vbtest::FakeRunner fake;
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    answerListing(fake, {});
    answerPvTools(fake);
    answerRestoreAndActivation(fake, "smp_mixed_copy_001");
    // The map still has what the copies carried before the stopped run.
    std::map<std::string, std::string> map{{kPv0, "cur000-0000-0000-0000-0000-0000-000000"},
                                           {kPv1, uuidOf_[d1]}};
    LVM::VG vg = LVM_linux_lvm().recreateVG({d0, d1}, metadata_.c_str(), map);
    EXPECT_EQ(vg.pvs.size(), 2u);
    EXPECT_EQ(map[kPv0], uuidOf_[d0]);
    EXPECT_NE(map[kPv0], given);
    EXPECT_TRUE(log.contains(d0 + " carries UUID " + given + ", given to the copy of PV " + kPv0 +
                             " by an earlier run that did not finish"));
    // What this run used and gave is forgotten; another run's line stays.
    EXPECT_EQ(vbtest::readFile(journal), otherRun);
}

TEST_F(CloneFixture, ClonesJoinLvmsDevicesFileWhenOneIsInUse) {
    std::string d0 = addDevice("sdb", "cur000-0000-0000-0000-0000-0000-000000");
    std::string d1 = addDevice("sdc", "cur111-1111-1111-1111-1111-1111-111111");
    for (bool addFails : {false, true}) {
        SCOPED_TRACE(addFails ? "adding fails" : "adding works");
        uuidOf_[d0] = "cur000-0000-0000-0000-0000-0000-000000";
        uuidOf_[d1] = "cur111-1111-1111-1111-1111-1111-111111";
        vbtest::FakeRunner fake;
        answerListing(fake, {});
        answerPvTools(fake);
        fake.onMatch("vgcfgrestore .*", [](const std::string&) { return vbtest::Reply{}; });
        fake.on("lvm lvmdevices", 0, "  Device /dev/sda IDTYPE=sys_wwid ...\n");
        fake.on("lvm lvmdevices --adddev " + d0, addFails ? 5 : 0, "", "  no room\n");
        if (addFails) {
            fake.allowUnused();
        } else {
            const std::string vg = "smp_mixed_copy_001";
            fake.on("lvm lvmdevices --adddev " + d1);
            fake.on("vgchange -ay " + vg + kLocking);
        }
        std::map<std::string, std::string> map{{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}};
        LVM_linux_lvm backend;
        try {
            backend.recreateVG({d0, d1}, metadata_.c_str(), map);
            EXPECT_FALSE(addFails);
        } catch (const YbException& e) {
            EXPECT_TRUE(addFails);
            EXPECT_EQ(e.getMessage(),
                      "Failed to add PV device " + d0 + " to LVM's devices file:   no room\n");
        }
    }
}

const char* const kLvsListing = "lvs -o vg_name,vg_uuid,lv_name,lv_uuid,lv_attr";

std::string groups(const std::vector<std::pair<std::string, std::string>>& rows) {
    std::string text = "  VG VG UUID\n";
    for (const auto& row : rows) text += "  " + row.first + " " + row.second + "\n";
    return text;
}

// Destroy through the fake runner; LVM2's description of a group ("vgcfgbackup -f") has the
// given LV sections.
class DestroyFixture : public ::testing::Test {
  protected:
    void exportsGroup(vbtest::FakeRunner& fake, const std::string& vg, const std::string& uuid,
                      const std::string& lvs = "") {
        const std::string text = vg + " {\nid = \"" + uuid +
                                 "\"\nphysical_volumes {\n}\nlogical_volumes {\n" + lvs + "}\n}\n";
        disks_.answerGroupExport(fake, vg, [text] { return text; });
    }

    vbtest::FakeDisks disks_;  // the host's temporary directory
};

TEST_F(DestroyFixture, RemovesListedLvsThenTheGroupAndChecksItIsGone) {
    vbtest::FakeRunner fake;
    fake.on(kListing, 0, groups({{"g1", "u1"}, {"g2", "u2"}}));
    fake.on(kLvsListing, 0,
            "  VG  VG UUID LV LV UUID Attr\n"
            "  g1 u1 b lv-b -wi-a-----\n"
            "  g1 u1 a lv-a -wi-a-----\n"
            "  g1 u1 o lv-o owi-a-s---\n"
            "  g1 u1 s lv-s swi-a-s---\n"
            "  g2 u2 c lv-c -wi-a-----\n");
    exportsGroup(fake, "g1", "u1");
    fake.on("lvremove -f /dev/g1/a /dev/g1/b /dev/g1/o");  // key (LV uuid) order, no snapshot
    fake.on("vgremove -f g1");
    fake.on(kListing, 0, groups({{"g2", "u2"}}));
    LVM_linux_lvm backend;
    backend.destroyVG("g1");
    ASSERT_EQ(backend.cachedVGs().size(), 1u);
    EXPECT_EQ(backend.cachedVGs().front().name, "g2");
    EXPECT_EQ(disks_.withoutTempPaths(fake.commands()),
              (std::vector<std::string>{kListing, kLvsListing, "vgcfgbackup -f FILE g1",
                                        "lvremove -f /dev/g1/a /dev/g1/b /dev/g1/o",
                                        "vgremove -f g1", kListing}));
}

// Groups that the LV listing leaves out (no LVs, or none it shows) are found and removed; a
// plain hidden LV that no other LV uses is named to lvremove, since vgremove fails on it.
TEST_F(DestroyFixture, GroupsWithoutListedLvsAreRemovedToo) {
    const std::string hidden =
        "h {\nid = \"H\"\nstatus = [\"READ\"]\nsegment_count = 1\n"
        "segment1 {\ntype = \"striped\"\nstripes = [ ]\n}\n}\n"
        "m {\nid = \"M\"\nstatus = [\"READ\", \"VISIBLE\"]\nsegment_count = 1\n"
        "segment1 {\ntype = \"mirror\"\nmirrors = [\"m_mimage_0\", 0]\n}\n}\n"
        "m_mimage_0 {\nid = \"I\"\nstatus = [\"READ\"]\nsegment_count = 1\n"
        "segment1 {\ntype = \"striped\"\nstripes = [ ]\n}\n}\n";
    struct Case {
        const char* name;
        std::string lvs;
        const char* lvremove;  // null: none
    } cases[] = {
        {"no LVs", "", nullptr},
        {"a hidden LV nothing uses", hidden, "lvremove -f /dev/empty/h"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.on(kListing, 0, groups({{"empty", "u1"}}));
        fake.on(kLvsListing, 0, "  VG VG UUID LV LV UUID Attr\n");
        fake.on(kLvsListing, 0, "  VG VG UUID LV LV UUID Attr\n");
        exportsGroup(fake, "empty", "u1", c.lvs);
        if (c.lvremove) fake.on(c.lvremove);
        fake.on("vgremove -f empty");
        fake.on(kListing, 0, groups({}));
        LVM_linux_lvm().destroyVG("empty");
    }
}

TEST_F(DestroyFixture, MissingGroupIsOnlyLogged) {
    vbtest::FakeRunner fake;
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, -1);
    fake.on(kListing, 0, groups({{"g2", "u2"}}));
    LVM_linux_lvm backend;
    backend.destroyVG("nosuch");
    EXPECT_TRUE(log.contains("Can't destroy non-existent VG nosuch"));
}

TEST_F(DestroyFixture, GroupImportedAfterTheListingWasCachedIsFound) {
    vbtest::FakeRunner fake;
    fake.on(kListing, 0, groups({{"g2", "u2"}}));
    fake.on(kLvsListing, 0, "  VG VG UUID LV LV UUID Attr\n  g2 u2 c lv-c -wi-a-----\n");
    exportsGroup(fake, "g2", "u2");
    fake.on("lvremove -f /dev/g2/c");
    fake.on("vgremove -f g2");
    fake.on(kListing, 0, groups({{"new", "u3"}}));
    fake.on(kListing, 0, groups({{"new", "u3"}}));
    fake.on(kLvsListing, 0, "  VG VG UUID LV LV UUID Attr\n  new u3 d lv-d -wi-a-----\n");
    exportsGroup(fake, "new", "u3");
    fake.on("lvremove -f /dev/new/d");
    fake.on("vgremove -f new");
    fake.on(kListing, 0, groups({}));
    LVM_linux_lvm backend;
    backend.destroyVG("g2");  // fills the cache
    backend.destroyVG("new");
}

// Every way the group can fail to go is an exception: a command that fails, two groups of the
// name, and a group that is still there after vgremove said it removed it (which LVM2 cannot be
// made to do here).
TEST_F(DestroyFixture, FailuresAreThrown) {
    struct Case {
        const char* name;
        int failAt;
        std::string listing;
        std::string listingAfter;
        const char* message;
    } cases[] = {
        {"lvremove", 4, groups({{"g1", "u1"}}), "", "\"lvremove -f /dev/g1/a\" failed: busy"},
        {"vgremove", 5, groups({{"g1", "u1"}}), "", "Failed to remove VG g1: busy"},
        {"two groups of the name", 0, groups({{"g1", "u1"}, {"g1", "u9"}}), "",
         "Can't destroy VG g1: 2 groups bear that name"},
        {"still there", 0, groups({{"g1", "u1"}}), groups({{"g1", "u1"}}),
         "Failed to remove VG g1: it is still there after \"vgremove -f g1\" succeeded"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.allowUnused();
        if (c.failAt) fake.failCommand(c.failAt, 5, "busy");
        fake.on(kListing, 0, c.listing);
        fake.on(kLvsListing, 0, "  VG VG UUID LV LV UUID Attr\n  g1 u1 a lv-a -wi-a-----\n");
        exportsGroup(fake, "g1", "u1");
        fake.on("lvremove -f /dev/g1/a");
        fake.on("vgremove -f g1");
        fake.on(kListing, 0, c.listingAfter);
        LVM_linux_lvm backend;
        try {
            backend.destroyVG("g1");
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getMessage(), c.message);
            EXPECT_EQ(e.getFuncName(), "LVM_linux_lvm::destroyVG");
        }
    }
}

TEST(DeviceFilter, AnchoredEscapedAndWithoutTheDevicesFile) {
    EXPECT_EQ(
        volbridge::lvm2::deviceFilterOption({"/dev/sdb", "/dev/disk/by-id/wwn-0x5.1+2"}),
        "--config 'devices/filter=[\"a|^/dev/sdb$|\",\"a|^/dev/disk/by-id/wwn-0x5\\.1\\+2$|\","
        "\"r|.|\"] devices/use_devicesfile=0'");
    EXPECT_EQ(volbridge::lvm2::new2old({{"a", "x"}, {"b", "y"}, {"c", "y"}}, "y"), "b");
    EXPECT_EQ(volbridge::lvm2::new2old({{"a", "x"}}, "z"), "");
}

TEST(TempMetadataFile, EachWriteReplacesTheWholeContentAndTheFileGoesWithTheObject) {
    vbtest::ScopedTempDir dir;
    std::string path;
    {
        volbridge::ScopedOverride<std::string> guard(volbridge::lvm2::metadataTempDirectory(),
                                                     dir.path());
        volbridge::TempFile file(volbridge::Origin{"f", "u"},
                                 volbridge::lvm2::metadataTempDirectory(),
                                 volbridge::lvm2::kMetadataTempPrefix);
        path = file.path();
        EXPECT_EQ(path.rfind(dir.path() + "/ybmeta_", 0), 0u) << path;
        for (const std::string& text :
             {std::string(70000, 'a'), std::string("short\n"), std::string(), std::string("b")}) {
            file.write(text);
            EXPECT_EQ(vbtest::readFile(path), text);
        }
    }
    struct stat st;
    EXPECT_NE(stat(path.c_str(), &st), 0);
}

}  // namespace
