// Small DFT kernels: agreement with a direct double-precision DFT at every size, the exact
// promises of the real transform, and refusal of other sizes before anything is written.
#include "kelvo/engine/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

namespace kelvo {
namespace {

constexpr unsigned SEED = 20240611u;
const int SIZES[] = {4, 8, 16, 32, 64};
const double EPS = std::numeric_limits<float>::epsilon();
const double PI = 3.141592653589793;

std::vector<std::complex<double>> directDft(const std::vector<Complex>& x, bool realOnly) {
    const int n = static_cast<int>(x.size());
    std::vector<std::complex<double>> y(n);
    for (int k = 0; k < n; ++k) {
        std::complex<double> s = 0.0;
        for (int m = 0; m < n; ++m) {
            const double a =
                -2.0 * PI * static_cast<double>((static_cast<long long>(k) * m) % n) / n;
            const std::complex<double> v(x[m].re, realOnly ? 0.0 : x[m].im);
            s += v * std::complex<double>(std::cos(a), std::sin(a));
        }
        y[k] = s;
    }
    return y;
}

std::vector<Complex> randomSignal(int n, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<Complex> x(n);
    for (Complex& c : x) c = {u(rng), u(rng)};
    return x;
}

// Error bound of a radix-2 transform in single precision: each of the log2(n) stages adds
// a few roundings relative to the largest partial sum, itself at most sum |x|.
double bound(const std::vector<Complex>& x, bool realOnly) {
    double l1 = 0.0;
    for (const Complex& c : x) l1 += realOnly ? std::abs(c.re) : std::hypot(c.re, c.im);
    return 4.0 * std::log2(static_cast<double>(x.size())) * EPS * l1;
}

TEST(Fft, EverySizeMatchesTheDirectTransform) {
    std::printf("seed %u\n", SEED);
    std::mt19937 rng(SEED);
    for (int n : SIZES) {
        for (int trial = 0; trial < 5; ++trial) {
            std::vector<Complex> x = randomSignal(n, rng);
            std::vector<Complex> yc(n), yr(n);
            fftComplex(n, x.data(), yc.data());
            fftReal(n, x.data(), yr.data());
            const auto ec = directDft(x, false);
            const auto er = directDft(x, true);
            const double tc = bound(x, false);
            const double tr = bound(x, true);
            for (int k = 0; k < n; ++k) {
                EXPECT_NEAR(yc[k].re, ec[k].real(), tc) << "n " << n << " k " << k;
                EXPECT_NEAR(yc[k].im, ec[k].imag(), tc) << "n " << n << " k " << k;
                EXPECT_NEAR(yr[k].re, er[k].real(), tr) << "n " << n << " k " << k;
                EXPECT_NEAR(yr[k].im, er[k].imag(), tr) << "n " << n << " k " << k;
            }
        }
    }
}

TEST(Fft, RealTransformIsExactlyConjugateSymmetric) {
    std::mt19937 rng(SEED + 1);
    for (int n : SIZES) {
        std::vector<Complex> x = randomSignal(n, rng);
        std::vector<Complex> y(n, Complex{7.0f, 7.0f});
        fftReal(n, x.data(), y.data());
        EXPECT_EQ(y[0].im, 0.0f);
        EXPECT_EQ(y[n / 2].im, 0.0f);
        for (int k = 1; k < n / 2; ++k) {
            EXPECT_EQ(y[n - k].re, y[k].re);
            EXPECT_EQ(y[n - k].im, -y[k].im);
        }
        // imaginary parts of the input are ignored
        std::vector<Complex> x2 = x;
        for (Complex& c : x2) c.im = 123.0f;
        std::vector<Complex> y2(n);
        fftReal(n, x2.data(), y2.data());
        for (int k = 0; k < n; ++k) {
            EXPECT_EQ(y2[k].re, y[k].re);
            EXPECT_EQ(y2[k].im, y[k].im);
        }
    }
}

TEST(Fft, ConstantAndImpulseInputsGiveExactResults) {
    for (int n : SIZES) {
        std::vector<Complex> ones(n, Complex{1.0f, 0.0f});
        std::vector<Complex> impulse(n, Complex{0.0f, 0.0f});
        impulse[0].re = 1.0f;
        std::vector<Complex> y(n);
        for (int real = 0; real < 2; ++real) {
            auto run = [&](std::vector<Complex>& in) {
                if (real) {
                    fftReal(n, in.data(), y.data());
                } else {
                    fftComplex(n, in.data(), y.data());
                }
            };
            run(ones);
            EXPECT_EQ(y[0].re, static_cast<float>(n));
            EXPECT_EQ(y[0].im, 0.0f);
            for (int k = 1; k < n; ++k) {
                EXPECT_EQ(y[k].re, 0.0f) << n;
                EXPECT_EQ(y[k].im, 0.0f) << n;
            }
            run(impulse);
            for (int k = 0; k < n; ++k) {
                EXPECT_EQ(y[k].re, 1.0f) << n;
                EXPECT_EQ(y[k].im, 0.0f) << n;
            }
        }
    }
}

// The host-layout 64-point entry (creal32_T) against the direct transform, independently of
// the Complex entry that shares its kernel.
TEST(Fft, SixtyFourPointHostEntryMatchesTheDirectTransform) {
    std::mt19937 rng(SEED + 2);
    for (int trial = 0; trial < 5; ++trial) {
        const std::vector<Complex> x = randomSignal(64, rng);
        std::vector<creal32_T> xi(64), yi(64);
        for (int k = 0; k < 64; ++k) xi[k] = {x[k].re, x[k].im};
        FFTComplex64(xi.data(), yi.data());
        const auto e = directDft(x, false);
        const double t = bound(x, false);
        for (int k = 0; k < 64; ++k) {
            EXPECT_NEAR(yi[k].re, e[k].real(), t) << "k " << k;
            EXPECT_NEAR(yi[k].im, e[k].imag(), t) << "k " << k;
        }
    }
}

// Batched in-place transform: every line matches the direct DFT, frequency k at position
// bitReversed(k, n), and the entries between the lines' width and the stride are untouched.
TEST(Fft, BatchedInPlaceTransformMatchesTheDirectTransformInBitReversedOrder) {
    std::mt19937 rng(SEED + 3);
    for (int n : SIZES) {
        const int width = 5;
        const int stride = 7;
        std::vector<Complex> data = randomSignal(n * stride, rng);
        const std::vector<Complex> original = data;
        fftBatchInPlace(data.data(), n, stride, width);
        for (int c = 0; c < stride; ++c) {
            std::vector<Complex> line(n);
            for (int m = 0; m < n; ++m) line[m] = original[c + m * stride];
            if (c >= width) {
                for (int m = 0; m < n; ++m) ASSERT_EQ(data[c + m * stride].re, line[m].re);
                continue;
            }
            const auto expected = directDft(line, false);
            const double tol = bound(line, false);
            for (int k = 0; k < n; ++k) {
                const Complex got = data[c + bitReversed(k, n) * stride];
                EXPECT_NEAR(got.re, expected[k].real(), tol) << "n " << n << " k " << k;
                EXPECT_NEAR(got.im, expected[k].imag(), tol) << "n " << n << " k " << k;
            }
        }
    }
    EXPECT_EQ(bitReversed(1, 8), 4);
    EXPECT_EQ(bitReversed(6, 8), 3);
    std::vector<Complex> d(64, Complex{2.0f, 2.0f});
    EXPECT_THROW(fftBatchInPlace(d.data(), 2, 1, 1), std::exception);
    EXPECT_THROW(fftBatchInPlace(d.data(), 8, 2, 4), std::exception);
    for (const Complex& c : d) ASSERT_EQ(c.re, 2.0f);
}

TEST(Fft, OtherSizesThrowBeforeWriting) {
    const int bad[] = {-4, 0, 1, 2, 3, 5, 6, 12, 48, 128};
    std::vector<Complex> in(256, Complex{1.0f, 2.0f});
    std::vector<Complex> out(256, Complex{-5.0f, -5.0f});
    EXPECT_TRUE(isFftSize(4));
    for (int n : bad) {
        EXPECT_FALSE(isFftSize(n));
        EXPECT_THROW(fftComplex(n, in.data(), out.data()), std::exception) << n;
        EXPECT_THROW(fftReal(n, in.data(), out.data()), std::exception) << n;
        for (const Complex& c : out) {
            ASSERT_EQ(c.re, -5.0f);
            ASSERT_EQ(c.im, -5.0f);
        }
    }
    EXPECT_THROW(fftComplex(8, in.data(), in.data()), std::exception);
    EXPECT_THROW(fftReal(8, in.data(), nullptr), std::exception);
}

}  // namespace
}  // namespace kelvo
