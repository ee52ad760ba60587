#!/bin/bash
# The main job: sets everything up, builds, and lists this host's LVM2 groups and devices
# through the library.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release >/dev/null
build/release/examples/volbridge_list
