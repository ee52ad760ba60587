#!/bin/bash
# Times clone import (recreateVG) on real LVM2 against vgimportclone followed by vgchange -ay, for
# groups over 1, 4 and 16 PVs on loop devices, with 0 and 64 unrelated PVs on the host, and prints
# the table. Needs root. Builds the benchmark in the release build first; arguments go to the
# benchmark program (e.g. --runs 21, --pvs 1,4, --host-pvs 0,64,256, --show-commands).
#
# Everything the run makes lives in $work_root/<prefix>/ (image files, the loop devices backed by
# them, a private lvm.conf) plus LVM2's backup and archive files named <prefix>*; the program
# removes them, and so does this script's exit trap if the program was killed. Nothing else is
# touched.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "$0: needs root (loop devices, LVM2)" >&2
    exit 1
fi

work_root=${VOLBRIDGE_BENCH_ROOT:-/var/tmp/volbridge-bench}
prefix="vbbench$$_"
case "$work_root" in
    /*) ;;
    *) echo "$0: VOLBRIDGE_BENCH_ROOT must be an absolute path" >&2; exit 2 ;;
esac
if [[ ! "$work_root" =~ ^[A-Za-z0-9_./-]+$ || "$work_root" == *..* ]]; then
    echo "$0: VOLBRIDGE_BENCH_ROOT may hold only letters, digits and _./-" >&2
    exit 2
fi
work="$work_root/$prefix"
for arg in "$@"; do
    case "$arg" in
        --work-root | --prefix)
            echo "$0: the script chooses $arg itself (set VOLBRIDGE_BENCH_ROOT for the root)" >&2
            exit 2
            ;;
    esac
done

cleanup() {
    # Only loops backed by this run's images, only this run's backup files.
    if [ -d "$work" ]; then
        losetup -l -n -O NAME,BACK-FILE 2>/dev/null | while read -r dev file _; do
            case "$file" in
                "$work"/*) losetup -d "$dev" 2>/dev/null || true ;;
            esac
        done
        rm -rf "$work"
    fi
    rmdir "$work_root" 2>/dev/null || true  # only when no other run uses it
    rm -f /etc/lvm/backup/"$prefix"* /etc/lvm/archive/"$prefix"*
    # A killed import leaves the library's temporary metadata file in /tmp; this run's name its
    # groups, whose names carry the prefix.
    grep -l -s -F "$prefix" /tmp/ybmeta_* | while read -r file; do rm -f "$file"; done || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target volbridge_recreate_bench >/dev/null
echo "uptime before: $(uptime)"
status=0
build/release/bench/recreate/volbridge_recreate_bench --work-root "$work_root" \
    --prefix "$prefix" "$@" || status=$?
echo "uptime after:  $(uptime)"
exit "$status"
