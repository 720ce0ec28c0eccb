#!/usr/bin/env bash
# Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer
# into ./build-sanitize (or $SANITIZE_BUILD_DIR), smoke-runs every fuzz target
# (scripts/fuzz.sh, 30 s each; SKIP_FUZZ=1 leaves it out) and runs the whole
# test suite in the sanitizer build. Any sanitizer report aborts the process
# that made it, so the test (or the fuzz run) fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
scripts/install-deps.sh

build_dir="${SANITIZE_BUILD_DIR:-build-sanitize}"
# -O1 with line tables only: about half the compile time of -O2 -g under the
# sanitizers, and the reports still name file and line. Warnings fail the
# ordinary build of scripts/test.sh, not this one: gcc's flow analysis at -O1
# under the sanitizers reports members of the standard library's own types
# (std::function inside <regex>) as maybe uninitialized.
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRO_SANITIZE=ON -DTAVRO_WERROR=OFF \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
cmake --build "$build_dir" -j"$(nproc)"

if [ "${SKIP_FUZZ:-0}" != "1" ]; then
    scripts/fuzz.sh --smoke
fi

# Reports are fatal. Leaks are reported too; only leaks inside Qt and the
# system libraries are suppressed, which needs full stacks for every
# allocation (Qt is built without frame pointers).
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:fast_unwind_on_malloc=0:check_initialization_order=1:strict_init_order=1:detect_odr_violation=2"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan-suppressions.txt:print_suppressions=0"
# The random households check the limit's bound in the plain build; here they
# look for memory and undefined-behaviour faults, for which a few dozen
# households reach every code path and the sanitizers' slowdown stays bearable.
export TAVRO_RANDOM_HOUSEHOLDS="${TAVRO_RANDOM_HOUSEHOLDS:-40}"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
