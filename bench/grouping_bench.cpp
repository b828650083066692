// Grouping benchmarks: block matching on a realistic search (4x4x4 blocks, search radius 5 in
// every dimension, groups of up to 16) over a noisy phantom, reported per candidate block (the
// specialised path and the general loop), and
// the initial fill of a block collection, reported per block.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "dct4_matrix.h"
#include "kelvo/engine/block_collection.h"
#include "kelvo/engine/block_matching.h"
#include "kelvo/engine/thread_pool.h"

namespace kelvo {

namespace {

const Vec3<int> SIZE{48, 48, 32};
const Vec3<int> BLOCK{4, 4, 4};
const Vec3<int> RADIUS{5, 5, 5};

// A piecewise-constant phantom (nested boxes and a ball) with Gaussian noise, sigma 0.1.
std::vector<float> phantom() {
    std::mt19937 rng(2024);
    std::normal_distribution<float> noise(0.f, 0.1f);
    std::vector<float> v(static_cast<std::size_t>(SIZE.x) * SIZE.y * SIZE.z);
    std::size_t i = 0;
    for (int z = 0; z < SIZE.z; ++z)
        for (int y = 0; y < SIZE.y; ++y)
            for (int x = 0; x < SIZE.x; ++x, ++i) {
                float s = 0.2f;
                if (x > 8 && x < 40 && y > 6 && y < 30) s = 0.6f;
                const float dx = x - 30.f, dy = y - 30.f, dz = z - 16.f;
                if (dx * dx + dy * dy + dz * dz < 100.f) s = 0.9f;
                v[i] = s + noise(rng);
            }
    return v;
}

TempMemory temp() {
    Parameters p{};
    p.blockSize = BLOCK;
    p.fftSize = {8, 8, 8};
    p.maxGroupSize = 16;
    p.varianceLimit = 2;
    return createTempMemory<float>(p);
}

const Vec3<TransformsMetas::StandardTransform> KINDS{
    TransformsMetas::DCT4_FWD, TransformsMetas::DCT4_FWD, TransformsMetas::DCT4_FWD};

void BM_getBlockMatches(benchmark::State& state) {
    const std::vector<float> volume = phantom();
    const std::vector<float> m = dct4();
    TempMemory t = temp();
    ImageData<float> image(volume.data(), SIZE);
    BlockCollection<float> c;
    const Vec3<int> extent{SIZE.x + 1, SIZE.y + 1, SIZE.z + 1};
    THREAD_POOL.launchPool(1);
    c.extractInitial(image, {0, 0, 0}, BLOCK, {m.data(), m.data(), m.data()}, KINDS, true, t,
                     extent);
    THREAD_POOL.clearPool();
    // Expected-noise offsets of the size of the hard-thresholding stage's correction.
    std::vector<float> offsets(11 * 11 * 11, 0.f);
    for (std::size_t k = 0; k < offsets.size(); ++k) offsets[k] = 0.01f * static_cast<float>(k % 7);
    std::vector<BlockDistance<float>> matches(16);
    std::vector<Vec3<int>> references;
    for (int z = 5; z <= SIZE.z - 4 - 5; z += 3)
        for (int y = 5; y <= SIZE.y - 4 - 5; y += 3)
            for (int x = 5; x <= SIZE.x - 4 - 5; x += 3) references.push_back({x, y, z});
    std::size_t next = 0;
    long long candidates = 0;
    for (auto _ : state) {
        const Vec3<int> ref = references[next];
        next = next + 1 == references.size() ? 0 : next + 1;
        Vec3<int> lo{}, hi{};
        setSearchWindow(ref, RADIUS, BLOCK, SIZE, lo, hi);
        int count = 0;
        if (state.range(0) == 0)
            getBlockMatches<float>(c, offsets.data(), ref, BLOCK, RADIUS, lo, hi, 16, 2, 2.5f,
                                   matches.data(), count);
        else
            getBlockMatchesGeneral<float>(c, offsets.data(), ref, BLOCK, RADIUS, lo, hi, 16, 2,
                                          2.5f, matches.data(), count);
        benchmark::DoNotOptimize(count);
        benchmark::DoNotOptimize(matches.data());
        candidates += 11 * 11 * 11 - 1;
    }
    state.counters["ns_per_candidate"] = benchmark::Counter(
        static_cast<double>(candidates), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(candidates);
}
// Argument 0: the matcher as the stages call it; 1: its general loop (the plain twin).
BENCHMARK(BM_getBlockMatches)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_extractInitial(benchmark::State& state) {
    const std::vector<float> volume = phantom();
    const std::vector<float> m = dct4();
    TempMemory t = temp();
    ImageData<float> image(volume.data(), SIZE);
    THREAD_POOL.launchPool(static_cast<int>(state.range(0)));
    BlockCollection<float> c;
    const Vec3<int> extent{RADIUS.x + 1, RADIUS.y + 1, RADIUS.z + 1};
    c.allocate(SIZE, BLOCK, extent);
    long long blocks = 0;
    for (auto _ : state) {
        c.extractInitial(image, {20, 20, 12}, BLOCK, {m.data(), m.data(), m.data()}, KINDS, false,
                         t, extent);
        blocks += static_cast<long long>(c.count.x) * c.count.y * c.count.z;
        benchmark::DoNotOptimize(c.blocks);
    }
    THREAD_POOL.clearPool();
    state.counters["ns_per_block"] = benchmark::Counter(
        static_cast<double>(blocks), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_extractInitial)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kelvo

BENCHMARK_MAIN();
