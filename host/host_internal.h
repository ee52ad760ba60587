// Shared between the units of the host-service library; not installed.
#pragma once

#include <string>

namespace vbhost {

// Parses a decimal, octal (leading 0) or hexadecimal (0x) integer that fills the whole text
// (blanks around it allowed).
bool parseLong(const std::string& text, long long* out);

// Increases whenever the configuration is replaced or reloaded.
unsigned settingsGeneration();

// A problem found while reading the configuration, written to the log once the log writer is
// ready (it reads its own settings from that configuration).
void notePendingProblem(const std::string& problem);

// An error line of the host services themselves.
void logHostProblem(const char* func, const std::string& message);

}  // namespace vbhost
