#!/bin/bash
# Runs the unit tests whose outcome depends on file ownership as an unprivileged user (uid
# 65534), after making, as root, the files of other users those tests need:
#   $VBTEST_OTHER_USER_DIR/foreign   owned by uid 1, mode 0644
#   $VBTEST_OTHER_USER_DIR/by-root   owned by root, mode 0644
# Usage: run_as_other_user.sh UNIT_TEST_BINARY GTEST_FILTER
set -euo pipefail
binary=$1
filter=$2
if [ "$(id -u)" -ne 0 ]; then
    echo "not root: the tests already ran as this user" >&2
    exit 0
fi
uid=65534
dir=$(mktemp -d /tmp/vbtest-other-XXXXXX)
trap 'rm -rf "$dir"' EXIT
chown "$uid:$uid" "$dir"
chmod 0755 "$dir"
printf 'not yours\n' > "$dir/foreign"
chown 1:1 "$dir/foreign"
chmod 0644 "$dir/foreign"
: > "$dir/by-root"
chmod 0644 "$dir/by-root"
# The test's own scratch directories go under a directory that user owns.
export TMPDIR=$dir
export VBTEST_OTHER_USER_DIR=$dir
# Not exec: the trap removes the directory when the tests are done.
setpriv --reuid="$uid" --regid="$uid" --clear-groups -- "$binary" --gtest_filter="$filter"
