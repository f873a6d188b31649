#!/bin/sh
# Runs a test program with its output in a file, shown when it ends. Wine's
# service processes that a test starts anew (after a shutdown ended the
# prefix's session) inherit the program's output: with a pipe, CTest would
# wait for them until the persistent wineserver goes.
#   quiet_run.sh [--fresh-prefix <dir>] program args...
# --fresh-prefix first ends the Wine session of <dir>/wineprefix and starts
# it again, so that its services write to <dir>/wine-services.log again
# whatever the tests before this one did to the session.
if [ "$1" = "--fresh-prefix" ]; then
  fixture=$(dirname "$0")/../../cmake/wine-prefix
  "$fixture" cleanup "$2" && "$fixture" setup "$2" || exit 1
  shift 2
fi
log=$(mktemp)
"$@" >"$log" 2>&1
rc=$?
cat "$log"
rm -f "$log"
exit $rc
