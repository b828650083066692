// The built-in transform matrices and windows. All are constant data, defined once and
// shared read-only by every thread. Matrix layout: an n-point transform is n x n floats,
// row-major, row j giving output coefficient j (row 0 is the DC). An inverse table is applied
// the same way: x[m] = sum_j INV[m*n + j] * Y[j].
#pragma once

#include "kelvo/engine/records.h"

namespace kelvo {

extern const float DCT_4_FWD[16];
extern const float DCT_4_INV[16];
extern const float DCT_5_FWD[25];
extern const float DCT_5_INV[25];
extern const float DCT_8_FWD[64];
extern const float DCT_8_INV[64];

// Orthonormal Haar matrices in dyadic order. HAAR_2_FWD/INV hold 0.70709997 (0x3F350481),
// every other 1/sqrt(2) in the tables is 0.70710677 (0x3F3504F3).
extern const float HAAR_2_FWD[4];
extern const float HAAR_2_INV[4];
extern const float HAAR_4_FWD[16];
extern const float HAAR_4_INV[16];
extern const float HAAR_8_FWD[64];
extern const float HAAR_8_INV[64];
extern const float HAAR_16_FWD[256];
extern const float HAAR_16_INV[256];
extern const float HAAR_32_FWD[1024];
extern const float HAAR_32_INV[1024];
extern const float HAAR_64_FWD[4096];
extern const float HAAR_64_INV[4096];

extern const float BIOR_4_FWD[16];  // identical to HAAR_4_FWD
extern const float BIOR_4_INV[16];  // identical to HAAR_4_INV
extern const float BIOR_8_FWD[64];
extern const float BIOR_8_INV[64];  // exact inverse of BIOR_8_FWD, not its transpose

/// Orthonormal 2 x 2 Haar with the exact single-precision 1/sqrt(2).
extern const float SIZE_2_TRANSFORM[4];

/// Separable Kaiser (beta = 2) aggregation windows.
extern const float KAISER_8x8[64];
extern const float KAISER_4x4x4[64];

/// 32 matrix pointers indexed by StandardTransform value (null for 3, 8, 14, 15 and their
/// inverse kinds 19, 24, 30, 31).
extern const float* const standardTransformsList[32];

/// HAAR_NL_*: "NL" for non-local, the group dimension (as in transformBlocksNL).
/// Group-dimension Haar tables indexed by group size 0..64: sizes 2, 4, ..., 64 hold the Haar
/// table of that size; every other entry (0 and 1 included) is null.
extern const float* const HAAR_NL_FWD[65];
extern const float* const HAAR_NL_INV[65];

/// {ARB_FWD, ARB_FWD, ARB_FWD}: every dimension through the generic product.
extern const Vec3<TransformsMetas::StandardTransform> ARB_TRANSFORMS;

extern const Vec3<const float*> DEFAULT_FWD_3D;  // DCT-4 x3
extern const Vec3<const float*> DEFAULT_INV_3D;
extern const Vec3<const float*> DEFAULT_FWD_2D;  // DCT-8, DCT-8, ONE
extern const Vec3<const float*> DEFAULT_INV_2D;
extern const Vec3<const float*> BIOR_FWD_2D;  // BIOR-8, BIOR-8, ONE
extern const Vec3<const float*> BIOR_INV_2D;

extern const Transforms DEFAULT_TRANSFORMS_3D;      // DCT-4 blocks, KAISER_4x4x4
extern const Transforms DEFAULT_TRANSFORMS_2D;      // BIOR-8 blocks, KAISER_8x8 (HT)
extern const Transforms DEFAULT_TRANSFORMS_2D_WIE;  // DCT-8 blocks, KAISER_8x8 (Wiener)

}  // namespace kelvo
