// The manual page volbridge(1), written from the same description of the command line that --help
// prints (the subcommands, their options and notes, the common options), so that the two cannot
// tell different stories; the sections --help does not have (progress, exit status, environment,
// files, operator markers, examples) are the tool's own text here. The build runs
// "volbridge --manpage" to make the page that is installed.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace vbtool {

// The page in roff (man macros). Footer lines of a subcommand that appear in `sharedFooters` (the
// exit statuses, the signal note) are left out of its entry: the page says them once.
std::string manPage(const CLI::App& app, const std::string& version,
                    const std::vector<std::string>& sharedFooters);

// `text` as roff running text: backslashes and hyphens escaped, and no line that begins with a
// control character.
std::string roffText(const std::string& text);

}  // namespace vbtool
