#!/bin/sh
# The Debian package of the native build: its files and their modes, what
# lintian and the manual page's lint say (where installed), its unit as
# systemd sees it (confinement included, and with the example drop-in for
# commands), the unit's start condition and quiet journal, and an install,
# reinstall and purge by dpkg in a scratch root, with the package's
# maintainer scripts run on this machine (dpkg names the root in DPKG_ROOT),
# that leaves nothing behind; in between, "cvnremote status" from the root's
# PATH reads the root's settings. The guide it ships (docs/, compressed) is
# the one of the sources, its settings are on the manual page, and its
# example command is the one in examples/.
# Usage: install_deb.sh <package.deb> <upssim> <the guide's folder, docs/>
deb=$1
upssim=$2
guide=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/cvn-deb.XXXXXX") || exit 1
sim=
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; rm -rf "$work"' EXIT

fail() {
  echo "FAILED: $1" >&2
  [ -f "$work/log" ] && { echo "--- dpkg:" >&2; cat "$work/log" >&2; }
  exit 1
}

# Links with their targets: absolute into /etc and /var, relative within /usr.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6, $7, $8 }' | sed 's/ *$//' | LC_ALL=C sort >"$work/contents" ||
  fail "dpkg-deb -c"
# Every page of the guide, compressed.
ls "$guide" | sed -n 's|^\(.*\.md\)$|-rw-r--r-- root/root ./usr/share/doc/cvnremote/docs/\1.gz|p' >"$work/guide"
[ -s "$work/guide" ] || fail "no guide in $guide"
cat - "$work/guide" <<'EOF' | LC_ALL=C sort >"$work/expected"
-rw------- root/root ./etc/cvnremote/CVNRemote.ini
-rwxr-xr-x root/root ./usr/lib/cvnremote/CVNRemote
lrwxrwxrwx root/root ./usr/lib/cvnremote/CVNRemote.ini -> /etc/cvnremote/CVNRemote.ini
lrwxrwxrwx root/root ./usr/lib/cvnremote/agtrace.log -> /var/log/cvnremote/agtrace.log
-rw-r--r-- root/root ./usr/lib/cvnremote/libQMXDLL.so
-rw-r--r-- root/root ./usr/lib/systemd/system/cvnremote.service
lrwxrwxrwx root/root ./usr/sbin/cvnremote -> ../lib/cvnremote/CVNRemote
-rw-r--r-- root/root ./usr/share/doc/cvnremote/README.md.gz
-rw-r--r-- root/root ./usr/share/doc/cvnremote/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/cvnremote/copyright
-rw-r--r-- root/root ./usr/share/doc/cvnremote/examples/CVNRemote.ini
-rw-r--r-- root/root ./usr/share/doc/cvnremote/examples/commands.conf
-rw-r--r-- root/root ./usr/share/doc/cvnremote/examples/ups-event.sh
-rw-r--r-- root/root ./usr/share/lintian/overrides/cvnremote
-rw-r--r-- root/root ./usr/share/man/man8/cvnremote.8.gz
EOF
diff "$work/expected" "$work/contents" >&2 || fail "files or modes of the package"
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/cvnremote/CVNRemote.ini ] || fail "the settings are no conffile"

# The program finds its library beside itself, and carries no sanitizer.
pkg=$work/pkg
dpkg-deb -x "$deb" "$pkg" || fail "dpkg-deb -x"
libs=$(env -u LD_LIBRARY_PATH ldd "$pkg/usr/lib/cvnremote/CVNRemote")
echo "$libs" | grep -q "libQMXDLL.so => $pkg/usr/lib/cvnremote/libQMXDLL.so" || fail "libQMXDLL.so not found beside the program: $libs"
echo "$libs" | grep -E 'lib(asan|ubsan)' && fail "a sanitized build was packaged"

# Debian's rules, and a manual page that shows without a warning, where the
# tools are (scripts/setup.sh installs them). The page names every setting
# of the guide's table, and the guide's example command is the one shipped.
checked=
if command -v lintian >/dev/null; then
  out=$(lintian "$deb" 2>/dev/null) && [ -z "$out" ] || fail "lintian: $out"
  checked="lintian-clean, "
fi
page=$pkg/usr/share/man/man8/cvnremote.8.gz
if command -v mandoc >/dev/null; then
  out=$(zcat "$page" | mandoc -T lint 2>&1) || fail "mandoc -T lint: $out"
  checked="${checked}manual page lint-clean, "
fi
docs=$pkg/usr/share/doc/cvnremote/docs
zcat "$docs/settings.md.gz" >"$work/settings.md" || fail "the guide's settings page"
sed -n 's/^| *\(Settings\|Debug\|Commands\) *| *\([^|]*[^ |]\) *|.*/\2/p' "$work/settings.md" | sort >"$work/keys"
[ "$(wc -l <"$work/keys")" -ge 18 ] || fail "the guide's settings table: $(cat "$work/keys")"
while read -r key; do
  zcat "$page" | grep -qx ".B $key" || fail "the manual page lacks the setting $key"
done <"$work/keys"
zcat "$docs/commands.md.gz" | awk '/^#!\/bin\/sh$/ { p = 1 } p && /^```$/ { exit } p' |
  diff - "$pkg/usr/share/doc/cvnremote/examples/ups-event.sh" >&2 || fail "the example command is not the guide's"
zcat "$pkg/usr/share/doc/cvnremote/README.md.gz" | grep -q '](docs/settings.md)' || fail "the README does not lead to the guide"

# The unit among this machine's targets, its programs and manual page from
# the package (and the shell of its start condition); a warning (an unknown
# key, a value systemd ignores) fails too. Confined: exposure at most 4.0 of
# 10.
export MANPATH="$pkg/usr/share/man"
mkdir -p "$pkg/etc/systemd/system" "$pkg/bin" && cp -a /usr/lib/systemd/system/*.target "$pkg/etc/systemd/system/"
cp -L /bin/sh "$pkg/bin/sh"
out=$(systemd-analyze --root="$pkg" verify cvnremote.service 2>&1) && [ -z "$out" ] || fail "systemd-analyze verify: $out"
exposure=$(systemd-analyze --root="$pkg" security --offline=true cvnremote.service 2>&1 | sed -n 's/.*Overall exposure level for cvnremote.service: \([0-9.]*\).*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 4.0) }' || fail "exposure level ${exposure:-unknown}"
# The drop-in that lifts the confinement for commands is one systemd takes
# without a warning.
mkdir -p "$pkg/etc/systemd/system/cvnremote.service.d"
cp "$pkg/usr/share/doc/cvnremote/examples/commands.conf" "$pkg/etc/systemd/system/cvnremote.service.d/"
out=$(systemd-analyze --root="$pkg" verify cvnremote.service 2>&1) && [ -z "$out" ] || fail "systemd-analyze verify with commands.conf: $out"
lifted=$(systemd-analyze --root="$pkg" security --offline=true cvnremote.service 2>&1 | sed -n 's/.*Overall exposure level for cvnremote.service: \([0-9.]*\).*/\1/p')
awk -v e="$lifted" -v c="$exposure" 'BEGIN { exit !(e != "" && e > c) }' || fail "commands.conf lifts nothing: ${lifted:-unknown}"
rm -r "$pkg/etc/systemd/system/cvnremote.service.d"

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

# "cvnremote status" on the root's PATH reads the root's settings: the
# command is a link to the program, which finds the settings link beside it
# through /proc/self/exe. The link leads to /etc, so the root's /etc is laid
# over this machine's in a mount namespace of the run's own.
sed -i "s/^Server Address=\$/Server Address=127.0.0.1/; s/^Server Port=.*/Server Port=$port/" "$root/etc/cvnremote/CVNRemote.ini"
if unshare -m true 2>/dev/null; then
  mkdir "$work/overlay"
  PATH=$root/usr/sbin:$PATH unshare -m sh -c 'mount -t overlay overlay -o "lowerdir=/etc,upperdir=$1/etc,workdir=$2" /etc &&
    exec cvnremote status' sh "$root" "$work/overlay" >"$work/status" 2>&1
  [ "$?" = 0 ] && grep -q "^Server: *127.0.0.1 port $port\$" "$work/status" || fail "cvnremote status: $(cat "$work/status")"
  checked="${checked}cvnremote status on the PATH, "
fi

# A changed setting survives a reinstallation.
sed -i 's/^Server Address=127.0.0.1$/Server Address=ups.example/' "$root/etc/cvnremote/CVNRemote.ini"
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
echo "package: contents and modes, ${checked}unit verified and confined ($exposure; $lifted with commands.conf), skipped without a server, quiet journal, installed, reinstalled keeping the settings, purged leaving nothing"
