#!/bin/bash
# Sets everything up and runs every test: installs the packages, builds a release build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build, and runs all tests of both with ctest
# (the real LVM2 tests need root and loop devices).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export VOLBRIDGE_REQUIRE_REAL=${VOLBRIDGE_REQUIRE_REAL:-1}
for flavour in release asan; do
    echo "=== $flavour build"
    scripts/build.sh "$flavour"
    echo "=== $flavour tests"
    (cd "build/$flavour" && ctest --output-on-failure -j "$(nproc)")
done
