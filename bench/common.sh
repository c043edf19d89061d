# shellcheck shell=bash disable=SC2154  # repo and build_dir come from the caller
# Shared by bench/run.sh and bench/footprint.sh (sourced, not run): the Release build, the private
# mount namespace, the staged application directory, and starting and stopping the daemon.
# The caller sets `repo` and `build_dir` before sourcing and calls `enter_bench_namespace "$@"`.

API_SOCKET=/run/http/ovra_vpn/api.sock
API=/local/ovra_vpn/api/vpn

fail() {
  echo "bench: $*" >&2
  exit 1
}

# Configures a Release build once, then brings the benchmarked targets up to date.
build_release() {
  local output
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    output="$(cmake -S "$repo" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF 2>&1)" ||
      fail "configuring failed:"$'\n'"$output"
  fi
  grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$build_dir/CMakeCache.txt" ||
    fail "$build_dir is not a Release build"
  output="$(ninja -C "$build_dir" -j2 ovra_vpn netbird_sim ovra_load ovra_listen_time 2>&1)" ||
    fail "the build failed:"$'\n'"$output"
}

# Builds, then runs the calling script again inside a private mount namespace with its own
# /run/http, so the daemon's socket never meets a real installation's.
enter_bench_namespace() {
  if [ "${OVRA_BENCH_ISOLATED:-}" != 1 ]; then
    command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || fail "nginx is not installed (scripts/install-deps.sh run)"
    build_release
    local map_user=()
    [ "$(id -u)" -eq 0 ] || map_user=(--map-root-user)
    exec unshare --mount "${map_user[@]}" --propagation private env OVRA_BENCH_ISOLATED=1 "$0" "$@"
  fi
  mkdir -p /run/http
  mount -t tmpfs tmpfs /run/http
  load_tool="$build_dir/bench/ovra_load"
  listen_tool="$build_dir/bench/ovra_listen_time"
  # On the disk, not in memory: footprint.sh counts the bytes the daemon writes to storage.
  work_dir="$(mktemp -d "${TMPDIR:-/tmp}/ovra-bench.XXXXXX")"
  app_dir="$work_dir/app"
  trap stop_everything EXIT
  trap 'exit 130' INT TERM
}

# The application directory as installed: the executable, and the simulator as the VPN client.
stage_app() {
  mkdir -p "$app_dir/lib"
  install -m 0755 "$build_dir/ovra_vpn" "$app_dir/ovra_vpn"
  install -m 0755 "$build_dir/sim/netbird_sim" "$app_dir/lib/netbird"
}

# After a failure the files stay for a look at the logs.
# shellcheck disable=SC2317  # runs from the EXIT trap
stop_everything() {
  local status=$?
  stop_daemon
  [ -z "${nginx_pid:-}" ] || kill -TERM "$nginx_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  if [ "$status" -eq 0 ]; then
    rm -rf "$work_dir"
  else
    echo "bench: files kept in $work_dir" >&2
  fi
}

# Starts the daemon through the start-up timer; sets daemon_pid and listening_ms.
start_daemon() {
  local timing="$work_dir/listen-time.txt"
  rm -f "$timing"  # the redirection below happens in the background, after the polling starts
  "$listen_tool" "$API_SOCKET" 5000 "$app_dir/ovra_vpn" >"$timing" 2>>"$work_dir/daemon.err" &
  daemon_pid=$!
  for _ in $(seq 100); do
    grep -q '^listening_ms=' "$timing" 2>/dev/null && break
    sleep 0.1
  done
  listening_ms="$(sed -n 's/^listening_ms=//p' "$timing")"
  if [ -z "$listening_ms" ] || [ "$listening_ms" = timeout ]; then
    fail "the daemon did not listen; see $work_dir/daemon.err"
  fi
}

stop_daemon() {
  [ -n "${daemon_pid:-}" ] || return 0
  kill -TERM "$daemon_pid" 2>/dev/null || true
  wait "$daemon_pid" 2>/dev/null || true
  daemon_pid=
}

api_get() { "$load_tool" --socket "$API_SOCKET" --print --get "$API$1"; }
api_post() { "$load_tool" --socket "$API_SOCKET" --print --post "$API$1" "$2"; }

# Registers the simulated client and waits until a status poll has seen it connected, so that
# /status answers from a full snapshot.
register_and_connect() {
  api_post /up "setup_key=BENCH-KEY" >/dev/null || fail "POST /up failed"
  for _ in $(seq 150); do
    api_get /status | grep -q '"daemonStatus":"Connected"' && return 0
    sleep 0.1
  done
  fail "no connected status snapshot after 15 s"
}

# The request options of a scenario for ovra_load. The mix: mostly status, some reads of the
# settings and of the log list, and one settings change in ten requests (a save to storage each).
scenario_requests() {
  case "$1" in
    status) echo "--get $API/status" ;;
    config) echo "--get $API/config" ;;
    logs-list) echo "--get $API/logs/list" ;;
    mix)
      echo "--get $API/status --get $API/status --get $API/status --get $API/status --get $API/status" \
        "--get $API/status --get $API/config --get $API/config --get $API/logs/list" \
        "--post $API/config name=watchdog_timeout&value=300"
      ;;
    *) fail "unknown scenario $1" ;;
  esac
}

# shellcheck disable=SC2034  # used by the scripts that source this
SCENARIOS=(status config logs-list mix)

# Runs ovra_load on a scenario against a socket and the server process answering it; prints its
# result line.
load_scenario() {
  local scenario=$1 socket=$2 server_pid=$3 label=$4 seconds=$5
  # shellcheck disable=SC2046  # the request options are words on purpose
  "$load_tool" --socket "$socket" --connections "${BENCH_CONNECTIONS:-64}" --seconds "$seconds" \
    --warmup 1 --cpu-of "$server_pid" --label "$label" $(scenario_requests "$scenario")
}
