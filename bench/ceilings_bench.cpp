// This machine's ceilings for the floor estimates of bench/README.md: the single-precision
// fused multiply-add rate of one core, and the load bandwidth of one core from L1 (16 KiB
// working set) and L2 (512 KiB working set). Each kernel exists for AVX-512, AVX2+FMA and the
// baseline; the widest one the processor runs is used (its name is printed as the label).
//
//   build/release/bench/ceilings_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

typedef float V16 __attribute__((vector_size(64)));
typedef float V8 __attribute__((vector_size(32)));
typedef float V4 __attribute__((vector_size(16)));

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

// Twelve independent FMA chains: enough to cover the latency of two FMA pipes.
template <typename V>
__attribute__((always_inline)) inline float fmaChains(long long iterations) {
    V acc[12];
    for (int k = 0; k < 12; ++k) acc[k] = V{} + static_cast<float>(k) * 1e-3f;
    V a = V{} + 0.999999f, b = V{} + 1e-7f;
    for (long long i = 0; i < iterations; ++i) {
        for (int k = 0; k < 12; ++k) acc[k] = acc[k] * a + b;
        __asm__ volatile("" : "+x"(a));
    }
    V s = V{};
    for (int k = 0; k < 12; ++k) s += acc[k];
    float r = 0;
    for (unsigned l = 0; l < sizeof(V) / sizeof(float); ++l) r += s[l];
    return r;
}

__attribute__((target("avx512f"))) float fma512(long long n) { return fmaChains<V16>(n); }
__attribute__((target("avx2,fma"))) float fma256(long long n) { return fmaChains<V8>(n); }
float fma128(long long n) { return fmaChains<V4>(n); }

// Sum of a buffer with eight accumulators (one vector load per add).
template <typename V>
__attribute__((always_inline)) inline float loadSum(const float* p, std::size_t floats,
                                                    int passes) {
    constexpr std::size_t W = sizeof(V) / sizeof(float);
    V acc[8] = {};
    for (int r = 0; r < passes; ++r) {
        for (std::size_t i = 0; i + 8 * W <= floats; i += 8 * W) {
            for (int k = 0; k < 8; ++k) {
                V v;
                std::memcpy(&v, p + i + k * W, sizeof v);
                acc[k] += v;
            }
        }
        __asm__ volatile("" ::: "memory");
    }
    V s = V{};
    for (int k = 0; k < 8; ++k) s += acc[k];
    float t = 0;
    for (unsigned l = 0; l < W; ++l) t += s[l];
    return t;
}

#pragma GCC diagnostic pop

__attribute__((target("avx512f"))) float load512(const float* p, std::size_t n, int passes) {
    return loadSum<V16>(p, n, passes);
}
__attribute__((target("avx2"))) float load256(const float* p, std::size_t n, int passes) {
    return loadSum<V8>(p, n, passes);
}
float load128(const float* p, std::size_t n, int passes) { return loadSum<V4>(p, n, passes); }

int width() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return 512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return 256;
    return 128;
}

void BM_fmaRate(benchmark::State& state) {
    const int w = width();
    const long long iterations = 1 << 20;
    const int lanes = w / 32;
    for (auto _ : state) {
        float r =
            w == 512 ? fma512(iterations) : (w == 256 ? fma256(iterations) : fma128(iterations));
        benchmark::DoNotOptimize(r);
    }
    // One FMA = 2 floating-point operations; counted per lane.
    state.counters["FMA_per_ns"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * iterations * 12 * lanes,
                           benchmark::Counter::kIsRate);
    state.counters["GFLOPs"] =
        benchmark::Counter(2e-9 * static_cast<double>(state.iterations()) * iterations * 12 * lanes,
                           benchmark::Counter::kIsRate);
    state.SetLabel(w == 512 ? "avx512" : (w == 256 ? "avx2+fma" : "sse2"));
}
BENCHMARK(BM_fmaRate);

void BM_loadBandwidth(benchmark::State& state) {
    const std::size_t bytes = static_cast<std::size_t>(state.range(0)) * 1024;
    // Cache-line aligned, so that no vector load straddles two lines.
    std::unique_ptr<float, void (*)(void*)> memory(
        static_cast<float*>(std::aligned_alloc(64, bytes)), std::free);
    float* const data = memory.get();
    const std::size_t floats = bytes / sizeof(float);
    for (std::size_t i = 0; i < floats; ++i) data[i] = 1.0f;
    const int w = width();
    const int passes = static_cast<int>(std::max<std::size_t>(1, (64u << 20) / bytes));
    for (auto _ : state) {
        const float r = w == 512   ? load512(data, floats, passes)
                        : w == 256 ? load256(data, floats, passes)
                                   : load128(data, floats, passes);
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * passes *
                            static_cast<std::int64_t>(bytes));
    state.SetLabel(std::to_string(bytes / 1024) + " KiB working set");
}
BENCHMARK(BM_loadBandwidth)
    ->Arg(16)
    ->Arg(256)
    ->Arg(512)
    ->Arg(1024)
    ->Arg(2048)
    ->Arg(8192)
    ->Arg(64 * 1024);

}  // namespace

BENCHMARK_MAIN();
