// Variance stabilisation of magnitude (Rician / noncentral chi) data.
//
// A magnitude sample M = |nu + n| of `coils` complex channels with Gaussian channel noise of
// standard deviation sigma (per real and imaginary part) has a spread that depends on the
// signal nu: sigma at high signal, about 0.655 sigma (Rayleigh, one coil) where nu = 0, and a
// mean biased upward at low signal. The forward map f makes the noise of f(M / sigma) close to
// unit-variance Gaussian at every signal level, so a Gaussian denoiser can run on it. The
// inverse is the unbiased one: it maps a denoised value y to the signal nu with
// E[f(M / sigma) | nu] = y (tabulated by numerical integration), not to f^-1(y), which would
// leave the magnitude bias in place.
//
// The maps are built per number of coils on first use (a few milliseconds) and cached; they
// are safe to call from several threads.
#pragma once

#include <cstddef>

#include "kelvo/kelvo.h"

namespace kelvo {

/// Replaces each of `count` magnitudes by its stabilised value f(m / sigma): afterwards the
/// noise is close to unit-variance Gaussian. Non-finite samples are left as they are.
/// Throws std::invalid_argument for sigma not finite and > 0, coils outside 1..64, or a null
/// `data` with a non-zero count.
void stabiliseMagnitude(float* data, std::size_t count, double sigma, int coils);

/// Exact unbiased inverse of stabiliseMagnitude: replaces each stabilised value y by sigma * nu
/// where E[f(M / sigma) | nu] = y, and by 0 for y below the expectation at nu = 0.
/// Non-finite samples are left as they are. Same arguments and errors as stabiliseMagnitude.
void unstabiliseMagnitude(float* data, std::size_t count, double sigma, int coils);

/// Samples of an unstabilised estimate whose neighbourhood holds no detectable signal are set
/// to zero: every sample where the mean of the estimate over the 7x7x7 box around it (cut at
/// the volume's faces; 7x7 for a depth of 1) is below `NOISE_FLOOR_LEVEL` * sigma.
///
/// Near zero signal the expectation of the stabilised magnitude is flat (it grows with the
/// square of the signal), so the unbiased inverse turns the small residual error of a denoised
/// background into a speckle of a quarter of a sigma. Where the estimate's local mean is that
/// low the data cannot tell the signal from zero, and zero is the better answer; tissue with
/// any visible signal has a mean well above it. `data` holds size[0] * size[1] * size[2]
/// samples, x fastest; a box holding a non-finite sample is left as it is. Throws
/// std::invalid_argument for a null `data`, a size below 1 or sigma not finite and > 0.
void clearNoiseFloor(float* data, Size3 size, double sigma);

/// The level, in units of sigma, below which clearNoiseFloor takes a neighbourhood for empty,
/// and half the side of its box (a result depends on the estimate this far around it).
constexpr double NOISE_FLOOR_LEVEL = 0.5;
constexpr int NOISE_FLOOR_RADIUS = 3;

}  // namespace kelvo
