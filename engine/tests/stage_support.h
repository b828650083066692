// Shared helpers of the stage tests: phantoms, noise, quality figures and parameter records.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "kelvo/engine/interface.h"
#include "kelvo/engine/records.h"

namespace kelvo {
namespace testing {

/// Piecewise-smooth phantom in [0, 1]: a smooth ramp with ellipsoids of different contrast,
/// one with a soft edge, dimension 0 fastest.
inline std::vector<float> phantom(Vec3<int> size) {
    std::vector<float> v(static_cast<std::size_t>(size.x) * size.y * size.z);
    const double cz = (size.z - 1) / 2.0;
    for (int z = 0; z < size.z; ++z)
        for (int y = 0; y < size.y; ++y)
            for (int x = 0; x < size.x; ++x) {
                const double u = (x - (size.x - 1) / 2.0) / (size.x / 2.0);
                const double w = (y - (size.y - 1) / 2.0) / (size.y / 2.0);
                const double t = size.z > 1 ? (z - cz) / (size.z / 2.0) : 0.0;
                double value = 0.2 + 0.1 * u;
                if (u * u / 0.7 + w * w / 0.5 + t * t / 0.8 < 1.0) value = 0.5 + 0.1 * w;
                if ((u - 0.3) * (u - 0.3) + (w + 0.2) * (w + 0.2) + t * t < 0.06) value = 0.9;
                if ((u + 0.35) * (u + 0.35) / 0.02 + (w - 0.1) * (w - 0.1) / 0.1 + t * t / 0.5 <
                    1.0) {
                    value = 0.1;
                }
                v[static_cast<std::size_t>((z * size.y + y) * size.x + x)] =
                    static_cast<float>(value);
            }
    return v;
}

inline std::vector<float> addWhiteNoise(const std::vector<float>& clean, float sigma,
                                        std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, sigma);
    std::vector<float> noisy(clean);
    for (float& v : noisy) v += normal(rng);
    return noisy;
}

inline double psnr(const std::vector<float>& a, const std::vector<float>& b) {
    double se = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) se += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return 10.0 * std::log10(1.0 / (se / static_cast<double>(a.size())));
}

/// Parameters of a short but realistic run with the built-in transforms, for white noise
/// of standard deviation sigma (PSD constant on the fftSize grid).
inline Parameters defaultParameters(Vec3<int> imageSize, float sigma, bool wiener) {
    const bool volumetric = imageSize.z > 1;
    Parameters p{};
    p.blockSize = volumetric ? Vec3<int>{4, 4, 4} : Vec3<int>{8, 8, 1};
    p.fftSize = volumetric ? Vec3<int>{8, 8, 8} : Vec3<int>{32, 32, 1};
    p.realFft = true;
    p.maxGroupSize = wiener ? 32 : 16;
    p.varianceLimit = 4;
    p.threshold = wiener ? 1.0f : 2.7f;
    p.thresholdSquared = p.threshold * p.threshold;
    p.secondThreshold = p.threshold;
    p.matchNoiseWeight = 0.0f;
    p.searchRadius = volumetric ? Vec3<int>{3, 3, 3} : Vec3<int>{7, 7, 0};
    p.imageSize = imageSize;
    p.psdSize = {1, 1, 1};
    p.stepSize = volumetric ? Vec3<int>{3, 3, 3} : Vec3<int>{3, 3, 1};
    p.minGroupSize = 2;
    const float B = static_cast<float>(p.blockSize.x * p.blockSize.y * p.blockSize.z);
    p.matchThreshold = (wiener ? 0.4f : 2.0f) * 2.0f * B * sigma * sigma;
    p.splitComp[0] = false;
    p.splitComp[1] = false;
    p.splitComp[2] = volumetric;
    for (int d = 0; d < 3; ++d) {
        p.shiftCount[d] = 1;
        p.shiftTable[d] = nullptr;
    }
    p.sharpenAlpha = 1.0f;
    p.sharpenAlphaFirstSlice = 1.0f;
    p.numThreads = 2;
    return p;
}

/// A white PSD of variance sigma^2 given on a 1 x 1 x 1 grid: resampling to the fftSize
/// grid scales it by the grid's point count.
inline std::vector<float> whitePsd(float sigma) { return {sigma * sigma}; }

inline Transforms noTransforms() {
    return Transforms{
        {nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr}, nullptr, nullptr, nullptr};
}

/// Hard thresholding then Wiener filtering with the same noise model.
inline std::vector<float> denoiseBoth(const std::vector<float>& noisy,
                                      const std::vector<float>& psd, Parameters ht,
                                      Parameters wie) {
    std::vector<float> pilot(noisy.size(), 0.0f), out(noisy.size(), 0.0f);
    if (kelvoInterfaceHT(noisy.data(), psd.data(), pilot.data(), nullptr, ht, noTransforms()) !=
        StageOutcome::Completed) {
        return {};
    }
    if (kelvoInterfaceWie(noisy.data(), psd.data(), pilot.data(), out.data(), nullptr, wie,
                          noTransforms()) != StageOutcome::Completed) {
        return {};
    }
    return out;
}

inline float maxAbsDifference(const std::vector<float>& a, const std::vector<float>& b) {
    float m = 0.0f;
    for (std::size_t i = 0; i < a.size(); ++i) m = std::fmax(m, std::fabs(a[i] - b[i]));
    return m;
}

}  // namespace testing
}  // namespace kelvo
