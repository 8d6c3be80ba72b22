#!/usr/bin/env bash
# Builds and runs the whole box: the schedule-manager service and the IEC 61850
# server (MMS on TCP port 4102). They use the system bus when it lets us own
# the box's names; otherwise a private dbus-daemon with the box's bus policy.
# The server works in run/box/ (file store run/box/uploaded_files/, its
# configuration in run/config/). Ctrl-C or SIGTERM stops everything.
# Arguments are passed on to the server ("debug").
# Environment: BUILD_DIR (default build), RUN_DIR (default run),
# RUN_BUS=private to use a private bus even where the system bus would do.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build}
run=$(realpath -m "${RUN_DIR:-run}")
service=de.brenvolta.vantor.iec61850
scheduleService=$service.schedulemanager

bash scripts/install-deps.sh
buildType=()
[[ -f "$build/CMakeCache.txt" ]] || buildType=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
cmake -S . -B "$build" "${buildType[@]}" >/dev/null
cmake --build "$build" --target IecServer schedule-manager iec-client -j"${JOBS:-2}"

mkdir -p "$run/box/uploaded_files" "$run/config"
if [[ ! -f "$run/config/JSONRPC_config.conf" && -f config/JSONRPC_config.conf ]]; then
  cp config/JSONRPC_config.conf "$run/config/"
fi

pids=()
busDir=""
stopAll() {
  trap - INT TERM HUP EXIT
  local i pid
  # Last started first: the server, then the schedule manager, then the bus they use.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill -TERM "$pid" 2>/dev/null || continue
    # Not `wait`: in a trap it may block for good on a child that ended meanwhile.
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || continue 2; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true  # still there after 10 s
  done
  [[ -n "$busDir" ]] && rm -rf "$busDir"
  [[ ${#pids[@]} -eq 0 ]] || echo "run: stopped"
}
trap 'stopAll; exit 130' INT
trap 'stopAll; exit 143' TERM
trap 'stopAll; exit 129' HUP
trap 'stopAll' EXIT

busCall() {  # method on the bus daemon itself
  timeout 5 dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    "org.freedesktop.DBus.$1" "${@:2}" 2>/dev/null
}
nameOwned() { busCall NameHasOwner "string:$1" | grep -q 'boolean true'; }
policyInstalled() {
  local dir
  for dir in /etc/dbus-1/system.d /usr/share/dbus-1/system.d; do
    [[ -f "$dir/$service.conf" && -f "$dir/$scheduleService.conf" ]] && return 0
  done
  return 1
}
systemBusServesUs() {
  local socket=${DBUS_SYSTEM_BUS_ADDRESS:-unix:path=/run/dbus/system_bus_socket}
  socket=${socket#unix:path=}
  [[ -S "${socket%%,*}" ]] && policyInstalled && busCall GetId >/dev/null \
    && [[ $(id -un) == root || $(id -un) == steuerbox ]]
}

startPrivateBus() {
  busDir=$(mktemp -d /tmp/steuerbox-bus.XXXXXX)
  local user policy
  user=$(id -un)
  {
    echo '<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"'
    echo ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">'
    echo '<busconfig>'
    echo '  <type>system</type>'
    echo "  <listen>unix:path=$busDir/system_bus_socket</listen>"
    echo '  <auth>EXTERNAL</auth>'
    echo '  <policy context="default">'
    echo '    <allow user="*"/>'
    echo '    <deny own="*"/>'
    echo '    <deny send_type="method_call"/>'
    echo '    <allow send_type="signal"/>'
    echo '    <allow send_requested_reply="true" send_type="method_return"/>'
    echo '    <allow send_requested_reply="true" send_type="error"/>'
    echo '    <allow receive_type="method_call"/>'
    echo '    <allow receive_type="method_return"/>'
    echo '    <allow receive_type="error"/>'
    echo '    <allow receive_type="signal"/>'
    echo '    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>'
    echo '    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>'
    echo '    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>'
    echo '  </policy>'
    for policy in "$root"/packaging/dbus/*.conf; do echo "  <include>$policy</include>"; done
    echo "  <policy user=\"$user\">"
    echo "    <allow own=\"$service\"/>"
    echo "    <allow own=\"$scheduleService\"/>"
    echo "    <allow send_destination=\"$scheduleService\"/>"
    echo '  </policy>'
    echo '</busconfig>'
  } >"$busDir/bus.conf"
  dbus-daemon --config-file="$busDir/bus.conf" --nofork --nopidfile --print-address=1 \
    >"$busDir/address" 2>"$busDir/log" </dev/null &
  pids+=($!)
  for _ in $(seq 100); do [[ -s "$busDir/address" ]] && break; sleep 0.1; done
  [[ -s "$busDir/address" ]] || { echo "run: dbus-daemon did not start: $(cat "$busDir/log")" >&2; exit 1; }
  export DBUS_SYSTEM_BUS_ADDRESS
  DBUS_SYSTEM_BUS_ADDRESS=$(head -n1 "$busDir/address")
  echo "run: private system bus at $DBUS_SYSTEM_BUS_ADDRESS"
}

if [[ "${RUN_BUS:-}" != private ]] && systemBusServesUs; then
  echo "run: using the system bus"
  for name in "$service" "$scheduleService"; do
    if nameOwned "$name"; then
      echo "run: $name is already served on the system bus (is the installed box running?" \
        "systemctl stop steuerbox-iec-server steuerbox-schedule-manager)" >&2
      exit 1
    fi
  done
else
  startPrivateBus
fi

"$build/src/schedule-manager/schedule-manager" --state-file "$run/schedule-manager.state" </dev/null &
pids+=($!)
for _ in $(seq 100); do nameOwned "$scheduleService" && break; sleep 0.1; done
nameOwned "$scheduleService" || echo "run: the schedule manager did not come up; the server starts without it" >&2

server=$(realpath "$build")/src/IEC_server/IecServer
(cd "$run/box" && exec "$server" "$@") </dev/null &
serverPid=$!
pids+=("$serverPid")

client="$build/src/iec-client/iec-client"
cat <<EOF
run: the box serves MMS on 127.0.0.1:4102 (working directory $run/box). Browse it with:
  $client -h 127.0.0.1 -p 4102 devices
  $client nodes FNN_STEUERBOXCLS1
  $client read 'FNN_STEUERBOXCLS1/ActPow_GGIO001\$MX\$AnOut1\$mxVal\$f'
  $client watch 60 --enable 'FNN_STEUERBOXCLS1/LLN0\$RP\$reportControl0101'
run: Ctrl-C stops the server, the schedule manager and the bus.
EOF
[[ -z "$busDir" ]] || echo "run: for D-Bus clients: export DBUS_SYSTEM_BUS_ADDRESS='$DBUS_SYSTEM_BUS_ADDRESS'"

status=0
wait "$serverPid" || status=$?
echo "run: the server ended with status $status" >&2
exit "$status"
