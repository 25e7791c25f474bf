#!/usr/bin/env bash
# A tray host that starts after the program still gets its icon: on a virtual
# X display, trayer starts once the client has set its icon.
# usage: tray-host-later.sh QUILLON
set -euo pipefail
work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-tray.XXXXXX")
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$work"' EXIT
# XEmbed (no session bus, so no StatusNotifier host), no update server.
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" QT_QPA_PLATFORM=xcb WAYLAND_DISPLAY=
export XDG_DATA_HOME="$work" XDG_RUNTIME_DIR="$work" QUILLON_UPDATE_SERVER=https://127.0.0.1:1/none
await() {  # what, command
    for _ in $(seq 1 300); do "${@:2}" && return 0; sleep 0.1; done
    echo "$1 did not happen" >&2
    exit 1
}
# The icon is set before the guest share check starts, which logs its result.
started() {
    [ -n "$(sqlite3 "$work/Velmora KT/Torval2Quillon/EventLog.sqlite" \
        "SELECT 1 FROM events WHERE message LIKE 'ゲスト共有%' LIMIT 1" 2> /dev/null)" ]
}
embedded() { [[ $(xwininfo -name panel -tree 2> /dev/null) == *'("Quillon" "Quillon")'* ]]; }
Xvfb -displayfd 3 -nolisten tcp 3> "$work/display" 2> /dev/null &
pids+=($!)
await "Xvfb's start" test -s "$work/display"
export DISPLAY=":$(cat "$work/display")"
"$1" &
pids+=($!)
await "the client's start" started
sleep 2  # a panel that comes later still, with the client idle
trayer > /dev/null 2>&1 &
pids+=($!)
await "the icon's embedding in trayer's panel" embedded
