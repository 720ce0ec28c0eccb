#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on, every library instrumented) into
# ./build-fuzz (or $FUZZ_BUILD_DIR) and runs each of them.
#
#   scripts/fuzz.sh [--smoke]          30 s per target (what CI runs)
#   scripts/fuzz.sh --long             1 hour per target
#   scripts/fuzz.sh --time 600 jsonrpc awattar
#   scripts/fuzz.sh --leaks ...        also check every input for leaks
#
# Targets: jsonrpc awattar energycharts energyconf tuningfile spotmarketcache forecastsolar (default: all).
# The seed corpora in fuzz/corpus/<target> are only read; what the fuzzer
# learns is kept in <build dir>/corpus/<target> and reused by the next run.
# A crash, a sanitizer report, a slow input (over 10 s) or an input that
# needs more than 2 GB fails the run (with --leaks, a leak too); the input is saved as
# <build dir>/artifacts/<target>-crash-... and replays with
#   <build dir>/bin/fuzz_<target> <that file>
# (add TAVRO_FUZZ_VERBOSE=1 to see the plugin's log).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

seconds=30
leaks=0
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --smoke) seconds=30 ;;
        --long) seconds=3600 ;;
        --time) seconds="$2"; shift ;;
        --leaks) leaks=1 ;;
        -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
        -*) echo "Unknown option $1" >&2; exit 2 ;;
        *) targets+=("$1") ;;
    esac
    shift
done
if [ ${#targets[@]} -eq 0 ]; then
    targets=(jsonrpc awattar energycharts energyconf tuningfile spotmarketcache forecastsolar)
fi

scripts/install-deps.sh

build_dir="${FUZZ_BUILD_DIR:-build-fuzz}"
# A warning of clang's in our code fails the build, as gcc's does in the
# other builds.
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRO_FUZZ=ON -DTAVRO_WERROR=ON \
    -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
cmake --build "$build_dir" -j"$(nproc)" --target tavro-fuzzers

# Telling a leak inside Qt from one of ours needs full stacks for every
# allocation (Qt is built without frame pointers), which makes each input
# about ten times slower. So by default the fuzzers hunt crashes and
# undefined behaviour at full speed, and leaks are left to the test suite,
# which replays every corpus file under LeakSanitizer (fuzzreplay_<target>
# in scripts/sanitize.sh).
if [ "$leaks" = 1 ]; then
    export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:fast_unwind_on_malloc=0"
else
    export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=0"
fi
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan-suppressions.txt:print_suppressions=0"
if [ -x /usr/lib/llvm-14/bin/llvm-symbolizer ]; then
    export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
fi

mkdir -p "$build_dir/artifacts" "$build_dir/logs"
summary=()
failed=0
for target in "${targets[@]}"; do
    binary="$build_dir/bin/fuzz_$target"
    seeds="fuzz/corpus/$target"
    corpus="$build_dir/corpus/$target"
    log="$build_dir/logs/$target.log"
    if [ ! -x "$binary" ] || [ ! -d "$seeds" ]; then
        echo "No fuzz target $target" >&2
        exit 2
    fi
    mkdir -p "$corpus"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536
             -print_final_stats=1 -artifact_prefix="$build_dir/artifacts/$target-")
    if [ -f "fuzz/$target.dict" ]; then
        options+=(-dict="fuzz/$target.dict")
    fi
    echo "Fuzzing $target for $seconds s (log: $log)"
    status=0
    "$binary" "${options[@]}" "$corpus" "$seeds" > "$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    inputs=$(find "$corpus" -type f | wc -l)
    if [ "$status" -ne 0 ]; then
        failed=1
        tail -n 60 "$log"
        summary+=("$target: FAILED after ${runs:-?} executions (exit $status), see $log")
    else
        summary+=("$target: ${runs:-?} executions, 0 crashes, corpus $inputs inputs")
    fi
done

echo "Fuzzing summary ($seconds s per target):"
for line in "${summary[@]}"; do
    echo "  $line"
done
exit "$failed"
