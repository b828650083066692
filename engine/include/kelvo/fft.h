// Small fixed-size unscaled forward DFTs (n = 4, 8, 16, 32, 64).
#pragma once

#include "kelvo/records.h"

namespace kelvo {

/// Same layout as Complex: real, then imaginary, single precision.
struct creal32_T {
    float re;
    float im;
};
static_assert(sizeof(creal32_T) == sizeof(Complex), "creal32_T must match Complex");

/// out[k] = sum_m in[m] e^{-2 pi i k m / n}. n in {4, 8, 16, 32, 64}; any other n throws
/// std::exception before writing anything. `in` and `out` must not alias. No allocation.
void fftComplex(int n, Complex* in, Complex* out);
/// The same transform of the real parts of in[0..n-1]; the upper half is written as the
/// conjugates of the lower half and the imaginary parts of out[0], out[n/2] are exactly 0.
void fftReal(int n, Complex* in, Complex* out);
/// The 64-point case of fftComplex.
void FFTComplex64(const creal32_T* in, creal32_T* out);

}  // namespace kelvo
