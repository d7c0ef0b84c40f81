#!/usr/bin/env bash
# Runs one fuzz target for SECONDS: builds it with clang (libFuzzer, ASan and
# UBSan) into build-fuzz/, fuzzes starting from fuzz/corpus/TARGET/, then adds
# to that corpus the new inputs that reach code the corpus did not, and drops
# the fuzzer's own inputs that no longer add any. A crashing
# input is kept as build-fuzz/crashes/TARGET/crash-* (move it into the corpus
# once it is fixed). Further arguments go to the fuzzer (-jobs, -dict, …).
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer options]
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer options]; targets: $(ls fuzz/corpus | tr '\n' ' ')"
target="${1:?$usage}"
seconds="${2:?$usage}"
shift 2
[ -d "fuzz/corpus/$target" ] || { echo "$usage" >&2; exit 2; }

BUILD_DIR="${BUILD_DIR:-build-fuzz}"
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHBT_FUZZ=ON \
    -DHBT_BUILD_TESTS=OFF -DHBT_BUILD_BENCH=OFF -DHBT_BUILD_UI=OFF "${launcher[@]}"
fi
cmake --build "$BUILD_DIR" --target "fuzz_$target"

fuzzer="$BUILD_DIR/fuzz/fuzz_$target"
corpus="fuzz/corpus/$target"
crashes="$BUILD_DIR/crashes/$target"
found="$BUILD_DIR/found/$target"
mkdir -p "$crashes" "$found"
# New inputs land in $found first. Afterwards the corpus is minimised: the
# named inputs (real samples, and the inputs of faults once found) stay, and of
# the inputs the fuzzer named by their hash only those that add coverage.
status=0
"$fuzzer" -max_total_time="$seconds" -timeout=25 -artifact_prefix="$crashes/" -print_final_stats=1 \
  "$@" "$found" "$corpus" || status=$?
minimal="$BUILD_DIR/minimal/$target"
rm -rf "$minimal" && mkdir -p "$minimal"
find "$corpus" -regextype posix-extended -type f ! -regex '.*/[0-9a-f]{40}' -exec cp {} "$minimal/" \;
"$fuzzer" -merge=1 "$minimal" "$corpus" "$found" 2>&1 | grep -E "MERGE-OUTER: [0-9]+ new files" || true
find "$corpus" -regextype posix-extended -type f -regex '.*/[0-9a-f]{40}' -delete
find "$minimal" -regextype posix-extended -type f -regex '.*/[0-9a-f]{40}' -exec mv {} "$corpus/" \;
rm -rf "$found" "$minimal"
echo "corpus: $(ls "$corpus" | wc -l) inputs"
exit "$status"
