// Noise spectrum preparation: turns the PSD and the forward block matrices into the K3fT3
// array (noise power of each frequency of the fftSize grid in each block coefficient) and the
// local variance array (total noise variance of each block coefficient).
#pragma once

#include "kelvo/records.h"

namespace kelvo {

/// Computes the K3fT3 array (malloc'd, freed by the caller with free) for the PSD `psd` of
/// size S, noise grid F, Fourier size Fp (F with the first dimension halved when the real FFT
/// is used), block size n and forward block matrices `fwd`. Sets `out` to null when an
/// allocation failed; every intermediate array is freed on every path.
void computeK3fT3(const float* psd, Vec3<int> S, Vec3<int> F, Vec3<int> Fp, Vec3<int> n,
                  Vec3<const float*> fwd, float*& out);

/// localVar[b] = sum over the Fp0*Fp1*Fp2 frequencies of K3fT3[f * B + b] (malloc'd; null on
/// allocation failure).
void computeLocalVar(const float* K3fT3, Vec3<int> Fp, int B, float*& out);

}  // namespace kelvo
