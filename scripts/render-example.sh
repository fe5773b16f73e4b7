#!/usr/bin/env bash
# Installs the dependencies, builds tessra-render in build/ and renders the Cornell box
# example to a PNG, whose path it prints last. Extra arguments go to tessra-render
# (for example --width 512 --height 512).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release ${TESSRA_CMAKE_ARGS:-} >/dev/null
cmake --build build -j"$jobs" --target tessra-render >/dev/null
mkdir -p out
build/tessra-render examples/cornell-box.json -o out/cornell-box.png "$@"
echo "$(pwd)/out/cornell-box.png"
