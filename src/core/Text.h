// Small helpers for cutting command output apart and for quoting text in messages.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace volbridge {

// The lines of `text`, split at line feeds, without them; a last line without a line feed
// counts, an empty text gives no line and a text ending in a line feed gives no empty last line.
std::vector<std::string> splitLines(std::string_view text);

// The words of `line`: maximal runs of characters other than blank and tab.
std::vector<std::string> splitWords(std::string_view line);

// `text` cut at every `separator`, empty fields kept so that positions hold ("a::b" gives
// "a", "", "b"; "" gives one empty field).
std::vector<std::string> splitFields(std::string_view text, char separator);

// `text` without leading and trailing blanks and tabs.
std::string trimBlanks(std::string_view text);

bool contains(std::string_view text, std::string_view part);
bool startsWith(std::string_view text, std::string_view prefix);

// `text` as it can be quoted in a message or a log line: control characters, DEL and bytes above
// 0x7e as \xNN, a backslash doubled, everything else unchanged.
std::string printable(std::string_view text);

// Text a command printed, as it can be quoted inside one log line or message: line breaks at its
// end dropped, those inside written as "\n" (and carriage returns as "\r"), everything else
// unchanged.
std::string quotedOutput(std::string_view text);

}  // namespace volbridge
