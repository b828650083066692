// The public C++ API of Kelvo: denoise a 2-D image or a 3-D volume corrupted by additive
// Gaussian noise, white or spatially correlated, and estimate that noise when it is unknown.
//
// Layout of every volume in this header: single-precision floats, dimension 0 fastest in
// memory. A volume of size {n0, n1, n2} holds n0 * n1 * n2 samples and sample (x, y, z) is at
// index x + n0 * (y + n1 * z). A 2-D image of width W and height H is the volume {W, H, 1}.
// A C-ordered NumPy array of shape (n2, n1, n0) has exactly this layout.
//
// Noise spectra (PSDs) use the convention PSD = E|DFT(noise)|^2, with the unscaled DFT taken
// on the PSD's own grid, dimension 0 fastest: white noise of variance s^2 described on a grid
// F0 x F1 x F2 has the constant PSD s^2 * F0 * F1 * F2. The engine resamples the PSD to the
// profile's `fftSize` grid.
//
// Threads: `denoise` may be called from any thread, but runs of the engine are serialised
// process-wide by the engine's single thread pool; do not call it concurrently.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelvo/profile.h"
#include "kelvo/records.h"

namespace kelvo {

using Size3 = std::array<int, 3>;

/// What is known about the noise: either the standard deviation of white noise or a PSD.
class Noise {
public:
    /// White noise of standard deviation `sigma` (finite, > 0). Throws std::invalid_argument.
    static Noise white(double sigma);
    /// Correlated noise described by `psd` on a grid of `size` (each >= 1, values finite and
    /// non-negative, not all zero). Throws std::invalid_argument.
    static Noise spectrum(std::vector<float> psd, Size3 size);

    bool isWhite() const { return psd_.empty(); }
    /// A PSD that is not flat (white noise given as a constant PSD is not correlated).
    bool isCorrelated() const;
    double sigma() const { return sigma_; }             ///< white: sigma; PSD: sqrt(variance())
    const std::vector<float>& psd() const { return psd_; }  ///< empty for white noise
    Size3 psdSize() const { return psdSize_; }          ///< {0,0,0} for white noise
    /// Variance of one noise sample: sigma^2, or mean(PSD) / (F0 * F1 * F2).
    double variance() const { return sigma_ * sigma_; }

private:
    double sigma_ = 0.0;
    std::vector<float> psd_;
    Size3 psdSize_{{0, 0, 0}};
};

/// Which stages run. The hard-thresholding estimate alone is faster and coarser.
enum class Stages { HardThresholding, Both };

/// Thrown when the caller's cancellation flag was raised during a run.
class Cancelled : public std::runtime_error {
public:
    Cancelled() : std::runtime_error("denoising was cancelled") {}
};

struct DenoiseOptions {
    Stages stages = Stages::Both;
    /// Called with the stage (0 hard thresholding, 1 Wiener) and the fraction of that stage
    /// done (0..1). Calls are serialised but may come from the engine's worker threads; keep
    /// the callback short and do not call into Kelvo from it.
    std::function<void(int stage, float fraction)> progress;
    /// When it becomes true the run stops soon after and `denoise` throws Cancelled.
    const std::atomic<bool>* cancel = nullptr;
};

/// Denoises `volume` (size `size`, layout above) into `output` (same size; may not alias
/// `volume`). Uses the block and search settings of `profile`, clamped to small volumes (a
/// search radius never exceeds the volume, a step never exceeds the block).
/// Throws std::invalid_argument (bad sizes, profile or noise; non-finite samples; a volume
/// smaller than a block), std::bad_alloc (memory) or Cancelled. Argument errors are thrown
/// before `output` is touched; after a failure during the run `output` is all zero.
void denoise(const float* volume, Size3 size, float* output, const Noise& noise,
             const Profile& profile, const DenoiseOptions& options = {});

/// Convenience form that returns the estimate; the profile defaults to
/// Profile::defaults(size[2] > 1, noise.isCorrelated()).
std::vector<float> denoise(const std::vector<float>& volume, Size3 size, const Noise& noise,
                           const DenoiseOptions& options = {});
std::vector<float> denoise(const std::vector<float>& volume, Size3 size, const Noise& noise,
                           const Profile& profile, const DenoiseOptions& options = {});

/// Standard deviation of white noise in `volume`, estimated from the finest-scale Haar
/// wavelet detail coefficients by the median absolute deviation (MAD / 0.6745): the diagonal
/// detail of 2x2 cells in a 2-D image, the all-high-pass detail of 2x2x2 cells in a volume.
/// Robust to edges that cover a minority of the cells. Limits: it measures the noise at the
/// highest frequencies only, so for correlated (low-pass) noise it underestimates the total
/// standard deviation; use estimateNoisePsd then. Smooth texture at the finest scale inflates
/// it. Throws std::invalid_argument when the volume has fewer than 2 samples along a used
/// dimension or contains non-finite samples.
double estimateNoise(const float* volume, Size3 size);

/// PSD of the noise in `volume` on a grid of `grid` (each side 1 or a power of two from 4
/// to 64, at most the volume; for a 2-D image grid[2] must be 1), in the convention above.
/// Method: the volume is cut into half-overlapping patches of the grid's size; the high-pass
/// residual of a patch is the patch minus its least-squares plane, and its periodogram
/// |DFT|^2 estimates the noise PSD where the patch is flat. Patches whose residual energy
/// exceeds 1.5 times the lower quartile of all patches (edges, texture) are discarded; each
/// bin is the median over the remaining patches, rescaled to a mean (ln 2 for exponential
/// bins, 0.4549 for self-conjugate ones) and divided by the share of white-noise power the
/// plane removal leaves in it; the DC bin is the mean of its axis neighbours.
/// Limits: it needs flat regions in at least a quarter of the patches; signal curvature
/// inside patches biases the lowest frequencies upward (measured on phantoms: total variance
/// within 5%, lowest bins up to +40%..+80%), so prefer small grids (8x8x8, 16x16x1); the DC
/// value is extrapolated; the plane correction is exact for white noise only.
/// Throws std::invalid_argument for bad sizes, non-finite samples, too few patches or a
/// volume without noise.
Noise estimateNoisePsd(const float* volume, Size3 size, Size3 grid);

/// The engine parameter record of one stage for a volume of `size`, `noise` and `profile`,
/// as `denoise` builds it (exposed for tools and tests). Throws std::invalid_argument with a
/// message naming the first problem, including every check of validateParameters.
Parameters stageParameters(StageName stage, const Profile& profile, Size3 size,
                           const Noise& noise);

/// The PSD handed to the engine for `noise` and `profile`: the constant
/// sigma^2 * F0 * F1 * F2 on the fftSize grid for white noise, the caller's PSD otherwise.
/// `psdSize` receives its grid.
std::vector<float> enginePsd(const Noise& noise, const Profile& profile, Size3* psdSize);

}  // namespace kelvo
