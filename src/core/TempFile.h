// Temporary files of an operation: created with a unique name, removed when the owner goes (on
// success and on every exception path alike).
#pragma once

#include <string>

#include "core/Origin.h"

namespace volbridge {

// The host's directory for temporary files (YBPI_Base::getPlumexTempDirectory); throws
// "Error: the temporary directory is not available" from `at` when the host has none.
std::string hostTempDirectory(const Origin& at);

class TempFile {
  public:
    // Creates an empty file `directory` + "/" + `prefix` + six random characters, mode 0600.
    // Throws "Couldn't create temporary <template>: <error>" from `at`.
    TempFile(const Origin& at, const std::string& directory, const std::string& prefix);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }

    // Replaces the file's content. Throws "Failed to open file <path> for writing." when it
    // cannot be opened, and "Failed to write file <path>: <error>" when the text cannot be
    // written whole or the file not closed (a short file would hand a tool a truncated text).
    // The text is not forced to stable storage: only commands run later on this host read it.
    void write(const std::string& text);

  private:
    Origin at_;
    std::string path_;
};

}  // namespace volbridge
