// Deterministic test data for the demo, the tests and the benchmarks: a piecewise-smooth
// phantom, reproducible Gaussian noise (white or correlated) and quality figures. The
// generators use their own random number generator and Box-Muller transform, so the same seed
// gives bit-identical data on every platform and standard library.
#pragma once

#include <cstdint>
#include <vector>

#include "kelvo/kelvo.h"

namespace kelvo {

/// A piecewise-smooth phantom of `size` (layout of kelvo.h) with values in [0, 1]: a smooth
/// background ramp, an outer ellipsoid shell, overlapping inner ellipsoids with sharp edges,
/// a smooth blob and a thin bar. A 2-D size gives the central section of the same shapes.
std::vector<float> makePhantom(Size3 size);

/// Standard normal samples from a fixed-seed generator (xoshiro256** + Box-Muller).
std::vector<float> gaussianNoise(std::size_t count, std::uint64_t seed);

/// White Gaussian noise of standard deviation `sigma` filtered by the separable kernel
/// `kernel` along every dimension of `size` whose extent exceeds 1 (circular boundaries). The
/// result has the standard deviation sigma * |kernel|_2^(dims).
std::vector<float> correlatedNoise(Size3 size, double sigma, const std::vector<double>& kernel,
                                   std::uint64_t seed);

/// Peak signal-to-noise ratio in dB of `estimate` against `reference` for the peak `peak`.
double psnr(const std::vector<float>& reference, const std::vector<float>& estimate,
            double peak = 1.0);

}  // namespace kelvo
