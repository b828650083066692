// Separable block transform: the generic product against a plain reference, the 8-point
// butterflies against the table products, round trips, flat blocks and in-place use.
#include "kelvo/engine/block_transform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kelvo/engine/tables.h"

namespace kelvo {
namespace {

using namespace TransformsMetas;
using Kinds = Vec3<StandardTransform>;
using Matrices = Vec3<const float*>;

constexpr double EPS = std::numeric_limits<float>::epsilon();
constexpr unsigned SEED = 20240611u;

long long volumeOf(Vec3<int> s) { return static_cast<long long>(s.x) * s.y * s.z; }

std::mt19937& rng() {
    static std::mt19937 gen = [] {
        std::printf("block_transform_test: random seed %u\n", SEED);
        return std::mt19937(SEED);
    }();
    return gen;
}

std::vector<float> randomValues(long long n, float scale = 1.0f) {
    std::uniform_real_distribution<float> dist(-scale, scale);
    std::vector<float> v(static_cast<std::size_t>(n));
    for (float& x : v) x = dist(rng());
    return v;
}

// Plain reference of the generic product: three passes (the third only for depth > 1), each
// out[j] = M[j*n] * line[0] + M[j*n + 1] * line[1] + ... in single precision, in that order.
template <typename Real>
std::vector<Real> plainTransform(const std::vector<Real>& in, const Real* const m[3], Vec3<int> s) {
    std::vector<Real> cur = in, next(in.size());
    const int passes = s.z > 1 ? 3 : 2;
    for (int d = 0; d < passes; ++d) {
        const int n = s[d];
        const long long stride = d == 0 ? 1 : (d == 1 ? s.x : static_cast<long long>(s.x) * s.y);
        for (int z = 0; z < s.z; ++z)
            for (int y = 0; y < s.y; ++y)
                for (int x = 0; x < s.x; ++x) {
                    const int pos[3] = {x, y, z};
                    if (pos[d] != 0) continue;  // (x, y, z) is the start of a line along d
                    const long long base = x + static_cast<long long>(s.x) * (y + s.y * z);
                    for (int j = 0; j < n; ++j) {
                        Real acc = m[d][j * n] * cur[base];
                        for (int k = 1; k < n; ++k) acc += m[d][j * n + k] * cur[base + k * stride];
                        next[base + j * stride] = acc;
                    }
                }
        std::swap(cur, next);
    }
    return cur;
}

std::vector<float> plainTransform(const std::vector<float>& in, Matrices m, Vec3<int> s) {
    const float* const ms[3] = {m.x, m.y, m.z};
    return plainTransform<float>(in, ms, s);
}

// |M_2| |M_1| |M_0| |x| in double: the scale of the rounding error of any single-precision
// evaluation of the transform, element by element.
std::vector<double> absoluteScale(const std::vector<float>& in, Matrices m, Vec3<int> s) {
    std::vector<double> x(in.begin(), in.end());
    for (double& v : x) v = std::fabs(v);
    std::vector<std::vector<double>> abs(3);
    const double* ms[3];
    for (int d = 0; d < 3; ++d) {
        abs[d].resize(static_cast<std::size_t>(s[d]) * s[d]);
        for (std::size_t i = 0; i < abs[d].size(); ++i) abs[d][i] = std::fabs(m[d][i]);
        ms[d] = abs[d].data();
    }
    return plainTransform<double>(x, ms, s);
}

std::vector<float> run(const std::vector<float>& in, Matrices m, Kinds k, Vec3<int> s) {
    const long long n = volumeOf(s);
    std::vector<float> a(n), b(n), out(n);
    transf3D<float>(in.data(), m, k, a.data(), b.data(), out.data(), s);
    return out;
}

int lengthSum(Vec3<int> s) { return s.x + s.y + (s.z > 1 ? s.z : 0); }

// Agreement within c * (n0 + n1 + n2) * eps * (|M| |x|) per element.
void expectClose(const std::vector<float>& got, const std::vector<float>& want,
                 const std::vector<double>& scale, double c, Vec3<int> s) {
    for (std::size_t i = 0; i < got.size(); ++i) {
        const double tol = c * lengthSum(s) * EPS * scale[i] + 1e-30;
        ASSERT_NEAR(got[i], want[i], tol) << "element " << i;
    }
}

TEST(BlockTransform, GenericProductEqualsThePlainReferenceForEverySize) {
    // The fixed-size forms (3^3, 5^3, 6^3, 8^3; 6^2, 12^2, 16^2) and run-time lengths alike.
    const Vec3<int> sizes[] = {{4, 4, 4}, {8, 8, 1},  {8, 8, 8}, {3, 5, 2},   {1, 1, 1},
                               {5, 1, 7}, {16, 2, 3}, {2, 9, 1}, {1, 6, 1},   {7, 3, 33},
                               {5, 5, 5}, {6, 6, 6},  {6, 6, 1}, {12, 12, 1}, {16, 16, 1},
                               {6, 6, 5}, {3, 3, 3}};
    for (Vec3<int> s : sizes) {
        SCOPED_TRACE(::testing::Message() << s.x << "x" << s.y << "x" << s.z);
        std::vector<float> m0 = randomValues(s.x * s.x), m1 = randomValues(s.y * s.y),
                           m2 = randomValues(s.z * s.z);
        const Matrices m{m0.data(), m1.data(), m2.data()};
        const std::vector<float> in = randomValues(volumeOf(s), 10.0f);
        const std::vector<float> got = run(in, m, ARB_TRANSFORMS, s);
        const std::vector<float> want = plainTransform(in, m, s);
#if defined(__FP_FAST_FMAF)
        // Contracted multiply-adds may round differently in the two codes.
        expectClose(got, want, absoluteScale(in, m, s), 2.0, s);
#else
        for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], want[i]) << i;
#endif
    }
}

struct ButterflyCase {
    StandardTransform kind;
    const float* table;
};

const ButterflyCase BUTTERFLIES[] = {
    {DCT8_FWD, DCT_8_FWD}, {BIOR8_FWD, BIOR_8_FWD}, {DCT8_INV, DCT_8_INV}, {BIOR8_INV, BIOR_8_INV}};

TEST(BlockTransform, ButterfliesEqualTheTableProducts) {
    // The butterfly paths never read the matrix: hand them NaNs to prove it.
    std::vector<float> poison(64, std::numeric_limits<float>::quiet_NaN());
    for (const ButterflyCase& c : BUTTERFLIES) {
        SCOPED_TRACE(c.kind);
        // Both dimensions, with and without a third pass; and each dimension on its own.
        struct Layout {
            Vec3<int> size;
            bool dim0, dim1;
        } layouts[] = {{{8, 8, 1}, true, true},
                       {{8, 8, 4}, true, true},
                       {{4, 8, 2}, false, true},
                       {{8, 3, 1}, true, false}};
        for (const Layout& l : layouts) {
            const Vec3<int> s = l.size;
            const float* generic[3] = {s.x == 8 ? c.table : DCT_4_FWD,
                                       s.y == 8 ? c.table : DCT_4_FWD, DCT_4_FWD};
            if (s.y == 3) generic[1] = DCT_5_FWD;  // any 3 x 3 block of a table will do
            std::vector<float> m1(generic[1], generic[1] + s.y * s.y);
            const Matrices tables{generic[0], m1.data(), s.z == 1 ? &ONE : DCT_4_FWD};
            const Matrices fast{l.dim0 ? poison.data() : tables.x,
                                l.dim1 ? poison.data() : tables.y, tables.z};
            const Kinds kinds{l.dim0 ? c.kind : ARB_FWD, l.dim1 ? c.kind : ARB_FWD,
                              c.kind};  // dimension 2 ignores its kind
            for (int trial = 0; trial < 20; ++trial) {
                const std::vector<float> in = randomValues(volumeOf(s), trial < 10 ? 1.0f : 1e3f);
                const std::vector<float> got = run(in, fast, kinds, s);
                const std::vector<float> want = run(in, tables, ARB_TRANSFORMS, s);
                expectClose(got, want, absoluteScale(in, tables, s), 4.0, s);
            }
        }
    }
}

TEST(BlockTransform, ButterflyKindsOnOtherLengthsTakeTheGenericProduct) {
    const Vec3<int> s{4, 4, 1};
    const std::vector<float> in = randomValues(16);
    const Matrices m{DCT_4_FWD, DCT_4_FWD, &ONE};
    EXPECT_EQ(run(in, m, {DCT8_FWD, BIOR8_INV, ARB_FWD}, s), run(in, m, ARB_TRANSFORMS, s));
}

TEST(BlockTransform, ForwardThenInverseRestoresTheBlock) {
    struct RoundTrip {
        Vec3<int> size;
        Matrices fwd, inv;
        Kinds fwdKinds, invKinds;
    } cases[] = {
        {{8, 8, 1},
         DEFAULT_FWD_2D,
         DEFAULT_INV_2D,
         {DCT8_FWD, DCT8_FWD, ARB_FWD},
         {DCT8_INV, DCT8_INV, ARB_INV}},
        {{8, 8, 1},
         BIOR_FWD_2D,
         BIOR_INV_2D,
         {BIOR8_FWD, BIOR8_FWD, ARB_FWD},
         {BIOR8_INV, BIOR8_INV, ARB_INV}},
        {{8, 8, 1}, BIOR_FWD_2D, BIOR_INV_2D, ARB_TRANSFORMS, ARB_TRANSFORMS},
        {{4, 4, 4}, DEFAULT_FWD_3D, DEFAULT_INV_3D, ARB_TRANSFORMS, ARB_TRANSFORMS},
        {{5, 8, 4},
         {DCT_5_FWD, HAAR_8_FWD, HAAR_4_FWD},
         {DCT_5_INV, HAAR_8_INV, HAAR_4_INV},
         ARB_TRANSFORMS,
         ARB_TRANSFORMS},
    };
    for (const RoundTrip& c : cases) {
        const Vec3<int> s = c.size;
        SCOPED_TRACE(::testing::Message() << s.x << "x" << s.y << "x" << s.z);
        const std::vector<float> in = randomValues(volumeOf(s), 100.0f);
        const std::vector<float> back = run(run(in, c.fwd, c.fwdKinds, s), c.inv, c.invKinds, s);
        // Error scale: |INV| (|FWD| |x|), both transforms' lengths.
        std::vector<double> fwdScale = absoluteScale(in, c.fwd, s);
        std::vector<float> asFloat(fwdScale.begin(), fwdScale.end());
        const std::vector<double> scale = absoluteScale(asFloat, c.inv, s);
        expectClose(back, in, scale, 2 * 4.0, s);
    }
}

TEST(BlockTransform, FlatBlocksTakeTwoPassesAndLeaveTheSecondScratchAlone) {
    const Vec3<int> s{8, 8, 1};
    const float depth = 2.0f;  // would double every value if it were applied
    const std::vector<float> in = randomValues(64);
    for (Kinds k : {Kinds{DCT8_FWD, DCT8_FWD, ARB_FWD}, ARB_TRANSFORMS}) {
        std::vector<float> a(64), b(64, -7.0f), out(64);
        transf3D<float>(in.data(), {DCT_8_FWD, DCT_8_FWD, &depth}, k, a.data(), b.data(),
                        out.data(), s);
        for (float v : b) ASSERT_EQ(v, -7.0f);
        const std::vector<float> want = run(in, DEFAULT_FWD_2D, ARB_TRANSFORMS, s);
        expectClose(out, want, absoluteScale(in, DEFAULT_FWD_2D, s), 4.0, s);
    }
}

TEST(BlockTransform, InPlaceEqualsOutOfPlace) {
    struct Case {
        Vec3<int> size;
        Matrices m;
        Kinds k;
    } cases[] = {{{8, 8, 1}, BIOR_FWD_2D, {BIOR8_FWD, BIOR8_FWD, ARB_FWD}},
                 {{8, 8, 1}, DEFAULT_INV_2D, {DCT8_INV, DCT8_INV, ARB_INV}},
                 {{8, 8, 3}, {DCT_8_FWD, DCT_8_FWD, DCT_4_FWD /* 3x3 corner */}, ARB_TRANSFORMS},
                 {{4, 4, 4}, DEFAULT_FWD_3D, ARB_TRANSFORMS}};
    for (const Case& c : cases) {
        const long long n = volumeOf(c.size);
        const std::vector<float> in = randomValues(n);
        std::vector<float> block = in, a(n), b(n);
        transf3D<float>(block.data(), c.m, c.k, a.data(), b.data(), block.data(), c.size);
        EXPECT_EQ(block, run(in, c.m, c.k, c.size));
    }
}

}  // namespace
}  // namespace kelvo

namespace kelvo {
namespace {

// The 4x4x4 and 3x3x3 register kernels against their plain twin: the same bits for random
// matrices (different per dimension) and random blocks, one block through transf3D, several
// in place through transformBlocks444 / transformBlocks333.
TEST(BlockTransform, RegisterKernelsEqualTheGenericProductBitForBit) {
    const unsigned seed = 4444;
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-2.f, 2.f);
    using namespace TransformsMetas;
    const Vec3<StandardTransform> kinds{ARB_FWD, ARB_FWD, ARB_FWD};
    for (const int n : {4, 3}) {
        const Vec3<int> size{n, n, n};
        const int v = n * n * n;
        for (int trial = 0; trial < 50; ++trial) {
            std::vector<float> m0(n * n), m1(n * n), m2(n * n), blocks(5 * v);
            for (std::vector<float>* m : {&m0, &m1, &m2})
                for (float& x : *m) x = u(rng);
            for (float& x : blocks) x = u(rng);
            const Vec3<const float*> matrices{m0.data(), m1.data(), m2.data()};
            std::vector<float> a(v), b(v), plain(5 * v), fast(v);
            for (int k = 0; k < 5; ++k)
                transf3DGeneric<float>(blocks.data() + v * k, matrices, kinds, a.data(), b.data(),
                                       plain.data() + v * k, size);
            transf3D<float>(blocks.data(), matrices, kinds, a.data(), b.data(), fast.data(), size);
            ASSERT_EQ(std::memcmp(fast.data(), plain.data(), v * sizeof(float)), 0)
                << n << "^3, trial " << trial;
            if (n == 4) {
                transformBlocks444(blocks.data(), blocks.data(), 5, matrices);
            } else {
                transformBlocks333(blocks.data(), blocks.data(), 5, matrices);
            }
            ASSERT_EQ(std::memcmp(blocks.data(), plain.data(), blocks.size() * sizeof(float)), 0)
                << n << "^3, trial " << trial;
        }
    }
}

}  // namespace
}  // namespace kelvo
