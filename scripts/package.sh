#!/bin/bash
# Builds the Debian packages libvolbridge<major>, libvolbridge-dev and volbridge-tools into
# build/package/packages, from a release build for /usr in build/package. Arguments go to the
# CMake configuration (-DCMAKE_CXX_COMPILER_LAUNCHER=ccache, say).
#
# Install them with: sudo apt-get install ./build/package/packages/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DVOLBRIDGE_BUILD_TESTS=OFF -DVOLBRIDGE_BUILD_BENCH=OFF "$@" >/dev/null
cmake --build build/package -j "$(nproc)"
rm -rf build/package/packages
(cd build/package && cpack -G DEB -B "$PWD/packages" >/dev/null)
rm -rf build/package/packages/_CPack_Packages
ls build/package/packages/*.deb
