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
// F0 x F1 x F2 has the constant PSD s^2 * F0 * F1 * F2. The PSD of real noise is symmetric,
// R(f) = R(-f) with -f taken modulo the grid, and the engine relies on it: any PSD is replaced
// by its symmetric part (R(f) + R(-f)) / 2, which has the same noise variance. A PSD on
// another grid than the profile's `fftSize` is resampled to it by periodic linear
// interpolation (beyond the last frequency lies frequency 0 again) and scaled so that the
// noise variance mean(PSD) / (F0 * F1 * F2) is kept exactly.
//
// Threads: every function here may be called from several threads at once. The engine owns
// one process-wide pool of worker threads and runs one stage at a time on it: a `denoise`
// call that starts while another one runs waits for that stage to finish (calls interleave
// stage by stage), so concurrent calls never compete for the cores, and each gives the result
// it gives alone. The noise estimators run on the calling thread and never wait. A `denoise`
// started from a progress callback would wait for its own caller: it throws std::logic_error.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelvo/profile.h"

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
    double sigma() const { return sigma_; }                 ///< white: sigma; PSD: sqrt(variance())
    const std::vector<float>& psd() const { return psd_; }  ///< empty for white noise
    Size3 psdSize() const { return psdSize_; }              ///< {0,0,0} for white noise
    /// Variance of one noise sample: sigma^2, or mean(PSD) / (F0 * F1 * F2).
    double variance() const { return sigma_ * sigma_; }

private:
    double sigma_ = 0.0;
    std::vector<float> psd_;
    Size3 psdSize_{{0, 0, 0}};
};

/// Which stages run. The hard-thresholding estimate alone is faster and coarser. Both: hard
/// thresholding, the Wiener stage and the refinement pass of Profile::refinement.
enum class Stages { HardThresholding, Both };

/// Thrown when the caller's cancellation flag was raised during a run.
class Cancelled : public std::runtime_error {
public:
    Cancelled() : std::runtime_error("denoising was cancelled") {}
};

// ---- Magnitude (MRI) data, masks and samples without data ----------------------------------
//
// Samples without data: NaN and infinite samples, and samples outside a mask. They never enter
// a noise estimate, and `denoise` copies them to the output unchanged (NaN stays NaN, bit for
// bit). For the block processing a non-finite sample is replaced by the mean of its nearest
// finite neighbours, grown outwards layer by layer from the data, so blocks that straddle the
// edge of the data see a smooth continuation instead of a step, and nothing non-finite reaches
// the engine. Finite samples outside a mask are real data and are processed as they are; only
// the bounding box of the samples inside the mask (plus a margin of one block) is processed.

/// The distribution of the noise in the samples.
/// Gaussian: additive Gaussian noise (white or with a PSD).
/// Rician: the samples are magnitudes of `coils` complex receiver channels, each channel with
/// additive Gaussian noise of standard deviation sigma in its real and imaginary part (Rician
/// for one coil, noncentral chi with 2 * coils degrees of freedom otherwise). sigma (or the PSD)
/// always describes that channel noise, never the spread of the magnitudes.
enum class NoiseDistribution { Gaussian, Rician };

struct DenoiseOptions {
    Stages stages = Stages::Both;
    NoiseDistribution distribution = NoiseDistribution::Gaussian;
    int coils = 1;  ///< receiver channels of magnitude data, >= 1
    /// nullptr, or one byte per sample in the layout of the volume: non-zero = inside.
    /// Samples outside are copied to the output unchanged and take no part in estimation.
    const std::uint8_t* mask = nullptr;
    /// Called with the stage (0 hard thresholding, 1 Wiener) and the fraction of that stage
    /// done (0..1). Calls are serialised but may come from the engine's worker threads; keep
    /// the callback short. Starting another `denoise` from it throws std::logic_error.
    std::function<void(int stage, float fraction)> progress;
    /// When it becomes true the run stops soon after and `denoise` throws Cancelled.
    const std::atomic<bool>* cancel = nullptr;
};

/// Denoises `volume` (size `size`, layout above) into `output` (same size; may not alias
/// `volume`). Uses the block and search settings of `profile`, clamped to small volumes (a
/// search radius never exceeds the volume, a step never exceeds the block, and along a
/// dimension of two or more samples that is thinner than the blocks, such as a stack of two
/// or three slices, the blocks of every stage shrink to the volume).
/// With NoiseDistribution::Rician the magnitudes are stabilised (kelvo/magnitude.h) at the
/// noise's sigma, both stages run on unit noise (the PSD scaled by 1 / sigma^2), and the
/// estimate is mapped back by the unbiased inverse. Samples without data: see above.
/// Throws std::invalid_argument (bad sizes, profile, noise, coils or mask; no sample with
/// data; a dimension one sample thick where the blocks are larger), std::bad_alloc (memory)
/// or Cancelled. Argument errors are
/// thrown before `output` is touched; after a failure during the run `output` is all zero.
void denoise(const float* volume, Size3 size, float* output, const Noise& noise,
             const Profile& profile, const DenoiseOptions& options = {});

/// Convenience form that returns the estimate; the profile defaults to
/// Profile::defaults(size[2] > 1, noise.isCorrelated()).
std::vector<float> denoise(const std::vector<float>& volume, Size3 size, const Noise& noise,
                           const DenoiseOptions& options = {});
std::vector<float> denoise(const std::vector<float>& volume, Size3 size, const Noise& noise,
                           const Profile& profile, const DenoiseOptions& options = {});

/// Which samples a noise estimate may use and which distribution the noise follows.
struct NoiseEstimateOptions {
    const std::uint8_t* mask = nullptr;  ///< as DenoiseOptions::mask
    NoiseDistribution distribution = NoiseDistribution::Gaussian;
    int coils = 1;
};

/// Standard deviation of white noise in `volume`, estimated from the finest-scale Haar
/// wavelet detail coefficients by the median absolute deviation (MAD / 0.6745): the diagonal
/// detail of 2x2 cells in a 2-D image, the all-high-pass detail of 2x2x2 cells in a volume.
/// Robust to edges that cover a minority of the cells. Limits: it measures the noise at the
/// highest frequencies only, so for correlated (low-pass) noise it underestimates the total
/// standard deviation; use estimateNoisePsd then. Smooth texture at the finest scale inflates
/// it. Samples without data are left out, and so are runs of an exactly repeated value (three
/// or more equal neighbours along an axis, such as a zeroed background): a detail cell is used
/// only when all its samples carry data. For Rician data the estimate is the sigma of the
/// channel noise: the value for which the stabilised magnitudes (kelvo/magnitude.h) have unit
/// noise, found by a fixed-point iteration on the same MAD estimate.
/// Throws std::invalid_argument when the volume has fewer than 2 samples along a used
/// dimension, when fewer than MIN_INFORMATIVE_SAMPLES samples in whole cells carry data, or for
/// a bad option.
double estimateNoise(const float* volume, Size3 size, const NoiseEstimateOptions& options = {});

/// Fewest usable samples (in whole detail cells or patches) for a noise estimate; below it the
/// estimators refuse to guess.
constexpr std::size_t MIN_INFORMATIVE_SAMPLES = 2000;

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
/// Patches that contain a sample without data or a run of an exactly repeated value are not
/// used. For Rician data the patches are taken from the stabilised magnitudes at the sigma of
/// estimateNoise and the PSD is scaled back by sigma^2, so it describes the channel noise.
/// Throws std::invalid_argument for bad sizes, too few usable patches or a volume without
/// noise.
Noise estimateNoisePsd(const float* volume, Size3 size, Size3 grid,
                       const NoiseEstimateOptions& options = {});

/// `grid` (powers of two) made to fit a volume of `size` for estimateNoisePsd: each side
/// halved until it fits, and 1 (noise taken as uncorrelated along it) where not even 4 fit,
/// as along a stack of two or three slices.
Size3 fitPsdGrid(Size3 grid, Size3 size);

/// Peak bytes that `denoise` allocates for a volume of `size` besides the caller's input and
/// output: the pilot (both stages), the engine's PSD, a flag per sample, working copies of the
/// volume when `options` ask for magnitude noise or a mask and, for the larger stage, its
/// weight volume, block caches, per-thread working memory and noise arrays. A volume with
/// samples without data (NaN, infinities) also takes the working copies: pass
/// `withoutData` true then. Whenever the block caches of a stage would exceed 1 GiB, the
/// engine caches only the search window along more dimensions (outermost first; the result
/// does not change): with V the volume's bytes in floats, a plain run needs about input +
/// output + V (pilot) + V (weights) + at most 1 GiB of caches. Throws std::invalid_argument
/// like `denoise` for arguments it would refuse.
std::int64_t estimateMemory(Size3 size, const Noise& noise, const Profile& profile,
                            const DenoiseOptions& options = {}, bool withoutData = false);

// ---- Images with several channels (colour) -------------------------------------------------

/// Whether denoiseChannels mixes the channels: where they share their structure (Automatic,
/// see below), always by the DCT (Decorrelate), or never (Separate: each channel on its own).
enum class ChannelMixing { Automatic, Decorrelate, Separate };

/// Denoises a 2-D image whose channels show the same scene (an RGB photograph, the stains of a
/// colour micrograph): the samples along dimension `channelDim` of `size` are the channels of
/// one pixel and the other two dimensions, in their order, are the image. An RGB image held as
/// a C-ordered NumPy array (H, W, 3) is the size {3, W, H} with channelDim 0; as MATLAB holds
/// it, H x W x 3, the size {H, W, 3} with channelDim 2.
/// Channels that share their structure (as colours do) are decorrelated by the orthonormal DCT
/// across them (for three channels the opponent colour transform (R + G + B) / sqrt 3,
/// (R - B) / sqrt 2, (R - 2G + B) / sqrt 6), each transformed channel is denoised as an image
/// with `profile` (2-D: block depth 1), and the transform is undone. The transform keeps the
/// noise white, while the first transformed channel gathers most of the signal and the others
/// little, so each is filtered against the noise it really has. Channels that share little
/// (the DCT does not reduce the geometric mean of their signal variances 1.5 times, as for
/// unrelated stains) are denoised each on its own instead: mixing them would put every
/// structure into every transformed channel. Decorrelated channels after the first replay the
/// groups of blocks the first formed (it holds most of the signal; they hold too little of it
/// to match their blocks on).
/// Noise, independent between channels: `noise` holds one entry for every channel (white, or
/// a PSD on the image's own two dimensions, grid {F0, F1, 1}) or one white entry per channel;
/// under white noise each channel is divided by its sigma before the transform, so the
/// transformed channels carry white noise of unit variance.
/// Samples outside `options.mask` (in the layout of `image`) keep their input value, and so
/// does every channel of a pixel with a non-finite sample in any channel. Magnitude (Rician)
/// noise is refused: it is not additive, so it does not survive the transform.
/// Progress: stage s of transformed channel c (of C) reports (c + f) / C.
/// Throws as `denoise`: std::invalid_argument before `output` is touched; after a failure
/// during the run `output` is all zero.
void denoiseChannels(const float* image, Size3 size, int channelDim, float* output,
                     const std::vector<Noise>& noise, const Profile& profile,
                     const DenoiseOptions& options = {},
                     ChannelMixing mixing = ChannelMixing::Automatic);

/// The same with the image profile, Profile::defaults(false, noise[0].isCorrelated()).
void denoiseChannels(const float* image, Size3 size, int channelDim, float* output,
                     const std::vector<Noise>& noise, const DenoiseOptions& options = {},
                     ChannelMixing mixing = ChannelMixing::Automatic);

/// The standard deviation of each channel's white noise (estimateNoise on that channel's
/// image, with the mask's samples of that channel), one white Noise per channel, ready for
/// denoiseChannels. Gaussian noise only; throws like estimateNoise, naming the channel.
std::vector<Noise> estimateChannelNoise(const float* image, Size3 size, int channelDim,
                                        const NoiseEstimateOptions& options = {});

/// What ChannelMixing::Automatic decides for `image` (Decorrelate or Separate), from the
/// pixels finite in every channel and inside `mask` (null: all). Chunked runs decide once
/// for the whole image and pass the answer to every chunk. Throws like denoiseChannels.
ChannelMixing chooseChannelMixing(const float* image, Size3 size, int channelDim,
                                  const std::vector<Noise>& noise,
                                  const std::uint8_t* mask = nullptr);

}  // namespace kelvo
