// Transform matrices and aggregation windows generated for any block size from 1 to 16 per
// dimension, beside the literal tables of the default block sizes.
#pragma once

#include "kelvo/engine/records.h"

namespace kelvo {

/// Largest block extent per dimension that has generated transforms.
constexpr int MAX_GENERATED_SIZE = 16;

/// The orthonormal n-point DCT-II (row k: c_k cos(pi (2x + 1) k / 2n), c_0 = sqrt(1/n),
/// c_k = sqrt(2/n)), or its transpose when `inverse` is set, rounded from double precision;
/// 1 <= n <= MAX_GENERATED_SIZE. The tables live for the whole process (the same pointer on
/// every call) and are safe to read from any thread. Null for other n.
const float* generatedDct(int n, bool inverse);

/// The orthonormal n-point Haar matrix, or its transpose, 2 <= n <= MAX_GENERATED_SIZE: row 0
/// is 1/sqrt(n); every further row splits one segment of samples into a left part of
/// ceil(L/2) samples (value +sqrt(q / (p L))) and a right part of q = L - p samples (value
/// -sqrt(p / (q L))), coarse to fine and left to right, so that powers of two give the dyadic
/// Haar matrices of the built-in tables. Null for other n.
const float* generatedHaar(int n, bool inverse);

/// Separable Kaiser window (beta = 2) of a block, n0 * n1 * n2 floats with dimension 0
/// fastest; each dimension of size m carries I0(2 sqrt(1 - (2x / (m - 1) - 1)^2)) / I0(2)
/// (1 for m = 1). Sizes 1 to MAX_GENERATED_SIZE; null for others. Lives for the process.
const float* generatedKaiserWindow(Vec3<int> n);

/// Built-in transforms for blocks of any size up to MAX_GENERATED_SIZE per dimension: the
/// DCT along every dimension longer than 1 (`ONE` along flat ones), the group Haar tables
/// and the Kaiser window. Returns false, leaving `out` unchanged, for a size out of range.
bool generatedTransforms(Vec3<int> blockSize, Transforms& out);

}  // namespace kelvo
