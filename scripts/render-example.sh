#!/usr/bin/env bash
# Installs the dependencies, builds tessra-render in build/ and renders the Cornell box
# with global illumination (photon map and final gather, settings derived from the
# scene) and adaptive antialiasing at 512 x 512 to a PNG, whose path it prints last.
# Extra arguments go to tessra-render (for example --aa 4).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release ${TESSRA_CMAKE_ARGS:-} >/dev/null
cmake --build build -j"$jobs" --target tessra-render >/dev/null
mkdir -p out
build/tessra-render examples/cornell-photon-mapping.json -o out/cornell-box.png --width 512 --height 512 "$@"
echo "$(pwd)/out/cornell-box.png"
