#!/bin/bash
# Builds a program outside the tree with "c++ prog.cpp $(pkg-config --cflags --libs volbridge)"
# and with the CMake package, and runs it against real LVM2 on a loop device. Also checks that
# the shared library exports only the public interface.
#
#     outside_program_test.sh BUILD SOURCE [FLAGS]      the build installed into a scratch prefix
#     outside_program_test.sh --installed SOURCE        the installed packages (/usr)
set -euo pipefail
build=$1
source=$2
extra_flags=${3:-}
extra_flags=${extra_flags//;/ }

vg=vbt$$n0_outside_
work=${VOLBRIDGE_REAL_TEST_ROOT:-/var/tmp/volbridge-real-tests}/$vg
loop=
cleanup() {
    if [ -n "$loop" ]; then
        vgremove -ff -y "$vg" >/dev/null 2>&1 || true
        losetup -d "$loop" 2>/dev/null || true
    fi
    rm -rf "$work"
    rm -f "/etc/lvm/backup/$vg"
}
trap cleanup EXIT
mkdir -p "$work/lvm"
vg=${vg}group

if [ "$build" = --installed ]; then
    # Whatever pkg-config and CMake find by themselves.
    test "$(pkg-config --variable=prefix volbridge)" = /usr
    libdir=$(pkg-config --variable=libdir volbridge)
    includedir=$(pkg-config --variable=includedir volbridge)
    rpath=()
    prefix_path=()
else
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    pc=$(find "$work/prefix" -name volbridge.pc)
    libdir=$(dirname "$(dirname "$pc")")
    includedir=$work/prefix/include
    export PKG_CONFIG_PATH="$libdir/pkgconfig"
    rpath=(-Wl,-rpath,"$libdir")
    prefix_path=(-DCMAKE_PREFIX_PATH="$work/prefix")
fi
test -f "$includedir/LVM/LVM.h"
test -f "$includedir/host/YbProcess.h"
test -f "$libdir/cmake/volbridge/volbridgeConfig.cmake"

# Only the interface classes leave the shared library.
leaked=$(nm -D --defined-only "$libdir/libvolbridge.so" | awk '{print $3}' | c++filt |
         grep -vE '^(LVM::|LVM_linux_lvm::|LVM_vxvm::|LVM_gpfs::|typeinfo (name )?for LVM(_linux_lvm|_vxvm|_gpfs)?$|vtable for LVM(_linux_lvm|_vxvm|_gpfs)?$)' |
         grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' || true)
if [ -n "$leaked" ]; then
    echo "libvolbridge.so exports more than the public interface:"
    echo "$leaked"
    exit 1
fi
readelf -d "$libdir/libvolbridge.so" | grep -q 'SONAME.*libvolbridge.so.1'

# shellcheck disable=SC2046,SC2086
c++ -std=c++17 $extra_flags -o "$work/prog" "$source" $(pkg-config --cflags --libs volbridge) \
    "${rpath[@]}"
# The program loads the library it was built against.
loaded=$(ldd "$work/prog" | awk '$1 == "libvolbridge.so.1" { print $3 }')
if [ "$(readlink -f "$loaded")" != "$(readlink -f "$libdir/libvolbridge.so.1")" ]; then
    echo "the program loads libvolbridge.so.1 from ${loaded:-nowhere}, not from $libdir"
    exit 1
fi

# The CMake package: volbridge::volbridge and volbridge::host.
mkdir -p "$work/consumer"
cp "$source" "$work/consumer/prog.cpp"
cat > "$work/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.18)
project(consumer CXX)
find_package(volbridge 1 REQUIRED)
add_executable(prog prog.cpp)
target_compile_options(prog PRIVATE $extra_flags)
target_link_options(prog PRIVATE $extra_flags)
target_link_libraries(prog PRIVATE volbridge::volbridge volbridge::host)
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" "${prefix_path[@]}" >/dev/null
cmake --build "$work/consumer/build" >/dev/null

truncate -s 64M "$work/disk.img"
loop=$(losetup -f --show "$work/disk.img")
cat > "$work/lvm/lvm.conf" <<CONF
devices { global_filter = [ "a|^$loop\$|", "r|.*|" ] use_devicesfile = 0 obtain_device_list_from_udev = 0 hints = "none" }
global { activation = 0 }
activation { udev_sync = 0 udev_rules = 0 monitoring = 0 }
backup { backup_dir = "/etc/lvm/backup" archive = 0 }
CONF
export LVM_SYSTEM_DIR="$work/lvm"
pvcreate -q "$loop" 2>/dev/null
vgcreate -q "$vg" "$loop" 2>/dev/null
lvcreate -q --driverloaded n -an -Zn -L 8M -n data "$vg" 2>/dev/null

out=$("$work/prog")
echo "$out"
cmake_out=$("$work/consumer/build/prog")
test "$out" = "$cmake_out"
grep -q "^group $vg .* 1\$" <<<"$out"
grep -q "^lv /dev/$vg/data\$" <<<"$out"
grep -q "^device $loop LinuxLVM $vg\$" <<<"$out"
grep -q "^vxvm VxVM ok 0\$" <<<"$out"
grep -q "^gpfs 0 0 1\$" <<<"$out"
grep -q "^chosen VxVM all ok\$" <<<"$out"
grep -q "^all $loop LinuxLVM $vg\$" <<<"$out"
grep -q "^runner 0 runner says hello\$" <<<"$out"
echo "outside program OK"
