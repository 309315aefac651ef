#!/bin/sh
# wine_run.sh PREFIX SERVER LOADER COMMAND...: runs COMMAND, a Windows program under
# Wine in PREFIX, once PREFIX is made and a server of its own runs, both with their
# streams on /dev/null: Wine's helpers outlive a program and would hold on to the
# streams of whatever started them (CTest, listing a program's tests, would wait).
prefix=$1 server=$2 loader=$3
shift 3
if [ ! -d "$prefix/drive_c" ]; then
    WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= "$loader" wineboot --init </dev/null >/dev/null 2>&1
    WINEPREFIX=$prefix "$server" -w
fi
# A server started here (none ran yet) starts Wine's helpers with the first program:
# that program is one of ours, on /dev/null.
if WINEPREFIX=$prefix "$server" -p </dev/null >/dev/null 2>&1; then
    WINEPREFIX=$prefix WINEDEBUG=-all "$loader" cmd /c exit </dev/null >/dev/null 2>&1
fi
exec "$@"
