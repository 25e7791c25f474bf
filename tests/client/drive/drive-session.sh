#!/usr/bin/env bash
# Runs the drive session tests with a home, a runtime folder, a keyring and
# GVfs of their own (scripts/private-session).
set -euo pipefail
if [ ! -c /dev/fuse ]; then
    echo "SKIPPED: there is no /dev/fuse, so no FUSE mount can run here"
    exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-drive.XXXXXX")
# A mount left behind must not lead rm into the server's files.
trap 'fusermount3 -u "$work/run/gvfs" 2>/dev/null || true; rm -rf --one-file-system "$work"' EXIT
mkdir -m 700 "$work/home" "$work/run"
export HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share"
# A Japanese desktop: gio would prompt in Japanese unless the client asks
# otherwise. The locale is built into the test folder, so the machine's own
# locale setup is left alone.
mkdir "$work/locale"
localedef -i ja_JP -f UTF-8 "$work/locale/ja_JP.UTF-8"
export LOCPATH="$work/locale" LANG=ja_JP.UTF-8 LANGUAGE=ja
# glibc keeps the LOCPATH search list it builds in setlocale for good.
echo 'leak:__argz_add_sep' >"$work/lsan.supp"
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$work/lsan.supp"
# The session helpers' own output is shown only when the tests fail.
"$(dirname "$0")/../../../scripts/private-session" --log "$work/session.log" "$@" ||
    { status=$?; cat "$work/session.log" >&2; exit "$status"; }
