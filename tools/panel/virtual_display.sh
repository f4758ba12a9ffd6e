#!/bin/sh
# A virtual display (Xvfb) for the panel (its tests, the demo, the screenshot), and Windows
# programs run under Wine on it.
#
#   virtual_display.sh start STATE                  start Xvfb on a free display; its number
#                                                   and pid go to STATE/display and STATE/pid
#   virtual_display.sh stop STATE WINE_SH PREFIX    stop PREFIX's Wine server, then that Xvfb
#   virtual_display.sh run STATE WINE_SH PREFIX LOADER PROGRAM ARGS...
#                                                   PROGRAM under Wine on the display, then
#                                                   PREFIX's Wine server stopped; exit 77
#                                                   (skipped) when LOADER cannot run here
#   virtual_display.sh with STATE COMMAND ARGS...   COMMAND --display :N ARGS...
#
# Programs with a window need a Wine prefix whose desktop has the display: a prefix's desktop
# takes the display of the program that started it, and the build's shared prefix runs its
# programs with none. The panel's tests have a prefix of their own.
set -eu

action=$1
state=$2
shift 2
display() { cat "$state/display"; }

case "$action" in
start)
    mkdir -p "$state"
    rm -f "$state/ready"
    mkfifo "$state/ready"
    # Xvfb writes the number of the display it found free once it accepts clients.
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$state/ready" \
        </dev/null >"$state/xvfb.log" 2>&1 &
    echo $! >"$state/pid"
    number=$(timeout 30 head -n 1 "$state/ready" || true)
    rm -f "$state/ready"
    if [ -z "$number" ]; then
        echo "Xvfb did not start (see $state/xvfb.log)" >&2
        kill "$(cat "$state/pid")" 2>/dev/null || true
        exit 1
    fi
    echo ":$number" >"$state/display"
    echo "virtual display :$number (Xvfb process $(cat "$state/pid"))"
    ;;
stop)
    wine_sh=$1
    prefix=$2
    sh "$wine_sh" "$prefix" shutdown
    [ -f "$state/pid" ] || exit 0
    pid=$(cat "$state/pid")
    kill "$pid" 2>/dev/null || true
    timeout 30 sh -c "while kill -0 $pid 2>/dev/null; do sleep 0.1; done" || kill -9 "$pid" 2>/dev/null || true
    rm -f "$state/pid" "$state/display"
    ;;
run)
    wine_sh=$1
    prefix=$2
    loader=$3
    shift 3
    sh "$wine_sh" "$prefix" setup
    if ! "$loader" --version >/dev/null 2>&1; then
        echo "skipped: this machine cannot run 32-bit programs (no IA-32 execution)" >&2
        exit 77
    fi
    status=0
    WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=$(display) \
        "$loader" "$@" || status=$?
    # The next test starts with a fresh Wine server (and its COM service) in the prefix.
    sh "$wine_sh" "$prefix" shutdown
    exit $status
    ;;
with)
    command=$1
    shift
    exec "$command" --display "$(display)" "$@"
    ;;
*)
    echo "usage: virtual_display.sh start|stop|run|with STATE ..." >&2
    exit 2
    ;;
esac
