#!/usr/bin/env bash
# The main job: a simulated Atari computer boots from a disk served by Vandrel.exe.
#
# Installs what is missing, builds the Windows server, the console front end and the native
# computer, makes a Wine prefix of its own (build/demo/wineprefix, COM1-COM9 leading nowhere),
# then lets the computer map COM5 to a fresh pseudo-terminal, register Vandrel.exe and start
# the console front end, which mounts the computer's images (a bootable demo disk in D1:) and
# starts the emulation. The computer boots, runs its scenarios and prints a summary while the
# front end's trace scrolls by. Exit code 0 when every byte and every timing matched.
#
#   bash tools/demo.sh [--panel] [--scenario NAME]... [--wait-for-drive]
#                                  (default: every scenario, with a real computer's timing)
#
# --panel: the front end is vandrel-panel, the window, on the X display in DISPLAY, or on a
# virtual one (Xvfb) that the demo starts and stops when DISPLAY is not set.
# VANDREL_DEMO_PRESET=mingw-x86 runs the 32-bit build instead (on a machine that can).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash tools/setup.sh || exit 1

panel=no
args=()
for a in "$@"; do
    if [ "$a" = --panel ]; then panel=yes; else args+=("$a"); fi
done

preset=${VANDREL_DEMO_PRESET:-mingw-x64}
build=$root/build/$preset
front_end=$build/tools/console/vandrel-console.exe
if [ $panel = yes ]; then front_end=$build/tools/panel/vandrel-panel.exe; fi
echo "=== building $preset (the server, the $(basename "$front_end" .exe) front end, the computer)"
cmake --preset "$preset" >/dev/null || exit 1
cmake --build --preset "$preset" --target Vandrel "$(basename "$front_end" .exe)" vandrel_host_tools || exit 1

demo=$root/build/demo
prefix=$demo/wineprefix
host=$build/tests/integration/host
echo "=== preparing the Wine prefix $prefix"
sh cmake/wine.sh "$prefix" setup || exit 1

display=()
if [ $panel = yes ]; then
    if [ -z "${DISPLAY:-}" ]; then
        sh tools/panel/virtual_display.sh start "$demo/display" || exit 1
        DISPLAY=$(cat "$demo/display/display")
        trap 'sh tools/panel/virtual_display.sh stop "$demo/display" cmake/wine.sh "$prefix" >/dev/null 2>&1' EXIT
    fi
    display=(--display "$DISPLAY")
fi

# Every scenario, the computer never waiting for the drive. Under Wine on a busy machine a try
# now and then goes unanswered; the computer sends it again, as a real one does.
if [ ${#args[@]} -eq 0 ]; then
    args=(--scenario all --missed-allowed 3)
fi
echo "=== the computer on COM5; the front end's trace follows"
"$host/vandrel_computer" --wine-sh "$root/cmake/wine.sh" --prefix "$prefix" \
    --shim "$host/libvandrel_modem_lines.so" --shim32 "$host/32/libvandrel_modem_lines.so" \
    --port 5 --work "$demo/run" --server "$build/server/Vandrel.exe" --show "${display[@]}" "${args[@]}" \
    -- "$front_end"
status=$?
sh cmake/wine.sh "$prefix" shutdown >/dev/null 2>&1
exit $status
