#!/bin/sh
# The setup program under Wine, in a prefix made afresh for each run (in the
# build tree, of the build's architecture): a silent install against the
# simulator, an upgrade over it, and the removal.
# The simulator is the build's own upssim.exe in the same prefix: it serves
# the client and, as long as it runs, keeps the prefix's service manager (and
# the installed service) alive.
# Usage: install_wine.sh <build dir> <setup.exe> <version>
build=$(cd "$1" && pwd)
setup=$2
version=$3
. "$(dirname "$0")/../../cmake/wine-env"
cvn_wine_env "$build"
if [ "$WINEARCH" = win32 ] && ! cvn_win32_runs; then
  echo "skipped: $CVN_WIN32_WHY"
  exit 77
fi
WINEPREFIX=$build/install-wine/wineprefix
WINEDEBUG=-all
WINEDLLOVERRIDES=mscoree,mshtml=
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
unset DISPLAY WAYLAND_DISPLAY

service="Corvane Remote Shutdown Client"
service_key="HKLM\\System\\CurrentControlSet\\Services\\$service"
uninstall_key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\CVNRemote"
dir="$WINEPREFIX/drive_c/Program Files/CVNRemote"
work=$(mktemp -d "${TMPDIR:-/tmp}/cvn-install.XXXXXX") || exit 1
sim=
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT

fail() {
  echo "FAILED: $1" >&2
  echo "--- simulator:" >&2; cat "$work/sim" >&2
  exit 1
}
reg_value() { "$WINE" reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z]* *//p"; }
state() { "$WINE" sc query "$service" </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: *\([0-9]*\).*/\1/p'; }
logins() { grep -c 'login accepted' "$work/sim"; }
# The settings as the setup writes them (WritePrivateProfileString: CRLF).
settings() {
  printf '[Settings]\r\nServer Address=127.0.0.1\r\nServer Port=%s\r\nUsername=op\r\nPassword=s3cret\r\n' "$port"
  printf 'On Battery Shutdown=%s\r\nLow Battery Shutdown=%s\r\n[Debug]\r\nOn=0\r\nLevel=2\r\n' "$1" "$2"
}

rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
"$WINE" wineboot -i </dev/null >/dev/null 2>&1 || fail "wineboot"
wineserver -w

"$WINE" "$build/bin/upssim.exe" -p 0 -u op -w s3cret </dev/null >"$work/sim" 2>&1 &
sim=$!
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim")
  [ -n "$port" ] && break
  sleep 0.2
done
[ -n "$port" ] || fail "the simulator did not start"

# Install: files, settings from the options (the simulator accepts no other
# login), the service registered, set to start at boot, and running.
"$WINE" "$setup" /S /SERVER=127.0.0.1 /PORT="$port" /USER=op /PASSWORD=s3cret /ONBATTERY=90 /LOWBATTERY=20 \
  </dev/null >/dev/null 2>&1 || fail "setup ended with $?"
for f in CVNRemote.exe QMXDLL.dll CVNShutdown.exe; do
  cmp -s "$build/bin/$f" "$dir/$f" || fail "$f not installed"
done
settings 90 20 >"$work/expected"
cmp -s "$work/expected" "$dir/CVNRemote.ini" || fail "settings: $(cat "$dir/CVNRemote.ini")"
# Wine keeps a file's access rules as its Unix mode: nothing for others.
case $(stat -c %a "$dir/CVNRemote.ini") in *0) ;; *) fail "settings readable by everyone" ;; esac
[ "$(reg_value "$service_key" ImagePath)" = '"C:\Program Files\CVNRemote\CVNRemote.exe"' ] ||
  fail "image path: $(reg_value "$service_key" ImagePath)"
[ "$(reg_value "$service_key" Start)" = 0x2 ] || fail "start type: $(reg_value "$service_key" Start)"
[ "$(state)" = 4 ] || fail "service state: $(state)"
[ "$(reg_value "$uninstall_key" DisplayVersion)" = "$version" ] || fail "not in Programs and Features"
for _ in $(seq 50); do [ "$(logins)" = 1 ] && break; sleep 0.2; done
[ "$(logins)" = 1 ] || fail "the service did not log in"

# Upgrade: an administrator's change stays, an option given is applied, the
# programs are replaced and the service is started again.
sed -i 's/^On Battery Shutdown=90/On Battery Shutdown=45/' "$dir/CVNRemote.ini"
echo damaged >"$dir/CVNShutdown.exe"
"$WINE" "$setup" /S /LOWBATTERY=15 </dev/null >/dev/null 2>&1 || fail "upgrade ended with $?"
settings 45 15 >"$work/expected"
cmp -s "$work/expected" "$dir/CVNRemote.ini" || fail "settings after the upgrade: $(cat "$dir/CVNRemote.ini")"
cmp -s "$build/bin/CVNShutdown.exe" "$dir/CVNShutdown.exe" || fail "programs not replaced"
[ "$(state)" = 4 ] || fail "service state after the upgrade: $(state)"
for _ in $(seq 50); do [ "$(logins)" = 2 ] && break; sleep 0.2; done
grep -q '#1 closed by the client' "$work/sim" && [ "$(logins)" = 2 ] || fail "the service was not restarted"

# Removal: the uninstaller runs from a copy of itself and returns at once;
# done when its entry in Programs and Features is gone.
echo trace >"$dir/agtrace.log"
"$WINE" "$dir/Uninstall.exe" /S </dev/null >/dev/null 2>&1 || fail "uninstaller ended with $?"
for _ in $(seq 60); do
  [ ! -e "$dir/Uninstall.exe" ] && [ -z "$(reg_value "$uninstall_key" DisplayVersion)" ] && break
  sleep 0.5
done
[ -z "$(reg_value "$uninstall_key" DisplayVersion)" ] || fail "still in Programs and Features"
[ -z "$(state)" ] && [ -z "$(reg_value "$service_key" ImagePath)" ] || fail "service left after removal"
[ "$(LC_ALL=C ls "$dir" | tr '\n' ' ')" = "CVNRemote.ini agtrace.log " ] || fail "left after removal: $(ls "$dir")"
echo "setup: installed and running, upgraded keeping the settings, removed but for the settings and trace"
