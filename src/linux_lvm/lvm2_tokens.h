// The two small tokenizers the LVM2 backend uses on command output.
#pragma once

#include <string>

namespace volbridge {
namespace lvm2 {

// Skips whitespace (crossing line ends), then returns the run of non-whitespace characters that
// follows; `p` is left on the whitespace character after it (not consumed). Empty at the end of
// the text (a NUL).
std::string getToken(const char*& p);

// Returns the characters up to the end of the text, a newline or `sep`. `*more` tells whether
// `sep` ended the field; if so it is stepped over. A newline is not consumed, so the reader
// never leaves its line.
std::string getToken(const char*& p, char sep, bool* more);

}  // namespace lvm2
}  // namespace volbridge
