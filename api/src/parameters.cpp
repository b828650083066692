// Noise descriptions and the translation of a Profile into the engine's parameter record.
#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>

#include "kelvo/engine/interface.h"
#include "kelvo/kelvo.h"
#include "kelvo/stage_records.h"
#include "sample_data.h"

namespace kelvo {

namespace {

using detail::sizeText;

bool isPowerOfTwo(int v) { return v > 0 && (v & (v - 1)) == 0; }

/// The blocks a volume of `size` is cut into: along a dimension of at least two samples that
/// is thinner than the blocks (a stack of two or three slices) the blocks shrink to the
/// volume, since the transforms exist for every size; a dimension of one sample keeps them.
Size3 fittedBlock(Size3 block, Size3 size) {
    for (int d = 0; d < 3; ++d)
        if (block[d] > size[d] && size[d] >= 2) block[d] = size[d];
    return block;
}

[[noreturn]] void fail(const std::string& what) { throw std::invalid_argument(what); }

}  // namespace

Noise Noise::white(double sigma) {
    if (!std::isfinite(sigma) || sigma <= 0.0)
        fail("noise standard deviation must be positive and finite (got " + std::to_string(sigma) +
             ")");
    Noise n;
    n.sigma_ = sigma;
    return n;
}

Noise Noise::spectrum(std::vector<float> psd, Size3 size) {
    for (int d = 0; d < 3; ++d)
        if (size[d] < 1 || size[d] > 1024) fail("PSD size " + sizeText(size) + " is invalid");
    const std::size_t count = std::size_t(size[0]) * size[1] * size[2];
    if (psd.size() != count)
        fail("PSD holds " + std::to_string(psd.size()) + " values but its size " + sizeText(size) +
             " needs " + std::to_string(count));
    double sum = 0.0;
    for (float v : psd) {
        if (!std::isfinite(v) || v < 0.0f)
            fail("PSD values must be finite and non-negative (got " + std::to_string(v) + ")");
        sum += v;
    }
    if (!(sum > 0.0))
        fail(
            "PSD is zero everywhere: it must hold the noise's power, E|DFT|^2 on its grid (white "
            "noise of standard deviation s on an N-point grid has the constant s^2 N)");
    Noise n;
    // Mean of the PSD over its grid divided by the grid's point count (Parseval).
    n.sigma_ = std::sqrt(sum / double(count) / double(count));
    n.psd_ = std::move(psd);
    n.psdSize_ = size;
    return n;
}

bool Noise::isCorrelated() const {
    if (psd_.empty()) return false;
    const auto range = std::minmax_element(psd_.begin(), psd_.end());
    return *range.second - *range.first > 1e-6f * *range.second;
}

std::vector<float> enginePsd(const Noise& noise, const Profile& profile, Size3* psdSize) {
    if (noise.isWhite()) {
        const Size3 f = profile.fftSize;
        const std::size_t count =
            std::size_t(std::max(f[0], 1)) * std::max(f[1], 1) * std::max(f[2], 1);
        if (psdSize) *psdSize = f;
        return std::vector<float>(count, float(noise.variance() * double(count)));
    }
    if (psdSize) *psdSize = noise.psdSize();
    return noise.psd();
}

Parameters stageParameters(StageName stage, const Profile& profile, Size3 size,
                           const Noise& noise) {
    const StageProfile& sp = stage == HARD_THRESHOLDING ? profile.hardThreshold : profile.wiener;
    const char* stageText = stage == HARD_THRESHOLDING ? "hard-thresholding" : "Wiener";

    for (int d = 0; d < 3; ++d)
        if (size[d] < 1) fail("volume size " + sizeText(size) + " is invalid");
    if (double(size[0]) * size[1] * size[2] > double(INT_MAX))
        fail("volume " + sizeText(size) + " is too large (more than 2^31-1 samples)");

    const bool image = size[2] == 1;
    for (int d = 0; d < 3; ++d)
        if (sp.blockSize[d] < 1 || sp.blockSize[d] > 16 ||
            sp.blockSize[0] * sp.blockSize[1] * sp.blockSize[2] < 2)
            fail(std::string(stageText) + " block size " + sizeText(sp.blockSize) +
                 " is not supported: 1 to 16 samples per dimension, at least 2 in all (4x4x4 "
                 "for volumes and 8x8x1 for images are the defaults)");
    if (image && sp.blockSize[2] != 1)
        fail(
            "a 2-D image (depth 1) needs blocks of depth 1, such as 8x8x1; use the image "
            "profile (Profile::defaults(false))");
    const Size3 block = fittedBlock(sp.blockSize, size);
    for (int d = 0; d < 3; ++d)
        if (block[d] > size[d])
            fail("volume " + sizeText(size) + " is one sample thick along dimension " +
                 std::to_string(d) + " (" + "xyz"[d] + "), thinner than the " + stageText +
                 " blocks " + sizeText(sp.blockSize) +
                 ": pass a volume of at least 2 samples there, or a profile whose blocks hold "
                 "1 along it");
    if (!isPowerOfTwo(sp.maxGroupSize) || sp.maxGroupSize < 2 || sp.maxGroupSize > 64)
        fail(std::string(stageText) + " group size must be a power of two from 2 to 64 (got " +
             std::to_string(sp.maxGroupSize) + ")");
    if (!isPowerOfTwo(sp.minGroupSize) || sp.minGroupSize > 64)
        fail(std::string(stageText) + " smallest group size must be a power of two from 1 to 64 " +
             "(got " + std::to_string(sp.minGroupSize) +
             "; 2 adds only the nearest block beyond the match threshold)");
    if (!std::isfinite(sp.threshold) || sp.threshold <= 0.0f)
        fail(std::string(stageText) + " threshold must be positive");
    if (!std::isfinite(sp.matchThreshold) || sp.matchThreshold <= 0.0f)
        fail(std::string(stageText) + " match threshold must be positive");

    if (!(profile.coarseNoiseRatio >= 0.0f))
        fail("coarse noise ratio must be 0 or more (got " +
             std::to_string(profile.coarseNoiseRatio) +
             "; 0 runs the coarse scale on every volume under white noise, infinity on none)");

    const Size3 fft = profile.fftSize;
    for (int d = 0; d < 3; ++d) {
        const bool flatDim = d == 2 && block[2] == 1;
        if (flatDim ? fft[d] != 1 && (fft[d] < 4 || !isPowerOfTwo(fft[d]) || fft[d] > 64)
                    : fft[d] < 4 || fft[d] > 64 || !isPowerOfTwo(fft[d]))
            fail("FFT size " + sizeText(fft) +
                 " is invalid (powers of two from 4 to 64; 1 "
                 "along a flat block dimension)");
        if (fft[d] < block[d])
            fail("FFT size " + sizeText(fft) + " is smaller than the block " + sizeText(block));
    }

    const Size3 psdSize = noise.isWhite() ? fft : noise.psdSize();
    if (block[2] == 1 && psdSize[2] != 1)
        fail("PSD of size " + sizeText(psdSize) +
             " does not fit 2-D blocks: its third dimension must be 1");
    if (image && psdSize[2] != 1)
        fail("PSD of size " + sizeText(psdSize) +
             " does not fit a 2-D image: its third dimension must be 1");

    Parameters p{};
    p.blockSize = {block[0], block[1], block[2]};
    p.fftSize = {fft[0], fft[1], fft[2]};
    p.realFft = fft[0] == fft[1] && (fft[2] == 1 || fft[2] == fft[0]);
    p.maxGroupSize = sp.maxGroupSize;
    p.varianceLimit = profile.varianceLimit;
    p.threshold = sp.threshold;
    p.thresholdSquared = sp.threshold * sp.threshold;
    p.secondThreshold = sp.threshold;
    p.matchNoiseWeight = profile.matchNoiseWeight;
    const int blockVolume = block[0] * block[1] * block[2];
    p.matchThreshold = float(double(sp.matchThreshold) * 2.0 * blockVolume * noise.variance());
    for (int d = 0; d < 3; ++d) {
        // A search never reaches past the volume and a step never skips samples.
        p.searchRadius[d] = std::max(0, std::min(sp.searchRadius[d], size[d] - block[d]));
        p.stepSize[d] = std::max(1, std::min(sp.stepSize[d], block[d]));
        p.imageSize[d] = size[d];
        p.psdSize[d] = psdSize[d];
        p.splitComp[d] = profile.splitComp[d];
        p.shiftCount[d] = 1;
        p.shiftTable[d] = &ZERO;
    }
    // A floor above the largest group is the largest group; above what the smallest search
    // window holds (a corner's), the largest power of two that window holds, since groups
    // without a group transform (sizes that are not powers of two) cannot be filtered.
    int windowBlocks = 1;
    for (int d = 0; d < 3; ++d) windowBlocks *= p.searchRadius[d] + 1;
    int smallest = std::min(sp.minGroupSize, sp.maxGroupSize);
    while (smallest > 2 && smallest > windowBlocks) smallest /= 2;
    p.minGroupSize = smallest;
    const bool ht = stage == HARD_THRESHOLDING;
    p.sharpen = ht && profile.sharpen;
    p.sharpenVariance = ht && profile.sharpenVariance;
    p.sharpenAlpha = profile.sharpenAlpha;
    p.sharpenAlphaFirstSlice = profile.sharpenAlphaFirstSlice;
    p.numThreads = profile.numThreads;
    p.adaptiveWiener = !ht && profile.adaptiveWiener;

    const std::string problem = validateParameters(p);
    if (!problem.empty()) fail(problem);
    return p;
}

bool refinementApplies(Size3 size, const Noise& noise, const Profile& profile) {
    const RefinementProfile& r = profile.refinement;
    if (!r.enabled) return false;
    const Size3 block = fittedBlock(r.blockSize, size);
    for (int d = 0; d < 3; ++d)
        if (block[d] > size[d]) return false;
    // Correlated noise whose covariance within a block is singular (a spectrum with zeros)
    // cannot be modelled by the pass.
    if (!noise.isCorrelated()) return true;
    if (block[0] * block[1] * block[2] > MAX_COVARIANCE_BLOCK) return false;
    Size3 psdSize{};
    const std::vector<float> psd = enginePsd(noise, profile, &psdSize);
    return !blockNoiseCovariance(psd.data(), psdSize, block).empty();
}

RefinementParameters refinementParameters(const Profile& profile, Size3 size, const Noise& noise) {
    const RefinementProfile& r = profile.refinement;
    const bool image = size[2] == 1;
    for (int d = 0; d < 3; ++d)
        if (r.blockSize[d] < 1 || r.blockSize[d] > 16)
            fail("refinement block size " + sizeText(r.blockSize) +
                 " is not supported: 1 to 16 samples per dimension (3x3x3 for volumes and "
                 "8x8x1 for images are the defaults)");
    if (image && r.blockSize[2] != 1)
        fail(
            "a 2-D image (depth 1) needs refinement blocks of depth 1, such as 8x8x1; use the "
            "image profile (Profile::defaults(false))");
    for (int d = 0; d < 3; ++d) {
        if (r.stepSize[d] < 1 || r.stepSize[d] > 64)
            fail("refinement step " + sizeText(r.stepSize) +
                 " must be 1 to 64 along every dimension (a step beyond the block leaves "
                 "samples that no matched block covers at the Wiener estimate)");
        if (r.searchRadius[d] < 0 || r.searchRadius[d] > 64)
            fail("refinement search radius " + sizeText(r.searchRadius) +
                 " must be 0 to 64 along every dimension");
    }
    if (r.groupSize < 2 || r.groupSize > 64)
        fail("refinement group size must be 2 to 64 (got " + std::to_string(r.groupSize) + ")");
    RefinementParameters p;
    for (int d = 0; d < 3; ++d) {
        p.size[d] = size[d];
        p.blockSize[d] = std::min(r.blockSize[d], std::max(size[d], 1));
        p.stepSize[d] = r.stepSize[d];
        p.searchRadius[d] = std::max(0, std::min(r.searchRadius[d], size[d] - p.blockSize[d]));
    }
    p.groupSize = r.groupSize;
    // The variance of the PSD the stages see, so that white noise given as sigma and as a
    // flat PSD refine alike, bit for bit.
    Size3 psdSize{};
    const std::vector<float> psd = enginePsd(noise, profile, &psdSize);
    double sum = 0.0;
    for (float v : psd) sum += v;
    p.noiseVariance = sum / double(psd.size()) / double(psd.size());
    // Correlated noise (a flat PSD is white noise, refined as sigma is): the noise's
    // covariance within a block, empty when the pass cannot model it.
    if (noise.isCorrelated() && p.noiseVariance > 0) {
        if (p.blockSize[0] * p.blockSize[1] * p.blockSize[2] > MAX_COVARIANCE_BLOCK)
            fail("refinement block size " + sizeText(r.blockSize) +
                 " is too large for correlated noise: its blocks hold at most " +
                 std::to_string(MAX_COVARIANCE_BLOCK) +
                 " samples (8x8x8 or 16x16x2; 3x3x3 and 8x8x1 are the defaults), or set "
                 "refinement.enabled to false");
        p.noiseCovariance = blockNoiseCovariance(psd.data(), psdSize, p.blockSize);
    }
    p.numThreads = profile.numThreads;
    const std::string problem = validateRefinement(p);
    if (!problem.empty()) fail(problem);
    return p;
}

}  // namespace kelvo
