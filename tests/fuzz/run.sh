#!/usr/bin/env bash
# Builds the fuzz targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer, then runs
# each one for a while, starting from its seed corpus in corpus/<target>. New inputs go to a
# scratch corpus that is thrown away. A finding (crash, leak, timeout, sanitizer report, broken
# property) fails the script, prints its report and leaves its input in <build>/fuzz-artifacts.
# Usage: tests/fuzz/run.sh [seconds per target, default 20] [target...]
# FUZZ_BUILD_DIR chooses the build directory (default build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/../.."
fuzz_dir=tests/fuzz
build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${1:-20}
shift $(($# > 0 ? 1 : 0))

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in "$fuzz_dir"/*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

# The steps before fuzzing print only on failure (and the compiler's diagnostics), to keep CI
# logs short.
mkdir -p "$build_dir"
quietly() {
  local log="$build_dir/fuzz-setup.log"
  "$@" >"$log" 2>&1 || { cat "$log" >&2; return 1; }
}
quietly scripts/install-deps.sh fuzz
quietly cmake -S . -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=OFF \
  -DOVRA_FUZZ=ON -DOVRA_SANITIZE=address,undefined
ninja -C "$build_dir" -j2 --quiet "${targets[@]/#/fuzz_}"

# Fast scratch space: the settings target saves files with fsync on every input.
scratch=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT
artifacts="$build_dir/fuzz-artifacts"
mkdir -p "$artifacts"
export UBSAN_OPTIONS=print_stacktrace=1

failed=()
for target in "${targets[@]}"; do
  mkdir -p "$scratch/$target" "$scratch/tmp-$target"
  options=(-max_total_time="$seconds" -timeout=10 -max_len=16384 -print_final_stats=1
           -artifact_prefix="$artifacts/$target-")
  [ -f "$fuzz_dir/dict/$target.dict" ] && options+=(-dict="$fuzz_dir/dict/$target.dict")
  log="$build_dir/fuzz-$target.log"
  if TMPDIR="$scratch/tmp-$target" "$build_dir/tests/fuzz/fuzz_$target" "${options[@]}" \
       "$scratch/$target" "$fuzz_dir/corpus/$target" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed+=("$target")
    # The report from its first line on, without libFuzzer's progress lines: the stack, and a
    # short input printed in full.
    sed -n '/ERROR:\|runtime error:\|property violated:/,$p' "$log" | grep -v '^#[0-9]\|^stat::' | head -80 || true
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  # libFuzzer's last progress line: coverage, features, corpus, speed.
  progress=$(grep -E '^#[0-9]+' "$log" | tail -1 | sed -E 's/^#[0-9]+[[:space:]]+[A-Za-z]+[[:space:]]+//' || true)
  echo "fuzz $target: $status, ${runs:-0} runs in ${seconds}s; ${progress:-no progress line} (log: $log)"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets failed: ${failed[*]}; inputs in $artifacts" >&2
  exit 1
fi
