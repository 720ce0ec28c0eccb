#!/usr/bin/env bash
# Builds the benchmarks in a Release tree (./build-bench or $BUILD_DIR) and
# runs them in one go, so the ratios between the numbers hold on a noisy
# machine: the micro benchmarks, the plugin in a simulated household (speed
# with one charger, heap over a week with ten) and the household simulator
# on sim/scenarios/sunny-day.json.
# Extra arguments go to the micro benchmarks (e.g. --benchmark_filter=Share).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build_dir="${BUILD_DIR:-build-bench}"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target tavro-energy-bench tavro-energy-bench-household tavro-energy-sim
bin="$build_dir/bin"

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "TZ: ${TZ-(unset)}"
echo
"$bin/tavro-energy-bench" --benchmark_counters_tabular=true "$@"
echo
"$bin/tavro-energy-bench-household" --chargers 1 --days 7
echo
# Heap figures with the malloc thread cache off: chunks it keeps would
# otherwise count as in use and look like growth.
GLIBC_TUNABLES=glibc.malloc.tcache_count=0 "$bin/tavro-energy-bench-household" --chargers 10 --days 7
echo

# The household simulator on sunny-day.json, three runs; it reports the CPU
# time of its run loop itself (start-up, price server and report excluded).
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
simulate() {
    for run in 1 2 3; do
        "$bin/tavro-energy-sim" --out "$out" sim/scenarios/sunny-day.json >/dev/null 2>"$out/sim.log"
        sed -n 's/^Simulated \([0-9]*\) minutes in \([0-9]*\) ms (\([0-9]*\) ms CPU)[.;].*/\1 \2 \3/p' "$out/sim.log"
    done | sort -n -k3 | awk '
        { minutes = $1; wall[NR] = $2; cpu[NR] = $3 }
        END {
            if (NR == 0) { print "The simulator reported no run time."; exit 1 }
            printf "%-34s %12s\n", "Simulator (sunny-day.json)", "value"
            printf "%-34s %12d\n", "simulated minutes", minutes
            printf "%-34s %12s\n", "run loop CPU ms (3 runs)", cpu[1] "/" cpu[2] "/" cpu[3]
            printf "%-34s %12.0f\n", "minutes per CPU second (median)", minutes / (cpu[2] / 1000.0)
            printf "%-34s %12.0f\n", "CPU seconds per year (median)", 525600 * cpu[2] / 1000.0 / minutes
        }'
}
simulate

# With TZ unset the C library checks the time-zone file on every conversion
# of a local date-time (a stat() per call), which dominates the cycle; the
# same rows with TZ set show what the code itself costs.
if [ -z "${TZ-}" ]; then
    echo
    echo "Again with TZ=:/etc/localtime"
    export TZ=:/etc/localtime
    "$bin/tavro-energy-bench" --benchmark_counters_tabular=true --benchmark_filter='UpdateCycle|Schedule|Overload'
    echo
    simulate
fi
