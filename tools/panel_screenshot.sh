#!/usr/bin/env bash
# Makes docs/panel.png: the panel serving the demo (tools/demo.sh --panel) on a virtual
# display of its own, photographed with ImageMagick's import once the computer has booted,
# listed the directory and written, while it goes on with its next scenarios.
#
#   bash tools/panel_screenshot.sh [OUTPUT.png]
set -uo pipefail
cd "$(dirname "$0")/.."

out=${1:-docs/panel.png}
work=build/panel-screenshot
mkdir -p "$work" "$(dirname "$out")"
sh tools/panel/virtual_display.sh start "$work/display" || exit 1
display=$(cat "$work/display/display")
trap 'sh tools/panel/virtual_display.sh stop "$work/display" cmake/wine.sh build/demo/wineprefix >/dev/null 2>&1' EXIT

DISPLAY=$display bash tools/demo.sh --panel --scenario boot --scenario directory --scenario write-read \
    --scenario put --scenario format --scenario format-ED --scenario config --missed-allowed 3 \
    >"$work/demo.log" 2>&1 &
demo=$!
# The computer prints a line per scenario as it passes; the panel serves until the last.
shot=no
for _ in $(seq 1200); do
    if grep -q '^ok - write-read' "$work/demo.log"; then
        # The whole screen, cut down to the panel (the screen around it is black).
        import -display "$display" -window root -trim +repage "$out" && shot=yes
        break
    fi
    kill -0 $demo 2>/dev/null || break
    sleep 0.25
done
wait $demo
status=$?
if [ $shot = no ]; then
    echo "panel_screenshot: the demo never got as far as write-read (see $work/demo.log)" >&2
    exit 1
fi
echo "panel_screenshot: $out (the demo ended with exit code $status; its output is in $work/demo.log)"
exit $status
