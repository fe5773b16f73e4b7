#!/usr/bin/env bash
# Installs the dependencies, builds every target and runs every test on the CPU backend.
# With nvcc present the CUDA backend is compiled in too (TESSRA_CUDA=AUTO); its GPU
# tests skip themselves on a machine without a GPU. Then the whole suite again on the
# strict CPU emulation (runtime/cpu/cpu_backend.h), and the sanitizer stages: the CPU
# backend with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer over the
# whole suite, ThreadSanitizer over the worker-pool and concurrency tests, and a short run of each fuzz
# target. TESSRA_QUICK=1 stops after the first stage.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release ${TESSRA_CMAKE_ARGS:-}
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
[ "${TESSRA_QUICK:-0}" = 1 ] && exit 0

echo "== Strict CPU emulation: blocks and threads shuffled, fresh memory poisoned, device memory hidden"
# The Python and Blender hosts and the farm (tessra-render's crops and Slurm bands) drive
# the library's kernels through the stages the library tests drive, through its API alone,
# and the ptxas check launches nothing: under the strict emulation they took two thirds of
# this stage's time and would catch nothing new.
TESSRA_CPU_STRICT=shuffle,poison,nohostread ctest --test-dir build --output-on-failure -j"$jobs" \
  -E '^(python_module|blender_addon|Ptxas\..*|Farm\.CropsAndSlurm.*)$'

echo "== AddressSanitizer + UndefinedBehaviorSanitizer (CPU backend)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSRA_CUDA=OFF -DTESSRA_BUILD_BENCH=OFF \
  -DTESSRA_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j"$jobs"
# The MPI stop tests time a rank's answer to Ctrl-C against mpirun's one-second kill;
# a sanitized rank in the middle of a tile answers too late, so they run in the stages
# above only.
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=0 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -E 'Mpi\.(CtrlC|ARankThatDies)'

echo "== ThreadSanitizer (CPU worker pool, concurrent renders)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSRA_CUDA=OFF -DTESSRA_BUILD_BENCH=OFF \
  -DTESSRA_BUILD_APP=OFF -DTESSRA_SANITIZE=thread >/dev/null
cmake --build build-tsan -j"$jobs" --target test_runtime test_determinism
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/tests/test_runtime
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/tests/test_determinism

echo "== Fuzzing smoke runs"
scripts/fuzz.sh "${TESSRA_FUZZ_SECONDS:-20}"
