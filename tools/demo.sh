#!/usr/bin/env bash
# make demo: the controller between two simulated API servers, a simulated validator and a
# handful of simulated devices, for a person to watch. Every line is prefixed with who speaks.
# Ends everything it started, by pid, prints a summary and exits 0 when results were delivered.
#
# Environment: TT_BUILD_DIR (default build), TT_CONTROLLER, TT_SIMULATOR, DEMO_SECONDS (6),
# DEMO_ONE_API_SERVER (1: one API server even where a private /etc/hosts is possible).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TT_BUILD_DIR:-$root/build}
controller=${TT_CONTROLLER:-$build/tt_controller}
simulator=${TT_SIMULATOR:-$build/tools/tt_simulator}
seconds=${DEMO_SECONDS:-6}
work=$(mktemp -d /tmp/tt_demo.XXXXXX)
pids=()

for program in "$controller" "$simulator"; do
    [[ -x $program ]] || { echo "demo: $program is not built (run make build)" >&2; exit 1; }
done

say() { echo "[demo] $*"; }

cleanup() {
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

# A port the kernel just handed out as ephemeral, free again for the demo to use.
free_port() {
    python3 -c 'import socket, sys
s = socket.socket(socket.AF_INET6 if sys.argv[1] == "6" else socket.AF_INET)
s.bind(("::" if sys.argv[1] == "6" else "127.0.0.1", 0))
print(s.getsockname()[1])' "$1"
}

# start NAME COMMAND...: runs the command in the background, its output prefixed with [NAME]
# and kept in $work/NAME.log; its pid goes to the pid list and to $started.
start() {
    local name=$1
    shift
    "$@" </dev/null > >(tee "$work/$name.log" | sed -u "s/^/[$name] /") 2>&1 &
    started=$!
    pids+=("$started")
}

count() {
    local lines
    lines=$(grep -c -- "$2" "$work/$1.log" 2>/dev/null)
    echo "${lines:-0}"
}

# wait_for SECONDS DESCRIPTION CONDITION...: polls the condition until it holds, giving up
# early when the controller has ended.
wait_for() {
    local limit=$1 what=$2
    shift 2
    local deadline=$((SECONDS + limit))
    until "$@"; do
        if [[ -n ${controller_pid:-} ]] && ! alive "$controller_pid"; then
            say "the controller ended early"
            return 1
        fi
        if ((SECONDS >= deadline)); then
            say "gave up waiting for $what"
            return 1
        fi
        sleep 0.1
    done
}

alive() { kill -0 "$1" 2>/dev/null; }
at_least() { (($(count "$1" "$2") >= $3)); }

api_port=$(free_port 4)
device_port=$(free_port 6)
apis=(127.0.0.2 127.0.0.3)
validator_address=127.0.0.4

# The controller reaches every API server through one host name. Root can give it a private
# /etc/hosts that names both servers; otherwise it talks to the first one alone, by address.
all_hostname=tt-demo-api-all
best_hostname=tt-demo-api-best
{
    echo "127.0.0.1 localhost"
    for address in "${apis[@]}"; do echo "$address $all_hostname"; done
    echo "$validator_address $best_hostname"
} >"$work/hosts"
with_hosts=(unshare --mount sh -c 'mount --bind "$0" /etc/hosts && exec "$@"' "$work/hosts")
one_server_because=
if [[ ${DEMO_ONE_API_SERVER:-} == 1 ]]; then
    one_server_because="DEMO_ONE_API_SERVER asks for it"
elif ! "${with_hosts[@]}" true 2>/dev/null; then
    one_server_because="no private /etc/hosts possible (needs root and unshare --mount)"
fi
if [[ -z $one_server_because ]]; then
    run_controller=("${with_hosts[@]}" "$controller")
else
    say "one API server only: $one_server_because"
    apis=("${apis[0]}")
    all_hostname=${apis[0]}
    best_hostname=$validator_address
    run_controller=("$controller")
fi
sed -e "s/@ALL_HOSTNAME@/$all_hostname/" -e "s/@BEST_HOSTNAME@/$best_hostname/" \
    -e "s/@API_PORT@/$api_port/" -e "s/@DEVICE_PORT@/$device_port/" \
    "$root/tools/demo/tt_controller.cfg" >"$work/tt_controller.cfg"

listen=()
for address in "${apis[@]}"; do listen+=(--listen "$address:$api_port"); done
# Every server tests the units in turn, $rate tests a second: two servers at 3 test each unit
# as often as one at 6, so the devices misbehave as soon with one server as with two.
rate=$((6 / ${#apis[@]}))

say "validator on $validator_address:$api_port admits units 101-104 (105 is refused)"
start validator "$simulator" validator --listen "$validator_address:$api_port" \
    --accept-units 101-104 --json
validator_pid=$started
say "API servers on ${apis[*]} (port $api_port) test units 101-106 (106 has no device)," \
    "$rate a second each"
start api "$simulator" api "${listen[@]}" --units 101-106 --rate "$rate" --json
api_pid=$started
wait_for 5 "the simulated servers" \
    at_least validator "validator listening" 1 || exit 1
wait_for 5 "the simulated API servers" at_least api "api listening" "${#apis[@]}" || exit 1

say "controller: devices on port $device_port, API servers as $all_hostname:$api_port"
start controller "${run_controller[@]}" -c "$work/tt_controller.cfg"
controller_pid=$started
wait_for 10 "the controller's registrations" \
    at_least api "controller registered" "${#apis[@]}" || exit 1
wait_for 10 "the controller's validator registration" \
    at_least validator "controller registered" 1 || exit 1

say "5 devices, 2 results per test; 104 drops its connection after 2 tests, 103 answers" \
    "its 4th test with garbage"
start devices "$simulator" devices --controller "127.0.0.1:$device_port" --units 101-105 \
    --results 2 --misbehave 104=drop:2 --misbehave 103=malformed:3 --json
devices_pid=$started
wait_for 10 "the devices' validations" at_least devices "admitted\|refused" 5 || exit 1

say "running tests for $seconds seconds"
sleep "$seconds"

say "stopping the API servers, then the devices"
kill -TERM "$api_pid"
wait "$api_pid"
api_status=$?
kill -TERM "$devices_pid"
wait "$devices_pid"
devices_status=$?
# Every disconnection the controller reports reaches the validator before the rest stops.
reports_arrived() {
    (($(count validator "disconnection reported") >= $(count controller "report disconnection")))
}
sleep 0.5
wait_for 5 "the disconnection reports" reports_arrived

say "stopping the validator and the controller"
kill -TERM "$validator_pid"
wait "$validator_pid"
validator_status=$?
controller_ran=yes
alive "$controller_pid" || controller_ran=no
kill -TERM "$controller_pid"
wait "$controller_pid"
controller_status=$?
pids=()

python3 - "$work" "$controller_ran" "$controller_status" "$api_status" "$validator_status" \
    "$devices_status" <<'PYTHON'
import json, sys
work, controller_ran = sys.argv[1], sys.argv[2]
statuses = dict(zip(["controller", "api", "validator", "devices"], map(int, sys.argv[3:])))

def summary(name):
    with open("%s/%s.log" % (work, name)) as log:
        lines = [line for line in log if line.startswith('{"role":')]
    return json.loads(lines[-1]) if lines else {}

api, validator, devices = summary("api"), summary("validator"), summary("devices")
print("[demo] summary:")
print("[demo]   devices admitted:         %d (refused %d)"
      % (validator.get("admitted", 0), validator.get("refused", 0)))
print("[demo]   tests run:                %d" % api.get("executes_sent", 0))
print("[demo]   results delivered:        %d (of them errors: %d unreachable, %d other)"
      % (api.get("own_results", 0), api.get("errors_unreachable", 0),
         api.get("errors_other", 0)))
print("[demo]   device results sent:      %d" % devices.get("results_sent", 0))
print("[demo]   disconnections reported:  %d"
      % (validator.get("disconnections_clean", 0) + validator.get("disconnections_timeout", 0)))
problems = []
if controller_ran != "yes":
    problems.append("the controller ended early")
problems += ["%s exited with status %d" % (name, status)
             for name, status in statuses.items() if status != 0]
if not validator.get("admitted"):
    problems.append("no device was admitted")
if not api.get("own_results") or not devices.get("results_sent"):
    problems.append("no results were delivered")
for problem in problems:
    print("[demo] FAILED: " + problem)
sys.exit(1 if problems else 0)
PYTHON
