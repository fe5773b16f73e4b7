#!/usr/bin/env bash
# Builds with the CUDA backend here and packs the build with the shared libraries it
# needs into gpu-bundle/tessra-gpu.tar.gz (git-ignored, at most 64 MiB: Embree alone is
# 44 MiB unpacked), for a GPU machine that has no package registry. Then, on the GPU
# machine, from the repository root, with gpu-bundle/ carried along: scripts/gpu-run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
cmake -S . -B build-gpu -DCMAKE_BUILD_TYPE=Release -DTESSRA_CUDA=ON
cmake --build build-gpu -j"$(nproc)"
stage=build-gpu/bundle
rm -rf "$stage" gpu-bundle && mkdir -p "$stage/lib" "$stage/share" gpu-bundle
# Test, benchmark and application binaries, without the object files.
(cd build-gpu && find . -type f -perm -u+x ! -name '*.o' ! -path '*/CMakeFiles/*' ! -path './bundle/*' -print0 |
  xargs -0 -I{} cp --parents {} bundle/)
# Every shared library they load that is not part of the base system; the C++ runtime
# travels too, in case the GPU machine's is older.
find "$stage" -type f -perm -u+x -print0 | xargs -0 ldd 2>/dev/null | awk '/=> \//{print $3}' | sort -u |
  grep -vE '/(libc|libm|libdl|libpthread|librt|ld-linux)[.-]' |
  xargs -r -I{} cp -L {} "$stage/lib/"
# The real mesh of the ray benchmark.
cp /usr/share/assimp/models/PLY/Wuson.ply "$stage/share/"
tar -C "$stage" -czf gpu-bundle/tessra-gpu.tar.gz .
size=$(du -m gpu-bundle/tessra-gpu.tar.gz | cut -f1)
echo "gpu-bundle/tessra-gpu.tar.gz: ${size} MiB ($(du -sm "$stage" | cut -f1) MiB unpacked)"
[ "$size" -lt 64 ] || { echo "gpu-bundle is over 64 MiB" >&2; exit 1; }
