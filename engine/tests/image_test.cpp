// Volumes: zero-filled creation, wrapping a caller's buffer, block extraction (copy plus the
// generic forward transform) and accumulation.
#include "kelvo/engine/image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <vector>

#include "kelvo/engine/block_transform.h"
#include "kelvo/engine/memory.h"
#include "kelvo/engine/tables.h"

namespace kelvo {
namespace {

constexpr unsigned SEED = 7321u;

std::vector<float> randomVolume(Vec3<int> s) {
    static std::mt19937 gen = [] {
        std::printf("image_test: random seed %u\n", SEED);
        return std::mt19937(SEED);
    }();
    std::uniform_real_distribution<float> dist(-50.0f, 50.0f);
    std::vector<float> v(static_cast<std::size_t>(s.x) * s.y * s.z);
    for (float& x : v) x = dist(gen);
    return v;
}

float at(const std::vector<float>& v, Vec3<int> s, int x, int y, int z) {
    return v[(static_cast<std::size_t>(z) * s.y + y) * s.x + x];
}

TempMemory scratchFor(Vec3<int> blockSize) {
    Parameters p{};
    p.blockSize = blockSize;
    p.fftSize = {8, 8, 8};
    p.maxGroupSize = 2;
    p.varianceLimit = 2;
    TempMemory t = createTempMemory<float>(p);
    EXPECT_TRUE(t.ok);
    return t;
}

TEST(Volumes, CreateEmptyGivesAZeroFilledOwnedVolume) {
    ImageDataMutable<float> v;
    ASSERT_TRUE(v.createEmpty({5, 3, 1}));
    EXPECT_TRUE(v.ownsData);
    EXPECT_EQ(v.data, v.mutableData);
    EXPECT_EQ(v.size, (Vec3<int>{5, 3, 1}));
    EXPECT_EQ(v.count, 15);
    EXPECT_EQ(v.sliceStride, 15);
    for (int i = 0; i < v.count; ++i) EXPECT_EQ(v.data[i], 0.0f);

    ASSERT_TRUE(v.createEmpty({2, 3, 4}));  // replaces (and frees) the first buffer
    EXPECT_EQ(v.count, 24);
    EXPECT_EQ(v.sliceStride, 6);

    ImageDataMutable<float> moved = std::move(v);
    EXPECT_EQ(v.mutableData, nullptr);
    EXPECT_FALSE(v.ownsData);
    EXPECT_TRUE(moved.ownsData);

    for (Vec3<int> bad : {Vec3<int>{0, 3, 1}, Vec3<int>{4, -1, 1}, Vec3<int>{4, 4, 0}}) {
        ImageDataMutable<float> e;
        EXPECT_FALSE(e.createEmpty(bad));
        EXPECT_EQ(e.data, nullptr);
        EXPECT_FALSE(e.ownsData);
    }
}

TEST(Volumes, WrappedBuffersAreNotOwned) {
    std::vector<float> host(4 * 3 * 2, 1.5f);
    {
        ImageDataMutable<float> v(host.data(), {4, 3, 2});
        EXPECT_FALSE(v.ownsData);
        EXPECT_EQ(v.count, 24);
        EXPECT_EQ(v.sliceStride, 12);
        v.release();  // must not free the host's buffer
        EXPECT_EQ(v.mutableData, nullptr);
    }
    EXPECT_EQ(host[23], 1.5f);
}

TEST(Volumes, CopyBlockReadsDimensionZeroFastest) {
    // The generic copy and the fixed-length rows of the default widths, up to the far corner.
    const Vec3<int> s{11, 10, 5};
    const std::vector<float> vol = randomVolume(s);
    ImageData<float> view(vol.data(), s);
    for (const Vec3<int> b : {Vec3<int>{3, 2, 4}, Vec3<int>{4, 4, 4}, Vec3<int>{8, 8, 1}}) {
        const Vec3<int> p{s.x - b.x, s.y - b.y, s.z - b.z};
        std::vector<float> block(static_cast<std::size_t>(b.x * b.y * b.z) + 1, -7.f);
        view.copyBlock(p, b, block.data());
        for (int k = 0; k < b.z; ++k)
            for (int j = 0; j < b.y; ++j)
                for (int i = 0; i < b.x; ++i)
                    ASSERT_EQ(block[(k * b.y + j) * b.x + i],
                              at(vol, s, p.x + i, p.y + j, p.z + k));
        EXPECT_EQ(block.back(), -7.f);  // nothing written past the block
    }
}

TEST(Volumes, ExtractBlockCopiesAndTransformsWithTheGenericProduct) {
    // Identity matrices: a volume the size of the block comes back unchanged.
    const Vec3<int> b{4, 4, 4};
    const std::vector<float> vol = randomVolume(b);
    std::vector<float> eye(16, 0.0f);
    for (int i = 0; i < 4; ++i) eye[i * 5] = 1.0f;
    TempMemory temp = scratchFor(b);
    std::vector<float> out(64);
    ImageData<float>(vol.data(), b)
        .extractBlock({0, 0, 0}, b, {eye.data(), eye.data(), eye.data()}, out.data(), temp);
    EXPECT_EQ(out, vol);

    // DCT-8 blocks of a 2-D image: the generic product (never a butterfly) of the copied
    // block, bit for bit.
    const Vec3<int> s{20, 13, 1}, b2{8, 8, 1};
    const std::vector<float> img = randomVolume(s);
    ImageData<float> view(img.data(), s);
    TempMemory temp2 = scratchFor(b2);
    std::vector<float> copied(64), want(64), a(64), c(64), got(64);
    for (Vec3<int> pos : {Vec3<int>{0, 0, 0}, Vec3<int>{12, 5, 0}, Vec3<int>{3, 2, 0}}) {
        view.copyBlock(pos, b2, copied.data());
        transf3D<float>(copied.data(), DEFAULT_FWD_2D, ARB_TRANSFORMS, a.data(), c.data(),
                        want.data(), b2);
        view.extractBlock(pos, b2, DEFAULT_FWD_2D, got.data(), temp2);
        EXPECT_EQ(got, want);
    }
}

TEST(Volumes, AddToDataAccumulatesWeightedBlocks) {
    const Vec3<int> s{6, 5, 3}, b{4, 3, 2};
    ImageDataMutable<float> v;
    ASSERT_TRUE(v.createEmpty(s));
    const std::vector<float> values = randomVolume(b);
    const std::vector<float> ones(24, 1.0f);
    std::vector<float> weights(24);
    for (int i = 0; i < 24; ++i) weights[i] = 0.25f * (i % 5);

    v.addToData({1, 1, 0}, b, values.data(), ones.data(), 1.0f);  // adds the block unchanged
    for (int k = 0; k < b.z; ++k)
        for (int j = 0; j < b.y; ++j)
            for (int i = 0; i < b.x; ++i)
                ASSERT_EQ(v.data[(k * s.y + 1 + j) * s.x + 1 + i], values[(k * b.y + j) * b.x + i]);

    // An overlapping, weighted and divided second block adds sample by sample.
    std::vector<float> expected(v.data, v.data + v.count);
    v.addToData({2, 2, 1}, b, values.data(), weights.data(), 4.0f);
    for (int k = 0; k < b.z; ++k)
        for (int j = 0; j < b.y; ++j)
            for (int i = 0; i < b.x; ++i) {
                const int n = (k * b.y + j) * b.x + i;
                float& e = expected[((1 + k) * s.y + 2 + j) * s.x + 2 + i];
                e += values[n] * weights[n] / 4.0f;
            }
    for (int i = 0; i < v.count; ++i) ASSERT_EQ(v.data[i], expected[i]) << i;
}

}  // namespace
}  // namespace kelvo
