#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
build_dir=${BUILD_DIR:-build}
# Every warning an error here (and so in CI); a plain configure only warns.
cmake -S . -B "$build_dir" -G Ninja -DBUILD_TESTING=ON -DOVRA_WERROR=ON
ninja -C "$build_dir" -j2
# The process tests record every answer of the daemon here; each must match the API's contract.
answers="$(realpath "$build_dir")/api-answers"
rm -rf "$answers"
OVRA_API_ANSWERS="$answers" ctest --test-dir "$build_dir" --output-on-failure -j2 "$@"
tests/contract/check_answers.py docs/api/openapi.yaml "$answers"
tests/browser/run.sh "$build_dir"
tests/fleet/run.sh "$build_dir"
