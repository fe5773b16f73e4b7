#!/usr/bin/env bash
# Runs on the GPU machine, from the repository root, after scripts/gpu-bundle.sh here
# (gpu-bundle/ is git-ignored, so it has to travel with the call, e.g. as a carried
# path): the test suite on the CUDA backend, the CPU-versus-CUDA comparison and the
# benchmarks, in one call of about five minutes. Output goes to standard output and,
# when OUT is set, to $OUT/gpu-run.log.
set -uo pipefail
bundle="$(cd "$(dirname "$0")/.." && pwd)/gpu-bundle/tessra-gpu.tar.gz"
dir=$(mktemp -d)
tar -C "$dir" -xzf "$bundle" || { echo "cannot unpack $bundle" >&2; exit 1; }
cd "$dir"
export LD_LIBRARY_PATH="$PWD/lib:${LD_LIBRARY_PATH:-}"
log=${OUT:-/tmp}/gpu-run.log
cores=$(nproc)
export TESSRA_BENCH_MESH="$PWD/share/Wuson.ply"
{
  nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv
  echo "== CPU-versus-CUDA comparison"
  timeout 120 ./tests/test_backends
  echo "== Test suite with the renderer tests on the CUDA backend"
  for t in tests/test_*; do TESSRA_TEST_BACKEND=cuda timeout 120 "$t" --gtest_brief=1 || echo "FAILED: $t"; done
  echo "== Rays: CUDA backend, then the CPU backend on 1, 2 and $cores threads; Embree on the same threads"
  TESSRA_TEST_BACKEND=cuda TESSRA_BENCH_THREADS=$cores timeout 240 ./bench/bench_rays --benchmark_counters_tabular=true
  TESSRA_BENCH_THREADS=1,2,$cores timeout 240 ./bench/bench_rays --benchmark_counters_tabular=true \
    --benchmark_filter='BM_Rays/(100k|1M)/'
  echo "== Renders on the CUDA backend"
  TESSRA_TEST_BACKEND=cuda timeout 180 ./bench/bench_render --benchmark_counters_tabular=true
  TESSRA_TEST_BACKEND=cuda timeout 120 ./bench/bench_gi --benchmark_counters_tabular=true --benchmark_min_time=0.2
} 2>&1 | tee "$log"
