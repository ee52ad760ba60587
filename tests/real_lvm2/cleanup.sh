#!/bin/sh
# Removes whatever real LVM2 test runs of this build left behind (a killed run skips its
# destructors): loop devices backed by images under the build's test root, the images, the
# backup files of the groups those runs named and the /dev/<group> directories of the LV nodes
# they made. Each sandbox's work directory is named after its group-name prefix. Other build
# trees' runs are left alone.
root=${VOLBRIDGE_REAL_TEST_ROOT:-/var/tmp/volbridge-real-tests}
[ -d "$root" ] || exit 0
if command -v losetup >/dev/null 2>&1; then
    losetup -l -n -O NAME,BACK-FILE 2>/dev/null | while read -r dev file _; do
        case "$file" in
            "$root"/*) losetup -d "$dev" 2>/dev/null ;;
        esac
    done
fi
for dir in "$root"/*/; do
    [ -d "$dir" ] || continue
    prefix=$(basename "$dir")
    case "$prefix" in
        vbt*_)
            rm -f /etc/lvm/backup/"$prefix"* /etc/lvm/archive/"$prefix"*
            rm -rf /dev/"$prefix"*
            ;;
    esac
done
rm -rf "$root"
exit 0
