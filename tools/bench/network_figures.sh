#!/usr/bin/env bash
# Figures of the client under a failing network, for a native build or a
# Windows build (under Wine), against the simulator:
#   - the client's resident memory after the first reconnect and after N more
#     (a session closed by the server, 1 s pause on battery, connect again;
#     the address is a host name, so that every attempt looks it up);
#   - how long after a server falls silent (session open, nothing sent) the
#     client reports the lost session;
#   - how late the shutdown comes past its deadline when every reconnect
#     must look the server's name up in a name server that takes 12 s (under
#     Wine the shutdown ends the session of the phase's prefix);
#   - how often the client wakes while idle on mains with a live server that
#     sends nothing (60 s; a wake-up ends 20 ms or more in which none of its
#     threads ran, as the voluntary context switches of the process tell;
#     under Wine the Wine process that runs it);
#   - how late the shutdown comes past its deadline when every notice's
#     program hangs ("net send" and "msg" under Wine, wall natively).
#
#   tools/bench/network_figures.sh [--reconnects N] [--waits] <CVNRemote or CVNRemote.exe>
#
# N is 1000 by default (a reconnect takes a little over a second); --waits
# measures only the last two figures. Needs the
# native build's upssim and its preloadable slow resolver
# (build/native/bin/libcvn_slow_resolver.so). Nothing is shut down: natively
# the client finds recording wall and shutdown stand-ins and nothing else on
# PATH; under Wine it runs in a prefix of its own, whose session the
# shutdown ends, and its "net send" is the recorder of its build.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
reconnects=1000
waits_only=0
while [ $# -gt 1 ]; do
  case $1 in
    --reconnects) reconnects=$2; shift 2 ;;
    --waits) waits_only=1; shift ;;
    *) break ;;
  esac
done
[ $# -eq 1 ] || { sed -n '2,27p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
client=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
upssim=$root/build/native/bin/upssim
resolver=$root/build/native/bin/libcvn_slow_resolver.so
for f in "$client" "$upssim" "$resolver"; do
  [ -e "$f" ] || { echo "missing: $f (build it first)" >&2; exit 2; }
done

case "$client" in
  *.exe) windows=1; name=$(basename "$(dirname "$(dirname "$client")")") ;;
  *) windows=0; name=native ;;
esac
work=$root/build/figures-$name
rm -rf "$work"
mkdir -p "$work/record"
ini=$work/CVNRemote.ini
port=$(( 20000 + RANDOM % 20000 ))

# Each line of standard input, with the time it arrived.
stamp() { while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "${line%$'\r'}"; done; }
# The time of the first line of a log that holds the text (waits for it).
when() {
  local log=$1 text=$2 limit=${3:-60} start=$SECONDS
  while [ $((SECONDS - start)) -lt "$limit" ]; do
    local line
    line=$(grep -F -m1 -- "$text" "$log" 2>/dev/null) && { echo "${line%% *}"; return 0; }
    sleep 0.05
  done
  return 1
}
count() { grep -c -F -- "$2" "$1" 2>/dev/null || true; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
settings() {
  printf '[Settings]\nServer Address=%s\nServer Port=%s\nOn Battery Shutdown=%s\n' "$1" "$port" "$2" >"$ini"
}

pids=()
stop_all() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  pids=()
}
trap 'stop_all; done_with_prefix' EXIT

if [ $windows = 1 ]; then
  bin=$(dirname "$client")
  cp "$client" "$bin/QMXDLL.dll" "$work/"
  cp "$bin/cvn_recorder.exe" "$work/net.exe"
  cp "$bin/cvn_recorder.exe" "$work/msg.exe"
  . "$root/cmake/wine-env"
  WINEARCH=$(cat "$bin/../wine-arch")
  cvn_wine_env "$work"
  # The recorder writes beside itself; drive Z: is the Unix root.
  unset CVN_RECORD_DIR
  run=("$root/cmake/wine-run" "$work/CVNRemote.exe" daemon -c "Z:${ini//\//\\}")
  # A prefix of its own for each phase: what a shutdown leaves going in one
  # (Wine ends its session) cannot reach the next.
  fresh() {
    prefix=$work/prefix-$1
    mkdir -p "$prefix"
    export WINEPREFIX=$prefix/wineprefix
    "$root/cmake/wine-prefix" setup "$prefix"
  }
  done_with_prefix() { [ -n "${prefix:-}" ] && "$root/cmake/wine-prefix" cleanup "$prefix" >/dev/null 2>&1; prefix=; }
else
  mkdir -p "$work/fakes"
  # Each records itself with the time; wall hangs while the file hang exists.
  for fake in wall shutdown; do
    printf '#!/bin/sh\necho "$(/bin/date +%%s.%%N) %s $*" >> "%s/record/calls.log"\nwhile [ %s = wall ] && [ -e "%s/hang" ]; do /bin/sleep 0.1; done\n' \
      "$fake" "$work" "$fake" "$work" >"$work/fakes/$fake"
    chmod +x "$work/fakes/$fake"
  done
  run=(env "PATH=$work/fakes" ASAN_OPTIONS=verify_asan_link_order=0 "$client" daemon -c "$ini")
  fresh() { :; }
  done_with_prefix() { :; }
fi

# Starts the simulator and the client (with client_env added to its
# environment); their lines go to <phase>-sim.log and <phase>-client.log.
client_env=()
start() {
  local phase=$1; shift
  fresh "$phase" >/dev/null 2>&1 || { echo "cannot prepare the Wine prefix" >&2; exit 1; }
  "$upssim" -p "$port" "$@" > >(stamp >"$work/$phase-sim.log") 2>&1 &
  pids+=($!)
  sleep 0.5
  env "${client_env[@]}" "${run[@]}" 2> >(stamp >"$work/$phase-client.log") >/dev/null &
  client_pid=$!
  pids+=($client_pid)
}

echo "== $name: $client"

if [ $waits_only = 0 ]; then
# 1. Reconnects: the first session learns "on battery"; from then on every
#    session is closed by the server as soon as it is asked for a value.
settings localhost 100000
start memory -o Battery -s "wait session" -s "at 1s fault close-at-query" -s "at 1s close"
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$client_pid/status" 2>/dev/null; }
connected() { count "$work/memory-client.log" "Successfully Connected."; }
until [ "$(connected)" -ge 2 ] || ! kill -0 "$client_pid" 2>/dev/null; do sleep 0.1; done
first=$(rss)
started=$SECONDS
# A client that makes no new connection for 30 s has stopped reconnecting
# (under Wine: the prefix's server has ended under it).
seen=0 moved=$SECONDS
until [ "$(connected)" -ge $((reconnects + 1)) ] || ! kill -0 "$client_pid" 2>/dev/null ||
      [ $((SECONDS - moved)) -ge 30 ]; do
  sleep 1
  now=$(connected)
  [ "$now" -ne "$seen" ] && seen=$now moved=$SECONDS
done
last=$(rss)
made=$(( $(connected) - 1 ))
if [ "$made" -lt "$reconnects" ] && kill -0 "$client_pid" 2>/dev/null; then
  echo "memory: the client stopped reconnecting after $made (see $work/memory-*.log)"
elif [ -n "$first" ] && [ -n "$last" ]; then
  echo "memory: $first kB resident after the first reconnect, $last kB after $made" \
       "($((last - first)) kB more; $((SECONDS - started)) s)"
else
  echo "memory: the client ended early (see $work/memory-*.log)"
fi
stop_all
done_with_prefix

# 2. The server falls silent 2 s into the session: a last empty line, then nothing.
settings 127.0.0.1 120
start silent -s "wait session" -s 'at 2s send "\r\n"' -s "at 2s fault silent"
silent=$(when "$work/silent-sim.log" "fault silent" 30) &&
  lost=$(when "$work/silent-client.log" "Connection to server lost!" 60) &&
  echo "silent server: lost session reported $(seconds "$silent" "$lost") s after the server fell silent" ||
  echo "silent server: no lost session seen (see $work/silent-*.log)"
stop_all
done_with_prefix

# 3. On battery with a 5 s delay; once connected, the server is gone and its
#    name takes 12 s to look up at every attempt.
settings 127.0.0.1 5
client_env=("LD_PRELOAD=$resolver" CVN_SLOW_RESOLVER_MS=12000)
start slow -o Battery -s "wait session" -s "at 1s fault refuse" -s "at 1s close"
if when "$work/slow-client.log" "Successfully Connected." 60 >/dev/null; then
  settings ups.slow.test 5
  warned=$(when "$work/slow-client.log" "system will shutdown in 5 seconds" 30)
  down=$(when "$work/slow-client.log" "shuting down now" 60) &&
    echo "slow name server: shutdown requested $(seconds "$warned" "$down") s after the warning of 5 s," \
         "$(seconds "$warned" "$(awk -v d="$down" 'BEGIN { printf "%.3f", d - 5 }')") s past the deadline" ||
    echo "slow name server: no shutdown seen (see $work/slow-*.log)"
else
  echo "slow name server: the client did not connect (see $work/slow-*.log)"
fi
client_env=()
stop_all
done_with_prefix
fi

# 4. Idle on mains: the session is up and the server sends nothing but the
#    answers to the client's liveness questions.
settings 127.0.0.1 120
start idle -s "wait session"
if when "$work/idle-client.log" "Successfully Connected." 60 >/dev/null; then
  sleep 2
  # Under Wine the process that runs the program is the loader's, not the
  # script that started it.
  pid=$client_pid
  [ $windows = 1 ] && pid=$(pgrep -n -f "CVNRemote.exe daemon -c Z:.*figures-$name")
  switches() { cat /proc/"$pid"/task/*/status 2>/dev/null | awk '/^voluntary_ctxt_switches/ { s += $2 } END { print s + 0 }'; }
  # A wake-up ends a stretch of at least 20 ms in which the process did not
  # run: under Wine one pass of the client is many round trips to Wine's
  # server, each a context switch of its own.
  before=$(switches) last=$before wakeups=0 idle=1 end=$((SECONDS + 60))
  while [ $SECONDS -lt $end ]; do
    now=$(switches)
    if [ "$now" != "$last" ]; then
      [ $idle = 1 ] && wakeups=$((wakeups + 1))
      idle=0
    else
      idle=1
    fi
    last=$now
    sleep 0.02
  done
  rate() { awk -v n="$1" 'BEGIN { printf "%.2f", n / 60 }'; }
  echo "idle on mains: $wakeups wake-ups in 60 s ($(rate $wakeups)/s)," \
       "$((last - before)) voluntary context switches ($(rate $((last - before)))/s)"
else
  echo "idle on mains: the client did not connect (see $work/idle-*.log)"
fi
stop_all
done_with_prefix

# 5. On battery with a 5 s delay, and every notice's program hangs: the
#    request waits for the last notice 1 s, and no longer.
settings 127.0.0.1 5
touch "$work/hang"
start hang -o Battery -s "wait session"
if deadline=$(when "$work/hang-client.log" "shuting down now" 90); then
  if [ $windows = 1 ]; then
    # The request ends the client with the prefix's session.
    while kill -0 "$client_pid" 2>/dev/null; do sleep 0.05; done
    down=$EPOCHREALTIME
  else
    down=$(when "$work/record/calls.log" "shutdown -h now" 30)
  fi
  echo "hanging notices: shutdown requested $(seconds "$deadline" "$down") s after its deadline"
else
  echo "hanging notices: no shutdown seen (see $work/hang-*.log)"
fi
rm -f "$work/hang"
stop_all
done_with_prefix
