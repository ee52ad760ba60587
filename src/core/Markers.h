// Operator marker files: files under /tmp whose presence (or first line) changes a step of an
// operation — step hooks that pause a VxVM sequence, "/tmp/requireretag", "/tmp/userdgremove",
// "/tmp/showmetadata", "/tmp/report.cmds", the "/tmp/gpfs*" markers, "/tmp/donotexclude" and the
// files the host's debug-wait points wait on.
//
// /tmp is writable by every local user, so a marker steers this process only when it was made by
// this process's user or by root: it counts when it is a regular file (not a symbolic link),
// owned by the effective user or by root, and not writable by group or others. Any other file of
// that name counts as absent, and one log line at level 0 names it and says why, so that an
// operator who made it the wrong way can see the reason. The test is made on an open descriptor
// of the file, and what is read from a marker is read from that same descriptor.
#pragma once

#include <string>

namespace volbridge {

// The directory operator markers live in: "/tmp" (tests point it elsewhere with a
// ScopedOverride, so that they never touch the real markers).
std::string& markerDirectory();

// markerDirectory() + "/" + name, for example markerPath("requireretag").
std::string markerPath(const std::string& name);

// True when the marker `path` exists and is trusted.
bool markerExists(const std::string& path);

// The content of the trusted marker `path` (its first 64 KiB), read from the descriptor that was
// tested; false (and `content` untouched) when it is absent or not trusted.
bool readMarker(const std::string& path, std::string* content);

// Why the marker `path` is not trusted: empty when it is trusted or absent. For tests and logs.
std::string markerDistrust(const std::string& path);

// Creates `path` (mode 0600, so that it is a file this process trusts whatever the umask)
// without following a symbolic link and without truncating a file already there; false when it
// cannot be created.
bool createResumeFile(const std::string& path);

}  // namespace volbridge
