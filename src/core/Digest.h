// A digest that names a captured metadata text in the records of unfinished work: two captures
// whose texts differ in any byte (another group, the same group after a change) have different
// digests, so a re-run recognises only its own capture's work.
#pragma once

#include <string>
#include <string_view>

namespace volbridge {

// The SHA-256 of `text`, as 64 lower-case hexadecimal digits.
std::string captureDigest(std::string_view text);

}  // namespace volbridge
