#!/bin/bash
# Installs every Debian package the build, the tests, the benchmarks, the demo and the packaging
# need (dpkg-shlibdeps and file for CPack's Debian packages, man for the manual page's check).
set -euo pipefail
packages=(
    build-essential cmake pkg-config git
    libgtest-dev libgmock-dev libbenchmark-dev
    zlib1g-dev libinih-dev libboost-dev libssl-dev
    libdevmapper-dev lvm2 util-linux
    clang libclang-rt-14-dev
    libcli11-dev nlohmann-json3-dev
    dpkg-dev file man-db
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "All packages are installed."
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
