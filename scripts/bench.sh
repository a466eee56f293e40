#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs the benchmarks for Qt 5 and Qt 6 (Release, in build/bench-qt5 and
# build/bench-qt6) and prints their figures side by side; the full run also rewrites the
# generated block of docs/performance.md. On a fresh Debian machine, run as root, it first
# installs what is missing.
#   ./scripts/bench.sh            the full run: 5 repetitions, 15 checks per host figure
#   ./scripts/bench.sh --quick    a smoke run; docs left alone, the page it would write
#                                 goes to build/bench/performance.md
#   ./scripts/bench.sh --qt 6     one Qt only (5 or 6), either mode; docs left alone
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/lib.sh"

mode=full
qts=(5 6)
while [ $# -gt 0 ]; do
    case "$1" in
    --quick) mode=quick ;;
    --qt) [[ "${2:-}" =~ ^[56]$ ]] || { echo "bench.sh: --qt takes 5 or 6" >&2; exit 64; }
        qts=("$2"); shift ;;
    -h | --help) sed -n '3,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench.sh: unknown argument '$1' (see --help)" >&2; exit 64 ;;
    esac
    shift
done
command="./scripts/bench.sh"
[ "$mode" = quick ] && command+=" --quick"
[ ${#qts[@]} -eq 1 ] && command+=" --qt ${qts[0]}"

mzu_require_packages libbenchmark-dev
for qt in "${qts[@]}"; do
    build="$here/build/bench-qt$qt"
    mzu_configure "$build" -DCMAKE_BUILD_TYPE=Release -DMZUPDATER_DEVELOPER=ON \
        -DMZUPDATER_QT_MAJOR="$qt" -DMZUPDATER_BUILD_BENCH=ON -DBUILD_TESTING=OFF \
        -DMZUPDATER_BUILD_TOOLS=ON -DMZUPDATER_BUILD_EXAMPLES=OFF
    echo "Building the benchmarks for Qt $qt ..."
    cmake --build "$build" --parallel "$(nproc)" --target mzupdater_bench \
        -- --no-print-directory >"$build/build.log" 2>&1 \
        || { cat "$build/build.log"; echo "bench.sh: build failed" >&2; exit 1; }
done

# Repetitions are interleaved at random, so that a burst of load elsewhere spreads over
# all the benchmarks instead of landing on one. Half a second each, so that the heap a
# previous benchmark freed (glibc tidies it during the next allocations) is spread over many
# calls: at 0.1 s it doubled some model figures. Each host figure is one check per repetition.
if [ "$mode" = full ]; then
    run=(--benchmark_repetitions=5 --benchmark_min_time=0.5 --host_repetitions=15)
else
    run=(--benchmark_repetitions=1 --benchmark_min_time=0.01 --host_repetitions=3)
fi
run+=(--benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true
    --benchmark_out_format=json)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$SECONDS
folders=()
for qt in "${qts[@]}"; do
    build="$here/build/bench-qt$qt"
    echo "Running the benchmarks for Qt $qt ($mode; the log is $build/bench.log) ..."
    # The host figures and the model functions in processes of their own: the other
    # benchmarks free hundreds of MiB of small blocks, and glibc sorts them in whichever
    # allocations come next, a debt that a host's process does not carry.
    { "$build/bench/mzupdater_bench" "${run[@]}" --benchmark_filter='-(host|model)/' \
        --benchmark_out="$build/bench.json" \
        && "$build/bench/mzupdater_bench" "${run[@]}" --benchmark_filter=^model/ \
            --benchmark_out="$build/bench-model.json" \
        && "$build/bench/mzupdater_bench" "${run[@]}" --benchmark_filter=^host/ \
            --benchmark_out="$build/bench-host.json"; } >"$build/bench.log" 2>&1 \
        || { tail -20 "$build/bench.log"; echo "bench.sh: the benchmarks failed" >&2; exit 1; }
    folders+=("$build")
done
machine="Load average $load_before before the run and $(cut -d' ' -f1-3 /proc/loadavg) after; \
the benchmarks took $((SECONDS - started)) s."

page="$here/docs/performance.md"
if [ "$mode" = quick ] || [ ${#qts[@]} -eq 1 ]; then
    mkdir -p "$here/build/bench"
    cp "$page" "$here/build/bench/performance.md"
    page="$here/build/bench/performance.md"
fi
python3 "$here/bench/report.py" "${folders[@]}" --markdown "$page" --command "$command" \
    --machine "$machine"
echo "Wrote ${page#"$here"/}."
