// Identifiers: generating them, reading a PV's from its label or from pvdisplay, doubled dashes.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <vector>

#include "FakeRunner.h"
#include "Fixtures.h"
#include "host/HostSeams.h"
#include "host/YbException.h"
#include "host/yb_crc32.h"
#include "linux_lvm/lvm2_identity.h"

namespace {

using namespace volbridge::lvm2;
using Sector = std::vector<unsigned char>;

const char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
// A failed direct read writes one error line in the name of the function.
const char kErrorLine[] = "ERROR getPVUUID:";
const char kCouldNotParse[] =
    "Couldn't parse PV headers manually. Falling back to pvdisplay method.";
// The identifier in tests/fixtures/lvm2/pvdisplay/one-pv.txt.
const char kPvdisplayUuid[] = "mF5Nbd-aisf-B0ur-j11g-MBML-SGdh-Yz3Tqa";

void expectWellFormed(const std::string& uuid) {
    ASSERT_EQ(uuid.size(), 38u) << uuid;
    for (size_t i = 0; i < uuid.size(); ++i) {
        if (i == 6 || i == 11 || i == 16 || i == 21 || i == 26 || i == 31) {
            EXPECT_EQ(uuid[i], '-') << uuid << " at " << i;
        } else {
            EXPECT_NE(strchr(kAlphabet, uuid[i]), nullptr) << uuid << " at " << i;
        }
    }
}

TEST(GenUUID, FormatOverManyDrawsFromBothSources) {
    struct Case {
        const char* name;
        const char* source;
    } cases[] = {
        {"random device", "/dev/urandom"},
        {"unreadable source: pseudo-random fallback", "/nonexistent/random"},
        {"source that ends early: fallback", "/dev/null"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::set<std::string> seen;
        for (int i = 0; i < 2000; ++i) {
            std::string uuid = genUUID(c.source);
            expectWellFormed(uuid);
            seen.insert(uuid);
        }
        // The fallback must not hand out the same identifier twice within a second.
        EXPECT_EQ(seen.size(), 2000u);
    }
    expectWellFormed(genUUID());
}

TEST(GenUUID, BytesMapOntoTheAlphabetModulo62) {
    unsigned char bytes[32];
    for (int i = 0; i < 32; ++i) bytes[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(uuidFromBytes(bytes), "012345-6789-abcd-efgh-ijkl-mnop-qrstuv");
    bytes[0] = 61;    // last character
    bytes[1] = 62;    // wraps to the first
    bytes[31] = 255;  // 255 % 62 = 7
    EXPECT_EQ(uuidFromBytes(bytes), "Z02345-6789-abcd-efgh-ijkl-mnop-qrstu7");
}

TEST(DoubleDashes, EveryDashIsDoubled) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""}, {"vg00", "vg00"}, {"my-vg", "my--vg"}, {"a--b", "a----b"}, {"-x-", "--x--"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(doubleDashes(c.in), c.out);
    }
    EXPECT_EQ(doubleDashes(nullptr), "");
}

// ---- label sectors as byte arrays ----

Sector capturedSector() {
    // Sector 1 of a PV made by pvcreate, as hex text.
    std::string hex = vbtest::readFixture("lvm2/label/pv-sector1.hex");
    Sector sector;
    std::string digits;
    for (char ch : hex) {
        if (isxdigit(static_cast<unsigned char>(ch))) digits += ch;
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        sector.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    EXPECT_EQ(sector.size(), kSectorSize);
    sector.resize(kSectorSize);
    return sector;
}

// Writes little-endian values byte by byte, so the arrays are the same on every host.
void putLe(Sector& s, size_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// Stores the checksum of bytes 20-511, so that only the field a case changed is wrong.
void reseal(Sector& s) {
    unsigned int crc = 0xf597a6cf;
    yb_crc32(s.data() + 20, 492, &crc);
    putLe(s, 16, crc, 4);
}

// A label made from nothing: "LABELONE", sector number, PV header at `offset` holding `id`.
Sector syntheticLabel(uint64_t sectorNumber, uint32_t offset, const std::string& id) {
    Sector s(kSectorSize, 0);
    memcpy(s.data(), "LABELONE", 8);
    putLe(s, 8, sectorNumber, 8);
    putLe(s, 20, offset, 4);
    memcpy(s.data() + 24, "LVM2 001", 8);
    memcpy(s.data() + offset, id.data(), id.size());
    reseal(s);
    return s;
}

TEST(LabelSector, DecodesAndRejectsFieldByField) {
    const std::string captured = "yq8C2p-RaIy-H8Ul-Zmuc-d6uw-v8tG-pVYvFd";
    const std::string id32 = "ABCDEFabcdef0123456789ghijklmnop";
    const std::string dashedId = "ABCDEF-abcd-ef01-2345-6789-ghij-klmnop";
    struct Case {
        const char* name;
        std::function<void(Sector&)> edit;
        uint64_t readAt;
        LabelVerdict verdict;
        std::string uuid;
    } cases[] = {
        {"captured label", [](Sector&) {}, 1, LabelVerdict::Found, captured},
        {"captured label read from another sector", [](Sector&) {}, 0, LabelVerdict::WrongSector,
         ""},
        {"no LABELONE", [](Sector& s) { s[0] = 'l'; }, 1, LabelVerdict::NoLabel, ""},
        {"all zero", [](Sector& s) { std::fill(s.begin(), s.end(), 0); }, 1, LabelVerdict::NoLabel,
         ""},
        {"wrong type",
         [](Sector& s) {
             memcpy(s.data() + 24, "LVM1 001", 8);
             reseal(s);
         },
         1, LabelVerdict::WrongType, ""},
        {"wrong sector number",
         [](Sector& s) {
             putLe(s, 8, 2, 8);
             reseal(s);
         },
         1, LabelVerdict::WrongSector, ""},
        {"sector number in the high bytes only",
         [](Sector& s) {
             putLe(s, 8, 1ull << 56, 8);
             reseal(s);
         },
         1, LabelVerdict::WrongSector, ""},
        {"identifier changed, checksum not", [](Sector& s) { s[40] ^= 1; }, 1,
         LabelVerdict::BadChecksum, ""},
        {"checksum changed", [](Sector& s) { s[16] ^= 0x80; }, 1, LabelVerdict::BadChecksum, ""},
        {"header offset 512",
         [](Sector& s) {
             putLe(s, 20, 512, 4);
             reseal(s);
         },
         1, LabelVerdict::HeaderOutsideSector, ""},
        {"header offset 500: identifier would run past the sector",
         [](Sector& s) {
             putLe(s, 20, 500, 4);
             reseal(s);
         },
         1, LabelVerdict::HeaderOutsideSector, ""},
        {"header offset 0xffffffff",
         [](Sector& s) {
             putLe(s, 20, 0xffffffffu, 4);
             reseal(s);
         },
         1, LabelVerdict::HeaderOutsideSector, ""},
        {"synthetic label in sector 3, header at 64",
         [&](Sector& s) { s = syntheticLabel(3, 64, id32); }, 3, LabelVerdict::Found, dashedId},
        {"synthetic label, header at 480: the last 32 bytes",
         [&](Sector& s) { s = syntheticLabel(0, 480, id32); }, 0, LabelVerdict::Found, dashedId},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sector sector = capturedSector();
        c.edit(sector);
        ASSERT_EQ(sector.size(), kSectorSize);
        LabelSector label = decodeLabelSector(sector.data(), c.readAt);
        EXPECT_EQ(label.verdict, c.verdict);
        EXPECT_EQ(label.uuid, c.uuid);
    }
}

// ---- getPVUUID on image files ----

class PVUUIDOnImages : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = root_.path(); }

    // An image of four sectors (or `size` bytes) with `sectors[i]` at sector i where given.
    std::string image(const std::vector<std::pair<int, Sector>>& sectors, size_t size = 2048) {
        std::string path = dir_ + "/img" + std::to_string(++count_);
        std::vector<unsigned char> bytes(size, 0);
        for (const auto& [at, sector] : sectors) {
            for (size_t i = 0; i < sector.size() && at * kSectorSize + i < size; ++i) {
                bytes[at * kSectorSize + i] = sector[i];
            }
        }
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    static size_t openDescriptors() {
        size_t n = 0;
        DIR* d = opendir("/proc/self/fd");
        while (d && readdir(d)) ++n;
        if (d) closedir(d);
        return n;
    }

    vbtest::ScopedTempDir root_;
    std::string dir_;
    int count_ = 0;
};

Sector edited(std::function<void(Sector&)> edit) {
    Sector s = capturedSector();
    edit(s);
    return s;
}

TEST_F(PVUUIDOnImages, ValidLabelIsReadDirectlyAfterSkippingBadOnes) {
    Sector badCrc = edited([](Sector& s) {
        putLe(s, 8, 0, 8);  // claims sector 0 but its checksum no longer matches
    });
    vbtest::FakeRunner fake;  // no answers: any command fails the test
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 2);
    const size_t before = openDescriptors();
    std::string path = image({{0, badCrc}, {1, capturedSector()}});
    EXPECT_EQ(getPVUUID(path), "yq8C2p-RaIy-H8Ul-Zmuc-d6uw-v8tG-pVYvFd");
    EXPECT_TRUE(fake.commands().empty());
    EXPECT_TRUE(
        log.contains("PV [" + path + "] has UUID [yq8C2p-RaIy-H8Ul-Zmuc-d6uw-v8tG-pVYvFd]"));
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(PVUUIDOnImages, UnusableLabelsFallBackToPvdisplay) {
    const std::string pvdisplay = vbtest::readFixture("lvm2/pvdisplay/one-pv.txt");
    struct Case {
        const char* name;
        std::vector<std::pair<int, Sector>> sectors;
        size_t size;
        const char* errorLine;
    } cases[] = {
        {"wrong checksum", {{1, edited([](Sector& s) { s[40] ^= 1; })}}, 2048, kCouldNotParse},
        {"wrong sector number",
         {{1, edited([](Sector& s) {
               putLe(s, 8, 3, 8);
               reseal(s);
           })}},
         2048,
         kCouldNotParse},
        {"wrong type",
         {{1, edited([](Sector& s) {
               memcpy(s.data() + 24, "LVM2 002", 8);
               reseal(s);
           })}},
         2048,
         kCouldNotParse},
        {"header offset 512",
         {{1, edited([](Sector& s) {
               putLe(s, 20, 512, 4);
               reseal(s);
           })}},
         2048,
         kCouldNotParse},
        {"header offset 500",
         {{1, edited([](Sector& s) {
               putLe(s, 20, 500, 4);
               reseal(s);
           })}},
         2048,
         kCouldNotParse},
        {"no label at all", {}, 2048, kCouldNotParse},
        {"device shorter than four sectors", {}, 1000, "Failed to read header of device "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = image(c.sectors, c.size);
        vbtest::FakeRunner fake;
        fake.on("pvdisplay " + path, 0, pvdisplay);
        vbhost::MemoryLogSink log;
        vbhost::ScopedLogSink sink(log, 0);
        const size_t before = openDescriptors();
        EXPECT_EQ(getPVUUID(path), kPvdisplayUuid);
        EXPECT_EQ(fake.commands(), std::vector<std::string>{"pvdisplay " + path});
        EXPECT_EQ(log.count(kErrorLine), 1u);
        EXPECT_TRUE(log.contains(c.errorLine));
        EXPECT_EQ(openDescriptors(), before);
    }
}

TEST_F(PVUUIDOnImages, DeviceThatCannotBeOpenedFallsBackToo) {
    const std::string path = dir_ + "/missing";
    vbtest::FakeRunner fake;
    fake.on("pvdisplay " + path, 5, "", "  Failed to find device\n");
    vbhost::MemoryLogSink log;
    vbhost::ScopedLogSink sink(log, 0);
    try {
        getPVUUID(path);
        ADD_FAILURE() << "no exception";
    } catch (const YbException& e) {
        EXPECT_EQ(e.getFuncName(), "getPVUUID");
        EXPECT_EQ(e.getMessage(),
                  "Failed to get UUID of the PV " + path + ": Failed to find device");
    }
    EXPECT_TRUE(log.contains(kErrorLine));
    EXPECT_TRUE(log.contains("Failed to open " + path + ": No such file or directory"));
}

TEST(PVUUIDViaCmd, AnswersAndFailures) {
    const std::string pvdisplay = vbtest::readFixture("lvm2/pvdisplay/one-pv.txt");
    struct Case {
        const char* name;
        int status;
        std::string out;
        std::string err;
        std::string uuid;     // expected answer, or
        std::string message;  // expected exception message
    } cases[] = {
        {"captured output", 0, pvdisplay, "", kPvdisplayUuid, ""},
        {"non-zero exit", 5, pvdisplay, "  No physical volume label read from /dev/sdz\n", "",
         "Failed to get UUID of the PV /dev/sdz: No physical volume label read from /dev/sdz"},
        {"no PV UUID line", 0, "  --- Physical volume ---\n  PV Name  /dev/sdz\n", "", "",
         "Failed to find PV UUID in the \"pvdisplay /dev/sdz\" output."},
        {"PV UUID with nothing after it", 0, "  PV UUID   \n", "", "",
         "Failed to find PV UUID in the \"pvdisplay /dev/sdz\" output."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vbtest::FakeRunner fake;
        fake.on("pvdisplay /dev/sdz", c.status, c.out, c.err);
        try {
            EXPECT_EQ(getPVUUIDViaCmd("/dev/sdz"), c.uuid);
            EXPECT_TRUE(c.message.empty());
        } catch (const YbException& e) {
            EXPECT_EQ(e.getMessage(), c.message);
            EXPECT_EQ(e.getFuncName(), "getPVUUID");
            EXPECT_EQ(e.getFileName(), "LVM_linux_lvm");
            EXPECT_EQ(e.getErrno(), -1);
        }
    }
}

TEST(PVUUIDViaCmd, DevicePathIsCheckedBeforeAnythingRuns) {
    vbtest::FakeRunner fake;
    EXPECT_THROW(getPVUUIDViaCmd("/dev/sdz; reboot"), YbException);
    EXPECT_THROW(getPVUUIDViaCmd("-a"), YbException);
    EXPECT_TRUE(fake.commands().empty());
}

}  // namespace
