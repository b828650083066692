// Which samples of a volume carry data, shared by noise estimation and denoising.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kelvo/kelvo.h"

namespace kelvo {
namespace detail {

inline std::size_t sampleCount(const Size3& size) {
    return std::size_t(size[0]) * size[1] * size[2];
}

/// "AxBxC", as messages name sizes.
inline std::string sizeText(const Size3& size) {
    return std::to_string(size[0]) + "x" + std::to_string(size[1]) + "x" + std::to_string(size[2]);
}

/// One byte per sample: 1 where the sample is finite and inside `mask` (or there is no mask).
/// Throws std::invalid_argument when no sample is left, naming the reason.
std::vector<std::uint8_t> samplesWithData(const float* volume, Size3 size,
                                          const std::uint8_t* mask);

/// Clears the samples that lie in a run of three or more exactly equal values along any axis
/// (a zeroed or clipped background): they say nothing about the noise.
void clearConstantRuns(const float* volume, Size3 size, std::vector<std::uint8_t>& usable);

/// Replaces every non-finite sample of `volume`, layer by layer outwards from the finite
/// samples, by the mean of the finite (or already filled) samples around it: in a 5x5x5 box
/// for the first four layers, which averages the edge's noise away, then of its face
/// neighbours. A smooth continuation of the data that keeps blocks on the edge of the data
/// free of steps and of repeated noise. Needs one finite sample.
void fillNonFinite(float* volume, Size3 size);

/// The power of two that Gaussian runs scale the samples and the noise by. The engine's
/// arithmetic holds a few absolute floors (a noise variance below 1e-8 counts as 1e-8 in the
/// Wiener gain) and sums squares of samples (which overflow float beyond about 1e17), so noise
/// far from unit scale would be filtered wrongly: data in mm^2/s with a sigma of 1e-4 lost a
/// quarter of its range, samples of 1e18 came back as NaN. Scaling by a power of two is exact,
/// so a noise standard deviation `sigma` within [2^-7, 2^7) is left as it is (0) and any other
/// is brought into [2^-4, 2^-3), as far as the largest of the `count` samples of `volume`
/// with `hasData` set stays below 2^51 (they are read only then; a null `volume`: not known).
int noiseScaleExponent(double sigma, const float* volume, const std::uint8_t* hasData,
                       std::size_t count);

/// v[i] *= 2^k for the n samples (exact unless a result leaves the normal range).
void scaleByPowerOfTwo(float* v, std::size_t n, int k);

/// Checks the number of coils and returns it.
int checkedCoils(int coils);

}  // namespace detail
}  // namespace kelvo
