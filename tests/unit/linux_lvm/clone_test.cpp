// Clone import through the fake runner: commands, pruning, results, the checks before anything
// changes, failures at each step, and runs that finish what an earlier one left.
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

const char* const kVgId = "iZ20ux-UsWP-Ds1R-4hjT-32ky-7wjP-asnZYT";
const char* const kPv0 = "mF5Nbd-aisf-B0ur-j11g-MBML-SGdh-Yz3Tqa";
const char* const kPv1 = "0dzRhq-jfFn-cOov-2e8l-NEZ8-ttRl-Q3PmMe";
const char* const kPv2 = "8m9V4B-ToPf-eOQp-5BBq-HE9M-afe3-OlVGDV";
const char* const kFilterPrefix = "--config 'devices/filter=[";
const char* const kLocking = " --config 'global {locking_type = 0}'";
const char* const kListing = "vgs --foreign --shared -o vg_name,vg_uuid";
const char* const kView =
    "pvs --config 'devices/use_devicesfile=0' --noheadings --separator '|' -o "
    "pv_name,pv_uuid,vg_name,vg_uuid,pv_duplicate";

// The steps an operation reports to the host's progress sink, as the tool shows them.
struct Progress : vbhost::ProgressSink {
    std::vector<std::string> lines;
    void step(const std::string&, size_t n, size_t total, const std::string& what) override {
        lines.push_back("[" + std::to_string(n) + "/" + std::to_string(total) + "] " + what);
    }
    void finished(const std::string&, bool, uint64_t) override {}
};

std::string filterOf(const std::vector<std::string>& devices) {
    std::string filter = kFilterPrefix;
    for (const std::string& d : devices) filter += "\"a|^" + d + "$|\",";
    return filter + "\"r|.|\"] devices/use_devicesfile=0'";
}

std::string viewOf(const std::vector<std::string>& devices) {
    std::string cmd = kView;
    for (const std::string& d : devices) cmd += " " + d;
    return cmd;
}

// The clones are fake disks, which LVM2 sees as copies set aside beside the group they were
// copied from; LVM2's answers come from the fake runner.
class CloneFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        metadata_ = vbtest::readFixture("lvm2/metadata/mixed-3pv.vg");
        disks_.unlisted = {"smp_mixed", kVgId, true, false};
    }

    std::string addDevice(const std::string& name, const std::string& uuid) {
        return disks_.add(name, uuid);
    }
    void answerPvTools(vbtest::FakeRunner& fake) { disks_.answerPvTools(fake); }
    std::string leftoverTempFiles() { return disks_.host().leftoverTempFiles(); }

    void answerListing(vbtest::FakeRunner& fake, const std::vector<std::string>& groups,
                       const std::string& err = "") {
        std::string text = "  VG  VG UUID\n";
        for (const std::string& g : groups)
            text += "  " + g + " aaaaaa-1111-1111-1111-1111-1111-aaaaaa\n";
        fake.on(kListing, 0, text, err);
    }

    // The restore makes the devices the PVs of the restored group, and that group what
    // "vgcfgbackup" of it exports.
    void answerRestore(vbtest::FakeRunner& fake, const std::string& vg) {
        fake.onMatch("vgcfgrestore --config '.*' -f \\S+ " + vg, [this,
                                                                  vg](const std::string& cmd) {
            std::smatch m;
            std::regex_search(cmd, m, std::regex(" -f (\\S+) "));
            restored_ = vbtest::readFile(m[1]);
            Parser parser;
            Parser::NodeAutoPtr root(parser.parse(restored_.c_str()));
            Parser::Node* group = Parser::find(root, vg.c_str(), false);
            const std::string id = group ? volbridge::lvm2::idOf(group) : "";
            for (Parser::Node* pv = Parser::find(root, "physical_volumes", false)->child; pv;
                 pv = pv->next) {
                disks_.seen[volbridge::lvm2::stringValue(pv, "device")] = {vg, id, false, false};
            }
            return vbtest::Reply{0, "  Restored volume group " + vg + ".\n", ""};
        });
        disks_.answerGroupExport(fake, vg, [this] { return restored_; });
    }

    void answerRestoreAndActivation(vbtest::FakeRunner& fake, const std::string& vg) {
        answerRestore(fake, vg);
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
    Progress progress;
    vbhost::ScopedProgress progressGuard(progress);

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

    // The commands, in order: every clone is identified, and LVM2 asked how it sees them, before
    // the first one changes, and only commands that do something run (the metadata restored has
    // no system id and no clustered flag to clear).
    const std::string filter = filterOf({d0, d1, d2});
    std::vector<std::string> expected = {kListing};
    for (const std::string& d : devices) expected.push_back("pvdisplay " + d);
    expected.push_back(viewOf({d0, d1, d2}));
    for (const std::string& d : devices) {
        expected.push_back("pvcreate " + filter + " -ffy --uuid " + uuidOf_[d] +
                           " --restorefile FILE " + d);
        expected.push_back("pvdisplay " + d);
    }
    expected.push_back("vgcfgrestore " + filter + " -f FILE smp_mixed_copy_001");
    expected.push_back("lvm lvmdevices");
    expected.push_back("vgchange -ay smp_mixed_copy_001" + std::string(kLocking));
    vbtest::expectCommands(commands(fake), expected);

    // The steps, as the tool shows them; the journal keeps nothing of a run that finished.
    EXPECT_EQ(progress.lines, (std::vector<std::string>{"[1/5] re-initialising " + d0 + " as a PV",
                                                        "[2/5] re-initialising " + d1 + " as a PV",
                                                        "[3/5] re-initialising " + d2 + " as a PV",
                                                        "[4/5] restoring the group metadata onto " +
                                                            d0 + " " + d1 + " " + d2,
                                                        "[5/5] activating smp_mixed_copy_001"}));
    EXPECT_EQ(disks_.journal(), "");
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
        disks_.seen.clear();
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
        disks_.seen.clear();
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
    using Seen = vbtest::FakeDisks::Seen;
    const std::string probe1 =
        "pvs --config 'devices/use_devicesfile=0 devices/filter=[\"a|.*|\"]' --noheadings "
        "--separator '|' -o pv_name,pv_uuid,vg_name,vg_uuid,pv_duplicate " +
        d1;
    const std::string probe2 =
        "pvs --config 'devices/use_devicesfile=0 devices/filter=[\"a|.*|\"] "
        "devices/global_filter=[\"a|.*|\"]' --noheadings --separator '|' -o "
        "pv_name,pv_uuid,vg_name,vg_uuid,pv_duplicate " +
        d1;
    const std::string row1 = "  " + d1 + "|" + uuidOf_[d1] + "|smp_mixed|" + kVgId + "|\n";
    const std::string hidden1 = "  Cannot use " + d1 + ": device is rejected by filter config\n";
    struct Case {
        const char* name;
        std::list<std::string> devices;
        std::map<std::string, std::string> map;
        std::string metadata;
        std::vector<std::string> commands;
        std::string message;
        std::map<std::string, Seen> seen = {};
        std::vector<std::pair<std::string, vbtest::Reply>> probes = {};
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
         {kListing, "pvdisplay " + d0, "pvdisplay " + d1, viewOf({d0, d1})},
         "Can't find UUID cur111-1111-1111-1111-1111-1111-111111 in the supplied UUID map"},
        {"backup-time id not in the metadata",
         {d0},
         {{"not-in-metadata", uuidOf_[d0]}},
         metadata_,
         {kListing, "pvdisplay " + d0, viewOf({d0})},
         "Can't find PV [" + d0 + "], UUID=[not-in-metadata] in the metadata."},
        {"two devices carrying one PV",
         {d0, d2},
         {{kPv0, uuidOf_[d0]}},
         metadata_,
         {kListing, "pvdisplay " + d0, "pvdisplay " + d2, viewOf({d0, d2})},
         "PV devices " + d0 + " and " + d2 + " both carry a copy of PV " + kPv0},
        {"LV name too long for the new group",
         {d0},
         {{kPv0, uuidOf_[d0]}},
         longLv,
         {kListing, "pvdisplay " + d0, viewOf({d0})},
         "LV [" + longRoot +
             "] would have a name that LVM2 refuses in VG [smp_mixed_copy_001]: it is longer "
             "than the 106 characters LVM2 allows"},
        // LVM2 uses the device for the group's PV: it is the original, not the copy set aside.
        {"the live group's own PV",
         {d0, d1},
         {{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}},
         metadata_,
         {kListing, "pvdisplay " + d0, "pvdisplay " + d1, viewOf({d0, d1})},
         "PV device " + d1 +
             " is PV cur111-1111-1111-1111-1111-1111-111111 of VG [smp_mixed] "
             "on this host, not a copy of it: refusing to re-initialize it",
         {{d1, Seen{"smp_mixed", kVgId, false, false}}}},
        {"a PV of another group",
         {d0, d1},
         {{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}},
         metadata_,
         {kListing, "pvdisplay " + d0, "pvdisplay " + d1, viewOf({d0, d1})},
         "PV device " + d1 + " is a PV of VG [data] on this host, and " + d0 +
             " is not: refusing to re-initialize " + d1,
         {{d1, Seen{"data", "dataaa-1111-1111-1111-1111-1111-dataaa", false, false}}}},
        {"PVs of two groups",
         {d0, d1},
         {{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}},
         metadata_,
         {kListing, "pvdisplay " + d0, "pvdisplay " + d1, viewOf({d0, d1})},
         "PV device " + d1 + " is a PV of VG [two] on this host, and " + d0 +
             " of VG [one]: refusing to re-initialize them",
         {{d0, Seen{"one", "oneaaa-1111-1111-1111-1111-1111-oneaaa", false, false}},
          {d1, Seen{"two", "twoaaa-1111-1111-1111-1111-1111-twoaaa", false, false}}}},
        // LVM2 with the host's configuration does not see the second clone: its own filter
        // would let the import build the group on it, but the host could not use it.
        {"a clone the host's filter hides",
         {d0, d1},
         {{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}},
         metadata_,
         {kListing, "pvdisplay " + d0, "pvdisplay " + d1, viewOf({d0, d1}), probe1},
         "Can't use PV device " + d1 +
             ": LVM2 on this host does not see it; its setting devices/filter rejects it",
         {{d1, Seen{"", "", false, true}}},
         {{probe1, vbtest::Reply{0, row1, ""}}}},
        {"a clone the host's global filter hides",
         {d0, d1},
         {{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}},
         metadata_,
         {kListing, "pvdisplay " + d0, "pvdisplay " + d1, viewOf({d0, d1}), probe1, probe2},
         "Can't use PV device " + d1 +
             ": LVM2 on this host does not see it; its setting devices/global_filter rejects it",
         {{d1, Seen{"", "", false, true}}},
         {{probe1, vbtest::Reply{5, "", hidden1}}, {probe2, vbtest::Reply{0, row1, ""}}}},
        {"a clone hidden otherwise",
         {d0, d1},
         {{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}},
         metadata_,
         {kListing, "pvdisplay " + d0, "pvdisplay " + d1, viewOf({d0, d1}), probe1, probe2},
         "Can't use PV device " + d1 +
             ": LVM2 on this host does not see it; LVM2 says: Cannot "
             "use " +
             d1 + ": device is too small (pv_min_size)",
         {{d1, Seen{"", "", false, true}}},
         {{probe1, vbtest::Reply{5, "",
                                 "  WARNING: x\n  Cannot use " + d1 +
                                     ": device is too small (pv_min_size)\n"}},
          {probe2, vbtest::Reply{5, "", "  Cannot use " + d1 + ": device is too small\n"}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.allowUnused();
        answerListing(fake, {});
        for (const auto& probe : c.probes) {
            fake.on(probe.first, probe.second.status, probe.second.out, probe.second.err);
        }
        answerPvTools(fake);
        disks_.seen = c.seen;
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
// system id of another host, the clustered flag, the exported flag of a group captured while it was
// exported) is not restored, unless the configuration keeps the system id or the clustered flag.
// No command is run to clear them.
TEST_F(CloneFixture, TheNewGroupIsLocalUnlessTheConfigurationKeepsWhatItNames) {
    std::string shared = metadata_;
    const std::string seqno = "\tseqno = ";
    shared.insert(shared.find(seqno),
                  "\tlock_type = \"sanlock\"\n\tlock_args = \"1.0.0:lvmlock\"\n"
                  "\tsystem_id = \"otherhost\"\n");
    const std::string status = "status = [\"RESIZEABLE\", \"READ\", \"WRITE\"]";
    shared.replace(shared.find(status), status.size(),
                   "status = [\"EXPORTED\", \"RESIZEABLE\", \"READ\", \"WRITE\", \"CLUSTERED\"]");
    for (size_t at = shared.find("status = [\"ALLOCATABLE\"]"); at != std::string::npos;
         at = shared.find("status = [\"ALLOCATABLE\"]", at + 1)) {
        shared.replace(at, 24, "status = [\"ALLOCATABLE\", \"EXPORTED\"]");
    }
    const std::string rootLv = "\t\troot {\n";
    shared.insert(shared.find(rootLv) + rootLv.size(), "\t\t\tlock_args = \"1.0.0:70254592\"\n");
    struct Case {
        const char* name;
        const char* key;  // of section FileSystemAgent, set to the value below; null: none
        const char* value;
        bool systemIdKept;
        bool clusteredKept;
    } cases[] = {
        {"defaults", nullptr, nullptr, false, false},
        {"system id kept", "nDONOT_CLEAR_SYSTEM_ID", "1", true, false},
        {"no declustering", "nDECLUSTER_LVM", "0", false, true},
    };
    std::string d0 = addDevice("sdb", "cur000-0000-0000-0000-0000-0000-000000");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        disks_.host().setConfig("FileSystemAgent", "nDONOT_CLEAR_SYSTEM_ID", "0");
        disks_.host().setConfig("FileSystemAgent", "nDECLUSTER_LVM", "1");
        if (c.key) disks_.host().setConfig("FileSystemAgent", c.key, c.value);
        vbhost::MemoryLogSink log;
        vbhost::ScopedLogSink sink(log, 0);
        vbtest::FakeRunner fake;
        uuidOf_[d0] = "cur000-0000-0000-0000-0000-0000-000000";
        disks_.seen.clear();
        answerListing(fake, {});
        answerPvTools(fake);
        const std::string vg = "smp_mixed_copy_001";
        answerRestore(fake, vg);
        fake.on("lvm lvmdevices", 5, "", "  Devices file not enabled.\n");
        fake.on("vgchange -ay " + vg + (c.clusteredKept ? "" : kLocking));
        std::map<std::string, std::string> map{{kPv0, uuidOf_[d0]}};
        LVM_linux_lvm backend;
        LVM::VG result = backend.recreateVG({d0}, shared.c_str(), map);

        EXPECT_EQ(restored_, result.metadata);
        EXPECT_EQ(restored_.find("lock_type"), std::string::npos);
        EXPECT_EQ(restored_.find("lock_args"), std::string::npos);
        EXPECT_EQ(restored_.find("EXPORTED"), std::string::npos);
        EXPECT_NE(restored_.find("status = [ \"ALLOCATABLE\" ] "), std::string::npos);
        EXPECT_EQ(restored_.find("system_id = \"otherhost\"") != std::string::npos, c.systemIdKept);
        EXPECT_EQ(restored_.find("\"CLUSTERED\"") != std::string::npos, c.clusteredKept);
        EXPECT_EQ(log.contains("clear system_id command NOT sent"), c.systemIdKept);
        EXPECT_EQ(log.contains("Clearing VG system_id setting [" + vg + "]"), !c.systemIdKept);
        EXPECT_EQ(log.contains("decluster command NOT sent"), c.clusteredKept);
        EXPECT_EQ(log.contains("Clearing VG's CLUSTERED status"), !c.clusteredKept);
        EXPECT_TRUE(log.contains("Clearing VG's EXPORTED status"));
        for (const std::string& cmd : fake.commands()) {
            EXPECT_TRUE(cmd.rfind("vgchange", 0) != 0 || cmd.rfind("vgchange -ay ", 0) == 0) << cmd;
        }
    }
}

// A failure injected at each command in turn: the caller gets the first error; nothing runs after
// it (what the import changed is left for a run of the same import to finish, and nothing else
// is touched); the log names what is left; no temporary file stays.
TEST_F(CloneFixture, EachFailingCommandGivesTheFirstErrorAndTheLogNamesWhatIsLeft) {
    const std::string vg = "smp_mixed_copy_001";
    std::string d0 = addDevice("sdb", "");
    std::string d1 = addDevice("sdc", "");
    struct Run {
        std::vector<std::string> commands;
        std::string outcome;
        std::map<std::string, std::string> map;
        std::string fresh0, fresh1;  // what the clones carry afterwards
    };
    auto run = [&](size_t failAt) {
        uuidOf_[d0] = "cur000-0000-0000-0000-0000-0000-000000";
        uuidOf_[d1] = "cur111-1111-1111-1111-1111-1111-111111";
        disks_.seen.clear();
        disks_.host().log().clear();
        Run r;
        r.map = {{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}};
        vbtest::FakeRunner fake;
        if (failAt) fake.failCommand(failAt, 5, "  WARNING: noise\n  injected\n");
        answerListing(fake, {"smp_mixed"});
        // LVM2, failing, sees nothing.
        fake.alwaysMatch("pvs --config 'devices/use_devicesfile=0 devices/.*",
                         [](const std::string&) {
                             return vbtest::Reply{5, "", "  injected\n"};
                         });
        answerPvTools(fake);
        answerRestoreAndActivation(fake, vg);
        fake.allowUnused();
        try {
            LVM_linux_lvm().recreateVG({d0, d1}, metadata_.c_str(), r.map);
            r.outcome = "ok";
        } catch (const YbException& e) {
            r.outcome = e.getMessage();
        }
        r.commands = disks_.withoutNewIds(commands(fake));
        r.fresh0 = uuidOf_[d0];
        r.fresh1 = uuidOf_[d1];
        return r;
    };
    const std::vector<std::string> all = run(0).commands;
    ASSERT_EQ(all.size(), 11u);
    for (size_t n = 1; n <= all.size(); ++n) {
        const std::string& cmd = all[n - 1];
        SCOPED_TRACE(cmd);
        const Run r = run(n);
        const std::string dev = cmd.substr(cmd.rfind(' ') + 1);
        const vbhost::MemoryLogSink& log = disks_.host().log();
        std::vector<std::string> ran(all.begin(), all.begin() + n);
        if (cmd == kListing) {
            // Without the listing no name can be chosen safely.
            EXPECT_EQ(r.outcome, "Failed to list the existing VGs: \"" + std::string(kListing) +
                                     "\" exited with 5:   WARNING: noise\n  injected\n");
        } else if (cmd == "lvm lvmdevices") {
            EXPECT_EQ(r.outcome, "ok");  // no devices file in use
            ran = all;
        } else if (cmd.rfind("pvdisplay", 0) == 0) {
            EXPECT_EQ(r.outcome, "Failed to get UUID of the PV " + dev + ": injected");
        } else if (cmd.rfind("pvs ", 0) == 0) {
            EXPECT_EQ(r.outcome, "Can't use PV device " + d0 +
                                     ": LVM2 on this host does not see it; LVM2 says: injected");
            ran = r.commands;  // and the questions that find out why
        } else if (cmd.rfind("pvcreate", 0) == 0) {
            EXPECT_EQ(r.outcome, "Failed to re-initialize PV " + dev + ": injected");
            // The map still leads from the backup-time id to what the device carries now.
            EXPECT_EQ(r.map.at(dev == d0 ? kPv0 : kPv1), uuidOf_[dev]);
            ran.push_back("pvdisplay " + dev);
        } else if (cmd.rfind("vgcfgrestore", 0) == 0) {
            EXPECT_EQ(r.outcome, "Failed to update metadata for VG group [" + vg + "]: injected");
        } else {
            EXPECT_EQ(r.outcome, "Failed to activate VG group [" + vg + "]: injected");
        }
        // Nothing runs after the failure: no clean-up touches anything.
        EXPECT_EQ(r.commands, ran);
        // What is left is named, and the first error is what the caller got.
        const bool first = n >= 6, second = n >= 8, group = n >= 10 && cmd != "lvm lvmdevices";
        const std::string kept = ": it stays; running the same import again finishes the work";
        EXPECT_EQ(log.contains("Could not undo the re-initialisation of " + d0 + " as PV " +
                               r.fresh0 + kept),
                  first && r.outcome != "ok");
        EXPECT_EQ(log.contains("Could not undo the re-initialisation of " + d1 + " as PV " +
                               r.fresh1 + kept),
                  second && r.outcome != "ok");
        EXPECT_EQ(log.contains("Could not undo VG " + vg + " on " + d0 + " " + d1 + kept), group);
        EXPECT_EQ(leftoverTempFiles(), "");
    }
}

// Each clone's new identity is in the import journal before its pvcreate runs, so that a run
// killed then (which leaves nothing else that knows it) can be finished; it goes from the journal
// once the group is restored.
TEST_F(CloneFixture, JournalKnowsEachNewIdentityBeforeTheCloneChanges) {
    std::string d0 = addDevice("sdb", "cur000-0000-0000-0000-0000-0000-000000");
    std::string d1 = addDevice("sdc", "cur111-1111-1111-1111-1111-1111-111111");
    const std::map<std::string, std::string> pvOf{{d0, kPv0}, {d1, kPv1}};
    vbtest::FakeRunner fake;
    std::vector<std::string> seenBefore;  // the new ids the journal had when pvcreate ran
    // Tried before the answer of answerPvTools, and doing what it does.
    fake.alwaysMatch("pvcreate .*", [&](const std::string& cmd) {
        std::smatch m;
        std::regex_search(cmd, m, std::regex("--uuid (\\S+) --restorefile \\S+ (\\S+)$"));
        const std::string line =
            std::string(kVgId) + " " + pvOf.at(m[2]) + " " + m[1].str() + " " + m[2].str() + "\n";
        if (disks_.journal().find(line) != std::string::npos) seenBefore.push_back(m[1]);
        uuidOf_[m[2]] = m[1];
        return vbtest::Reply{};
    });
    answerListing(fake, {});
    answerRestoreAndActivation(fake, "smp_mixed_copy_001");
    answerPvTools(fake);
    std::map<std::string, std::string> map{{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}};
    LVM_linux_lvm().recreateVG({d0, d1}, metadata_.c_str(), map);
    EXPECT_EQ(seenBefore, (std::vector<std::string>{map[kPv0], map[kPv1]}));
    EXPECT_EQ(disks_.journal(), "");
}

// A run was stopped after it re-initialised the first clone, and before it re-initialised the
// second one (whose journal line names an identity no device got): the first clone carries an
// identity only the journal knows. The same import run again takes the clone for what it is, and
// once it finishes no line of this group on these devices is left; other groups' and other
// devices' lines stay.
TEST_F(CloneFixture, CloneReinitialisedByAStoppedRunIsAcceptedAndItsLinesGo) {
    const std::string given = "Half00-done-0000-0000-0000-0000-000000";
    std::string d0 = addDevice("sdb", given);
    std::string d1 = addDevice("sdc", "cur111-1111-1111-1111-1111-1111-111111");
    disks_.seen[d0] = {};  // a PV of no group now
    const std::string vg = std::string(kVgId) + " ";
    const std::string others = vg + kPv2 + " Other0-run0-0000-0000-0000-0000-000000 " + dir_ +
                               "/sdx\n" + "Other0-grp0-0000-0000-0000-0000-000000 " + kPv1 +
                               " Other0-grp1-0000-0000-0000-0000-000000 " + d1 + "\n" +
                               "Other0-grp0-0000-0000-0000-0000-000000 " + kPv0 +
                               " Older0-rels-0000-0000-0000-0000-000000\n";
    vbtest::writeFile(disks_.host().stateDir() + "/lvm2-import.journal",
                      vg + kPv0 + " " + given + " " + d0 + "\n" + vg + kPv1 +
                          " Never0-used-0000-0000-0000-0000-000000 " + d1 + "\n" + others);
    vbtest::FakeRunner fake;
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    answerListing(fake, {});
    answerPvTools(fake);
    answerRestoreAndActivation(fake, "smp_mixed_copy_001");
    // The map still has what the copies carried before the stopped run.
    std::map<std::string, std::string> map{{kPv0, "cur000-0000-0000-0000-0000-0000-000000"},
                                           {kPv1, uuidOf_[d1]}};
    LVM::VG result = LVM_linux_lvm().recreateVG({d0, d1}, metadata_.c_str(), map);
    EXPECT_EQ(result.pvs.size(), 2u);
    EXPECT_EQ(map[kPv0], uuidOf_[d0]);
    EXPECT_NE(map[kPv0], given);
    EXPECT_TRUE(log.contains(d0 + " carries UUID " + given + ", given to the copy of PV " + kPv0 +
                             " by an earlier run that did not finish"));
    EXPECT_EQ(disks_.journal(), others);
}

// The clones are already the PVs of the group this import made from them: a run stopped after it
// restored the group (the map has the clones' old ids, the journal their new ones), or the same
// import run again after it finished (the map has the new ids). Neither re-initialises a clone
// nor makes a second group: the group is activated and returned as the first run returned it.
TEST_F(CloneFixture, TheGroupAnEarlierRunMadeIsFinishedNotMadeAgain) {
    std::string d0 = addDevice("sdb", "cur000-0000-0000-0000-0000-0000-000000");
    std::string d1 = addDevice("sdc", "cur111-1111-1111-1111-1111-1111-111111");
    const std::string vg = "smp_mixed_copy_001";
    const std::map<std::string, std::string> before{{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}};
    LVM::VG first;
    {
        vbtest::FakeRunner fake;
        answerListing(fake, {"smp_mixed"});
        answerPvTools(fake);
        answerRestoreAndActivation(fake, vg);
        std::map<std::string, std::string> map = before;
        first = LVM_linux_lvm().recreateVG({d0, d1}, metadata_.c_str(), map);
    }
    // The journal as the run had it once it had restored the group.
    const std::string journal = std::string(kVgId) + " " + kPv0 + " " + uuidOf_[d0] + " " + d0 +
                                "\n" + kVgId + " " + kPv1 + " " + uuidOf_[d1] + " " + d1 + "\n";
    struct Case {
        const char* name;
        std::map<std::string, std::string> map;
        std::string journal;
    } cases[] = {
        {"stopped after the restore", before, journal},
        {"run again after it finished", {{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}}, ""},
    };
    const std::string filter = filterOf({d0, d1});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::writeFile(disks_.host().stateDir() + "/lvm2-import.journal", c.journal);
        const std::map<std::string, std::string> carried = uuidOf_;
        Progress progress;
        vbhost::ScopedProgress progressGuard(progress);
        vbtest::FakeRunner fake;
        answerListing(fake, {"smp_mixed", vg});
        answerPvTools(fake);
        disks_.answerGroupExport(fake, vg, [this] { return restored_; });
        fake.on("lvm lvmdevices", 5, "", "  Devices file not enabled.\n");
        fake.on("vgchange -ay " + vg + kLocking);
        std::map<std::string, std::string> map = c.map;
        LVM::VG again = LVM_linux_lvm().recreateVG({d0, d1}, metadata_.c_str(), map);

        vbtest::expectCommands(commands(fake),
                               {kListing, "pvdisplay " + d0, "pvdisplay " + d1, viewOf({d0, d1}),
                                "vgcfgbackup " + filter + " -f FILE " + vg, "lvm lvmdevices",
                                "vgchange -ay " + vg + kLocking});
        EXPECT_EQ(progress.lines, std::vector<std::string>{"[1/1] activating " + vg});
        EXPECT_EQ(uuidOf_, carried);
        EXPECT_EQ(map, (std::map<std::string, std::string>{{kPv0, carried.at(d0)},
                                                           {kPv1, carried.at(d1)}}));
        EXPECT_EQ(disks_.journal(), "");
        EXPECT_EQ(again.name, first.name);
        EXPECT_EQ(again.uuid, first.uuid);
        EXPECT_EQ(again.orig_uuid, first.orig_uuid);
        EXPECT_EQ(again.metadata, first.metadata);
        ASSERT_EQ(again.pvs.size(), first.pvs.size());
        for (const auto& pv : first.pvs) {
            ASSERT_TRUE(again.pvs.count(pv.first));
            EXPECT_EQ(again.pvs[pv.first].orig_uuid, pv.second.orig_uuid);
            EXPECT_EQ(again.pvs[pv.first].device, pv.second.device);
        }
        ASSERT_EQ(again.lvs.size(), first.lvs.size());
        for (const auto& lv : first.lvs) {
            ASSERT_TRUE(again.lvs.count(lv.first));
            EXPECT_EQ(again.lvs[lv.first].orig_uuid, lv.second.orig_uuid);
            EXPECT_EQ(again.lvs[lv.first].device, lv.second.device);
            EXPECT_EQ(again.lvs[lv.first].pvs, lv.second.pvs);
        }
    }
}

// The clones are the PVs of a group that this import would not make from them: another group of
// that name, one with an LV more, one with another PV. Nothing is re-initialised.
TEST_F(CloneFixture, AGroupOnTheClonesThatThisImportDoesNotMakeIsRefused) {
    std::string d0 = addDevice("sdb", "new000-0000-0000-0000-0000-0000-000000");
    std::string d1 = addDevice("sdc", "new111-1111-1111-1111-1111-1111-111111");
    // What an earlier run made of the two clones (the first PV's LVs and the mirror's side).
    auto made = [&](const std::string& name, const std::string& extraLv, const std::string& pv) {
        return name + " {\nid = \"Madeaa-1111-1111-1111-1111-1111-Madeaa\"\nseqno = 1\n" +
               "status = [\"READ\", \"WRITE\"]\nextent_size = 8192\n" +
               "physical_volumes {\npv0 {\nid = \"" + uuidOf_[d0] + "\"\ndevice = \"" + d0 +
               "\"\n}\npv1 {\nid = \"" + pv + "\"\ndevice = \"" + d1 + "\"\n}\n}\n" +
               "logical_volumes {\n" + extraLv + "}\n}\n";
    };
    const std::string lv =
        "extra {\nid = \"Extraa-1111-1111-1111-1111-1111-Extraa\"\nstatus = [\"VISIBLE\"]\n"
        "segment_count = 1\nsegment1 {\ntype = \"striped\"\nstripes = [\"pv0\", 0]\n}\n}\n";
    struct Case {
        const char* name;
        std::string group;
        std::string text;
    } cases[] = {
        {"a group of another name", "other", made("other", "", uuidOf_[d1])},
        {"a group with an LV this import does not make", "smp_mixed_copy_001",
         made("smp_mixed_copy_001", lv, uuidOf_[d1])},
        {"a group with another PV", "smp_mixed_copy_001",
         made("smp_mixed_copy_001", "", "Otherp-1111-1111-1111-1111-1111-Otherp")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& d : {d0, d1}) {
            disks_.seen[d] = {c.group, "Madeaa-1111-1111-1111-1111-1111-Madeaa", false, false};
        }
        vbtest::FakeRunner fake;
        answerListing(fake, {"smp_mixed", c.group});
        answerPvTools(fake);
        disks_.answerGroupExport(fake, c.group, [&c] { return c.text; });
        std::map<std::string, std::string> map{{kPv0, uuidOf_[d0]}, {kPv1, uuidOf_[d1]}};
        const std::map<std::string, std::string> given = map;
        try {
            LVM_linux_lvm().recreateVG({d0, d1}, metadata_.c_str(), map);
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            EXPECT_NE(e.getMessage().find("VG [" + c.group + "]"), std::string::npos)
                << e.getMessage();
            EXPECT_NE(e.getMessage().find("refusing to re-initialize them"), std::string::npos)
                << e.getMessage();
        }
        EXPECT_EQ(map, given);
        EXPECT_TRUE(disks_.restoreFiles.empty());
    }
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
                      "Failed to add PV device " + d0 + " to LVM's devices file: no room");
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
