#!/usr/bin/env bash
# Installs the dependencies, builds every target and runs every test on the CPU backend.
# With nvcc present the CUDA backend is compiled in too (TESSRA_CUDA=AUTO); its GPU
# tests skip themselves on a machine without a GPU.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release ${TESSRA_CMAKE_ARGS:-}
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
