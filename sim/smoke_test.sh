#!/usr/bin/env bash
# Smoke test of the NetBird client simulator: a service in a temporary directory, the one-off
# commands against it, the environment forms of the flags, the fault switches, and the failures
# without a service.
# Usage: smoke_test.sh PATH_TO_netbird_sim NETBIRD_VERSION
set -uo pipefail

NB=${1:?usage: smoke_test.sh PATH_TO_netbird_sim NETBIRD_VERSION}
VERSION=${2:?usage: smoke_test.sh PATH_TO_netbird_sim NETBIRD_VERSION}
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
# Waits for the new service's socket: it replaces whatever socket file was there.
started_count() { grep -c "started daemon server" "$T/client.log" 2>/dev/null; }
start_service() {
    local before
    before=$(started_count)
    "$NB" "${SERVICE[@]}" 2>>"$T/service.err" &
    SERVICE_PID=$!
    for _ in $(seq 50); do
        [ "$(started_count)" -gt "${before:-0}" ] &&
            "$NB" "${BASE[@]}" status --json >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    fail "service did not come up"
}

# --- without a service -------------------------------------------------------------------------
export NB_SIM_CONNECT_WAIT_MS=300   # the real 10 s dial, shortened
start=$(date +%s%N)
run "status without service fails" 1 "$NB" "${BASE[@]}" status --json
expect_err "error text without service" "Error: failed to connect to daemon error: context deadline exceeded"
expect_err "hint without service" "If the daemon is not running please run:"
[ $(( ($(date +%s%N) - start) / 1000000 )) -ge 300 ] && pass "the dial waits" || fail "no dial wait"
run "down without service fails" 1 "$NB" "${BASE[@]}" down
expect_err "down's own error text" "Error: context deadline exceeded"
run "unknown flag rejected" 1 "$NB" "${BASE[@]}" down --json
expect_err "unknown flag text" "unknown flag: --json"
run "bad port rejected" 1 "$NB" "${BASE[@]}" up --wireguard-port abc
run "bad ip map rejected before the dial" 1 "$NB" "${BASE[@]}" up --external-ip-map "1.2.3.4,,5.6.7.8"
expect_err "empty element text" "empty string is not a valid input for external-ip-map"
run "ip map naming a missing interface rejected" 1 "$NB" "${BASE[@]}" up --external-ip-map "1.2.3.4/no-such-if0"
run "version" 0 "$NB" version
expect_out "version text" "$VERSION"

# --- service start: config.json created, NeedsLogin ----------------------------------------------
[ ! -e "$T/config.json" ] && start_service
[ -f "$T/config.json" ] && pass "service created config.json" || fail "config.json not created at start"
grep -qE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\.[0-9]{3}Z INFO client/cmd/service_controller.go:[0-9]+: starting NetBird service$' \
    "$T/client.log" && pass "service log line format" || fail "service log lines: $(head -2 "$T/client.log")"
grep -q $'\r' "$T/client.log" && fail "carriage return in client.log" || pass "log lines end in LF"

run "status unregistered" 0 "$NB" "${BASE[@]}" status --json
json_check "NeedsLogin" 'd["daemonStatus"]=="NeedsLogin" and d["management"]["connected"] is False and d["networks"] is None'
json_check "member order" 'list(d)==["peers","cliVersion","daemonVersion","daemonStatus","management","signal","relays","netbirdIp","publicKey","usesKernelInterface","wireguardPort","fqdn","quantumResistance","quantumResistancePermissive","networks","forwardingRules","dnsServers","events","lazyConnectionEnabled","profileName","sshServer"]'
[ "$(tail -c1 "$T/out" | od -An -c | tr -d ' ')" != '\n' ] && pass "status has no final newline" || fail "status ends in a newline"
run "status text unregistered" 0 "$NB" "${BASE[@]}" status
expect_out "login hint" "Daemon status: NeedsLogin"
LOG_SIZE=$(stat -c %s "$T/client.log")

run "up without key waits for the SSO login" 124 timeout 1 "$NB" "${BASE[@]}" "${UP[@]}"
expect_out "SSO login URL" "use this URL to log in"
: >"$T/empty-key"
run "up with empty key file is an SSO login too" 124 timeout 1 "$NB" "${BASE[@]}" "${UP[@]}" --setup-key-file "$T/empty-key"
run "up with missing key file" 1 "$NB" "${BASE[@]}" "${UP[@]}" --setup-key-file "$T/no-such-key"
expect_err "key file error" "failed to read setup key file"
run "status still unregistered" 0 "$NB" "${BASE[@]}" status --json
json_check "failed ups did not register" 'd["daemonStatus"]=="NeedsLogin"'
run "up with a key that is not a UUID" 1 "$NB" "${BASE[@]}" "${UP[@]}" --setup-key A1B2-SETUP-KEY
expect_err "registration refuses it" "Error: daemon up failed: login failed: rpc error: code = InvalidArgument desc = invalid setup-key or no sso information provided, err: invalid UUID length: 14"
run "status after the refused key" 0 "$NB" "${BASE[@]}" status --json
json_check "LoginFailed, not registered" 'd["daemonStatus"]=="LoginFailed" and d["management"]["connected"] is False'

printf 'A1B2C3D4-0000-4000-8000-00000000CAFE\n' >"$T/key" && chmod 600 "$T/key"
run "up with setup key" 0 env NB_SIM_RECORD="$T/record.jsonl" USER=cam "$NB" "${BASE[@]}" "${UP[@]}" --enable-lazy-connection=true --setup-key-file "$T/key"
expect_out "up prints Connected" "Connected"
OUT=$(tail -1 "$T/record.jsonl")
json_check "record holds argv and key file" 'd["argv"][-2]=="--setup-key-file" and d["argv"][-1].endswith("/key") and d["key_file_mode"]=="0600" and d["key_file_content"]=="A1B2C3D4-0000-4000-8000-00000000CAFE\n"'
json_check "record keeps the empty argument" 'd["argv"][d["argv"].index("--external-ip-map")+1]==""'
json_check "record holds USER" 'd["env"]["USER"]=="cam"'
[ "$(stat -c %s "$T/client.log")" -gt "$LOG_SIZE" ] && pass "the service logged the registration" || fail "service did not log"

run "status connected" 0 "$NB" "${BASE[@]}" status --json
json_check "Connected" 'd["daemonStatus"]=="Connected" and d["management"]=={"url":"https://vpn.example.com:443","connected":True,"error":""}'
json_check "peers and address" 'd["peers"]["total"]>=2 and d["peers"]["connected"]>=1 and d["netbirdIp"].startswith("100.90.") and d["netbirdIp"].endswith("/16") and d["lazyConnectionEnabled"] is True'
run "status management down" 0 env NB_SIM_MANAGEMENT_DOWN=1 "$NB" "${BASE[@]}" status --json
json_check "management lost keeps the tunnel" 'd["daemonStatus"]=="Connected" and d["management"]["connected"] is False and d["peers"]["connected"]>=1'

run "up while connected" 0 "$NB" "${BASE[@]}" up --mtu 1400 --interface-name wt9
expect_out "Already connected" "Already connected"
OUT=$(cat "$T/config.json")
json_check "already connected applies nothing" 'd["MTU"]==1280 and d["WgIface"]=="wt0"'

# --- environment forms of the flags -------------------------------------------------------------
run "NB_LOG_LEVEL that logrus rejects" 1 env NB_LOG_LEVEL=verbose "$NB" "${BASE[@]}" status --json
expect_err "log level text" "failed parsing log-level verbose"
run "NB_LOG_LEVEL in capitals is accepted" 0 env NB_LOG_LEVEL=DEBUG "$NB" "${BASE[@]}" status --json
run "NB_DAEMON_ADDR overrides --daemon-addr" 1 env NB_DAEMON_ADDR="unix://$T/elsewhere.sock" "$NB" "${BASE[@]}" status --json
run "down" 0 "$NB" "${BASE[@]}" down
run "up with list and value flags from the environment" 0 env NB_EXTERNAL_IP_MAP=203.0.113.9 NB_MTU=1300 WT_MTU=1350 "$NB" "${BASE[@]}" "${UP[@]}"
OUT=$(cat "$T/config.json")
json_check "env value appended to the list, NB_ over WT_ over the command line" 'd["NATExternalIPs"]==["203.0.113.9"] and d["MTU"]==1300'
run "down again" 0 "$NB" "${BASE[@]}" down
run "NB_FOREGROUND_MODE keeps up in the foreground" 124 timeout 1 env NB_FOREGROUND_MODE=true "$NB" "${BASE[@]}" "${UP[@]}"
run "NB_PROFILE switches to a missing profile" 1 env NB_PROFILE=other "$NB" "${BASE[@]}" "${UP[@]}"
run "up again without key" 0 "$NB" "${BASE[@]}" "${UP[@]}"

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
run "down before the up fault" 0 "$NB" "${BASE[@]}" down
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
run "second down succeeds too" 0 "$NB" "${BASE[@]}" down
run "up again without key" 0 "$NB" "${BASE[@]}" "${UP[@]}"

# --- debug bundle: written by the service in its own temporary directory -----------------------------
run "debug bundle" 0 env TMPDIR=/nonexistent "$NB" "${BASE[@]}" debug bundle
ZIP=$(grep -A1 -x 'Local file:' "$T/out" | tail -1)
[[ "$ZIP" == "$TMPDIR"/netbird.debug.*.zip ]] && pass "bundle path $ZIP" || fail "bundle path: $OUT"
[ "$(stat -c %a "$ZIP")" = 600 ] && pass "bundle mode 0600" || fail "bundle mode $(stat -c %a "$ZIP")"
python3 - "$ZIP" <<'EOF2' && pass "bundle is a valid zip" || fail "bundle zip invalid"
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
assert z.testzip() is None
assert {"status.txt", "config.txt"} <= set(z.namelist()), z.namelist()
assert "100.90." in z.read("status.txt").decode()
EOF2
run "debug bundle upload anonymized" 0 "$NB" "${BASE[@]}" debug bundle --upload-bundle --anonymize
KEY=$(grep -A1 -x 'Upload file key:' "$T/out" | tail -1)
URL_HASH=$(printf '%s' https://vpn.example.com:443 | sha256sum | cut -d' ' -f1)
[[ "$KEY" =~ ^${URL_HASH}/[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$ ]] && pass "upload key $KEY" || fail "upload key: $OUT"
ZIP=$(grep -A1 -x 'Local file:' "$T/out" | tail -1)
python3 - "$ZIP" <<'EOF2' && pass "anonymized bundle hides addresses" || fail "anonymized bundle leaks addresses"
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
text = "".join(z.read(n).decode() for n in z.namelist())
assert "100.90." not in text and "vpn.example.com" not in text
EOF2
[ "$(ls "$TMPDIR" | wc -l)" -eq 2 ] && pass "two distinct bundle files" || fail "bundle files: $(ls "$TMPDIR")"

# --- deregister: needs management, keeps config.json ----------------------------------------------------
[ "$(stat -c %s "$T/client.log")" -gt "$LOG_SIZE" ] || fail "client.log did not grow"
grep -q 'command' "$T/client.log" && fail "a one-off command wrote to client.log" || pass "one-off commands log to the console only"
run "deregister" 0 "$NB" "${BASE[@]}" deregister
expect_out "deregister text" "Deregistered successfully"
[ -f "$T/config.json" ] && pass "config.json kept" || fail "config.json removed by deregister"
run "status after deregister" 0 "$NB" "${BASE[@]}" status --json
json_check "NeedsLogin after deregister" 'd["daemonStatus"]=="NeedsLogin"'
run "second deregister fails" 1 "$NB" "${BASE[@]}" deregister

# --- later starts, stale socket, signals, crash ---------------------------------------------------------
kill -9 "$SERVICE_PID"; wait "$SERVICE_PID" 2>/dev/null; SERVICE_PID=""
start_service
run "status of an existing unregistered config" 0 "$NB" "${BASE[@]}" status --json
json_check "login tried and failed" 'd["daemonStatus"]=="NeedsLogin"'
run "register again" 0 "$NB" "${BASE[@]}" "${UP[@]}" --setup-key-file "$T/key"
kill -9 "$SERVICE_PID"; wait "$SERVICE_PID" 2>/dev/null; SERVICE_PID=""
[ -S "$T/netbird.sock" ] && pass "killed service left its socket" || fail "socket vanished"
run "status with stale socket fails" 1 env NB_SIM_CONNECT_WAIT_MS=0 "$NB" "${BASE[@]}" status --json
start_service
run "status after restart" 0 "$NB" "${BASE[@]}" status --json
json_check "registered service reconnects on start" 'd["daemonStatus"]=="Connected"'
FIRST_PID=$SERVICE_PID
start_service
run "a second service takes the socket over" 0 "$NB" "${BASE[@]}" status --json
kill -0 "$FIRST_PID" && pass "the first service still runs, unreachable" || fail "first service gone"
kill -9 "$FIRST_PID"; wait "$FIRST_PID" 2>/dev/null
start=$(date +%s%N)
kill "$SERVICE_PID"; wait "$SERVICE_PID"; code=$?; SERVICE_PID=""
[ "$code" -eq 0 ] && pass "SIGTERM: exit 0" || fail "SIGTERM: exit $code"
[ $(( ($(date +%s%N) - start) / 1000000 )) -ge 1900 ] && pass "SIGTERM: about 2 s" || fail "SIGTERM: no pause"
[ ! -e "$T/netbird.sock" ] && pass "SIGTERM removes the socket" || fail "socket left after SIGTERM"
NB_SIM_MANAGEMENT_SLOW=1 start_service
run "management does not answer: up waits for the status" 124 timeout 1 "$NB" "${BASE[@]}" "${UP[@]}"
run "deregister needs the management server" 1 "$NB" "${BASE[@]}" deregister
run "between connection attempts status fails" 1 "$NB" "${BASE[@]}" status --json
expect_err "status failed text" "Error: status failed: context deadline exceeded"
run "during an attempt status says Connecting" 0 "$NB" "${BASE[@]}" status --json
json_check "Connecting" 'd["daemonStatus"]=="Connecting"'
kill -HUP "$SERVICE_PID"; wait "$SERVICE_PID"; code=$?; SERVICE_PID=""
[ "$code" -eq 129 ] && pass "SIGHUP kills the service" || fail "SIGHUP: exit $code"
[ -S "$T/netbird.sock" ] && pass "SIGHUP leaves the socket" || fail "socket removed on SIGHUP"
run "service with a log level that logrus rejects" 1 env NB_LOG_LEVEL=loud "$NB" "${SERVICE[@]}"
cp "$T/config.json" "$T/config.good"
: > "$T/config.json"
run "an empty config.json ends the service" 1 "$NB" "${SERVICE[@]}"
expect_err "fatal line" "FATL client/cmd/service_controller.go:66: failed to start daemon: failed to get config: unexpected end of JSON input"
[ ! -s "$T/config.json" ] && pass "the damaged config is not replaced" || fail "config replaced"
cp "$T/config.good" "$T/config.json"

# --- environment the client reads beyond its flags -------------------------------------------------------
# A skip flag that does not parse as true opens the SOCKS5 proxy with the tunnel; a service whose
# settings updates are disabled makes `up` go on without its settings.
NB_USE_NETSTACK_MODE=true NB_NETSTACK_SKIP_PROXY=ture NB_SOCKS5_LISTENER_PORT=1081 NB_DISABLE_UPDATE_SETTINGS=true \
    NB_SIM_RECORD="$T/service.jsonl" start_service
grep -q '"event":"socks5_proxy","listen":"0.0.0.0:1081"' "$T/service.jsonl" && pass "open proxy recorded" ||
    fail "no proxy in the record: $(cat "$T/service.jsonl")"
run "down before an up with settings" 0 "$NB" "${BASE[@]}" down
run "up with settings updates disabled" 0 env NB_DISABLE_UPDATE_SETTINGS=false "$NB" "${BASE[@]}" "${UP[@]}" --mtu 1400
expect_err "up warns that SetConfig is unavailable" "setConfig method is not available in the daemon"
OUT=$(cat "$T/config.json")
json_check "settings dropped" 'd["MTU"]!=1400'
kill "$SERVICE_PID"; wait "$SERVICE_PID"; SERVICE_PID=""

NB_SIM_SERVICE_EXIT_AFTER_MS=200 "$NB" "${SERVICE[@]}" 2>>"$T/service.err" &
SERVICE_PID=$!
wait "$SERVICE_PID"; code=$?; SERVICE_PID=""
[ "$code" -eq 2 ] && pass "crashing service exits 2" || fail "crashing service exit $code"

if [ "$FAILED" -ne 0 ]; then echo "sim smoke test FAILED"; exit 1; fi
echo "sim smoke test passed"
