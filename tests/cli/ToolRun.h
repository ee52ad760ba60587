// Running the built volbridge tool as a separate program, the way a user runs it.
#pragma once

#include <string>
#include <vector>

#include "Fixtures.h"

namespace vbtest {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the tool with `args`, each passed as one word, in the test's environment (LVM_SYSTEM_DIR
// of a sandbox included).
ToolRun runTool(const std::vector<std::string>& args);

// The same with the tool's standard error on a pseudo-terminal (200 columns, raw: what the tool
// writes arrives as it is), its standard output in a file and its standard input /dev/null.
// `err` holds what the terminal received.
ToolRun runToolOnTerminal(const std::vector<std::string>& args);

// `word` quoted for /bin/sh.
std::string shellQuoted(const std::string& word);

// A directory of its own for a test's files, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Writes `text` to the file `name` in the directory; returns its path.
    std::string write(const std::string& name, const std::string& text) const;

  private:
    std::string path_;
};

}  // namespace vbtest
