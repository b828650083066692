// The refinement pass: a third estimate made from the noisy volume and a finished estimate.
//
// For every reference block (on a grid of `stepSize`, the last block of each axis included)
// the `groupSize` blocks nearest to it within `searchRadius` are found on the estimate (the
// "pilot"). Their pilot blocks give the group's mean m and its signal covariance C (the
// blocks' scatter around m); each member's noisy block y is then replaced by the linear
// minimum-mean-square-error estimate under white noise of variance v:
//
//     x = m + C (C + v I)^-1 (y - m),
//
// or, under correlated noise whose covariance between a block's samples is S,
// x = m + C (C + S)^-1 (y - m).
//
// Unlike the Wiener stage, whose filter is diagonal in a fixed transform, C's eigenvectors
// are the group's own principal directions, so detail that a few directions carry keeps its
// shape while the rest is shrunk towards the mean. With K members C has rank below K: the
// product is computed on the K x K Gram matrix of the centred pilot blocks P (one per row):
// with C = P^T P / K, C (C + v I)^-1 = P^T G^-1 P where G = P P^T + K v I, and
// C (C + S)^-1 = P^T G^-1 P S^-1 where G = P S^-1 P^T + K I.
//
// Each estimate is added with the weight 1 / ||W||_F, W = C (C + v I)^-1 (the root of the
// usual inverse noise gain): groups whose filter passes many directions (edges matched with
// shifted edges) count less, without silencing detailed groups. Samples that no group covers
// keep the pilot's value.
//
// The output is the same for every thread count: references are processed in chunks along
// the outermost axis that hold no sample in common with the chunk after next, even chunks
// first, then odd ones, each chunk in a fixed order. Sums are kept in double precision, so a
// run on part of the volume (kelvo.dask's chunks, whose chunks of references differ) gives
// the same float result unless a sum summed in another order lands on the other side of a
// float's rounding boundary (a chance of the order of 1e-9 per sample).
#pragma once

#include <array>
#include <string>
#include <vector>

#include "kelvo/engine/interface.h"

namespace kelvo {

/// Most samples a refinement block may hold when the noise is given by its covariance (the
/// d x d matrix, its factor and the whitening of every group grow as d^2 and d^3).
constexpr int MAX_COVARIANCE_BLOCK = 512;

/// Settings of one refinement pass. Arrays are per axis, dimension 0 fastest.
struct RefinementParameters {
    std::array<int, 3> size{};          ///< volume extent (samples)
    std::array<int, 3> blockSize{};     ///< at least 1, at most the volume's extent
    std::array<int, 3> stepSize{};      ///< reference grid step, 1 .. blockSize
    std::array<int, 3> searchRadius{};  ///< candidates within this distance, per axis
    int groupSize = 0;                  ///< members per group, 2 .. 64 (fewer where the window is)
    double noiseVariance = 0;           ///< variance of the white noise in `noisy`, > 0
    /// Correlated noise: the noise's covariance between the samples of a block (d x d, d the
    /// block's sample count, samples numbered dimension 0 fastest), symmetric positive
    /// definite. Empty for white noise of `noiseVariance`.
    std::vector<double> noiseCovariance;
    int numThreads = 0;  ///< 0: every core
};

/// The covariance between the samples of a block of `blockSize` (d x d, as
/// RefinementParameters::noiseCovariance) of stationary noise whose power spectrum is `psd`
/// on a grid of `psdSize` (dimension 0 fastest; the engine's convention: white noise of
/// variance v has the constant v * F0 * F1 * F2). Lags are taken modulo the grid, so a grid
/// smaller than twice the block folds them. Empty when the covariance is not positive
/// definite, or too close to singular (a spectrum with zeros): the pass cannot model that
/// noise.
std::vector<double> blockNoiseCovariance(const float* psd, const std::array<int, 3>& psdSize,
                                         const std::array<int, 3>& blockSize);

/// First reason why `params` cannot run, or an empty string.
std::string validateRefinement(const RefinementParameters& params);

/// Writes the refined estimate of `noisy` given `pilot` into `output` (all three hold
/// size[0] * size[1] * size[2] samples, finite: kelvo::denoise fills samples without data
/// first; `output` may be `pilot` itself). Throws
/// std::invalid_argument for unsound parameters. On Cancelled or OutOfMemory `output` is
/// left unchanged.
StageOutcome refineEstimate(const float* noisy, const float* pilot, float* output,
                            const RefinementParameters& params, const StageHooks* hooks = nullptr);

}  // namespace kelvo
