#!/usr/bin/env bash
# Builds Kelvo (Release) and runs the demo: a generated 96x96x64 phantom with white noise
# (sigma 0.1, fixed seed) is denoised by both stages; PSNR before and after and the time are
# printed, and a PNG with the noisy, denoised and difference slices is written.
# usage: scripts/demo.sh [OUT.png]    (default out/demo.png)
set -euo pipefail
cd "$(dirname "$0")/.."
png=${1:-out/demo.png}
. scripts/cmake_generator.sh
mapfile -t gen < <(generatorArgs build/release)
cmake -S . -B build/release "${gen[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target kelvo_demo kelvo
./build/release/cli/kelvo_demo "$png"
echo "the tool is at build/release/cli/kelvo (try: build/release/cli/kelvo --help)"
