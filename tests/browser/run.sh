#!/usr/bin/env bash
# Drives the operator page in headless Chromium against a local run of the built service
# (scripts/run-local.sh: the service, the simulator and nginx).
#
# Usage: tests/browser/run.sh [BUILD_DIR] [test|screenshot]
#   test (default)  the browser tests (page.test.mjs)
#   screenshot      docs/screenshot.png: the page once connected to the simulator
# Needs root, Node.js 18 or later with npm, and the Debian packages chromium, nginx, iperf3 and
# iproute2. The run gets its own mount and network namespaces: a private /run/http (it never meets
# a real installation or another run) and a private loopback (its port is always free, and the
# browser reaches nothing beyond it).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
build_dir="$(realpath "${1:-$repo/build}")"
task="${2:-test}"
listen=127.0.0.1:8080
# nginx and ip live in sbin, which the PATH of a non-login shell may lack.
export PATH="$PATH:/usr/sbin:/sbin"

fail() {
  echo "browser tests: $*" >&2
  exit 1
}

check_prerequisites() {
  [ "$(id -u)" -eq 0 ] || fail "needs root for its namespaces"
  case "$task" in test | screenshot) ;; *) fail "unknown task '$task' (test or screenshot)" ;; esac
  local tool
  for tool in node npm chromium nginx ip unshare; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
  done
  node -e 'process.exit(Number(process.versions.node.split(".")[0]) >= 18 ? 0 : 1)' ||
    fail "needs Node.js 18 or later, found $(node --version)"
}

if [ "${OVRA_BROWSER_NAMESPACES:-}" != yes ]; then
  check_prerequisites
  # While the network is still there: the packages come from the npm registry.
  npm --prefix "$here" ci --no-audit --no-fund --loglevel=error || fail "npm could not install the test driver"
  mkdir -p /run/http
  exec unshare --mount --net --propagation private env OVRA_BROWSER_NAMESPACES=yes "$0" "$build_dir" "$task"
fi

ip link set lo up
mount -t tmpfs tmpfs /run/http
run_dir="$(mktemp -d -t ovra.XXXXXX)"
RUN_DIR="$run_dir" LISTEN="$listen" "$repo/scripts/run-local.sh" "$build_dir" >"$run_dir/run-local.out" 2>&1 &
local_run=$!
trap 'kill -TERM "$local_run" 2>/dev/null; wait; rm -rf "$run_dir"' EXIT

until grep -qs "is running" "$run_dir/run-local.out"; do
  kill -0 "$local_run" 2>/dev/null || fail "the local run did not start: $(cat "$run_dir/run-local.out")"
  sleep 0.1
done

# APP_DIR: the tests damage NetBird's configuration there, as a power cut can.
export BASE_URL="http://$listen/local/ovra_vpn/" SCREENSHOT="$repo/docs/screenshot.png" APP_DIR="$run_dir/app"
if ! npm --prefix "$here" run --silent "$task"; then
  # What the service and nginx said, for a failure seen only in CI.
  tail -n 30 "$run_dir"/app/localdata/logs/*.log "$run_dir/nginx/error.log" >&2 || true
  exit 1
fi
