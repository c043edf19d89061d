#!/usr/bin/env bash
# Smoke test of the NetBird client simulator: a service in a temporary directory, the one-off
# commands against it, the fault switches, and the failures without a service.
# Usage: smoke_test.sh PATH_TO_netbird_sim
set -uo pipefail

NB=${1:?usage: smoke_test.sh PATH_TO_netbird_sim}
T=$(mktemp -d)
export TMPDIR=$T/tmp          # debug bundles land here
mkdir -p "$TMPDIR"
SERVICE_PID=""
FAILED=0

cleanup() {
    [ -n "$SERVICE_PID" ] && kill -9 "$SERVICE_PID" 2>/dev/null
    rm -rf "$T"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; FAILED=1; }
pass() { echo "ok: $*"; }

BASE=(--log-file "$T/client.log" --daemon-addr "unix://$T/netbird.sock")
SERVICE=(--config "$T/config.json" --log-file "console,$T/client.log" --daemon-addr "unix://$T/netbird.sock" service run)
UP=(up --management-url https://vpn.example.com:443 --wireguard-port 51820 --mtu 1280 --interface-name wt0 --external-ip-map "")

# run NAME EXPECTED_EXIT CMD...: runs a one-off command, keeps its output in $OUT and $ERR.
run() {
    local name=$1 expected=$2
    shift 2
    "$@" >"$T/out" 2>"$T/err"
    local code=$?
    OUT=$(cat "$T/out")
    ERR=$(cat "$T/err")
    if [ "$code" -eq "$expected" ]; then pass "$name (exit $code)"; else fail "$name: exit $code, expected $expected; stderr: $ERR"; fi
}
expect_out() { [[ "$OUT" == *"$2"* ]] && pass "$1" || fail "$1: stdout lacks '$2': $OUT"; }
expect_err() { [[ "$ERR" == *"$2"* ]] && pass "$1" || fail "$1: stderr lacks '$2': $ERR"; }
# json_check NAME PYTHON_EXPR: evaluates the expression with d = the JSON document on stdout.
json_check() {
    python3 -c 'import json,sys; d=json.loads(sys.stdin.read()); sys.exit(0 if eval(sys.argv[1]) else 1)' "$2" <<<"$OUT" \
        && pass "$1" || fail "$1: $2 is false for: ${OUT:0:400}"
}
start_service() {
    "$NB" "${SERVICE[@]}" 2>>"$T/service.err" &
    SERVICE_PID=$!
    for _ in $(seq 300); do [ -S "$T/netbird.sock" ] && "$NB" "${BASE[@]}" status --json >/dev/null 2>&1 && return 0; sleep 0.1; done
    fail "service did not come up"
}

# --- without a service -------------------------------------------------------------------------
# Fails rather than waits for a service to appear: waiting, it would run into the guard (124).
run "status without service fails" 1 timeout 60 "$NB" "${BASE[@]}" status --json
expect_err "error text without service" "Error: failed to connect to daemon error:"
run "up without service fails" 1 env NB_SIM_CONNECT_WAIT_MS=0 "$NB" "${BASE[@]}" "${UP[@]}"
run "unknown flag rejected" 1 "$NB" "${BASE[@]}" down --json
expect_err "unknown flag text" "unknown flag: --json"
run "bad port rejected" 1 "$NB" "${BASE[@]}" up --wireguard-port abc
run "version" 0 "$NB" version
expect_out "version text" "0.72.4"

# --- service start, second service refused ------------------------------------------------------
start_service
run "second service refused" 1 "$NB" "${SERVICE[@]}"
expect_err "second service error text" "address already in use"
grep -q $'{"version":"0.72.4".*}\r$' "$T/service.err" && pass "startup line with braces and CRLF" || fail "startup line missing"

# --- registration and connection -----------------------------------------------------------------
run "status unregistered" 0 "$NB" "${BASE[@]}" status --json
json_check "NeedsLogin" 'd["daemonStatus"]=="NeedsLogin" and d["management"]["connected"] is False'
json_check "member order" 'list(d)==["peers","cliVersion","daemonVersion","daemonStatus","management","signal","relays","netbirdIp","publicKey","usesKernelInterface","wireguardPort","fqdn","quantumResistance","quantumResistancePermissive","networks","forwardingRules","dnsServers","events","lazyConnectionEnabled","profileName","sshServer"]'
[ "$(wc -l <"$T/out")" -eq 1 ] && pass "status is one line" || fail "status is not one line"

run "up without key and unregistered" 1 "$NB" "${BASE[@]}" "${UP[@]}"
expect_err "NeedsLogin error" "NeedsLogin"
: >"$T/empty-key"
run "up with empty key file" 1 "$NB" "${BASE[@]}" "${UP[@]}" --setup-key-file "$T/empty-key"
run "up with missing key file" 1 "$NB" "${BASE[@]}" "${UP[@]}" --setup-key-file "$T/no-such-key"
[ ! -e "$T/config.json" ] && pass "failed ups did not register" || fail "config.json written by a failed up"

printf 'A1B2-SETUP-KEY' >"$T/key" && chmod 600 "$T/key"
run "up with setup key" 0 env NB_SIM_RECORD="$T/record.jsonl" "$NB" "${BASE[@]}" "${UP[@]}" --enable-lazy-connection=true --setup-key-file "$T/key"
expect_out "up prints Connected" "Connected"
[ -f "$T/config.json" ] && pass "config.json written" || fail "config.json missing after up"
OUT=$(tail -1 "$T/record.jsonl")
json_check "record holds argv and key file" 'd["argv"][-2]=="--setup-key-file" and d["argv"][-1].endswith("/key") and d["key_file_mode"]=="0600" and d["key_file_content"]=="A1B2-SETUP-KEY"'
json_check "record keeps the empty argument" 'd["argv"][d["argv"].index("--external-ip-map")+1]==""'

run "status connected" 0 "$NB" "${BASE[@]}" status --json
json_check "Connected" 'd["daemonStatus"]=="Connected" and d["management"]=={"url":"https://vpn.example.com:443","connected":True,"error":""}'
json_check "peers and address" 'd["peers"]["total"]>=2 and d["peers"]["connected"]>=1 and d["netbirdIp"].startswith("100.90.") and d["netbirdIp"].endswith("/16") and d["lazyConnectionEnabled"] is True'
run "status management down" 0 env NB_SIM_MANAGEMENT_DOWN=1 "$NB" "${BASE[@]}" status --json
json_check "management lost" 'd["daemonStatus"]=="Connecting" and d["management"]["connected"] is False'

# --- status faults --------------------------------------------------------------------------------
run "status nonjson" 0 env NB_SIM_STATUS=nonjson "$NB" "${BASE[@]}" status --json
python3 -c 'import json,sys; json.loads(sys.stdin.read())' <<<"$OUT" 2>/dev/null && fail "nonjson output parses" || pass "nonjson output is not JSON"
run "status trailing" 0 env NB_SIM_STATUS=trailing "$NB" "${BASE[@]}" status --json
python3 -c 'import json,sys; json.loads(sys.stdin.read())' <<<"$OUT" 2>/dev/null && fail "trailing output parses" || pass "trailing output is not JSON as a whole"
OUT=$(head -1 "$T/out")
json_check "first line of trailing output is the document" 'd["management"]["connected"] is True'
run "status huge" 0 env NB_SIM_STATUS=huge "$NB" "${BASE[@]}" status --json
[ "$(stat -c %s "$T/out")" -ge 5000000 ] && [ "$(stat -c %s "$T/err")" -ge 5000000 ] && pass "huge output on both streams" || fail "huge output too small"
json_check "huge output is still the status document" 'd["management"]["connected"] is True'

# --- other faults ---------------------------------------------------------------------------------
run "up fails on request" 1 env NB_SIM_UP_FAIL=1 "$NB" "${BASE[@]}" "${UP[@]}"
expect_err "up failure text" "Error: "
run "hung status" 124 timeout 1 env NB_SIM_HANG=status "$NB" "${BASE[@]}" status --json
run "other commands do not hang" 0 env NB_SIM_HANG=up "$NB" "${BASE[@]}" status --json
start=$(date +%s%N)
run "slow down" 0 env NB_SIM_DELAY_MS=400 "$NB" "${BASE[@]}" down
[ $(( ($(date +%s%N) - start) / 1000000 )) -ge 400 ] && pass "delay honoured" || fail "delay not honoured"
expect_out "down prints Disconnected" "Disconnected"
run "status idle" 0 "$NB" "${BASE[@]}" status --json
json_check "Idle" 'd["daemonStatus"]=="Idle" and d["management"]["connected"] is False'
run "second down fails" 1 "$NB" "${BASE[@]}" down
run "up again without key" 0 "$NB" "${BASE[@]}" "${UP[@]}"

# --- debug bundle -----------------------------------------------------------------------------------
run "debug bundle" 0 "$NB" "${BASE[@]}" debug bundle
ZIP=$(grep -A1 -x 'Local file:' "$T/out" | tail -1)
[[ "$ZIP" == "$TMPDIR"/netbird.debug.*.zip ]] && pass "bundle path $ZIP" || fail "bundle path: $OUT"
python3 - "$ZIP" <<'EOF' && pass "bundle is a valid zip" || fail "bundle zip invalid"
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
assert z.testzip() is None
assert {"status.txt", "config.txt"} <= set(z.namelist()), z.namelist()
assert "100.90." in z.read("status.txt").decode()
EOF
run "debug bundle upload anonymized" 0 "$NB" "${BASE[@]}" debug bundle --upload-bundle --anonymize
KEY=$(grep -A1 -x 'Upload file key:' "$T/out" | tail -1)
[[ "$KEY" =~ ^[0-9a-f]{32}/[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$ ]] && pass "upload key $KEY" || fail "upload key: $OUT"
ZIP=$(grep -A1 -x 'Local file:' "$T/out" | tail -1)
python3 - "$ZIP" <<'EOF' && pass "anonymized bundle hides addresses" || fail "anonymized bundle leaks addresses"
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
text = "".join(z.read(n).decode() for n in z.namelist())
assert "100.90." not in text and "vpn.example.com" not in text
EOF
[ "$(ls "$TMPDIR" | wc -l)" -eq 2 ] && pass "two distinct bundle files" || fail "bundle files: $(ls "$TMPDIR")"

# --- deregister ---------------------------------------------------------------------------------------
run "deregister" 0 "$NB" "${BASE[@]}" deregister
expect_out "deregister text" "Deregistered successfully"
[ ! -e "$T/config.json" ] && pass "config.json removed" || fail "config.json still there"
run "status after deregister" 0 "$NB" "${BASE[@]}" status --json
json_check "NeedsLogin after deregister" 'd["daemonStatus"]=="NeedsLogin"'
run "second deregister fails" 1 "$NB" "${BASE[@]}" deregister

# --- restart over a stale socket, auto-connect, crash ---------------------------------------------------
run "register again" 0 "$NB" "${BASE[@]}" "${UP[@]}" --setup-key-file "$T/key"
kill -9 "$SERVICE_PID"; wait "$SERVICE_PID" 2>/dev/null; SERVICE_PID=""
[ -S "$T/netbird.sock" ] && pass "killed service left its socket" || fail "socket vanished"
run "status with stale socket fails" 1 env NB_SIM_CONNECT_WAIT_MS=0 "$NB" "${BASE[@]}" status --json
start_service
run "status after restart" 0 "$NB" "${BASE[@]}" status --json
json_check "registered service reconnects on start" 'd["daemonStatus"]=="Connected"'
kill "$SERVICE_PID"; wait "$SERVICE_PID" 2>/dev/null; SERVICE_PID=""
[ ! -e "$T/netbird.sock" ] && pass "SIGTERM removes the socket" || fail "socket left after SIGTERM"

NB_SIM_SERVICE_EXIT_AFTER_MS=200 "$NB" "${SERVICE[@]}" 2>>"$T/service.err" &
SERVICE_PID=$!
wait "$SERVICE_PID"; code=$?; SERVICE_PID=""
[ "$code" -eq 2 ] && pass "crashing service exits 2" || fail "crashing service exit $code"

grep -q '"command":"deregister","exit":0' "$T/client.log" && pass "one-off commands log to the log file" || fail "no one-off lines in client.log"

if [ "$FAILED" -ne 0 ]; then echo "sim smoke test FAILED"; exit 1; fi
echo "sim smoke test passed"
