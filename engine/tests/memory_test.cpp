// Working memory: buffer sizes follow the parameters, and partly built records free safely.
#include "kelvo/engine/memory.h"

#if defined(__SANITIZE_ADDRESS__)
// The impossible-size test needs malloc to report failure with a null pointer, as the C
// library does, instead of AddressSanitizer's default abort on oversized requests.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

namespace kelvo {
namespace {

Parameters baseParameters() {
    Parameters p{};
    p.blockSize = {4, 4, 4};
    p.fftSize = {8, 8, 8};
    p.realFft = true;
    p.maxGroupSize = 16;
    p.varianceLimit = 4;
    return p;
}

TEST(WorkingMemory, HalvesTheFirstFftDimensionOnlyForARealCubicOrFlatGrid) {
    Parameters p = baseParameters();
    EXPECT_EQ(halvedFirstFftDimension(p), 5);
    p.fftSize = {8, 8, 1};
    EXPECT_EQ(halvedFirstFftDimension(p), 5);
    p.fftSize = {32, 32, 1};
    EXPECT_EQ(halvedFirstFftDimension(p), 17);
    p.fftSize = {8, 8, 4};
    EXPECT_EQ(halvedFirstFftDimension(p), 8);
    p.fftSize = {8, 4, 8};
    EXPECT_EQ(halvedFirstFftDimension(p), 8);
    p.fftSize = {8, 8, 8};
    p.realFft = false;
    EXPECT_EQ(halvedFirstFftDimension(p), 8);
}

TEST(WorkingMemory, CubesHaveTheSizesOfTheParameters) {
    Parameters p = baseParameters();
    Memory m = allocateMemory<float>(p);
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.spectrum.x, 4);
    EXPECT_EQ(m.spectrum.n, 16);
    EXPECT_EQ(m.output.elementCount(), 4 * 4 * 4 * 16);

    TempMemory t = createTempMemory<float>(p);
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(t.M, 8);
    EXPECT_EQ(t.planes.x, 8);
    EXPECT_EQ(t.planes.n, 16);
    // Variance spectra: dims reversed, halved first FFT dimension last among the three.
    EXPECT_EQ(t.power.x, 8);
    EXPECT_EQ(t.power.y, 8);
    EXPECT_EQ(t.power.z, 5);
    EXPECT_EQ(t.power.n, 16);

    p.fftSize = {8, 8, 4};
    TempMemory u = createTempMemory<float>(p);
    ASSERT_TRUE(u.ok);
    EXPECT_EQ(u.power.x, 4);
    EXPECT_EQ(u.power.z, 8);
}

// Writes every element of every buffer at its contracted size; under AddressSanitizer a
// buffer shorter than the contract fails here.
TEST(WorkingMemory, EveryBufferHoldsItsContractedSize) {
    for (int varianceLimit : {0, 1, 3, INT_MAX}) {
        Parameters p = baseParameters();
        p.blockSize = {8, 8, 1};
        p.fftSize = {16, 16, 1};
        p.maxGroupSize = 5;
        p.varianceLimit = varianceLimit;
        const long long N = 5, B = 64, M = 16;
        const long long lines = 2 * M;  // whatever the limit: nothing reads further

        Memory m = allocateMemory<float>(p);
        ASSERT_TRUE(m.ok);
        for (long long i = 0; i < N; ++i) m.matches[i] = BlockDistance<float>{};
        for (Cube4D<float>* c : {&m.spectrum, &m.pilotSpectrum, &m.variance, &m.output}) {
            EXPECT_EQ(c->elementCount(), N * B);
            std::fill(c->data, c->data + N * B, 1.0f);
        }
        std::fill(m.weights, m.weights + N, 1.0f);

        TempMemory t = createTempMemory<float>(p);
        ASSERT_TRUE(t.ok);
        EXPECT_EQ(t.M, M);
        std::fill(t.lineA, t.lineA + lines, Complex{1.0f, 2.0f});
        std::fill(t.lineB, t.lineB + lines, Complex{1.0f, 2.0f});
        std::fill(t.floats, t.floats + N, 1.0f);
        EXPECT_EQ(t.planes.elementCount(), 16 * 16 * 1 * N);
        std::fill(t.planes.data, t.planes.data + t.planes.elementCount(), Complex{0.0f, 0.0f});
        // Real FFT on a flat square grid: (F2, F1, F0') = (1, 16, 9).
        EXPECT_EQ(t.power.x, 1);
        EXPECT_EQ(t.power.y, 16);
        EXPECT_EQ(t.power.z, 9);
        std::fill(t.power.data, t.power.data + 16 * 9 * N, 1.0f);
        std::fill(t.mask, t.mask + 16, true);
        for (float* block : {t.blockA, t.blockB, t.blockC}) std::fill(block, block + B, 1.0f);
    }
}

TEST(WorkingMemory, FreeIsIdempotentAndMovesTransferOwnership) {
    Parameters p = baseParameters();
    Memory m = allocateMemory<float>(p);
    Memory moved = std::move(m);
    EXPECT_FALSE(m.ok);
    EXPECT_EQ(m.matches, nullptr);
    EXPECT_TRUE(moved.ok);
    moved.free();
    moved.free();
    EXPECT_EQ(moved.spectrum.data, nullptr);
}

TEST(WorkingMemory, ImpossibleSizesReportFailureInsteadOfThrowing) {
    Parameters p = baseParameters();
    p.fftSize = {1 << 20, 1 << 20, 1 << 10};  // far beyond any machine
    TempMemory t = createTempMemory<float>(p);
    EXPECT_FALSE(t.ok);
    EXPECT_EQ(t.lineA, nullptr);
}

}  // namespace
}  // namespace kelvo
