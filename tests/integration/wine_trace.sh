#!/bin/sh
# Runs a Windows test program with the Unix standard error of its Wine
# processes in the file $CVN_WINE_TRACE. Wine's debug channels write there,
# not to a program's Windows standard error, and every process started from
# the test program inherits it: the test reads what its children traced.
: "${CVN_WINE_TRACE:?}"
exec "$@" 2>"$CVN_WINE_TRACE"
