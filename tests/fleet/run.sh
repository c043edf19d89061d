#!/usr/bin/env bash
# Rolls fleet/playbook.yml out with ansible-playbook to three cameras: each a local run of the
# build (scripts/run-local.sh: the service, the simulator, and nginx asking for a basic-auth login
# in the camera web server's place) in mount and network namespaces of its own (its own /run/http
# and loopback). Each nginx listens on a Unix socket, which the playbook reaches the camera by:
# no traffic leaves the cameras' namespaces.
#
# Checks: the first run registers, configures and connects every camera; a second run changes
# nothing; the report holds each camera's state; a camera whose password is wrong is reported
# failed while the others succeed; the setup key and the password are in no output and no file
# (but the web servers' password files).
#
# Usage: tests/fleet/run.sh [BUILD_DIR]        Needs root, ansible-core, nginx, iperf3, iproute2.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
build_dir="$(realpath "${1:-$repo/build}")"
cameras=(camera-1 camera-2 camera-3)
export PATH="$PATH:/usr/sbin:/sbin"

fail() {
  echo "fleet test: $*" >&2
  exit 1
}

[ "$(id -u)" -eq 0 ] || fail "needs root for the cameras' namespaces"
for tool in ansible-playbook nginx ip unshare; do
  command -v "$tool" >/dev/null || fail "$tool is not installed"
done
mkdir -p /run/http
work="$(mktemp -d -t ovra-fleet.XXXXXX)"
camera_runs=()
# shellcheck disable=SC2317  # runs from the EXIT trap
stop_cameras() {
  kill -TERM "${camera_runs[@]}" 2>/dev/null || true
  wait
  rm -rf "$work"
}
trap stop_cameras EXIT

export CAMERA_PASSWORD="camera-password-$RANDOM"
NETBIRD_SETUP_KEY="$(cat /proc/sys/kernel/random/uuid)"
export NETBIRD_SETUP_KEY

start_camera() {
  local dir="$work/$1"
  mkdir -p "$dir"
  printf 'root:{PLAIN}%s\n' "$CAMERA_PASSWORD" >"$dir/htpasswd"
  unshare --mount --net --propagation private \
    sh -c 'ip link set lo up && mount -t tmpfs tmpfs /run/http && exec "$@"' camera \
    env RUN_DIR="$dir/run" LISTEN="unix:$dir/nginx.sock" HTPASSWD="$dir/htpasswd" \
    "$repo/scripts/run-local.sh" "$build_dir" >"$dir/run-local.out" 2>&1 &
  camera_runs+=($!)
}

wait_for_cameras() {
  local camera
  for camera in "${cameras[@]}"; do
    for _ in $(seq 200); do
      grep -qs "is running" "$work/$camera/run-local.out" && [ -S "$work/$camera/nginx.sock" ] && continue 2
      sleep 0.1
    done
    fail "$camera did not start: $(cat "$work/$camera/run-local.out")"
  done
}

write_inventory() {
  {
    echo "cameras:"
    echo "  hosts:"
    for camera in "${cameras[@]}"; do
      echo "    $camera: {camera_url: 'http://$camera', camera_unix_socket: '$work/$camera/nginx.sock'}"
    done
    cat <<'EOF'
  vars:
    camera_user: root
    camera_password: "{{ lookup('ansible.builtin.env', 'CAMERA_PASSWORD') }}"
    netbird_setup_key: "{{ lookup('ansible.builtin.env', 'NETBIRD_SETUP_KEY') }}"
    netbird_management_url: https://netbird.example.com:443
    vpn_settings: {mtu: 1400, wireguard_port: 51821, interface_name: wt1}
    vpn_lazy_connection: true
    vpn_env_overrides: {NB_LOG_LEVEL: debug}
EOF
  } >"$work/inventory.yml"
}

# Runs the playbook; its output goes to $work/NAME.out, the report to $work/NAME.json.
run_playbook() {
  ANSIBLE_HOME="$work/ansible" ANSIBLE_NOCOLOR=1 ANSIBLE_PIPELINING=1 ansible-playbook -i "$work/inventory.yml" \
    -e report_path="$work/$1.json" "$repo/fleet/playbook.yml" >"$work/$1.out" 2>&1
}

# The numbers of the play recap's line for a host, such as "changed" or "failed".
recap() { grep -E "^$1 +:" "$work/$2.out" | grep -oE "$3=[0-9]+" | cut -d= -f2; }

# Checks the report with Python: $1 the run, $2 an expression over `report` (camera name to entry).
report_holds() {
  /usr/bin/python3 -c '
import json, sys
report = {entry["camera"]: entry for entry in json.load(open(sys.argv[1]))}
sys.exit(0 if eval("(" + sys.argv[2] + ")") else 1)' "$work/$1.json" "$2" ||
    fail "report of the $1 run: not ($2): $(cat "$work/$1.json")"
}

expect_run() {
  local run=$1 expected_status=$2 status=0
  run_playbook "$run" || status=$?
  [ "$status" -eq "$expected_status" ] ||
    fail "the $run run ended with $status, not $expected_status: $(tail -n 60 "$work/$run.out")"
}

for camera in "${cameras[@]}"; do start_camera "$camera"; done
wait_for_cameras
write_inventory

expect_run first 0
for camera in "${cameras[@]}"; do
  [ "$(recap "$camera" first changed)" -gt 0 ] || fail "the first run changed nothing on $camera"
done
report_holds first 'len(report) == 3 and all(e["ok"] and e["registered"] and e["connected"]
  and e["daemon_status"] == "Connected" and e["netbird_ip"] and e["fqdn"] and e["peers_total"] > 0
  and e["app_version"] and e["netbird_version"] for e in report.values())'

expect_run second 0
for camera in "${cameras[@]}"; do
  [ "$(recap "$camera" second changed)" -eq 0 ] || fail "the second run changed $camera: $(cat "$work/second.out")"
done
report_holds second 'all(e["ok"] and e["connected"] for e in report.values())'

# The camera's admin password is no longer the inventory's.
printf 'root:{PLAIN}%s\n' "another-password" >"$work/camera-2/htpasswd"
expect_run wrong-password 2
report_holds wrong-password 'not report["camera-2"]["ok"] and "401" in report["camera-2"]["error"]
  and report["camera-1"]["ok"] and report["camera-3"]["ok"]'

if leaks=$(grep -rlF "$NETBIRD_SETUP_KEY" "$work"); then
  fail "the setup key is in: $leaks"
fi
if leaks=$(grep -rlF --exclude=htpasswd "$CAMERA_PASSWORD" "$work"); then
  fail "the camera password is in: $leaks"
fi
echo "fleet test: passed"
