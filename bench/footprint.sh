#!/usr/bin/env bash
# What the daemon itself costs, its children (the VPN client, its status commands) left out:
# time from start to a listening socket, resident memory, threads and open descriptors after start
# and after load, CPU time and bytes written to storage over an idle window, and the stripped
# executable's size. The device is registered and connected (simulated client) throughout.
#
# Usage: bench/footprint.sh [--idle SECONDS] [BUILD_DIR]
#   --idle   length of the idle window (default 600); shorter for a quick look
#   BUILD_DIR defaults to ./build-release, configured as a Release build
# Environment: BENCH_CONNECTIONS for the load (default 64)
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
idle_seconds=600
build_arg=""
while [ $# -gt 0 ]; do
  case "$1" in
    --idle) idle_seconds="$2"; shift 2 ;;
    *) build_arg="$1"; shift ;;
  esac
done
build_dir="$(realpath -m "${build_arg:-$repo/build-release}")"
# shellcheck source=bench/common.sh
source "$repo/bench/common.sh"
enter_bench_namespace --idle "$idle_seconds" "$build_dir"

START_RUNS=5
LOAD_SECONDS=5

cpu_ticks() { cut -d')' -f2- "/proc/$daemon_pid/stat" | awk '{ print $12 + $13 }'; }  # utime + stime
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$daemon_pid/status"; }
thread_count() { awk '/^Threads:/ { print $2 }' "/proc/$daemon_pid/status"; }
descriptor_count() { find "/proc/$daemon_pid/fd" -mindepth 1 | wc -l; }
# The daemon's threads only. /proc/PID/io also holds what reaped children wrote, such as the VPN
# client's log line at the end of every status command.
own_write_bytes() { awk '/^write_bytes:/ { s += $2 } END { print s }' /proc/"$daemon_pid"/task/*/io; }
process_write_bytes() { awk '/^write_bytes:/ { print $2 }' "/proc/$daemon_pid/io"; }
context_switches() {
  awk '/ctxt_switches:/ { s += $2 } END { print s }' /proc/"$daemon_pid"/task/*/status
}

median() { tr ' ' '\n' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Several starts of an already registered device; the last one keeps running.
measure_start_up() {
  local runs=()
  for _ in $(seq "$START_RUNS"); do
    stop_daemon
    start_daemon
    runs+=("$listening_ms")
  done
  start_runs="${runs[*]}"
  start_median="$(echo "$start_runs" | median)"
}

measure_idle() {
  local ticks0 own0 all0 switches0
  ticks0=$(cpu_ticks) own0=$(own_write_bytes) all0=$(process_write_bytes) switches0=$(context_switches)
  sleep "$idle_seconds"
  local ticks=$(($(cpu_ticks) - ticks0)) hz
  hz=$(getconf CLK_TCK)
  idle_cpu_s=$(awk -v t="$ticks" -v hz="$hz" 'BEGIN { printf "%.2f", t / hz }')
  idle_cpu_pct=$(awk -v t="$ticks" -v hz="$hz" -v s="$idle_seconds" 'BEGIN { printf "%.3f", 100 * t / hz / s }')
  own_per_hour=$((($(own_write_bytes) - own0) * 3600 / idle_seconds))
  all_per_hour=$((($(process_write_bytes) - all0) * 3600 / idle_seconds))
  switches_per_s=$(awk -v n="$(($(context_switches) - switches0))" -v s="$idle_seconds" 'BEGIN { printf "%.2f", n / s }')
}

run_load() {
  for scenario in "${SCENARIOS[@]}"; do
    load_scenario "$scenario" "$API_SOCKET" "$daemon_pid" "$scenario" "$LOAD_SECONDS" >/dev/null
  done
}

stage_app
start_daemon
register_and_connect
measure_start_up
sleep 2  # the first status poll and the service's start-up settle
rss_start=$(rss_kib) threads_start=$(thread_count) fds_start=$(descriptor_count)
load_before="$(uptime)"
measure_idle
run_load
sleep 1
rss_load=$(rss_kib) threads_load=$(thread_count) fds_load=$(descriptor_count)
load_after="$(uptime)"
strip -o "$work_dir/ovra_vpn.stripped" "$build_dir/ovra_vpn"

cat <<EOF
machine load before idle: $load_before
machine load at the end:  $load_after

listening after start        ${start_median} ms median of ${START_RUNS} starts (${start_runs})
resident memory after start  ${rss_start} KiB
resident memory after load   ${rss_load} KiB (${#SCENARIOS[@]} scenarios x ${LOAD_SECONDS} s, ${BENCH_CONNECTIONS:-64} connections)
threads                      ${threads_start} after start, ${threads_load} after load
open descriptors             ${fds_start} after start, ${fds_load} after load
idle window                  ${idle_seconds} s
CPU time while idle          ${idle_cpu_s} s = ${idle_cpu_pct} % of one core
written to storage per hour  ${own_per_hour} B by the daemon's threads (${all_per_hour} B with reaped children)
context switches while idle  ${switches_per_s} per second (live threads)
stripped executable          $(stat -c %s "$work_dir/ovra_vpn.stripped") B
EOF
