#!/bin/sh
# One wine server for a whole run of the Windows tests.
#   wine_server.sh start|stop PREFIX SERVER WINE...
# Left to itself, the server ends a moment after its last program, and a test whose wine starts
# just then fails ("recvmsg: Connection reset by peer"). wine's own background programs start
# with the first program and live as long as the server: started here, with none of a test's
# output open, they cannot keep a test waiting for the end of its output.
#
# The first start of wine in a new prefix makes the prefix, and a program started while wine is
# still setting it up may end at once without a word. So the prefix is made here, before any
# test: wine's set-up runs to its end, the server that ran it ends (and writes the prefix's
# registry), and the persistent server is only taken as ready once a program started through it
# ends with the status it chose.
what=$1
export WINEPREFIX="$2"
server=$3
shift 3
"$server" -k 2>/dev/null
"$server" -w
[ "$what" = stop ] && exit 0

if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -d "$WINEPREFIX/drive_c/windows/system32" ]; then
    "$@" wineboot --init </dev/null >/dev/null 2>&1
    "$server" -w
fi
"$server" -p </dev/null >/dev/null 2>&1 || exit 1
"$@" wineboot </dev/null >/dev/null 2>&1
tries=0
while :; do
    "$@" cmd /c exit 7 </dev/null >/dev/null 2>&1
    [ $? -eq 7 ] && exit 0
    tries=$((tries + 1))
    if [ "$tries" -ge 30 ]; then
        echo "wine does not run programs in $WINEPREFIX" >&2
        exit 1
    fi
    sleep 1
done
