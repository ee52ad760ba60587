#!/bin/bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) into
# build/fuzz and runs the metadata fuzzer for a bounded time, 60 seconds unless given:
#
#     scripts/fuzz.sh [seconds]
#
# The seed corpus is every captured metadata file under tests/fixtures/lvm2/metadata; what the
# run learns stays in build/fuzz/metadata-corpus for the next run. Fails on any crash, leak,
# assertion of the target or timeout; the input that caused it is left in build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVOLBRIDGE_BUILD_FUZZ=ON -DVOLBRIDGE_BUILD_TESTS=OFF -DVOLBRIDGE_BUILD_BENCH=OFF \
    -DVOLBRIDGE_BUILD_TOOLS=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target volbridge_metadata_fuzzer

corpus=build/fuzz/metadata-corpus
seeds=build/fuzz/metadata-seeds
artifacts=build/fuzz/artifacts
rm -rf "$seeds"
mkdir -p "$corpus" "$seeds" "$artifacts"
find tests/fixtures/lvm2/metadata -name '*.vg' | while read -r f; do
    rel=${f#tests/fixtures/lvm2/metadata/}
    cp "$f" "$seeds/${rel//\//_}"
done
echo "=== fuzzing the metadata parser for ${seconds}s"
build/fuzz/fuzz/volbridge_metadata_fuzzer -max_total_time="$seconds" -max_len=16384 \
    -timeout=10 -rss_limit_mb=2048 -dict=fuzz/metadata.dict -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" "$seeds"
