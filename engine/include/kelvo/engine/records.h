// Records shared by every part of the engine: small vectors, the interleaved complex
// sample, the stage's parameter record and its transform record.
//
// Both records are plain data passed by value to the stage entry points and by const
// reference below them. Neither owns what its pointers point at.
#pragma once

#include <cstdint>

namespace kelvo {

/// Three components in dimension order 0, 1, 2 (dimension 0 is the fastest in memory).
template <typename T>
struct Vec3 {
    T x;
    T y;
    T z;

    T& operator[](int d) { return d == 0 ? x : (d == 1 ? y : z); }
    const T& operator[](int d) const { return d == 0 ? x : (d == 1 ? y : z); }
    bool operator==(const Vec3& o) const { return x == o.x && y == o.y && z == o.z; }
    bool operator!=(const Vec3& o) const { return !(*this == o); }
};

/// An interleaved single-precision complex sample: real part first. Arrays of Complex are
/// (re, im, re, im, ...), the layout of the hosts' interleaved complex arrays.
struct Complex {
    float re;
    float im;
};
static_assert(sizeof(Complex) == 2 * sizeof(float), "Complex must be two packed floats");

namespace TransformsMetas {
/// Kind of a transform matrix. Values 0-15 are forward kinds and v + 16 is the inverse of
/// forward kind v. 0-8 are block (per-dimension) kinds, 9-13 group-dimension Haar kinds,
/// 15/31 an arbitrary matrix applied by plain multiplication. The values index
/// `standardTransformsList`; they cross no host boundary but are fixed all the same.
enum StandardTransform : int {
    DCT4_FWD = 0,
    BIOR4_FWD = 1,
    HAAR4_FWD = 2,
    DCT5_FWD = 4,
    DCT8_FWD = 5,
    BIOR8_FWD = 6,
    HAAR8_FWD = 7,
    HAAR2_NL_FWD = 9,
    HAAR4_NL_FWD = 10,
    HAAR8_NL_FWD = 11,
    HAAR16_NL_FWD = 12,
    HAAR32_NL_FWD = 13,
    ARB_FWD = 15,
    DCT4_INV = 16,
    BIOR4_INV = 17,
    HAAR4_INV = 18,
    DCT5_INV = 20,
    DCT8_INV = 21,
    BIOR8_INV = 22,
    HAAR8_INV = 23,
    HAAR2_NL_INV = 25,
    HAAR4_NL_INV = 26,
    HAAR8_NL_INV = 27,
    HAAR16_NL_INV = 28,
    HAAR32_NL_INV = 29,
    ARB_INV = 31,
};
}  // namespace TransformsMetas

/// Which stage a template is instantiated for.
enum StageName : int { HARD_THRESHOLDING = 0, WIENER = 1 };

/// The stage's numeric settings. Field order is part of the contract.
struct Parameters {
    Vec3<int> blockSize;           ///< block extent per dimension (4,4,4 or 8,8,1 by default)
    Vec3<int> fftSize;             ///< grid of the noise model (PSD resampled to it)
    bool realFft;                  ///< first dimension of the spectra stored as F0/2+1 bins
    int maxGroupSize;              ///< largest group; also the match record's row stride
    int varianceLimit;             ///< group components whose variance is computed exactly
    float thresholdSquared;        ///< hard threshold: zero c when thresholdSquared*var > c*c
    float threshold;               ///< threshold multiplier (Wiener stage scales variances)
    float matchNoiseWeight;        ///< > 0: subtract the expected noise distance when matching
    Vec3<int> searchRadius;        ///< half-extent of the search window per dimension
    Vec3<int> imageSize;           ///< volume size (third is 1 for 2-D data)
    Vec3<int> psdSize;             ///< size of the PSD as passed
    Vec3<int> stepSize;            ///< reference grid step per dimension
    int minGroupSize;              ///< smallest group block matching keeps (2 by default)
    float matchThreshold;          ///< largest accepted block distance
    bool splitComp[3];             ///< per dimension: cache only the search window
    int shiftCount[3];             ///< length of each reference-shift list
    const int* shiftTable[3];      ///< reference-shift lists, picked cyclically
    float secondThreshold;         ///< carried, read by no stage
    bool sharpen;                  ///< alpha rooting in the hard-thresholding stage
    bool sharpenVariance;          ///< alpha rooting also updates the variances
    float sharpenAlpha;            ///< alpha-rooting exponent, third-dimension index != 0
    float sharpenAlphaFirstSlice;  ///< alpha-rooting exponent, third-dimension index 0
    int numThreads;                ///< threads requested from the pool (< 1: all cores)
    /// Wiener stage, blocks deeper than one slice: each group chooses its threshold around
    /// `threshold` by the error it estimates (chooseWienerThreshold), from a narrower range
    /// under correlated noise. Off, every group takes `threshold` as it is.
    bool adaptiveWiener = false;
};

/// The nine matrix and window pointers of a stage. The engine never frees them.
/// Matrices are n x n floats, row-major, row j giving output coefficient j.
struct Transforms {
    Vec3<const float*> fwd;        ///< forward block matrix per dimension
    Vec3<const float*> inv;        ///< inverse block matrix per dimension
    const float* const* groupFwd;  ///< indexed by group size n: n x n forward matrix
    const float* const* groupInv;  ///< same for the inverse
    const float* window;           ///< aggregation window, one float per block sample
};

/// The one-entry shift list {0} that replaces a list of length 0 or 1.
extern const int ZERO;
/// The 1 x 1 transform of a flat third dimension.
extern const float ONE;

}  // namespace kelvo
