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
#   bash tools/demo.sh [--scenario NAME]... [--wait-for-drive]
#                                  (default: every scenario, with a real computer's timing)
#
# VANDREL_DEMO_PRESET=mingw-x86 runs the 32-bit build instead (on a machine that can).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash tools/setup.sh || exit 1

preset=${VANDREL_DEMO_PRESET:-mingw-x64}
build=$root/build/$preset
echo "=== building $preset (the server, the console front end, the computer)"
cmake --preset "$preset" >/dev/null || exit 1
cmake --build --preset "$preset" --target Vandrel vandrel-console vandrel_host_tools || exit 1

demo=$root/build/demo
prefix=$demo/wineprefix
host=$build/tests/integration/host
echo "=== preparing the Wine prefix $prefix"
sh cmake/wine.sh "$prefix" setup || exit 1

args=("$@")
# Every scenario, the computer never waiting for the drive. Under Wine on a busy machine a try
# now and then goes unanswered; the computer sends it again, as a real one does.
if [ ${#args[@]} -eq 0 ]; then
    args=(--scenario all --missed-allowed 3)
fi
echo "=== the computer on COM5; the front end's trace follows"
"$host/vandrel_computer" --wine-sh "$root/cmake/wine.sh" --prefix "$prefix" \
    --shim "$host/libvandrel_modem_lines.so" --shim32 "$host/32/libvandrel_modem_lines.so" \
    --port 5 --work "$demo/run" --server "$build/server/Vandrel.exe" --show "${args[@]}" \
    -- "$build/tools/console/vandrel-console.exe"
status=$?
sh cmake/wine.sh "$prefix" shutdown >/dev/null 2>&1
exit $status
