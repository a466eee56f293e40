#!/usr/bin/env bash
# Measures mzupdater against its floors (QJsonDocument::fromJson on the same bytes; a bare
# loopback GET plus that parse), prints the table, and refreshes docs/performance.md and
# docs/performance.svg. On a fresh Debian machine, run as root, it first installs what is
# missing (Google Benchmark, gnuplot). About six minutes on two cores from a clean clone.
#   ./scripts/bench.sh           the full run: 5 repetitions, medians
#   ./scripts/bench.sh --quick   1 repetition, short runs, docs left alone (a smoke test)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/lib.sh"

mode=full
for arg in "$@"; do
    case "$arg" in
    --quick) mode=quick ;;
    -h | --help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench.sh: unknown argument '$arg' (see --help)" >&2; exit 64 ;;
    esac
done

mzu_require_packages libbenchmark-dev gnuplot-nox
build="$here/build/bench"
mzu_configure "$build" -DCMAKE_BUILD_TYPE=Release -DMZUPDATER_DEVELOPER=ON \
    -DMZUPDATER_BUILD_BENCH=ON -DBUILD_TESTING=OFF -DMZUPDATER_BUILD_TOOLS=OFF \
    -DMZUPDATER_BUILD_EXAMPLES=OFF
cmake --build "$build" --parallel "$(nproc)" --target mzupdater_bench mzupdater_bench_report \
    -- --no-print-directory >"$build/build.log" 2>&1 \
    || { cat "$build/build.log"; echo "bench.sh: build failed" >&2; exit 1; }

# Repetitions are interleaved at random, so that a burst of load elsewhere on the machine
# spreads over all the benchmarks instead of landing on one of them.
if [ "$mode" = full ]; then
    run=(--benchmark_repetitions=5 --benchmark_min_time=0.5)
else
    run=(--benchmark_repetitions=1 --benchmark_min_time=0.02)
fi
echo "Running the benchmarks ($mode; the console log is $build/bench.log) ..."
"$build/bench/mzupdater_bench" "${run[@]}" --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true --benchmark_out="$build/bench.json" \
    --benchmark_out_format=json --maxrss_out="$build/maxrss.txt" >"$build/bench.log" 2>&1 \
    || { tail -20 "$build/bench.log"; echo "bench.sh: the benchmarks failed" >&2; exit 1; }

report=("$build/bench/mzupdater_bench_report" "$build/bench.json" --maxrss "$build/maxrss.txt"
    --plot-data "$build/plot.dat")
[ "$mode" = full ] && report+=(--markdown "$here/docs/performance.md")
"${report[@]}"

plot="$build/performance.svg"
gnuplot <<GNUPLOT
set terminal svg size 860,560 font "sans,13" background "white"
set output "$plot"
set title "mzupdater: median time per call against entries (dashed: fromJson of the same bytes)"
set logscale xy
set format x "10^{%L}"
set format y "10^{%L}"
set xlabel "entries in the manifest"
set ylabel "time per call (µs)"
set grid
set key left top
plot "$build/plot.dat" using 1:2 with linespoints lc 1 dt 2 pt 6 title columnheader(2), \
     "" using 1:3 with linespoints lc 1 pt 7 title columnheader(3), \
     "" using 1:4 with linespoints lc 4 pt 5 title columnheader(4), \
     "" using 1:5 with linespoints lc 2 dt 2 pt 6 title columnheader(5), \
     "" using 1:6 with linespoints lc 2 pt 7 title columnheader(6), \
     "" using 1:7 with linespoints lc 7 dt 2 pt 6 title columnheader(7), \
     "" using 1:8 with linespoints lc 7 pt 7 title columnheader(8)
GNUPLOT
if [ "$mode" = full ]; then
    cp "$plot" "$here/docs/performance.svg"
    echo "Wrote docs/performance.md and docs/performance.svg."
fi
