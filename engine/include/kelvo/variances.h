// Per-coefficient noise variances of a transformed group under correlated noise.
#pragma once

#include "kelvo/image.h"
#include "kelvo/memory.h"
#include "kelvo/records.h"

namespace kelvo {

/// Fills `out` (dims (bx, by, bz, count), the group spectrum's layout: block coefficient i
/// with dimension 0 fastest, group component k last) with the noise variance of every
/// coefficient of the group whose members are matches[0..count-1] transformed along the
/// group dimension with the count x count matrix `groupMatrix`. The first K components are
/// computed exactly from the blocks' shifted positions; the rest share the remaining energy.
/// `A` is the K3fT3 array, `B` the local variance array (may be null when K == count).
/// F = fftSize (noise grid), Fp = Fourier size. The matches' shifted positions are reduced
/// modulo F in place. Uses `temp`; allocates nothing. FFT size errors propagate.
void calculateVariances(int count, Vec3<int> blockSize, Vec3<int> F, Vec3<int> Fp, int K,
                        const float* groupMatrix, const float* A, const float* B,
                        Cube4D<float>& out, BlockDistance<float>* matches, TempMemory& temp);

}  // namespace kelvo
