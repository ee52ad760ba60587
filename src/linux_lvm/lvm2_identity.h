// Identity strings of LVM2 objects: new identifiers, the identifier on a PV's label, and
// device-mapper's form of a name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace volbridge {
namespace lvm2 {

// A new 38-character LVM2-style identifier: 32 characters of
// "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ" in groups of 6-4-4-4-4-4-6
// joined by "-".
std::string genUUID();
// The same, with the 32 random bytes read from `randomSource`; when it cannot be opened or read
// they come from a pseudo-random generator seeded once per process.
std::string genUUID(const char* randomSource);
// `text` has that form: 38 characters, alphabet characters in groups of 6-4-4-4-4-4-6 joined by
// "-".
bool isLvmUuid(std::string_view text);
// The identifier for 32 bytes: byte i gives the alphabet character at (byte % 62).
std::string uuidFromBytes(const unsigned char* bytes);

// The dashed identifier of the PV on `device`, read from its LVM2 label; falls back to
// getPVUUIDViaCmd when the label cannot be read. Throws YbException only from the fallback.
std::string getPVUUID(const std::string& device);

// The same, taken from "pvdisplay <device>". Throws YbException.
std::string getPVUUIDViaCmd(const std::string& device);

// `name` with every "-" doubled, as device-mapper writes it inside a mapping name.
std::string doubleDashes(const char* name);

// ---- the pieces of the label reader ----

constexpr size_t kSectorSize = 512;

// What one sector of the first four says about an LVM2 label in it, in the order the tests run.
enum class LabelVerdict {
    Found,                // a label; `uuid` holds the PV identifier
    NoLabel,              // bytes 0-7 are not "LABELONE"
    WrongType,            // bytes 24-31 are not "LVM2 001"
    WrongSector,          // the label names another sector than the one it was read from
    BadChecksum,          // the CRC of bytes 20-511 differs from the stored one
    HeaderOutsideSector,  // the 32 identifier characters at the PV-header offset do not fit
};

struct LabelSector {
    LabelVerdict verdict = LabelVerdict::NoLabel;
    std::string uuid;  // dashed; only for Found
};

// Decodes the 512 bytes of sector `sectorNumber` (0-3). The multi-byte fields are
// little-endian on disk and are decoded byte by byte, whatever the host's byte order; nothing
// outside the 512 bytes is read, whatever offset the label claims.
LabelSector decodeLabelSector(const unsigned char* sector, uint64_t sectorNumber);

// The identifier after "PV UUID" in "pvdisplay" output, as printed (dashed); empty when the
// output has none.
//   --- Physical volume ---
//   PV Name               /dev/loop9
//   ...
//   PV UUID               mF5Nbd-aisf-B0ur-j11g-MBML-SGdh-Yz3Tqa
std::string parsePvdisplayUUID(std::string_view text);

}  // namespace lvm2
}  // namespace volbridge
