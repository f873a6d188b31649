#!/usr/bin/env bash
# Builds both presets (native with sanitizers, win32 through MinGW-w64) and
# runs all their tests, the win32 ones under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh || exit 1
mkdir -p build

# Runs a step quietly; its output is shown only when it fails.
quiet() {
  local log=build/step.log
  "$@" >"$log" 2>&1 && return 0
  cat "$log"
  return 1
}

status=0
for preset in native win32; do
  echo "== $preset: build"
  if [ ! -f "build/$preset/CMakeCache.txt" ]; then
    quiet cmake --preset "$preset" || { status=1; continue; }
  fi
  quiet cmake --build --preset "$preset" || { echo "build of $preset failed"; status=1; continue; }
  echo "== $preset: tests"
  ctest --preset "$preset" --progress || status=1
done
exit $status
