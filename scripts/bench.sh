#!/usr/bin/env bash
# Measures mzupdater against its floors (QJsonDocument::fromJson on the same bytes; a bare
# loopback GET plus that parse) and how long a check blocks the host's event loop, prints
# the table with what else the machine was doing, and refreshes docs/performance.md and
# docs/performance.svg. On a fresh Debian machine, run as root, it first installs what is
# missing (Google Benchmark, gnuplot). Several minutes on two cores from a clean clone.
#   ./scripts/bench.sh           the full run: 5 repetitions (15 checks per host figure)
#   ./scripts/bench.sh --quick   short runs, 3 checks per host figure, docs left alone; the
#                                page it would write is build/bench/performance.md
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/lib.sh"

mode=full
for arg in "$@"; do
    case "$arg" in
    --quick) mode=quick ;;
    -h | --help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench.sh: unknown argument '$arg' (see --help)" >&2; exit 64 ;;
    esac
done

mzu_require_packages libbenchmark-dev gnuplot-nox
build="$here/build/bench"
# The tool's code is built too, for the lint benchmarks.
mzu_configure "$build" -DCMAKE_BUILD_TYPE=Release -DMZUPDATER_DEVELOPER=ON \
    -DMZUPDATER_BUILD_BENCH=ON -DBUILD_TESTING=OFF -DMZUPDATER_BUILD_TOOLS=ON \
    -DMZUPDATER_BUILD_EXAMPLES=OFF
cmake --build "$build" --parallel "$(nproc)" --target mzupdater_bench mzupdater_bench_report \
    -- --no-print-directory >"$build/build.log" 2>&1 \
    || { cat "$build/build.log"; echo "bench.sh: build failed" >&2; exit 1; }

# Repetitions are interleaved at random, so that a burst of load elsewhere on the machine
# spreads over all the benchmarks instead of landing on one of them.
# Each host-thread figure is one check per repetition: its largest and its median.
if [ "$mode" = full ]; then
    run=(--benchmark_repetitions=5 --benchmark_min_time=0.5 --host_repetitions=15)
else
    run=(--benchmark_repetitions=1 --benchmark_min_time=0.02 --host_repetitions=3)
fi

# pid, CPU ticks (user + system) and name of every process, from /proc.
process_ticks()
{
    cat /proc/[0-9]*/stat 2>/dev/null | awk '{
        from = index($0, "("); to = 0
        for (i = length($0); i > from; i--) if (substr($0, i, 1) == ")") { to = i; break }
        split(substr($0, to + 2), f, " ")
        printf "%s\t%d\t%s\n", $1, f[12] + f[13], substr($0, from + 1, to - from - 1) }'
}
# The CPUs' busy ticks (all but idle and iowait) since boot.
busy_ticks() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9 }' /proc/stat; }
# The CPU seconds of this shell's finished children, from the "times" builtin.
children_seconds()
{
    awk 'NR == 2 { t = 0; for (i = 1; i <= 2; i++) { split($i, p, /[ms]/); t += p[1] * 60 + p[2] }
        printf "%.2f\n", t }' "$1"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
process_ticks >"$build/processes-before.txt"
busy_before=$(busy_ticks)
times >"$build/times-before.txt"
started=$(date +%s.%N)
echo "Running the benchmarks ($mode; the console log is $build/bench.log) ..."
"$build/bench/mzupdater_bench" "${run[@]}" --benchmark_filter=-host/ \
    --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true --benchmark_out="$build/bench.json" \
    --benchmark_out_format=json --maxrss_out="$build/maxrss.txt" >"$build/bench.log" 2>&1 \
    || { tail -20 "$build/bench.log"; echo "bench.sh: the benchmarks failed" >&2; exit 1; }
# The host figures in a process of their own: the other benchmarks free hundreds of MiB of
# small blocks on the main thread, and glibc sorts them during whichever allocations come
# next there, a debt of milliseconds that a host's process does not carry for us.
"$build/bench/mzupdater_bench" "${run[@]}" --benchmark_filter=^host/ \
    --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true --benchmark_out="$build/bench-host.json" \
    --benchmark_out_format=json >>"$build/bench.log" 2>&1 \
    || { tail -20 "$build/bench.log"; echo "bench.sh: the benchmarks failed" >&2; exit 1; }
times >"$build/times-after.txt"
ended=$(date +%s.%N)
busy_after=$(busy_ticks)
process_ticks >"$build/processes-after.txt"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# What else the machine was doing: the CPU time of other processes during the run (the
# machine's busy time less the benchmarks' own, so processes that came and went count
# too), and the busiest of those still running at the end.
ticks=$(getconf CLK_TCK)
own=$(awk -v a="$(children_seconds "$build/times-before.txt")" \
    -v b="$(children_seconds "$build/times-after.txt")" 'BEGIN { printf "%.1f", b - a }')
busiest=$(awk -F'\t' -v hz="$ticks" 'NR == FNR { before[$1 FS $3] = $2; next }
    { d = ($2 - before[$1 FS $3]) / hz; if (d > 0) { cpu[$3] += d; n[$3]++ } }
    END { for (c in cpu) if (cpu[c] >= 0.1) printf "%.1f\t%s\t%d\n", cpu[c], c, n[c] }' \
    "$build/processes-before.txt" "$build/processes-after.txt" | sort -rn | head -5 \
    | awk -F'\t' '{ printf "%s%s%s (%s s)", (NR > 1 ? ", " : ""), $2, ($3 > 1 ? " ×" $3 : ""), $1 }')
awk -v wall="$(awk -v a="$started" -v b="$ended" 'BEGIN { print b - a }')" \
    -v busy="$(( busy_after - busy_before ))" -v hz="$ticks" -v cpus="$(nproc)" -v own="$own" \
    -v lb="$load_before" -v la="$load_after" -v busiest="${busiest:-none}" 'BEGIN {
    others = busy / hz - own; if (others < 0) others = 0
    printf "What the machine was doing: load average %s before the run and %s after. ", lb, la
    printf "In its %.0f s the %d CPUs were busy for %.1f CPU-seconds of %.0f: ", wall, cpus,
        busy / hz, wall * cpus
    printf "%.1f for the benchmarks, %.1f for everything else. ", own, others
    printf "Busiest other processes still running at the end, by name, CPU time during the run: %s.\n",
        busiest }' >"$build/machine.txt"

command="./scripts/bench.sh${*:+ $*}"
report=("$build/bench/mzupdater_bench_report" "$build/bench.json" "$build/bench-host.json" --maxrss "$build/maxrss.txt"
    --plot-data "$build/plot.dat" --machine "$build/machine.txt" --command "$command")
if [ "$mode" = full ]; then
    report+=(--markdown "$here/docs/performance.md")
else
    cp "$here/docs/performance.md" "$build/performance.md"
    report+=(--markdown "$build/performance.md")
fi
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
