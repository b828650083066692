// Transform along the group (fourth) dimension.
#pragma once

#include "kelvo/image.h"
#include "kelvo/memory.h"
#include "kelvo/records.h"

namespace kelvo {

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
void forwardHaar_32_16_8_4_2_1(const BlockDistance<float>* matches, int i, float* dst,
                               int stride, int G);

}  // namespace kelvo
