#!/usr/bin/env bash
# The per-user install script into a temporary prefix (with a blank in its
# path): every file in place, both entries and the user service valid, the
# menu entry's program starts the client from there (opening the connection
# settings at the first start), and uninstalling keeps settings and logs.
set -euo pipefail
root=$1
build=$2
tmp=$(mktemp -d)
client_pid=""
emulator_pid=""
cleanup() {
    [ -n "$client_pid" ] && kill -KILL "$client_pid" 2>/dev/null || true
    [ -n "$emulator_pid" ] && kill "$emulator_pid" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

export HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/config" XDG_DATA_HOME="$tmp/data"
export XDG_RUNTIME_DIR="$tmp/run" QT_QPA_PLATFORM=offscreen
export QUILLON_UPDATE_SERVER=https://127.0.0.1:1/none
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
prefix="$tmp/pre fix"

"$root/scripts/install-user" --prefix "$prefix" --build-dir "$build" --no-start >/dev/null
[ -x "$prefix/lib/quillon/Quillon" ] && [ -x "$prefix/lib/quillon/QuillonUpdater" ] || fail "programs"
for s in 16 22 24 32 48 64 128 256; do
    [ -s "$prefix/share/icons/hicolor/${s}x${s}/apps/quillon.png" ] || fail "no ${s}px icon"
done
[ -f "$prefix/share/icons/hicolor/scalable/apps/quillon.svg" ] || fail "no SVG icon"
menu="$prefix/share/applications/quillon.desktop"
auto="$XDG_CONFIG_HOME/autostart/quillon-updater.desktop"
desktop-file-validate "$menu" || fail "menu entry invalid"
desktop-file-validate "$auto" || fail "autostart entry invalid"
[ ! -e "$prefix/etc" ] || fail "autostart entry left below the prefix"
# The user service: the installed client without a tray, not enabled, and
# valid for systemd where it can be checked.
unit="$XDG_DATA_HOME/systemd/user/quillon.service"
[ "$(sed -n 's/^ExecStart=//p' "$unit")" = "\"$prefix/lib/quillon/Quillon\" --headless" ] ||
    fail "the service runs something else"
[ ! -e "$prefix/lib/systemd" ] && [ ! -e "$XDG_CONFIG_HOME/systemd" ] || fail "unit misplaced or enabled"
if command -v systemd-analyze >/dev/null; then
    out=$(systemd-analyze verify --user "$unit" 2>&1) && [ -z "$out" ] || fail "unit: $out"
fi

# A local download server offers a file the installation lacks.
data="$XDG_DATA_HOME/Velmora KT/Torval2Quillon"
mkdir -p "$tmp/files" "$data"
"$build/emulator/torval2-emulator" --data "$tmp/emulator" --files "$tmp/files" >"$tmp/emulator.out" &
emulator_pid=$!
for _ in $(seq 1 100); do grep -q '^listening' "$tmp/emulator.out" && break; sleep 0.1; done
server="https://127.0.0.1:$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$tmp/emulator.out")/files"
list="[AutoUpload]\nCAFile=$tmp/emulator/emulator-cert.pem\n[Server]\nServer1=$server\n"
printf "$list" >"$data/Quillon.ini"
printf "${list}File1=notes.txt\n[notes.txt]\nVersion=0.0.0.0\n" >"$tmp/files/Quillon.ini"
echo offered >"$tmp/files/notes.txt"

# Start what the menu entry starts; the updater updates, then hands over to the client.
exec_path=$(sed -n 's/^Exec="\(.*\)"$/\1/p' "$menu")
[ "$exec_path" = "$prefix/lib/quillon/QuillonUpdater" ] || fail "menu runs '$exec_path'"
[ "$(sed -n 's/^Exec=//p' "$auto")" = "\"$exec_path\"" ] || fail "autostart runs something else"
"$exec_path" || fail "updater failed"
for _ in $(seq 1 300); do
    for p in /proc/[0-9]*; do
        if [ "$(readlink "$p/exe" 2>/dev/null)" = "$prefix/lib/quillon/Quillon" ]; then
            client_pid=${p#/proc/}
        fi
    done
    [ -n "$client_pid" ] && break
    sleep 0.1
done
[ -n "$client_pid" ] || fail "the client did not start from the prefix"
[ "$(cat "$prefix/lib/quillon/notes.txt")" = offered ] || fail "the offered file was not installed"
# No account yet: the updater asked for the connection settings, which the client opened.
for _ in $(seq 1 100); do grep -qx 'OpenSetup=OFF' "$data/QuillonConfig.ini" && break; sleep 0.1; done
grep -qx 'OpenSetup=OFF' "$data/QuillonConfig.ini" || fail "the settings did not open at the first start"
kill -KILL "$client_pid"
client_pid=""

[ -f "$data/QuillonConfig.ini" ] && [ -f "$data/EventLog.sqlite" ] || fail "no settings or log written"
"$root/scripts/install-user" --uninstall --prefix "$prefix" >/dev/null
# The desktop and icon caches are the system's, shared with other programs.
left=$(find "$prefix" "$XDG_CONFIG_HOME" -type f ! -name "*.cache" 2>/dev/null)
[ -z "$left" ] || fail "left after uninstall: $left"
[ ! -e "$unit" ] || fail "unit left after uninstall"
[ -f "$data/QuillonConfig.ini" ] && [ -f "$data/EventLog.sqlite" ] || fail "uninstall removed settings or logs"
echo "install script: ok"
