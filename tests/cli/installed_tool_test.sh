#!/bin/bash
# Installs the build into a scratch prefix and runs the installed tool: it must be there and find
# the libraries of that prefix, not those of the build tree.
set -euo pipefail
build=$1
prefix=$(mktemp -d "${TMPDIR:-/tmp}/vbtool.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
tool=$prefix/bin/volbridge
test -x "$tool"
libs=$(ldd "$tool")
for lib in libvolbridge.so.1 libvolbridge_host.so.1; do
    if ! grep -q "$lib => $prefix/" <<<"$libs"; then
        echo "the installed tool does not load $lib from $prefix:"
        echo "$libs"
        exit 1
    fi
done
"$tool" devices --help | grep -q '^Usage: volbridge devices'
# The manual page: installed, and read by man without a warning.
page=$prefix/share/man/man1/volbridge.1.gz
test -f "$page"
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
    echo "man warns about $page:"
    echo "$warnings"
    exit 1
fi
rendered=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
grep -q '^EXIT STATUS' <<<"$rendered"
# The package describes what it holds: the LVM2 backend, no other.
description=$(grep '^Description:' "$(find "$prefix" -name volbridge.pc)")
if grep -q -e VxVM -e GPFS <<<"$description"; then
    echo "volbridge.pc names backends that are not there: $description"
    exit 1
fi
echo "installed tool OK"
