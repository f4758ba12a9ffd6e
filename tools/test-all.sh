#!/usr/bin/env bash
# Builds every preset and runs every test in each: native, native with AddressSanitizer and
# UndefinedBehaviorSanitizer, native with ThreadSanitizer, the fuzz programs (a minute each,
# one test each), and the two Windows builds under Wine. Run from anywhere.
# VANDREL_PRESETS="linux linux-fuzz" limits the run to those presets.
set -uo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh || exit 1

read -r -a presets <<<"${VANDREL_PRESETS:-linux linux-asan linux-tsan linux-fuzz mingw-x86 mingw-x64}"
passed=0 failed=0 skipped=0 broken=()
mkdir -p build
for preset in "${presets[@]}"; do
    echo "=== $preset"
    log=build/ctest-$preset.log
    if ! cmake --preset "$preset" >"build/configure-$preset.log" 2>&1; then
        cat "build/configure-$preset.log"
        broken+=("$preset (configure)")
        continue
    fi
    if ! cmake --build --preset "$preset"; then
        broken+=("$preset (build)")
        continue
    fi
    ctest --preset "$preset" 2>&1 | tee "$log"
    [ "${PIPESTATUS[0]}" = 0 ] || broken+=("$preset (tests)")
    summary=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$summary")
    skip=$(grep -c '(Skipped)' "$log" || true)
    passed=$((passed + ${total:-0} - ${bad:-0} - skip))
    failed=$((failed + ${bad:-0}))
    skipped=$((skipped + skip))
done

echo
if [ ${#broken[@]} -gt 0 ]; then
    echo "test-all: failed in: ${broken[*]}"
fi
echo "tests: $passed passed, $failed failed, $skipped skipped"
[ ${#broken[@]} -eq 0 ]
