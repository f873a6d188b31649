#!/bin/sh
# The Debian package under a real systemd: a container (systemd-nspawn)
# boots this machine's own system (its /usr under an overlay, copies of /etc
# and of the dpkg database), installs the package and runs the confined unit
# against the simulator: skipped while the settings name no server; then
# connected, its notice and its shutdown request reaching recording
# stand-ins, the journal holding its reports and no trace lines, the trace
# file in /var/log/cvnremote; an event command that starts a unit with
# systemctl but cannot write /var, read /proc/loadavg nor signal another
# user's process,
# all of which the example drop-in commands.conf lifts; "cvnremote status"
# and "man" on the PATH; at last, without the stand-in and the drop-in, the
# real "shutdown -h now" must get through the confinement and power the
# container off (a container's power-off ends only the container).
# Skipped (77) without systemd-nspawn or root.
# Usage: install_deb_boot.sh <package.deb> <upssim>
deb=$(readlink -f "$1")
upssim=$(readlink -f "$2")
if ! command -v systemd-nspawn >/dev/null || [ "$(id -u)" != 0 ]; then
  echo "skipped: needs root and systemd-nspawn (package systemd-container)"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/cvn-boot.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAILED: $1" >&2
  echo "--- container:" >&2; sed 's/\x1b\[[0-9;]*m//g' "$work/console" | grep -v '^\[  OK  \]' | tail -40 >&2
  exit 1
}

root=$work/root
mkdir -p "$root/usr" "$root/var/lib" "$root/var/log" "$root/var/tmp" "$root/tmp" "$root/root" "$root/mnt/out" "$work/usr"
for d in bin lib lib64 lib32 sbin; do [ -e "/usr/$d" ] && ln -s "usr/$d" "$root/$d"; done
cp -a /etc "$root/" && cp -a /var/lib/dpkg "$root/var/lib/" || fail "copying /etc and the dpkg database"
rm -f "$root/etc/os-release" "$root/etc/machine-id" && cp /usr/lib/os-release "$root/etc/os-release"
# Only what the run needs: no services of this machine, no timers, no getty.
rm -rf "$root/etc/systemd/system/"*.wants
cat >"$root/etc/systemd/system/cvn-run.target" <<'EOF'
[Unit]
Requires=basic.target cvn-run.service
After=basic.target
EOF
cat >"$root/etc/systemd/system/cvn-run.service" <<'EOF'
[Unit]
After=basic.target
[Service]
Type=oneshot
ExecStart=/mnt/run.sh
EOF
cat >"$root/etc/systemd/system/cvn-probe.service" <<'EOF'
[Service]
Type=oneshot
ExecStart=/bin/touch /run/cvn-probe-started
EOF
# What an event command may do under the unit, one line per session made.
cat >"$root/mnt/probe.sh" <<'EOF'
#!/bin/sh
may() { "$@" >/dev/null 2>&1 && echo yes || echo no; }
echo "write=$(may touch /var/lib/cvn-probe) figures=$(may cat /proc/loadavg)" \
  "signal=$(may kill -0 "$(cat /run/cvn-sleeper)") systemctl=$(may systemctl start cvn-probe)" \
  "started=$(may test -e /run/cvn-probe-started)" >>/var/log/cvnremote/probe
EOF
cat >"$root/mnt/run.sh" <<'EOF'
#!/bin/sh
out=/mnt/out
dpkg -i /mnt/cvnremote.deb >$out/dpkg 2>&1 && systemctl daemon-reload
man -w cvnremote >$out/man 2>&1
setpriv --reuid=nobody --regid=nogroup --clear-groups sleep 300 &
echo $! >/run/cvn-sleeper
systemctl start cvnremote
systemctl show -p Result -p ActiveState cvnremote | sort | tr '\n' ' ' >$out/condition
for p in wall shutdown; do
  printf '#!/bin/sh\necho "%s $*" >>/var/log/cvnremote/stand-ins\n' $p >/usr/local/sbin/$p && chmod +x /usr/local/sbin/$p
done
/mnt/upssim -p 0 -s "wait session" -s "at 1s output Battery" >/tmp/sim 2>&1 &
sleep 1
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' /tmp/sim)
printf '[Settings]\nServer Address=127.0.0.1\nServer Port=%s\nOn Battery Shutdown=1\n[Debug]\nOn=1\n[Commands]\nEvent Command=/mnt/probe.sh\nEvent Command Events=Session Made\n' "$port" >/etc/cvnremote/CVNRemote.ini
systemctl start cvnremote
for _ in $(seq 40); do grep -q '^shutdown' /var/log/cvnremote/stand-ins 2>/dev/null && break; sleep 0.5; done
systemctl stop cvnremote
cp /var/log/cvnremote/stand-ins $out/
journalctl -u cvnremote -o cat >$out/journal
stat -c '%a %n' /var/log/cvnremote/agtrace.log >$out/trace
# The same command with the example drop-in.
mkdir -p /etc/systemd/system/cvnremote.service.d
cp /usr/share/doc/cvnremote/examples/commands.conf /etc/systemd/system/cvnremote.service.d/
systemctl daemon-reload && systemctl start cvnremote
for _ in $(seq 40); do [ "$(wc -l </var/log/cvnremote/probe)" -ge 2 ] && break; sleep 0.5; done
systemctl stop cvnremote
cp /var/log/cvnremote/probe $out/
rm -r /etc/systemd/system/cvnremote.service.d && systemctl daemon-reload
# On battery by now.
cvnremote status >$out/status 2>&1
echo "status $?" >>$out/status
sed -i '/^\[Commands\]/,$d' /etc/cvnremote/CVNRemote.ini
rm /usr/local/sbin/shutdown
echo started >$out/real
systemctl start cvnremote
sleep 30
echo "no power-off" >>$out/real
systemctl poweroff
EOF
chmod +x "$root/mnt/run.sh" "$root/mnt/probe.sh"

timeout 180 systemd-nspawn -q -D "$root" --keep-unit --register=no --link-journal=no --machine="cvn-boot-$$" \
  --overlay="/usr:$work/usr:/usr" --bind-ro="$deb:/mnt/cvnremote.deb" --bind-ro="$upssim:/mnt/upssim" \
  -b systemd.unit=cvn-run.target </dev/null >"$work/console" 2>&1
status=$?
out=$root/mnt/out
[ "$status" = 0 ] || fail "the container ended with $status"
grep -q 'Setting up cvnremote' "$out/dpkg" || fail "install: $(cat "$out/dpkg")"
[ "$(cat "$out/condition")" = "ActiveState=inactive Result=exec-condition " ] ||
  fail "without a server the unit was not skipped: $(cat "$out/condition")"
grep -q '^wall UPS on battery' "$out/stand-ins" && grep -qx 'shutdown -h now' "$out/stand-ins" ||
  fail "stand-ins: $(cat "$out/stand-ins")"
grep -q 'Successfully Connected' "$out/journal" && ! grep -q '^T[0-3]:' "$out/journal" || fail "journal: $(cat "$out/journal")"
[ "$(cat "$out/trace")" = "600 /var/log/cvnremote/agtrace.log" ] || fail "trace file: $(cat "$out/trace")"
printf 'write=no figures=no signal=no systemctl=yes started=yes\nwrite=yes figures=yes signal=yes systemctl=yes started=yes\n' |
  diff - "$out/probe" >&2 || fail "the event command, confined and then with commands.conf"
grep -q '^UPS: *on battery$' "$out/status" && grep -qx 'status 2' "$out/status" || fail "cvnremote status: $(cat "$out/status")"
[ "$(cat "$out/man")" = /usr/share/man/man8/cvnremote.8.gz ] || fail "man -w cvnremote: $(cat "$out/man")"
[ "$(cat "$out/real")" = started ] || fail "the real shutdown did not get through the confinement"
echo "under systemd: skipped without a server, connected, notice and shutdown request on the stand-ins, quiet journal, trace in /var/log/cvnremote, an event command confined and freed by commands.conf, cvnremote status and man on the PATH, real shutdown through the confinement"
