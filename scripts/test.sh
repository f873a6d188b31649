#!/usr/bin/env bash
# Builds the three presets and runs all their tests: native (sanitizers),
# win64 under wine64 on every machine, and win32 under Wine's 32-bit loader
# where this machine can execute 32-bit x86 code. Where it cannot (or with
# CVN_WIN64_ONLY=1) the win32 programs are still built, and only the win32
# checks that read files and run nothing (CTest label "static": the import
# and export checks) are run, with a line that says why.
# It ends with one line per preset, in the form CI reads:
#   native: 234 passed, 0 failed
#   win32: built only, 4 passed, 0 failed (static checks)
#   win64: build failed, 0 passed, 1 failed
# and exits with a status other than 0 when anything failed.
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
  echo "== win32: programs built, static checks alone run: $CVN_WIN32_WHY"
fi

status=0
closing=()
for preset in native win32 win64; do
  start=$SECONDS
  echo "== $preset: build"
  if ! { [ -f "build/$preset/CMakeCache.txt" ] || quiet cmake --preset "$preset"; } ||
     ! quiet cmake --build --preset "$preset"; then
    echo "build of $preset failed"
    status=1
    closing+=("$preset: build failed, 0 passed, 1 failed")
    continue
  fi
  only=() kind= note=
  if [ $preset = win32 ] && [ $run_win32_tests = 0 ]; then
    only=(-L static) kind="built only, " note=" (static checks)"
  fi
  echo "== $preset: tests$note"
  log=build/$preset-ctest.log
  ctest --preset "$preset" --progress "${only[@]}" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  echo "== $preset: built and tested in $((SECONDS - start)) s"
  [ "$rc" = 0 ] || status=1
  # CTest's own count: "100% tests passed, 0 tests failed out of 24".
  read -r failed total < <(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$log" | tail -n 1)
  if [ -z "${total:-}" ]; then
    status=1
    closing+=("$preset: ${kind}no count from ctest (status $rc), 0 passed, 1 failed$note")
  elif [ "$rc" != 0 ] && [ "$failed" = 0 ]; then
    closing+=("$preset: ${kind}$total passed, 1 failed$note (ctest ended with status $rc)")
  else
    closing+=("$preset: ${kind}$((total - failed)) passed, $failed failed$note")
  fi
  unset failed total
done
printf '%s\n' "${closing[@]}"
exit $status
