#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for SECONDS seconds
# (default 60) on a copy of its seed corpus in fuzz/corpus/<target>. A crash stops the run and
# leaves its input as build-fuzz/crash-*: make it a regression test.
#   scripts/run-fuzz.sh [SECONDS] [target...]     targets: config csv_import saved_state h5_records
#                                                 order_sequence
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
((${#targets[@]})) || targets=(config csv_import saved_state h5_records order_sequence)
KORVEX_WITH_FUZZ=1 scripts/install-deps.sh
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1"
if [[ ! -f build-fuzz/build.ninja ]]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DKORVEX_BUILD_TESTS=OFF -DKORVEX_BUILD_BENCH=OFF -DKORVEX_BUILD_FUZZ=ON -DKORVEX_BUILD_PYTHON=OFF \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
fi
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/%/_fuzz}"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for t in "${targets[@]}"; do
  corpus="build-fuzz/corpus/$t"
  mkdir -p "$corpus"
  cp -n fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true
  echo "fuzzing $t for ${seconds}s"
  (cd build-fuzz && "bin/${t}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
     "corpus/$t" 2>&1 | grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)" || true)
  [[ -z "$(ls build-fuzz/crash-* 2>/dev/null)" ]] || { echo "crash found: build-fuzz/crash-*"; exit 1; }
done
