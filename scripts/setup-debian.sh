#!/usr/bin/env bash
# Installs what Tessra builds against on a fresh Debian 12 machine. Safe to run again.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  libdevil-dev                         # texture loading (the library)
  libgtest-dev libbenchmark-dev        # tests and benchmarks
  libassimp-dev nlohmann-json3-dev libcli11-dev libopenexr-dev libpng-dev  # tessra-render
  libopenmpi-dev openmpi-bin           # tessra-render --mpi (optional: built in when found)
  libembree-dev                        # benchmark comparison only
  assimp-testmodels                    # a real mesh for the ray benchmark
  clang libclang-rt-14-dev             # fuzz targets (libFuzzer) in CI
  python3-dev pybind11-dev python3-pybind11  # the Python module, for /usr/bin/python3
  blender                              # the add-on and its tests (Blender 3.4, system Python 3.11)
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
