#!/bin/sh
# Runs a test program with its output in a file, shown when it ends. Wine's
# service processes that a test starts anew (after a shutdown ended the
# prefix's session) inherit the program's output: with a pipe, CTest would
# wait for them until the persistent wineserver goes.
log=$(mktemp)
"$@" >"$log" 2>&1
rc=$?
cat "$log"
rm -f "$log"
exit $rc
