// Throughput of the separable block transform for the block shapes the stages use:
// 4x4x4 DCT-4 (generic product, three passes), 8x8x1 DCT-8 and biorthogonal (butterflies),
// and 8x8x1 DCT-8 forced through the generic product. A plain line-by-line product is timed
// alongside as a baseline. Figures are per block.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "kelvo/engine/block_transform.h"
#include "kelvo/engine/tables.h"

namespace {

using namespace kelvo;
using namespace kelvo::TransformsMetas;

constexpr int BLOCKS = 1024;  // distinct blocks, so the inputs do not all sit in one line

std::vector<float> randomBlocks(int volume) {
    std::mt19937 gen(12345u);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(static_cast<std::size_t>(volume) * BLOCKS);
    for (float& x : v) x = dist(gen);
    return v;
}

// Baseline: one strided dot product per output coefficient and line.
void plainPass(const float* in, float* out, const float* M, int n, long long stride, int lines0,
               long long step0, int lines1, long long step1) {
    for (int b = 0; b < lines1; ++b)
        for (int a = 0; a < lines0; ++a) {
            const long long base = a * step0 + b * step1;
            for (int j = 0; j < n; ++j) {
                float acc = M[j * n] * in[base];
                for (int m = 1; m < n; ++m) acc += M[j * n + m] * in[base + m * stride];
                out[base + j * stride] = acc;
            }
        }
}

void plainTransform(const float* in, Vec3<const float*> m, float* a, float* b, float* out,
                    Vec3<int> s) {
    const long long sx = s.x, sxy = sx * s.y;
    plainPass(in, a, m.x, s.x, 1, s.y, sx, s.z, sxy);
    float* second = s.z == 1 ? out : b;
    plainPass(a, second, m.y, s.y, sx, s.x, 1, s.z, sxy);
    if (s.z > 1) plainPass(b, out, m.z, s.z, sxy, s.x, 1, s.y, sx);
}

template <bool Plain>
void run(benchmark::State& state, Vec3<const float*> m, Vec3<StandardTransform> k, Vec3<int> s) {
    const int volume = s.x * s.y * s.z;
    const std::vector<float> in = randomBlocks(volume);
    std::vector<float> a(volume), b(volume), out(volume);
    int i = 0;
    for (auto _ : state) {
        const float* block = in.data() + static_cast<std::size_t>(i) * volume;
        if (Plain) {
            plainTransform(block, m, a.data(), b.data(), out.data(), s);
        } else {
            transf3D<float>(block, m, k, a.data(), b.data(), out.data(), s);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        i = (i + 1) % BLOCKS;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Dct4Cube_Generic(benchmark::State& st) {
    run<false>(st, DEFAULT_FWD_3D, ARB_TRANSFORMS, {4, 4, 4});
}
void BM_Dct4Cube_Plain(benchmark::State& st) {
    run<true>(st, DEFAULT_FWD_3D, ARB_TRANSFORMS, {4, 4, 4});
}
void BM_Dct8Flat_Butterfly(benchmark::State& st) {
    run<false>(st, DEFAULT_FWD_2D, {DCT8_FWD, DCT8_FWD, ARB_FWD}, {8, 8, 1});
}
void BM_Dct8FlatInverse_Butterfly(benchmark::State& st) {
    run<false>(st, DEFAULT_INV_2D, {DCT8_INV, DCT8_INV, ARB_INV}, {8, 8, 1});
}
void BM_Bior8Flat_Butterfly(benchmark::State& st) {
    run<false>(st, BIOR_FWD_2D, {BIOR8_FWD, BIOR8_FWD, ARB_FWD}, {8, 8, 1});
}
void BM_Bior8FlatInverse_Butterfly(benchmark::State& st) {
    run<false>(st, BIOR_INV_2D, {BIOR8_INV, BIOR8_INV, ARB_INV}, {8, 8, 1});
}
void BM_Dct8Flat_Generic(benchmark::State& st) {
    run<false>(st, DEFAULT_FWD_2D, ARB_TRANSFORMS, {8, 8, 1});
}
void BM_Dct8Flat_Plain(benchmark::State& st) {
    run<true>(st, DEFAULT_FWD_2D, ARB_TRANSFORMS, {8, 8, 1});
}

BENCHMARK(BM_Dct4Cube_Generic);
BENCHMARK(BM_Dct4Cube_Plain);
BENCHMARK(BM_Dct8Flat_Butterfly);
BENCHMARK(BM_Dct8FlatInverse_Butterfly);
BENCHMARK(BM_Bior8Flat_Butterfly);
BENCHMARK(BM_Bior8FlatInverse_Butterfly);
BENCHMARK(BM_Dct8Flat_Generic);
BENCHMARK(BM_Dct8Flat_Plain);

}  // namespace

BENCHMARK_MAIN();
