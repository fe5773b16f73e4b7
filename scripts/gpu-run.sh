#!/usr/bin/env bash
# Runs on the GPU machine, from the repository root, after scripts/gpu-bundle.sh here
# (gpu-bundle/ is git-ignored, so it has to travel with the call, e.g. as a carried
# path). In order: a check that the CUDA backend is really in use, the CPU-versus-CUDA
# comparison, the test suite on the CUDA backend, compute-sanitizer's memcheck and
# initcheck over one small render, then the benchmarks. Everything shares one deadline
# of 8 minutes (TESSRA_GPU_DEADLINE seconds), well inside a device lease; a step that
# fails, times out or finds no time left makes the exit status non-zero. Output goes to
# standard output and, when OUT is set, to $OUT/gpu-run.log.
set -uo pipefail
bundle="$(cd "$(dirname "$0")/.." && pwd)/gpu-bundle/tessra-gpu.tar.gz"
examples="$(cd "$(dirname "$0")/.." && pwd)/examples"
log=${OUT:-/tmp}/gpu-run.log
deadline=$(($(date +%s) + ${TESSRA_GPU_DEADLINE:-480}))

main() {
  local failures=0
  # step LIMIT COMMAND...: runs with the smaller of LIMIT and what is left of the deadline.
  step() {
    local limit=$1 left
    shift
    left=$((deadline - $(date +%s)))
    if ((left < 5)); then
      echo "FAILED (no time left): $*"
      failures=$((failures + 1))
      return 1
    fi
    ((limit > left)) && limit=$left
    timeout -k 5 "$limit" "$@"
    local rc=$?
    if ((rc != 0)); then
      echo "FAILED (exit $rc$( ((rc == 124)) && echo ', timed out')): $*"
      failures=$((failures + 1))
    fi
    return $rc
  }

  local dir
  dir=$(mktemp -d)
  tar -C "$dir" -xzf "$bundle" || { echo "FAILED: cannot unpack $bundle"; return 1; }
  cd "$dir" || return 1
  export LD_LIBRARY_PATH="$PWD/lib:${LD_LIBRARY_PATH:-}"
  export TESSRA_BENCH_MESH="$PWD/share/Wuson.ply"
  local cores
  cores=$(nproc)
  nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv

  echo "== The CUDA backend is in use"
  local devices
  devices=$(./app/tessra-render --list-devices)
  echo "$devices"
  if ! grep -q '^auto   picks cuda$' <<<"$devices"; then
    echo "FAILED: the CUDA backend is not in use; nothing below would test it"
    return 1
  fi

  echo "== CPU-versus-CUDA comparison"
  step 90 ./tests/test_backends >backends.txt 2>&1
  cat backends.txt
  if grep -q '^\[  SKIPPED \]' backends.txt; then
    echo "FAILED: the comparison skipped itself"
    failures=$((failures + 1))
  fi

  echo "== Test suite with the renderer tests on the CUDA backend"
  local t
  for t in tests/test_*; do
    [ "$t" = tests/test_backends ] && continue
    TESSRA_TEST_BACKEND=cuda step 90 "$t" --gtest_brief=1
  done

  echo "== compute-sanitizer on one small render"
  local sanitizer
  sanitizer=$(command -v compute-sanitizer || ls share/compute-sanitizer/compute-sanitizer \
    /usr/local/cuda/bin/compute-sanitizer 2>/dev/null | head -1)
  if [ -z "$sanitizer" ]; then
    echo "FAILED: compute-sanitizer not found"
    failures=$((failures + 1))
  else
    local tool
    for tool in memcheck initcheck; do
      step 120 "$sanitizer" --tool "$tool" --error-exitcode 1 ./app/tessra-render "$examples/cornell-box.json" \
        --device cuda --width 64 --height 64 -q -o "$dir/sanitizer-$tool.png"
    done
  fi

  echo "== Rays: CUDA backend, then the CPU backend on 1, 2 and $cores threads"
  TESSRA_TEST_BACKEND=cuda TESSRA_BENCH_THREADS=$cores step 60 ./bench/bench_rays --benchmark_counters_tabular=true
  TESSRA_BENCH_THREADS=1,2,$cores step 60 ./bench/bench_rays --benchmark_counters_tabular=true \
    --benchmark_filter='BM_Rays/(100k|1M)/'
  echo "== Renders on the CUDA backend"
  TESSRA_TEST_BACKEND=cuda step 60 ./bench/bench_render --benchmark_counters_tabular=true
  TESSRA_TEST_BACKEND=cuda step 45 ./bench/bench_gi --benchmark_counters_tabular=true --benchmark_min_time=0.2

  echo "== $failures failed step(s), $((deadline - $(date +%s))) s of the deadline left"
  return $((failures > 0))
}

main 2>&1 | tee "$log"
exit "${PIPESTATUS[0]}"
