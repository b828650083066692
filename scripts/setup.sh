#!/usr/bin/env bash
# Installs everything Kelvo needs on a fresh Debian 12 machine. Safe to run again:
# apt-get skips what is already installed, and the package lists are only refreshed
# when a package is missing.
set -euo pipefail

PACKAGES=(
  # build and test tool chain
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev valgrind
  # GNU Octave and its MEX headers, for the kelvomex plug-in
  octave liboctave-dev
  # file formats of the command-line tool
  libnifti2-dev libtiff-dev zlib1g-dev libdeflate-dev libpng-dev
  # Python module, its tests and the comparison benchmarks
  python3 python3-dev pybind11-dev python3-numpy python3-pytest
  python3-skimage python3-dipy python3-dask python3-distributed python3-zarr
  python3-matplotlib
  # real MRI volumes for the benchmarks and the README's figures (a primate T1 template)
  mricron-data
  # the format check of the test script
  clang-format
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: every package is already installed"
  exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
