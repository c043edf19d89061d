#!/usr/bin/env bash
# Builds and runs every test twice: with AddressSanitizer + UndefinedBehaviorSanitizer, and with
# ThreadSanitizer, each in its own build directory. Fails on any failed test and on any sanitizer
# report, also one from a child process whose output no test reads: every sanitized process writes
# its reports to files in <build dir>/sanitizer-reports (the process tests move the daemon's into
# its application directory and fail the test that started it).
# Usage: scripts/test-sanitizers.sh [ctest arguments]
# Build directories: ASAN_BUILD_DIR (default build-asan), TSAN_BUILD_DIR (default build-tsan).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test

# Shared by both runs; each run adds where its reports go.
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="second_deadlock_stack=1"

# ThreadSanitizer needs its fixed memory layout; on kernels with more address randomisation than
# it supports (vm.mmap_rnd_bits above 28) its programs stop with "unexpected memory mapping".
# Prints the words to start a sanitized program with: nothing, or setarch -R (no randomisation).
launcher_for() {
    local probe=$1 no_aslr=(setarch "$(uname -m)" -R)
    if "$probe" version >/dev/null 2>&1; then return; fi
    if "${no_aslr[@]}" "$probe" version >/dev/null 2>&1; then
        echo "${no_aslr[@]}"
        return
    fi
    echo "$probe does not run: for ThreadSanitizer lower vm.mmap_rnd_bits to 28 or allow personality(2)" >&2
    return 1
}

# Prints every report in the directory; fails when there is one.
check_reports() {
    local found=0 report
    for report in "$1"/*; do
        [ -e "$report" ] || continue
        echo "=== sanitizer report $report" >&2
        cat "$report" >&2
        found=1
    done
    return "$found"
}

# What the instrumentation needs besides -fsanitize. GCC 12 warns of uninitialised members inside
# <regex> once instrumented (-Wmaybe-uninitialized, not seen in the plain build). ThreadSanitizer
# does not model atomic_thread_fence (-Wtsan in Asio's fenced blocks): without them Asio's hand-offs
# between threads still go through its scheduler's mutex, which it does see.
extra_flags() {
    local flags=-Wno-maybe-uninitialized
    [ "$1" != thread ] || flags+=" -DBOOST_ASIO_DISABLE_FENCED_BLOCK"
    echo "$flags"
}

# run_suite BUILD_DIR SANITIZERS [ctest arguments]: configures, builds, runs the tests. (Called
# in a condition, where set -e does not apply: every step checks its own failure.)
run_suite() {
    local build_dir=$1 sanitizers=$2
    shift 2
    cmake -S . -B "$build_dir" -G Ninja -DBUILD_TESTING=ON -DOVRA_SANITIZE="$sanitizers" \
        -DCMAKE_CXX_FLAGS="$(extra_flags "$sanitizers")" || return 1
    # The simulator is the probe: the full build already runs sanitized programs (test discovery).
    ninja -C "$build_dir" -j2 netbird_sim || return 1
    local launcher
    launcher=$(launcher_for "$build_dir/sim/netbird_sim") || return 1
    [ -z "$launcher" ] || echo "Running $sanitizers programs under: $launcher"
    $launcher ninja -C "$build_dir" -j2 || return 1

    local reports
    reports=$(realpath "$build_dir")/sanitizer-reports
    rm -rf "$reports" && mkdir -p "$reports" || return 1
    local status=0
    ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$reports/asan" \
    UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/ubsan" \
    TSAN_OPTIONS="$TSAN_OPTIONS:log_path=$reports/tsan" \
        $launcher ctest --test-dir "$build_dir" --output-on-failure -j2 "$@" || status=1
    check_reports "$reports" || status=1
    return "$status"
}

failed=0
run_suite "${ASAN_BUILD_DIR:-build-asan}" address,undefined "$@" || failed=1
run_suite "${TSAN_BUILD_DIR:-build-tsan}" thread "$@" || failed=1
exit "$failed"
