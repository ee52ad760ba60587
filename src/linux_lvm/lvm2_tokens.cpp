#include "linux_lvm/lvm2_tokens.h"

#include <cctype>

namespace volbridge {
namespace lvm2 {

std::string getToken(const char*& p) {
    while (*p && isspace(static_cast<unsigned char>(*p))) ++p;
    const char* start = p;
    while (*p && !isspace(static_cast<unsigned char>(*p))) ++p;
    return std::string(start, p);
}

std::string getToken(const char*& p, char sep, bool* more) {
    const char* start = p;
    while (*p && *p != '\n' && *p != sep) ++p;
    std::string field(start, p);
    bool atSep = *p != '\0' && *p == sep;
    if (more) *more = atSep;
    if (atSep) ++p;
    return field;
}

}  // namespace lvm2
}  // namespace volbridge
