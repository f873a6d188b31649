#!/bin/sh
# The Debian package of the native build: its files and their modes, its
# unit as systemd sees it (confinement included), the unit's start condition
# and quiet journal, and an install, reinstall and purge by dpkg in a
# scratch root, with the package's maintainer scripts run on this machine
# (dpkg names the root in DPKG_ROOT), that leaves nothing behind.
# Usage: install_deb.sh <package.deb> <upssim>
deb=$1
upssim=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/cvn-deb.XXXXXX") || exit 1
sim=
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; rm -rf "$work"' EXIT

fail() {
  echo "FAILED: $1" >&2
  [ -f "$work/log" ] && { echo "--- dpkg:" >&2; cat "$work/log" >&2; }
  exit 1
}

dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' >"$work/contents" || fail "dpkg-deb -c"
cat >"$work/expected" <<'EOF'
-rw------- root/root ./etc/cvnremote/CVNRemote.ini
-rwxr-xr-x root/root ./usr/lib/cvnremote/CVNRemote
lrwxrwxrwx root/root ./usr/lib/cvnremote/agtrace.log
-rw-r--r-- root/root ./usr/lib/cvnremote/libQMXDLL.so
-rw-r--r-- root/root ./usr/lib/systemd/system/cvnremote.service
EOF
diff "$work/expected" "$work/contents" >&2 || fail "files or modes of the package"
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/cvnremote/CVNRemote.ini ] || fail "the settings are no conffile"

# The program finds its library beside itself, and carries no sanitizer.
pkg=$work/pkg
dpkg-deb -x "$deb" "$pkg" || fail "dpkg-deb -x"
libs=$(env -u LD_LIBRARY_PATH ldd "$pkg/usr/lib/cvnremote/CVNRemote")
echo "$libs" | grep -q "libQMXDLL.so => $pkg/usr/lib/cvnremote/libQMXDLL.so" || fail "libQMXDLL.so not found beside the program: $libs"
echo "$libs" | grep -E 'lib(asan|ubsan)' && fail "a sanitized build was packaged"

# The trace file beside the program lands where the confined unit may write.
[ "$(readlink "$pkg/usr/lib/cvnremote/agtrace.log")" = /var/log/cvnremote/agtrace.log ] || fail "trace file link"

# The unit among this machine's targets, its programs from the package (and
# the shell of its start condition); a warning (an unknown key, a value
# systemd ignores) fails too. Confined: exposure at most 4.0 of 10.
mkdir -p "$pkg/etc/systemd/system" "$pkg/bin" && cp -a /usr/lib/systemd/system/*.target "$pkg/etc/systemd/system/"
cp -L /bin/sh "$pkg/bin/sh"
out=$(systemd-analyze --root="$pkg" verify cvnremote.service 2>&1) && [ -z "$out" ] || fail "systemd-analyze verify: $out"
exposure=$(systemd-analyze --root="$pkg" security --offline=true cvnremote.service 2>&1 | sed -n 's/.*Overall exposure level for cvnremote.service: \([0-9.]*\).*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 4.0) }' || fail "exposure level ${exposure:-unknown}"

# The start condition skips a set-up that names no server yet; it follows the
# client's reading of the key (first column, any case, blanks around "=").
unit=$pkg/usr/lib/systemd/system/cvnremote.service
condition=$(sed -n 's/^ExecCondition=//p' "$unit" | sed "s|/etc/cvnremote/CVNRemote.ini|$work/settings|")
while IFS='|' read -r line expected; do
  printf '[Settings]\r\n%s\r\nServer Port=8888\r\n' "$line" >"$work/settings"
  eval "$condition"
  [ "$?" = "$expected" ] || fail "start condition with \"$line\" gave $?"
done <<EOF
Server Address=|1
Server Address=   |1
 Server Address=ups.example|1
server address = ups.example|0
EOF
cp "$pkg/etc/cvnremote/CVNRemote.ini" "$work/settings" && ! eval "$condition" || fail "the shipped settings start the unit"

# The journal gets the client's reports, not its trace: the packaged client
# with the unit's environment against the simulator, and by hand.
"$upssim" -p 0 >"$work/sim" 2>&1 &
sim=$!
for _ in $(seq 50); do
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim")
  [ -n "$port" ] && break
  sleep 0.1
done
printf '[Settings]\nServer Address=127.0.0.1\nServer Port=%s\n' "$port" >"$work/settings"
# Recording stand-ins first on PATH: no notice or shutdown reaches the host.
mkdir -p "$work/bin" && printf '#!/bin/sh\necho "$0 $*" >>"%s/ran"\n' "$work" >"$work/bin/wall" &&
  cp "$work/bin/wall" "$work/bin/shutdown" && chmod +x "$work/bin/wall" "$work/bin/shutdown"
environment=$(sed -n 's/^Environment=//p' "$unit")
for run in unit hand; do
  [ "$run" = unit ] && set -- env "$environment" || set --
  PATH=$work/bin:$PATH timeout 2 "$@" "$pkg/usr/lib/cvnremote/CVNRemote" daemon -c "$work/settings" 2>"$work/$run"
done
grep -q 'Successfully Connected' "$work/unit" && ! grep -q '^T[0-3]:' "$work/unit" || fail "the unit's journal: $(cat "$work/unit")"
grep -q '^T3:SEND:' "$work/hand" || fail "a run by hand lost its trace echo: $(cat "$work/hand")"

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" && touch "$root/var/lib/dpkg/status"
# The root has no libc6 package to satisfy the dependencies.
dpkgr() { dpkg --root="$root" --force-script-chrootless --force-depends "$@" >>"$work/log" 2>&1; }

dpkgr -i "$deb" || fail "install"
[ "$(stat -c '%a %U' "$root/etc/cvnremote/CVNRemote.ini")" = "600 root" ] || fail "settings not root's alone"
[ -L "$root/etc/systemd/system/multi-user.target.wants/cvnremote.service" ] || fail "unit not enabled"

# A changed setting survives a reinstallation.
sed -i 's/^Server Address=$/Server Address=ups.example/' "$root/etc/cvnremote/CVNRemote.ini"
dpkgr -i "$deb" || fail "reinstall"
grep -q '^Server Address=ups.example$' "$root/etc/cvnremote/CVNRemote.ini" || fail "the settings were replaced"

# The link beside the program is absolute: in the scratch root the trace is
# written where it leads.
echo trace >"$root/var/log/cvnremote/agtrace.log"
dpkgr --purge cvnremote || fail "purge"
left=$(find "$root" -path "$root/var/lib/dpkg" -prune -o ! -type d -print)
[ -z "$left" ] || fail "left behind: $left"
for dir in etc/cvnremote usr/lib/cvnremote var/log/cvnremote; do
  [ ! -e "$root/$dir" ] || fail "left behind: /$dir"
done
echo "package: contents and modes, unit verified and confined ($exposure), skipped without a server, quiet journal, installed, reinstalled keeping the settings, purged leaving nothing"
