// Per-coefficient noise variances of a transformed group under correlated noise.
#pragma once

#include "kelvo/engine/image.h"
#include "kelvo/engine/memory.h"
#include "kelvo/engine/records.h"

namespace kelvo {

/// Fills `out` (dims (bx, by, bz, count), the group spectrum's layout: block coefficient i
/// with dimension 0 fastest, group component k last) with the noise variance of every
/// coefficient of the group whose members are matches[0..count-1] transformed along the
/// group dimension with the count x count matrix `groupMatrix`. The first K components are
/// computed exactly from the blocks' shifted positions; the rest share the remaining energy.
/// `K3fT3` and `localVar` are the arrays of noise_spectrum.h (`localVar` may be null when
/// K == count).
/// F = fftSize (noise grid), Fp = Fourier size. The matches' shifted positions are reduced
/// modulo F in place. Uses `temp`; allocates nothing. FFT size errors propagate.
///
/// variance(i, k) = sum_f K3fT3[f * Bn + i] * |DFT(plane_k)(f)|^2 for k < K, where plane_k holds
/// groupMatrix[k * count + b] at block b's reduced shifted position on the F grid and f runs
/// over the frequencies of the K3fT3 array (f0 < min(Fp0, F0), dimension 2 fastest). For
/// k >= K: variance(i, k) = max(0, localVar[i] * count - sum_{k'<K} variance(i, k')) / (count - K).
///
/// Throws std::invalid_argument, before changing anything, for an F dimension that is not 1
/// or an FFT size (4..64, powers of two), for an Fp or working memory that does not fit F,
/// for count < 1, K outside 0..count, or a missing array that is needed.
void calculateVariances(int count, Vec3<int> blockSize, Vec3<int> F, Vec3<int> Fp, int K,
                        const float* groupMatrix, const float* K3fT3, const float* localVar,
                        Cube4D<float>& out, BlockDistance<float>* matches, TempMemory& temp);

/// Power spectra of the first K group kernels, from their transforms along dimension 0.
/// `planes.data` holds, for every row (y, z) of the F grid, K runs of F0q = min(Fp0, F0)
/// bins (component k's bins f0 at k * F0q + f0), row (y, z) starting at K * F0q * (y + F1 * z);
/// only the rows with mask[y + F1 * z] set are read, the others are zeroed first. The
/// transforms along dimensions 1 and 2 (sizes 1 skipped) run in place, batched across all
/// bins of a slice, and |DFT|^2 of component k at (f0, f1, f2) is written to plane k of
/// `power` (dims (F2, F1, >= F0q)) at (f0 * F1 + f1) * F2 + f2. The planes are left holding
/// intermediate spectra. Allocates nothing; the sizes are the caller's to check.
void transformVariancePlane(Vec3<int> F, Vec3<int> Fp, int K, Cube4D<Complex>& planes,
                            Cube4D<float>& power, const bool* mask, TempMemory& temp);

}  // namespace kelvo
