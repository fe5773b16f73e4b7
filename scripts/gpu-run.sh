#!/usr/bin/env bash
# Runs on the GPU machine, from the repository root, after scripts/gpu-bundle.sh here:
# the test suite on the CUDA backend, the CPU-versus-CUDA comparison and the benchmarks,
# in one call. Output goes to standard output and, when OUT is set, to $OUT/gpu-run.log.
set -uo pipefail
cd "$(dirname "$0")/../gpu-bundle"
export LD_LIBRARY_PATH="$PWD/lib:${LD_LIBRARY_PATH:-}"
log=${OUT:-/tmp}/gpu-run.log
{
  nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv
  echo "== CPU-versus-CUDA comparison"
  ./tests/test_backends
  echo "== Test suite with the renderer tests on the CUDA backend"
  for t in tests/test_*; do TESSRA_TEST_BACKEND=cuda "$t" --gtest_brief=1 || echo "FAILED: $t"; done
  echo "== Benchmarks"
  for b in bench/bench_*; do "$b" --benchmark_counters_tabular=true --benchmark_min_time=0.2; done
} 2>&1 | tee "$log"
