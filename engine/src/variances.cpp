#include "kelvo/engine/variances.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "kelvo/engine/cpu_dispatch.h"
#include "kelvo/engine/fft.h"
#include "kelvo/engine/noise_spectrum.h"
#include "kelvo/engine/variance_kernels.h"

namespace kelvo {

namespace {

// Components K..count-1 of a group (not computed exactly) share what the exact ones leave
// of the group's total noise energy, count * single[i] for an orthonormal group transform.
void shareRemainder(float* variance, int Bn, int K, int count, const float* single) {
    if (K >= count) return;
    float* first = variance + static_cast<long long>(K) * Bn;
    const float share = 1.0f / static_cast<float>(count - K);
    for (int i = 0; i < Bn; ++i) {
        float sumK = 0.0f;
        for (int k = 0; k < K; ++k) sumK += variance[static_cast<long long>(k) * Bn + i];
        first[i] = std::max(0.0f, single[i] * static_cast<float>(count) - sumK) * share;
    }
    for (int k = K + 1; k < count; ++k) {
        std::memcpy(variance + static_cast<long long>(k) * Bn, first, sizeof(float) * Bn);
    }
}

bool isGridSize(int n) { return n == 1 || isFftSize(n); }

inline float power2(const Complex& c) { return c.re * c.re + c.im * c.im; }

// 8-float vector of GCC's vector extension; the clones below compile it to AVX registers
// where the processor has them and to SSE pairs otherwise.
typedef float v8f __attribute__((vector_size(32)));

// out[k * B + i] = sum_{f < m} A[f * B + i] * power[k * pstride + f] for KC components, over
// coefficients i0 .. i0 + 15, accumulated in registers.
template <int KC>
inline __attribute__((always_inline)) void productBlock16(const float* A, int B, long long m,
                                                          const float* power, long long pstride,
                                                          float* out, int i0) {
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
KELVO_CLONES void exactProduct(const float* A, int B, long long m, const float* power,
                               long long pstride, int K, float* out) {
    int k = 0;
    for (; k + 4 <= K; k += 4)
        productRows<4>(A, B, m, power + k * pstride, pstride, out + static_cast<long long>(k) * B);
    switch (K - k) {
        case 3:
            productRows<3>(A, B, m, power + k * pstride, pstride,
                           out + static_cast<long long>(k) * B);
            break;
        case 2:
            productRows<2>(A, B, m, power + k * pstride, pstride,
                           out + static_cast<long long>(k) * B);
            break;
        case 1:
            productRows<1>(A, B, m, power + k * pstride, pstride,
                           out + static_cast<long long>(k) * B);
            break;
        default:
            break;
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
        require(
            temp.lineA && temp.lineB && temp.mask && temp.M >= std::max(F.x, std::max(F.y, F.z)),
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

    shareRemainder(variance, Bn, K, count, B);
}

namespace {

// Autocovariance values below this fraction of the variance count as no correlation: they
// decide how far the lag table reaches, not the values it holds.
const double NEGLIGIBLE_COVARIANCE = 1e-6;

// r[j * (2n - 1) + e + n - 1] = sum_v m[j*n + v + e] m[j*n + v]: the autocorrelation of row
// j of an n x n matrix at lag e, |e| < n.
std::vector<double> rowAutocorrelations(const float* m, int n) {
    std::vector<double> r(static_cast<std::size_t>(n) * (2 * n - 1), 0.0);
    for (int j = 0; j < n; ++j) {
        for (int e = -(n - 1); e <= n - 1; ++e) {
            double acc = 0.0;
            for (int v = std::max(0, -e); v < n && v + e < n; ++v) {
                acc += double(m[j * n + v + e]) * double(m[j * n + v]);
            }
            r[static_cast<std::size_t>(j) * (2 * n - 1) + e + n - 1] = acc;
        }
    }
    return r;
}

// The autocovariance C(x) = Re sum_f P(f) e^{2 pi i f.x / G} / Gtot^2 of the PSD P on the
// grid G at |x_d| <= X_d, X_d < G_d / 2, by one DFT pass per dimension evaluated only at the
// lags needed. Layout: (x0 + X0) + (2X0 + 1) * ((x1 + X1) + (2X1 + 1) * (x2 + X2)).
std::vector<double> autocovariance(const float* P, Vec3<int> G, Vec3<int> X) {
    using cd = std::complex<double>;
    const double twoPi = 6.283185307179586;
    int L[3] = {0, 0, 0};
    std::vector<cd> twiddle[3];  // twiddle[d][(x + X) * G + f] = e^{2 pi i f x / G}
    for (int d = 0; d < 3; ++d) {
        L[d] = 2 * X[d] + 1;
        twiddle[d].resize(static_cast<std::size_t>(L[d]) * G[d]);
        for (int x = -X[d]; x <= X[d]; ++x) {
            for (int f = 0; f < G[d]; ++f) {
                const long long phase = ((static_cast<long long>(f) * x) % G[d] + G[d]) % G[d];
                const double a = twoPi * double(phase) / G[d];
                twiddle[d][static_cast<std::size_t>(x + X[d]) * G[d] + f] =
                    cd(std::cos(a), std::sin(a));
            }
        }
    }
    // Dimension 0: a0[(x0, f1, f2)], x0 fastest.
    const long long plane = static_cast<long long>(G[1]) * G[2];
    std::vector<cd> a0(static_cast<std::size_t>(L[0] * plane));
    for (long long r = 0; r < plane; ++r) {
        const float* row = P + r * G[0];
        for (int x = 0; x < L[0]; ++x) {
            const cd* t = twiddle[0].data() + static_cast<std::size_t>(x) * G[0];
            cd acc = 0.0;
            for (int f = 0; f < G[0]; ++f) acc += double(row[f]) * t[f];
            a0[static_cast<std::size_t>(r * L[0] + x)] = acc;
        }
    }
    // Dimension 1: a1[(x0, x1, f2)].
    std::vector<cd> a1(static_cast<std::size_t>(L[0]) * L[1] * G[2]);
    for (int f2 = 0; f2 < G[2]; ++f2) {
        for (int x1 = 0; x1 < L[1]; ++x1) {
            const cd* t = twiddle[1].data() + static_cast<std::size_t>(x1) * G[1];
            for (int x0 = 0; x0 < L[0]; ++x0) {
                cd acc = 0.0;
                for (int f1 = 0; f1 < G[1]; ++f1) {
                    acc += a0[static_cast<std::size_t>(
                               (static_cast<long long>(f2) * G[1] + f1) * L[0] + x0)] *
                           t[f1];
                }
                a1[static_cast<std::size_t>((static_cast<long long>(f2) * L[1] + x1) * L[0] + x0)] =
                    acc;
            }
        }
    }
    // Dimension 2, real part, scaled.
    const double Gtot = double(G[0]) * G[1] * G[2];
    std::vector<double> C(static_cast<std::size_t>(L[0]) * L[1] * L[2]);
    for (int x2 = 0; x2 < L[2]; ++x2) {
        const cd* t = twiddle[2].data() + static_cast<std::size_t>(x2) * G[2];
        for (int x1 = 0; x1 < L[1]; ++x1) {
            for (int x0 = 0; x0 < L[0]; ++x0) {
                double acc = 0.0;
                for (int f2 = 0; f2 < G[2]; ++f2) {
                    acc += (a1[static_cast<std::size_t>(
                                (static_cast<long long>(f2) * L[1] + x1) * L[0] + x0)] *
                            t[f2])
                               .real();
                }
                C[static_cast<std::size_t>((static_cast<long long>(x2) * L[1] + x1) * L[0] + x0)] =
                    acc / (Gtot * Gtot);
            }
        }
    }
    return C;
}

// The noise autocovariance on lags |x_d| <= X_d, read as zero beyond them.
struct SampledAutocovariance {
    std::vector<double> C;
    Vec3<int> X{0, 0, 0};
    bool flat = false;      // a flat PSD (to 1e-6 of its largest entry): white noise
    double flatness = 1.0;  // mean(PSD)^2 / mean(PSD^2)

    double at(int x0, int x1, int x2) const {
        if (std::abs(x0) > X[0] || std::abs(x1) > X[1] || std::abs(x2) > X[2]) return 0.0;
        const int L0 = 2 * X[0] + 1, L1 = 2 * X[1] + 1;
        return C[static_cast<std::size_t>(((x2 + X[2]) * L1 + x1 + X[1]) * L0 + x0 + X[0])];
    }
};

// The autocovariance of the noise of `psd` (grid S, resampled to the noise grid F where that
// is finer) on the lags that may matter: within half the grid, and no farther than `cap` (a
// member displacement) plus a block of size n. A flat PSD gives the variance alone, exactly.
// False when memory runs out.
bool sampleAutocovariance(const float* psd, Vec3<int> S, Vec3<int> F, Vec3<int> n, Vec3<int> cap,
                          SampledAutocovariance& out) {
    Vec3<int> G;
    bool resample = false;
    for (int d = 0; d < 3; ++d) {
        G[d] = std::max(S[d], F[d]);
        resample = resample || G[d] != S[d];
    }
    std::unique_ptr<float[], NoiseLags::FreeDeleter> resized;
    const float* P = psd;
    if (resample) {
        float* r = nullptr;
        resizePSD(psd, S, G, r);
        if (!r) return false;
        resized.reset(r);
        P = r;
    }
    const long long Gtot = static_cast<long long>(G[0]) * G[1] * G[2];
    Vec3<int> X;
    for (int d = 0; d < 3; ++d) X[d] = std::min((G[d] - 1) / 2, cap[d] + n[d] - 1);
    float lo = P[0], hi = P[0];
    double sum = 0.0, squares = 0.0;
    for (long long f = 0; f < Gtot; ++f) {
        lo = std::min(lo, P[f]);
        hi = std::max(hi, P[f]);
        sum += P[f];
        squares += double(P[f]) * P[f];
    }
    out.flat = hi - lo <= 1e-6f * std::fabs(hi);
    out.flatness = out.flat ? 1.0 : sum * sum / (double(Gtot) * squares);  // squares > 0
    if (out.flat) {
        out.X = {0, 0, 0};
        out.C.assign(1, double(P[0]) / double(Gtot));
    } else {
        out.X = X;
        out.C = autocovariance(P, G, X);
    }
    return true;
}

// Correlation length L_d: the largest |x_d| with a non-negligible autocovariance.
Vec3<int> correlationLength(const SampledAutocovariance& c) {
    const Vec3<int> X = c.X;
    const double c0 = c.at(0, 0, 0);
    Vec3<int> L{0, 0, 0};
    for (int x2 = -X[2]; x2 <= X[2]; ++x2)
        for (int x1 = -X[1]; x1 <= X[1]; ++x1)
            for (int x0 = -X[0]; x0 <= X[0]; ++x0) {
                if (std::fabs(c.at(x0, x1, x2)) > NEGLIGIBLE_COVARIANCE * std::fabs(c0)) {
                    L = {std::max(L[0], std::abs(x0)), std::max(L[1], std::abs(x1)),
                         std::max(L[2], std::abs(x2))};
                }
            }
    return L;
}

// Row autocorrelations of the forward block matrices: r_d(j, e) = sum_k T_d[j, k] T_d[j, k + e].
struct RowCorrelations {
    std::vector<double> r[3];
    Vec3<int> n;

    double at(int d, int j, int e) const {
        return r[d][static_cast<std::size_t>(j) * (2 * n[d] - 1) + e + n[d] - 1];
    }
};

// Fills lags.table: c_i(delta) = sum_e r_0(e0) r_1(e1) r_2(e2) C(delta + e), one dimension at
// a time, over |delta_d| <= reach_d and the autocovariance read on |x_d| <= reach_d + n_d - 1.
// False when memory runs out.
bool fillLagTable(const SampledAutocovariance& c, const RowCorrelations& rows, Vec3<int> reach,
                  NoiseLags& lags) {
    const Vec3<int> n = rows.n;
    Vec3<int> W;
    for (int d = 0; d < 3; ++d) W[d] = reach[d] + n[d] - 1;
    const int D[3] = {2 * reach[0] + 1, 2 * reach[1] + 1, 2 * reach[2] + 1};
    const int E[3] = {2 * W[0] + 1, 2 * W[1] + 1, 2 * W[2] + 1};
    // Dimension 2: a2[((j2 * D2 + delta2) * E1 + x1) * E0 + x0].
    std::vector<double> a2(static_cast<std::size_t>(n[2]) * D[2] * E[1] * E[0], 0.0);
    for (int j2 = 0; j2 < n[2]; ++j2)
        for (int t2 = -reach[2]; t2 <= reach[2]; ++t2)
            for (int x1 = -W[1]; x1 <= W[1]; ++x1)
                for (int x0 = -W[0]; x0 <= W[0]; ++x0) {
                    double acc = 0.0;
                    for (int e = -(n[2] - 1); e <= n[2] - 1; ++e) {
                        acc += rows.at(2, j2, e) * c.at(x0, x1, t2 + e);
                    }
                    a2[static_cast<std::size_t>(
                        ((j2 * D[2] + t2 + reach[2]) * E[1] + x1 + W[1]) * E[0] + x0 + W[0])] = acc;
                }
    // Dimension 1: a1[(((j1 * n2 + j2) * D2 + delta2) * D1 + delta1) * E0 + x0].
    std::vector<double> a1(static_cast<std::size_t>(n[1]) * n[2] * D[2] * D[1] * E[0], 0.0);
    for (int j1 = 0; j1 < n[1]; ++j1)
        for (int j2 = 0; j2 < n[2]; ++j2)
            for (int t2 = 0; t2 < D[2]; ++t2)
                for (int t1 = -reach[1]; t1 <= reach[1]; ++t1)
                    for (int x0 = 0; x0 < E[0]; ++x0) {
                        double acc = 0.0;
                        for (int e = -(n[1] - 1); e <= n[1] - 1; ++e) {
                            acc += rows.at(1, j1, e) *
                                   a2[static_cast<std::size_t>(
                                       ((j2 * D[2] + t2) * E[1] + t1 + e + W[1]) * E[0] + x0)];
                        }
                        a1[static_cast<std::size_t>(
                            (((j1 * n[2] + j2) * D[2] + t2) * D[1] + t1 + reach[1]) * E[0] + x0)] =
                            acc;
                    }
    // Dimension 0, into the table: row delta, coefficient (j0, j1, j2).
    const int B = n[0] * n[1] * n[2];
    const long long count = static_cast<long long>(D[0]) * D[1] * D[2];
    float* table =
        static_cast<float*>(std::malloc(static_cast<std::size_t>(count * B) * sizeof(float)));
    if (!table) return false;
    lags.table.reset(table);
    for (int t2 = 0; t2 < D[2]; ++t2)
        for (int t1 = 0; t1 < D[1]; ++t1)
            for (int t0 = -reach[0]; t0 <= reach[0]; ++t0) {
                float* row =
                    table + ((static_cast<long long>(t2) * D[1] + t1) * D[0] + t0 + reach[0]) * B;
                for (int j2 = 0; j2 < n[2]; ++j2)
                    for (int j1 = 0; j1 < n[1]; ++j1) {
                        const double* src =
                            a1.data() + (((j1 * n[2] + j2) * D[2] + t2) * D[1] + t1) *
                                            static_cast<long long>(E[0]);
                        for (int j0 = 0; j0 < n[0]; ++j0) {
                            double acc = 0.0;
                            for (int e = -(n[0] - 1); e <= n[0] - 1; ++e) {
                                acc += rows.at(0, j0, e) * src[t0 + e + W[0]];
                            }
                            row[(j2 * n[1] + j1) * n[0] + j0] = static_cast<float>(acc);
                        }
                    }
            }
    return true;
}

}  // namespace

bool buildNoiseLags(const float* psd, Vec3<int> S, Vec3<int> F, Vec3<int> n, Vec3<const float*> fwd,
                    Vec3<int> maxSpacing, NoiseLags& lags) {
    require(psd && fwd.x && fwd.y && fwd.z, "buildNoiseLags: null PSD or block matrix");
    for (int d = 0; d < 3; ++d) {
        require(S[d] > 0 && F[d] > 0 && n[d] > 0 && maxSpacing[d] >= 0,
                "buildNoiseLags: sizes must be positive");
    }
    lags = NoiseLags{};
    try {
        Vec3<int> cap;
        for (int d = 0; d < 3; ++d) cap[d] = std::max(maxSpacing[d], n[d] - 1);
        SampledAutocovariance c;
        if (!sampleAutocovariance(psd, S, F, n, cap, c)) return false;
        const Vec3<int> L = correlationLength(c);
        Vec3<int> reach;
        for (int d = 0; d < 3; ++d) reach[d] = std::min(n[d] - 1 + L[d], cap[d]);
        RowCorrelations rows;
        rows.n = n;
        for (int d = 0; d < 3; ++d) rows.r[d] = rowAutocorrelations(fwd[d], n[d]);
        if (!fillLagTable(c, rows, reach, lags)) {
            lags = NoiseLags{};
            return false;
        }
        lags.blockSize = n;
        lags.reach = reach;
        lags.coefficients = n[0] * n[1] * n[2];
        lags.white = c.flat;
        lags.flatness = static_cast<float>(c.flatness);
        return true;
    } catch (const std::bad_alloc&) {
        lags = NoiseLags{};
        return false;
    }
}

// The vector helpers below are always inlined into the clones (see block_matching.cpp).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

constexpr int PAIR_BATCH = 256;
constexpr int MAX_LISTED_MEMBERS = 64;
constexpr int PAIR_LANES = 8;

typedef int i8v __attribute__((vector_size(32)));
typedef unsigned u8v __attribute__((vector_size(32)));

// What the pair listing of calculateVariancesFromLags works with: the members' positions
// (also one array per axis when the group has at most MAX_LISTED_MEMBERS, `listed`), the weight
// rows G(k0 + k, .) of the components in hand (copied into `gl` when listed), and the batch of
// pairs waiting for the lag-pair kernel. The listed arrays have a vector's worth of entries
// past the last member, so that the last members of a row are compared eight at a time too.
struct PairList {
    const BlockDistance<float>* matches;
    bool listed;
    int x[MAX_LISTED_MEMBERS + PAIR_LANES], y[MAX_LISTED_MEMBERS + PAIR_LANES],
        z[MAX_LISTED_MEMBERS + PAIR_LANES];
    float gl[LAG_PAIR_COMPONENTS][MAX_LISTED_MEMBERS + PAIR_LANES];
    const float* g[LAG_PAIR_COMPONENTS];
    int components;
    Vec3<int> reach;
    int L0, L1;
    const float* zeroRow;
    int B;
    float* v;
    const float* rows[PAIR_BATCH];
    float weights[PAIR_BATCH * LAG_PAIR_COMPONENTS];
    int pairs;
};

__attribute__((always_inline)) inline u8v loadInts(const int* p) {
    u8v r;
    std::memcpy(&r, p, sizeof r);
    return r;
}

// Lists the pairs (b, c), b < c < count, in order of c. Every pair is written to the next free
// entry, which only advances for a pair that counts (displacement within the lag table's
// reach, some weight non-zero): whether one does is not predictable, so no branch decides.
// Eight members c are compared with b at a time; a full batch goes to the lag-pair kernel,
// which adds the pairs in the order listed whatever the batches.
KELVO_CLONES void listPairsOfMember(PairList& L, int b, int count, const float* twice) {
    const int kc = L.components;
    const Vec3<int> pb = L.matches[b].shiftedPosition;
    // A group too large for the position arrays takes the scalar loop alone.
    int c0 = b + 1;
    const int vectorEnd = L.listed ? count : c0;
    const u8v bx = u8v{} + static_cast<unsigned>(pb.x), by = u8v{} + static_cast<unsigned>(pb.y),
              bz = u8v{} + static_cast<unsigned>(pb.z);
    const unsigned rx = static_cast<unsigned>(L.reach.x), ry = static_cast<unsigned>(L.reach.y),
                   rz = static_cast<unsigned>(L.reach.z);
    const unsigned l0 = static_cast<unsigned>(L.L0), l1 = static_cast<unsigned>(L.L1);
    const unsigned sx = 2 * rx, sy = 2 * ry, sz = 2 * rz;  // a pair counts at |d| <= reach
    const u8v spanX = u8v{} + sx, spanY = u8v{} + sy, spanZ = u8v{} + sz;
    const i8v lane = {0, 1, 2, 3, 4, 5, 6, 7};
    for (; c0 < vectorEnd; c0 += PAIR_LANES) {
        if (L.pairs > PAIR_BATCH - PAIR_LANES) {
            accumulateLagPairs(L.v, L.B, kc, L.rows, L.weights, L.pairs);
            L.pairs = 0;
        }
        // Unsigned arithmetic: differences and lags wrap instead of overflowing, and give the
        // signed values wherever a pair is kept. Lanes past the last member are not kept.
        const u8v dx = bx - loadInts(L.x + c0), dy = by - loadInts(L.y + c0),
                  dz = bz - loadInts(L.z + c0);
        i8v keep = (i8v)((dx + rx <= spanX) & (dy + ry <= spanY) & (dz + rz <= spanZ)) &
                   (lane < vectorEnd - c0);
        float w[LAG_PAIR_COMPONENTS][PAIR_LANES];
        i8v any = i8v{};
        for (int k = 0; k < kc; ++k) {
            v8f g;
            std::memcpy(&g, L.gl[k] + c0, sizeof g);
            const v8f wk = twice[k] * g;
            std::memcpy(w[k], &wk, sizeof wk);
            any |= wk != v8f{};
        }
        keep &= any;
        const i8v lag = keep ? (i8v)((dz * l1 + dy) * l0 + dx) : i8v{};
        int keepLanes[PAIR_LANES], lags[PAIR_LANES];
        std::memcpy(keepLanes, &keep, sizeof keepLanes);
        std::memcpy(lags, &lag, sizeof lags);
        for (int l = 0; l < PAIR_LANES; ++l) {
            float* out = L.weights + LAG_PAIR_COMPONENTS * L.pairs;
            for (int k = 0; k < kc; ++k) out[k] = w[k][l];
            L.rows[L.pairs] = L.zeroRow + static_cast<long long>(lags[l]) * L.B;
            L.pairs += keepLanes[l] & 1;
        }
    }
    for (int c = c0; c < count; ++c) {
        if (L.pairs == PAIR_BATCH) {
            accumulateLagPairs(L.v, L.B, kc, L.rows, L.weights, L.pairs);
            L.pairs = 0;
        }
        const Vec3<int> pc = L.matches[c].shiftedPosition;
        const int dx = pb.x - pc.x, dy = pb.y - pc.y, dz = pb.z - pc.z;
        const bool inReach = (static_cast<unsigned>(dx) + rx <= sx) &
                             (static_cast<unsigned>(dy) + ry <= sy) &
                             (static_cast<unsigned>(dz) + rz <= sz);
        float* out = L.weights + LAG_PAIR_COMPONENTS * L.pairs;
        bool any = false;
        for (int k = 0; k < kc; ++k) {
            out[k] = twice[k] * L.g[k][c];
            any = any | (out[k] != 0.0f);
        }
        const long long lag = inReach ? (static_cast<long long>(dz) * L.L1 + dy) * L.L0 + dx : 0;
        L.rows[L.pairs] = L.zeroRow + lag * L.B;
        L.pairs += static_cast<int>(inReach & any);
    }
}

}  // namespace

void calculateVariancesFromLags(int count, int K, const float* groupMatrix, const NoiseLags& lags,
                                Cube4D<float>& out, const BlockDistance<float>* matches) {
    require(count >= 1 && K >= 0 && K <= count, "calculateVariancesFromLags: need 0 <= K <= count");
    require(groupMatrix && matches && lags.table, "calculateVariancesFromLags: null argument");
    const int B = lags.coefficients;
    require(out.data && out.blockVolume() == B && out.n >= count,
            "calculateVariancesFromLags: the variance cube does not fit the group");
    float* variance = out.data;
    const float* single = lags.variances();
    const auto G = [groupMatrix, count](int k, int b) {
        return groupMatrix[static_cast<long long>(k) * count + b];
    };
    // The members' own variances, then every pair of members that the noise correlates.
    for (int k = 0; k < K; ++k) {
        float diagonal = 0.0f;
        for (int b = 0; b < count; ++b) diagonal += G(k, b) * G(k, b);
        float* v = variance + static_cast<long long>(k) * B;
        for (int i = 0; i < B; ++i) v[i] = diagonal * single[i];
    }
    // The correlated pairs are listed in batches, then added by the vector kernel four
    // components at a time (each coefficient still receives them in pair order). A pair's
    // row is found as lags.at would find it, from the row of displacement zero.
    PairList list;
    list.matches = matches;
    list.listed = count <= MAX_LISTED_MEMBERS;
    for (int b = 0; list.listed && b < count; ++b) {
        list.x[b] = matches[b].shiftedPosition.x;
        list.y[b] = matches[b].shiftedPosition.y;
        list.z[b] = matches[b].shiftedPosition.z;
    }
    list.reach = lags.reach;
    list.L0 = 2 * lags.reach.x + 1;
    list.L1 = 2 * lags.reach.y + 1;
    list.zeroRow = single;
    list.B = B;
    for (int b = count; list.listed && b < count + PAIR_LANES; ++b)
        list.x[b] = list.y[b] = list.z[b] = 0;
    for (int k0 = 0; k0 < K; k0 += LAG_PAIR_COMPONENTS) {
        list.components = std::min(LAG_PAIR_COMPONENTS, K - k0);
        for (int k = 0; k < list.components; ++k) {
            list.g[k] = groupMatrix + static_cast<long long>(k0 + k) * count;
            if (!list.listed) continue;
            std::copy(list.g[k], list.g[k] + count, list.gl[k]);
            std::fill(list.gl[k] + count, list.gl[k] + count + PAIR_LANES, 0.0f);
        }
        list.v = variance + static_cast<long long>(k0) * B;
        list.pairs = 0;
        for (int b = 0; b < count; ++b) {
            float twice[LAG_PAIR_COMPONENTS];
            for (int k = 0; k < list.components; ++k) twice[k] = 2.0f * G(k0 + k, b);
            listPairsOfMember(list, b, count, twice);
        }
        accumulateLagPairs(list.v, B, list.components, list.rows, list.weights, list.pairs);
    }
    for (long long j = 0; j < static_cast<long long>(K) * B; ++j)
        variance[j] = std::max(0.0f, variance[j]);

    shareRemainder(variance, B, K, count, single);
}

}  // namespace kelvo
