// Files owned by a user other than the one running the test, for the checks that depend on
// ownership. As root the test makes them itself (owned by uid 65534); as another user it takes
// the ones the non-root harness (tests/unit/run_as_other_user.sh) made beforehand as root, in
// $VBTEST_OTHER_USER_DIR: "foreign" owned by uid 1 and "by-root" owned by root, both mode 0644.
#pragma once

#include <string>

namespace vbtest {

// The uid the test gives its files of another user when it runs as root.
constexpr unsigned kOtherUid = 65534;

// A regular file of another user that this process may try to replace, with `text` in it when
// made here; empty when none can be had (the caller then skips).
std::string otherUsersFile(const std::string& dir, const std::string& text);

// A regular file owned by root, mode 0644; empty when none can be had.
std::string rootsFile(const std::string& dir);

}  // namespace vbtest
