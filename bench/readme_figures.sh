#!/usr/bin/env bash
# Regenerates every figure the README quotes, section by section, each printed under the
# command that produced it, so that the README can be checked against (and updated from) one
# run on the machine at hand. Figures move by a few percent between runs on a shared machine
# (times more than PSNRs, which are deterministic for a given thread count).
#
# usage: bench/readme_figures.sh [SECTION ...]
#   demo     the README's first command: phantom PSNR and time            (~10 s)
#   mri      real T1 with magnitude noise, masks, NaN, PSD axis order     (~25 min)
#   speed    tool vs scikit-image's non-local means; side-by-side timings (~10 min)
#   memory   peak memory of a 4096x4096 image and a 512^3 volume          (~10 min)
#   quality  the comparison table against the alternatives                (~40 min)
#   dask     chunked runs against whole-volume runs                       (~5 min)
# Without arguments: demo mri speed memory. The build folder is build/release (set
# KELVO_BUILD to use another); it is built first.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KELVO_BUILD:-build/release}
py=/usr/bin/python3
export PYTHONPATH="$build/python/package${PYTHONPATH:+:$PYTHONPATH}"
sections=("$@")
if [ ${#sections[@]} -eq 0 ]; then sections=(demo mri speed memory); fi

. scripts/cmake_generator.sh
mapfile -t gen < <(generatorArgs "$build")
cmake -S . -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DKELVO_BUILD_BENCHMARKS=ON \
      >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

show() {
  printf '\n$ %s\n' "$*"
  "$@"
}

for s in "${sections[@]}"; do
  printf '\n==== %s (%s, %s) ====\n' "$s" "$(date -u +%Y-%m-%dT%H:%MZ)" "$(uptime | sed 's/.*load/load/')"
  case "$s" in
    demo) show "$build/cli/kelvo_demo" out/demo.png ;;
    mri) show "$py" bench/mri_compare.py "$build/cli/kelvo" ;;
    speed)
      show "$py" bench/tool_vs_nlm.py "$build/cli/kelvo" --runs 2
      show "$py" bench/compare.py --speed ;;
    memory)
      show "$build/bench/memory_bench" 4096 4096 1 all 2
      show "$build/bench/memory_bench" 512 512 512 all 2 ;;
    quality) show "$py" bench/compare.py --quality ;;
    dask) show "$py" python/bench_dask.py ;;
    *) echo "readme_figures: unknown section '$s' (demo, mri, speed, memory, quality, dask)" >&2
       exit 2 ;;
  esac
done
