// Identity strings of LVM2 objects: new identifiers, the identifier on a PV's label, and
// device-mapper's form of a name.
#pragma once

#include <string>

namespace volbridge {
namespace lvm2 {

// A new 38-character LVM2-style identifier: 32 characters of
// "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ" in groups of 6-4-4-4-4-4-6
// joined by "-".
std::string genUUID();

// The dashed identifier of the PV on `device`, read from its LVM2 label; falls back to
// getPVUUIDViaCmd when the label cannot be read. Throws YbException only from the fallback.
std::string getPVUUID(const std::string& device);

// The same, taken from "pvdisplay <device>". Throws YbException.
std::string getPVUUIDViaCmd(const std::string& device);

// `name` with every "-" doubled, as device-mapper writes it inside a mapping name.
std::string doubleDashes(const char* name);

}  // namespace lvm2
}  // namespace volbridge
