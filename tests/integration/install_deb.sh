#!/bin/sh
# The Debian package of the native build: its files and their modes, its
# unit as systemd sees it, and an install, reinstall and purge by dpkg in a
# scratch root, with the package's maintainer scripts run on this machine
# (dpkg names the root in DPKG_ROOT), that leaves nothing behind.
# Usage: install_deb.sh <package.deb>
deb=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/cvn-deb.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAILED: $1" >&2
  [ -f "$work/log" ] && { echo "--- dpkg:" >&2; cat "$work/log" >&2; }
  exit 1
}

dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' >"$work/contents" || fail "dpkg-deb -c"
cat >"$work/expected" <<'EOF'
-rw------- root/root ./etc/cvnremote/CVNRemote.ini
-rwxr-xr-x root/root ./usr/lib/cvnremote/CVNRemote
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

# The unit among this machine's targets, its program from the package; a
# warning (an unknown key, a value systemd ignores) fails too.
mkdir -p "$pkg/etc/systemd/system" && cp -a /usr/lib/systemd/system/*.target "$pkg/etc/systemd/system/"
out=$(systemd-analyze --root="$pkg" verify cvnremote.service 2>&1) && [ -z "$out" ] || fail "systemd-analyze verify: $out"

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

echo trace >"$root/usr/lib/cvnremote/agtrace.log"
dpkgr --purge cvnremote || fail "purge"
left=$(find "$root" -path "$root/var/lib/dpkg" -prune -o ! -type d -print)
[ -z "$left" ] || fail "left behind: $left"
for dir in etc/cvnremote usr/lib/cvnremote; do
  [ ! -e "$root/$dir" ] || fail "left behind: /$dir"
done
echo "package: contents and modes, unit verified, installed, reinstalled keeping the settings, purged leaving nothing"
