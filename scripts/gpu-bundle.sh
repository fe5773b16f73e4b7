#!/usr/bin/env bash
# Builds with the CUDA backend here and bundles the build with the shared libraries it
# needs into gpu-bundle/ (git-ignored, at most 64 MiB), for a GPU machine that has no
# package registry. Then, on the GPU machine, from the repository root, with gpu-bundle
# carried along: scripts/gpu-run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
cmake -S . -B build-gpu -DCMAKE_BUILD_TYPE=Release -DTESSRA_CUDA=ON
cmake --build build-gpu -j"$(nproc)"
rm -rf gpu-bundle && mkdir -p gpu-bundle/lib
# Test, benchmark and application binaries, without the object files.
(cd build-gpu && find . -type f -perm -u+x ! -name '*.o' ! -path '*/CMakeFiles/*' -print0 |
  xargs -0 -I{} cp --parents {} ../gpu-bundle/)
# Every shared library they load that is not part of the base system; the C++ runtime
# travels too, in case the GPU machine's is older.
find gpu-bundle -type f -perm -u+x -print0 | xargs -0 ldd 2>/dev/null | awk '/=> \//{print $3}' | sort -u |
  grep -vE '/(libc|libm|libdl|libpthread|librt|ld-linux)[.-]' |
  xargs -r -I{} cp -L {} gpu-bundle/lib/
# The real mesh of the ray benchmark.
mkdir -p gpu-bundle/share && cp /usr/share/assimp/models/PLY/Wuson.ply gpu-bundle/share/
size=$(du -sm gpu-bundle | cut -f1)
echo "gpu-bundle: ${size} MiB"
[ "$size" -le 64 ] || { echo "gpu-bundle is over 64 MiB" >&2; exit 1; }
