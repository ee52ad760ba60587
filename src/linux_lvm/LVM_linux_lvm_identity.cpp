// Identity strings of LVM2 objects: generating identifiers, reading a PV's identifier from its
// label (or from pvdisplay), and device-mapper's doubled dashes.
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>

#include "core/Command.h"
#include "core/FileDescriptor.h"
#include "core/Operation.h"
#include "host/LogWriter.h"
#include "host/YbException.h"
#include "host/yb_crc32.h"
#include "linux_lvm/lvm2_command.h"
#include "linux_lvm/lvm2_identity.h"
#include "linux_lvm/lvm2_tokens.h"

namespace volbridge {
namespace lvm2 {

namespace {

const char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr size_t kAlphabetSize = sizeof kAlphabet - 1;  // 62
// Characters per group of an identifier; groups are joined by "-".
constexpr uint32_t kGroupSizes[7] = {6, 4, 4, 4, 4, 4, 6};
constexpr size_t kUuidChars = 32;

// The label's checksum covers bytes 20-511 and starts from this value.
constexpr unsigned int kLabelCrcSeed = 0xf597a6cf;

// Reads up to `size` bytes, going on after short reads and interruptions; returns the number of
// bytes read (less than `size` only at the end of the data) or -1 with errno set.
ssize_t readFully(int fd, unsigned char* buf, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, buf + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Little-endian fields of the label, assembled byte by byte so that the host's byte order does
// not matter.
uint32_t le32(const unsigned char* p) {
    unsigned char b[4];
    memcpy(b, p, sizeof b);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

uint64_t le64(const unsigned char* p) {
    unsigned char b[8];
    memcpy(b, p, sizeof b);
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | b[i];
    return v;
}

// 32 characters joined in groups of 6-4-4-4-4-4-6.
std::string dashed(const unsigned char* chars) {
    std::string uuid;
    size_t at = 0;
    for (size_t group = 0; group < 7; ++group) {
        if (group > 0) uuid += '-';
        uuid.append(reinterpret_cast<const char*>(chars) + at, kGroupSizes[group]);
        at += kGroupSizes[group];
    }
    return uuid;
}

bool readRandomBytes(const char* source, unsigned char* bytes) {
    FileDescriptor fd(open(source, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    return readFully(fd.get(), bytes, kUuidChars) == static_cast<ssize_t>(kUuidChars);
}

// The fallback when the random device cannot be read. Seeded once per process from the clock
// and the process id: seeding on every call from the time in seconds would give every
// identifier made within the same second the same value.
void pseudoRandomBytes(unsigned char* bytes) {
    static std::mutex mutex;
    static std::mt19937 generator = [] {
        struct timeval now;
        gettimeofday(&now, nullptr);
        std::seed_seq seed{static_cast<uint32_t>(now.tv_sec), static_cast<uint32_t>(now.tv_usec),
                           static_cast<uint32_t>(getpid())};
        return std::mt19937(seed);
    }();
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 0; i < kUuidChars; ++i) bytes[i] = static_cast<unsigned char>(generator());
}

[[noreturn]] void labelFailure(const std::string& message, int line) {
    Origin{"getPVUUID", unit::kLinuxLvm}.fail(message, line);
}

}  // namespace

std::string uuidFromBytes(const unsigned char* bytes) {
    std::string uuid;
    size_t group = 0;
    uint32_t inGroup = 0;
    for (size_t i = 0; i < kUuidChars; ++i) {
        uuid += kAlphabet[bytes[i] % kAlphabetSize];
        if (++inGroup == kGroupSizes[group] && group < 6) {
            uuid += '-';
            ++group;
            inGroup = 0;
        }
    }
    return uuid;
}

bool isLvmUuid(std::string_view text) {
    if (text.size() != kUuidChars + 6) return false;
    size_t at = 0;
    for (size_t group = 0; group < 7; ++group) {
        if (group > 0 && text[at++] != '-') return false;
        for (uint32_t i = 0; i < kGroupSizes[group]; ++i) {
            if (!memchr(kAlphabet, text[at++], kAlphabetSize)) return false;
        }
    }
    return true;
}

std::string genUUID(const char* randomSource) {
    unsigned char bytes[kUuidChars];
    if (!readRandomBytes(randomSource, bytes)) pseudoRandomBytes(bytes);
    return uuidFromBytes(bytes);
}

std::string genUUID() { return genUUID("/dev/urandom"); }

// A label sector (here sector 1 of a PV made by pvcreate), fields little-endian:
//   0000: 4c41 4245 4c4f 4e45  0100 0000 0000 0000   "LABELONE", sector 1
//   0010: fc08 f3f6 2000 0000  4c56 4d32 2030 3031   crc, PV header at 32, "LVM2 001"
//   0020: 7971 3843 3270 5261  4979 4838 556c 5a6d   "yq8C2pRaIyH8UlZm"  (PV identifier,
//   0030: 7563 6436 7577 7638  7447 7056 5976 4664   "ucd6uwv8tGpVYvFd"   32 characters)
LabelSector decodeLabelSector(const unsigned char* sector, uint64_t sectorNumber) {
    LabelSector label;
    if (memcmp(sector, "LABELONE", 8) != 0) {
        label.verdict = LabelVerdict::NoLabel;
    } else if (memcmp(sector + 24, "LVM2 001", 8) != 0) {
        label.verdict = LabelVerdict::WrongType;
    } else if (le64(sector + 8) != sectorNumber) {
        label.verdict = LabelVerdict::WrongSector;
    } else {
        unsigned int crc = kLabelCrcSeed;
        yb_crc32(sector + 20, kSectorSize - 20, &crc);
        const uint32_t offset = le32(sector + 20);
        if (le32(sector + 16) != crc) {
            label.verdict = LabelVerdict::BadChecksum;
        } else if (offset > kSectorSize - kUuidChars) {
            label.verdict = LabelVerdict::HeaderOutsideSector;
        } else {
            label.verdict = LabelVerdict::Found;
            label.uuid = dashed(sector + offset);
        }
    }
    return label;
}

std::string getPVUUID(const std::string& device) {
    EvDebug dbg(nullptr);
    FileDescriptor fd;
    try {
        int flags = O_RDONLY | O_CLOEXEC;
#ifdef O_LARGEFILE
        flags |= O_LARGEFILE;
#endif
        fd.reset(open(device.c_str(), flags));
        if (fd.get() < 0)
            labelFailure("Failed to open " + device + ": " + strerror(errno), __LINE__);
        std::string uuid;
        for (uint64_t s = 0; s < 4 && uuid.empty(); ++s) {
            if (lseek(fd.get(), static_cast<off_t>(s * kSectorSize), SEEK_SET) < 0) {
                labelFailure("Failed to seek device " + device + ": " + strerror(errno), __LINE__);
            }
            unsigned char sector[kSectorSize];
            ssize_t n = readFully(fd.get(), sector, kSectorSize);
            if (n != static_cast<ssize_t>(kSectorSize)) {
                const std::string why = n < 0 ? strerror(errno)
                                              : "only " + std::to_string(n) + " of " +
                                                    std::to_string(kSectorSize) + " bytes read";
                labelFailure("Failed to read header of device " + device + ": " + why, __LINE__);
            }
            LabelSector label = decodeLabelSector(sector, s);
            if (label.verdict == LabelVerdict::Found) uuid = label.uuid;
        }
        // LVM2 reads and writes its devices with O_DIRECT; pages this buffered read (and its
        // readahead) left in the device's cache would have to be invalidated by every one of
        // its later writes there, so they go now.
        posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
        if (uuid.empty()) {
            labelFailure("Couldn't parse PV headers manually. Falling back to pvdisplay method.",
                         __LINE__);
        }
        dbg.Debug("getPVUUID", "PV [%s] has UUID [%s]", device.c_str(), uuid.c_str());
        return uuid;
    } catch (const YbException& e) {
        dbg.Error(e.getFuncName().c_str(), "%s", e.getMessage().c_str());
        fd.reset();
    }
    return getPVUUIDViaCmd(device);
}

std::string parsePvdisplayUUID(std::string_view view) {
    const std::string text(view);
    const size_t at = text.find("PV UUID");
    if (at == std::string::npos) return "";
    const char* p = text.c_str() + at + strlen("PV UUID");
    return getToken(p);
}

std::string getPVUUIDViaCmd(const std::string& device) {
    const Operation op("getPVUUID", unit::kLinuxLvm);
    CommandResult r = mustRunLvm(op, op.command("pvdisplay").word(device, "the device path"),
                                 "Failed to get UUID of the PV " + device);
    // An empty identifier after "PV UUID" is no answer either.
    std::string uuid = parsePvdisplayUUID(r.out);
    if (uuid.empty()) op.fail("Failed to find PV UUID in the \"pvdisplay " + device + "\" output.");
    return uuid;
}

std::string doubleDashes(const char* name) {
    std::string doubled;
    for (const char* p = name ? name : ""; *p; ++p) {
        doubled += *p;
        if (*p == '-') doubled += '-';
    }
    return doubled;
}

}  // namespace lvm2
}  // namespace volbridge
