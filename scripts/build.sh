#!/bin/bash
# Configures and builds one flavour into build/<flavour>: "release" or "asan"
# (AddressSanitizer + UndefinedBehaviorSanitizer).
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-release}
case "$flavour" in
    release) args=(-DCMAKE_BUILD_TYPE=Release) ;;
    asan) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOLBRIDGE_SANITIZE=ON) ;;
    *) echo "usage: $0 [release|asan]" >&2; exit 2 ;;
esac
cmake -S . -B "build/$flavour" "${args[@]}" >/dev/null
cmake --build "build/$flavour" -j "$(nproc)"
