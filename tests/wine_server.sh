#!/bin/sh
# One wine server for a whole run of the Windows tests.
#   wine_server.sh start|stop PREFIX SERVER WINE...
# Left to itself, the server ends a moment after its last program, and a test whose wine starts
# just then fails ("recvmsg: Connection reset by peer"). wine's own background programs start
# with the first program and live as long as the server: started here, with none of a test's
# output open, they cannot keep a test waiting for the end of its output.
what=$1
export WINEPREFIX="$2"
server=$3
shift 3
"$server" -k 2>/dev/null
"$server" -w
[ "$what" = stop ] && exit 0
"$server" -p </dev/null >/dev/null 2>&1 || exit 1
"$@" wineboot </dev/null >/dev/null 2>&1
