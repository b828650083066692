// Noise spectrum preparation: turns the PSD and the forward block matrices into the K3fT3
// array (noise power of each frequency of the fftSize grid in each block coefficient) and the
// local variance array (total noise variance of each block coefficient).
//
// Conventions. The PSD is E|DFT(noise)|^2 with the unscaled forward DFT over its own grid,
// stored dimension 0 fastest; white noise of variance s^2 on an F grid has the constant PSD
// s^2 * F0*F1*F2. The K3fT3 array has one row of B floats per frequency:
//   element (f, i) lies at f * B + i, with
//   f = (f0 * F1 + f1) * F2 + f2   (frequency, dimension 2 fastest: the order of the power
//                                    cube of TempMemory), f0 < Fp0, f1 < F1, f2 < F2;
//   i = b0 + n0 * (b1 + n1 * b2)   (block coefficient, dimension 0 fastest: the order of the
//                                    group spectrum and of transf3D's output).
// Its value is P0[b0][f0] * P1[b1][f1] * P2[b2][f2] * R(f0, f1, f2) * w(f0) / Ftot^2, where
// P_d are the power spectra of the rows of the forward matrices, R is the resized PSD read
// at its own index f0 + F0 * (f1 + F1 * f2), Ftot = F0*F1*F2, and w folds the half spectrum
// (see computeK3fT3). Summed against |DFT|^2 of a group kernel over the noise grid this gives
// the exact noise variance of each coefficient of a transformed group.
#pragma once

#include "kelvo/engine/records.h"

namespace kelvo {

/// Computes the K3fT3 array (malloc'd, freed by the caller with free) for the PSD `psd` of
/// size S, noise grid F, Fourier size Fp (F with the first dimension halved when the real FFT
/// is used), block size n and forward block matrices `fwd`. Sets `out` to null when an
/// allocation failed; every intermediate array is freed on every path.
///
/// Fp must equal F in dimensions 1 and 2 and satisfy Fp0 >= F0/2 + 1. When Fp0 < F0 the
/// array holds the half spectrum: rows 0 < f0 < F0/2 are doubled, f0 = 0 and f0 = F0/2 kept,
/// rows beyond zeroed, so that the rows f0 < Fp0 carry the power of the whole spectrum.
/// Rows f0 >= F0 (possible when Fp0 > F0) are zero. Throws std::invalid_argument for null
/// pointers, non-positive sizes or an inconsistent Fp.
void computeK3fT3(const float* psd, Vec3<int> S, Vec3<int> F, Vec3<int> Fp, Vec3<int> n,
                  Vec3<const float*> fwd, float*& out);

/// localVar[i] = sum over the Fp0*Fp1*Fp2 frequencies f of K3fT3[f * B + i] (malloc'd; null
/// on allocation failure or when K3fT3 is null). Indexed like the group spectrum's block
/// coefficients. Accumulates in double precision.
void computeLocalVar(const float* K3fT3, Vec3<int> Fp, int B, float*& out);

/// The PSD resampled to the F grid (F0*F1*F2 floats, dimension 0 fastest; malloc'd, null on
/// allocation failure). The PSD is first made symmetric, R(f) <- (R(f) + R(-f)) / 2 with -f
/// taken modulo S (the PSD of real noise is symmetric, and the half-spectrum fold of
/// computeK3fT3 relies on it); when S equals F that is the result. Otherwise it is resampled
/// by periodic linear interpolation per dimension: the target sample t sits at
/// s = t * S_d / F_d on the source grid, between floor(s) and floor(s) + 1 taken modulo S_d
/// (a PSD is periodic: beyond the last source sample lies sample 0), with weights
/// floor(s) + 1 - s and s - floor(s). The result is scaled so that its mean is the source's
/// mean times Ftot / (S0*S1*S2): the noise variance sum(R) / Ftot^2 of the source is kept
/// exactly, also when F is not a multiple of S. Interpolation keeps the symmetry.
void resizePSD(const float* psd, Vec3<int> S, Vec3<int> F, float*& out);

/// Power spectra of the n rows of the n x n matrix `matrix` (row b = output coefficient b) at
/// the L frequencies of an L-point DFT: out[b * L + j] = |sum_k m[b*n + k] e^{-2 pi i j k / L}|^2
/// for k < min(L, n). `out` holds n * L floats.
void transformToFourier(int n, int L, const float* matrix, float* out);

/// Fills `out` (Fp0*F1*F2 * B floats) with the K3fT3 array from the resized PSD and the
/// per-dimension power spectra (spectra[d] holds n_d * F_d floats, see transformToFourier).
void calculateK3fT3(const float* resizedPsd, Vec3<const float*> spectra, Vec3<int> n, Vec3<int> F,
                    Vec3<int> Fp, float* out);

}  // namespace kelvo
