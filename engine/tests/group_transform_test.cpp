// Group-dimension transform: Haar butterflies against the generic product with Haar matrices
// built here in double precision, round trips, the 2-point table's 0.99998 scale, and the
// forward Haar read through a match list with its exact constants.
#include "kelvo/engine/group_transform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace kelvo {
namespace {

using namespace TransformsMetas;

// Orthonormal Haar matrix of size n (power of two), dyadic order, in double precision.
std::vector<double> haar(int n) {
    std::vector<double> m(static_cast<std::size_t>(n) * n, 0.0);
    for (int x = 0; x < n; ++x) m[static_cast<std::size_t>(x)] = 1.0 / std::sqrt(double(n));
    for (int r = 1; r < n; ++r) {
        int j = 0;
        while ((2 << j) <= r) ++j;
        const int k = r - (1 << j), w = n >> j;
        const double v = std::sqrt(double(1 << j) / n);
        for (int x = k * w; x < k * w + w / 2; ++x) m[static_cast<std::size_t>(r) * n + x] = v;
        for (int x = k * w + w / 2; x < (k + 1) * w; ++x)
            m[static_cast<std::size_t>(r) * n + x] = -v;
    }
    return m;
}
std::vector<double> transpose(const std::vector<double>& m, int n) {
    std::vector<double> t(m.size());
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            t[static_cast<std::size_t>(j) * n + i] = m[static_cast<std::size_t>(i) * n + j];
    return t;
}
std::vector<float> toFloat(const std::vector<double>& m) {
    return std::vector<float>(m.begin(), m.end());
}

StandardTransform haarKind(int G, bool forward) {
    const int base = G == 4 ? 10 : G == 8 ? 11 : G == 16 ? 12 : 13;
    return static_cast<StandardTransform>(forward ? base : base + 16);
}

// out[j*n + i] = sum_k M[j*G + k] in[k*n + i] in double, and the bound on a single-precision
// evaluation of it: (G + 2) * eps * sum_k |M[j*G + k] in[k*n + i]|.
void product(const std::vector<float>& M, const std::vector<float>& in, int G, int n,
             std::vector<double>& out, std::vector<double>& bound) {
    out.assign(in.size(), 0.0);
    bound.assign(in.size(), 0.0);
    for (int j = 0; j < G; ++j)
        for (int i = 0; i < n; ++i)
            for (int k = 0; k < G; ++k) {
                const double t = double(M[static_cast<std::size_t>(j * G + k)]) *
                                 in[static_cast<std::size_t>(k * n + i)];
                out[static_cast<std::size_t>(j * n + i)] += t;
                bound[static_cast<std::size_t>(j * n + i)] += std::fabs(t) * (G + 2) * 1.2e-7;
            }
}

std::vector<float> randomGroup(int G, int n, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(-4.f, 4.f);
    std::vector<float> g(static_cast<std::size_t>(G) * n);
    for (float& x : g) x = u(rng);
    return g;
}

TEST(GroupTransform, HaarButterfliesAgreeWithTheProductForEverySize) {
    std::mt19937 rng(7);
    std::printf("seed 7\n");
    for (const Vec3<int> b : {Vec3<int>{4, 4, 4}, Vec3<int>{8, 8, 1}, Vec3<int>{7, 3, 1}}) {
        const int n = b.x * b.y * b.z;
        for (int G : {4, 8, 16, 32}) {
            const std::vector<double> fwd = haar(G);
            for (bool forward : {true, false}) {
                const std::vector<float> M = toFloat(forward ? fwd : transpose(fwd, G));
                std::vector<float> in = randomGroup(G, n, rng), out(in.size(), -1.f);
                const std::vector<float> copy = in;
                Cube4D<float> ci{b.x, b.y, b.z, G, in.data()}, co{b.x, b.y, b.z, G, out.data()};
                transformBlocksNL<float>(ci, G, M.data(), haarKind(G, forward), co, b);
                EXPECT_EQ(in, copy);  // input untouched
                std::vector<double> ref, bound;
                product(M, in, G, n, ref, bound);
                for (std::size_t v = 0; v < out.size(); ++v)
                    ASSERT_NEAR(out[v], ref[v], bound[v] + 1e-30)
                        << "G " << G << (forward ? " fwd" : " inv");
                // The generic path (ARB kind) with the same table agrees too.
                std::vector<float> generic(in.size());
                Cube4D<float> cg{b.x, b.y, b.z, G, generic.data()};
                transformBlocksNL<float>(ci, G, M.data(), forward ? ARB_FWD : ARB_INV, cg, b);
                for (std::size_t v = 0; v < out.size(); ++v)
                    ASSERT_NEAR(generic[v], ref[v], bound[v] + 1e-30);
            }
        }
    }
}

TEST(GroupTransform, ForwardThenInverseRestoresTheGroup) {
    std::mt19937 rng(8);
    const Vec3<int> b{4, 4, 4};
    const int n = 64;
    for (int G : {4, 8, 16, 32}) {
        const std::vector<double> fwd = haar(G);
        const std::vector<float> F = toFloat(fwd), I = toFloat(transpose(fwd, G));
        std::vector<float> in = randomGroup(G, n, rng), mid(in.size()), back(in.size());
        Cube4D<float> ci{4, 4, 4, G, in.data()}, cm{4, 4, 4, G, mid.data()},
            cb{4, 4, 4, G, back.data()};
        transformBlocksNL<float>(ci, G, F.data(), haarKind(G, true), cm, b);
        transformBlocksNL<float>(cm, G, I.data(), haarKind(G, false), cb, b);
        // Two passes of at most log2(G) + 1 roundings on values of magnitude <= 4 sqrt(G).
        const double bound = 2 * (std::log2(G) + 2) * 1.2e-7 * 4 * std::sqrt(double(G)) * 2;
        for (std::size_t v = 0; v < in.size(); ++v) ASSERT_NEAR(back[v], in[v], bound) << "G " << G;
    }
}

TEST(GroupTransform, TwoPointTableScalesTheRoundTripBy099998) {
    const float s = 0.70709997f;  // the stored 2-point Haar value
    ASSERT_EQ(std::memcmp(&s, "\x81\x04\x35\x3f", 4), 0);
    const std::vector<float> H2{s, s, s, -s};
    std::mt19937 rng(9);
    const Vec3<int> b{4, 4, 4};
    std::vector<float> in = randomGroup(2, 64, rng), mid(128), back(128);
    Cube4D<float> ci{4, 4, 4, 2, in.data()}, cm{4, 4, 4, 2, mid.data()},
        cb{4, 4, 4, 2, back.data()};
    transformBlocksNL<float>(ci, 2, H2.data(), HAAR2_NL_FWD, cm, b);
    transformBlocksNL<float>(cm, 2, H2.data(), HAAR2_NL_INV, cb, b);
    const double scale = 2.0 * double(s) * double(s);
    EXPECT_NEAR(scale, 0.99998, 1e-6);
    double cross = 0, norm = 0;
    for (std::size_t v = 0; v < in.size(); ++v) {
        const std::size_t i = v % 64;
        // Four roundings on values bounded by the pair's magnitudes.
        ASSERT_NEAR(back[v], scale * in[v],
                    4 * 1.2e-7 * (std::fabs(in[i]) + std::fabs(in[64 + i])));
        cross += double(back[v]) * in[v];
        norm += double(in[v]) * in[v];
    }
    EXPECT_NEAR(cross / norm, 0.99998, 1e-6);  // scaled, not restored
}

TEST(GroupTransform, OtherSizesUseTheGenericProduct) {
    std::mt19937 rng(10);
    const Vec3<int> b{3, 2, 1};
    for (int G : {3, 5, 6, 4}) {
        std::vector<float> M = randomGroup(G, G, rng);
        std::vector<float> in = randomGroup(G, 6, rng), out(in.size());
        Cube4D<float> ci{3, 2, 1, G, in.data()}, co{3, 2, 1, G, out.data()};
        // A Haar kind that names another size (HAAR8 for G = 4) is not a butterfly either.
        transformBlocksNL<float>(ci, G, M.data(), G == 4 ? HAAR8_NL_FWD : ARB_FWD, co, b);
        std::vector<double> ref, bound;
        product(M, in, G, 6, ref, bound);
        for (std::size_t v = 0; v < out.size(); ++v)
            ASSERT_NEAR(out[v], ref[v], bound[v] + 1e-30) << "G " << G;
    }
    std::vector<float> in(18, 1.f), out(18);
    Cube4D<float> ci{3, 2, 1, 3, in.data()}, co{3, 2, 1, 3, out.data()};
    EXPECT_THROW(transformBlocksNL<float>(ci, 3, nullptr, ARB_FWD, co, b), std::invalid_argument);
}

TEST(GroupTransform, SingleMemberGroupsAreCopied) {
    const Vec3<int> b{2, 2, 2};
    std::vector<float> in{1, -2, 3, -4, 5.5f, 6, 7, 8}, out(8, 0.f);
    Cube4D<float> ci{2, 2, 2, 1, in.data()}, co{2, 2, 2, 1, out.data()};
    transformBlocksNL<float>(ci, 1, nullptr, ARB_FWD, co, b);  // the tables hold no 1 x 1 matrix
    EXPECT_EQ(out, in);
    std::vector<BlockDistance<float>> m(1);
    m[0].data = in.data();
    for (int i = 0; i < 8; ++i) {
        float dst = 0.f;
        forwardHaar_32_16_8_4_2_1(m.data(), i, &dst, 1, 1);
        EXPECT_EQ(dst, in[static_cast<std::size_t>(i)]);
    }
}

TEST(GroupTransform, ForwardHaarThroughTheMatchListUsesTheExactConstants) {
    std::mt19937 rng(11);
    const int n = 64;
    for (int G : {2, 4, 8, 16, 32}) {
        std::vector<float> blocks = randomGroup(G, n, rng);
        std::vector<BlockDistance<float>> m(static_cast<std::size_t>(G));
        // Members scattered in reverse order: only the match list says where they are.
        for (int k = 0; k < G; ++k)
            m[static_cast<std::size_t>(k)].data = blocks.data() + (G - 1 - k) * n;
        std::vector<float> gathered(static_cast<std::size_t>(G) * n);
        for (int k = 0; k < G; ++k)
            std::memcpy(&gathered[static_cast<std::size_t>(k) * n],
                        m[static_cast<std::size_t>(k)].data, n * sizeof(float));
        const int stride = n + 3;
        std::vector<float> dst(static_cast<std::size_t>(stride) * G, 0.f);
        for (int i = 0; i < n; ++i)
            forwardHaar_32_16_8_4_2_1(m.data(), i, dst.data() + i, stride, G);
        std::vector<double> ref, bound;
        product(toFloat(haar(G)), gathered, G, n, ref, bound);
        for (int j = 0; j < G; ++j)
            for (int i = 0; i < n; ++i)
                ASSERT_NEAR(dst[static_cast<std::size_t>(j * stride + i)],
                            ref[static_cast<std::size_t>(j * n + i)],
                            bound[static_cast<std::size_t>(j * n + i)])
                    << "G " << G;
        if (G == 2 || G == 4) {
            const float c = 0.70710677f;
            for (int i = 0; i < n; ++i) {
                const float* v[4];
                for (int k = 0; k < G; ++k) v[k] = m[static_cast<std::size_t>(k)].data + i;
                const float* out = dst.data() + i;
                if (G == 2) {
                    EXPECT_EQ(out[0], (*v[0] + *v[1]) * c);
                    EXPECT_EQ(out[stride], (*v[0] - *v[1]) * c);
                } else {
                    EXPECT_EQ(out[0], ((*v[0] + *v[1]) + (*v[2] + *v[3])) * 0.5f);
                    EXPECT_EQ(out[stride], ((*v[0] + *v[1]) - (*v[2] + *v[3])) * 0.5f);
                    EXPECT_EQ(out[2 * stride], (*v[0] - *v[1]) * c);
                    EXPECT_EQ(out[3 * stride], (*v[2] - *v[3]) * c);
                }
            }
        }
    }
    std::vector<BlockDistance<float>> m(64);
    float dst[64];
    EXPECT_THROW(forwardHaar_32_16_8_4_2_1(m.data(), 0, dst, 1, 3), std::invalid_argument);
    EXPECT_THROW(forwardHaar_32_16_8_4_2_1(m.data(), 0, dst, 1, 64), std::invalid_argument);
}

// The whole-group forward Haar (lanes of coefficients) against the per-coefficient one: the
// same bits, for block volumes with and without a partial last lane.
TEST(GroupTransform, WholeGroupForwardHaarEqualsThePerCoefficientOne) {
    std::mt19937 rng(12);
    std::printf("seed 12\n");
    for (int n : {64, 13, 8, 1}) {
        for (int G : {1, 2, 4, 8, 16, 32}) {
            std::vector<float> blocks = randomGroup(G, n, rng);
            std::vector<BlockDistance<float>> m(static_cast<std::size_t>(G));
            for (int k = 0; k < G; ++k)
                m[static_cast<std::size_t>(k)].data = blocks.data() + (G - 1 - k) * n;
            std::vector<float> one(static_cast<std::size_t>(G) * n), all(one.size(), -1.f);
            for (int i = 0; i < n; ++i)
                forwardHaar_32_16_8_4_2_1(m.data(), i, one.data() + i, n, G);
            forwardHaarGroup(m.data(), G, all.data(), n);
            for (std::size_t k = 0; k < one.size(); ++k)
                ASSERT_EQ(std::memcmp(&one[k], &all[k], sizeof(float)), 0)
                    << "n " << n << " G " << G << " at " << k;
        }
    }
    std::vector<BlockDistance<float>> m(64);
    std::vector<float> dst(64 * 64);
    EXPECT_THROW(forwardHaarGroup(m.data(), 3, dst.data(), 64), std::invalid_argument);
    EXPECT_THROW(forwardHaarGroup(m.data(), 64, dst.data(), 64), std::invalid_argument);
}

}  // namespace
}  // namespace kelvo
