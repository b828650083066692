// Transform along the group (fourth) dimension.
#pragma once

#include "kelvo/engine/image.h"
#include "kelvo/engine/memory.h"
#include "kelvo/engine/records.h"

namespace kelvo {

/// transformBlocksNL: "NL" for non-local, the group dimension (blocks from anywhere in the
/// search window).
/// out[j*n + i] = sum_k M[j*G + k] * in[k*n + i] for the G members of `in` (n = block
/// volume). The Haar kinds HAAR4..32_NL_FWD/INV use butterflies with the same result; every
/// other kind (2-point Haar and ARB included) the generic product. `in` is not modified and
/// must not alias `out`. Allocates nothing. A Haar kind whose size is not G takes the generic
/// product; G = 1 without a matrix copies; any other G without a matrix throws
/// std::invalid_argument.
template <typename T>
void transformBlocksNL(const Cube4D<T>& in, int G, const float* M,
                       TransformsMetas::StandardTransform kind, Cube4D<T>& out,
                       Vec3<int> blockSize);

/// Forward Haar of coefficient i across the G members of the match list (member k's block
/// at matches[k].data); output coefficient j goes to dst[j * stride]. G in {1,2,4,8,16,32}
/// (std::invalid_argument otherwise). Constants: sqrt(2^j / G) at level j, 0.70710677 for the
/// finest pair differences.
void forwardHaar_32_16_8_4_2_1(const BlockDistance<float>* matches, int i, float* dst, int stride,
                               int G);

/// Forward Haar of every coefficient of the group at once: for i = 0 .. n-1 the same values,
/// bit for bit, as forwardHaar_32_16_8_4_2_1(matches, i, dst + i, n, G), i.e. output
/// coefficient j of block coefficient i goes to dst[j * n + i]. Works on lanes of adjacent
/// coefficients so that the butterflies run as vector operations. G in {1,2,4,8,16,32}
/// (std::invalid_argument otherwise).
void forwardHaarGroup(const BlockDistance<float>* matches, int G, float* dst, long long n);

}  // namespace kelvo
