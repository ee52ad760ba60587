// Configuration lookups and the host temp directory.
#pragma once

#include <string>

#include "host/HostExport.h"

class VBHOST_API YBPlatformInfo {
  public:
    // Nonzero when `key` exists in `section` with a numeric value; only then is `*value` written.
    static int getNumber(const char* section, const char* key, unsigned long* value);
    static int getRegInt(const char* section, const char* key, int* value);
    // Nonzero when `key` exists in `section`; only then is `*value` written.
    static int getString(const char* section, const char* key, std::string* value);
};

class VBHOST_API YBPI_Base {
  public:
    // The directory for temporary files: [host] temp_dir or VOLBRIDGE_TMPDIR when set (null when
    // it is not an accessible directory); otherwise the private directory "/tmp/volbridge-<euid>",
    // created with mode 0700 when missing, and null (after an error line) when it exists but is
    // not a directory of the effective user with mode 0700. The text stays valid until the next
    // call.
    static const char* getPlumexTempDirectory();
    // The same into a buffer of 1024 bytes; false (buffer untouched) on failure.
    static bool getPlumexTempDirectory(char* buffer);
};
