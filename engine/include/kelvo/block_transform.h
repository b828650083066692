// Separable 3-D block transform: one matrix along each dimension, applied as a
// matrix-vector product to every line of the block along that dimension. Forward or inverse
// depends only on the matrices passed.
#pragma once

#include "kelvo/records.h"

namespace kelvo {

/// Transforms the block `in` of `size` samples (dimension 0 fastest) into `out`.
/// Passes run in order 0, 1, 2; dimension 2 is skipped when size.z == 1. Dimensions 0 and 1
/// use the 8-point butterflies for the kinds DCT8_FWD, BIOR8_FWD, DCT8_INV, BIOR8_INV (the
/// matrix is then not read); every other kind, and dimension 2 always, uses the generic
/// product. `scratchA`/`scratchB` hold at least size.x*size.y*size.z floats each and must not
/// overlap `in` or `out`; `out` may equal `in`. Allocates nothing.
template <typename T>
void transf3D(const T* in, Vec3<const float*> matrices,
              Vec3<TransformsMetas::StandardTransform> kinds, T* scratchA, T* scratchB, T* out,
              Vec3<int> size);

}  // namespace kelvo
