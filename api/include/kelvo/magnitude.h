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

}  // namespace kelvo
