#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs; quick when they are all there already.
# Usage: scripts/install-deps.sh [run|test|fuzz]
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libboost-dev libboost-filesystem-dev libboost-stacktrace-dev
  nlohmann-json3-dev libspdlog-dev libfmt-dev zlib1g-dev
  libssl-dev  # the client simulator's SHA-256
  libgtest-dev libgmock-dev
  iperf3 util-linux
)
case "${1:-test}" in
  run) packages+=(nginx) ;;
  # python3 for the simulator's smoke test, iproute2 for the tests' private loopback, Node.js and
  # the certificates npm needs to fetch the browser tests' driver, the YAML reader and JSON Schema
  # validator of the API contract's check, and Ansible for the fleet test.
  test) packages+=(python3 iproute2 chromium nginx nodejs ca-certificates python3-yaml python3-jsonschema ansible-core) ;;
  fuzz) packages+=(clang libclang-rt-14-dev) ;;
  *) echo "usage: $0 [run|test|fuzz]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Debian's npm, unless a Node.js that brings its own (as NodeSource's does, which conflicts with
# Debian's npm) already provides one.
if [ "${1:-test}" = test ] && ! command -v npm >/dev/null; then
  missing+=(npm)
fi
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# iperf3 asks whether to start a system daemon; the answer is no.
echo "iperf3 iperf3/start_daemon boolean false" | $sudo debconf-set-selections
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
