#!/usr/bin/env bash
# Builds with the CUDA backend here and bundles the build with the shared libraries it
# needs into gpu-bundle/ (git-ignored), for a GPU machine that has no package registry.
# Then, on the GPU machine, from the repository root: scripts/gpu-run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
cmake -S . -B build-gpu -DCMAKE_BUILD_TYPE=Release -DTESSRA_CUDA=ON
cmake --build build-gpu -j"$(nproc)"
rm -rf gpu-bundle && mkdir -p gpu-bundle/lib
# Test, benchmark and application binaries, without the object files.
(cd build-gpu && find . -type f -perm -u+x ! -name '*.o' ! -path '*/CMakeFiles/*' -print0 |
  xargs -0 -I{} cp --parents {} ../gpu-bundle/)
cp build-gpu/CTestTestfile.cmake gpu-bundle/ 2>/dev/null || true
# Every shared library they load that is not part of the base system.
find gpu-bundle -type f -perm -u+x -print0 | xargs -0 ldd 2>/dev/null | awk '/=> \//{print $3}' | sort -u |
  grep -vE '/(libc|libm|libdl|libpthread|librt|ld-linux|libgcc_s|libstdc\+\+)[.-]' |
  xargs -r -I{} cp -L {} gpu-bundle/lib/
du -sh gpu-bundle
