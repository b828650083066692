// Built-in tables against their defining rules (evaluated independently in double precision),
// the listed telling values, and the structure of the pointer tables and default records.
#include "kelvo/engine/tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "kelvo/engine/generated_transforms.h"

namespace kelvo {
namespace {

constexpr double EPS = std::numeric_limits<float>::epsilon();
constexpr double PI = 3.14159265358979323846;

// Read during this file's dynamic initialisation: the tables must already hold their values.
const float DCT4_ENTRY_AT_STARTUP = DCT_4_FWD[5];
const Transforms DEFAULT_3D_AT_STARTUP = DEFAULT_TRANSFORMS_3D;

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

std::vector<double> dctRule(int n) {
    std::vector<double> m(n * n);
    for (int k = 0; k < n; ++k) {
        const double c = std::sqrt((k == 0 ? 1.0 : 2.0) / n);
        for (int x = 0; x < n; ++x) m[k * n + x] = c * std::cos(PI * (2 * x + 1) * k / (2.0 * n));
    }
    return m;
}

std::vector<double> haarRule(int n) {
    std::vector<double> m(n * n, 0.0);
    for (int x = 0; x < n; ++x) m[x] = 1.0 / std::sqrt(double(n));
    for (int r = 1; r < n; ++r) {
        int j = 0;
        while ((2 << j) <= r) ++j;
        const int k = r - (1 << j);
        const int w = n >> j;
        const double v = std::sqrt(double(1 << j) / n);
        for (int x = k * w; x < (k + 1) * w; ++x) m[r * n + x] = x < k * w + w / 2 ? v : -v;
    }
    return m;
}

// Every entry is the single-precision rounding of the rule; zeros of the rule may hold
// residues below 1e-16.
void expectRoundedRule(const float* table, const std::vector<double>& rule, const char* name) {
    for (std::size_t i = 0; i < rule.size(); ++i) {
        if (std::fabs(rule[i]) < 1e-12) {
            EXPECT_LT(std::fabs(table[i]), 1e-16) << name << " entry " << i;
        } else {
            EXPECT_EQ(table[i], static_cast<float>(rule[i])) << name << " entry " << i;
        }
    }
}

void expectTranspose(const float* fwd, const float* inv, int n, const char* name) {
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            EXPECT_EQ(bits(inv[i * n + j]), bits(fwd[j * n + i])) << name << " " << i << "," << j;
}

// |(A B)_ij - I_ij| <= n * eps * (|A| |B|)_ij: A B is the identity to single precision.
void expectProductIsIdentity(const float* a, const float* b, int n, const char* name) {
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            double s = 0.0, bound = 0.0;
            for (int k = 0; k < n; ++k) {
                s += double(a[i * n + k]) * b[k * n + j];
                bound += std::fabs(double(a[i * n + k]) * b[k * n + j]);
            }
            EXPECT_NEAR(s, i == j ? 1.0 : 0.0, n * EPS * bound) << name << " " << i << "," << j;
        }
    }
}

TEST(TransformTables, DctTablesAreTheRoundedOrthonormalDctAndTheirTransposes) {
    expectRoundedRule(DCT_4_FWD, dctRule(4), "DCT_4_FWD");
    expectRoundedRule(DCT_5_FWD, dctRule(5), "DCT_5_FWD");
    expectRoundedRule(DCT_8_FWD, dctRule(8), "DCT_8_FWD");
    expectTranspose(DCT_4_FWD, DCT_4_INV, 4, "DCT_4");
    expectTranspose(DCT_5_FWD, DCT_5_INV, 5, "DCT_5");
    expectTranspose(DCT_8_FWD, DCT_8_INV, 8, "DCT_8");
    expectProductIsIdentity(DCT_4_INV, DCT_4_FWD, 4, "DCT_4");
    expectProductIsIdentity(DCT_5_INV, DCT_5_FWD, 5, "DCT_5");
    expectProductIsIdentity(DCT_8_INV, DCT_8_FWD, 8, "DCT_8");
}

TEST(TransformTables, DctTellingValues) {
    const float d4[] = {0.5f,          0.5f,         0.5f, 0.5f,  0.65328151f, 0.270598054f,
                        -0.270598054f, -0.65328151f, 0.5f, -0.5f, -0.5f,       0.5f};
    for (int i = 0; i < 12; ++i) EXPECT_FLOAT_EQ(DCT_4_FWD[i], d4[i]) << i;
    const float d5[] = {0.447213595f, 0.447213595f,  0.447213595f,  0.447213595f,  0.447213595f,
                        0.601500928f, 0.37174803f,   0.0f,          -0.37174803f,  -0.601500928f,
                        0.511667252f, -0.195439503f, -0.632455528f, -0.195439503f, 0.511667252f};
    for (int i = 0; i < 15; ++i) EXPECT_NEAR(DCT_5_FWD[i], d5[i], 1e-16 + 2 * EPS * 0.7) << i;
    const float r1[] = {0.490392625f, 0.415734798f, 0.277785122f, 0.0975451618f};
    const float r2[] = {0.461939752f, 0.191341713f, -0.191341713f, -0.461939752f};
    for (int x = 0; x < 8; ++x) EXPECT_FLOAT_EQ(DCT_8_FWD[x], 0.353553385f);
    for (int x = 0; x < 4; ++x) {
        EXPECT_FLOAT_EQ(DCT_8_FWD[8 + x], r1[x]);
        EXPECT_FLOAT_EQ(DCT_8_FWD[8 + 7 - x], -r1[x]);
        EXPECT_FLOAT_EQ(DCT_8_FWD[16 + x], r2[x]);
        EXPECT_FLOAT_EQ(DCT_8_FWD[16 + 7 - x], r2[x]);
    }
}

TEST(TransformTables, HaarTablesFollowTheDyadicRuleAndTheirTransposes) {
    const struct {
        int n;
        const float* fwd;
        const float* inv;
    } haar[] = {{4, HAAR_4_FWD, HAAR_4_INV},
                {8, HAAR_8_FWD, HAAR_8_INV},
                {16, HAAR_16_FWD, HAAR_16_INV},
                {32, HAAR_32_FWD, HAAR_32_INV},
                {64, HAAR_64_FWD, HAAR_64_INV}};
    for (const auto& h : haar) {
        SCOPED_TRACE(h.n);
        expectRoundedRule(h.fwd, haarRule(h.n), "HAAR_FWD");
        expectTranspose(h.fwd, h.inv, h.n, "HAAR");
        expectProductIsIdentity(h.inv, h.fwd, h.n, "HAAR");
        // Every 1/sqrt(2) outside the 2-point tables is the exact single-precision value.
        for (int i = 0; i < h.n * h.n; ++i) {
            if (std::fabs(std::fabs(h.fwd[i]) - 0.7071) < 1e-3) {
                EXPECT_EQ(bits(std::fabs(h.fwd[i])), 0x3F3504F3u) << i;
            }
        }
    }
    EXPECT_EQ(HAAR_64_FWD[0], 0.125f);
    EXPECT_FLOAT_EQ(HAAR_32_FWD[31], 0.176776692f);
    EXPECT_EQ(HAAR_16_FWD[15], 0.25f);
    // Row 1 is the coarsest detail, the last row the finest difference.
    EXPECT_EQ(HAAR_8_FWD[8 + 3], HAAR_8_FWD[8]);
    EXPECT_EQ(HAAR_8_FWD[8 + 4], -HAAR_8_FWD[8]);
    EXPECT_EQ(bits(HAAR_8_FWD[7 * 8 + 6]), 0x3F3504F3u);
}

TEST(TransformTables, TwoPointHaarKeepsItsShortConstantAndScalesRoundTripsBy099998) {
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(bits(std::fabs(HAAR_2_FWD[i])), 0x3F350481u) << i;
        EXPECT_EQ(bits(HAAR_2_INV[i]), bits(HAAR_2_FWD[i])) << i;
    }
    EXPECT_LT(HAAR_2_FWD[3], 0.0f);
    // INV * FWD applied to a pair of samples in single precision.
    const float x[2] = {3.0f, -1.25f};
    float y[2], z[2];
    for (int j = 0; j < 2; ++j) y[j] = HAAR_2_FWD[j * 2] * x[0] + HAAR_2_FWD[j * 2 + 1] * x[1];
    for (int m = 0; m < 2; ++m) z[m] = HAAR_2_INV[m * 2] * y[0] + HAAR_2_INV[m * 2 + 1] * y[1];
    const double scale = 2.0 * double(HAAR_2_FWD[0]) * HAAR_2_FWD[0];
    EXPECT_NEAR(scale, 0.99998, 1e-6);
    for (int m = 0; m < 2; ++m) EXPECT_NEAR(z[m], scale * x[m], 4 * EPS * 3.0) << m;
    EXPECT_GT(std::fabs(z[0] - x[0]), 4 * EPS * 3.0);  // not 1
    for (int i = 0; i < 3; ++i) EXPECT_EQ(bits(SIZE_2_TRANSFORM[i]), 0x3F3504F3u);
    EXPECT_EQ(SIZE_2_TRANSFORM[3], -SIZE_2_TRANSFORM[0]);
}

TEST(TransformTables, BiorthogonalTablesHoldTheListedValuesAndInvertEachOther) {
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(bits(BIOR_4_FWD[i]), bits(HAAR_4_FWD[i])) << i;
        EXPECT_EQ(bits(BIOR_4_INV[i]), bits(HAAR_4_INV[i])) << i;
    }
    const float a = 0.343550205f, b = 0.225454822f, h = 0.461645573f, d = 0.569359422f;
    const float e = 0.402347296f, f = 0.0835060477f, g = 0.707106769f;
    // clang-format off
    const float fwd[64] = {a,  a,  a,  a,  a,  a,  a,  a,
                           -b, -h, -h, -b, b,  h,  h,  b,
                           d,  e,  -e, -d, -f, f,  -f, f,
                           -f, f,  -f, f,  d,  e,  -e, -d,
                           g,  -g, 0,  0,  0,  0,  0,  0,
                           0,  0,  g,  -g, 0,  0,  0,  0,
                           0,  0,  0,  0,  g,  -g, 0,  0,
                           0,  0,  0,  0,  0,  0,  g,  -g};
    // clang-format on
    const float p = 0.363847852f, q = 0.514558554f, r = 0.121533975f;
    // clang-format off
    const float inv[64] = {p, -p, q,  0,  g,  -r, 0,  r,
                           p, -p, q,  0,  -g, -r, 0,  r,
                           p, -p, -q, 0,  r,  g,  -r, 0,
                           p, -p, -q, 0,  r,  -g, -r, 0,
                           p, p,  0,  q,  0,  r,  g,  -r,
                           p, p,  0,  q,  0,  r,  -g, -r,
                           p, p,  0,  -q, -r, 0,  r,  g,
                           p, p,  0,  -q, -r, 0,  r,  -g};
    // clang-format on
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(BIOR_8_FWD[i], fwd[i]) << i;
        EXPECT_EQ(BIOR_8_INV[i], inv[i]) << i;
    }
    expectProductIsIdentity(BIOR_8_INV, BIOR_8_FWD, 8, "BIOR_8");
    // Not orthonormal: the first two rows are not of unit norm, and INV is no transpose.
    double n0 = 0, n1 = 0;
    for (int x = 0; x < 8; ++x) {
        n0 += double(BIOR_8_FWD[x]) * BIOR_8_FWD[x];
        n1 += double(BIOR_8_FWD[8 + x]) * BIOR_8_FWD[8 + x];
    }
    EXPECT_NEAR(std::sqrt(n0), 0.971707, 1e-6);
    EXPECT_NEAR(std::sqrt(n1), 1.027515, 1e-6);
    EXPECT_NE(BIOR_8_INV[1], BIOR_8_FWD[8]);
}

TEST(TransformTables, KaiserWindowsAreProductsOfTheirVectors) {
    const double w8[] = {0.438676, 0.681324, 0.876840, 0.985823,
                         0.985823, 0.876840, 0.681324, 0.438676};
    const double w4[] = {0.438676, 0.924314, 0.924314, 0.438676};
    for (int j = 0; j < 8; ++j)
        for (int i = 0; i < 8; ++i)
            EXPECT_NEAR(KAISER_8x8[j * 8 + i], w8[i] * w8[j], 3 * EPS * w8[i] * w8[j]);
    for (int k = 0; k < 4; ++k)
        for (int j = 0; j < 4; ++j)
            for (int i = 0; i < 4; ++i) {
                const double w = w4[i] * w4[j] * w4[k];
                EXPECT_NEAR(KAISER_4x4x4[k * 16 + j * 4 + i], w, 4 * EPS * w);
            }
}

TEST(TransformTables, GeneratedMatricesAreOrthonormalWithTheirTransposesAsInverses) {
    for (int n = 1; n <= MAX_GENERATED_SIZE; ++n) {
        SCOPED_TRACE(n);
        const float* dct = generatedDct(n, false);
        ASSERT_NE(dct, nullptr);
        ASSERT_EQ(dct, generatedDct(n, false));  // one table per size
        expectRoundedRule(dct, dctRule(n), "generated DCT");
        expectTranspose(dct, generatedDct(n, true), n, "generated DCT");
        expectProductIsIdentity(generatedDct(n, true), dct, n, "generated DCT");
        if (n < 2) continue;
        const float* haar = generatedHaar(n, false);
        ASSERT_NE(haar, nullptr);
        expectTranspose(haar, generatedHaar(n, true), n, "generated Haar");
        expectProductIsIdentity(generatedHaar(n, true), haar, n, "generated Haar");
        expectProductIsIdentity(haar, generatedHaar(n, true), n, "generated Haar");
        // Row 0 is the mean; every other row is a difference of two adjacent segments.
        for (int x = 0; x < n; ++x)
            EXPECT_EQ(haar[x], static_cast<float>(1.0 / std::sqrt(double(n))));
        for (int r = 1; r < n; ++r) {
            int changes = 0;
            for (int x = 1; x < n; ++x)
                changes += (haar[r * n + x] > 0) != (haar[r * n + x - 1] > 0) ||
                           (haar[r * n + x] == 0) != (haar[r * n + x - 1] == 0);
            EXPECT_LE(changes, 3) << "row " << r;
        }
        if ((n & (n - 1)) == 0) expectRoundedRule(haar, haarRule(n), "generated dyadic Haar");
    }
    EXPECT_EQ(generatedDct(0, false), nullptr);
    EXPECT_EQ(generatedDct(17, false), nullptr);
    EXPECT_EQ(generatedHaar(1, false), nullptr);
    // The generated windows follow the rule of the literal ones (whose last digits differ).
    const float* w8 = generatedKaiserWindow({8, 8, 1});
    const float* w4 = generatedKaiserWindow({4, 4, 4});
    for (int i = 0; i < 64; ++i) {
        EXPECT_NEAR(w8[i], KAISER_8x8[i], 1e-5 * KAISER_8x8[i]) << i;
        EXPECT_NEAR(w4[i], KAISER_4x4x4[i], 1e-5 * KAISER_4x4x4[i]) << i;
    }
    EXPECT_EQ(generatedKaiserWindow({4, 17, 4}), nullptr);
    Transforms t{};
    ASSERT_TRUE(generatedTransforms({6, 3, 1}, t));
    EXPECT_EQ(t.fwd.x, generatedDct(6, false));
    EXPECT_EQ(t.inv.y, generatedDct(3, true));
    EXPECT_EQ(t.fwd.z, &ONE);
    EXPECT_FALSE(generatedTransforms({6, 3, 0}, t));
}

TEST(TransformTables, StandardListAndGroupTablesPointAtTheRightMatrices) {
    using namespace TransformsMetas;
    const float* const expected[32] = {
        DCT_4_FWD,   BIOR_4_FWD,  HAAR_4_FWD, nullptr,    DCT_5_FWD,  DCT_8_FWD,   BIOR_8_FWD,
        HAAR_8_FWD,  nullptr,     HAAR_2_FWD, HAAR_4_FWD, HAAR_8_FWD, HAAR_16_FWD, HAAR_32_FWD,
        nullptr,     nullptr,     DCT_4_INV,  BIOR_4_INV, HAAR_4_INV, nullptr,     DCT_5_INV,
        DCT_8_INV,   BIOR_8_INV,  HAAR_8_INV, nullptr,    HAAR_2_INV, HAAR_4_INV,  HAAR_8_INV,
        HAAR_16_INV, HAAR_32_INV, nullptr,    nullptr};
    for (int v = 0; v < 32; ++v) EXPECT_EQ(standardTransformsList[v], expected[v]) << v;
    EXPECT_EQ(standardTransformsList[ARB_FWD], nullptr);
    EXPECT_EQ(standardTransformsList[ARB_INV], nullptr);
    EXPECT_EQ(standardTransformsList[DCT8_INV], DCT_8_INV);
    EXPECT_EQ(standardTransformsList[HAAR32_NL_FWD], HAAR_32_FWD);

    const float* const fwd[] = {HAAR_2_FWD,  HAAR_4_FWD,  HAAR_8_FWD,
                                HAAR_16_FWD, HAAR_32_FWD, HAAR_64_FWD};
    const float* const inv[] = {HAAR_2_INV,  HAAR_4_INV,  HAAR_8_INV,
                                HAAR_16_INV, HAAR_32_INV, HAAR_64_INV};
    for (int n = 0, level = 0; n <= 64; ++n) {
        const bool pow2 = n >= 2 && (n & (n - 1)) == 0;
        EXPECT_EQ(HAAR_NL_FWD[n], pow2 ? fwd[level] : nullptr) << n;
        EXPECT_EQ(HAAR_NL_INV[n], pow2 ? inv[level] : nullptr) << n;
        if (pow2) ++level;
    }
}

TEST(TransformTables, DefaultRecordsAndTriples) {
    using namespace TransformsMetas;
    EXPECT_EQ(ARB_TRANSFORMS, (Vec3<StandardTransform>{ARB_FWD, ARB_FWD, ARB_FWD}));
    EXPECT_EQ(DEFAULT_FWD_3D, (Vec3<const float*>{DCT_4_FWD, DCT_4_FWD, DCT_4_FWD}));
    EXPECT_EQ(DEFAULT_INV_3D, (Vec3<const float*>{DCT_4_INV, DCT_4_INV, DCT_4_INV}));
    EXPECT_EQ(DEFAULT_FWD_2D, (Vec3<const float*>{DCT_8_FWD, DCT_8_FWD, &ONE}));
    EXPECT_EQ(DEFAULT_INV_2D, (Vec3<const float*>{DCT_8_INV, DCT_8_INV, &ONE}));
    EXPECT_EQ(BIOR_FWD_2D, (Vec3<const float*>{BIOR_8_FWD, BIOR_8_FWD, &ONE}));
    EXPECT_EQ(BIOR_INV_2D, (Vec3<const float*>{BIOR_8_INV, BIOR_8_INV, &ONE}));
    EXPECT_EQ(ONE, 1.0f);
    EXPECT_EQ(ZERO, 0);

    EXPECT_EQ(DEFAULT_TRANSFORMS_3D.fwd, DEFAULT_FWD_3D);
    EXPECT_EQ(DEFAULT_TRANSFORMS_3D.inv, DEFAULT_INV_3D);
    EXPECT_EQ(DEFAULT_TRANSFORMS_3D.window, KAISER_4x4x4);
    EXPECT_EQ(DEFAULT_TRANSFORMS_2D.fwd, BIOR_FWD_2D);
    EXPECT_EQ(DEFAULT_TRANSFORMS_2D.inv, BIOR_INV_2D);
    EXPECT_EQ(DEFAULT_TRANSFORMS_2D.window, KAISER_8x8);
    EXPECT_EQ(DEFAULT_TRANSFORMS_2D_WIE.fwd, DEFAULT_FWD_2D);
    EXPECT_EQ(DEFAULT_TRANSFORMS_2D_WIE.inv, DEFAULT_INV_2D);
    EXPECT_EQ(DEFAULT_TRANSFORMS_2D_WIE.window, KAISER_8x8);
    for (const Transforms* t :
         {&DEFAULT_TRANSFORMS_3D, &DEFAULT_TRANSFORMS_2D, &DEFAULT_TRANSFORMS_2D_WIE}) {
        EXPECT_EQ(t->groupFwd, HAAR_NL_FWD);
        EXPECT_EQ(t->groupInv, HAAR_NL_INV);
    }
}

TEST(TransformTables, AreReadableDuringStaticInitialisation) {
    EXPECT_EQ(DCT4_ENTRY_AT_STARTUP, DCT_4_FWD[5]);
    EXPECT_NE(DCT4_ENTRY_AT_STARTUP, 0.0f);
    EXPECT_EQ(DEFAULT_3D_AT_STARTUP.fwd.x, DCT_4_FWD);
    EXPECT_EQ(DEFAULT_3D_AT_STARTUP.groupFwd, HAAR_NL_FWD);
    EXPECT_EQ(DEFAULT_3D_AT_STARTUP.window, KAISER_4x4x4);
}

}  // namespace
}  // namespace kelvo
