// Cost of the correlated-noise model per group: calculateVariances as the stage filters call
// it (varianceLimit 4) for the two default block shapes, and as the stage loop calls it for
// its match offset table (two blocks, K = 2). Also the one-off preparation of the K3fT3
// array. Figures are microseconds per group (per preparation for the last).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "kelvo/engine/fft.h"
#include "kelvo/engine/memory.h"
#include "kelvo/engine/noise_spectrum.h"
#include "kelvo/engine/variances.h"

namespace {

using namespace kelvo;

std::vector<float> dct(int n) {
    std::vector<float> m(n * n);
    for (int j = 0; j < n; ++j) {
        const double c = j == 0 ? std::sqrt(1.0 / n) : std::sqrt(2.0 / n);
        for (int k = 0; k < n; ++k) {
            m[j * n + k] =
                static_cast<float>(c * std::cos(3.141592653589793 * (2 * k + 1) * j / (2.0 * n)));
        }
    }
    return m;
}

struct Case {
    Vec3<int> n;
    Vec3<int> F;
    int count;
    int K;
    int radius;  // shifted positions drawn from 0 .. 2 * radius per used dimension
};

struct Prepared {
    Parameters p{};
    Vec3<int> Fp{};
    std::vector<float> fwd[3];
    std::vector<float> G;
    std::vector<float> psd;
    float* K3 = nullptr;
    float* lv = nullptr;
    TempMemory temp;
    std::vector<float> var;
    std::vector<BlockDistance<float>> matches;
    ~Prepared() {
        std::free(K3);
        std::free(lv);
    }
};

void prepare(const Case& c, Prepared& s) {
    std::mt19937 rng(2024u);
    std::uniform_real_distribution<float> u(0.2f, 3.0f);
    s.p.blockSize = c.n;
    s.p.fftSize = c.F;
    s.p.realFft = true;
    s.p.maxGroupSize = c.count;
    s.p.varianceLimit = c.K;
    s.Fp = {halvedFirstFftDimension(s.p), c.F.y, c.F.z};
    for (int d = 0; d < 3; ++d) s.fwd[d] = c.n[d] == 1 ? std::vector<float>{1.0f} : dct(c.n[d]);
    s.G = dct(c.count);
    s.psd.resize(static_cast<std::size_t>(c.F.x) * c.F.y * c.F.z);
    for (float& v : s.psd) v = u(rng);
    computeK3fT3(s.psd.data(), c.F, c.F, s.Fp, c.n,
                 {s.fwd[0].data(), s.fwd[1].data(), s.fwd[2].data()}, s.K3);
    computeLocalVar(s.K3, s.Fp, c.n.x * c.n.y * c.n.z, s.lv);
    s.temp = createTempMemory<float>(s.p);
    s.var.resize(static_cast<std::size_t>(c.n.x) * c.n.y * c.n.z * c.count);
    s.matches.resize(c.count);
    std::uniform_int_distribution<int> pos(0, 2 * c.radius);
    for (auto& m : s.matches) {
        m.shiftedPosition = {pos(rng), pos(rng), c.n.z == 1 ? 0 : pos(rng)};
    }
}

void BM_CalculateVariances(benchmark::State& state, Case c) {
    Prepared s;
    prepare(c, s);
    if (!s.K3 || !s.lv || !s.temp.ok) {
        state.SkipWithError("allocation failed");
        return;
    }
    Cube4D<float> out{c.n.x, c.n.y, c.n.z, c.count, s.var.data()};
    for (auto _ : state) {
        calculateVariances(c.count, c.n, c.F, s.Fp, c.K, s.G.data(), s.K3, s.lv, out,
                           s.matches.data(), s.temp);
        benchmark::DoNotOptimize(s.var.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ComputeK3fT3(benchmark::State& state, Case c) {
    Prepared s;
    prepare(c, s);
    for (auto _ : state) {
        float* K3 = nullptr;
        computeK3fT3(s.psd.data(), c.F, c.F, s.Fp, c.n,
                     {s.fwd[0].data(), s.fwd[1].data(), s.fwd[2].data()}, K3);
        benchmark::DoNotOptimize(K3);
        std::free(K3);
    }
}

void BM_Fft(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<Complex> in(n, Complex{1.0f, 0.5f}), out(n);
    for (int k = 0; k < n; ++k) in[k].re = static_cast<float>(k % 7);
    for (auto _ : state) {
        fftComplex(n, in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
}

const Case GROUP_3D{{4, 4, 4}, {8, 8, 8}, 16, 4, 5};
const Case GROUP_2D{{8, 8, 1}, {32, 32, 1}, 16, 4, 16};
const Case PAIR_3D{{4, 4, 4}, {8, 8, 8}, 2, 2, 5};
const Case PAIR_2D{{8, 8, 1}, {32, 32, 1}, 2, 2, 16};

BENCHMARK_CAPTURE(BM_CalculateVariances, blocks4x4x4_group16_K4_fft8x8x8, GROUP_3D)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_CalculateVariances, blocks8x8x1_group16_K4_fft32x32x1, GROUP_2D)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_CalculateVariances, blocks4x4x4_pair_K2_fft8x8x8, PAIR_3D)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_CalculateVariances, blocks8x8x1_pair_K2_fft32x32x1, PAIR_2D)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ComputeK3fT3, blocks4x4x4_fft8x8x8, GROUP_3D)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ComputeK3fT3, blocks8x8x1_fft32x32x1, GROUP_2D)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Fft)->Arg(8)->Arg(32)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
