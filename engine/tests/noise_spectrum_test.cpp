// Noise spectrum preparation: resampling of the PSD, the power spectra of the block matrices,
// the flat-PSD identity with and without the half-spectrum fold, the orientation of an
// anisotropic PSD against a brute-force 3-D DFT of every block basis function, and the null
// results of impossible allocations.
#include "kelvo/engine/noise_spectrum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "reference_matrices.h"

// Under AddressSanitizer impossible allocations must return null instead of aborting.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace kelvo {
namespace {

const double EPS = std::numeric_limits<float>::epsilon();
const double PI = 3.141592653589793;

std::vector<float> dct(int n) { return testing::dctMatrix(n); }

std::vector<float> haar2() { return {0.70710677f, 0.70710677f, 0.70710677f, -0.70710677f}; }

struct Owned {
    float* p = nullptr;
    ~Owned() { std::free(p); }
};

long long vol(Vec3<int> v) { return static_cast<long long>(v.x) * v.y * v.z; }

TEST(ResizePsd, SameSizeCopiesAndSmallerGridsScaleByThePointRatio) {
    std::vector<float> psd = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f, 8.0f};
    Owned same;
    resizePSD(psd.data(), {2, 2, 2}, {2, 2, 2}, same.p);
    ASSERT_NE(same.p, nullptr);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(same.p[i], psd[i]);

    // 1-D: source samples sit at target positions 0 and 2; past the last one the PSD wraps
    // around to sample 0, as a periodic function does.
    std::vector<float> line = {1.0f, 3.0f};
    Owned r;
    resizePSD(line.data(), {2, 1, 1}, {4, 1, 1}, r.p);
    ASSERT_NE(r.p, nullptr);
    const float scale = 2.0f;  // Ftot / Stot = 4 / 2
    EXPECT_FLOAT_EQ(r.p[0], 1.0f * scale);
    EXPECT_FLOAT_EQ(r.p[1], 2.0f * scale);
    EXPECT_FLOAT_EQ(r.p[2], 3.0f * scale);
    EXPECT_FLOAT_EQ(r.p[3], 2.0f * scale);

    // A constant PSD stays constant, scaled by Ftot / Stot, in every dimension.
    std::vector<float> flat(4 * 2 * 2, 0.5f);
    Owned c;
    resizePSD(flat.data(), {4, 2, 2}, {16, 8, 4}, c.p);
    ASSERT_NE(c.p, nullptr);
    const double expected = 0.5 * (16.0 * 8 * 4) / (4.0 * 2 * 2);
    for (int i = 0; i < 16 * 8 * 4; ++i) ASSERT_NEAR(c.p[i], expected, 8 * EPS * expected) << i;
}

TEST(ResizePsd, DepthOnePsdIsNotResampledToZeros) {
    std::vector<float> psd(4 * 4, 3.0f);
    Owned r;
    resizePSD(psd.data(), {4, 4, 1}, {8, 8, 1}, r.p);
    ASSERT_NE(r.p, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_NEAR(r.p[i], 12.0f, 8 * EPS * 12) << i;
    // also a PSD of a single value
    float one = 2.0f;
    Owned s;
    resizePSD(&one, {1, 1, 1}, {4, 4, 1}, s.p);
    ASSERT_NE(s.p, nullptr);
    for (int i = 0; i < 16; ++i) EXPECT_FLOAT_EQ(s.p[i], 32.0f);
}

// Noise variance sum(R) / Ftot^2 and symmetry R(f) = R(-f) of the resampled PSD, for a PSD
// without any symmetry, on grid ratios that are and are not whole numbers. A PSD given on
// the noise grid itself is made symmetric too.
TEST(ResizePsd, KeepsTheNoiseVarianceAndIsSymmetric) {
    std::mt19937 rng(5);
    std::printf("seed 5\n");
    std::uniform_real_distribution<float> u(0.1f, 3.0f);
    struct Case {
        Vec3<int> S, F;
    };
    for (const Case& c : {Case{{4, 4, 2}, {8, 16, 8}}, Case{{6, 5, 3}, {16, 16, 8}},
                          Case{{16, 16, 1}, {16, 16, 1}}, Case{{5, 3, 1}, {32, 4, 1}}}) {
        std::vector<float> psd(vol(c.S));
        for (float& v : psd) v = u(rng);
        Owned r;
        resizePSD(psd.data(), c.S, c.F, r.p);
        ASSERT_NE(r.p, nullptr);
        double sourceSum = 0.0, sum = 0.0;
        for (float v : psd) sourceSum += v;
        const double Ftot = static_cast<double>(vol(c.F)), Stot = static_cast<double>(vol(c.S));
        for (long long i = 0; i < vol(c.F); ++i) sum += r.p[i];
        EXPECT_NEAR(sum / (Ftot * Ftot), sourceSum / (Stot * Stot),
                    1e-6 * sourceSum / (Stot * Stot))
            << c.S.x << "x" << c.S.y << "x" << c.S.z << " -> " << c.F.x << "x" << c.F.y << "x"
            << c.F.z;
        for (int t2 = 0; t2 < c.F.z; ++t2)
            for (int t1 = 0; t1 < c.F.y; ++t1)
                for (int t0 = 0; t0 < c.F.x; ++t0) {
                    const float a = r.p[t0 + c.F.x * (t1 + c.F.y * t2)];
                    const float b =
                        r.p[(c.F.x - t0) % c.F.x +
                            c.F.x * ((c.F.y - t1) % c.F.y + c.F.y * ((c.F.z - t2) % c.F.z))];
                    ASSERT_NEAR(a, b, 4 * EPS * a) << t0 << " " << t1 << " " << t2;
                }
    }
}

TEST(TransformToFourier, PowerSpectraOfOrthonormalRowsObeyParseval) {
    for (int n : {4, 8}) {
        const std::vector<float> m = dct(n);
        for (int L : {n, 2 * n, 32}) {
            std::vector<float> P(n * L);
            transformToFourier(n, L, m.data(), P.data());
            EXPECT_NEAR(P[0], n, 4 * n * EPS);  // DC row: (sum of n entries 1/sqrt(n))^2
            for (int b = 0; b < n; ++b) {
                double s = 0.0;
                for (int j = 0; j < L; ++j) {
                    EXPECT_GE(P[b * L + j], 0.0f);
                    s += P[b * L + j];
                }
                EXPECT_NEAR(s, L, 4.0 * n * L * EPS) << "n " << n << " L " << L << " b " << b;
            }
        }
    }
}

// The flat PSD c of white noise gives every coefficient of an orthonormal block transform
// the variance c / Ftot, whether the half spectrum is used or not.
TEST(NoiseSpectrum, FlatPsdGivesTheWhiteNoiseVarianceWithAndWithoutTheFold) {
    struct Case {
        Vec3<int> n;
        Vec3<int> F;
        int Fp0;
    };
    const Case cases[] = {
        {{4, 4, 4}, {8, 8, 8}, 8},    {{4, 4, 4}, {8, 8, 8}, 5},    {{4, 4, 4}, {16, 8, 4}, 9},
        {{8, 8, 1}, {32, 32, 1}, 17}, {{8, 8, 1}, {32, 32, 1}, 32}, {{8, 4, 2}, {8, 16, 4}, 6},
        {{4, 4, 4}, {4, 4, 4}, 3},
    };
    const float c = 3.5f;
    for (const Case& k : cases) {
        const std::vector<float> m0 = dct(k.n.x), m1 = dct(k.n.y);
        const std::vector<float> m2 = k.n.z == 2 ? haar2() : dct(k.n.z);
        const long long Ftot = vol(k.F);
        std::vector<float> psd(Ftot, c);
        const Vec3<int> Fp{k.Fp0, k.F.y, k.F.z};
        Owned K3, lv;
        computeK3fT3(psd.data(), k.F, k.F, Fp, k.n, {m0.data(), m1.data(), m2.data()}, K3.p);
        ASSERT_NE(K3.p, nullptr);
        const int B = static_cast<int>(vol(k.n));
        computeLocalVar(K3.p, Fp, B, lv.p);
        ASSERT_NE(lv.p, nullptr);
        const double expected = c / static_cast<double>(Ftot);
        for (int i = 0; i < B; ++i) {
            EXPECT_NEAR(lv.p[i], expected, 32 * B * EPS * expected)
                << "F " << k.F.x << "x" << k.F.y << "x" << k.F.z << " Fp0 " << k.Fp0 << " i " << i;
        }
        // Rows above the Nyquist row of the half spectrum carry nothing.
        if (k.Fp0 < k.F.x) {
            for (int f0 = k.F.x / 2 + 1; f0 < k.Fp0; ++f0) {
                for (long long e = 0; e < static_cast<long long>(k.F.y) * k.F.z * B; ++e) {
                    ASSERT_EQ(K3.p[f0 * k.F.y * k.F.z * B + e], 0.0f);
                }
            }
        }
    }
}

// Brute force: the noise power of frequency f in coefficient i is |DFT of basis i|^2 * R(f)
// / Ftot^2, the basis function W_i(t) = fwd0[b0][t0] fwd1[b1][t1] fwd2[b2][t2] laid on the
// F grid; the frequency index runs with dimension 2 fastest, the coefficient index with
// dimension 0 fastest, and the PSD is read in its own layout.
TEST(NoiseSpectrum, AnisotropicPsdMatchesABruteForceDftOfEveryBasisFunction) {
    std::mt19937 rng(7);
    std::printf("seed 7\n");
    std::uniform_real_distribution<float> u(0.1f, 2.0f);
    const Vec3<int> n{4, 2, 2};
    const Vec3<int> F{8, 4, 2};
    const std::vector<float> m0 = dct(4);
    std::vector<float> m1 = {0.6f, 0.8f, -0.8f, 0.6f};  // a rotation
    std::vector<float> m2 = {1.0f, 0.5f, 0.0f, 1.0f};   // not orthonormal
    std::vector<float> psd(vol(F));
    for (float& v : psd) v = u(rng);  // no symmetry: any transposition shows
    const Vec3<int> Fp = F;
    Owned K3;
    computeK3fT3(psd.data(), F, F, Fp, n, {m0.data(), m1.data(), m2.data()}, K3.p);
    ASSERT_NE(K3.p, nullptr);
    const int B = static_cast<int>(vol(n));
    const double Ftot = static_cast<double>(vol(F));
    for (int f0 = 0; f0 < F.x; ++f0)
        for (int f1 = 0; f1 < F.y; ++f1)
            for (int f2 = 0; f2 < F.z; ++f2)
                for (int b2 = 0; b2 < n.z; ++b2)
                    for (int b1 = 0; b1 < n.y; ++b1)
                        for (int b0 = 0; b0 < n.x; ++b0) {
                            std::complex<double> s = 0.0;
                            for (int t2 = 0; t2 < n.z; ++t2)
                                for (int t1 = 0; t1 < n.y; ++t1)
                                    for (int t0 = 0; t0 < n.x; ++t0) {
                                        const double w = double(m0[b0 * n.x + t0]) *
                                                         m1[b1 * n.y + t1] * m2[b2 * n.z + t2];
                                        const double a =
                                            -2 * PI *
                                            (double(f0 * t0) / F.x + double(f1 * t1) / F.y +
                                             double(f2 * t2) / F.z);
                                        s += w * std::complex<double>(std::cos(a), std::sin(a));
                                    }
                            // The engine uses the symmetric part of the PSD.
                            const double R =
                                0.5 * (psd[f0 + F.x * (f1 + F.y * f2)] +
                                       psd[(F.x - f0) % F.x +
                                           F.x * ((F.y - f1) % F.y + F.y * ((F.z - f2) % F.z))]);
                            const double expected = std::norm(s) * R / (Ftot * Ftot);
                            const long long f = (static_cast<long long>(f0) * F.y + f1) * F.z + f2;
                            const int i = b0 + n.x * (b1 + n.y * b2);
                            ASSERT_NEAR(K3.p[f * B + i], expected, 16 * EPS * (expected + 1e-12))
                                << f0 << f1 << f2 << " " << b0 << b1 << b2;
                        }
}

// The half spectrum carries the power of the whole one only for a symmetric PSD; with the
// PSD made symmetric on input, a PSD without symmetry gives the same local variances with
// and without the fold.
TEST(NoiseSpectrum, AnAsymmetricPsdGivesTheSameVariancesWithAndWithoutTheFold) {
    std::mt19937 rng(9);
    std::printf("seed 9\n");
    std::uniform_real_distribution<float> u(0.0f, 4.0f);
    const Vec3<int> n{8, 8, 1}, F{16, 16, 1};
    const std::vector<float> m = dct(8);
    const float one = 1.0f;
    std::vector<float> psd(vol(F));
    for (float& v : psd) v = u(rng);
    float* lv[2] = {nullptr, nullptr};
    for (int fold = 0; fold < 2; ++fold) {
        const Vec3<int> Fp{fold ? F.x / 2 + 1 : F.x, F.y, F.z};
        Owned K3;
        computeK3fT3(psd.data(), F, F, Fp, n, {m.data(), m.data(), &one}, K3.p);
        ASSERT_NE(K3.p, nullptr);
        computeLocalVar(K3.p, Fp, 64, lv[fold]);
        ASSERT_NE(lv[fold], nullptr);
    }
    for (int i = 0; i < 64; ++i) EXPECT_NEAR(lv[1][i], lv[0][i], 64 * EPS * lv[0][i]) << i;
    std::free(lv[0]);
    std::free(lv[1]);
}

TEST(NoiseSpectrum, ExtraRowsBeyondTheGridAreZero) {
    // F0 = 1 with a "halved" first dimension of 2 (the working memory's rounding).
    std::vector<float> psd(8, 1.0f);
    const float one = 1.0f;
    const std::vector<float> m = dct(4);
    Owned K3;
    computeK3fT3(psd.data(), {1, 8, 1}, {1, 8, 1}, {2, 8, 1}, {1, 4, 1}, {&one, m.data(), &one},
                 K3.p);
    ASSERT_NE(K3.p, nullptr);
    for (int e = 8 * 4; e < 2 * 8 * 4; ++e) EXPECT_EQ(K3.p[e], 0.0f);
    Owned lv;
    computeLocalVar(K3.p, {2, 8, 1}, 4, lv.p);
    ASSERT_NE(lv.p, nullptr);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(lv.p[i], 1.0 / 8, 16 * EPS);
}

TEST(NoiseSpectrum, BadArgumentsThrowAndImpossibleSizesGiveNull) {
    std::vector<float> psd(64, 1.0f);
    const std::vector<float> m = dct(4);
    const Vec3<const float*> fwd{m.data(), m.data(), m.data()};
    float* out = reinterpret_cast<float*>(&psd);  // must be reset
    EXPECT_THROW(computeK3fT3(psd.data(), {4, 4, 4}, {8, 8, 8}, {4, 8, 8}, {4, 4, 4}, fwd, out),
                 std::invalid_argument);  // Fp0 below F0/2 + 1
    EXPECT_EQ(out, nullptr);
    EXPECT_THROW(computeK3fT3(psd.data(), {4, 4, 4}, {8, 8, 8}, {8, 4, 8}, {4, 4, 4}, fwd, out),
                 std::invalid_argument);
    EXPECT_THROW(computeK3fT3(nullptr, {4, 4, 4}, {8, 8, 8}, {8, 8, 8}, {4, 4, 4}, fwd, out),
                 std::invalid_argument);
    EXPECT_THROW(computeK3fT3(psd.data(), {0, 4, 4}, {8, 8, 8}, {8, 8, 8}, {4, 4, 4}, fwd, out),
                 std::invalid_argument);
    EXPECT_THROW(computeLocalVar(psd.data(), {8, 8, 8}, 0, out), std::invalid_argument);
    computeLocalVar(nullptr, {8, 8, 8}, 64, out);
    EXPECT_EQ(out, nullptr);

    // A grid far beyond memory: every array freed, null result (leaks show under ASan).
    const float one = 1.0f;
    computeK3fT3(psd.data(), {4, 4, 4}, {1 << 20, 1 << 20, 1 << 12}, {1 << 20, 1 << 20, 1 << 12},
                 {1, 1, 1}, {&one, &one, &one}, out);
    EXPECT_EQ(out, nullptr);
    computeK3fT3(psd.data(), {4, 4, 4}, {64, 64, 64}, {64, 64, 64}, {1 << 10, 1 << 10, 1 << 10},
                 {&one, &one, &one}, out);
    EXPECT_EQ(out, nullptr);
}

}  // namespace
}  // namespace kelvo
