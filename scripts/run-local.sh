#!/usr/bin/env bash
# Runs the built service on this machine the way the camera runs it: an application directory with
# lib/netbird and lib/iperf3 beside the executable, and nginx in the camera web server's place,
# serving the page and forwarding the API to the service's socket. Ctrl-C stops both.
#
# Usage: scripts/run-local.sh [BUILD_DIR]      (default: ./build, or $BUILD_DIR)
# Environment:
#   NETBIRD_BIN  a real NetBird client to use instead of the simulator
#   RUN_DIR      where the application directory and nginx's files go (default: ./run);
#                its localdata/ survives between runs, like the camera's
#   LISTEN       nginx's address (default: 127.0.0.1:8080)
#   HTPASSWD     a password file (nginx's auth_basic_user_file): the page and the API then ask
#                for a login with basic authentication, as the camera does
# Needs root: the service's socket lives under /run/http, as on the camera.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$(realpath "${1:-${BUILD_DIR:-$repo/build}}")"
run_dir="$(realpath -m "${RUN_DIR:-$repo/run}")"
listen="${LISTEN:-127.0.0.1:8080}"
netbird_bin="${NETBIRD_BIN:-$build_dir/sim/netbird_sim}"
api_socket=/run/http/ovra_vpn/api.sock
app_dir="$run_dir/app"
nginx_dir="$run_dir/nginx"

fail() {
  echo "run-local: $*" >&2
  exit 1
}

nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"
iperf3_bin="$(command -v iperf3 || echo /usr/bin/iperf3)"
[ -x "$build_dir/ovra_vpn" ] || fail "no ovra_vpn in $build_dir: build first"
[ -x "$netbird_bin" ] || fail "no NetBird client at $netbird_bin"
[ -x "$iperf3_bin" ] || fail "iperf3 is not installed"
[ -x "$nginx_bin" ] || fail "nginx is not installed"

stage_app() {
  mkdir -p "$app_dir/lib"
  install -m 0755 "$build_dir/ovra_vpn" "$app_dir/ovra_vpn"
  install -m 0755 "$netbird_bin" "$app_dir/lib/netbird"
  install -m 0755 "$iperf3_bin" "$app_dir/lib/iperf3"
  rm -rf "$app_dir/html"
  cp -R "$repo/html" "$app_dir/html"
}

write_nginx_config() {
  mkdir -p "$nginx_dir/tmp"
  local auth="# no login"
  [ -z "${HTPASSWD:-}" ] || auth="auth_basic \"camera\"; auth_basic_user_file $(realpath "$HTPASSWD");"
  sed -e "s|@RUN_DIR@|$nginx_dir|g" \
      -e "s|@HTML_DIR@|$app_dir/html|g" \
      -e "s|@API_SOCKET@|$api_socket|g" \
      -e "s|@LISTEN@|$listen|g" \
      -e "s|@AUTH@|$auth|g" \
      -e "s|@USER@|$(id -un) $(id -gn)|g" \
      "$repo/local/nginx.conf.in" > "$nginx_dir/nginx.conf"
}

# shellcheck disable=SC2317  # runs from the EXIT trap
stop_all() {
  for pid in ${service_pid:-} ${nginx_pid:-}; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  wait
}

wait_for_socket() {
  for _ in $(seq 100); do
    [ -S "$api_socket" ] && return 0
    kill -0 "$service_pid" 2>/dev/null || fail "ovra_vpn exited during start-up"
    sleep 0.1
  done
  fail "ovra_vpn did not open $api_socket"
}

stage_app
write_nginx_config
trap stop_all EXIT
trap 'exit 0' INT TERM

"$nginx_bin" -p "$nginx_dir" -e "$nginx_dir/error.log" -c "$nginx_dir/nginx.conf" &
nginx_pid=$!
# A socket left by an earlier run would make the wait below succeed too early.
rm -f "$api_socket"
"$app_dir/ovra_vpn" &
service_pid=$!
wait_for_socket
kill -0 "$nginx_pid" 2>/dev/null || fail "nginx did not start; see $nginx_dir/error.log"

echo "ovra_vpn is running: http://${listen}/local/ovra_vpn/"
echo "Logs: $app_dir/localdata/logs and $nginx_dir/error.log. Ctrl-C stops."
wait -n "$nginx_pid" "$service_pid" || true
fail "nginx or ovra_vpn stopped unexpectedly; see the logs above"
