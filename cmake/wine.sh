#!/bin/sh
# Runs Windows test programs under Wine, in a prefix that belongs to one build tree.
#
#   wine.sh PREFIX setup             create the prefix (once) with COM1-COM9 mapped safely
#   wine.sh PREFIX run PROGRAM ARGS  run a program; exit 77 (skipped) when this machine
#                                    cannot run a program of that width
#   wine.sh PREFIX shutdown          stop this prefix's wineserver
#
# COM1-COM9 are mapped to paths that do not exist before anything runs in the prefix: Wine
# otherwise maps /dev/ttyS0, this machine's console, to COM1. A test that needs a port maps
# one of them to its own pseudo-terminal.
set -eu

prefix=$1
action=$2
case "$prefix" in /*) ;; *) prefix="$PWD/$prefix" ;; esac
shift 2

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver64

setup() {
    [ -f "$prefix/.vandrel-ready" ] && return 0
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        if [ ! -f "$prefix/.vandrel-ready" ]; then
            rm -rf "$prefix"
            "$wine64" wineboot -i >/dev/null 2>&1 || true
            n=1
            while [ $n -le 9 ]; do
                "$wine64" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ \
                    /d "/nonexistent/vandrel/com$n" /f >/dev/null 2>&1
                n=$((n + 1))
            done
            "$wineserver" -w
            # The links are what Wine opens; they follow the registry only from the next
            # server start, so set them now as well.
            n=1
            while [ $n -le 9 ]; do
                ln -sfn "/nonexistent/vandrel/com$n" "$prefix/dosdevices/com$n"
                n=$((n + 1))
            done
            touch "$prefix/.vandrel-ready"
        fi
    ) 9>"$prefix.lock"
}

# The machine field of the PE header: 014c for x86, 8664 for x64.
machine() {
    off=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    od -An -tx2 -j$((off + 4)) -N2 "$1" | tr -d ' '
}

case "$action" in
setup)
    setup
    ;;
run)
    setup
    # A test that mapped a port and did not put it back must not leave a real device behind:
    # a COM link to a serial device of this machine is sent nowhere again.
    n=1
    while [ $n -le 9 ]; do
        case "$(readlink "$prefix/dosdevices/com$n" 2>/dev/null)" in
        /dev/ttyS* | /dev/ttyUSB* | /dev/ttyACM* | /dev/console)
            ln -sfn "/nonexistent/vandrel/com$n" "$prefix/dosdevices/com$n"
            "$wine64" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ \
                /d "/nonexistent/vandrel/com$n" /f >/dev/null 2>&1
            ;;
        esac
        n=$((n + 1))
    done
    program=$1
    shift
    loader=$wine64
    if [ "$(machine "$program")" = "014c" ]; then
        loader=$wine32
        if ! "$loader" --version >/dev/null 2>&1; then
            echo "skipped: this machine cannot run 32-bit programs (no IA-32 execution)" >&2
            exit 77
        fi
    fi
    exec "$loader" "$program" "$@"
    ;;
shutdown)
    [ -d "$prefix" ] || exit 0
    timeout 30 "$wineserver" -w 2>/dev/null || "$wineserver" -k 2>/dev/null || true
    ;;
*)
    echo "usage: wine.sh PREFIX setup|run|shutdown ..." >&2
    exit 2
    ;;
esac
