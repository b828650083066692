// Transform selection: which matrices resolve to which kinds, the 0.001 tolerance, the order
// of comparison, the group kind tables and the records' ownership.
#include "kelvo/engine/transform_meta.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelvo/engine/tables.h"

namespace kelvo {
namespace {

using namespace TransformsMetas;

std::vector<float> copyOf(const float* m, int n) { return std::vector<float>(m, m + n * n); }

Parameters parameters(Vec3<int> blockSize, int maxGroupSize) {
    Parameters p{};
    p.blockSize = blockSize;
    p.maxGroupSize = maxGroupSize;
    return p;
}

Transforms transforms(Vec3<const float*> fwd, const float* const* groupFwd = HAAR_NL_FWD) {
    return Transforms{fwd, fwd, groupFwd, HAAR_NL_INV, KAISER_4x4x4};
}

TEST(TransformSelection, BuiltInBlockMatricesResolveInTheirComparisonOrder) {
    EXPECT_EQ(getStandardTransform4(DCT_4_FWD), DCT4_FWD);
    EXPECT_EQ(getStandardTransform4(BIOR_4_FWD), BIOR4_FWD);
    // HAAR_4_FWD equals BIOR_4_FWD, which is compared first.
    EXPECT_EQ(getStandardTransform4(HAAR_4_FWD), BIOR4_FWD);
    EXPECT_EQ(getStandardTransform4(DCT_4_INV), ARB_FWD);
    EXPECT_EQ(getStandardTransform8(DCT_8_FWD), DCT8_FWD);
    EXPECT_EQ(getStandardTransform8(BIOR_8_FWD), BIOR8_FWD);
    EXPECT_EQ(getStandardTransform8(HAAR_8_FWD), HAAR8_FWD);
    EXPECT_EQ(getStandardTransform8(DCT_8_INV), ARB_FWD);
    EXPECT_EQ(getStandardTransform8(BIOR_8_INV), ARB_FWD);
    EXPECT_EQ(getStandardTransform4(nullptr), ARB_FWD);
    EXPECT_EQ(getStandardTransform8(nullptr), ARB_FWD);
}

TEST(TransformSelection, EntriesMatchWithinAToleranceOfOneThousandth) {
    for (int i : {0, 7, 15}) {
        std::vector<float> m = copyOf(DCT_4_FWD, 4);
        m[i] += 0.0009f;
        EXPECT_EQ(getStandardTransform4(m.data()), DCT4_FWD) << i;
        m[i] = DCT_4_FWD[i] - 0.002f;
        EXPECT_EQ(getStandardTransform4(m.data()), ARB_FWD) << i;
    }
    // A DCT-8 matrix with its last entry off falls through the whole list.
    std::vector<float> m8 = copyOf(DCT_8_FWD, 8);
    m8[63] += 0.002f;
    EXPECT_EQ(getStandardTransform8(m8.data()), ARB_FWD);
    m8[63] = DCT_8_FWD[63] + 0.0009f;
    EXPECT_EQ(getStandardTransform8(m8.data()), DCT8_FWD);
    // A NaN entry matches nothing.
    std::vector<float> nan = copyOf(HAAR_8_FWD, 8);
    nan[10] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(getStandardTransform8(nan.data()), ARB_FWD);
}

TEST(TransformSelection, BlockKindsPerDimensionAndTheirInverses) {
    TransformsMeta m3 = getTransformMeta(DEFAULT_TRANSFORMS_3D, parameters({4, 4, 4}, 16));
    EXPECT_EQ(m3.fwdKinds, (Vec3<StandardTransform>{DCT4_FWD, DCT4_FWD, DCT4_FWD}));
    EXPECT_EQ(m3.invKinds, (Vec3<StandardTransform>{DCT4_INV, DCT4_INV, DCT4_INV}));
    EXPECT_EQ(m3.fwd, DEFAULT_TRANSFORMS_3D.fwd);
    EXPECT_EQ(m3.inv, DEFAULT_TRANSFORMS_3D.inv);
    EXPECT_EQ(m3.groupFwd, HAAR_NL_FWD);
    EXPECT_EQ(m3.groupInv, HAAR_NL_INV);
    EXPECT_EQ(m3.window, KAISER_4x4x4);

    TransformsMeta m2 = getTransformMeta(DEFAULT_TRANSFORMS_2D, parameters({8, 8, 1}, 16));
    EXPECT_EQ(m2.fwdKinds, (Vec3<StandardTransform>{BIOR8_FWD, BIOR8_FWD, ARB_FWD}));
    EXPECT_EQ(m2.invKinds, (Vec3<StandardTransform>{BIOR8_INV, BIOR8_INV, ARB_INV}));
    TransformsMeta mw = getTransformMeta(DEFAULT_TRANSFORMS_2D_WIE, parameters({8, 8, 1}, 16));
    EXPECT_EQ(mw.fwdKinds, (Vec3<StandardTransform>{DCT8_FWD, DCT8_FWD, ARB_FWD}));
    EXPECT_EQ(mw.invKinds, (Vec3<StandardTransform>{DCT8_INV, DCT8_INV, ARB_INV}));

    // Size 5: only the DCT is known. The kind follows the block size, not the matrix alone.
    std::vector<float> off5 = copyOf(DCT_5_FWD, 5);
    off5[12] += 0.002f;
    TransformsMeta m5 =
        getTransformMeta(transforms({DCT_5_FWD, off5.data(), DCT_5_INV}), parameters({5, 5, 5}, 4));
    EXPECT_EQ(m5.fwdKinds, (Vec3<StandardTransform>{DCT5_FWD, ARB_FWD, ARB_FWD}));
    EXPECT_EQ(m5.invKinds, (Vec3<StandardTransform>{DCT5_INV, ARB_INV, ARB_INV}));
    // A size-4 matrix under another block size, and an unsupported size, stay arbitrary.
    TransformsMeta mx =
        getTransformMeta(transforms({HAAR_8_FWD, DCT_4_FWD, nullptr}), parameters({6, 16, 4}, 4));
    EXPECT_EQ(mx.fwdKinds, (Vec3<StandardTransform>{ARB_FWD, ARB_FWD, ARB_FWD}));
}

TEST(TransformSelection, GroupKindsCoverPowersOfTwoUpTo32) {
    TransformsMeta m = getTransformMeta(DEFAULT_TRANSFORMS_3D, parameters({4, 4, 4}, 64));
    ASSERT_NE(m.groupFwdKinds, nullptr);
    ASSERT_NE(m.groupInvKinds, nullptr);
    for (int n = 0; n <= 64; ++n) {
        int expected = ARB_FWD;
        switch (n) {
            case 2:
                expected = HAAR2_NL_FWD;
                break;
            case 4:
                expected = BIOR4_FWD;
                break;  // the block kinds are compared first
            case 8:
                expected = HAAR8_FWD;
                break;
            case 16:
                expected = HAAR16_NL_FWD;
                break;
            case 32:
                expected = HAAR32_NL_FWD;
                break;
            default:
                break;  // 64 and every other size stay arbitrary
        }
        EXPECT_EQ(m.groupFwdKinds[n], expected) << n;
        EXPECT_EQ(m.groupInvKinds[n], expected + 16) << n;
        EXPECT_EQ(m.groupFwdKind(n), expected) << n;
    }
}

TEST(TransformSelection, MaxGroupSizeBoundsTheInspectedSizes) {
    // 16: sizes 2..16 inspected, the table ends at 16. 31: floor(log2 31) = 4, so 32 is out
    // of reach anyway. 32 exactly: 32 inspected.
    TransformsMeta m16 = getTransformMeta(DEFAULT_TRANSFORMS_3D, parameters({4, 4, 4}, 16));
    EXPECT_EQ(m16.groupFwdKinds[16], HAAR16_NL_FWD);
    TransformsMeta m32 = getTransformMeta(DEFAULT_TRANSFORMS_3D, parameters({4, 4, 4}, 32));
    EXPECT_EQ(m32.groupFwdKinds[32], HAAR32_NL_FWD);
    TransformsMeta m20 = getTransformMeta(DEFAULT_TRANSFORMS_3D, parameters({4, 4, 4}, 20));
    EXPECT_EQ(m20.groupFwdKinds[16], HAAR16_NL_FWD);
    EXPECT_EQ(m20.groupFwdKinds[20], ARB_FWD);

    // Group sizes below 2 inspect nothing but still get their tables.
    for (int n : {0, 1}) {
        TransformsMeta m = getTransformMeta(DEFAULT_TRANSFORMS_3D, parameters({4, 4, 4}, n));
        ASSERT_NE(m.groupFwdKinds, nullptr);
        for (int i = 0; i <= n; ++i) {
            EXPECT_EQ(m.groupFwdKinds[i], ARB_FWD);
            EXPECT_EQ(m.groupInvKinds[i], ARB_INV);
        }
    }
    EXPECT_THROW(getTransformMeta(DEFAULT_TRANSFORMS_3D, parameters({4, 4, 4}, -1)),
                 std::invalid_argument);
}

TEST(TransformSelection, CallerGroupTablesAreComparedEntryByEntry) {
    // A caller table: DCT-4 at size 4, the exact 1/sqrt(2) Haar at 2 (within tolerance of the
    // short constant), a slightly wrong Haar 16, a missing Haar 8.
    std::vector<float> haar16 = copyOf(HAAR_16_FWD, 16);
    haar16[255] += 0.002f;
    const float* table[17] = {};
    table[2] = SIZE_2_TRANSFORM;
    table[4] = DCT_4_FWD;
    table[16] = haar16.data();
    Transforms t = transforms(DEFAULT_FWD_3D, table);
    TransformsMeta m = getTransformMeta(t, parameters({4, 4, 4}, 16));
    EXPECT_EQ(m.groupFwdKinds[2], HAAR2_NL_FWD);
    EXPECT_EQ(m.groupFwdKinds[4], DCT4_FWD);
    EXPECT_EQ(m.groupFwdKinds[8], ARB_FWD);
    EXPECT_EQ(m.groupFwdKinds[16], ARB_FWD);
    EXPECT_EQ(m.groupInvKinds[4], DCT4_INV);

    // No group table at all: every size arbitrary.
    TransformsMeta none =
        getTransformMeta(transforms(DEFAULT_FWD_3D, nullptr), parameters({4, 4, 4}, 8));
    for (int n = 0; n <= 8; ++n) EXPECT_EQ(none.groupFwdKinds[n], ARB_FWD) << n;
}

TEST(TransformSelection, MetadataIsMoveOnlyAndReleasesItsTables) {
    TransformsMeta a = getTransformMeta(DEFAULT_TRANSFORMS_3D, parameters({4, 4, 4}, 16));
    int* fwdTable = a.groupFwdKinds;
    TransformsMeta b = std::move(a);
    EXPECT_EQ(a.groupFwdKinds, nullptr);
    EXPECT_EQ(a.groupInvKinds, nullptr);
    EXPECT_EQ(a.groupFwdKind(2), ARB_FWD);  // a table-less record reads as arbitrary
    EXPECT_EQ(b.groupFwdKinds, fwdTable);
    EXPECT_EQ(b.fwdKinds.x, DCT4_FWD);
    TransformsMeta c;
    c = std::move(b);
    EXPECT_EQ(c.groupFwdKinds, fwdTable);
    c.release();
    c.release();
    EXPECT_EQ(c.groupFwdKinds, nullptr);
}

TEST(TransformSelection, MissingTransformMessage) {
    MissingTransformException e;
    const std::exception& base = e;
    EXPECT_STREQ(base.what(),
                 "No transform was passed, and no internal transform could be found to replace "
                 "it!");
}

}  // namespace
}  // namespace kelvo
