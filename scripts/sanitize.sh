#!/usr/bin/env bash
# Builds every target with sanitizers and runs the tests there:
#   scripts/sanitize.sh address [ctest arguments]   ASan and UBSan, into build-asan/
#   scripts/sanitize.sh thread [ctest arguments]    TSan, into build-tsan/
# Any report fails the test that caused it. For example:
#   scripts/sanitize.sh address -L 'unit|integration'
#   scripts/sanitize.sh thread -R 'Core|Engine|Log|HttpsChecker'
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:?usage: scripts/sanitize.sh address|thread [ctest arguments]}"
shift
case "$kind" in
  address) BUILD_DIR=build-asan ;;
  thread) BUILD_DIR=build-tsan ;;
  *) echo "usage: scripts/sanitize.sh address|thread [ctest arguments]" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHBT_SANITIZE="$kind" \
    -DHBT_BUILD_BENCH=OFF "${launcher[@]}"
fi
cmake --build "$BUILD_DIR" -j "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" "$@"
