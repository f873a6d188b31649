#!/bin/sh
# The setup program under Wine, in a prefix made afresh for each run (in the
# build tree, of the build's architecture): command lines it refuses, a
# silent install against the simulator, an upgrade over it, an upgrade into
# another folder, a prepared settings file the service cannot run with, the
# removal, and a new install into the folder whose settings it kept.
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
newdir="$WINEPREFIX/drive_c/Corp App/CVN"
# Quotes, blanks, "/" and "=": the password, as an unquoted option value.
pw="Ab3/xY+z= it's \"q\""
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
  printf '[Settings]\r\nServer Address=127.0.0.1\r\nServer Port=%s\r\nUsername=op\r\nPassword=%s\r\n' "$port" "${3:-$pw}"
  printf 'On Battery Shutdown=%s\r\nLow Battery Shutdown=%s\r\n[Debug]\r\nOn=0\r\nLevel=2\r\n' "$1" "$2"
}
# The setup with its options as an administrator types them in cmd, from a
# batch file (Wine would rebuild a command line given as arguments, quotes
# escaped). Sets $rc; its standard error, with the Wine channels in $debug,
# goes to $work/err.
run_setup() {
  printf '@C:\\setup.exe %s\r\n@exit %%ERRORLEVEL%%\r\n' "$1" >"$WINEPREFIX/drive_c/setup.bat"
  WINEDEBUG=${debug:--all} "$WINE" cmd /c 'C:\setup.bat' </dev/null >/dev/null 2>"$work/err"
  rc=$?
}
# A value in double quotes, "" for each quote in it.
quoted() { printf '"%s"' "$(printf '%s' "$1" | sed 's/"/""/g')"; }

rm -rf "$WINEPREFIX"
cvn_wine_session || fail "wineboot"

"$WINE" "$build/bin/upssim.exe" -p 0 -u op -w "$pw" </dev/null >"$work/sim" 2>&1 &
sim=$!
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim")
  [ -n "$port" ] && break
  sleep 0.2
done
[ -n "$port" ] || fail "the simulator did not start"
cp "$setup" "$WINEPREFIX/drive_c/setup.exe"

# Refused with the reason before anything changes: no server address, an
# unknown option (a typo must not end up in the password), an open quote,
# a quoted value in which NSIS itself would see its silent switch (without
# /S of our own: the setup would go on silently) or its folder (it cuts the
# line there), a quoted /S that NSIS does not take, and a folder holding a
# settings file that no setup of ours left there (its [Commands] would run
# as the system account).
planted="$WINEPREFIX/drive_c/Planted"
mkdir -p "$planted"
printf '[Commands]\r\nOn Battery=C:\\Planted\\evil.cmd\r\n' >"$planted/CVNRemote.ini"
before=$(stat -c '%a %s' "$planted" "$planted/CVNRemote.ini" | tr '\n' ' ')
while IFS='|' read -r opts reason; do
  run_setup "$opts"
  [ "$rc" = 2 ] && grep -qF "$reason" "$work/err" || fail "setup $opts ended with $rc: $(cat "$work/err")"
  [ ! -e "$dir" ] && [ -z "$(state)" ] || fail "setup $opts changed something"
done <<EOF
/S /PORT=$port|No server address
/S /SERVER=127.0.0.1 /PASWORD=x|Unknown option /PASWORD.
/S /SERVER=127.0.0.1 /PASSWORD="x /PORT=9|no closing quote
/SERVER=127.0.0.1 /PASSWORD="a /S b"|The value of /PASSWORD holds " /S"
/S /SERVER=127.0.0.1 /USER="a"" /D=C:\\x" /PORT=1|The value of /USER holds " /D="
"/S" /SERVER=127.0.0.1|does not take this /S
/S /SERVER=127.0.0.1 /D=C:\\Planted|C:\\Planted\\CVNRemote.ini is not a settings file
EOF
[ "$(stat -c '%a %s' "$planted" "$planted/CVNRemote.ini" | tr '\n' ' ')" = "$before" ] &&
  [ "$(ls "$planted")" = CVNRemote.ini ] || fail "the planted folder was changed"

# Install: files, settings from the options (the simulator accepts no other
# login), the service registered, set to start at boot, and running.
run_setup "/S /SERVER=127.0.0.1 /PORT=$port /USER=op /PASSWORD=$pw /ONBATTERY=90 /LOWBATTERY=20"
[ "$rc" = 0 ] || fail "setup ended with $rc: $(cat "$work/err")"
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
# programs are replaced and the service is started again. The password comes
# again, as PowerShell passes an option with blanks: the whole option quoted;
# the settings file itself comes as the prepared one, by its short name.
sed -i 's/^On Battery Shutdown=90/On Battery Shutdown=45/' "$dir/CVNRemote.ini"
echo damaged >"$dir/CVNShutdown.exe"
printf '@for %%%%I in ("C:\\Program Files\\CVNRemote\\CVNRemote.ini") do @echo %%%%~sI\r\n' >"$WINEPREFIX/drive_c/short.bat"
short=$("$WINE" cmd /c 'C:\short.bat' </dev/null 2>/dev/null | tr -d '\r')
case $short in *"~"*) ;; *) fail "no short name for the settings file: $short" ;; esac
run_setup "/S /SETTINGS=$short /LOWBATTERY=15 $(quoted "/PASSWORD=$pw")"
[ "$rc" = 0 ] || fail "upgrade ended with $rc: $(cat "$work/err")"
settings 45 15 >"$work/expected"
cmp -s "$work/expected" "$dir/CVNRemote.ini" || fail "settings after the upgrade: $(cat "$dir/CVNRemote.ini")"
cmp -s "$build/bin/CVNShutdown.exe" "$dir/CVNShutdown.exe" || fail "programs not replaced"
[ "$(state)" = 4 ] || fail "service state after the upgrade: $(state)"
for _ in $(seq 50); do [ "$(logins)" = 2 ] && break; sleep 0.2; done
grep -q '#1 closed by the client' "$work/sim" && [ "$(logins)" = 2 ] || fail "the service was not restarted"

# Upgrade into a folder outside Program Files (where users may write to the
# parent): the settings come along and the option given changes them. Wine
# keeps no access rules but the Unix mode, so its trace shows what the setup
# asks for: the folder locked (protected, users read and run) before any
# file is made in it, the settings file protected before it is written.
pw2="my /odd 'pass\" =x"
debug=-all,trace+security,trace+file
run_setup "/S /PASSWORD=$(quoted "$pw2") /D=C:\\Corp App\\CVN"
debug=
[ "$rc" = 0 ] || fail "upgrade into another folder ended with $rc: $(grep -v ':trace:' "$work/err")"
settings 45 15 "$pw2" >"$work/expected"
cmp -s "$work/expected" "$newdir/CVNRemote.ini" || fail "settings carried over: $(cat "$newdir/CVNRemote.ini")"
[ "$(reg_value "$service_key" ImagePath)" = '"C:\Corp App\CVN\CVNRemote.exe"' ] ||
  fail "image path: $(reg_value "$service_key" ImagePath)"
[ "$(LC_ALL=C ls "$dir" | tr '\n' ' ')" = "CVNRemote.ini " ] || fail "left in the old folder: $(ls "$dir")"
first() { grep -nF "$1" "$work/err" | grep -F "$2" | grep -vF "${3:-//}" | sed -n "${4:-1}s/:.*//p"; }
rules=$(first 'ConvertStringSecurityDescriptorToSecurityDescriptorW L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"' ,)
locked=$(first 'SetFileSecurityW (L"C:\\Corp App\\CVN", 0x80000004' ,)
made=$(first NtCreateFile 'name=L"\\??\\C:\\Corp App\\CVN\\' 'CVN\\"')
[ -n "$rules" ] && [ -n "$locked" ] && [ -n "$made" ] && [ "$rules" -lt "$locked" ] && [ "$locked" -lt "$made" ] ||
  fail "folder not locked before the copy (rules at ${rules:-none}, set at ${locked:-none}, first file at ${made:-none})"
protected=$(first 'SetFileSecurityW (L"C:\\Corp App\\CVN\\CVNRemote.ini", 0x80000004' ,)
written=$(first NtCreateFile 'CVN\\CVNRemote.ini"' // '$')
[ -n "$protected" ] && [ "$protected" -lt "$written" ] || fail "settings written before they were protected"

# A prepared settings file the client cannot run with (its server address
# not in the first column, where the client looks for keys): the service
# stops at once, and the setup says why within seconds, in the client's words.
printf '[Settings]\r\n Server Address=127.0.0.1\r\nPassword=%s\r\n' "$pw" >"$WINEPREFIX/drive_c/prepared.ini"
start=$(date +%s)
run_setup '/S /SETTINGS=C:\prepared.ini /D=C:\Corp App\CVN'
took=$(($(date +%s) - start))
[ "$rc" = 3 ] && grep -q 'stopped at once: No server address specified' "$work/err" && [ "$took" -lt 10 ] ||
  fail "stopped service: status $rc after $took s: $(cat "$work/err")"
cmp -s "$WINEPREFIX/drive_c/prepared.ini" "$newdir/CVNRemote.ini" || fail "prepared settings: $(cat "$newdir/CVNRemote.ini")"

# Removal: the uninstaller runs from a copy of itself and returns at once;
# done when its entry in Programs and Features is gone.
echo trace >"$newdir/agtrace.log"
"$WINE" "$newdir/Uninstall.exe" /S </dev/null >/dev/null 2>&1 || fail "uninstaller ended with $?"
for _ in $(seq 60); do
  [ ! -e "$newdir/Uninstall.exe" ] && [ -z "$(reg_value "$uninstall_key" DisplayVersion)" ] && break
  sleep 0.5
done
[ -z "$(reg_value "$uninstall_key" DisplayVersion)" ] || fail "still in Programs and Features"
[ -z "$(state)" ] && [ -z "$(reg_value "$service_key" ImagePath)" ] || fail "service left after removal"
[ "$(LC_ALL=C ls "$newdir" | tr '\n' ' ')" = "CVNRemote.ini agtrace.log " ] || fail "left after removal: $(ls "$newdir")"

# A new install into that folder takes the settings kept there (the
# uninstaller left its mark in the registry), beside an administrator's own
# script in a folder of its own. Before anything changes the setup asks who
# owns each thing in the folder; then every one gets the folder's rules (the
# script, left writable by everyone, no longer is), the settings their own.
mkdir -p "$newdir/scripts"
echo '@net stop db' >"$newdir/scripts/stop-db.cmd"
chmod 666 "$newdir/scripts/stop-db.cmd"
debug=-all,trace+security
run_setup "/S /SERVER=127.0.0.1 /PORT=$port /USER=op /D=C:\\Corp App\\CVN"
debug=
[ "$rc" = 0 ] || fail "install over kept settings ended with $rc: $(grep -v ':trace:' "$work/err")"
[ "$(state)" = 4 ] || fail "service state after the new install: $(state)"
for _ in $(seq 50); do [ "$(logins)" = 3 ] && break; sleep 0.2; done
[ "$(logins)" = 3 ] || fail "the service did not log in with the kept settings"
changed=$(first 'SetFileSecurityW (' ,)
for f in "" '\\CVNRemote.ini' '\\agtrace.log' '\\scripts' '\\scripts\\stop-db.cmd'; do
  asked=$(first "GetFileSecurityW (L\"C:\\\\Corp App\\\\CVN$f\",1," ,)
  set=$(first "SetFileSecurityW (L\"C:\\\\Corp App\\\\CVN$f\", 0x80000004" ,)
  [ -n "$asked" ] && [ "$asked" -lt "${changed:-0}" ] && [ -n "$set" ] ||
    fail "CVN$f: owner asked at ${asked:-none}, first change at ${changed:-none}, rules set at ${set:-none}"
done
case $(stat -c %a "$newdir/scripts/stop-db.cmd") in *[2367]) fail "the script stayed writable by everyone" ;; esac
case $(stat -c %a "$newdir/CVNRemote.ini") in *0) ;; *) fail "kept settings readable by everyone" ;; esac
echo "setup: bad command lines and a planted settings file refused, installed and running, upgraded keeping the settings, moved with them into a locked folder, a service that cannot run reported, removed but for the settings and trace, installed again over them, the folder and all in it locked"
