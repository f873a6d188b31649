#!/usr/bin/env bash
# Builds the three presets and runs all their tests: native (sanitizers),
# win64 under wine64 on every machine, and win32 under Wine's 32-bit loader
# where this machine can execute 32-bit x86 code. Where it cannot (or with
# CVN_WIN64_ONLY=1) the win32 programs are still built, and their tests are
# left out with a line that says why.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh || exit 1
. cmake/wine-env
mkdir -p build

# Runs a step quietly; its output is shown only when it fails.
quiet() {
  local log=build/step.log
  "$@" >"$log" 2>&1 && return 0
  cat "$log"
  return 1
}

run_win32_tests=1
if ! cvn_win32_runs; then
  run_win32_tests=0
  echo "== win32: tests left out, programs only built: $CVN_WIN32_WHY"
fi

status=0
for preset in native win32 win64; do
  start=$SECONDS
  echo "== $preset: build"
  if [ ! -f "build/$preset/CMakeCache.txt" ]; then
    quiet cmake --preset "$preset" || { status=1; continue; }
  fi
  if ! quiet cmake --build --preset "$preset"; then
    echo "build of $preset failed"
    status=1
    continue
  fi
  if [ $preset = win32 ] && [ $run_win32_tests = 0 ]; then
    echo "== $preset: built in $((SECONDS - start)) s"
    continue
  fi
  echo "== $preset: tests"
  ctest --preset "$preset" --progress || status=1
  echo "== $preset: built and tested in $((SECONDS - start)) s"
done
exit $status
