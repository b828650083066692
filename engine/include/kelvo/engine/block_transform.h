// Separable 3-D block transform: one matrix along each dimension, applied as a
// matrix-vector product to every line of the block along that dimension. Forward or inverse
// depends only on the matrices passed.
#pragma once

#include "kelvo/engine/records.h"

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

/// transf3D without the 4x4x4 kernel below: the plain twin the kernel is tested against.
template <typename T>
void transf3DGeneric(const T* in, Vec3<const float*> matrices,
                     Vec3<TransformsMetas::StandardTransform> kinds, T* scratchA, T* scratchB,
                     T* out, Vec3<int> size);

/// Generic-product transform of `count` 4x4x4 blocks stored one after the other (64 floats
/// each) from `in` to `out` (which may be the same array), matrices[d] being the 4 x 4 matrix
/// of dimension d. Each block gets the same bits as transf3DGeneric with these matrices: the
/// products and sums are the same, in the same order, held in vector registers instead of
/// scratch arrays. transf3D uses it for every 4x4x4 block. Allocates nothing.
void transformBlocks444(const float* in, float* out, long long count, Vec3<const float*> matrices);

/// The same for 3x3x3 blocks (27 floats each, 3 x 3 matrices): the same bits as
/// transf3DGeneric. transf3D uses it for every 3x3x3 block.
void transformBlocks333(const float* in, float* out, long long count, Vec3<const float*> matrices);

/// transformBlocks444 or transformBlocks333 for `count` blocks of `size` when it is one of
/// theirs (lines of 3 or 4 never take a butterfly, whatever their kinds); false, doing
/// nothing, for other sizes.
bool transformBlocksInRegisters(const float* in, float* out, long long count, Vec3<int> size,
                                Vec3<const float*> matrices);

}  // namespace kelvo
