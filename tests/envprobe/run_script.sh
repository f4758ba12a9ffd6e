#!/bin/sh
# Runs a client script under the prefix's script host and checks what it printed and its
# exit code (Wine's cscript reports neither script errors nor their exit code, so a script
# that stopped early shows by its missing marker line), then that no server outlives it.
# Exits 77 (skipped) where this machine cannot run programs of the build's width.
#
#   run_script.sh WINE_SH PREFIX CSCRIPT SCRIPT WORKDIR CLIENT_TESTS ENVPROBE_EXE
#
# The script host's output goes to files, not to CTest's pipe: the server that COM starts
# inherits the client's output, and a pipe would keep the test open until the server ends.
set -u

wine_sh=$1
prefix=$2
cscript=$3
script=$4
work=$5
client_tests=$6
envprobe=$7

mkdir -p "$work"
out=$work/output.txt
err=$work/errors.txt
rm -f "$out" "$err"

# Wine sees the build tree on drive Z:.
case "$script" in
/*) script_path="Z:$(printf '%s' "$script" | tr / '\\')" ;;
*) script_path=$script ;;
esac

# No server may be running on either side of the script: the check after it then speaks
# for this script's clients only. This first run also tells whether the machine can run
# programs of this width at all (77: skipped).
no_server_left() {
    "$wine_sh" "$prefix" run "$client_tests" "--exe=$envprobe" \
        --gtest_filter=EnvprobeServer.NoServerOutlivesItsClients --gtest_brief=1 \
        >"$work/servers.txt" 2>&1
}
no_server_left
rc=$?
if [ $rc -eq 77 ]; then
    cat "$work/servers.txt"
    exit 77
fi
if [ $rc -ne 0 ]; then
    cat "$work/servers.txt"
    echo "a server of an earlier client was still running (exit code $rc)"
    exit 1
fi

"$wine_sh" "$prefix" run "$cscript" //nologo "$script_path" >"$out" 2>"$err"
rc=$?
if [ $rc -eq 77 ]; then
    cat "$err"
    exit 77
fi

cat "$out"
marker=$(tr -d '\r' <"$out" | grep -c '^envprobe client done: 0 failure(s)$')
if [ $rc -ne 0 ] || [ "$marker" -ne 1 ]; then
    echo "script host exit code $rc; marker line found $marker time(s)"
    echo "--- standard error:"
    cat "$err"
    exit 1
fi

# The script has released its objects: every server must now end by itself.
no_server_left
rc=$?
if [ $rc -ne 0 ]; then
    cat "$work/servers.txt"
    echo "a server outlived the script (exit code $rc)"
    exit 1
fi
exit 0
