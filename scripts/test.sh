#!/usr/bin/env bash
# Runs every test of the project:
#   0. the C++ sources must be formatted as .clang-format says, and the generated transform
#      tables (engine/src/tables.cpp, not formatted) must be what their generator
#      (engine/tools/gen_tables.py) writes today;
#   1. a Release build with warnings as errors: unit tests, plug-in tests in GNU Octave,
#      command-line and Python tests (everything registered with CTest);
#   2. the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer, in a
#      Debug build so that the engine's debug checks run too (among them, every window a
#      block collection serves is compared with a direct transform of its blocks);
#   3. the threaded unit tests under ThreadSanitizer;
#   4. a build without threads (KELVO_THREADS=OFF): its unit tests, and the tool's result
#      compared with the release tool's one-thread result, which it must equal bit for bit.
# Build trees go to build/ (override with KELVO_BUILD_ROOT).
set -euo pipefail
cd "$(dirname "$0")/.."
root=${KELVO_BUILD_ROOT:-build}
jobs=${KELVO_JOBS:-$(nproc)}
. scripts/cmake_generator.sh

step() { printf '\n==== %s ====\n' "$*"; }

step "C++ sources formatted with .clang-format"
mapfile -t sources < <(git ls-files '*.cpp' '*.h' | grep -v '^engine/src/tables\.cpp$')
if ! clang-format --dry-run --Werror "${sources[@]}" 2>/tmp/kelvo-format.$$; then
  head -n 20 /tmp/kelvo-format.$$ >&2
  rm -f /tmp/kelvo-format.$$
  echo "some sources differ from .clang-format; format them: git ls-files '*.cpp' '*.h' |" >&2
  echo "  grep -v '^engine/src/tables.cpp\$' | xargs clang-format -i" >&2
  exit 1
fi
rm -f /tmp/kelvo-format.$$

step "generated tables match their generator"
python=/usr/bin/python3
[ -x "$python" ] || python=python3
if ! "$python" engine/tools/gen_tables.py | diff -q - engine/src/tables.cpp >/dev/null; then
  echo "engine/src/tables.cpp differs from the output of engine/tools/gen_tables.py;" >&2
  echo "regenerate it: $python engine/tools/gen_tables.py > engine/src/tables.cpp" >&2
  exit 1
fi

step "release build (-Wall -Wextra -Werror) and all tests"
mapfile -t gen < <(generatorArgs "$root/release")
cmake -S . -B "$root/release" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DKELVO_WERROR=ON \
      -DKELVO_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$root/release" -j "$jobs"
ctest --test-dir "$root/release" --output-on-failure -j "$jobs"

step "unit tests under AddressSanitizer + UndefinedBehaviorSanitizer"
mapfile -t gen < <(generatorArgs "$root/asan")
cmake -S . -B "$root/asan" "${gen[@]}" -DCMAKE_BUILD_TYPE=Debug -DKELVO_WERROR=ON \
      -DKELVO_SANITIZE=address,undefined -DKELVO_BUILD_MEX=OFF -DKELVO_BUILD_PYTHON=OFF \
      >/dev/null
cmake --build "$root/asan" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$root/asan" --output-on-failure -j "$jobs" -L 'unit|threads'

step "threaded tests under ThreadSanitizer"
mapfile -t gen < <(generatorArgs "$root/tsan")
cmake -S . -B "$root/tsan" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVO_WERROR=ON \
      -DKELVO_SANITIZE=thread -DKELVO_BUILD_MEX=OFF -DKELVO_BUILD_PYTHON=OFF \
      -DKELVO_BUILD_CLI=OFF >/dev/null
cmake --build "$root/tsan" -j "$jobs"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$root/tsan" --output-on-failure -j "$jobs" -L threads

step "build without threads: unit tests and the one-thread result"
mapfile -t gen < <(generatorArgs "$root/nothreads")
cmake -S . -B "$root/nothreads" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DKELVO_WERROR=ON \
      -DKELVO_THREADS=OFF -DKELVO_BUILD_MEX=OFF -DKELVO_BUILD_PYTHON=OFF >/dev/null
cmake --build "$root/nothreads" -j "$jobs"
ctest --test-dir "$root/nothreads" --output-on-failure -j "$jobs" -L 'unit|threads'
work=$root/nothreads/one-thread
mkdir -p "$work"
/usr/bin/python3 -c 'import sys, numpy as np
rng = np.random.default_rng(5)
clean = np.kron(rng.uniform(0, 1, (3, 5, 6)), np.ones((6, 8, 8)))
np.save(sys.argv[1], (clean + rng.normal(0, 0.1, clean.shape)).astype(np.float32))' "$work/noisy.npy"
"$root/release/cli/kelvo" denoise "$work/noisy.npy" "$work/threads-1.npy" --sigma 0.1 --threads 1 --quiet
"$root/nothreads/cli/kelvo" denoise "$work/noisy.npy" "$work/no-threads.npy" --sigma 0.1 --quiet
cmp "$work/threads-1.npy" "$work/no-threads.npy"
echo "the build without threads gives the one-thread result"

step "all test suites passed"
