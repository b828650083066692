// The kernels whose contracts say "allocates nothing" are held to it: every allocation of
// the process (operator new, and malloc/calloc/realloc outside the sanitizer builds, whose
// run times own those) is counted while a flag is raised.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "kelvo/engine/fft.h"
#include "kelvo/engine/interface.h"
#include "stage_support.h"

// The replacements below pair the global operators with malloc and free themselves; GCC
// still matches the standard operator new against free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void noteAllocation() {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
}

// Allocations made by f() on any thread.
template <typename F>
long allocationsOf(F&& f) {
    allocations = 0;
    counting = true;
    f();
    counting = false;
    return allocations.load();
}

}  // namespace

void* operator new(std::size_t n) {
    noteAllocation();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    noteAllocation();
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && defined(__GLIBC__)
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* malloc(std::size_t n) {
    noteAllocation();
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size) {
    noteAllocation();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n) {
    noteAllocation();
    return __libc_realloc(p, n);
}
}
#endif

namespace kelvo {
namespace {

using namespace testing;

TEST(Allocations, TheCounterSeesAllocations) {
    // The test is only as good as its counter.
    EXPECT_GE(allocationsOf([] {
                  int* volatile p = new int(3);  // volatile: the pair cannot be elided
                  delete p;
              }),
              1);
    EXPECT_GE(allocationsOf([] { std::vector<float> v(100); }), 1);
}

TEST(Allocations, FftKernelsAllocateNothing) {
    for (int n : {4, 8, 16, 32, 64}) {
        std::vector<Complex> in(static_cast<std::size_t>(n) * 8), out(in.size());
        for (std::size_t i = 0; i < in.size(); ++i) in[i] = {float(i % 7), float(i % 3)};
        const auto run = [&] {
            fftComplex(n, in.data(), out.data());
            fftReal(n, in.data(), out.data());
            fftBatchInPlace(in.data(), n, 8, 8);
        };
        run();  // first calls may set up function-local tables
        EXPECT_EQ(allocationsOf(run), 0) << "n = " << n;
    }
}

// A stage allocates its buffers once; nothing it does per reference location, per row or per
// group allocates. So a volume with four times the locations along the same slabs costs
// exactly as many allocations, in both stages, with whole and with split collections.
TEST(Allocations, StageAllocationsDoNotGrowWithTheLocations) {
    const std::vector<float> psd = whitePsd(0.1f);
    for (const bool split : {false, true}) {
        long counts[2][2] = {};
        for (int s = 0; s < 2; ++s) {
            const Vec3<int> size{16 * (s + 1), 16 * (s + 1), 12};
            const std::vector<float> noisy = addWhiteNoise(phantom(size), 0.1f, 3u);
            std::vector<float> pilot(noisy.size(), 0.0f), out(noisy.size(), 0.0f);
            Parameters ht = defaultParameters(size, 0.1f, false);
            Parameters wie = defaultParameters(size, 0.1f, true);
            for (Parameters* p : {&ht, &wie}) {
                p->numThreads = 1;
                p->splitComp[0] = p->splitComp[1] = p->splitComp[2] = split;
            }
            counts[0][s] = allocationsOf([&] {
                ASSERT_EQ(kelvoInterfaceHT(noisy.data(), psd.data(), pilot.data(), nullptr, ht,
                                           noTransforms()),
                          StageOutcome::Completed);
            });
            counts[1][s] = allocationsOf([&] {
                ASSERT_EQ(kelvoInterfaceWie(noisy.data(), psd.data(), pilot.data(), out.data(),
                                            nullptr, wie, noTransforms()),
                          StageOutcome::Completed);
            });
        }
        for (int stage = 0; stage < 2; ++stage) {
            EXPECT_GT(counts[stage][0], 0) << "the counter missed the stage's buffers";
            EXPECT_EQ(counts[stage][0], counts[stage][1])
                << "stage " << stage << (split ? ", split" : ", whole") << " collections";
        }
    }
}

}  // namespace
}  // namespace kelvo
