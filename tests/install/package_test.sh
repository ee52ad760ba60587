#!/bin/bash
# The Debian packages on this machine (as root): installs them with apt-get, checks what each one
# depends on, runs the tool from /usr/bin, reads its manual page, builds and runs the outside
# program against the installed development package, then removes the packages with dpkg -r and
# checks that none of their files is left. The packages are removed also when a check fails.
#
#     tests/install/package_test.sh DIR        (DIR: the .deb files scripts/package.sh made)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=$(cd "${1:?usage: $0 DIR-WITH-DEB-FILES}" && pwd)
debs=("$dir"/*.deb)

fail() {
    echo "package test: $*" >&2
    exit 1
}
field() { dpkg-deb -f "$1" "$2"; }
deb_of() { # the .deb file of the package $1
    local deb
    for deb in "${debs[@]}"; do
        if [ "$(field "$deb" Package)" = "$1" ]; then
            echo "$deb"
            return
        fi
    done
    fail "no package $1 in $dir"
}
installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }

tools=volbridge-tools
dev=libvolbridge-dev
version=$(field "$(deb_of $tools)" Version)
lib=libvolbridge${version%%.*}
names=("$lib" "$dev" "$tools")
[ ${#debs[@]} -eq 3 ] || fail "expected the 3 packages ${names[*]} in $dir, found ${#debs[@]}"
for name in "${names[@]}"; do
    if installed "$name"; then fail "$name is installed already; this test would remove it"; fi
done

# Every file and link the packages hold (directories are shared with other packages).
files=()
for deb in "${debs[@]}"; do
    while read -r path; do files+=("$path"); done < <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print substr($6, 2) }')
done

cleanup() {
    dpkg -P "${names[@]}" >/dev/null 2>&1 || true
}
trap cleanup EXIT

# What each package depends on: the library package on the system's libraries (found by
# dpkg-shlibdeps), the other two on the library package of their own version; the tool only
# suggests lvm2.
depends_lib=$(field "$(deb_of "$lib")" Depends)
depends_dev=$(field "$(deb_of $dev)" Depends)
depends_tools=$(field "$(deb_of $tools)" Depends)
grep -q 'libc6 (>= ' <<<"$depends_lib" || fail "$lib depends on: $depends_lib"
grep -q 'libinih1' <<<"$depends_lib" || fail "$lib depends on: $depends_lib"
grep -qF "$lib (= $version)" <<<"$depends_dev" || fail "$dev depends on: $depends_dev"
grep -qF "$lib (= $version)" <<<"$depends_tools" || fail "$tools depends on: $depends_tools"
grep -q 'libstdc++6' <<<"$depends_tools" || fail "$tools depends on: $depends_tools"
if grep -q lvm2 <<<"$depends_tools"; then fail "$tools depends on lvm2: $depends_tools"; fi
[ "$(field "$(deb_of $tools)" Suggests)" = lvm2 ] || fail "$tools does not suggest lvm2"

export DEBIAN_FRONTEND=noninteractive
apt-get install -y --no-install-recommends "${debs[@]}" >/dev/null
for name in "${names[@]}"; do installed "$name" || fail "$name was not installed"; done

# The tool from /usr/bin, with the libraries of the package and no search path of its own.
[ "$(command -v volbridge)" = /usr/bin/volbridge ] || fail "volbridge is $(command -v volbridge)"
/usr/bin/volbridge --help | grep -q '^Usage: volbridge ' || fail "volbridge --help"
[ "$(/usr/bin/volbridge --version)" = "volbridge $version" ] || fail "volbridge --version"
loaded=$(ldd /usr/bin/volbridge | awk '$1 == "libvolbridge.so.1" { print $3 }')
[ "$(readlink -f "$loaded")" = "$(readlink -f /usr/lib/*/libvolbridge.so.1)" ] ||
    fail "volbridge loads libvolbridge.so.1 from ${loaded:-nowhere}"
if readelf -d /usr/bin/volbridge | grep -qE 'RPATH|RUNPATH'; then fail "volbridge has a search path"; fi

# The manual page: found by man, and read without a warning.
[ "$(man -w volbridge)" = /usr/share/man/man1/volbridge.1.gz ] || fail "man -w: $(man -w volbridge)"
warnings=$(MANWIDTH=80 man --warnings -l /usr/share/man/man1/volbridge.1.gz 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man warns: $warnings"

# A program outside the tree, built with pkg-config and with the CMake package of the -dev package.
"$here/outside_program_test.sh" --installed "$here/outside_program.cpp"

# Removed: none of their files is left.
dpkg -r "${names[@]}" >/dev/null
for name in "${names[@]}"; do
    if installed "$name"; then fail "$name is still installed"; fi
done
for path in "${files[@]}"; do
    if [ -e "$path" ] || [ -L "$path" ]; then fail "$path is left after dpkg -r"; fi
done
if command -v volbridge >/dev/null; then fail "volbridge is still on the PATH"; fi
if pkg-config --exists volbridge; then fail "pkg-config still finds volbridge"; fi
echo "packages OK: ${names[*]} $version"
