#!/usr/bin/env bash
# Builds Quillet and runs the whole suite twice: a plain debug build, then a build with
# AddressSanitizer and UndefinedBehaviorSanitizer (coroutines that outlive what they await show up
# there first). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DQUILLET_BUILD_BENCH=OFF "$@"
    cmake --build "$dir" -j "$jobs"
    # The end-to-end tests drive real tmux servers and loopback HTTP on a loaded 2-core machine;
    # a failing test gets one more run, and a test that fails twice still fails the suite. The
    # run's output shows every first failure, so a flaky test stays visible.
    (cd "$dir" && ctest --output-on-failure -j "$jobs" --repeat until-pass:2)
}

echo "== debug build =="
run_suite build-test -DCMAKE_BUILD_TYPE=Debug -DQUILLET_BUILD_BENCH=ON

echo "== sanitizer build =="
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON
