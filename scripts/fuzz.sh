#!/bin/bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) into
# build/fuzz and runs each for a bounded time, 60 seconds unless given:
#
#     scripts/fuzz.sh [seconds] [target ...]
#
# Targets (all unless named): metadata (the LVM2 metadata parser, seeded with the captured
# metadata under tests/fixtures/lvm2/metadata), and the readers of the other backends' captured
# metadata listed below. What a run learns stays in build/fuzz/<target>-corpus for the next run.
# Fails on any crash, leak, assertion of a target or timeout; the input that caused it is left in
# build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

# name | seed files (a find expression under tests/fixtures) | dictionary (may be empty)
targets=(
    "metadata|lvm2/metadata -name *.vg|fuzz/metadata.dict"
    "vxvm_metadata|vxvm/metadata -name *.txt|fuzz/vxvm_metadata.dict"
    "gpfs_metadata|gpfs/metadata -name *.txt|fuzz/gpfs_metadata.dict"
)
wanted=("$@")

CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVOLBRIDGE_BUILD_FUZZ=ON -DVOLBRIDGE_BUILD_TESTS=OFF -DVOLBRIDGE_BUILD_BENCH=OFF \
    -DVOLBRIDGE_BUILD_TOOLS=OFF >/dev/null

artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
for entry in "${targets[@]}"; do
    IFS='|' read -r name seeds dict <<<"$entry"
    if [ ${#wanted[@]} -gt 0 ] && [[ ! " ${wanted[*]} " == *" $name "* ]]; then continue; fi
    cmake --build build/fuzz -j "$(nproc)" --target "volbridge_${name}_fuzzer"
    corpus=build/fuzz/$name-corpus
    seeddir=build/fuzz/$name-seeds
    rm -rf "$seeddir"
    mkdir -p "$corpus" "$seeddir"
    # shellcheck disable=SC2086 # the find expression is split on purpose
    (cd tests/fixtures && set -f && find $seeds -type f) | while read -r f; do
        cp "tests/fixtures/$f" "$seeddir/${f//\//_}"
    done
    echo "=== fuzzing $name for ${seconds}s"
    options=(-max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048
             -print_final_stats=1 -artifact_prefix="$artifacts/")
    [ -n "$dict" ] && options+=(-dict="$dict")
    "build/fuzz/fuzz/volbridge_${name}_fuzzer" "${options[@]}" "$corpus" "$seeddir"
done
