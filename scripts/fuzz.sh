#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan on) and runs each for the given
# number of seconds (default 60), starting from generated seed images, the JSON scenes in
# fuzz/json-seeds and the corpus left by earlier runs. Prints executions and crashes per
# target; exits non-zero when a target found a crash (the input is kept in
# build-fuzz/artifacts/).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSRA_CUDA=OFF \
  -DTESSRA_FUZZ=ON -DTESSRA_SANITIZE=address,undefined -DTESSRA_BUILD_TESTS=OFF -DTESSRA_BUILD_BENCH=OFF \
  -DTESSRA_BUILD_APP=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_texture fuzz_scene fuzz_json fuzz_make_seeds
mkdir -p "$build/seeds/texture" "$build/seeds/scene" "$build/corpus/texture" "$build/corpus/scene" "$build/corpus/json" \
  "$build/artifacts"
rm -rf "$build/seeds/json"
cp -r fuzz/json-seeds "$build/seeds/json"
ASAN_OPTIONS=detect_leaks=0 "$build/fuzz/fuzz_make_seeds" "$build/seeds/texture"
# A few fixed byte strings start the scene fuzzer off away from the empty scene.
for i in 1 2 3 4; do
  head -c $((64 * i)) /dev/urandom >"$build/seeds/scene/random-$i" 2>/dev/null || true
done
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$PWD/fuzz/lsan.supp
status=0
for target in texture scene json; do
  log="$build/fuzz-$target.log"
  touch "$log.start"
  set +e
  extra=()
  [ "$target" = json ] && extra=(-dict=fuzz/json.dict)
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=3072 -print_final_stats=1 "${extra[@]}" \
    -artifact_prefix="$build/artifacts/$target-" "$build/corpus/$target" "$build/seeds/$target" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  crashes=$(find "$build/artifacts" -name "$target-*" -newer "$log.start" | wc -l)
  echo "fuzz_$target: $runs executions in ${seconds} s, exit $rc, $crashes crash inputs"
  if [ "$rc" -ne 0 ]; then
    tail -40 "$log"
    status=1
  fi
done
exit $status
