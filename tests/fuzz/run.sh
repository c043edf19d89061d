#!/usr/bin/env bash
# Builds the fuzz targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer, then runs
# each one for a while, starting from its seed corpus in corpus/<target>. New inputs go to a
# scratch corpus that is thrown away; a crash leaves its input in <build>/fuzz-artifacts.
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

scripts/install-deps.sh fuzz
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=OFF \
  -DOVRA_FUZZ=ON -DOVRA_SANITIZE=address,undefined >/dev/null
ninja -C "$build_dir" -j2 "${targets[@]/#/fuzz_}"

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
    grep -E 'ERROR:|runtime error|property violated|SUMMARY|Test unit written' "$log" | head -20 || true
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz $target: $status, ${runs:-0} runs in ${seconds}s (log: $log)"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets failed: ${failed[*]}; inputs in $artifacts" >&2
  exit 1
fi
