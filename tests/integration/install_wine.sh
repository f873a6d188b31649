#!/bin/sh
# The setup program under Wine, in a prefix made afresh for each run (in the
# build tree, of the build's architecture): command lines it refuses, a
# silent install against the simulator, an upgrade over it, an upgrade into
# another folder, a prepared settings file the service cannot run with, the
# removal, and a new install into the folder whose settings it kept.
# The simulator is the build's own upssim.exe in the same prefix: it serves
# the client and, as long as it runs, keeps the prefix's service manager (and
# the installed service) alive.
# Then the Windows Installer package in the same prefix: its tables, a
# refusal beside the setup's installation and of the setup beside it, the
# refusals without a server address, of a folder with an entry everyone
# may write and of one with a file held open for writing, a silent install, a repair, an upgrade to a newer package (built here
# from the same programs), the removal keeping the settings, and PURGE=1.
# Usage: install_wine.sh <build dir> <setup.exe> <version> <package.msi>
build=$(cd "$1" && pwd)
setup=$2
version=$3
msi=$4
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
sim2=
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; [ -n "$sim2" ] && kill "$sim2" 2>/dev/null; wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT

fail() {
  echo "FAILED: $1" >&2
  echo "--- simulator:" >&2; cat "$work/sim" >&2
  exit 1
}
reg_value() { "$WINE" reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
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
# script in a folder of its own. A script that everyone may write (Wine
# shows a Unix mode's "others" as Everyone) is refused by the client's own
# judgement, the file named, nothing changed. Once only its owner may write
# it, the setup asks who owns each thing in the folder before anything
# changes; then every one gets the folder's rules, the settings their own.
mkdir -p "$newdir/scripts"
echo '@net stop db' >"$newdir/scripts/stop-db.cmd"
chmod 666 "$newdir/scripts/stop-db.cmd"
run_setup "/S /SERVER=127.0.0.1 /PORT=$port /USER=op /D=C:\\Corp App\\CVN"
[ "$rc" = 2 ] && grep -qF 'C:\Corp App\CVN\scripts\stop-db.cmd may be changed by S-1-1-0' "$work/err" ||
  fail "a script writable by everyone: status $rc: $(cat "$work/err")"
[ "$(stat -c %a "$newdir/scripts/stop-db.cmd")" = 666 ] && [ -z "$(state)" ] || fail "the refused install changed something"
chmod 644 "$newdir/scripts/stop-db.cmd"
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

# The package's tables (Wine's installer is not Windows': what it cannot
# show is checked here): every action of the sequence is a standard one or
# has its custom action row, whose program is in the Binary table or
# installed (wixl drops a Binary action's row and keeps it in the sequence);
# the client's steps are deferred and run as the system account; every
# setting's property is secure and the password hidden (Windows' log).
rows() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4; }
standard=" FindRelatedProducts AppSearch LaunchConditions ValidateProductID CostInitialize FileCost CostFinalize
 MigrateFeatureStates InstallValidate InstallInitialize InstallExecute InstallExecuteAgain RemoveExistingProducts
 ProcessComponents UnpublishFeatures StopServices DeleteServices RemoveRegistryValues RemoveIniValues RemoveFiles
 RemoveFolders CreateFolders InstallFiles WriteRegistryValues WriteIniValues InstallServices StartServices
 RegisterUser RegisterProduct PublishFeatures PublishProduct InstallFinalize "
tables_wrong() {
  for action in $(rows "$1" InstallExecuteSequence | cut -f1); do
    case $standard in *[[:space:]]"$action"[[:space:]]*) continue ;; esac
    row=$(rows "$1" CustomAction | awk -F'\t' -v a="$action" '$1 == a')
    [ -n "$row" ] || { echo "$action has no row"; continue; }
    type=$(echo "$row" | cut -f2) source=$(echo "$row" | cut -f3)
    case $((type & 63)) in
      1|2|5|6) rows "$1" Binary | cut -f1 | grep -qx "$source" || echo "$action: no $source in the Binary table" ;;
      17|18|21|22) rows "$1" File | cut -f1 | grep -qx "$source" || echo "$action: no file $source" ;;
    esac
    case $action in CvnBegin|CvnSettings|CvnEnd)
      [ $((type & 3072)) = 3072 ] || echo "$action is not deferred without impersonation ($type)" ;;
    esac
  done
  secure=";$(rows "$1" Property | awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }');"
  for p in SERVERADDRESS SERVERPORT SERVERUSER SERVERPASSWORD ONBATTERY LOWBATTERY SETTINGSFILE PURGE; do
    case $secure in *";$p;"*) ;; *) echo "$p is not secure" ;; esac
  done
  rows "$1" Property | grep -qx 'MsiHiddenProperties	SERVERPASSWORD' || echo "the password is not hidden"
}
newer=$work/CVNRemote-new.msi
sh "$(dirname "$0")/../../packaging/msi/build.sh" "$newer" 1.0.1 "$WINEARCH" "$build/bin" "$build/bin/CVNRemoteAction.exe" \
  >"$work/err" 2>&1 || fail "the newer package: $(cat "$work/err")"
for m in "$msi" "$newer"; do
  wrong=$(tables_wrong "$m")
  [ -z "$wrong" ] || fail "$(basename "$m"): $wrong"
done
cp "$msi" "$WINEPREFIX/drive_c/package.msi"
cp "$newer" "$WINEPREFIX/drive_c/newer.msi"

# msiexec as an administrator types it in cmd; $rc gets its status whole
# (a Unix exit status keeps 8 bits), the verbose log goes to $log, the
# client's standard error (what its steps refuse) to $work/err. Wine's
# installer ends with 1627 where a custom action fails (Windows: 1603).
log=$WINEPREFIX/drive_c/msi.log
action_failed=1627
run_msi() {
  rm -f "$log"
  # "echo 1>file" would redirect the echo's own output (handle 1): the
  # status goes after a word and before a blank.
  printf '@msiexec %s /qn /l*v C:\\msi.log\r\n@echo rc=%%ERRORLEVEL%% >C:\\msi-rc.txt\r\n' "$1" >"$WINEPREFIX/drive_c/msi.bat"
  WINEDEBUG=${debug:--all} "$WINE" cmd /c 'C:\msi.bat' </dev/null >/dev/null 2>"$work/err"
  rc=$(tr -d '\r\n ' <"$WINEPREFIX/drive_c/msi-rc.txt" | sed 's/^rc=//')
}
in_log() { grep -aqF "$1" "$log"; }

# Beside the setup's installation the package refuses (the setup's entry in
# Programs and Features), and the setup beside the package (further down).
run_msi '/i C:\package.msi SERVERADDRESS=127.0.0.1'
[ "$rc" = 1603 ] && in_log 'CVNREFUSAL = The Corvane Remote Shutdown Client is installed by its setup program' ||
  fail "package beside the setup: status $rc"
[ "$(reg_value "$service_key" ImagePath)" = '"C:\Corp App\CVN\CVNRemote.exe"' ] && [ "$(state)" = 4 ] ||
  fail "the refused package changed the setup's service"
"$WINE" "$newdir/Uninstall.exe" /S /PURGE </dev/null >/dev/null 2>&1 || fail "uninstaller ended with $?"
for _ in $(seq 60); do [ -z "$(reg_value "$uninstall_key" DisplayVersion)" ] && [ -z "$(state)" ] && break; sleep 0.5; done
[ -z "$(state)" ] || fail "the setup's service was not removed"
rm -rf "$newdir" "$dir"
"$WINE" reg delete 'HKLM\Software\Corvane' /f </dev/null >/dev/null 2>&1

# A simulator with a password that cmd and Wine's msiexec pass alike (Wine
# drops a doubled quote inside a quoted property value).
mpw="Xy7 /odd= it's"
"$WINE" "$build/bin/upssim.exe" -p 0 -u op -w "$mpw" </dev/null >"$work/sim2" 2>&1 &
sim2=$!
for _ in $(seq 100); do
  mport=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim2")
  [ -n "$mport" ] && break
  sleep 0.2
done
[ -n "$mport" ] || fail "the second simulator did not start"
mlogins() { grep -c 'login accepted' "$work/sim2"; }

# No server address: none given (a launch condition, its reason in the
# log), or none in the prepared file (the client's first step). Nothing is
# installed either way.
printf '[Settings]\r\nPassword=x\r\n' >"$WINEPREFIX/drive_c/noaddress.ini"
run_msi "/i C:\\package.msi SERVERPORT=$mport"
[ "$rc" = 1603 ] && in_log 'CVNREFUSAL = No server address: give it with SERVERADDRESS' ||
  fail "no server address: status $rc"
[ ! -e "$dir" ] && [ -z "$(state)" ] || fail "the install without an address changed something"
run_msi '/i C:\package.msi SETTINGSFILE=C:\noaddress.ini'
[ "$rc" = "$action_failed" ] && grep -qF 'No server address' "$work/err" || fail "no address in the file: status $rc: $(cat "$work/err")"
[ ! -e "$dir" ] && [ -z "$(state)" ] || fail "the install without an address in the file changed something"

# An existing folder with an entry everyone may write: refused, the entry
# named, nothing changed.
mkdir -p "$dir/scripts"
echo '@net stop db' >"$dir/scripts/stop-db.cmd"
chmod 666 "$dir/scripts/stop-db.cmd"
run_msi '/i C:\package.msi SERVERADDRESS=127.0.0.1'
[ "$rc" = "$action_failed" ] &&
  grep -qF 'C:\Program Files\CVNRemote\scripts\stop-db.cmd may be changed by S-1-1-0' "$work/err" ||
  fail "a writable entry: status $rc: $(cat "$work/err")"
[ "$(LC_ALL=C ls "$dir" | tr '\n' ' ')" = "scripts " ] && [ "$(stat -c %a "$dir/scripts/stop-db.cmd")" = 666 ] &&
  [ -z "$(state)" ] || fail "the refused package changed something"
chmod 644 "$dir/scripts/stop-db.cmd"

# A file that a program holds open for writing (a client run by hand from
# the folder, writing its trace beside it, its server not there): refused
# after the lock and the grace for virus scanners, the file named.
held=$dir/scripts/held
mkdir -p "$held"
cp "$build/bin/CVNRemote.exe" "$build/bin/QMXDLL.dll" "$held/"
printf '[Settings]\r\nServer Address=127.0.0.1\r\nServer Port=1\r\n[Debug]\r\nOn=1\r\nLevel=2\r\n' >"$held/CVNRemote.ini"
"$WINE" "$held/CVNRemote.exe" daemon </dev/null >/dev/null 2>&1 &
holder=$!
for _ in $(seq 100); do [ -s "$held/agtrace.log" ] && break; sleep 0.2; done
[ -s "$held/agtrace.log" ] || fail "the client run by hand wrote no trace"
run_msi '/i C:\package.msi SERVERADDRESS=127.0.0.1'
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
[ "$rc" = "$action_failed" ] &&
  grep -qF 'C:\Program Files\CVNRemote\scripts\held\agtrace.log is held open for writing' "$work/err" ||
  fail "a file held open: status $rc: $(cat "$work/err")"
[ ! -e "$dir/CVNRemote.exe" ] && [ -z "$(state)" ] || fail "the install went on over a file held open"
for _ in $(seq 50); do rm -rf "$held" 2>/dev/null && [ ! -e "$held" ] && break; sleep 0.2; done

# A silent install against the simulator: the programs, the settings from
# the properties, the service registered, started at boot and running, the
# Event Log source, the log with the address and without the password.
# Wine keeps no access rules but the Unix mode: its trace shows what the
# client asks for: each entry's owner and rules read before the first
# change, the folder locked before the programs are copied, the settings
# protected before they are written.
debug=-all,trace+security,trace+file
run_msi "/i C:\\package.msi SERVERADDRESS=127.0.0.1 SERVERPORT=$mport SERVERUSER=op SERVERPASSWORD=\"$mpw\""
debug=
[ "$rc" = 0 ] || fail "package install ended with $rc: $(grep -v ':trace:' "$work/err")"
for f in CVNRemote.exe QMXDLL.dll CVNShutdown.exe; do
  cmp -s "$build/bin/$f" "$dir/$f" || fail "$f not installed by the package"
done
port=$mport settings 120 30 "$mpw" >"$work/expected"
cmp -s "$work/expected" "$dir/CVNRemote.ini" || fail "package settings: $(cat "$dir/CVNRemote.ini")"
case $(stat -c %a "$dir/CVNRemote.ini") in *0) ;; *) fail "package settings readable by everyone" ;; esac
[ ! -e "$dir/Setup" ] || fail "the hand-over was left: $(ls "$dir/Setup")"
[ "$(reg_value "$service_key" Start)" = 0x2 ] && [ "$(state)" = 4 ] ||
  fail "package service: start $(reg_value "$service_key" Start), state $(state)"
event_key="HKLM\\System\\CurrentControlSet\\Services\\EventLog\\Application\\$service"
[ "$(reg_value "$event_key" EventMessageFile)" = 'C:\Program Files\CVNRemote\CVNRemote.exe' ] &&
  [ "$(reg_value "$event_key" TypesSupported)" = 0x7 ] || fail "no Event Log source: $(reg_value "$event_key" EventMessageFile)"
for _ in $(seq 50); do [ "$(mlogins)" = 1 ] && break; sleep 0.2; done
[ "$(mlogins)" = 1 ] || fail "the package's service did not log in"
in_log 'SERVERADDRESS = 127.0.0.1' || fail "the address is not in the log"
! grep -aqF "$mpw" "$log" || fail "the password is in the log: $(grep -anF "$mpw" "$log")"
rules=$(first 'ConvertStringSecurityDescriptorToSecurityDescriptorW L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"' ,)
locked=$(first 'SetFileSecurityW (L"C:\\Program Files\\CVNRemote", 0x80000004' ,)
made=$(first NtCreateFile 'name=L"\\??\\C:\\Program Files\\CVNRemote\\CVNRemote.exe"')
[ -n "$rules" ] && [ -n "$locked" ] && [ -n "$made" ] && [ "$rules" -lt "$locked" ] && [ "$locked" -lt "$made" ] ||
  fail "package: folder not locked before the copy (rules at ${rules:-none}, set at ${locked:-none}, program at ${made:-none})"
changed=$(first 'SetFileSecurityW (' ,)
for f in "" '\\scripts' '\\scripts\\stop-db.cmd'; do
  asked=$(first "GetFileSecurityW (L\"C:\\\\Program Files\\\\CVNRemote$f\",5," ,)
  set=$(first "SetFileSecurityW (L\"C:\\\\Program Files\\\\CVNRemote$f\", 0x80000004" ,)
  [ -n "$asked" ] && [ "$asked" -lt "${changed:-0}" ] && [ -n "$set" ] ||
    fail "package, CVNRemote$f: rules asked at ${asked:-none}, first change at ${changed:-none}, set at ${set:-none}"
done
protected=$(first 'SetFileSecurityW (L"C:\\Program Files\\CVNRemote\\CVNRemote.ini", 0x80000004' ,)
written=$(first NtCreateFile 'CVNRemote\\CVNRemote.ini"' // '$')
[ -n "$protected" ] && [ "$protected" -lt "$written" ] || fail "package settings written before they were protected"

# A repair (all files again) keeps the settings byte for byte.
cp "$dir/CVNRemote.ini" "$work/before-repair"
# Wine's msiexec ends "/fa" with status 1 before it logs anything; the same
# repair through the package with REINSTALL, as "/fa" sets it on Windows.
run_msi '/i C:\package.msi REINSTALL=ALL REINSTALLMODE=amus'
[ "$rc" = 0 ] && [ "$(state)" = 4 ] || fail "repair: status $rc, state $(state): $(cat "$work/err") $(tail -n 30 "$log")"
cmp -s "$work/before-repair" "$dir/CVNRemote.ini" || fail "the repair changed the settings: $(cat "$dir/CVNRemote.ini")"

# The setup refuses to install beside the package.
run_setup "/S /SERVER=127.0.0.1 /PORT=$mport"
[ "$rc" = 2 ] && grep -qF 'installed here by its Windows Installer package' "$work/err" ||
  fail "setup beside the package: status $rc: $(cat "$work/err")"

# An upgrade to the newer package in place: an administrator's change and
# the password stay, a property given is applied, the programs replaced,
# the service started again; one version on record.
sed -i 's/^Low Battery Shutdown=30/Low Battery Shutdown=25/' "$dir/CVNRemote.ini"
echo damaged >"$dir/CVNShutdown.exe"
for _ in $(seq 50); do [ "$(mlogins)" -ge 1 ] && [ "$(state)" = 4 ] && break; sleep 0.2; done
before=$(mlogins)
run_msi '/i C:\newer.msi ONBATTERY=45'
[ "$rc" = 0 ] || fail "package upgrade ended with $rc: $(cat "$work/err")"
port=$mport settings 45 25 "$mpw" >"$work/expected"
cmp -s "$work/expected" "$dir/CVNRemote.ini" || fail "settings after the package upgrade: $(cat "$dir/CVNRemote.ini")"
cmp -s "$build/bin/CVNShutdown.exe" "$dir/CVNShutdown.exe" || fail "programs not replaced by the upgrade"
[ "$(state)" = 4 ] || fail "service state after the package upgrade: $(state)"
for _ in $(seq 50); do [ "$(mlogins)" = $((before + 1)) ] && break; sleep 0.2; done
[ "$(mlogins)" = $((before + 1)) ] || fail "the service was not started again after the package upgrade"
entries=$("$WINE" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s </dev/null 2>/dev/null | tr -d '\r' |
  grep -c 'DisplayName *REG_SZ *Corvane Remote Shutdown Client')
[ "$entries" = 1 ] || fail "$entries versions on record after the upgrade"

# Removal: the service, the programs and the Event Log source go; the
# settings and the administrator's script stay, marked as the setup's
# uninstaller marks them. Again, with the settings found there, and the
# removal with PURGE=1 leaves nothing.
kept_key='HKLM\Software\Corvane\CVNRemote\Kept settings'
run_msi '/x C:\newer.msi'
[ "$rc" = 0 ] || fail "package removal ended with $rc"
[ -z "$(state)" ] && [ -z "$(reg_value "$service_key" ImagePath)" ] || fail "service left after the package removal"
[ -z "$(reg_value "$event_key" TypesSupported)" ] || fail "Event Log source left after the package removal"
[ "$(LC_ALL=C ls "$dir" | tr '\n' ' ')" = "CVNRemote.ini scripts " ] || fail "left after the package removal: $(ls "$dir")"
[ "$(reg_value "$kept_key" 'C:\Program Files\CVNRemote')" = CVNRemote.ini ] || fail "kept settings not marked"
run_msi '/i C:\newer.msi'
[ "$rc" = 0 ] && [ "$(state)" = 4 ] || fail "package over kept settings: status $rc, state $(state)"
cmp -s "$work/expected" "$dir/CVNRemote.ini" || fail "kept settings changed: $(cat "$dir/CVNRemote.ini")"
run_msi '/x C:\newer.msi PURGE=1'
[ "$rc" = 0 ] && [ -z "$(state)" ] || fail "purge: status $rc, state $(state)"
[ "$(LC_ALL=C ls "$dir" | tr '\n' ' ')" = "scripts " ] && [ -z "$(reg_value "$kept_key" 'C:\Program Files\CVNRemote')" ] ||
  fail "left after PURGE=1: $(ls "$dir")"

echo "package: tables complete, refused beside the setup and the setup beside it, refused without an address and over an entry everyone may write, installed and running, upgraded keeping the settings, removed keeping them marked, purged"
echo "setup: bad command lines and a planted settings file refused, installed and running, upgraded keeping the settings, moved with them into a locked folder, a service that cannot run reported, removed but for the settings and trace, installed again over them, the folder and all in it locked"
