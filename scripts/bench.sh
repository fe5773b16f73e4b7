#!/usr/bin/env bash
# Every benchmark from one command: installs, builds in Release, then runs the ray,
# render and global-illumination benchmarks and renders each example scene at 512 x 512
# and 1024 x 1024 with the time of each stage. Output: standard output and bench-out/.
# TESSRA_BENCH_QUICK=1 skips the 1024 x 1024 example renders (the materials scene alone
# takes several minutes there on two cores).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release ${TESSRA_CMAKE_ARGS:-} >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
out=bench-out
mkdir -p "$out"
{
  echo "== $(date -u +%FT%TZ) $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)"
  build/bench/bench_rays --benchmark_counters_tabular=true --benchmark_out="$out/rays.json" --benchmark_out_format=json
  build/bench/bench_render --benchmark_counters_tabular=true --benchmark_out="$out/render.json" --benchmark_out_format=json
  build/bench/bench_gi --benchmark_counters_tabular=true --benchmark_out="$out/gi.json" --benchmark_out_format=json
  sizes=(512)
  [ "${TESSRA_BENCH_QUICK:-0}" = 1 ] || sizes+=(1024)
  for scene in examples/*.json; do
    for s in "${sizes[@]}"; do
      name=$(basename "$scene" .json)
      echo "== $name $s x $s"
      build/tessra-render "$scene" -o "$out/$name-$s.png" --width "$s" --height "$s" --stage-times -q
    done
  done
} 2>&1 | tee "$out/bench.log"
