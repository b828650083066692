#include "kelvo/engine/variances.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "kelvo/engine/fft.h"

#include "kelvo/engine/cpu_dispatch.h"

namespace kelvo {

namespace {

bool isGridSize(int n) { return n == 1 || isFftSize(n); }

inline float power2(const Complex& c) { return c.re * c.re + c.im * c.im; }

// 8-float vector of GCC's vector extension; the clones below compile it to AVX registers
// where the processor has them and to SSE pairs otherwise.
typedef float v8f __attribute__((vector_size(32)));

// out[k * B + i] = sum_{f < m} A[f * B + i] * power[k * pstride + f] for KC components, over
// coefficients i0 .. i0 + 15, accumulated in registers.
template <int KC>
inline __attribute__((always_inline)) void productBlock16(const float* A, int B, long long m,
                                                          const float* power,
                                                          long long pstride, float* out,
                                                          int i0) {
    v8f acc[KC][2];
    for (int k = 0; k < KC; ++k) acc[k][0] = acc[k][1] = v8f{};
    const float* a = A + i0;
    for (long long f = 0; f < m; ++f, a += B) {
        v8f a0;
        v8f a1;
        std::memcpy(&a0, a, sizeof a0);  // unaligned loads
        std::memcpy(&a1, a + 8, sizeof a1);
        for (int k = 0; k < KC; ++k) {
            const float p = power[k * pstride + f];
            acc[k][0] += p * a0;
            acc[k][1] += p * a1;
        }
    }
    for (int k = 0; k < KC; ++k) {
        std::memcpy(out + static_cast<long long>(k) * B + i0, &acc[k][0], sizeof acc[k][0]);
        std::memcpy(out + static_cast<long long>(k) * B + i0 + 8, &acc[k][1], sizeof acc[k][1]);
    }
}

template <int KC>
inline __attribute__((always_inline)) void productRows(const float* A, int B, long long m,
                                                       const float* power, long long pstride,
                                                       float* out) {
    int i0 = 0;
    for (; i0 + 16 <= B; i0 += 16) productBlock16<KC>(A, B, m, power, pstride, out, i0);
    for (int i = i0; i < B; ++i) {
        float acc[KC] = {};
        const float* a = A + i;
        for (long long f = 0; f < m; ++f, a += B) {
            for (int k = 0; k < KC; ++k) acc[k] += power[k * pstride + f] * *a;
        }
        for (int k = 0; k < KC; ++k) out[static_cast<long long>(k) * B + i] = acc[k];
    }
}

// The K x m by m x B product of the exact components, four components per sweep over A.
KELVO_CLONES void exactProduct(
    const float* A, int B, long long m, const float* power, long long pstride, int K,
    float* out) {
    int k = 0;
    for (; k + 4 <= K; k += 4) productRows<4>(A, B, m, power + k * pstride, pstride, out + static_cast<long long>(k) * B);
    switch (K - k) {
        case 3: productRows<3>(A, B, m, power + k * pstride, pstride, out + static_cast<long long>(k) * B); break;
        case 2: productRows<2>(A, B, m, power + k * pstride, pstride, out + static_cast<long long>(k) * B); break;
        case 1: productRows<1>(A, B, m, power + k * pstride, pstride, out + static_cast<long long>(k) * B); break;
        default: break;
    }
}

void require(bool condition, const char* message) {
    if (!condition) throw std::invalid_argument(message);
}

}  // namespace

void transformVariancePlane(Vec3<int> F, Vec3<int> Fp, int K, Cube4D<Complex>& planes,
                            Cube4D<float>& power, const bool* mask, TempMemory& /*temp*/) {
    const int F1 = F.y;
    const int F2 = F.z;
    const int F0q = std::min(Fp.x, F.x);
    const long long W = static_cast<long long>(K) * F0q;  // one row: F0q bins per component
    const long long sliceStride = W * F1;
    Complex* P = planes.data;
    // Rows without a block hold nothing: zero them so that the passes may read every row.
    for (int z = 0; z < F2; ++z) {
        for (int y = 0; y < F1; ++y) {
            if (!mask[y + static_cast<long long>(F1) * z]) {
                std::memset(P + z * sliceStride + y * W, 0, sizeof(Complex) * W);
            }
        }
    }
    // Dimension 1: every column of a slice (all components) in one batched transform;
    // slices without a block stay zero.
    if (F1 > 1) {
        for (int z = 0; z < F2; ++z) {
            const bool* rows = mask + static_cast<long long>(F1) * z;
            if (std::find(rows, rows + F1, true) == rows + F1) continue;
            fftBatchInPlace(P + z * sliceStride, F1, W, static_cast<int>(W));
        }
    }
    // Dimension 2: the whole grid of columns in one batched transform.
    if (F2 > 1) fftBatchInPlace(P, F2, sliceStride, static_cast<int>(sliceStride));
    // The batched passes leave frequency f of dimensions 1 and 2 at position rev(f).
    long long off1[64];
    long long off2[64];
    for (int f = 0; f < F1; ++f) off1[f] = (F1 > 1 ? bitReversed(f, F1) : 0) * W;
    for (int f = 0; f < F2; ++f) off2[f] = (F2 > 1 ? bitReversed(f, F2) : 0) * sliceStride;
    for (int k = 0; k < K; ++k) {
        float* dst = power.block(k);  // (f0 * F1 + f1) * F2 + f2
        for (int f0 = 0; f0 < F0q; ++f0) {
            const Complex* bins = P + static_cast<long long>(k) * F0q + f0;
            if (F2 == 1) {
                for (int f1 = 0; f1 < F1; ++f1) dst[f1] = power2(bins[off1[f1]]);
                dst += F1;
                continue;
            }
            for (int f1 = 0; f1 < F1; ++f1) {
                const Complex* column = bins + off1[f1];
                for (int f2 = 0; f2 < F2; ++f2) dst[f2] = power2(column[off2[f2]]);
                dst += F2;
            }
        }
    }
}

void calculateVariances(int count, Vec3<int> blockSize, Vec3<int> F, Vec3<int> Fp, int K,
                        const float* groupMatrix, const float* A, const float* B,
                        Cube4D<float>& out, BlockDistance<float>* matches, TempMemory& temp) {
    // Every check comes before the first write.
    require(isGridSize(F.x) && isGridSize(F.y) && isGridSize(F.z),
            "calculateVariances: FFT sizes must be 1, 4, 8, 16, 32 or 64");
    require(Fp.y == F.y && Fp.z == F.z && Fp.x >= F.x / 2 + 1,
            "calculateVariances: the Fourier size does not fit the FFT size");
    require(blockSize.x > 0 && blockSize.y > 0 && blockSize.z > 0,
            "calculateVariances: block size must be positive");
    require(count >= 1 && K >= 0 && K <= count, "calculateVariances: need 0 <= K <= count");
    require(groupMatrix && matches, "calculateVariances: null group matrix or match list");
    require(K == 0 || A, "calculateVariances: the K3fT3 array is null");
    require(K == count || B, "calculateVariances: the local variance array is null");
    const int Bn = blockSize.x * blockSize.y * blockSize.z;
    require(out.data && out.blockVolume() == Bn && out.n >= count,
            "calculateVariances: the variance cube does not fit the group");
    const int F0q = std::min(Fp.x, F.x);
    if (K > 0) {
        require(temp.lineA && temp.lineB && temp.mask && temp.M >= std::max(F.x, std::max(F.y, F.z)),
                "calculateVariances: working memory lines too short");
        require(temp.planes.data && temp.planes.x == F.x && temp.planes.y == F.y &&
                    temp.planes.z == F.z && temp.planes.n >= K,
                "calculateVariances: working memory planes do not fit the FFT size");
        require(temp.power.data && temp.power.x == F.z && temp.power.y == F.y &&
                    temp.power.z >= F0q && temp.power.n >= K,
                "calculateVariances: working memory power cube does not fit the Fourier size");
    }

    if (K > 0) std::memset(temp.mask, 0, sizeof(bool) * static_cast<std::size_t>(F.y) * F.z);
    for (int b = 0; b < count; ++b) {
        Vec3<int>& p = matches[b].shiftedPosition;
        for (int d = 0; d < 3; ++d) p[d] = ((p[d] % F[d]) + F[d]) % F[d];
    }

    float* variance = out.data;
    if (K > 0) {
        // Plane k is the group kernel of component k: groupMatrix[k * count + b] at block b's
        // position on the periodic grid. It has a value in at most count rows and usually
        // one value per row, so the transform along dimension 0 is evaluated directly from
        // the match list, F0q bins per value, into the planes laid out for the batched
        // passes (see transformVariancePlane): row (y, z) holds K runs of F0q bins.
        const long long W = static_cast<long long>(K) * F0q;
        const int step = 64 / F.x;  // e^{-2 pi i j / F0} is the 64-point twiddle j * step
        for (int b = 0; b < count; ++b) {
            const Vec3<int>& p = matches[b].shiftedPosition;
            bool* flag = temp.mask + p.y + static_cast<long long>(F.y) * p.z;
            Complex* row = temp.planes.data + W * (p.y + static_cast<long long>(F.y) * p.z);
            if (!*flag) std::memset(row, 0, sizeof(Complex) * W);
            *flag = true;
            for (int f0 = 0; f0 < F0q; ++f0) {
                const int j = ((f0 * p.x) % F.x) * step;  // 0 .. 63
                const float c = j <= 32 ? fv0[j] : fv0[64 - j];
                const float s = j <= 32 ? fv1[j] : -fv1[64 - j];
                for (int k = 0; k < K; ++k) {
                    const float g = groupMatrix[static_cast<long long>(k) * count + b];
                    row[k * F0q + f0].re += g * c;
                    row[k * F0q + f0].im += g * s;
                }
            }
        }
        transformVariancePlane(F, Fp, K, temp.planes, temp.power, temp.mask, temp);
        const long long m = static_cast<long long>(F0q) * F.y * F.z;
        exactProduct(A, Bn, m, temp.power.data, temp.power.blockVolume(), K, variance);
    }

    if (K < count) {
        // The components not computed exactly share what the exact ones leave of the
        // group's total noise energy, count * B[i] for an orthonormal group transform.
        float* first = variance + static_cast<long long>(K) * Bn;
        const float share = 1.0f / static_cast<float>(count - K);
        for (int i = 0; i < Bn; ++i) {
            float sumK = 0.0f;
            for (int k = 0; k < K; ++k) sumK += variance[static_cast<long long>(k) * Bn + i];
            first[i] = std::max(0.0f, B[i] * static_cast<float>(count) - sumK) * share;
        }
        for (int k = K + 1; k < count; ++k) {
            std::memcpy(variance + static_cast<long long>(k) * Bn, first, sizeof(float) * Bn);
        }
    }
}

}  // namespace kelvo
