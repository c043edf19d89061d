#!/usr/bin/env bash
# Throughput and latency of the daemon's API next to nginx answering the same documents from a
# Unix socket, measured by the same load generator in the same run. Each scenario runs against
# the daemon, then at once against nginx; the table ends with the ratios daemon / nginx.
#
# Usage: bench/run.sh [BUILD_DIR]      (default: ./build-release, configured as a Release build)
# Environment: BENCH_SECONDS (per scenario and server, default 10), BENCH_CONNECTIONS (64)
# Needs nginx (scripts/install-deps.sh run) and unshare; runs as root or in a user namespace.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$(realpath -m "${1:-$repo/build-release}")"
# shellcheck source=bench/common.sh
source "$repo/bench/common.sh"
enter_bench_namespace "$@"

seconds="${BENCH_SECONDS:-10}"
nginx_dir="$work_dir/nginx"
nginx_socket="$nginx_dir/nginx.sock"

# nginx's documents are the daemon's own answers, under the same paths.
stage_reference_documents() {
  local path
  for path in /status /config /logs/list; do
    mkdir -p "$(dirname "$nginx_dir/docs$API$path")"
    api_get "$path" >"$nginx_dir/docs$API$path" || fail "GET $path failed"
  done
}

start_nginx() {
  mkdir -p "$nginx_dir/tmp"
  sed -e "s|@DIR@|$nginx_dir|g" -e "s|@DOCS@|$nginx_dir/docs|g" \
    "$repo/bench/nginx-reference.conf.in" >"$nginx_dir/nginx.conf"
  "$(command -v nginx || echo /usr/sbin/nginx)" -p "$nginx_dir" -e "$nginx_dir/error.log" \
    -c "$nginx_dir/nginx.conf" &
  nginx_pid=$!
  for _ in $(seq 50); do
    nginx_worker="$(cat "/proc/$nginx_pid/task/$nginx_pid/children" 2>/dev/null || true)"
    [ -S "$nginx_socket" ] && [ -n "$nginx_worker" ] && return 0
    sleep 0.1
  done
  fail "nginx did not start; see $nginx_dir/error.log"
}

print_table() {
  printf "%-18s %9s %8s %9s %9s %9s %7s %6s %8s %9s\n" \
    scenario/server req/s requests p50_us p99_us p99.9_us errors body_B cpu_us/req p99_1st_us
  awk -F'\t' -v scenarios="${SCENARIOS[*]}" '
    { rps[$1] = $4; p50[$1] = $5; p99[$1] = $6; p999[$1] = $7; cpu[$1] = $9; first[$1] = $10
      printf "%-18s %9s %8s %9s %9s %9s %7s %6s %8s %9s\n", $1, $4, $2, $5, $6, $7, $3, $8, $9, $10 }
    function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "-" }
    function goal(text, value, limit, at_least) {
      met = value != "-" && (at_least ? value + 0 >= limit : value + 0 <= limit)
      printf "  %-44s %6s  %s\n", text, value, met ? "met" : "NOT MET"
    }
    END {
      printf "\nratios ovra_vpn / nginx (req/s: higher is better; latency and CPU: lower is better)\n"
      printf "%-10s %8s %8s %8s %8s %10s %10s\n", "scenario", "req/s", "p50", "p99", "p99.9", "cpu/req", "p99_1st"
      n = split(scenarios, names, " ")
      for (i = 1; i <= n; ++i) {
        s = names[i]; o = s "/ovra_vpn"; g = s "/nginx"
        printf "%-10s %8s %8s %8s %8s %10s %10s\n", s, ratio(rps[o], rps[g]), ratio(p50[o], p50[g]),
               ratio(p99[o], p99[g]), ratio(p999[o], p999[g]), ratio(cpu[o], cpu[g]), ratio(first[o], first[g])
      }
      printf "\ngoals (ratio ovra_vpn / nginx)\n"
      goal("mix req/s >= 0.5", ratio(rps["mix/ovra_vpn"], rps["mix/nginx"]), 0.5, 1)
      goal("/status p99 within the mix <= 3", ratio(first["mix/ovra_vpn"], first["mix/nginx"]), 3, 0)
      goal("logs-list req/s >= 0.8", ratio(rps["logs-list/ovra_vpn"], rps["logs-list/nginx"]), 0.8, 1)
      goal("status req/s >= 1.0", ratio(rps["status/ovra_vpn"], rps["status/nginx"]), 1.0, 1)
      goal("config req/s >= 1.0", ratio(rps["config/ovra_vpn"], rps["config/nginx"]), 1.0, 1)
    }' "$1"
}

stage_app
start_daemon
register_and_connect
mkdir -p "$nginx_dir"
stage_reference_documents
start_nginx

echo "load before: $(uptime)"
results="$work_dir/results.tsv"
for scenario in "${SCENARIOS[@]}"; do
  load_scenario "$scenario" "$API_SOCKET" "$daemon_pid" "$scenario/ovra_vpn" "$seconds" >>"$results"
  load_scenario "$scenario" "$nginx_socket" "$nginx_worker" "$scenario/nginx" "$seconds" >>"$results"
done
echo "load after:  $(uptime)"
echo
print_table "$results"
