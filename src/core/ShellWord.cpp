#include "core/ShellWord.h"

#include "core/Text.h"
#include "host/YbException.h"

namespace volbridge {

namespace {

bool isWordChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '+' || c == '-' || c == ':' || c == '/' || c == '@';
}

}  // namespace

bool isShellWord(const std::string& value) {
    if (value.empty() || value[0] == '-') return false;
    for (unsigned char c : value) {
        if (!isWordChar(c)) return false;
    }
    return true;
}

void requireShellWord(const std::string& value, const char* what, const char* func,
                      const char* unit, int line) {
    if (isShellWord(value)) return;
    std::string why;
    if (value.empty()) {
        why = "is empty";
    } else if (value[0] == '-') {
        why = "starts with \"-\" and would be taken for an option";
    } else {
        why =
            "holds characters that the shell would interpret (allowed: letters, digits and "
            "\"._+-:/@\")";
    }
    throw YbException(func,
                      std::string("Refusing to run a command with ") + what + " [" +
                          printable(value) + "]: it " + why,
                      unit, line, -1);
}

}  // namespace volbridge
