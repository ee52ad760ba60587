#include "core/Text.h"

#include <cstdio>

namespace volbridge {

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> splitWords(std::string_view line) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < line.size()) {
        size_t begin = line.find_first_not_of(" \t", at);
        if (begin == std::string_view::npos) break;
        size_t end = line.find_first_of(" \t", begin);
        if (end == std::string_view::npos) end = line.size();
        words.emplace_back(line.substr(begin, end - begin));
        at = end;
    }
    return words;
}

std::vector<std::string> splitFields(std::string_view text, char separator) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            fields.emplace_back(text.substr(start));
            return fields;
        }
        fields.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::string trimBlanks(std::string_view text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::string();
    size_t last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string printable(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\\') {
            shown += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            shown += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            shown += hex;
        }
    }
    return shown;
}

std::string quotedOutput(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    std::string quoted;
    quoted.reserve(text.size());
    for (char c : text) {
        if (c == '\n') {
            quoted += "\\n";
        } else if (c == '\r') {
            quoted += "\\r";
        } else {
            quoted += c;
        }
    }
    return quoted;
}

}  // namespace volbridge
