#include "kelvo/engine/noise_spectrum.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace kelvo {

namespace {

float* allocateFloats(long long count) {
    if (count <= 0) count = 1;
    if (static_cast<unsigned long long>(count) > SIZE_MAX / sizeof(float)) return nullptr;
    return static_cast<float*>(std::malloc(static_cast<std::size_t>(count) * sizeof(float)));
}

bool positive(Vec3<int> v) { return v.x > 0 && v.y > 0 && v.z > 0; }

long long volume(Vec3<int> v) { return static_cast<long long>(v.x) * v.y * v.z; }

// a * b, or -1 when the product does not fit a long long (a, b >= 0).
long long checkedProduct(long long a, long long b) {
    long long ab = 0;
    if (a < 0 || b < 0 || __builtin_mul_overflow(a, b, &ab)) return -1;
    return ab;
}

// v0 * v1 * v2 of positive components, or -1 on overflow.
long long checkedVolume(Vec3<int> v) { return checkedProduct(checkedProduct(v.x, v.y), v.z); }

// Periodic linear interpolation of target sample t of a dimension resampled from S to F
// samples: a PSD is periodic, so a target beyond the last source sample lies between that
// sample and sample 0.
struct Tap {
    int lo;
    int hi;
    double wLo;
    double wHi;
};

Tap tap(int t, int S, int F) {
    const double s = static_cast<double>(t) * S / F;
    const double below = std::floor(s);
    Tap r;
    r.wHi = s - below;
    r.wLo = 1.0 - r.wHi;
    r.lo = static_cast<int>(below) % S;
    r.hi = (r.lo + 1) % S;
    return r;
}

// Index of frequency -f on a grid of S points per dimension (dimension 0 fastest).
long long mirrorIndex(int f0, int f1, int f2, Vec3<int> S) {
    const int m0 = (S.x - f0) % S.x, m1 = (S.y - f1) % S.y, m2 = (S.z - f2) % S.z;
    return m0 + static_cast<long long>(S.x) * (m1 + static_cast<long long>(S.y) * m2);
}

// Weight of row f0 of the half spectrum: rows f0 and F0 - f0 carry the same power (the
// noise and every group kernel are real), so rows strictly inside the lower half count
// twice, row 0 and the Nyquist row once, and rows above F0/2 not at all.
double foldWeight(int f0, int F0, bool half) {
    if (f0 >= F0) return 0.0;
    if (!half) return 1.0;
    if (f0 == 0 || 2 * f0 == F0) return 1.0;
    return 2 * f0 < F0 ? 2.0 : 0.0;
}

}  // namespace

void resizePSD(const float* psd, Vec3<int> S, Vec3<int> F, float*& out) {
    out = nullptr;
    if (!psd) throw std::invalid_argument("resizePSD: the PSD is null");
    if (!positive(S) || !positive(F)) throw std::invalid_argument("resizePSD: bad size");
    const long long Ftot = checkedVolume(F);
    const long long Stot = checkedVolume(S);
    if (Ftot < 0 || Stot < 0) return;  // cannot be allocated

    // The PSD of real noise is symmetric, R(f) = R(-f), and the half-spectrum fold relies on
    // it: a PSD that is not (a measured one, say) is replaced by its symmetric part, which
    // describes the same noise variance.
    float* sym = allocateFloats(Stot);
    if (!sym) return;
    double sourceSum = 0.0;
    long long i = 0;
    for (int f2 = 0; f2 < S.z; ++f2) {
        for (int f1 = 0; f1 < S.y; ++f1) {
            for (int f0 = 0; f0 < S.x; ++f0, ++i) {
                const double v =
                    0.5 * (static_cast<double>(psd[i]) + psd[mirrorIndex(f0, f1, f2, S)]);
                sym[i] = static_cast<float>(v);
                sourceSum += v;
            }
        }
    }
    if (S == F) {
        out = sym;
        return;
    }
    float* r = allocateFloats(Ftot);
    if (!r) {
        std::free(sym);
        return;
    }
    const long long S01 = static_cast<long long>(S.x) * S.y;
    double targetSum = 0.0;
    long long t = 0;
    for (int t2 = 0; t2 < F.z; ++t2) {
        const Tap c = tap(t2, S.z, F.z);
        for (int t1 = 0; t1 < F.y; ++t1) {
            const Tap b = tap(t1, S.y, F.y);
            const int rows[4] = {b.lo, b.hi, b.lo, b.hi};
            const int slices[4] = {c.lo, c.lo, c.hi, c.hi};
            const double w12[4] = {b.wLo * c.wLo, b.wHi * c.wLo, b.wLo * c.wHi, b.wHi * c.wHi};
            for (int t0 = 0; t0 < F.x; ++t0, ++t) {
                const Tap a = tap(t0, S.x, F.x);
                double v = 0.0;
                for (int q = 0; q < 4; ++q) {
                    if (w12[q] == 0.0) continue;
                    const float* line =
                        sym + slices[q] * S01 + static_cast<long long>(rows[q]) * S.x;
                    v += w12[q] * (a.wLo * line[a.lo] + a.wHi * line[a.hi]);
                }
                r[t] = static_cast<float>(v);
                targetSum += v;
            }
        }
    }
    std::free(sym);
    // The scale follows the number of points of the grid (the PSD's mean times Ftot / Stot),
    // so that the noise variance sum(PSD) / Ftot^2 is the source's. Interpolation keeps the
    // mean exactly when F is a multiple of S; the correction covers other ratios.
    const double sourceMean = sourceSum / static_cast<double>(Stot);
    const double targetMean = targetSum / static_cast<double>(Ftot);
    const double scale = static_cast<double>(Ftot) / static_cast<double>(Stot) *
                         (targetMean > 0.0 ? sourceMean / targetMean : 1.0);
    for (long long k = 0; k < Ftot; ++k) r[k] = static_cast<float>(r[k] * scale);
    out = r;
}

void transformToFourier(int n, int L, const float* matrix, float* out) {
    const int taps = std::min(L, n);
    for (int b = 0; b < n; ++b) {
        const float* row = matrix + static_cast<long long>(b) * n;
        for (int j = 0; j < L; ++j) {
            double re = 0.0;
            double im = 0.0;
            for (int k = 0; k < taps; ++k) {
                // reduce j*k modulo L first so that the angle stays in [0, 2 pi)
                const double theta = 6.283185307179586 * ((static_cast<long long>(j) * k) % L) / L;
                re += row[k] * std::cos(theta);
                im += row[k] * std::sin(theta);
            }
            out[static_cast<long long>(b) * L + j] = static_cast<float>(re * re + im * im);
        }
    }
}

void calculateK3fT3(const float* resizedPsd, Vec3<const float*> spectra, Vec3<int> n, Vec3<int> F,
                    Vec3<int> Fp, float* out) {
    const long long B = volume(n);
    const double Ftot = static_cast<double>(volume(F));
    const double norm = 1.0 / (Ftot * Ftot);  // Ftot^2 reaches 2^36 on a 64^3 grid: no int
    const bool half = Fp.x < F.x;
    float* row = out;
    for (int f0 = 0; f0 < Fp.x; ++f0) {
        const double w = foldWeight(f0, F.x, half) * norm;
        for (int f1 = 0; f1 < F.y; ++f1) {
            for (int f2 = 0; f2 < F.z; ++f2, row += B) {
                if (w == 0.0) {
                    std::fill(row, row + B, 0.0f);
                    continue;
                }
                // the resized PSD keeps the volume's own layout, dimension 0 fastest
                const double r = w * resizedPsd[f0 + static_cast<long long>(F.x) *
                                                         (f1 + static_cast<long long>(F.y) * f2)];
                long long i = 0;
                for (int b2 = 0; b2 < n.z; ++b2) {
                    const double p2 = r * spectra.z[static_cast<long long>(b2) * F.z + f2];
                    for (int b1 = 0; b1 < n.y; ++b1) {
                        const double p12 = p2 * spectra.y[static_cast<long long>(b1) * F.y + f1];
                        for (int b0 = 0; b0 < n.x; ++b0, ++i) {
                            row[i] = static_cast<float>(
                                p12 * spectra.x[static_cast<long long>(b0) * F.x + f0]);
                        }
                    }
                }
            }
        }
    }
}

void computeK3fT3(const float* psd, Vec3<int> S, Vec3<int> F, Vec3<int> Fp, Vec3<int> n,
                  Vec3<const float*> fwd, float*& out) {
    out = nullptr;
    if (!psd || !fwd.x || !fwd.y || !fwd.z) throw std::invalid_argument("computeK3fT3: null input");
    if (!positive(S) || !positive(F) || !positive(Fp) || !positive(n)) {
        throw std::invalid_argument("computeK3fT3: sizes must be positive");
    }
    if (Fp.y != F.y || Fp.z != F.z || Fp.x < F.x / 2 + 1) {
        throw std::invalid_argument(
            "computeK3fT3: the Fourier size must equal the FFT size except for a first "
            "dimension of at least F0/2 + 1");
    }
    // Element counts that overflow cannot be allocated: reported like an allocation failure.
    const long long count = checkedProduct(checkedVolume(Fp), checkedVolume(n));
    if (count < 0 || checkedVolume(F) < 0) return;
    // The largest array first: an impossible size fails before any work is done.
    float* result = allocateFloats(count);
    float* spectra[3] = {nullptr, nullptr, nullptr};
    float* resized = nullptr;
    if (result) {
        for (int d = 0; d < 3; ++d)
            spectra[d] = allocateFloats(static_cast<long long>(n[d]) * F[d]);
        if (spectra[0] && spectra[1] && spectra[2]) resizePSD(psd, S, F, resized);
    }
    if (resized) {
        for (int d = 0; d < 3; ++d) transformToFourier(n[d], F[d], fwd[d], spectra[d]);
        calculateK3fT3(resized, {spectra[0], spectra[1], spectra[2]}, n, F, Fp, result);
        out = result;
        result = nullptr;
    }
    std::free(result);
    std::free(resized);
    for (float* s : spectra) std::free(s);
}

void computeLocalVar(const float* K3fT3, Vec3<int> Fp, int B, float*& out) {
    out = nullptr;
    if (!positive(Fp) || B <= 0) throw std::invalid_argument("computeLocalVar: bad size");
    if (!K3fT3) return;
    float* r = allocateFloats(B);
    double* acc = static_cast<double*>(std::calloc(static_cast<std::size_t>(B), sizeof(double)));
    if (!r || !acc) {
        std::free(r);
        std::free(acc);
        return;
    }
    const long long m = volume(Fp);
    for (long long f = 0; f < m; ++f) {
        const float* row = K3fT3 + f * B;
        for (int i = 0; i < B; ++i) acc[i] += row[i];
    }
    for (int i = 0; i < B; ++i) r[i] = static_cast<float>(acc[i]);
    std::free(acc);
    out = r;
}

}  // namespace kelvo
