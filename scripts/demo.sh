#!/bin/bash
# The main job, end to end, as root on a fresh machine: installs the packages, builds, and then
# imports a clone of an LVM2 volume group with the volbridge tool, on loop devices with real
# LVM2. It makes a group with four LVs on two disk images, writes a recognisable pattern into the
# extents of one LV, captures the group with "volbridge discover", copies the disk images byte
# for byte (what a storage array's snapshot gives), imports the copies with "volbridge recreate",
# shows both groups as LVM2 reports them, finds the pattern on the copy, and removes the imported
# group with "volbridge destroy".
#
# Everything it makes lives in its own work directory or carries the name prefix vbdemo<pid>_, and
# LVM2 sees only its own loop devices (a private lvm.conf through LVM_SYSTEM_DIR). It all goes
# again when the script ends, fails or is interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf '\n== %s\n' "$*"; }
note() { printf '   %s\n' "$*"; }
die() {
    echo "demo: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || die "run me as root (sudo scripts/demo.sh): I use loop devices and LVM2"

say "Installing the packages the build and the demo need"
scripts/install-deps.sh
say "Building the library and the volbridge tool (release build in build/release)"
scripts/build.sh release >/dev/null
tool=$PWD/build/release/tools/volbridge
[ -x "$tool" ] || die "the build did not produce $tool"
note "built $tool"

[ -e /dev/loop-control ] || modprobe loop 2>/dev/null || true
[ -e /dev/loop-control ] || die "this machine has no loop devices (/dev/loop-control is missing)"
command -v lvm >/dev/null || die "LVM2 is not installed"

prefix=vbdemo$$_
vg=${prefix}src
work=$(mktemp -d /var/tmp/vbdemo.XXXXXX)
log=$work/volbridge.log
node_dirs=()
admitted=()

# Removes what this run made: LV nodes, groups, loop devices, files. Safe to run at any point.
cleanup() {
    local rc=$?
    trap '' INT TERM
    trap - EXIT
    set +e
    say "Cleaning up"
    if [ "$rc" -ne 0 ] && [ -s "$log" ]; then
        note "the demo failed (status $rc); the end of the library's log:"
        tail -n 30 "$log" | sed 's/^/     /'
    fi
    local dir vg_name dev file
    for dir in "${node_dirs[@]}"; do
        rm -rf "$dir" && note "removed the stand-in LV nodes in $dir"
    done
    # With the demo's lvm.conf LVM2 sees only this run's loop devices; the prefix check is a
    # second guard.
    if [ "${LVM_SYSTEM_DIR:-}" = "$work/lvm" ] && [ -f "$work/lvm/lvm.conf" ]; then
        for vg_name in $(vgs --noheadings -o vg_name 2>/dev/null); do
            case "$vg_name" in
                "$prefix"*) vgremove -ff -y "$vg_name" >/dev/null 2>&1 && note "removed group $vg_name" ;;
            esac
        done
    fi
    # Every loop device whose image lies in the work directory is this run's.
    while read -r dev file; do
        case "$file" in
            "$work"/*) losetup -d "$dev" && note "detached $dev ($(basename "$file"))" ;;
        esac
    done < <(losetup -l -n -O NAME,BACK-FILE 2>/dev/null)
    rm -f /etc/lvm/backup/"$prefix"* /etc/lvm/archive/"$prefix"*
    note "removed the LVM2 backup files of groups named $prefix*"
    rm -rf "$work"
    note "removed the work directory $work"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# LVM2 reads this lvm.conf only: its filter admits exactly the loop devices in "admitted"
# (anchored patterns), activation is off (the demo needs no device-mapper) and group backups go
# to /etc/lvm/backup (the library itself asks LVM2 for a group's metadata when it needs it).
export LVM_SYSTEM_DIR=$work/lvm
# Descriptors that the caller of this script left open are none of LVM2's business.
export LVM_SUPPRESS_FD_WARNINGS=1
mkdir -p "$LVM_SYSTEM_DIR"
write_lvm_conf() {
    local filter="" dev
    for dev in "${admitted[@]}"; do filter+="\"a|^$dev\$|\", "; done
    cat >"$LVM_SYSTEM_DIR/lvm.conf" <<EOF
devices {
    global_filter = [ $filter"r|.*|" ]
    use_devicesfile = 0
    obtain_device_list_from_udev = 0
    hints = "none"
    scan_lvs = 0
}
global {
    activation = 0
}
activation {
    udev_sync = 0
    udev_rules = 0
    monitoring = 0
}
backup {
    backup = 1
    backup_dir = "/etc/lvm/backup"
    archive = 0
}
EOF
}
write_lvm_conf

# Runs an LVM2 command without its warnings that activation is off and that new LVs are not
# zeroed: the demo asks for both.
run_lvm() {
    { "$@" 2>&1 1>&3 3>&- | { grep -v -e 'Activation disabled' -e 'not zeroed' || true; } >&2; } 3>&1
}

# Attaches an image to a new loop device; sets "dev".
attach() {
    dev=$(losetup -f --show "$1")
    [[ $dev =~ ^/dev/loop[0-9]+$ ]] || die "losetup gave an unexpected device name: $dev"
}

# Where an LV's extents lie: sets "lv_dev", "lv_offset" and "lv_bytes" (the LV must have one
# segment, on one PV).
locate_lv() {
    local ranges pe_start extent first last
    ranges=$(run_lvm lvs --noheadings --segments -o seg_pe_ranges "$1" | tr -d ' ')
    [[ $ranges =~ ^(/dev/loop[0-9]+):([0-9]+)-([0-9]+)$ ]] ||
        die "$1 is not one segment on one loop device: $ranges"
    lv_dev=${BASH_REMATCH[1]}
    first=${BASH_REMATCH[2]}
    last=${BASH_REMATCH[3]}
    pe_start=$(run_lvm pvs --noheadings --units b --nosuffix -o pe_start "$lv_dev" | tr -d ' ')
    extent=$(run_lvm vgs --noheadings --units b --nosuffix -o vg_extent_size "${1%%/*}" | tr -d ' ')
    lv_offset=$((pe_start + first * extent))
    lv_bytes=$(((last - first + 1) * extent))
    note "$1: extents $first-$last of $lv_dev, which start ${pe_start} bytes into it;" \
        "extent size $extent bytes: bytes $lv_offset to $((lv_offset + lv_bytes - 1))"
}

say "Making two 64 MiB disk images in $work and attaching them to loop devices"
for i in 1 2; do
    truncate -s 64M "$work/disk$i.img"
    attach "$work/disk$i.img"
    admitted+=("$dev")
    note "disk$i.img is $dev"
done
disk1=${admitted[0]}
disk2=${admitted[1]}
write_lvm_conf

say "Making group $vg on $disk1 and $disk2, with four LVs"
run_lvm pvcreate -q "$disk1" "$disk2"
run_lvm vgcreate -q "$vg" "$disk1" "$disk2"
lv() { run_lvm lvcreate -q --driverloaded n -an -Zn "$@"; }
lv -L 4M -n home "$vg" "$disk1"
lv -L 8M -n data "$vg" "$disk1"
lv -L 12M -n logs "$vg" "$disk2"
lv -i 2 -I 64k -L 8M -n scratch "$vg" "$disk1" "$disk2"
run_lvm lvs -o lv_name,lv_size,devices "$vg"

say "Writing a recognisable pattern into the extents of LV data"
locate_lv "$vg/data"
pattern="volbridge demo pattern from ${prefix}"
head -c "$lv_bytes" < <(yes "$pattern") >"$work/pattern"
dd if="$work/pattern" of="$lv_dev" bs=1M oflag=seek_bytes seek="$lv_offset" conv=notrunc,fsync \
    status=none
note "wrote $lv_bytes bytes of \"$pattern\" lines at byte $lv_offset of $lv_dev"

say "Capturing the group with 'volbridge discover' (what a backup does)"
run_lvm vgchange -q -ay "$vg" >/dev/null 2>&1 || true
node=/dev/$vg/data
if [ ! -b "$node" ]; then
    # With activation off (the demo needs no device-mapper, which this machine may lack), LVM2
    # makes no /dev/VG/LV node. The library finds the group of an LV by the node's device number,
    # so a node with the number of a spare loop device (one LVM2 does not see) stands in for it.
    truncate -s 1M "$work/spare.img"
    attach "$work/spare.img"
    spare=$dev
    mkdir -p "/dev/$vg"
    node_dirs+=("/dev/$vg")
    mknod "$node" b "$((0x$(stat -c %t "$spare")))" "$((0x$(stat -c %T "$spare")))"
    note "LVM2 made no $node (activation is off: no device-mapper needed): made a stand-in" \
        "block node for it with the device number of the spare loop device $spare"
fi
"$tool" discover --log-file "$log" --metadata-out "$work/metadata.txt" --map-out "$work/map.json" \
    "$node"
note "kept the group's metadata in $work/metadata.txt ($(wc -c <"$work/metadata.txt") bytes)"
note "kept the identifier map for byte-for-byte copies in $work/map.json"

say "Copying the two disk images byte for byte (the hardware snapshot) and attaching the copies"
sync
clones=()
for i in 1 2; do
    cp --sparse=always "$work/disk$i.img" "$work/copy$i.img"
    attach "$work/copy$i.img"
    clones+=("$dev")
    note "copy$i.img (a copy of disk$i.img) is $dev"
done
admitted+=("${clones[@]}")
write_lvm_conf

say "Importing the copies with 'volbridge recreate' (--trace shows each LVM2 command it runs)"
"$tool" recreate --vendor LinuxLVM --log-file "$log" --trace --metadata "$work/metadata.txt" \
    --map "$work/map.json" "${clones[@]}" | tee "$work/recreate.txt"
copy_vg=$(awk '$1 == "Group" { print $2; exit }' "$work/recreate.txt")
[[ $copy_vg =~ ^${prefix}[A-Za-z0-9_.+-]+$ ]] || die "recreate printed no group of this run: $copy_vg"
note "the identifier map now reads (backup-time PV id -> the copy's new id):"
sed 's/^/     /' "$work/map.json"

say "Both groups as LVM2 reports them"
run_lvm vgs -o vg_name,vg_uuid,pv_count,lv_count,vg_size "$vg" "$copy_vg"
echo
run_lvm lvs -o vg_name,lv_name,lv_uuid,lv_size,devices "$vg" "$copy_vg"
echo
run_lvm pvs -o pv_name,vg_name,pv_uuid

say "Reading the extents of LV data in the imported group $copy_vg directly from its disk"
locate_lv "$copy_vg/data"
case " ${clones[*]} " in
    *" $lv_dev "*) ;;
    *) die "$copy_vg/data lies on $lv_dev, which is not a copy" ;;
esac
dd if="$lv_dev" iflag=skip_bytes,count_bytes skip="$lv_offset" count="$lv_bytes" bs=1M \
    status=none | cmp - "$work/pattern" || die "the pattern is not on the copy"
note "the pattern is there: all $lv_bytes bytes match"

say "Removing the imported group with 'volbridge destroy'"
"$tool" destroy --vendor LinuxLVM --log-file "$log" "$copy_vg"
if vgs "$copy_vg" >/dev/null 2>&1; then die "group $copy_vg is still there"; fi
note "LVM2 no longer knows $copy_vg; the original group is untouched:"
run_lvm vgs -o vg_name,vg_uuid,pv_count,lv_count "$vg"

say "The clone import worked end to end"
