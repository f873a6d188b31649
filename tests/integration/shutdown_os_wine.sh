#!/bin/sh
# qmx::ShutdownOS under Wine. ExitWindowsEx ends the Wine session of its
# prefix, so this runs in a prefix of its own (kept in the build tree,
# created on first use, its session started and quiet before the probe) whose
# wineserver is ended afterwards; the prefix of the other tests is never
# touched.
# Seen from outside: the relay trace of user32.ExitWindowsEx gives the flags
# and the reserved value, the process trace Wine's start of wineboot.exe
# with the flags in its command line; the probe reports whether the calls
# left handles open.
# Usage: shutdown_os_wine.sh <build dir> <qmx_probe.exe>
build=$(cd "$1" && pwd)
probe=$2
. "$(dirname "$0")/../../cmake/wine-env"
cvn_wine_env "$build"
WINEPREFIX=$build/wineprefix-shutdown
WINEDEBUG=-all
WINEDLLOVERRIDES=mscoree,mshtml=
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
unset DISPLAY WAYLAND_DISPLAY

work=$(mktemp -d "${TMPDIR:-/tmp}/qmx-shutdown.XXXXXX") || exit 1
trap 'wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT

fail() {
  echo "FAILED: $1" >&2
  echo "--- probe output:" >&2; cat "$work/out" >&2
  echo "--- trace:" >&2; grep -a -e ExitWindowsEx -e wineboot "$work/trace" >&2
  exit 1
}

cvn_wine_session || { echo "wineboot failed" >&2; exit 1; }
if ! grep -qs RelayInclude "$WINEPREFIX/user.reg"; then
  "$WINE" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d user32.ExitWindowsEx /f \
    </dev/null >/dev/null 2>&1 || { echo "cannot set the relay filter" >&2; exit 1; }
fi

WINEDEBUG=+process,+relay "$WINE" "$probe" shutdown </dev/null >"$work/out" 2>"$work/trace"
status=$?
[ "$status" -eq 0 ] || fail "probe ended with $status"

calls=$(grep -a -c 'Call user32.ExitWindowsEx(' "$work/trace")
[ "$calls" -eq 2 ] || fail "ExitWindowsEx called $calls times, expected 2"
[ "$(grep -a -c 'Call user32.ExitWindowsEx(00000008,00000000)' "$work/trace")" -eq 2 ] ||
  fail "ExitWindowsEx not asked for EWX_POWEROFF (8) with reserved value 0"
# Wine's session end without --kill (no EWX_FORCE) and with --shutdown (no reboot).
starts=$(grep -a 'CreateProcessInternalW' "$work/trace" | grep -a -c 'wineboot.exe --end-session --shutdown"')
[ "$starts" -eq 2 ] || fail "wineboot.exe --end-session --shutdown started $starts times, expected 2"
grep -q '^handles-released' "$work/out" || fail "handles left open"
echo "ShutdownOS: EWX_POWEROFF, wineboot.exe --end-session --shutdown, handles released"
exit 0
