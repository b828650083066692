// Internal to the engine: the plain matrix product over strided lines, shared by the block
// transform (lines along dimensions 1 and 2) and the group transform (lines across a group).
#pragma once

namespace kelvo {

/// Products of the n x n matrix M (row j gives output j) with lines: sample m of the line
/// starting at offset p of a plane lies at p + m * stride, for p = 0 .. stride-1 (so the
/// `stride` lines of a plane are processed side by side, with contiguous inner loops).
/// `planes` such groups follow each other at `planeStride`. N > 0 fixes n at compile time;
/// N == 0 reads it from `n`. `in` and `out` must not overlap.
template <int N, typename T>
__attribute__((always_inline)) inline void productStrided(const T* __restrict in, T* __restrict out,
                                                          const float* __restrict M, int n,
                                                          long long stride, long long planes,
                                                          long long planeStride) {
    const int len = N > 0 ? N : n;
    for (long long b = 0; b < planes; ++b) {
        const T* src = in + b * planeStride;
        T* dstPlane = out + b * planeStride;
        for (int j = 0; j < len; ++j) {
            const float* row = M + static_cast<long long>(j) * len;
            T* dst = dstPlane + j * stride;
            const float r0 = row[0];
            for (long long p = 0; p < stride; ++p) dst[p] = r0 * src[p];
            for (int m = 1; m < len; ++m) {
                const float rm = row[m];
                const T* s = src + m * stride;
                for (long long p = 0; p < stride; ++p) dst[p] += rm * s[p];
            }
        }
    }
}

}  // namespace kelvo
