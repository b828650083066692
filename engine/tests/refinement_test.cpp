// Refinement pass: against a brute-force computation in the block-sized (d x d) form under
// white and correlated noise, the noise covariance from a spectrum, thread independence,
// coverage by the pilot, and bad parameters.
#include "kelvo/engine/refinement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kelvo {
namespace {

struct Case {
    RefinementParameters params;
    std::vector<float> noisy, pilot;
};

/// A smooth pattern plus noise; the pilot is the pattern with a little noise of its own, so
/// that group covariances are full rank and distances never tie.
Case makeCase(std::array<int, 3> size, std::array<int, 3> block, std::array<int, 3> step,
              std::array<int, 3> radius, int group, unsigned seed) {
    Case c;
    c.params.size = size;
    c.params.blockSize = block;
    c.params.stepSize = step;
    c.params.searchRadius = radius;
    c.params.groupSize = group;
    c.params.noiseVariance = 0.01;
    c.params.numThreads = 1;
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal;
    for (int z = 0; z < size[2]; ++z)
        for (int y = 0; y < size[1]; ++y)
            for (int x = 0; x < size[0]; ++x) {
                const double v = std::sin(0.7 * x + 0.3 * y) + 0.5 * std::cos(0.5 * z - 0.4 * x);
                c.pilot.push_back(float(v + 0.03 * normal(rng)));
                c.noisy.push_back(float(v + 0.1 * normal(rng)));
            }
    return c;
}

/// Solves a x = b (n x n, row-major, symmetric positive definite) by Gaussian elimination
/// with partial pivoting.
std::vector<double> solve(std::vector<double> a, std::vector<double> b, int n) {
    for (int c = 0; c < n; ++c) {
        int p = c;
        for (int r = c + 1; r < n; ++r)
            if (std::fabs(a[r * n + c]) > std::fabs(a[p * n + c])) p = r;
        for (int k = 0; k < n; ++k) std::swap(a[c * n + k], a[p * n + k]);
        std::swap(b[c], b[p]);
        for (int r = c + 1; r < n; ++r) {
            const double f = a[r * n + c] / a[c * n + c];
            for (int k = c; k < n; ++k) a[r * n + k] -= f * a[c * n + k];
            b[r] -= f * b[c];
        }
    }
    std::vector<double> x(n);
    for (int r = n - 1; r >= 0; --r) {
        double s = b[r];
        for (int k = r + 1; k < n; ++k) s -= a[r * n + k] * x[k];
        x[r] = s / a[r * n + r];
    }
    return x;
}

/// The pass as its contract states it: C is the pilot blocks' scatter (d x d), each member
/// gets m + C (C + v I)^-1 (y - m), weighted by 1 / ||C (C + v I)^-1||_F; with a noise
/// covariance S, C (C + S)^-1 in place of C (C + v I)^-1.
std::vector<float> bruteForce(const Case& c) {
    const RefinementParameters& p = c.params;
    const auto& n = p.size;
    const auto& b = p.blockSize;
    const int d = b[0] * b[1] * b[2];
    auto index = [&](int x, int y, int z) { return (std::size_t(z) * n[1] + y) * n[0] + x; };
    std::array<std::vector<int>, 3> refs;
    for (int a = 0; a < 3; ++a) {
        for (int r = 0; r < n[a] - b[a]; r += p.stepSize[a]) refs[a].push_back(r);
        refs[a].push_back(n[a] - b[a]);
    }
    auto block = [&](const std::vector<float>& v, std::array<int, 3> at) {
        std::vector<double> out;
        for (int z = 0; z < b[2]; ++z)
            for (int y = 0; y < b[1]; ++y)
                for (int x = 0; x < b[0]; ++x)
                    out.push_back(v[index(at[0] + x, at[1] + y, at[2] + z)]);
        return out;
    };
    std::vector<double> sums(c.noisy.size(), 0.0), weights(c.noisy.size(), 0.0);
    for (int rz : refs[2])
        for (int ry : refs[1])
            for (int rx : refs[0]) {
                const std::vector<double> reference = block(c.pilot, {rx, ry, rz});
                std::vector<std::pair<double, std::array<int, 3>>> candidates;
                for (int z = std::max(0, rz - p.searchRadius[2]);
                     z <= std::min(n[2] - b[2], rz + p.searchRadius[2]); ++z)
                    for (int y = std::max(0, ry - p.searchRadius[1]);
                         y <= std::min(n[1] - b[1], ry + p.searchRadius[1]); ++y)
                        for (int x = std::max(0, rx - p.searchRadius[0]);
                             x <= std::min(n[0] - b[0], rx + p.searchRadius[0]); ++x) {
                            const std::vector<double> other = block(c.pilot, {x, y, z});
                            double distance = 0;
                            for (int j = 0; j < d; ++j)
                                distance += (other[j] - reference[j]) * (other[j] - reference[j]);
                            candidates.push_back({distance, {x, y, z}});
                        }
                // Candidates at the same distance keep their raster order.
                std::stable_sort(candidates.begin(), candidates.end(),
                                 [](const auto& l, const auto& r) { return l.first < r.first; });
                const int k = std::min<int>(p.groupSize, int(candidates.size()));
                std::vector<std::vector<double>> pilots, noisys;
                std::vector<double> mean(d, 0.0);
                for (int m = 0; m < k; ++m) {
                    pilots.push_back(block(c.pilot, candidates[m].second));
                    noisys.push_back(block(c.noisy, candidates[m].second));
                    for (int j = 0; j < d; ++j) mean[j] += pilots[m][j] / k;
                }
                std::vector<double> scatter(std::size_t(d) * d, 0.0);
                for (int m = 0; m < k; ++m)
                    for (int i = 0; i < d; ++i)
                        for (int j = 0; j < d; ++j)
                            scatter[i * d + j] +=
                                (pilots[m][i] - mean[i]) * (pilots[m][j] - mean[j]) / k;
                // W = C (C + S)^-1; (C + S) is symmetric, so row i of W solves
                // (C + S) w = row i of C.
                std::vector<double> shifted = scatter;
                for (int i = 0; i < d; ++i)
                    for (int j = 0; j < d; ++j)
                        shifted[i * d + j] += p.noiseCovariance.empty()
                                                  ? (i == j ? p.noiseVariance : 0.0)
                                                  : p.noiseCovariance[i * d + j];
                std::vector<double> filter(std::size_t(d) * d);
                double norm = 0;
                for (int i = 0; i < d; ++i) {
                    const std::vector<double> row = solve(
                        shifted, std::vector<double>(&scatter[i * d], &scatter[i * d] + d), d);
                    for (int j = 0; j < d; ++j) {
                        filter[i * d + j] = row[j];
                        norm += row[j] * row[j];
                    }
                }
                const double weight = 1.0 / std::sqrt(std::max(norm, 1e-3));
                for (int m = 0; m < k; ++m) {
                    const auto& at = candidates[m].second;
                    int j = 0;
                    for (int z = 0; z < b[2]; ++z)
                        for (int y = 0; y < b[1]; ++y)
                            for (int x = 0; x < b[0]; ++x, ++j) {
                                double estimate = mean[j];
                                for (int i = 0; i < d; ++i)
                                    estimate += filter[j * d + i] * (noisys[m][i] - mean[i]);
                                const std::size_t s = index(at[0] + x, at[1] + y, at[2] + z);
                                sums[s] += weight * estimate;
                                weights[s] += weight;
                            }
                }
            }
    std::vector<float> out(c.noisy.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = weights[i] > 0 ? float(sums[i] / weights[i]) : c.pilot[i];
    return out;
}

std::vector<float> refined(const Case& c, int threads) {
    RefinementParameters p = c.params;
    p.numThreads = threads;
    std::vector<float> out(c.noisy.size(), -1.0f);
    EXPECT_EQ(refineEstimate(c.noisy.data(), c.pilot.data(), out.data(), p),
              StageOutcome::Completed);
    return out;
}

// The Gram-matrix computation equals the block-sized form on volumes, images, groups smaller
// and larger than a block, windows cut by the borders and steps beyond the block (samples no
// group covers keep the pilot).
TEST(Refinement, AgreesWithTheBlockSizedForm) {
    const Case cases[] = {
        makeCase({11, 10, 9}, {3, 3, 3}, {3, 3, 3}, {2, 2, 2}, 8, 1),
        makeCase({9, 8, 7}, {2, 3, 2}, {2, 1, 3}, {1, 2, 1}, 5, 2),     // group of 5 < d = 12
        makeCase({30, 26, 1}, {4, 4, 1}, {3, 3, 1}, {4, 3, 0}, 24, 3),  // group of 24 > d = 16
        makeCase({12, 12, 6}, {2, 2, 2}, {4, 4, 4}, {1, 1, 1}, 4, 4),   // steps past the block
    };
    // Correlated noise: the covariance of noise averaged over 2 samples along dimension 0 and
    // 3 along dimension 1 (a spectrum on an 8 x 8 x 4 grid), on two of the geometries.
    std::vector<float> psd(8 * 8 * 4);
    for (std::size_t u = 0; u < psd.size(); ++u) {
        const double w0 = 2.0 * std::acos(-1.0) * double(u % 8) / 8.0;
        const double w1 = 2.0 * std::acos(-1.0) * double(u / 8 % 8) / 8.0;
        const double h0 = (1.0 + std::cos(w0)) / 2.0 + 0.05, h1 = (1.0 + 2.0 * std::cos(w1)) / 3.0;
        psd[u] = float(0.02 * 256.0 * (h0 * h0 * 2.0) * (h1 * h1 * 3.0 + 0.1));
    }
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // A pilot on a grid of 0.5: many candidates at exactly the same distance (sums of
    // multiples of 0.25, exact in float), where the nearer position must win; groups of 8, 12
    // and 40 (the nearest kept in one, two and eight vector registers).
    for (auto [from, group] : {std::pair{0, 8}, {0, 12}, {2, 40}}) {
        Case ties = cases[from];
        ties.params.groupSize = group;
        for (float& v : ties.pilot) v = std::round(v * 2.0f) / 2.0f;
        all.push_back(ties);
    }
    for (const Case& white : {cases[0], cases[2]}) {
        Case c = white;
        c.params.noiseCovariance = blockNoiseCovariance(psd.data(), {8, 8, 4}, c.params.blockSize);
        ASSERT_FALSE(c.params.noiseCovariance.empty());
        all.push_back(c);
    }
    for (const Case& c : all) {
        const std::vector<float> expected = bruteForce(c);
        const std::vector<float> got = refined(c, 1);
        double worst = 0, change = 0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            worst = std::max(worst, double(std::fabs(got[i] - expected[i])));
            change = std::max(change, double(std::fabs(got[i] - c.pilot[i])));
        }
        EXPECT_LT(worst, 2e-5) << "block " << c.params.blockSize[0] << "x" << c.params.blockSize[1]
                               << "x" << c.params.blockSize[2];
        EXPECT_GT(change, 1e-3);  // the pass did change the pilot
    }
}

// The covariance within a block is the noise's autocorrelation: for noise filtered by a kernel
// h along each axis, the product over axes of sum_t h(t) h(t + lag).
TEST(Refinement, NoiseCovarianceIsTheSpectrumsAutocorrelation) {
    const double h[3] = {0.25, 0.5, 0.25};  // along dimension 0; [1 1] / 2 along dimension 2
    auto along0 = [&](int lag) {
        double s = 0;
        for (int t = 0; t + std::abs(lag) < 3; ++t) s += h[t] * h[t + std::abs(lag)];
        return s;
    };
    auto along2 = [](int lag) { return lag == 0 ? 0.5 : std::abs(lag) == 1 ? 0.25 : 0.0; };
    const std::array<int, 3> grid{8, 1, 6};
    std::vector<float> psd(8 * 6);
    const double pi = std::acos(-1.0);
    for (int u2 = 0; u2 < 6; ++u2)
        for (int u0 = 0; u0 < 8; ++u0) {
            const double a = 0.5 + 0.5 * std::cos(2 * pi * u0 / 8);  // |H0|, H0 = e^-iw cos^2(w/2)
            const double b = std::cos(pi * u2 / 6);                  // |H2| up to a phase
            psd[u2 * 8 + u0] = float(48.0 * a * a * b * b);
        }
    const std::array<int, 3> block{3, 1, 2};
    const std::vector<double> s = blockNoiseCovariance(psd.data(), grid, block);
    ASSERT_EQ(s.size(), 36u);
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j) {
            const double expected = along0(i % 3 - j % 3) * along2(i / 3 - j / 3);
            EXPECT_NEAR(s[i * 6 + j], expected, 1e-6) << i << ", " << j;
        }
    // White noise: v I. A spectrum with zeros (the [1 1] / 2 kernel along dimension 0 on an
    // even grid) has no positive definite covariance over blocks that see it.
    const std::vector<float> flat(64, 0.5f * 64);
    const std::vector<double> white = blockNoiseCovariance(flat.data(), {4, 4, 4}, {2, 2, 1});
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_NEAR(white[i * 4 + j], i == j ? 0.5 : 0.0, 1e-7);
    std::vector<float> zeros(8);
    for (int u = 0; u < 8; ++u) zeros[u] = float(8.0 * std::pow(std::cos(pi * u / 8), 2));
    EXPECT_TRUE(blockNoiseCovariance(zeros.data(), {8, 1, 1}, {8, 1, 1}).empty());
    EXPECT_FALSE(blockNoiseCovariance(zeros.data(), {8, 1, 1}, {1, 1, 1}).empty());
}

// Every thread count gives the same bits, also when the output is the pilot's own buffer.
TEST(Refinement, SameBitsForEveryThreadCountAndInPlace) {
    const Case c = makeCase({40, 23, 31}, {3, 3, 3}, {3, 3, 3}, {2, 2, 2}, 8, 5);
    const std::vector<float> one = refined(c, 1);
    for (int threads : {2, 3, 0}) EXPECT_EQ(refined(c, threads), one) << threads << " threads";
    std::vector<float> inPlace = c.pilot;
    RefinementParameters p = c.params;
    p.numThreads = 2;
    ASSERT_EQ(refineEstimate(c.noisy.data(), inPlace.data(), inPlace.data(), p),
              StageOutcome::Completed);
    EXPECT_EQ(inPlace, one);
}

TEST(Refinement, CancelledLeavesTheOutputAndBadParametersThrow) {
    const Case c = makeCase({12, 12, 12}, {3, 3, 3}, {3, 3, 3}, {2, 2, 2}, 8, 6);
    std::atomic<bool> cancel{true};
    StageHooks hooks;
    hooks.cancel = &cancel;
    std::vector<float> out(c.noisy.size(), 7.0f);
    EXPECT_EQ(refineEstimate(c.noisy.data(), c.pilot.data(), out.data(), c.params, &hooks),
              StageOutcome::Cancelled);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 7.0f; }));

    auto message = [&](auto change) {
        RefinementParameters p = c.params;
        change(p);
        return validateRefinement(p);
    };
    EXPECT_EQ(message([](RefinementParameters&) {}), "");
    EXPECT_NE(message([](RefinementParameters& p) { p.blockSize[1] = 13; }).find("block"),
              std::string::npos);
    EXPECT_NE(message([](RefinementParameters& p) { p.stepSize[0] = 0; }).find("step"),
              std::string::npos);
    EXPECT_NE(message([](RefinementParameters& p) { p.groupSize = 1; }).find("group size"),
              std::string::npos);
    EXPECT_NE(message([](RefinementParameters& p) { p.groupSize = 65; }).find("group size"),
              std::string::npos);
    EXPECT_NE(message([](RefinementParameters& p) { p.noiseVariance = 0; }).find("variance"),
              std::string::npos);
    EXPECT_NE(message([](RefinementParameters& p) { p.searchRadius[2] = -1; }).find("radius"),
              std::string::npos);
    EXPECT_NE(message([](RefinementParameters& p) {
                  p.noiseCovariance.assign(27 * 26, 0.0);
              }).find("729"),
              std::string::npos);
    EXPECT_NE(message([](RefinementParameters& p) {
                  p.noiseCovariance.assign(27 * 27, 1.0);
              }).find("positive definite"),
              std::string::npos);
    RefinementParameters bad = c.params;
    bad.noiseVariance = std::nan("");
    EXPECT_THROW(refineEstimate(c.noisy.data(), c.pilot.data(), out.data(), bad),
                 std::invalid_argument);
    EXPECT_THROW(refineEstimate(nullptr, c.pilot.data(), out.data(), c.params),
                 std::invalid_argument);
}

}  // namespace
}  // namespace kelvo
