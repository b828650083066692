// Internal to Kelvo: the coarse scale of a denoising run under correlated noise, of images
// under white noise, and of volumes whose white noise is large against the data. Low-pass
// noise puts most of its power at frequencies that blocks of a few samples cannot tell from
// the signal; a copy binned by 2 along every axis sees those frequencies at twice the
// relative resolution. `denoise` denoises that copy with the binned noise's PSD and takes the
// low-pass content of its result from it (addCoarseCorrection). Under white noise the copy's
// noise is white with a quarter (images) or an eighth (volumes) of the variance, and its
// estimate still helps wherever the data is smooth over more than a block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kelvo/kelvo.h"

namespace kelvo {

/// Axes that are binned: every axis longer than one sample.
std::array<bool, 3> binnedAxes(Size3 size);

/// Whether `denoise` adds the coarse scale for a processed volume of `size`: the profile
/// asks for it; the noise is correlated, the data is an image (depth one), or the noise's
/// standard deviation is at least `profile.coarseNoiseRatio` times the data's
/// (`relativeNoise`, see relativeNoise; infinity when not known asks for the largest run);
/// and the binned volume holds a block of each stage.
bool multiscaleApplies(Size3 size, const Noise& noise, const Profile& profile,
                       double relativeNoise);

/// sigma over the data's own standard deviation: that of the `count` samples of `volume`
/// with `hasData` set, less the noise's (sqrt(max(0, variance - sigma^2))); infinity where
/// the data's variance does not exceed the noise's.
double relativeNoise(const float* volume, const std::uint8_t* hasData, std::size_t count,
                     double sigma);

/// The noise of the copy binned by 2 along `binned`: the binned PSD under correlated noise
/// (coarseNoisePsd), white noise of variance sigma^2 / 2^k (k binned axes) under white noise.
Noise coarseNoise(const Noise& noise, std::array<bool, 3> binned);

/// Size of `size` binned by 2 along `binned`: ceil(n / 2) there, n elsewhere.
Size3 coarseSize(Size3 size, std::array<bool, 3> binned);

/// Means of pairs of samples along every binned axis (2x2x2 cells in a volume, 2x2 in an
/// image) of `volume` into `coarse` (coarseSize samples). A last, odd sample forms a cell
/// with itself.
void binByTwo(const float* volume, Size3 size, std::array<bool, 3> binned, float* coarse);

/// PSD (on the same grid `psdSize`, kelvo's convention) of the noise described by `psd`
/// after binning by 2 along `binned`. Exact for noise whose autocorrelation is shorter than
/// half the PSD's grid along each axis: the autocorrelation r of the PSD, taken as zero
/// beyond half the grid (the lag of exactly half an even grid shared between its two
/// signs), becomes (2 r(2m) + r(2m + 1) + r(2m - 1)) / 4 along each binned axis, the
/// autocorrelation of means of pairs sampled every second position. Along an axis whose
/// grid is 1 the noise is white, and binning halves its power.
std::vector<float> coarseNoisePsd(const std::vector<float>& psd, Size3 psdSize,
                                  std::array<bool, 3> binned);

/// The `limit` of addCoarseCorrection: the binned noise's standard deviation under
/// correlated noise, half of it on images under white noise, where the fine estimate holds
/// less low-frequency noise and large corrections are more often detail the binned copy
/// lost: on ten 256x256 crops of scikit-image's images at sigma 0.05, 0.1 and 0.15, half of
/// it gained +0.18 dB on average (all of it +0.18), at worst -0.02 (all of it -0.07); on ten
/// other images and phantoms +0.10 (+0.05), at worst -0.02 (-0.18). Volumes under white
/// noise, which take the binned copy only where the noise is large against the data, take
/// all of it: +0.02 to +0.10 dB on inia19 volumes and crops, -0.01 on phantoms.
float coarseCorrectionLimit(const Noise& noise, const Noise& coarseNoise, bool image);

/// Replaces the low-pass content of `fine` (size `size`) by that of `coarse` (the denoised
/// binned copy, coarseSize samples): adds to `fine` the linear cell-centred interpolation of
/// the difference c = coarse - binByTwo(fine), each difference first attenuated as
/// c / (1 + (c^2 + 4 v) / limit^2), v being the variance of `fine`'s samples in that cell
/// (binByTwo's cell). Differences well below `limit` (the standard deviation of the binned
/// noise) in a cell where `fine` is flat are low-frequency noise left in `fine` and pass;
/// large ones come from detail that binning lost, and are mostly kept out, as are those of
/// cells where `fine` varies, whose structure the binned copy resolves worse than `fine`.
/// `scratch` is resized to the coarse size.
void addCoarseCorrection(float* fine, Size3 size, std::array<bool, 3> binned, const float* coarse,
                         float limit, std::vector<float>& scratch);

}  // namespace kelvo
