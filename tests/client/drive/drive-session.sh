#!/usr/bin/env bash
# Runs the drive session tests in a private desktop-like session: its own
# home, a 0700 runtime folder, a private D-Bus session bus with an unlocked
# keyring (the Secret Service) and the GVfs daemon, and no display. The test
# program starts its own WebDAV server.
set -euo pipefail
driver=$1
shift

if [ ! -c /dev/fuse ]; then
    echo "SKIPPED: there is no /dev/fuse, so no FUSE mount can run here"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-drive.XXXXXX")
cleanup() {
    # A mount left behind must not lead rm into the server's files.
    fusermount3 -u "$work/run/gvfs" 2>/dev/null || true
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT

mkdir -m 700 "$work/home" "$work/run"
export HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share"
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL
# Volume monitors (disks, phones, cameras) have nothing to do here.
export GVFS_REMOTE_VOLUME_MONITOR_IGNORE=1

# shellcheck disable=SC2016
dbus-run-session -- bash -c '
    set -euo pipefail
    wait_for_name() {
        for _ in $(seq 1 100); do
            gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
                --method org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep -q true && return 0
            sleep 0.1
        done
        echo "$1 did not appear on the session bus" >&2
        return 1
    }
    printf "%s" session-keyring | gnome-keyring-daemon --replace --unlock --components=secrets \
        --daemonize > /dev/null
    wait_for_name org.freedesktop.secrets
    for gvfsd in /usr/libexec/gvfsd /usr/lib/gvfs/gvfsd; do
        [ -x "$gvfsd" ] && break
    done
    "$gvfsd" > "$XDG_RUNTIME_DIR/gvfsd.log" 2>&1 &
    wait_for_name org.gtk.vfs.Daemon
    exec "$@"
' drive-session "$driver" "$@"
