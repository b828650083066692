// Magnitude data: the stabilised noise has unit spread at every signal level and the inverse
// is unbiased, both checked by Monte Carlo against magnitudes drawn from their definition
// (independent of the quadrature that builds the maps).
#include <gtest/gtest.h>

#include <algorithm>
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

// The clearing of the noise floor against a box mean computed sample by sample, on a field
// whose local means cross the level, in a volume and in an image, around a NaN.
TEST(Magnitude, NoiseFloorClearingFollowsTheBoxMean) {
    const double sigma = 0.2;
    for (Size3 size : {Size3{14, 12, 9}, Size3{16, 13, 1}}) {
        std::mt19937_64 rng(99 + size[2]);
        std::uniform_real_distribution<float> value(0.0f, float(1.1 * sigma));
        const std::size_t count = std::size_t(size[0]) * size[1] * size[2];
        std::vector<float> data(count);
        // A ramp along x, so that the box means cross the level halfway.
        for (std::size_t i = 0; i < count; ++i)
            data[i] = value(rng) * 2.0f * (float(i % size[0]) + 0.5f) / float(size[0]);
        const std::size_t nanAt = std::size_t(size[0]) * 2 + 3;  // near a corner
        data[nanAt] = std::nanf("");
        std::vector<float> cleared = data;
        clearNoiseFloor(cleared.data(), size, sigma);
        auto at = [&](int x, int y, int z) {
            return std::size_t(z) * size[0] * size[1] + std::size_t(y) * size[0] + x;
        };
        int zeros = 0, kept = 0;
        for (int z = 0; z < size[2]; ++z)
            for (int y = 0; y < size[1]; ++y)
                for (int x = 0; x < size[0]; ++x) {
                    double sum = 0.0;
                    int n = 0;
                    for (int c = std::max(z - 3, 0); c <= std::min(z + 3, size[2] - 1); ++c)
                        for (int b = std::max(y - 3, 0); b <= std::min(y + 3, size[1] - 1); ++b)
                            for (int a = std::max(x - 3, 0); a <= std::min(x + 3, size[0] - 1);
                                 ++a, ++n)
                                sum += data[at(a, b, c)];
                    const std::size_t i = at(x, y, z);
                    const double level = NOISE_FLOOR_LEVEL * sigma;
                    if (std::isnan(sum)) {
                        EXPECT_TRUE(cleared[i] == data[i] ||
                                    (std::isnan(cleared[i]) && i == nanAt));
                    } else if (std::fabs(sum / n - level) > 1e-5) {
                        const bool empty = sum / n < level;
                        EXPECT_EQ(cleared[i], empty ? 0.0f : data[i]) << x << "," << y << "," << z;
                        (empty ? zeros : kept) += 1;
                    }
                }
        EXPECT_TRUE(std::isnan(cleared[nanAt]));
        EXPECT_GT(zeros, 5);  // both outcomes occur
        EXPECT_GT(kept, 5);
    }
    std::vector<float> v(8, 0.0f);
    EXPECT_THROW(clearNoiseFloor(v.data(), Size3{2, 2, 0}, 0.1), std::invalid_argument);
    EXPECT_THROW(clearNoiseFloor(nullptr, Size3{2, 2, 2}, 0.1), std::invalid_argument);
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
