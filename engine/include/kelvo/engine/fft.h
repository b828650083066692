// Small fixed-size unscaled forward DFTs (n = 4, 8, 16, 32, 64).
#pragma once

#include "kelvo/engine/records.h"

namespace kelvo {

/// creal32_T: the host's name for an interleaved single-precision complex sample.
/// Same layout as Complex: real, then imaginary, single precision.
struct creal32_T {
    float re;
    float im;
};
static_assert(sizeof(creal32_T) == sizeof(Complex), "creal32_T must match Complex");

/// fv0, fv1: the cosine and negative sine tables ("v" for value) of the 64-point kernel.
/// Twiddles of the 64-point kernel: fv0[k] = cos(2 pi k / 64), fv1[k] = -sin(2 pi k / 64),
/// k = 0 .. 32, in single precision (fv0[16] and fv1[0] exactly 0, fv1[32] = -0). Every
/// smaller size reads them with the step 64 / n.
extern const float fv0[33];
extern const float fv1[33];

/// True for the lengths the kernels below implement: 4, 8, 16, 32 and 64.
bool isFftSize(int n);

/// out[k] = sum_m in[m] e^{-2 pi i k m / n}. n in {4, 8, 16, 32, 64}; any other n throws
/// std::invalid_argument (a std::exception) before writing anything, as does in == out.
/// `in` and `out` must not overlap. No allocation.
void fftComplex(int n, Complex* in, Complex* out);
/// The same transform of the real parts of in[0..n-1] (imaginary parts are not read); the
/// upper half is written as the exact conjugates of the lower half and the imaginary parts
/// of out[0], out[n/2] are exactly 0. Same sizes, errors and aliasing rule as fftComplex.
void fftReal(int n, Complex* in, Complex* out);
/// In-place forward DFT of `width` interleaved lines: line c (0 <= c < width) is the n
/// samples data[c + m * stride], m = 0 .. n-1, lines adjacent in memory (stride >= width).
/// Same unscaled transform as fftComplex, but frequency k ends up at position
/// bitReversed(k, n). n in {4, 8, 16, 32, 64} (else std::invalid_argument, nothing written).
/// Radix-2 decimation in frequency whose inner loops run across the lines. No allocation.
void fftBatchInPlace(Complex* data, int n, long long stride, int width);
/// k with its log2(n) low bits reversed (n a power of two, 0 <= k < n).
int bitReversed(int k, int n);
/// The 64-point case of fftComplex. `in` and `out` must not overlap.
void FFTComplex64(const creal32_T* in, creal32_T* out);

}  // namespace kelvo
