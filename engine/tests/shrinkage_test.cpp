// The filters' element-wise passes: the vector kernels against their plain twins on spectra
// that hold the edge cases (zero and NaN pilots, NaN and tiny variances, ties with the
// threshold, lengths that leave a remainder after the vectors).
#include "kelvo/engine/shrinkage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace kelvo {
namespace {

const float NaN = std::numeric_limits<float>::quiet_NaN();

// A spectrum, its variances and a pilot of n entries, with edge cases sprinkled in.
struct Case {
    std::vector<float> s, v, p;
    explicit Case(long long n, unsigned seed) : s(n), v(n), p(n) {
        std::mt19937 rng(seed);
        std::normal_distribution<float> normal(0.0f, 1.0f);
        for (long long k = 0; k < n; ++k) {
            s[k] = normal(rng);
            v[k] = std::fabs(normal(rng));
            p[k] = normal(rng);
            switch (rng() % 8) {
                case 0:
                    p[k] = 0.0f;
                    break;
                case 1:
                    v[k] = 1e-12f;
                    break;
                case 2:
                    v[k] = s[k] * s[k];
                    break;  // t2 = 1: the square equals the product
                case 3:
                    v[k] = rng() % 2 ? NaN : 0.0f;
                    break;
                case 4:
                    p[k] = rng() % 2 ? NaN : -0.0f;
                    break;
                default:
                    break;
            }
        }
    }
};

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), sizeof(float) * a.size()) == 0;
}

TEST(Shrinkage, HardThresholdAndWienerGainsEqualThePlainLoopsBitForBit) {
    for (long long n : {1LL, 7LL, 64LL, 2048LL, 2053LL}) {
        for (float t : {0.0f, 1.0f, 7.29f}) {
            Case fast(n, static_cast<unsigned>(n) + 3u), plain = fast;
            hardThreshold(fast.s.data(), fast.v.data(), n, t);
            hardThresholdPlain(plain.s.data(), plain.v.data(), n, t);
            EXPECT_TRUE(sameBits(fast.s, plain.s) && sameBits(fast.v, plain.v))
                << "hard threshold, n " << n << ", t " << t;

            Case wf(n, static_cast<unsigned>(n) + 11u), wp = wf;
            wienerGains(wf.p.data(), wf.s.data(), wf.v.data(), n, t);
            wienerGainsPlain(wp.p.data(), wp.s.data(), wp.v.data(), n, t);
            EXPECT_TRUE(sameBits(wf.s, wp.s) && sameBits(wf.v, wp.v))
                << "Wiener gains, n " << n << ", t " << t;

            float thresholds[WIENER_CANDIDATES];
            for (int c = 0; c < WIENER_CANDIDATES; ++c)
                thresholds[c] = t * WIENER_THRESHOLD_FACTORS[c];
            std::vector<float> rf(WIENER_CANDIDATES), rp(WIENER_CANDIDATES);
            Case rc(n, static_cast<unsigned>(n) + 17u);
            wienerRisks(rc.p.data(), rc.s.data(), rc.v.data(), n, thresholds, rf.data());
            wienerRisksPlain(rc.p.data(), rc.s.data(), rc.v.data(), n, thresholds, rp.data());
            EXPECT_TRUE(sameBits(rf, rp)) << "Wiener risks, n " << n << ", t " << t;
        }
    }
    // The DC survives the threshold whatever its size; zero pilots give zero gain.
    std::vector<float> s = {1e-3f, 2.0f}, v = {1.0f, 1.0f}, p = {0.0f, 3.0f};
    hardThreshold(s.data(), v.data(), 2, 100.0f);
    EXPECT_EQ(s[0], 1e-3f);
    EXPECT_EQ(s[1], 0.0f);
    s = {5.0f, 2.0f};
    v = {1.0f, 1.0f};
    wienerGains(p.data(), s.data(), v.data(), 2, 0.0f);
    EXPECT_EQ(s[0], 0.0f);
    EXPECT_EQ(s[1], 2.0f);  // threshold 0 passes a non-zero pilot unchanged
}

// With a pilot that does not depend on the noise, the risk estimates are unbiased: their mean
// over many noise draws less sum v (the constant they leave out) is the mean squared error that
// the Wiener gains of each candidate leave, within the Monte Carlo error. The signal is strong
// against the noise, so the term for a pilot that follows the noise weighs little (bounded).
TEST(Shrinkage, WienerRisksEstimateTheErrorOfEachThreshold) {
    const long long n = 256;
    const int draws = 4000;
    std::mt19937 rng(7);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> x(n), p(n), v(n), y(n), gained(n), scratch(n);
    for (long long k = 0; k < n; ++k) {
        x[k] = 3.0f * normal(rng);
        p[k] = x[k] + 0.5f * normal(rng);
        v[k] = 0.5f + (k % 4) * 0.5f;
    }
    float thresholds[WIENER_CANDIDATES], risks[WIENER_CANDIDATES];
    for (int c = 0; c < WIENER_CANDIDATES; ++c) thresholds[c] = 0.9f * WIENER_THRESHOLD_FACTORS[c];
    double sumV = 0.0, pilotEnergy = 0.0;
    for (long long k = 0; k < n; ++k) {
        sumV += v[k];
        if (k > 0) pilotEnergy += double(p[k]) * p[k];
    }
    // Per candidate: the sums of (estimate - sum v - error) and of its square over the draws.
    std::vector<double> gap(WIENER_CANDIDATES), gapSquares(WIENER_CANDIDATES);
    for (int d = 0; d < draws; ++d) {
        for (long long k = 0; k < n; ++k) y[k] = x[k] + std::sqrt(v[k]) * normal(rng);
        wienerRisks(p.data(), y.data(), v.data(), n, thresholds, risks);
        for (int c = 0; c < WIENER_CANDIDATES; ++c) {
            gained = y;
            scratch = v;
            wienerGainsPlain(p.data(), gained.data(), scratch.data(), n, thresholds[c]);
            double error = 0.0;
            for (long long k = 0; k < n; ++k)
                error += double(gained[k] - x[k]) * (gained[k] - x[k]);
            const double g = risks[c] - sumV - error;
            gap[c] += g;
            gapSquares[c] += g * g;
        }
    }
    const double share = WIENER_NOISE_SHARE_SCALE * (sumV - v[0]) /
                         (WIENER_NOISE_SHARE_SCALE * (sumV - v[0]) + pilotEnergy);
    for (int c = 0; c < WIENER_CANDIDATES; ++c) {
        const double mean = gap[c] / draws;
        const double spread = std::sqrt(gapSquares[c] / draws - mean * mean);
        // The follow term adds at most share * sum v (4 w (1 - w) <= 1).
        EXPECT_LT(std::fabs(mean), 4.0 * spread / std::sqrt(double(draws)) + share * sumV)
            << "threshold " << thresholds[c];
    }
}

TEST(Shrinkage, ComponentSumsAgreeWithTheSequentialSumToRounding) {
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    for (long long B : {64LL, 27LL, 1LL}) {
        const int count = 32;
        std::vector<float> v(static_cast<std::size_t>(B) * count);
        for (float& x : v) x = uniform(rng);
        std::vector<float> fast(count), plain(count);
        componentSums(v.data(), B, count, fast.data());
        componentSumsPlain(v.data(), B, count, plain.data());
        for (int j = 0; j < count; ++j) {
            double exact = 0.0;
            for (long long i = 0; i < B; ++i) exact += v[B * j + i];
            // Both within B rounding steps of the exact sum of non-negative terms.
            const double bound = double(B) * std::numeric_limits<float>::epsilon() * exact;
            EXPECT_NEAR(fast[j], exact, bound) << "B " << B << ", component " << j;
            EXPECT_NEAR(plain[j], exact, bound) << "B " << B << ", component " << j;
        }
    }
}

}  // namespace
}  // namespace kelvo
