#!/usr/bin/env bash
# The client's main job, shown against the bundled UPS server simulator: the
# UPS goes on battery, the battery runs low, mains power returns and the
# pending shutdown is cancelled; the UPS goes on battery again and the client
# shuts the computer down when its delay has passed.
#
#   scripts/demo.sh            CVNRemote.exe under Wine: the 32-bit client
#                              where this machine can execute 32-bit code
#                              (and CVN_WIN64_ONLY is not set), otherwise the
#                              64-bit one; "net send" is a recording net.exe
#                              beside the client, and the shutdown ends only
#                              the demo's own Wine session
#   scripts/demo.sh --native   the native build, with recording wall and
#                              shutdown stand-ins
#   scripts/demo.sh --two-ups  (with or without --native) a computer with two
#                              power supplies, each fed by a UPS with its own
#                              server: the first UPS fails (the users hear
#                              nothing), the second fails (warning and
#                              countdown), the first returns (power restored),
#                              then fails again until the shutdown
#
# Exits 0 when the run went as the scenario says.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. cmake/wine-env

native=0
two=0
for arg in "$@"; do
  case "$arg" in
    --native) native=1 ;;
    --two-ups) two=1 ;;
    *) echo "usage: scripts/demo.sh [--native] [--two-ups]" >&2; exit 2 ;;
  esac
done

scripts/setup.sh || exit 1
if [ $native = 1 ]; then
  mode=native
  echo "== the native client"
elif cvn_win32_runs; then
  mode=win32
  echo "== the 32-bit Windows client, under Wine"
else
  mode=win64
  echo "== the 64-bit Windows client, under wine64: $CVN_WIN32_WHY"
fi
mkdir -p build
quiet() { "$@" >build/demo-step.log 2>&1 || { cat build/demo-step.log; exit 1; }; }

echo "== building"
[ -f build/native/CMakeCache.txt ] || quiet cmake --preset native
quiet cmake --build --preset native --target upssim CVNRemote
if [ $mode != native ]; then
  [ -f build/$mode/CMakeCache.txt ] || quiet cmake --preset $mode
  quiet cmake --build --preset $mode --target CVNRemote cvn_recorder
fi

demo=$root/build/demo-$mode
rm -rf "$demo/bin" "$demo/record"
mkdir -p "$demo/bin" "$demo/record"
port=$(( 20000 + RANDOM % 20000 ))
port2=$(( port + 1 ))
cat >"$demo/bin/CVNRemote.ini" <<INI
[Settings]
Server Address=127.0.0.1
Server Port=$port
Username=admin
Password=vorak
On Battery Shutdown=8
Low Battery Shutdown=3
[Debug]
On=1
Level=3
INI
if [ $two = 1 ]; then
  # One supply on mains power is enough to run the computer; the second
  # server takes the user name and password of the first.
  sed -i 's/^Low Battery Shutdown=3$/&\nMinimum Supplies=1/' "$demo/bin/CVNRemote.ini"
  printf '[Server 2]\nServer Address=127.0.0.1\nServer Port=%s\n' "$port2" >>"$demo/bin/CVNRemote.ini"
fi

if [ $mode != native ]; then
  cp build/$mode/bin/CVNRemote.exe build/$mode/bin/QMXDLL.dll "$demo/bin/"
  cp build/$mode/bin/cvn_recorder.exe "$demo/bin/net.exe"
  echo "== preparing the demo's own Wine prefix"
  export WINEARCH=$mode
  cvn_wine_env "$demo"
  quiet cmake/wine-prefix setup "$demo"
  export CVN_RECORD_DIR
  CVN_RECORD_DIR=$(WINEPREFIX=$demo/wineprefix "$WINE" winepath -w "$demo/record" 2>/dev/null)
  client=(env WINEDEBUG=+process cmake/wine-run "$demo/bin/CVNRemote.exe" daemon)
else
  cp build/native/bin/CVNRemote "$demo/bin/"
  for fake in wall shutdown; do
    printf '#!/bin/sh\nprintf "%%s\\t%%s\\n" %s "$*" >> "%s/record/calls.log"\n' "$fake" "$demo" >"$demo/fakes-$fake"
  done
  mkdir -p "$demo/fakes"
  mv "$demo/fakes-wall" "$demo/fakes/wall"; mv "$demo/fakes-shutdown" "$demo/fakes/shutdown"
  chmod +x "$demo/fakes/"*
  client=(env "PATH=$demo/fakes:$PATH" "$demo/bin/CVNRemote" daemon)
fi
touch "$demo/record/calls.log"

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  [ $mode != native ] && cmake/wine-prefix cleanup "$demo"
}
trap cleanup EXIT

# The simulator itself in pids (not the filter of its lines), so that the
# clean-up ends it.
if [ $two = 1 ]; then
  echo "== two UPS servers in one simulator: 127.0.0.1:$port (tools/demo-ups1.scenario)" \
       "and 127.0.0.1:$port2 (tools/demo-ups2.scenario)"
  build/native/bin/upssim -U "$port:tools/demo-ups1.scenario" -U "$port2:tools/demo-ups2.scenario" \
    > >(sed -u 's/^/[server] /') 2>&1 &
else
  echo "== UPS server simulator on 127.0.0.1:$port, scenario tools/demo.scenario"
  build/native/bin/upssim -p "$port" tools/demo.scenario > >(sed -u 's/^/[server] /') 2>&1 &
fi
pids+=($!)
sleep 0.5

# Each user message and the shutdown request, as the stand-ins saw them.
tail -n +1 -F "$demo/record/calls.log" 2>/dev/null | while IFS= read -r line; do
  case "$line" in
    *net.exe*) echo "[users ] ${line##*	}" ;;
    wall*)     echo "[users ] wall: ${line#wall	}" ;;
    shutdown*) echo "[system] shutdown ${line#shutdown	}" ;;
  esac
done &
pids+=($!)

echo "== CVNRemote daemon ($mode)"
shown=0
"${client[@]}" 2>&1 | while IFS= read -r line; do
  line=${line%$'\r'}
  case "$line" in
    *trace:process*wineboot*--shutdown*)
      [ $shown = 1 ] || echo "[system] shutdown requested: wineboot --end-session --force --shutdown"
      shown=1 ;;
    [0-9a-f][0-9a-f][0-9a-f][0-9a-f]:*) ;;  # Wine's own diagnostics
    *) echo "[client] $line" ;;
  esac
done | tee "$demo/client.log"
status=${PIPESTATUS[0]}
sleep 1

echo "== checking the run"
ok=1
expect=(
  "UPS on battery, system will shutdown in 8 seconds."
  "UPS battery low, system will shutdown in 3 seconds."
  "UPS power restored, aborting shutdown."
  "UPS on battery, system will shutdown in 8 seconds."
  "UPS on battery, shuting down now."
)
if [ $two = 1 ]; then
  # The first UPS's first failure is not among them: the second still had
  # mains power.
  expect=(
    "UPS on battery, system will shutdown in 8 seconds."
    "UPS power restored, aborting shutdown."
    "UPS on battery, system will shutdown in 8 seconds."
    "UPS on battery, shuting down now."
  )
fi
mapfile -t got < <(grep -E 'net.exe|^wall' "$demo/record/calls.log" | sed -E 's/^.*net\.exe.*send [^ ]+ //; s/^wall\t//; s/\r$//')
if [ "${got[*]}" != "${expect[*]}" ]; then
  echo "user messages differ from the scenario:"; printf '  %s\n' "${got[@]}"; ok=0
fi
if [ $mode != native ]; then
  grep -q "shutdown requested" "$demo/client.log" || { echo "no shutdown request seen"; ok=0; }
else
  grep -q "^shutdown	-h now" "$demo/record/calls.log" || { echo "no shutdown request seen"; ok=0; }
fi
[ "$status" = 0 ] || { echo "CVNRemote ended with status $status"; ok=0; }
if [ $ok = 1 ]; then
  if [ $two = 1 ]; then
    echo "Demonstration complete: one UPS out went unnoticed, both out warned, one back cancelled, both out again shut down on time."
  else
    echo "Demonstration complete: warned, cancelled on mains power, warned again and shut down on time."
  fi
  exit 0
fi
exit 1
