// Checking names and paths before they go into a shell command line.
#pragma once

#include <string>

namespace volbridge {

// True when `value` is non-empty, does not start with "-", and holds only characters that the
// shell takes literally: letters, digits and "._+-:/@".
bool isShellWord(const std::string& value);

// Throws YbException (function `func`, source unit `unit`, line `line`, error -1) naming `what`
// and the value when isShellWord(value) is false; nothing has been run at that point.
void requireShellWord(const std::string& value, const char* what, const char* func,
                      const char* unit, int line);

}  // namespace volbridge
