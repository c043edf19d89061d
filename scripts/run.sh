#!/usr/bin/env bash
# Installs what is missing, builds, and runs the service locally behind nginx until Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja
ninja -C "$build_dir" -j2 ovra_vpn netbird_sim
BUILD_DIR="$build_dir" exec scripts/run-local.sh
