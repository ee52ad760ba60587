// Files the library writes under names of its own choosing for a volume manager's tool to read
// (VxVM volume descriptions, GPFS configuration copies, stanza, node and NSD list files), and
// files a tool is asked to write under such a name.
//
// The names are predictable and the directories may be shared, so a file is never opened by a
// name that somebody else could have planted: it is created exclusively (O_CREAT|O_EXCL) without
// following a symbolic link, mode 0600. A file already at that name is replaced only when it is a
// regular file owned by the effective user (a stale file of ours); a link, a directory or another
// user's file is refused with a YbException that names the path, and is left alone.
#pragma once

#include <string>

#include "core/Origin.h"

namespace volbridge {

// Writes `text` to `path` under the rule above. Throws (function and unit of `at`) when the name
// is refused, or when the file cannot be created or written whole.
void writeToolFile(const Origin& at, const std::string& path, const std::string& text);

// Makes way for a file that a tool will write at `path` (mmexportfs -o FILE): nothing there is
// fine; a stale regular file of ours is removed; anything else is refused with a YbException.
void clearToolOutputPath(const Origin& at, const std::string& path);

// A file written with writeToolFile and removed when the owner goes, on every path.
class ToolFile {
  public:
    ToolFile(const Origin& at, std::string path, const std::string& text);
    ~ToolFile();
    ToolFile(const ToolFile&) = delete;
    ToolFile& operator=(const ToolFile&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace volbridge
