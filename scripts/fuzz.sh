#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang (against the Qt a plain build picks: Qt 6 when it
# is installed) and runs each for SECONDS (default 60) on a copy of its seed corpus in
# fuzz/corpus/, so that the repository stays clean. Fails on any
# crash, broken invariant, sanitizer report, leak, slow input or memory blow-up; the input
# that did it is left in build-fuzz/artifacts/.
#   ./scripts/fuzz.sh [SECONDS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/lib.sh"

seconds=${1:-60}
case "$seconds" in
-h | --help) sed -n '3,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
*[!0-9]* | '') echo "fuzz.sh: SECONDS must be a number, not '$seconds'" >&2; exit 64 ;;
esac
targets=(version catalogue walks signature)

# llvm-14 brings the symbolizer that turns the reports' addresses into lines.
mzu_require_packages clang-14 libclang-rt-14-dev llvm-14
build="$here/build-fuzz"
mzu_configure "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMZUPDATER_DEVELOPER=ON -DMZUPDATER_BUILD_FUZZ=ON -DBUILD_TESTING=OFF \
    -DMZUPDATER_BUILD_TOOLS=OFF -DMZUPDATER_BUILD_EXAMPLES=OFF
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]/#/fuzz_}" \
    -- --no-print-directory >"$build/build.log" 2>&1 \
    || { cat "$build/build.log"; echo "fuzz.sh: build failed" >&2; exit 1; }

export ASAN_OPTIONS=detect_leaks=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_SYMBOLIZER_PATH=/usr/bin/llvm-symbolizer-14
export LSAN_OPTIONS="suppressions=$here/scripts/lsan.supp:print_suppressions=0"
failed=()
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    log="$build/fuzz_$target.log"
    rm -rf "$corpus" "$artifacts"
    mkdir -p "$corpus" "$artifacts"
    cp "$here/fuzz/corpus/$target/"* "$corpus/"
    [ "$target" = version ] || [ "$target" = signature ] || cp "$here/examples/Versions.json" "$corpus/" 2>/dev/null || true
    rc=0
    # Leaks are looked for afterwards, over the corpus found: telling Qt's own leaks (see
    # lsan.supp) from ours needs whole stacks, and unwinding through Qt, which keeps no
    # frame pointers, costs more than nine executions in ten.
    "$build/fuzz/fuzz_$target" "$corpus" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -malloc_limit_mb=1024 -max_len=16384 -print_final_stats=1 \
        -detect_leaks=0 -artifact_prefix="$artifacts/" >"$log" 2>&1 || rc=$?
    if [ "$rc" -eq 0 ]; then
        ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 "$build/fuzz/fuzz_$target" \
            -runs=1 -artifact_prefix="$artifacts/" "$corpus"/* >"$log.leaks" 2>&1 \
            || { rc=$?; cat "$log.leaks" >>"$log"; }
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    printf '%-10s %10s executions %8s exec/s  corpus %s -> %s inputs\n' "$target" \
        "${runs:-?}" "${rate:-?}" "$(ls "$here/fuzz/corpus/$target" | wc -l)" \
        "$(ls "$corpus" | wc -l)"
    if [ "$rc" -ne 0 ]; then
        tail -n 60 "$log"
        echo "fuzz.sh: fuzz_$target failed (exit $rc); inputs in $artifacts" >&2
        failed+=("$target")
    fi
done
[ ${#failed[@]} -eq 0 ] || { echo "fuzz.sh: failed: ${failed[*]}" >&2; exit 1; }
echo "fuzz.sh: ${#targets[@]} targets, ${seconds}s each, no findings"
