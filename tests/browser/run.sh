#!/usr/bin/env bash
# Runs the browser tests against a local run of the built service. The run happens in a private
# mount namespace with its own /run/http, so it never meets a real installation or another run.
# Usage: tests/browser/run.sh [BUILD_DIR]      (needs root, nginx, chromium and npm)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../.." && pwd)"

if [ "${OVRA_PRIVATE_RUN_HTTP:-}" != yes ]; then
  mkdir -p /run/http
  exec unshare --mount env OVRA_PRIVATE_RUN_HTTP=yes "$0" "$@"
fi
mount -t tmpfs tmpfs /run/http

npm --prefix "$here" ci --no-audit --no-fund --silent

run_dir="$(mktemp -d)"
port="$(shuf -i 20000-39999 -n 1)"
RUN_DIR="$run_dir" LISTEN="127.0.0.1:$port" "$repo/scripts/run-local.sh" "$@" > "$run_dir/run-local.out" 2>&1 &
local_run=$!
trap 'kill -TERM "$local_run" 2>/dev/null; wait; rm -rf "$run_dir"' EXIT

until grep -q "is running" "$run_dir/run-local.out"; do
  if ! kill -0 "$local_run" 2>/dev/null; then
    cat "$run_dir/run-local.out" >&2
    exit 1
  fi
  sleep 0.2
done

BASE_URL="http://127.0.0.1:$port/local/ovra_vpn/" npm --prefix "$here" test
