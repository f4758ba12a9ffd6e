#!/bin/sh
# Script front ends under the prefix's own script host: registers Vandrel.exe, runs the
# JScript and VBScript clients, unregisters. Each client must print its marker line and exit
# with 0; the host reflects script errors in neither.
#
#   script_clients.sh WINE.SH PREFIX VANDREL.EXE SOURCE-DIR SCRATCH-DIR
set -u
wine=$1 prefix=$2 server=$3 source=$4 scratch=$5

# /a/b -> Z:\a\b, the same file through Wine's Z: drive.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
sh "$wine" "$prefix" run "$server" /RegServer
code=$?
[ $code -eq 77 ] && exit 77
[ $code -eq 0 ] || { echo "FAIL: /RegServer exited $code"; exit 1; }

failed=0
cscript="$prefix/drive_c/windows/system32/cscript.exe"
for client in script_client.js script_client.vbs; do
    # The server that the client starts inherits its handles: keep ctest's pipe out of it.
    out="$scratch/$client.out"
    sh "$wine" "$prefix" run "$cscript" //nologo "$(winpath "$source/$client")" \
        "$(winpath "$scratch/$client.atr")" >"$out" 2>&1 </dev/null
    code=$?
    cat "$out"
    marker="$client done: 0 failures"
    if [ $code -ne 0 ] || ! tr -d '\r' <"$out" | grep -qx "$marker"; then
        echo "FAIL: $client exited $code; expected the line '$marker'"
        failed=1
    else
        echo "ok: $client"
    fi
done

sh "$wine" "$prefix" run "$server" /UnregServer >/dev/null 2>&1 || { echo "FAIL: /UnregServer"; failed=1; }
exit $failed
