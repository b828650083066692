// Magnitude data: the stabilised noise has unit spread at every signal level and the inverse
// is unbiased, both checked by Monte Carlo against magnitudes drawn from their definition
// (independent of the quadrature that builds the maps).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "kelvo/magnitude.h"

namespace kelvo {
namespace {

TEST(Magnitude, StabilisedNoiseIsUnitAndInverseIsUnbiased) {
    constexpr int DRAWS = 200000;
    const double sigma = 0.07;
    for (int coils : {1, 4}) {
        std::mt19937_64 rng(1234 + coils);
        std::normal_distribution<double> gauss(0.0, sigma);
        for (double nu : {0.0, 0.5, 1.0, 2.0, 4.0, 10.0, 40.0}) {
            SCOPED_TRACE("coils " + std::to_string(coils) + ", nu " + std::to_string(nu));
            std::vector<float> m(DRAWS);
            for (float& v : m) {
                double s = std::pow(nu * sigma + gauss(rng), 2.0) + std::pow(gauss(rng), 2.0);
                for (int c = 1; c < coils; ++c)
                    s += std::pow(gauss(rng), 2.0) + std::pow(gauss(rng), 2.0);
                v = float(std::sqrt(s));
            }
            stabiliseMagnitude(m.data(), m.size(), sigma, coils);
            double mean = 0.0, square = 0.0;
            for (float v : m) mean += v;
            mean /= DRAWS;
            for (float v : m) square += (v - mean) * (v - mean);
            const double spread = std::sqrt(square / (DRAWS - 1));
            EXPECT_NEAR(spread, 1.0, 0.06);
            // The inverse of the (sample) expectation is the signal: no magnitude bias, also
            // at zero signal where the algebraic inverse would leave about 1.25 sigma.
            float y = float(mean);
            unstabiliseMagnitude(&y, 1, sigma, coils);
            const double tolerance = 4.0 * sigma / std::sqrt(double(DRAWS)) * 3.0 + 0.01 * sigma;
            EXPECT_NEAR(y, nu * sigma, nu > 0.0 ? tolerance : 0.05 * sigma);
        }
    }
}

TEST(Magnitude, KeepsNonFiniteAndRejectsBadArguments) {
    std::vector<float> v{std::nanf(""), INFINITY, 1.0f};
    stabiliseMagnitude(v.data(), v.size(), 0.1, 1);
    EXPECT_TRUE(std::isnan(v[0]));
    EXPECT_TRUE(std::isinf(v[1]));
    unstabiliseMagnitude(v.data(), v.size(), 0.1, 1);
    // High signal: the unbiased inverse of f(m) is close to sqrt(m^2 - sigma^2), not m.
    EXPECT_NEAR(v[2], std::sqrt(1.0 - 0.01), 1e-3);
    EXPECT_TRUE(std::isnan(v[0]));
    EXPECT_THROW(stabiliseMagnitude(v.data(), 3, 0.0, 1), std::invalid_argument);
    EXPECT_THROW(stabiliseMagnitude(v.data(), 3, 0.1, 0), std::invalid_argument);
    EXPECT_THROW(unstabiliseMagnitude(nullptr, 3, 0.1, 1), std::invalid_argument);
}

}  // namespace
}  // namespace kelvo
