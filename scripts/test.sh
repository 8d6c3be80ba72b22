#!/usr/bin/env bash
# Builds everything twice (optimised, and with ASan+UBSan) and runs the tests in both,
# then for the box's target, armhf, under emulation (scripts/test-armhf.sh).
# Exits non-zero on any build or test failure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${JOBS:-2}
build=${BUILD_DIR:-build}
bash scripts/install-deps.sh

build_and_test() {
  local dir=$1; shift
  echo "== configure $dir"
  cmake -S . -B "$dir" "$@" >/dev/null
  echo "== build $dir"
  cmake --build "$dir" -j"$jobs"
  echo "== test $dir"
  (cd "$dir" && ctest --output-on-failure --no-tests=error --timeout 900)
}

build_and_test "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
build_and_test "$build-asan" -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON -DBUILD_BENCH=OFF

# The thread-safety test once more under ThreadSanitizer.
unset ASAN_OPTIONS UBSAN_OPTIONS
echo "== configure $build-tsan"
cmake -S . -B "$build-tsan" -DCMAKE_BUILD_TYPE=Debug -DTSAN=ON -DBUILD_BENCH=OFF >/dev/null
echo "== build $build-tsan"
cmake --build "$build-tsan" -j"$jobs" --target test_ied_concurrency
echo "== test $build-tsan"
(cd "$build-tsan" && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure --no-tests=error --timeout 900 -R '^ied_concurrency$')

# The box's own target: the tests once more, cross-built for armhf and run under qemu,
# and the armhf package.
bash scripts/test-armhf.sh --no-root

echo "== all tests passed"
