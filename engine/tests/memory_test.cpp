// Working memory: buffer sizes follow the parameters, and partly built records free safely.
#include <gtest/gtest.h>

#include "kelvo/memory.h"

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
