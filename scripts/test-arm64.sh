#!/usr/bin/env bash
# The camera build: cross-compiles for AArch64, stages the application directory with
# `cmake --install`, checks that the executable needs nothing on the camera beyond the C and C++
# runtime, and runs every test under qemu user-mode emulation. Installs what is missing first.
#
# Usage: scripts/test-arm64.sh [ctest arguments]
# Environment: BUILD_DIR (default: build-arm64), STAGE_DIR (default: $BUILD_DIR/stage)
# Needs root (or sudo) for the packages and to let the kernel run arm64 programs through qemu.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build-arm64}
stage_dir=$(realpath -m "${STAGE_DIR:-$build_dir/stage}")
binfmt=/proc/sys/fs/binfmt_misc
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

fail() {
  echo "test-arm64: $*" >&2
  exit 1
}

install_arm64_packages() {
  local packages=(
    crossbuild-essential-arm64 qemu-user qemu-user-binfmt file
    libboost-dev:arm64 libboost-filesystem-dev:arm64 libboost-stacktrace-dev:arm64
    libspdlog-dev:arm64 libfmt-dev:arm64 zlib1g-dev:arm64 libssl-dev:arm64
    libgtest-dev:arm64 libgmock-dev:arm64
  )
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  dpkg --print-foreign-architectures | grep -qx arm64 || $sudo dpkg --add-architecture arm64
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# The daemon under test starts lib/netbird, and the test programs start the daemon: arm64 programs
# started by other programs run only when the kernel hands them to qemu (binfmt_misc).
enable_binfmt() {
  [ -e "$binfmt/qemu-aarch64" ] && return 0
  [ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt" ||
    fail "cannot mount binfmt_misc: arm64 child processes could not run"
  grep -v '^#' /usr/lib/binfmt.d/qemu-aarch64.conf | $sudo tee "$binfmt/register" >/dev/null
}

check_staged_app() {
  local exe="$stage_dir/ovra_vpn" needed unexpected
  file "$exe"
  file "$exe" | grep -q 'ARM aarch64' || fail "$exe is not an AArch64 executable"
  readelf -d "$exe" | grep -E 'NEEDED|RPATH|RUNPATH'
  # The C and C++ runtime (glibc's libraries and the dynamic loader) is all the camera provides.
  needed=$(readelf -d "$exe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  unexpected=$(grep -Ev '^(libc|libm|libdl|libpthread|librt)\.so\.[0-9]+$|^ld-linux-aarch64\.so\.1$' <<<"$needed" || true)
  [ -z "$unexpected" ] || fail "the camera does not have: $unexpected"
  echo "needs glibc $(objdump -T "$exe" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1 | cut -d_ -f2) or later"
  echo "stripped size: $(stat -c %s "$exe") bytes"
  for f in manifest.json LICENSE html/index.html; do
    [ -s "$stage_dir/$f" ] || fail "$f missing or empty in the application directory"
  done
  [ -d "$stage_dir/lib" ] || fail "lib/ missing in the application directory"
}

scripts/install-deps.sh test
install_arm64_packages
enable_binfmt

cmake -S . -B "$build_dir" -G Ninja -DBUILD_TESTING=ON -DOVRA_STATIC_DEPS=ON \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake"
ninja -C "$build_dir" -j2
rm -rf "$stage_dir"
cmake --install "$build_dir" --prefix "$stage_dir" --strip
check_staged_app
ctest --test-dir "$build_dir" --output-on-failure -j2 "$@"
