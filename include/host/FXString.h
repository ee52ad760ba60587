// Small string helpers of the host.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "host/HostExport.h"

struct VBHOST_API FXString {
    enum SplitFlags { KEEP_EMPTY = 0, DROP_EMPTY = 1 };

    // Splits `text` at every occurrence of `sep` (which may be longer than one character) and
    // appends the fields to `out`. Flags 0 keep empty fields so that positions hold; 1 drops them.
    // An empty `sep` yields the whole text as one field.
    static void Split(const std::string& text, const std::string& sep, std::list<std::string>& out,
                      int flags);
    static void Split(const std::string& text, const std::string& sep,
                      std::vector<std::string>& out, int flags);
    // Removes the characters of `chars` from both ends, in place; returns `s`.
    static std::string& Trim(std::string& s, const char* chars);
    static std::string& TrimWhiteSpace(std::string& s) { return Trim(s, " \t"); }
    static bool MatchLeft(const std::string& s, const std::string& prefix);
    // Replaces every occurrence of `from` (non-empty) by `to`, left to right, in place; returns
    // the number of replacements. `flags` is 0.
    static int ReplaceAll(std::string& s, const std::string& from, const std::string& to,
                          int flags);
    static std::string& ToLower(std::string& s);
};
