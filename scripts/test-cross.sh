#!/usr/bin/env bash
# Cross-builds Kelvo for another platform and tests it here under emulation:
#   scripts/test-cross.sh windows   Windows x64 (mingw-w64, POSIX threads), run under wine
#   scripts/test-cross.sh arm64     64-bit ARM Linux (aarch64), run under qemu user mode
#
# Installs the cross compiler and the emulator with apt when missing, builds GoogleTest from
# Debian's sources with the cross compiler, cross-builds the engine, the C++ API, their unit
# tests and the `kelvo` tool (.npy files only: the NIfTI and TIFF libraries do not exist for
# these targets here), compiles the plug-in's gateway against Octave's MEX headers, runs the
# unit tests with CTest under the emulator, and denoises one .npy volume end to end with the
# cross-built tool, comparing it with the native tool's result. Exits 0 only when everything
# passed.
#
# Build trees go to build/cross-<target> (override the root with KELVO_BUILD_ROOT); the
# native tool is built in build/release, the tree of scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)

target=${1:-}
case "$target" in
  windows)
    packages=(g++-mingw-w64-x86-64-posix wine wine64)
    toolchain=$src/cmake/toolchain-windows-x86_64.cmake
    ;;
  arm64)
    packages=(g++-aarch64-linux-gnu qemu-user)
    toolchain=$src/cmake/toolchain-linux-aarch64.cmake
    ;;
  *)
    echo "usage: $0 windows|arm64" >&2
    exit 2
    ;;
esac

root=${KELVO_BUILD_ROOT:-build}
case "$root" in /*) ;; *) root=$src/$root ;; esac
dir=$root/cross-$target
jobs=${KELVO_JOBS:-$(nproc)}
. scripts/cmake_generator.sh
python=/usr/bin/python3

step() { printf '\n==== %s: %s ====\n' "$target" "$*"; }

step "packages"
packages+=(cmake googletest python3-numpy)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
else
  echo "every package is already installed"
fi

mkdir -p "$dir"
if [ "$target" = windows ]; then
  # A wine prefix of our own, created once (the first start takes a while).
  export WINEPREFIX=$dir/wine-prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    step "wine prefix"
    wineboot --init >/dev/null 2>&1 || true
    wineserver --wait || true
  fi
  run=("$src/cmake/wine-run.sh")
  hostPath() { winepath -w "$1" 2>/dev/null; }
else
  run=(qemu-aarch64 -L /usr/aarch64-linux-gnu)
  hostPath() { echo "$1"; }
fi

step "GoogleTest from /usr/src/googletest"
gtest=$dir/googletest-install
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  mapfile -t gen < <(generatorArgs "$dir/googletest")
  cmake -S /usr/src/googletest -B "$dir/googletest" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$gtest" -DBUILD_GMOCK=OFF \
        >/dev/null
  cmake --build "$dir/googletest" -j "$jobs"
  cmake --install "$dir/googletest" >/dev/null
fi
echo "installed in $gtest"

step "cross build"
# The plug-in's gateway is compiled (not linked: no MATLAB or Octave for the target) against
# Octave's MEX headers when they are installed.
mexHeaders=()
if command -v mkoctfile >/dev/null 2>&1; then
  mexHeaders=(-DKELVO_MEX_INCLUDE_DIR="$(mkoctfile -p OCTINCLUDEDIR)")
fi
mapfile -t gen < <(generatorArgs "$dir/build")
cmake -S . -B "$dir/build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DKELVO_WERROR=ON \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DGTest_DIR="$gtest/lib/cmake/GTest" \
      -DKELVO_BUILD_PYTHON=OFF -DKELVO_BUILD_BENCHMARKS=OFF \
      -DKELVO_CLI_NIFTI=OFF -DKELVO_CLI_TIFF=OFF "${mexHeaders[@]}" >/dev/null
cmake --build "$dir/build" -j "$jobs"

step "unit tests under emulation"
ctest --test-dir "$dir/build" --output-on-failure -j "$jobs"

step "end-to-end denoising compared with the native tool"
# The same configuration as scripts/test.sh's release tree, so that neither rebuilds the
# other's work; only the tool is built here.
mapfile -t gen < <(generatorArgs "$root/release")
cmake -S . -B "$root/release" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DKELVO_WERROR=ON \
      -DKELVO_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$root/release" -j "$jobs" --target kelvo
work=$dir/e2e
rm -rf "$work"
mkdir -p "$work"
# A piecewise-smooth phantom with edges and white noise of sigma 0.1, from a fixed seed.
"$python" - "$work/noisy.npy" <<'EOF'
import sys
import numpy as np
z, y, x = np.meshgrid(np.arange(20), np.arange(44), np.arange(52), indexing="ij")
clean = 0.3 + 0.4 * ((x - 26) ** 2 + (y - 22) ** 2 + 2 * (z - 10) ** 2 < 180)
clean += 0.2 * (x > 38) + 0.1 * np.sin(y / 5.0)
rng = np.random.default_rng(17)
np.save(sys.argv[1], (clean + rng.normal(0, 0.1, clean.shape)).astype(np.float32))
EOF
exe=$dir/build/cli/kelvo
if [ "$target" = windows ]; then exe=$exe.exe; fi
args=(--sigma 0.1 --threads 2 --quiet)
"$root/release/cli/kelvo" denoise "$work/noisy.npy" "$work/native.npy" "${args[@]}"
"$root/release/cli/kelvo" denoise "$work/noisy.npy" "$work/native-1.npy" --sigma 0.1 --threads 1 --quiet
# The cross-built tool replaces an existing output file, as it must on every platform.
echo "stale" >"$work/cross.npy"
"${run[@]}" "$exe" denoise "$(hostPath "$work/noisy.npy")" "$(hostPath "$work/cross.npy")" \
  "${args[@]}"
# A format left out of the cross build is refused with a message that says so.
if "${run[@]}" "$exe" denoise "$(hostPath "$work/noisy.nii")" "$(hostPath "$work/out.nii")" \
     --sigma 0.1 --quiet 2>"$work/refusal.txt"; then
  echo "FAILED: the cross-built tool accepted a NIfTI file it cannot read" >&2
  exit 1
fi
grep -q "no NIfTI support" "$work/refusal.txt" || { cat "$work/refusal.txt" >&2; exit 1; }
echo "refused as expected: $(cat "$work/refusal.txt")"
# Two native runs that differ only in their thread count give the scale of the differences
# that the order of floating-point additions makes; the cross-built result must stay within
# a fixed bound of that kind (the README's thread-count figures): root mean square below
# 1e-3 sigma and no sample more than 0.05 sigma away.
"$python" - "$work" <<'EOF'
import sys
import numpy as np
work, sigma = sys.argv[1], 0.1
noisy = np.load(f"{work}/noisy.npy")
native, native1, cross = (np.load(f"{work}/{n}.npy") for n in ("native", "native-1", "cross"))
if cross.shape != native.shape or cross.dtype != native.dtype:
    sys.exit(f"FAILED: cross result {cross.shape} {cross.dtype}, native {native.shape} {native.dtype}")
def figures(a, b):
    d = np.abs(a.astype(np.float64) - b)
    return np.sqrt(np.mean(d ** 2)), d.max(), np.mean(d > 1e-3 * sigma)
for name, (rms, largest, share) in (("native, 1 vs 2 threads", figures(native1, native)),
                                    ("cross vs native, 2 threads", figures(cross, native))):
    print(f"{name:28s} rms {rms:.3g}  max {largest:.3g}  samples beyond 1e-4: {100 * share:.3f} %")
rms, largest, _ = figures(cross, native)
gain = np.sqrt(np.mean((noisy.astype(np.float64) - native) ** 2))
if not np.isfinite(cross).all() or rms > 1e-3 * sigma or largest > 0.05 * sigma or gain < 0.5 * sigma:
    sys.exit("FAILED: the cross-built result differs from the native one beyond the tolerance")
print("end-to-end result agrees with the native build")
EOF

step "passed"
