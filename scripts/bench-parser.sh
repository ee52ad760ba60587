#!/bin/bash
# Builds the release flavour and runs the metadata parser benchmark: our parse and dump against
# libdevmapper's configuration parser and writer on generated metadata of about 100 KB, 1 MB and
# 10 MB, each measured three times. Prints Google Benchmark's lines, then a table of MB/s with
# the median of the three and our rate over libdevmapper's linear mode. Extra arguments go to the
# benchmark (e.g. --benchmark_filter=ours). Exits with 1 when the 1.5x goal is missed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh release >/dev/null
exec build/release/bench/volbridge_parser_bench --benchmark_repetitions=3 \
    --benchmark_min_time=0.5 "$@"
