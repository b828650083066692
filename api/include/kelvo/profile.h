// The user-facing settings of a denoising run, with the tuned defaults. This record is the
// single source of truth for defaults: the C++ API, the command-line tool, the Python module
// and the host functions of the plug-in (KELVOProfile) all read it.
#pragma once

#include <array>

namespace kelvo {

/// Settings of one stage.
struct StageProfile {
    std::array<int, 3> blockSize;     ///< block extent (4,4,4 for volumes, 8,8,1 for images)
    std::array<int, 3> stepSize;      ///< reference grid step; must not exceed the block
    std::array<int, 3> searchRadius;  ///< half-size of the search window
    int maxGroupSize;                 ///< largest group: a power of two, at most 64
    /// Hard thresholding: the threshold multiplier lambda (coefficients below lambda * the
    /// noise standard deviation of that coefficient are zeroed). Wiener: the multiplier of
    /// the noise variance in the empirical gain (see Profile::adaptiveWiener).
    float threshold;
    /// Largest accepted block distance, as a multiple of the expected distance between two
    /// blocks of pure noise (2 * block volume * noise variance).
    float matchThreshold;
    /// Smallest group: a power of two from 1 to 64 (groups never exceed maxGroupSize). Where
    /// fewer blocks than this lie within the match threshold, the nearest ones fill the group
    /// anyway: at low noise the threshold, which scales with the noise variance, admits few
    /// blocks of textured data. 2 is the plain rule (the reference and its nearest block).
    int minGroupSize;
};

/// Settings of the refinement pass that follows the Wiener stage: each group of the
/// `groupSize` blocks nearest (on the Wiener estimate) to a reference block within
/// `searchRadius` is estimated again from the noisy blocks, as the linear minimum-mean-square-
/// error estimate whose signal covariance is the scatter of the group's blocks in the Wiener
/// estimate and whose noise covariance is the noise's within a block (white, or from the
/// PSD). The filter then follows each group's own principal directions rather than a fixed
/// transform's, which keeps fine structure that both stages blur.
struct RefinementProfile {
    bool enabled;                     ///< run the pass (skipped where it cannot model the noise)
    std::array<int, 3> blockSize;     ///< 3x3x2 volumes (3x3x3 correlated), 8x8x1 images
    std::array<int, 3> stepSize;      ///< reference grid step (may exceed the block)
    std::array<int, 3> searchRadius;  ///< half-size of the search window
    int groupSize;                    ///< blocks per group, 2 to 64
};

struct Profile {
    StageProfile hardThreshold;
    StageProfile wiener;
    RefinementProfile refinement;
    std::array<int, 3> fftSize;     ///< grid of the noise model (powers of two, 4..64)
    int varianceLimit;              ///< group components whose noise variance is exact
    std::array<bool, 3> splitComp;  ///< per dimension: cache only the search window
    float matchNoiseWeight;         ///< > 0 subtracts the expected noise from distances
    bool sharpen;                   ///< alpha rooting after hard thresholding
    bool sharpenVariance;           ///< alpha rooting also updates the variances
    float sharpenAlpha;             ///< alpha-rooting exponent
    float sharpenAlphaFirstSlice;   ///< alpha-rooting exponent of the first block slice
    int numThreads;                 ///< 0: every core
    /// Correlated noise (a PSD that is not flat), and images (depth one) under white noise
    /// too: also denoise a copy binned by 2 along every axis (2x2x2 or 2x2 means) with the
    /// binned noise, and take the estimate's low-pass content from it, where blocks of a few
    /// samples cannot tell the noise's low frequencies from the signal. Volumes under white
    /// noise take it where the noise is large against the data (`coarseNoiseRatio`). Skipped
    /// when the binned volume is smaller than a block. Measured cost: 2 to 11 % more time on
    /// volumes, 10 to 45 % on images (the binned image's stages use two threads less well; 23 %
    /// with one; about 20 % under white noise).
    bool multiscale;
    /// Volumes under white noise (with `multiscale`): the coarse scale runs where the noise's
    /// standard deviation is at least this multiple of the data's own, estimated over the
    /// samples with data as sqrt(max(0, variance - sigma^2)). 0 runs it on every volume,
    /// infinity on none. There it gains most (0.2 to 0.4 dB where the noise's deviation
    /// exceeds the data's), and about 0.05 dB at half of it, for about 1.1 times the time.
    float coarseNoiseRatio;
    /// Volumes only (blocks deeper than one slice): each Wiener group takes the multiple of
    /// `wiener.threshold` that leaves the least estimated error in that group, among 4/9,
    /// 2/3, 1 and 2 under white or nearly white noise (mean(PSD)^2 / mean(PSD^2) >= 0.45, as
    /// noise correlated along one axis only) and 10/13, 23/26, 1 and 20/13 under other
    /// correlated noise, so that detail is shrunk less and flat background more than one fixed
    /// threshold allows. Off, every group takes `wiener.threshold` as it is. About 5 % more time
    /// for both stages.
    bool adaptiveWiener;

    /// Defaults for a volume (depth > 1) or an image (depth 1) under white noise.
    static Profile defaults(bool volumetric);
    /// Defaults for a volume or an image under the given kind of noise: correlated noise (a
    /// PSD that is not flat) takes larger blocks (volumes: 6x6x6 in hard thresholding; images:
    /// 12x12 in the Wiener stage), which hold several correlation lengths of the noise and so
    /// tell its low frequencies from the signal's. The volumes' Wiener stage keeps 4x4x4
    /// blocks: it matches on the pilot, and the coarse scale (`multiscale`) takes the lowest
    /// frequencies out.
    static Profile defaults(bool volumetric, bool correlatedNoise);
};

}  // namespace kelvo
