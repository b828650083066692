// Per-coefficient noise variances of a transformed group under correlated noise.
#pragma once

#include <cstdlib>
#include <memory>

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

/// The noise covariance between the same coefficient of two blocks, for every displacement
/// between them that can carry correlation. For block coefficient i (dimension 0 fastest,
/// the group spectrum's layout) and displacement delta = p - p' of two block corners,
///   c_i(delta) = sum_{u, v} T_i[u] T_i[v] C(delta + u - v),
/// with T_i the separable basis function of coefficient i (rows of the forward block
/// matrices) and C the noise autocovariance. Displacements with |delta_d| > reach_d in some
/// dimension carry none, so the table needs no periodic noise grid: members any distance
/// apart are modelled exactly. White noise (a flat PSD) reaches only blocks that overlap.
struct NoiseLags {
    struct FreeDeleter {
        void operator()(float* p) const { std::free(p); }
    };
    Vec3<int> blockSize{0, 0, 0};
    Vec3<int> reach{0, 0, 0};
    int coefficients = 0;  ///< block volume B
    bool white = false;    ///< the PSD is flat (to 1e-6 of its largest entry): white noise
    /// mean(PSD)^2 / mean(PSD^2) on the noise grid: 1 for white noise, smaller the more the
    /// noise's power is concentrated (0.57 for noise correlated over a few samples along one
    /// axis, 0.11 for a 3x3x3 box filter on an 8^3 grid).
    float flatness = 1.0f;
    /// (2 reach_0 + 1)(2 reach_1 + 1)(2 reach_2 + 1) rows of B floats, row of delta at
    /// ((delta_2 + reach_2)(2 reach_1 + 1) + delta_1 + reach_1)(2 reach_0 + 1) + delta_0 + reach_0.
    std::unique_ptr<float[], FreeDeleter> table;

    /// The B covariances of displacement `delta`, or null when it carries none.
    const float* at(Vec3<int> delta) const {
        long long row = 0;
        for (int d = 2; d >= 0; --d) {
            if (delta[d] < -reach[d] || delta[d] > reach[d]) return nullptr;
            row = row * (2 * reach[d] + 1) + delta[d] + reach[d];
        }
        return table.get() + row * coefficients;
    }
    /// The variance of every coefficient of a single block.
    const float* variances() const { return at({0, 0, 0}); }
};

/// Builds `lags` for the noise of PSD `psd` (size S, dimension 0 fastest, scaled like the
/// engine's PSDs: white noise of variance s^2 is the constant s^2 * S0*S1*S2), blocks of
/// size n with forward matrices `fwd`, and member displacements up to `maxSpacing` per
/// dimension (2 * search radius; farther pairs count as uncorrelated). A PSD given on a grid
/// smaller than the noise grid F in some dimension is first resampled to max(S, F) as the
/// noise spectrum preparation does. The autocovariance is the PSD's inverse DFT, read as
/// zero beyond half its grid (a PSD on a grid describes noise correlated over less than
/// half of it); a flat PSD gives white noise exactly. Returns false, leaving `lags` empty,
/// when memory runs out; throws std::invalid_argument for null or non-positive inputs.
bool buildNoiseLags(const float* psd, Vec3<int> S, Vec3<int> F, Vec3<int> n, Vec3<const float*> fwd,
                    Vec3<int> maxSpacing, NoiseLags& lags);

/// The noise variance of every coefficient of a group, from the lag table: for k < K,
///   variance(i, k) = sum_{b, b'} G[k, b] G[k, b'] c_i(p_b - p_b')
/// over the members' shifted positions p (pairs out of the table's reach add nothing), and
/// for k >= K the remainder rule of calculateVariances with c_i(0) as the single-block
/// variance. Results are clamped at 0. Same output layout as calculateVariances; reads the
/// match list only. Allocates nothing. Throws std::invalid_argument for count < 1, K outside
/// 0..count, a null argument or an output cube that does not fit.
void calculateVariancesFromLags(int count, int K, const float* groupMatrix, const NoiseLags& lags,
                                Cube4D<float>& out, const BlockDistance<float>* matches);

}  // namespace kelvo
