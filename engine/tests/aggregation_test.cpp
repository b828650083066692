// Aggregation: the two divisor floors, overlapping blocks against a double-precision sum,
// bounds checks, and the normalisation with uncovered samples.
#include "kelvo/engine/aggregation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace kelvo {

namespace {

struct Volumes {
    ImageDataMutable<float> numerator, weights;
    explicit Volumes(Vec3<int> size) {
        EXPECT_TRUE(numerator.createEmpty(size));
        EXPECT_TRUE(weights.createEmpty(size));
    }
    float num(int x, int y, int z) const {
        return numerator.data[(z * numerator.size.y + y) * numerator.size.x + x];
    }
    float wei(int x, int y, int z) const {
        return weights.data[(z * weights.size.y + y) * weights.size.x + x];
    }
};

TEST(Aggregation, OneBlockWithUnitWeightComesBackUnchanged) {
    const Vec3<int> b{2, 3, 2};
    Volumes v({5, 6, 4});
    std::vector<float> block(12), window(12, 1.f), weight{1.f};
    for (int i = 0; i < 12; ++i) block[static_cast<std::size_t>(i)] = 0.5f * i - 2.f;
    BlockDistance<float> m;
    m.position = {2, 1, 1};
    Cube4D<float> group{2, 3, 2, 1, block.data()};
    aggregate<float>(&m, b, 1, group, weight.data(), window.data(), 3.f, v.numerator, v.weights);
    normalise(v.numerator, v.weights);
    int i = 0;
    for (int k = 0; k < 2; ++k)
        for (int j = 0; j < 3; ++j)
            for (int x = 0; x < 2; ++x, ++i) {
                EXPECT_EQ(v.num(2 + x, 1 + j, 1 + k), block[static_cast<std::size_t>(i)]);
                EXPECT_EQ(v.wei(2 + x, 1 + j, 1 + k), 1.f);
            }
    // Uncovered samples have weight 0 and come out 0 without a fallback, not 0/0.
    EXPECT_EQ(v.num(0, 0, 0), 0.f);
    EXPECT_FALSE(std::isnan(v.num(4, 5, 3)));

    // With the stage's input as fallback, uncovered samples take it; covered ones do not.
    Volumes f({5, 6, 4});
    aggregate<float>(&m, b, 1, group, weight.data(), window.data(), 3.f, f.numerator, f.weights);
    std::vector<float> input(5 * 6 * 4);
    for (std::size_t s = 0; s < input.size(); ++s) input[s] = 100.f + static_cast<float>(s);
    normalise(f.numerator, f.weights, input.data());
    for (int s = 0; s < 5 * 6 * 4; ++s) {
        const float expected = v.wei(s % 5, (s / 5) % 6, s / 30) != 0.f
                                   ? v.num(s % 5, (s / 5) % 6, s / 30)
                                   : input[static_cast<std::size_t>(s)];
        EXPECT_EQ(f.num(s % 5, (s / 5) % 6, s / 30), expected) << s;
    }
}

TEST(Aggregation, ZeroWeightUsesTheTwoDifferentFloors) {
    const Vec3<int> b{1, 1, 1};
    for (float noise : {0.f, 1e-6f, 50.f}) {
        Volumes v({2, 1, 1});
        float value = 3.f, window = 0.5f, weight = 0.f;
        BlockDistance<float> m;
        Cube4D<float> group{1, 1, 1, 1, &value};
        aggregate<float>(&m, b, 1, group, &weight, &window, noise, v.numerator, v.weights);
        EXPECT_FLOAT_EQ(v.num(0, 0, 0), 3.f * 0.5f / 1e-8f);
        EXPECT_FLOAT_EQ(v.wei(0, 0, 0), 0.5f / std::max(1e-4f * noise, 1e-8f)) << "noise " << noise;
        EXPECT_EQ(v.num(1, 0, 0), 0.f);
    }
    // A weight above both floors divides both sums.
    Volumes v({1, 1, 1});
    float value = 3.f, window = 0.5f, weight = 4.f;
    BlockDistance<float> m;
    Cube4D<float> group{1, 1, 1, 1, &value};
    aggregate<float>(&m, b, 1, group, &weight, &window, 1.f, v.numerator, v.weights);
    EXPECT_FLOAT_EQ(v.num(0, 0, 0), 3.f * 0.5f / 4.f);
    EXPECT_FLOAT_EQ(v.wei(0, 0, 0), 0.5f / 4.f);
}

TEST(Aggregation, OverlappingGroupsAgreeWithADoublePrecisionSum) {
    const unsigned seed = 31337;
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.1f, 2.f);
    const Vec3<int> size{9, 7, 5}, b{3, 2, 2};
    const int n = 12, groups = 6, bv = 12;
    Volumes v(size);
    std::vector<double> num(9 * 7 * 5, 0.0), wei(9 * 7 * 5, 0.0);
    std::vector<float> window(bv);
    for (float& w : window) w = u(rng);
    for (int g = 0; g < groups; ++g) {
        std::vector<BlockDistance<float>> m(n);
        std::vector<float> data(static_cast<std::size_t>(n * bv)), weights(n);
        for (float& x : data) x = u(rng) - 1.f;
        for (int k = 0; k < n; ++k) {
            m[static_cast<std::size_t>(k)].position = {static_cast<int>(rng() % 7),
                                                       static_cast<int>(rng() % 6),
                                                       static_cast<int>(rng() % 4)};
            weights[static_cast<std::size_t>(k)] = u(rng);
        }
        Cube4D<float> group{b.x, b.y, b.z, n, data.data()};
        aggregate<float>(m.data(), b, n, group, weights.data(), window.data(), 0.5f, v.numerator,
                         v.weights);
        for (int k = 0; k < n; ++k) {
            const Vec3<int> q = m[static_cast<std::size_t>(k)].position;
            for (int c = 0; c < b.z; ++c)
                for (int j = 0; j < b.y; ++j)
                    for (int i = 0; i < b.x; ++i) {
                        const int e = (c * b.y + j) * b.x + i;
                        const std::size_t at = static_cast<std::size_t>(
                            ((q.z + c) * size.y + q.y + j) * size.x + q.x + i);
                        num[at] += double(data[static_cast<std::size_t>(k * bv + e)]) *
                                   window[static_cast<std::size_t>(e)] /
                                   weights[static_cast<std::size_t>(k)];
                        wei[at] += double(window[static_cast<std::size_t>(e)]) /
                                   weights[static_cast<std::size_t>(k)];
                    }
        }
    }
    // Each sample sums at most groups * n terms of magnitude <= 2 / 0.1.
    const double bound = groups * n * 20.0 * 4 * 6e-8;
    for (std::size_t at = 0; at < num.size(); ++at) {
        ASSERT_NEAR(v.numerator.data[at], num[at], bound);
        ASSERT_NEAR(v.weights.data[at], wei[at], bound);
    }
}

// The two-step form (terms outside the lock, additions inside) against aggregate: the same
// bits, for the row lengths with a fixed-size path (4, 8) and another one; zero weights and a
// terms array that overwrites the group in place included.
TEST(Aggregation, TermsThenAdditionsEqualAggregateBitForBit) {
    const unsigned seed = 4242;
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.f, 2.f);
    // The last size is beyond the blocks whose terms aggregate computes whole.
    for (const Vec3<int> b : {Vec3<int>{4, 4, 4}, Vec3<int>{8, 8, 1}, Vec3<int>{3, 2, 5},
                              Vec3<int>{3, 3, 3}, Vec3<int>{8, 8, 9}}) {
        const Vec3<int> size{b.x + 9, b.y + 6, b.z + 3};
        const int n = 16, bv = b.x * b.y * b.z;
        Volumes plain(size), split(size);
        std::vector<float> window(static_cast<std::size_t>(bv));
        for (float& w : window) w = u(rng) + 1.f;
        for (int g = 0; g < 5; ++g) {
            std::vector<BlockDistance<float>> m(n);
            std::vector<float> data(static_cast<std::size_t>(n * bv)), weights(n),
                terms(data.size());
            for (float& x : data) x = u(rng);
            for (int k = 0; k < n; ++k) {
                m[static_cast<std::size_t>(k)].position = {static_cast<int>(rng() % 10),
                                                           static_cast<int>(rng() % 7),
                                                           static_cast<int>(rng() % 4)};
                // Odd groups share one weight over runs of members, as filtered groups do.
                weights[static_cast<std::size_t>(k)] =
                    k % 5 == 0
                        ? 0.f
                        : (g % 2 == 1 && k % 5 != 1 ? weights[static_cast<std::size_t>(k - 1)]
                                                    : u(rng) + 1.f);
            }
            Cube4D<float> group{b.x, b.y, b.z, n, data.data()};
            aggregate<float>(m.data(), b, n, group, weights.data(), window.data(), 0.3f,
                             plain.numerator, plain.weights);
            aggregationTerms(b, n, group, weights.data(), window.data(), 0.3f, data.data(),
                             terms.data());
            addAggregationTerms(m.data(), b, n, data.data(), terms.data(), split.numerator,
                                split.weights);
        }
        const std::size_t count = static_cast<std::size_t>(size.x) * size.y * size.z;
        ASSERT_EQ(std::memcmp(plain.numerator.data, split.numerator.data, count * sizeof(float)),
                  0);
        ASSERT_EQ(std::memcmp(plain.weights.data, split.weights.data, count * sizeof(float)), 0);
    }
}

TEST(Aggregation, EmptyGroupsAndBadPositionsLeaveTheVolumesUntouched) {
    const Vec3<int> b{2, 2, 1};
    Volumes v({4, 4, 1});
    std::vector<float> data(8, 1.f), window(4, 1.f), weights(2, 1.f);
    std::vector<BlockDistance<float>> m(2);
    m[1].position = {3, 0, 0};  // reaches past the end in dimension 0
    Cube4D<float> group{2, 2, 1, 2, data.data()};
    aggregate<float>(m.data(), b, 0, group, weights.data(), window.data(), 1.f, v.numerator,
                     v.weights);
    aggregate<float>(m.data(), b, -2, group, weights.data(), window.data(), 1.f, v.numerator,
                     v.weights);
    EXPECT_THROW(aggregate<float>(m.data(), b, 2, group, weights.data(), window.data(), 1.f,
                                  v.numerator, v.weights),
                 std::out_of_range);
    m[1].position = {0, -1, 0};
    EXPECT_THROW(aggregate<float>(m.data(), b, 2, group, weights.data(), window.data(), 1.f,
                                  v.numerator, v.weights),
                 std::out_of_range);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(v.numerator.data[i], 0.f);
        EXPECT_EQ(v.weights.data[i], 0.f);
    }
    Volumes other({4, 3, 1});
    EXPECT_THROW(normalise(v.numerator, other.weights), std::invalid_argument);
}

}  // namespace
}  // namespace kelvo
