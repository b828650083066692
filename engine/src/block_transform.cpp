#include "kelvo/engine/block_transform.h"

#include <cstring>
#include <type_traits>

// The 4x4x4 kernel's clones fuse no multiply-add, so both give the same bits
// (see cpu_dispatch.h).
#include "kelvo/engine/cpu_dispatch.h"
#include "kelvo/engine/line_products.h"

// The vector helpers of the 4x4x4 kernel are always inlined into its clones, so no vector
// crosses a call boundary whose ABI would depend on the instruction set.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kelvo {

using namespace TransformsMetas;

namespace {

// ---- generic product ---------------------------------------------------------------------
//
// Every output coefficient is sum_m M[j*n + m] * line[m] in single precision, accumulated in
// order m = 0 .. n-1 starting from the m = 0 product. The kernels only reorder the loops
// around that sum (never the sum itself), so every size and every kernel gives the same
// result. N > 0 fixes the line length at compile time (fully unrolled for the common block
// sizes 3, 4 and 8); N == 0 reads it from `n`. Input and output of one pass never alias.

// Lines along dimension 0: `lines` contiguous lines of n samples, one after the other.
template <int N, typename T>
__attribute__((always_inline)) inline void productContiguous(const T* __restrict in,
                                                             T* __restrict out,
                                                             const float* __restrict M, int n,
                                                             long long lines) {
    const int len = N > 0 ? N : n;
    for (long long l = 0; l < lines; ++l) {
        const T* src = in + l * len;
        T* dst = out + l * len;
        for (int j = 0; j < len; ++j) {
            const float* row = M + static_cast<long long>(j) * len;
            T acc = row[0] * src[0];
            for (int m = 1; m < len; ++m) acc += row[m] * src[m];
            dst[j] = acc;
        }
    }
}

template <typename T>
void genericContiguous(const T* in, T* out, const float* M, int n, long long lines) {
    switch (n) {
        case 3:
            productContiguous<3>(in, out, M, n, lines);
            break;
        case 4:
            productContiguous<4>(in, out, M, n, lines);
            break;
        case 8:
            productContiguous<8>(in, out, M, n, lines);
            break;
        default:
            productContiguous<0>(in, out, M, n, lines);
    }
}

template <typename T>
void genericStrided(const T* in, T* out, const float* M, int n, long long stride, long long planes,
                    long long planeStride) {
    switch (n) {
        case 3:
            productStrided<3>(in, out, M, n, stride, planes, planeStride);
            break;
        case 4:
            productStrided<4>(in, out, M, n, stride, planes, planeStride);
            break;
        case 8:
            productStrided<8>(in, out, M, n, stride, planes, planeStride);
            break;
        default:
            productStrided<0>(in, out, M, n, stride, planes, planeStride);
    }
}

// ---- 8-point butterflies -----------------------------------------------------------------
//
// Each reads one line of 8 samples at in[0], in[is], ..., in[7*is] and writes the 8 results
// at out[0], out[os], .... They equal the products with DCT_8_FWD, BIOR_8_FWD, DCT_8_INV and
// BIOR_8_INV up to single-precision rounding. `in` and `out` may be the same line: every
// input is read before the first output is written.

constexpr float SQRT1_2 = 0.70710677f;  // 1/sqrt(2)
constexpr float C1 = 0.98078525f;       // cos(pi/16)
constexpr float S1 = 0.19509032f;       // sin(pi/16) = cos(7pi/16)
constexpr float C3 = 0.8314696f;        // cos(3pi/16)
constexpr float S3 = 0.55557024f;       // sin(3pi/16) = cos(5pi/16)
constexpr float C8 = 0.9238795f;        // cos(pi/8)
constexpr float S8 = 0.38268343f;       // sin(pi/8) = cos(3pi/8)

// Biorthogonal pair: forward low-pass weights, and the inverse table's entries
// (P = 0.7276957 / 2, Q = 0.7276957 / sqrt(2), R).
constexpr float BIOR_ALPHA = 0.08350605f;
constexpr float BIOR_BETA = 0.48585334f;
constexpr float BIOR_P = 0.363847852f;
constexpr float BIOR_Q = 0.514558554f;
constexpr float BIOR_R = 0.121533975f;

template <typename T>
inline void dct8Forward(const T* in, long long is, T* out, long long os) {
    const T x0 = in[0], x1 = in[is], x2 = in[2 * is], x3 = in[3 * is];
    const T x4 = in[4 * is], x5 = in[5 * is], x6 = in[6 * is], x7 = in[7 * is];
    // Even half: a 4-point DCT of the symmetric sums.
    const T s07 = x0 + x7, s16 = x1 + x6, s25 = x2 + x5, s34 = x3 + x4;
    const T e0 = s07 + s34, e1 = s16 + s25, e2 = s16 - s25, e3 = s07 - s34;
    // Odd half: the antisymmetric differences against the odd cosines.
    const T d07 = x0 - x7, d16 = x1 - x6, d25 = x2 - x5, d34 = x3 - x4;
    out[0] = (e0 + e1) * SQRT1_2 * 0.5f;
    out[4 * os] = (e0 - e1) * SQRT1_2 * 0.5f;
    out[2 * os] = (e3 * C8 + e2 * S8) * 0.5f;
    out[6 * os] = (e3 * S8 - e2 * C8) * 0.5f;
    out[os] = (d07 * C1 + d16 * C3 + d25 * S3 + d34 * S1) * 0.5f;
    out[3 * os] = (d07 * C3 - d16 * S1 - d25 * C1 - d34 * S3) * 0.5f;
    out[5 * os] = (d07 * S3 - d16 * C1 + d25 * S1 + d34 * C3) * 0.5f;
    out[7 * os] = (d07 * S1 - d16 * S3 + d25 * C3 - d34 * C1) * 0.5f;
}

template <typename T>
inline void dct8Inverse(const T* in, long long is, T* out, long long os) {
    const T y0 = in[0], y1 = in[is], y2 = in[2 * is], y3 = in[3 * is];
    const T y4 = in[4 * is], y5 = in[5 * is], y6 = in[6 * is], y7 = in[7 * is];
    // Even part (shared by samples m and 7-m) and odd part (antisymmetric).
    const T a = (y0 + y4) * SQRT1_2, b = (y0 - y4) * SQRT1_2;
    const T e0 = a + (y2 * C8 + y6 * S8);
    const T e3 = a - (y2 * C8 + y6 * S8);
    const T e1 = b + (y2 * S8 - y6 * C8);
    const T e2 = b - (y2 * S8 - y6 * C8);
    const T o0 = y1 * C1 + y3 * C3 + y5 * S3 + y7 * S1;
    const T o1 = y1 * C3 - y3 * S1 - y5 * C1 - y7 * S3;
    const T o2 = y1 * S3 - y3 * C1 + y5 * S1 + y7 * C3;
    const T o3 = y1 * S1 - y3 * S3 + y5 * C3 - y7 * C1;
    out[0] = (e0 + o0) * 0.5f;
    out[7 * os] = (e0 - o0) * 0.5f;
    out[os] = (e1 + o1) * 0.5f;
    out[6 * os] = (e1 - o1) * 0.5f;
    out[2 * os] = (e2 + o2) * 0.5f;
    out[5 * os] = (e2 - o2) * 0.5f;
    out[3 * os] = (e3 + o3) * 0.5f;
    out[4 * os] = (e3 - o3) * 0.5f;
}

template <typename T>
inline void bior8Forward(const T* in, long long is, T* out, long long os) {
    const T x0 = in[0], x1 = in[is], x2 = in[2 * is], x3 = in[3 * is];
    const T x4 = in[4 * is], x5 = in[5 * is], x6 = in[6 * is], x7 = in[7 * is];
    const T P = (x6 + x3 - x2 - x7) * BIOR_ALPHA + (x5 + x4) * BIOR_BETA;
    const T Q = (x5 + x0 - x4 - x1) * BIOR_ALPHA + (x6 + x7) * BIOR_BETA;
    const T R = (x2 + x7 - x6 - x3) * BIOR_ALPHA + (x0 + x1) * BIOR_BETA;
    const T S = (x4 + x1 - x0 - x5) * BIOR_ALPHA + (x3 + x2) * BIOR_BETA;
    const T K = (Q + P) * SQRT1_2, L = (S + R) * SQRT1_2;
    out[0] = K + L;
    out[os] = K - L;
    out[2 * os] = R - S;
    out[3 * os] = P - Q;
    out[4 * os] = (x0 - x1) * SQRT1_2;
    out[5 * os] = (x2 - x3) * SQRT1_2;
    out[6 * os] = (x4 - x5) * SQRT1_2;
    out[7 * os] = (x6 - x7) * SQRT1_2;
}

template <typename T>
inline void bior8Inverse(const T* in, long long is, T* out, long long os) {
    const T y0 = in[0], y1 = in[is], y2 = in[2 * is], y3 = in[3 * is];
    const T y4 = in[4 * is], y5 = in[5 * is], y6 = in[6 * is], y7 = in[7 * is];
    const T lo = (y0 - y1) * BIOR_P, hi = (y0 + y1) * BIOR_P;
    const T q2 = y2 * BIOR_Q, q3 = y3 * BIOR_Q;
    // Each neighbouring pair of samples shares its low-pass part and differs by the pair's
    // finest detail coefficient.
    const T u0 = lo + q2 + (y7 - y5) * BIOR_R;
    const T u1 = lo - q2 + (y4 - y6) * BIOR_R;
    const T u2 = hi + q3 + (y5 - y7) * BIOR_R;
    const T u3 = hi - q3 + (y6 - y4) * BIOR_R;
    const T g4 = y4 * SQRT1_2, g5 = y5 * SQRT1_2, g6 = y6 * SQRT1_2, g7 = y7 * SQRT1_2;
    out[0] = u0 + g4;
    out[os] = u0 - g4;
    out[2 * os] = u1 + g5;
    out[3 * os] = u1 - g5;
    out[4 * os] = u2 + g6;
    out[5 * os] = u2 - g6;
    out[6 * os] = u3 + g7;
    out[7 * os] = u3 - g7;
}

template <typename T>
using Butterfly = void (*)(const T*, long long, T*, long long);

// Dimension 0: `lines` contiguous lines of 8 samples.
template <typename T, Butterfly<T> BF>
void butterflyLines(const T* __restrict in, T* __restrict out, long long lines) {
    for (long long l = 0; l < lines; ++l) BF(in + 8 * l, 1, out + 8 * l, 1);
}

// Dimension 1: the `stride` lines of a plane side by side (sample m of line p at
// p + m * stride), so the compiler can vectorise across lines; `planes` planes follow each
// other at `planeStride`.
template <typename T, Butterfly<T> BF>
void butterflyColumns(const T* __restrict in, T* __restrict out, long long stride, long long planes,
                      long long planeStride) {
    for (long long b = 0; b < planes; ++b) {
        const T* src = in + b * planeStride;
        T* dst = out + b * planeStride;
        for (long long p = 0; p < stride; ++p) BF(src + p, stride, dst + p, stride);
    }
}

// True when lines of length n labelled `kind` take a butterfly. The butterflies are 8-point
// transforms: a line of any other length always takes the generic product, whatever kind it
// was labelled with.
bool hasButterfly(StandardTransform kind, int n) {
    return n == 8 &&
           (kind == DCT8_FWD || kind == BIOR8_FWD || kind == DCT8_INV || kind == BIOR8_INV);
}

template <typename T>
void butterflyPass0(StandardTransform kind, const T* in, T* out, long long lines) {
    switch (kind) {
        case DCT8_FWD:
            return butterflyLines<T, dct8Forward<T>>(in, out, lines);
        case BIOR8_FWD:
            return butterflyLines<T, bior8Forward<T>>(in, out, lines);
        case DCT8_INV:
            return butterflyLines<T, dct8Inverse<T>>(in, out, lines);
        default:
            return butterflyLines<T, bior8Inverse<T>>(in, out, lines);
    }
}

template <typename T>
void butterflyPass1(StandardTransform kind, const T* in, T* out, long long stride, long long planes,
                    long long planeStride) {
    switch (kind) {
        case DCT8_FWD:
            return butterflyColumns<T, dct8Forward<T>>(in, out, stride, planes, planeStride);
        case BIOR8_FWD:
            return butterflyColumns<T, bior8Forward<T>>(in, out, stride, planes, planeStride);
        case DCT8_INV:
            return butterflyColumns<T, dct8Inverse<T>>(in, out, stride, planes, planeStride);
        default:
            return butterflyColumns<T, bior8Inverse<T>>(in, out, stride, planes, planeStride);
    }
}

// Cubes of N^3 and squares of N^2 (flat blocks) with the generic product's passes, every
// length and stride known at compile time, so that the compiler unrolls the lines and keeps
// the strided passes in vectors: the same sums in the same order, so the same bits, about
// four times faster than the passes with lengths read at run time (the correlated-noise
// profiles' 6x6x6 and 12x12 blocks spent more than half their time in those).
template <int N, typename T>
__attribute__((always_inline)) inline void transformCube(const T* in, Vec3<const float*> m,
                                                         T* scratchA, T* scratchB, T* out) {
    productContiguous<N>(in, scratchA, m.x, N, N * N);
    productStrided<N>(scratchA, scratchB, m.y, N, N, N, N * N);
    productStrided<N>(scratchB, out, m.z, N, N * N, 1, N * N * N);
}

template <int N, typename T>
__attribute__((always_inline)) inline void transformSquare(const T* in, Vec3<const float*> m,
                                                           T* scratchA, T* out) {
    productContiguous<N>(in, scratchA, m.x, N, N);
    productStrided<N>(scratchA, out, m.y, N, N, 1, N * N);
}

// Each size as a dispatched kernel: the x86-64-v3 clone takes the strided passes eight lanes
// at a time (no fused multiply-add in this file, so the same bits as the baseline clone).
KELVO_CLONES void cube5(const float* in, const float* mx, const float* my, const float* mz,
                        float* a, float* b, float* out) {
    transformCube<5>(in, Vec3<const float*>{mx, my, mz}, a, b, out);
}
KELVO_CLONES void cube6(const float* in, const float* mx, const float* my, const float* mz,
                        float* a, float* b, float* out) {
    transformCube<6>(in, Vec3<const float*>{mx, my, mz}, a, b, out);
}
KELVO_CLONES void cube8(const float* in, const float* mx, const float* my, const float* mz,
                        float* a, float* b, float* out) {
    transformCube<8>(in, Vec3<const float*>{mx, my, mz}, a, b, out);
}
KELVO_CLONES void square6(const float* in, const float* mx, const float* my, float* a, float* out) {
    transformSquare<6>(in, Vec3<const float*>{mx, my, nullptr}, a, out);
}
KELVO_CLONES void square12(const float* in, const float* mx, const float* my, float* a,
                           float* out) {
    transformSquare<12>(in, Vec3<const float*>{mx, my, nullptr}, a, out);
}
KELVO_CLONES void square16(const float* in, const float* mx, const float* my, float* a,
                           float* out) {
    transformSquare<16>(in, Vec3<const float*>{mx, my, nullptr}, a, out);
}

// The compile-time form for the block's size where there is one and no butterfly applies.
bool transformFixedSize(const float* in, Vec3<const float*> m, Vec3<StandardTransform> kinds,
                        float* scratchA, float* scratchB, float* out, Vec3<int> size) {
    if (size.x != size.y || hasButterfly(kinds.x, size.x) || hasButterfly(kinds.y, size.y))
        return false;
    if (size.z == size.x) {
        switch (size.x) {
            case 3:
                transformBlocks333(in, out, 1, m);
                return true;
            case 5:
                cube5(in, m.x, m.y, m.z, scratchA, scratchB, out);
                return true;
            case 6:
                cube6(in, m.x, m.y, m.z, scratchA, scratchB, out);
                return true;
            case 8:
                if (hasButterfly(kinds.z, 8)) return false;
                cube8(in, m.x, m.y, m.z, scratchA, scratchB, out);
                return true;
            default:
                return false;
        }
    }
    if (size.z == 1) {
        switch (size.x) {
            case 6:
                square6(in, m.x, m.y, scratchA, out);
                return true;
            case 12:
                square12(in, m.x, m.y, scratchA, out);
                return true;
            case 16:
                square16(in, m.x, m.y, scratchA, out);
                return true;
            default:
                return false;
        }
    }
    return false;
}

}  // namespace

template <typename T>
void transf3D(const T* in, Vec3<const float*> matrices, Vec3<StandardTransform> kinds, T* scratchA,
              T* scratchB, T* out, Vec3<int> size) {
    // 4-point lines never take a butterfly (those are 8-point), whatever their kinds.
    if (size.x == 4 && size.y == 4 && size.z == 4) {
        transformBlocks444(in, out, 1, matrices);
        return;
    }
    if constexpr (std::is_same<T, float>::value) {
        if (transformFixedSize(in, matrices, kinds, scratchA, scratchB, out, size)) return;
    }
    transf3DGeneric(in, matrices, kinds, scratchA, scratchB, out, size);
}

template <typename T>
void transf3DGeneric(const T* in, Vec3<const float*> matrices, Vec3<StandardTransform> kinds,
                     T* scratchA, T* scratchB, T* out, Vec3<int> size) {
    if (size.x <= 0 || size.y <= 0 || size.z <= 0) return;  // an empty block
    const long long sx = size.x;
    const long long sxy = sx * size.y;
    const long long volume = sxy * size.z;

    // Pass 1, dimension 0: `in` -> scratchA, lines contiguous.
    if (hasButterfly(kinds.x, size.x)) {
        butterflyPass0(kinds.x, in, scratchA, volume / 8);
    } else {
        genericContiguous(in, scratchA, matrices.x, size.x, volume / sx);
    }

    // Pass 2, dimension 1: scratchA -> out (flat blocks) or scratchB.
    T* second = size.z == 1 ? out : scratchB;
    if (hasButterfly(kinds.y, size.y)) {
        butterflyPass1(kinds.y, scratchA, second, sx, size.z, sxy);
    } else {
        genericStrided(scratchA, second, matrices.y, size.y, sx, size.z, sxy);
    }

    // Pass 3, dimension 2 (generic product only): scratchB -> out. Skipped for a flat block,
    // so its 1 x 1 depth matrix is never applied.
    if (size.z > 1) genericStrided(scratchB, out, matrices.z, size.z, sxy, 1, volume);
}

template void transf3D<float>(const float*, Vec3<const float*>, Vec3<StandardTransform>, float*,
                              float*, float*, Vec3<int>);
template void transf3DGeneric<float>(const float*, Vec3<const float*>, Vec3<StandardTransform>,
                                     float*, float*, float*, Vec3<int>);

// ---- 4x4x4 and 3x3x3 blocks in registers -------------------------------------------------
//
// A 4x4x4 block is eight vectors of 8 floats; vector k holds rows y = 2(k mod 2) and
// 2(k mod 2) + 1 of slice z = k / 2. A 3x3x3 block takes the same layout with every row padded
// to four lanes (six vectors: rows 0 and 1 of a slice, then row 2 in the low half of the
// next); the padding lanes carry products of zero coefficients and are never stored. Every
// output is, as in the generic product, M[j][0]*v0 + ... + M[j][N-1]*v(N-1) summed left to
// right from the first product; the lanes only line up the right inputs (broadcasts within
// rows for dimension 0, row copies for dimension 1, whole slices for dimension 2). Neither
// clone fuses a product into a sum, so both give the bits of the generic product.
namespace {

typedef float V8 __attribute__((vector_size(32)));
typedef int I8 __attribute__((vector_size(32)));

template <typename V>
__attribute__((always_inline)) inline V splat(float a) {
    return V{} + a;
}

__attribute__((always_inline)) inline V8 load8(const float* p) {
    V8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The coefficient vectors of the three N x N matrices (N = 3 or 4): dimension 0 (d0[m] lane
// (x, j) = M[j][m], zero past the row), dimension 1 (d1lo[m] / d1hi[m]: output rows 0, 1 /
// rows 2, 3 of a slice, M[j][m] across the row, zero for a row past N) and dimension 2.
template <int N>
struct CoefficientsN {
    V8 d0[N];
    V8 d1lo[N];
    V8 d1hi[N];
    float d2[N * N];
    CoefficientsN(const float* m0, const float* m1, const float* m2) {
        const auto at = [](const float* m, int j, int k) { return j < N ? m[j * N + k] : 0.f; };
        for (int k = 0; k < N; ++k) {
            for (int l = 0; l < 8; ++l) {
                d0[k][l] = at(m0, l % 4, k);
                d1lo[k][l] = at(m1, l / 4, k);
                d1hi[k][l] = at(m1, 2 + l / 4, k);
            }
        }
        for (int k = 0; k < N * N; ++k) d2[k] = m2[k];
    }
};

// The three passes over one block held in v[0 .. 2N-1]; the result in w[0 .. 2N-1].
template <int N>
__attribute__((always_inline)) inline void transformInRegisters(const CoefficientsN<N>& c, V8* v,
                                                                V8* w) {
    const I8 broadcast[4] = {{0, 0, 0, 0, 4, 4, 4, 4},
                             {1, 1, 1, 1, 5, 5, 5, 5},
                             {2, 2, 2, 2, 6, 6, 6, 6},
                             {3, 3, 3, 3, 7, 7, 7, 7}};
    const I8 lowRow{0, 1, 2, 3, 0, 1, 2, 3}, highRow{4, 5, 6, 7, 4, 5, 6, 7};
    // Dimension 0: within each row.
    for (int k = 0; k < 2 * N; ++k) {
        V8 acc = c.d0[0] * __builtin_shuffle(v[k], broadcast[0]);
        for (int m = 1; m < N; ++m) acc += c.d0[m] * __builtin_shuffle(v[k], broadcast[m]);
        v[k] = acc;
    }
    // Dimension 1: the rows of each slice (vectors 2z and 2z + 1).
    for (int z = 0; z < N; ++z) {
        V8 r[N];
        for (int m = 0; m < N; ++m)
            r[m] = __builtin_shuffle(v[2 * z + m / 2], m % 2 ? highRow : lowRow);
        V8 lo = c.d1lo[0] * r[0];
        V8 hi = c.d1hi[0] * r[0];
        for (int m = 1; m < N; ++m) {
            lo += c.d1lo[m] * r[m];
            hi += c.d1hi[m] * r[m];
        }
        v[2 * z] = lo;
        v[2 * z + 1] = hi;
    }
    // Dimension 2: whole slices.
    for (int j = 0; j < N; ++j) {
        for (int h = 0; h < 2; ++h) {
            V8 acc = splat<V8>(c.d2[N * j]) * v[h];
            for (int m = 1; m < N; ++m) acc += splat<V8>(c.d2[N * j + m]) * v[2 * m + h];
            w[2 * j + h] = acc;
        }
    }
}

KELVO_CLONES void blocks444(const float* in, float* out, long long count, const float* m0,
                            const float* m1, const float* m2) {
    const CoefficientsN<4> c(m0, m1, m2);
    for (long long blk = 0; blk < count; ++blk) {
        V8 v[8], w[8];
        std::memcpy(v, in + 64 * blk, sizeof v);
        transformInRegisters<4>(c, v, w);
        std::memcpy(out + 64 * blk, w, sizeof w);
    }
}

KELVO_CLONES void blocks333(const float* in, float* out, long long count, const float* m0,
                            const float* m1, const float* m2) {
    const CoefficientsN<3> c(m0, m1, m2);
    for (long long blk = 0; blk < count; ++blk) {
        const float* p = in + 27 * blk;
        // Rows 0 and 1 of slice z are entries 9z .. 9z + 5, row 2 entries 9z + 6 .. 9z + 8
        // (read as the last lanes of entries 19 .. 26 in the last slice, inside the block).
        V8 v[6], w[6];
        for (int z = 0; z < 3; ++z) {
            v[2 * z] = __builtin_shuffle(load8(p + 9 * z), I8{0, 1, 2, 2, 3, 4, 5, 5});
            v[2 * z + 1] = z < 2 ? load8(p + 9 * z + 6)
                                 : __builtin_shuffle(load8(p + 19), I8{5, 6, 7, 7, 7, 7, 7, 7});
        }
        transformInRegisters<3>(c, v, w);
        // Back to 27 entries: rows 0 and 1, then row 2 of each slice.
        float* q = out + 27 * blk;
        for (int z = 0; z < 3; ++z) {
            const V8 rows01 = __builtin_shuffle(w[2 * z], I8{0, 1, 2, 4, 5, 6, 6, 6});
            float t[8];
            std::memcpy(t, &rows01, sizeof t);
            std::memcpy(q + 9 * z, t, 6 * sizeof(float));
            q[9 * z + 6] = w[2 * z + 1][0];
            q[9 * z + 7] = w[2 * z + 1][1];
            q[9 * z + 8] = w[2 * z + 1][2];
        }
    }
}
}  // namespace

void transformBlocks333(const float* in, float* out, long long count, Vec3<const float*> matrices) {
    blocks333(in, out, count, matrices.x, matrices.y, matrices.z);
}

bool transformBlocksInRegisters(const float* in, float* out, long long count, Vec3<int> size,
                                Vec3<const float*> matrices) {
    if (size == Vec3<int>{4, 4, 4}) {
        blocks444(in, out, count, matrices.x, matrices.y, matrices.z);
        return true;
    }
    if (size == Vec3<int>{3, 3, 3}) {
        blocks333(in, out, count, matrices.x, matrices.y, matrices.z);
        return true;
    }
    return false;
}

void transformBlocks444(const float* in, float* out, long long count, Vec3<const float*> matrices) {
    blocks444(in, out, count, matrices.x, matrices.y, matrices.z);
}

}  // namespace kelvo
