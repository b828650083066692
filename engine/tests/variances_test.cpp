// Coefficient variances of a transformed group under correlated noise.
//
// The physics is checked against nature: periodic Gaussian noise with a known anisotropic
// PSD is drawn many times on the noise grid (white noise circularly convolved with a small
// anisotropic kernel h, whose PSD E|DFT(x)|^2 is exactly Ftot |H(f)|^2), blocks are cut at
// chosen relative positions, transformed with the block matrices and along the group, and
// the empirical variance of every coefficient is compared with calculateVariances and with
// the local variance array. A brute-force double-precision evaluation of the same variance
// formula over the full grid pins the values down to rounding.
#include "kelvo/engine/variances.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kelvo/engine/memory.h"
#include "kelvo/engine/noise_spectrum.h"
#include "kelvo/engine/variance_kernels.h"
#include "reference_matrices.h"

namespace kelvo {
namespace {

const double EPS = std::numeric_limits<float>::epsilon();
const double PI = 3.141592653589793;

std::vector<float> dct(int n) { return testing::dctMatrix(n); }

const float S2 = 0.70710677f;
const std::vector<float> HAAR4 = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, -0.5f, -0.5f,
                                  S2,   -S2,  0.0f, 0.0f, 0.0f, 0.0f, S2,    -S2};
const std::vector<float> SIZE2 = {S2, S2, S2, -S2};

struct Tap {
    int t0, t1, t2;
    double v;
};

// Strongly correlated along dimension 0, mildly along 1, weakly along 2.
const std::vector<Tap> KERNEL = {{0, 0, 0, 1.0},  {1, 0, 0, 0.9},  {2, 0, 0, 0.6}, {3, 0, 0, 0.3},
                                 {0, 1, 0, 0.35}, {1, 1, 0, -0.2}, {0, 0, 1, 0.15}};

struct Scenario {
    std::string name;
    Vec3<int> n;
    Vec3<int> F;
    int Fp0;
    std::vector<float> m[3];
    std::vector<Vec3<int>> pos;  ///< block corners on the periodic grid
    std::vector<float> G;        ///< count x count, row = output component
    int count() const { return static_cast<int>(pos.size()); }
    int B() const { return n.x * n.y * n.z; }
    long long Ftot() const { return static_cast<long long>(F.x) * F.y * F.z; }
};

int wrap(int a, int n) { return ((a % n) + n) % n; }

// PSD of h on the F grid, dimension 0 fastest: Ftot |H(f)|^2.
std::vector<float> kernelPsd(const Scenario& s) {
    std::vector<float> psd(s.Ftot());
    long long idx = 0;
    for (int f2 = 0; f2 < s.F.z; ++f2)
        for (int f1 = 0; f1 < s.F.y; ++f1)
            for (int f0 = 0; f0 < s.F.x; ++f0, ++idx) {
                std::complex<double> H = 0.0;
                for (const Tap& t : KERNEL) {
                    const double a = -2 * PI *
                                     (double(f0) * t.t0 / s.F.x + double(f1) * t.t1 / s.F.y +
                                      double(f2) * t.t2 / s.F.z);
                    H += t.v * std::complex<double>(std::cos(a), std::sin(a));
                }
                psd[idx] = static_cast<float>(s.Ftot() * std::norm(H));
            }
    return psd;
}

// Prepared arrays and the engine's answer for one setup.
struct Engine {
    float* K3 = nullptr;
    float* lv = nullptr;
    std::vector<float> var;
    ~Engine() {
        std::free(K3);
        std::free(lv);
    }
};

Parameters parametersFor(const Scenario& s) {
    Parameters p{};
    p.blockSize = s.n;
    p.fftSize = s.F;
    p.realFft = s.Fp0 < s.F.x;
    p.maxGroupSize = s.count();
    p.varianceLimit = s.count();
    return p;
}

std::vector<BlockDistance<float>> matchesFor(const Scenario& s) {
    Vec3<int> lo = s.pos[0];
    for (const auto& p : s.pos)
        for (int d = 0; d < 3; ++d) lo[d] = std::min(lo[d], p[d]);
    std::vector<BlockDistance<float>> m(s.count());
    for (int b = 0; b < s.count(); ++b) {
        for (int d = 0; d < 3; ++d) m[b].shiftedPosition[d] = s.pos[b][d] - lo[d];
    }
    return m;
}

void runEngine(const Scenario& s, const std::vector<float>& psd, int K, Engine& e) {
    const Vec3<int> Fp{s.Fp0, s.F.y, s.F.z};
    computeK3fT3(psd.data(), s.F, s.F, Fp, s.n, {s.m[0].data(), s.m[1].data(), s.m[2].data()},
                 e.K3);
    ASSERT_NE(e.K3, nullptr);
    computeLocalVar(e.K3, Fp, s.B(), e.lv);
    ASSERT_NE(e.lv, nullptr);
    TempMemory temp = createTempMemory<float>(parametersFor(s));
    ASSERT_TRUE(temp.ok);
    e.var.assign(static_cast<std::size_t>(s.B()) * s.count(), -1.0f);
    Cube4D<float> out;
    out.x = s.n.x;
    out.y = s.n.y;
    out.z = s.n.z;
    out.n = s.count();
    out.data = e.var.data();
    std::vector<BlockDistance<float>> matches = matchesFor(s);
    calculateVariances(s.count(), s.n, s.F, Fp, K, s.G.data(), e.K3, e.lv, out, matches.data(),
                       temp);
}

// var(i, k) = 1/Ftot^2 sum_f P(f) |W_i(f)|^2 |sum_b G[k,b] e^{-2 pi i f.p_b/F}|^2 over the
// full grid, in double, with W_i the 3-D DFT of the basis function of coefficient i.
std::vector<double> bruteForce(const Scenario& s, const std::vector<float>& psd) {
    const int B = s.B(), N = s.count();
    std::vector<double> var(static_cast<std::size_t>(B) * N, 0.0);
    const double Ftot = static_cast<double>(s.Ftot());
    // per-dimension row spectra |sum_t m[b][t] e^{-2 pi i f t / F}|^2
    std::vector<double> P[3];
    for (int d = 0; d < 3; ++d) {
        P[d].assign(static_cast<std::size_t>(s.n[d]) * s.F[d], 0.0);
        for (int b = 0; b < s.n[d]; ++b)
            for (int f = 0; f < s.F[d]; ++f) {
                std::complex<double> acc = 0.0;
                for (int t = 0; t < s.n[d]; ++t) {
                    const double a = -2 * PI * double(f) * t / s.F[d];
                    acc += double(s.m[d][b * s.n[d] + t]) *
                           std::complex<double>(std::cos(a), std::sin(a));
                }
                P[d][b * s.F[d] + f] = std::norm(acc);
            }
    }
    long long idx = 0;
    for (int f2 = 0; f2 < s.F.z; ++f2)
        for (int f1 = 0; f1 < s.F.y; ++f1)
            for (int f0 = 0; f0 < s.F.x; ++f0, ++idx) {
                const double R = psd[idx] / (Ftot * Ftot);
                for (int k = 0; k < N; ++k) {
                    std::complex<double> g = 0.0;
                    for (int b = 0; b < N; ++b) {
                        const double a =
                            -2 * PI *
                            (double(f0) * s.pos[b].x / s.F.x + double(f1) * s.pos[b].y / s.F.y +
                             double(f2) * s.pos[b].z / s.F.z);
                        g +=
                            double(s.G[k * N + b]) * std::complex<double>(std::cos(a), std::sin(a));
                    }
                    const double pk = std::norm(g) * R;
                    int i = 0;
                    for (int b2 = 0; b2 < s.n.z; ++b2)
                        for (int b1 = 0; b1 < s.n.y; ++b1)
                            for (int b0 = 0; b0 < s.n.x; ++b0, ++i) {
                                var[k * B + i] += pk * P[0][b0 * s.F.x + f0] *
                                                  P[1][b1 * s.F.y + f1] * P[2][b2 * s.F.z + f2];
                            }
                }
            }
    return var;
}

// Separable forward transform of one block (dimension 0 fastest) in double.
void transformBlock(const Scenario& s, std::vector<double>& v, std::vector<double>& tmp) {
    const int n0 = s.n.x, n1 = s.n.y, n2 = s.n.z;
    const long long st[3] = {1, n0, static_cast<long long>(n0) * n1};
    for (int d = 0; d < 3; ++d) {
        const int L = s.n[d];
        if (L == 1 && s.m[d][0] == 1.0f) continue;
        tmp = v;
        for (int c = 0; c < n2; ++c)
            for (int b = 0; b < n1; ++b)
                for (int a = 0; a < n0; ++a) {
                    const int coord[3] = {a, b, c};
                    if (coord[d] != 0) continue;
                    const long long base = a * st[0] + b * st[1] + c * st[2];
                    for (int j = 0; j < L; ++j) {
                        double acc = 0.0;
                        for (int t = 0; t < L; ++t)
                            acc += s.m[d][j * L + t] * tmp[base + t * st[d]];
                        v[base + j * st[d]] = acc;
                    }
                }
    }
}

struct Empirical {
    std::vector<double> group;  ///< mean g^2 per (k, i)
    std::vector<double> block;  ///< mean c^2 per (b, i)
};

Empirical monteCarlo(const Scenario& s, int R, unsigned seed) {
    const int B = s.B(), N = s.count();
    const long long Ftot = s.Ftot();
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> w(Ftot), x(Ftot), tmp;
    std::vector<std::vector<double>> c(N, std::vector<double>(B));
    Empirical e;
    e.group.assign(static_cast<std::size_t>(B) * N, 0.0);
    e.block.assign(static_cast<std::size_t>(B) * N, 0.0);
    auto at = [&](int a, int b, int z) {
        return wrap(a, s.F.x) +
               s.F.x * (wrap(b, s.F.y) + static_cast<long long>(s.F.y) * wrap(z, s.F.z));
    };
    // Circular convolution x = h * w through precomputed source indices, and the grid
    // index of every block sample.
    const int T = static_cast<int>(KERNEL.size());
    std::vector<long long> src(static_cast<std::size_t>(T) * Ftot);
    for (int z = 0; z < s.F.z; ++z)
        for (int y = 0; y < s.F.y; ++y)
            for (int a = 0; a < s.F.x; ++a)
                for (int t = 0; t < T; ++t)
                    src[t * Ftot + at(a, y, z)] =
                        at(a - KERNEL[t].t0, y - KERNEL[t].t1, z - KERNEL[t].t2);
    std::vector<long long> sample(static_cast<std::size_t>(N) * B);
    for (int b = 0; b < N; ++b) {
        int i = 0;
        for (int t2 = 0; t2 < s.n.z; ++t2)
            for (int t1 = 0; t1 < s.n.y; ++t1)
                for (int t0 = 0; t0 < s.n.x; ++t0, ++i)
                    sample[b * B + i] = at(s.pos[b].x + t0, s.pos[b].y + t1, s.pos[b].z + t2);
    }
    for (int r = 0; r < R; ++r) {
        for (double& v : w) v = normal(rng);
        std::fill(x.begin(), x.end(), 0.0);
        for (int t = 0; t < T; ++t) {
            const long long* st = src.data() + t * Ftot;
            const double h = KERNEL[t].v;
            for (long long v = 0; v < Ftot; ++v) x[v] += h * w[st[v]];
        }
        for (int b = 0; b < N; ++b) {
            for (int i = 0; i < B; ++i) c[b][i] = x[sample[b * B + i]];
            transformBlock(s, c[b], tmp);
            for (int j = 0; j < B; ++j) e.block[b * B + j] += c[b][j] * c[b][j];
        }
        for (int k = 0; k < N; ++k)
            for (int j = 0; j < B; ++j) {
                double g = 0.0;
                for (int b = 0; b < N; ++b) g += s.G[k * N + b] * c[b][j];
                e.group[k * B + j] += g * g;
            }
    }
    for (double& v : e.group) v /= R;
    for (double& v : e.block) v /= R;
    return e;
}

std::vector<Scenario> setups() {
    std::vector<Scenario> list;
    const std::vector<float> one = {1.0f};
    {
        Scenario s;  // 3-D default: cubic blocks, half spectrum, overlapping and distant blocks
        s.name = "4x4x4 on 8x8x8, half spectrum";
        s.n = {4, 4, 4};
        s.F = {8, 8, 8};
        s.Fp0 = 5;
        s.m[0] = s.m[1] = s.m[2] = dct(4);
        s.pos = {{0, 0, 0}, {1, 2, 0}, {3, 0, 1}, {9, 13, 6}};
        s.G = dct(4);
        list.push_back(s);
        s.name = "4x4x4 on 8x8x8, full spectrum, Haar group";
        s.Fp0 = 8;
        s.G = HAAR4;
        list.push_back(s);
    }
    {
        Scenario s;  // 2-D default: flat blocks
        s.name = "8x8x1 on 16x16x1, half spectrum";
        s.n = {8, 8, 1};
        s.F = {16, 16, 1};
        s.Fp0 = 9;
        s.m[0] = s.m[1] = dct(8);
        s.m[2] = one;
        s.pos = {{2, 3, 0}, {3, 3, 0}, {20, 7, 0}, {5, 12, 0}};
        s.G = HAAR4;
        list.push_back(s);
        s.name = "8x8x1 on 16x16x1, full spectrum, two blocks";
        s.Fp0 = 16;
        s.pos = {{0, 0, 0}, {1, 2, 0}};
        s.G = SIZE2;
        list.push_back(s);
    }
    {
        Scenario s;  // different sizes and matrices per dimension, non-cubic grid
        s.name = "8x4x2 mixed matrices on 16x8x4, half spectrum";
        s.n = {8, 4, 2};
        s.F = {16, 8, 4};
        s.Fp0 = 9;
        s.m[0] = dct(8);
        s.m[1] = HAAR4;
        s.m[2] = {0.8f, 0.6f, 0.3f, -0.9f};  // neither symmetric nor orthonormal
        s.pos = {{0, 0, 0}, {5, 1, 1}, {17, 6, 3}};
        s.G = {0.6f, 0.5f, 0.4f, 0.7f, -0.1f, -0.6f, 0.2f, -0.8f, 0.55f};
        list.push_back(s);
        s.name = "8x4x2 mixed matrices on 16x8x4, full spectrum";
        s.Fp0 = 16;
        list.push_back(s);
    }
    return list;
}

TEST(Variances, AgreeWithABruteForceEvaluationOverTheFullGrid) {
    for (const Scenario& s : setups()) {
        SCOPED_TRACE(s.name);
        const std::vector<float> psd = kernelPsd(s);
        Engine e;
        runEngine(s, psd, s.count(), e);
        const std::vector<double> expected = bruteForce(s, psd);
        const int B = s.B();
        for (int k = 0; k < s.count(); ++k) {
            double gl1 = 0.0;
            for (int b = 0; b < s.count(); ++b) gl1 += std::abs(s.G[k * s.count() + b]);
            for (int i = 0; i < B; ++i) {
                // the sum has nonnegative terms: relative rounding of the m-term float sum,
                // plus the FFT's absolute error on |DFT(plane)|^2 <= (sum |G|)^2
                const double tol = s.Ftot() * EPS * (expected[k * B + i] + gl1 * gl1 * e.lv[i]);
                ASSERT_NEAR(e.var[k * B + i], expected[k * B + i], tol) << "k " << k << " i " << i;
            }
        }
    }
}

TEST(Variances, MatchMonteCarloNoiseForEveryCoefficient) {
    const int R = 20000;
    unsigned seed = 1234;
    std::printf("Monte Carlo: %d realisations per setup, seeds from %u\n", R, seed);
    for (const Scenario& s : setups()) {
        SCOPED_TRACE(s.name);
        const std::vector<float> psd = kernelPsd(s);
        Engine e;
        runEngine(s, psd, s.count(), e);
        const Empirical emp = monteCarlo(s, R, seed++);
        const int B = s.B();
        // mean of R squares of N(0, v): standard deviation v sqrt(2 / R); 5.5 of them.
        const double z = 5.5 * std::sqrt(2.0 / R);
        double lvMax = 0.0;
        for (int i = 0; i < B; ++i) lvMax = std::max(lvMax, double(e.lv[i]));
        const double floor = s.Ftot() * EPS * 4.0 * lvMax;
        int worst = 0;
        double worstRatio = 0.0;
        for (int k = 0; k < s.count(); ++k)
            for (int i = 0; i < B; ++i) {
                const double v = e.var[k * B + i];
                const double d = std::abs(emp.group[k * B + i] - v);
                EXPECT_LE(d, z * v + floor)
                    << "group component " << k << " coefficient " << i << " predicted " << v
                    << " measured " << emp.group[k * B + i];
                if (v > 0 && d / v > worstRatio) {
                    worstRatio = d / v;
                    worst = k * B + i;
                }
            }
        std::printf("%s: largest relative deviation %.4f at %d (bound %.4f)\n", s.name.c_str(),
                    worstRatio, worst, z);
        for (int b = 0; b < s.count(); ++b)
            for (int i = 0; i < B; ++i) {
                const double v = e.lv[i];
                EXPECT_LE(std::abs(emp.block[b * B + i] - v), z * v + floor)
                    << "block " << b << " coefficient " << i;
            }
    }
}

TEST(Variances, RemainingComponentsShareTheLeftoverEnergy) {
    Scenario s = setups()[0];  // orthonormal group matrix: sum_k var(i, k) = count * localVar[i]
    const std::vector<float> psd = kernelPsd(s);
    Engine exact;
    runEngine(s, psd, s.count(), exact);
    const int B = s.B();
    for (int K = 0; K < s.count(); ++K) {
        Engine part;
        runEngine(s, psd, K, part);
        for (int i = 0; i < B; ++i) {
            double rest = 0.0;
            for (int k = K; k < s.count(); ++k) rest += exact.var[k * B + i];
            rest /= s.count() - K;
            for (int k = 0; k < s.count(); ++k) {
                const double want = k < K ? exact.var[k * B + i] : rest;
                ASSERT_NEAR(part.var[k * B + i], want, s.Ftot() * EPS * s.count() * exact.lv[i])
                    << "K " << K << " k " << k << " i " << i;
            }
        }
    }
}

TEST(Variances, OneBlockGivesTheRowSumsAndCoincidingBlocksAdd) {
    Scenario s = setups()[0];
    const std::vector<float> psd = kernelPsd(s);
    const int B = s.B();
    {
        Scenario one = s;
        one.pos = {{5, 6, 7}};
        one.G = {1.0f};
        Engine e;
        runEngine(one, psd, 1, e);
        for (int i = 0; i < B; ++i) ASSERT_NEAR(e.var[i], e.lv[i], s.Ftot() * EPS * e.lv[i]) << i;
    }
    {
        // Two blocks that coincide modulo the grid: plane 0 holds 2/sqrt(2) in one entry
        // (power 2 everywhere), plane 1 holds 0.
        Scenario two = s;
        two.pos = {{1, 2, 3}, {9, 10, 11}};
        two.G = SIZE2;
        Engine e;
        runEngine(two, psd, 2, e);
        for (int i = 0; i < B; ++i) {
            ASSERT_NEAR(e.var[i], 2 * S2 * S2 * 2 * e.lv[i], s.Ftot() * EPS * 2 * e.lv[i]) << i;
            ASSERT_EQ(e.var[B + i], 0.0f) << i;
        }
    }
    {
        // Shifted positions are reduced modulo the grid in place, negative ones included.
        const Vec3<int> Fp{s.Fp0, s.F.y, s.F.z};
        Engine e;
        runEngine(s, psd, 4, e);
        TempMemory temp = createTempMemory<float>(parametersFor(s));
        std::vector<BlockDistance<float>> m(2);
        m[0].shiftedPosition = {-7, -6, -5};
        m[1].shiftedPosition = {17, 18, 19};
        std::vector<float> var(2 * B);
        Cube4D<float> out{s.n.x, s.n.y, s.n.z, 2, var.data()};
        calculateVariances(2, s.n, s.F, Fp, 2, SIZE2.data(), e.K3, e.lv, out, m.data(), temp);
        EXPECT_EQ(m[0].shiftedPosition, (Vec3<int>{1, 2, 3}));
        EXPECT_EQ(m[1].shiftedPosition, (Vec3<int>{1, 2, 3}));
        for (int i = 0; i < B; ++i) EXPECT_EQ(var[B + i], 0.0f);
    }
}

// The exact covariance of the transformed group, straight from the noise's non-periodic
// autocovariance: var(i, k) = sum_{b,b'} G[k,b] G[k,b'] sum_{u,v} T_i[u] T_i[v] C(p_b + u - p_b' -
// v), with C(x) = sum_t h_t h_{t-x} for the kernel noise, or s2 * [x == 0] for white noise.
std::vector<double> exactCovariance(const Scenario& s, const std::vector<Tap>& kernel, double s2) {
    const int B = s.B(), N = s.count();
    const auto C = [&](int x0, int x1, int x2) {
        if (kernel.empty()) return x0 == 0 && x1 == 0 && x2 == 0 ? s2 : 0.0;
        double acc = 0.0;
        for (const Tap& a : kernel)
            for (const Tap& b : kernel)
                if (a.t0 - b.t0 == x0 && a.t1 - b.t1 == x1 && a.t2 - b.t2 == x2) acc += a.v * b.v;
        return acc;
    };
    // Basis function of every coefficient, as a block of samples.
    std::vector<std::vector<double>> basis(B, std::vector<double>(B));
    for (int i = 0; i < B; ++i) {
        const int j0 = i % s.n.x, j1 = (i / s.n.x) % s.n.y, j2 = i / (s.n.x * s.n.y);
        for (int u = 0; u < B; ++u) {
            const int u0 = u % s.n.x, u1 = (u / s.n.x) % s.n.y, u2 = u / (s.n.x * s.n.y);
            basis[i][u] =
                double(s.m[0][j0 * s.n.x + u0]) * s.m[1][j1 * s.n.y + u1] * s.m[2][j2 * s.n.z + u2];
        }
    }
    std::vector<double> var(static_cast<std::size_t>(B) * N, 0.0);
    for (int b = 0; b < N; ++b)
        for (int c = 0; c < N; ++c)
            for (int i = 0; i < B; ++i) {
                double cov = 0.0;
                for (int u = 0; u < B; ++u)
                    for (int v = 0; v < B; ++v) {
                        const double t = basis[i][u] * basis[i][v];
                        if (t == 0.0) continue;
                        cov +=
                            t *
                            C(s.pos[b].x + u % s.n.x - s.pos[c].x - v % s.n.x,
                              s.pos[b].y + (u / s.n.x) % s.n.y - s.pos[c].y - (v / s.n.x) % s.n.y,
                              s.pos[b].z + u / (s.n.x * s.n.y) - s.pos[c].z - v / (s.n.x * s.n.y));
                    }
                for (int k = 0; k < N; ++k)
                    var[k * B + i] += double(s.G[k * N + b]) * s.G[k * N + c] * cov;
            }
    return var;
}

std::vector<float> lagVariances(const Scenario& s, const std::vector<float>& psd,
                                Vec3<int> maxSpacing, int K) {
    NoiseLags lags;
    EXPECT_TRUE(buildNoiseLags(psd.data(), s.F, s.F, s.n,
                               {s.m[0].data(), s.m[1].data(), s.m[2].data()}, maxSpacing, lags));
    std::vector<float> var(static_cast<std::size_t>(s.B()) * s.count(), -1.0f);
    Cube4D<float> out{s.n.x, s.n.y, s.n.z, s.count(), var.data()};
    const std::vector<BlockDistance<float>> matches = matchesFor(s);
    calculateVariancesFromLags(s.count(), K, s.G.data(), lags, out, matches.data());
    return var;
}

TEST(Variances, LagTableGivesTheExactCovarianceForMembersAnySearchWindowApart) {
    // Members up to twice the search radius apart (10 for the volume defaults, 24 for the
    // images), farther than half the noise grid, where a periodic grid would alias them.
    Scenario cube = setups()[0];
    cube.pos = {{0, 0, 0}, {6, 0, 0}, {8, 1, 0}, {1, 10, 3}, {10, 10, 10}, {2, 3, 9}};
    cube.G = dct(6);
    Scenario flat = setups()[2];
    flat.pos = {{0, 0, 0},   {12, 0, 0}, {16, 3, 0}, {5, 24, 0},
                {24, 24, 0}, {3, 5, 0},  {9, 2, 0},  {20, 20, 0}};
    flat.G = dct(8);
    Scenario mixed = setups()[4];  // non-orthonormal matrices, non-cubic grid
    mixed.pos = {{0, 0, 0}, {9, 1, 1}, {14, 6, 3}, {3, 5, 0}};
    mixed.G = dct(4);
    const Vec3<int> spacing{24, 24, 10};
    for (Scenario* s : {&cube, &flat, &mixed}) {
        for (bool white : {true, false}) {
            if (white == false && s->n.z == 1) continue;  // the kernel reaches along dimension 2
            SCOPED_TRACE(s->name + (white ? ", white" : ", correlated"));
            const double s2 = 0.37;
            const std::vector<float> psd =
                white ? std::vector<float>(s->Ftot(), float(s2 * s->Ftot())) : kernelPsd(*s);
            const std::vector<double> want =
                exactCovariance(*s, white ? std::vector<Tap>{} : KERNEL, s2);
            for (int K : {s->count(), 2}) {
                const std::vector<float> got = lagVariances(*s, psd, spacing, K);
                const int B = s->B();
                double scale = 0.0;
                for (int i = 0; i < B; ++i) scale = std::max(scale, want[i] + want[B + i]);
                for (int k = 0; k < s->count(); ++k)
                    for (int i = 0; i < B; ++i) {
                        double expected = want[k * B + i];
                        if (k >= K) {  // the remainder rule over the exact components
                            double rest = 0.0;
                            for (int c = K; c < s->count(); ++c) rest += want[c * B + i];
                            expected = rest / (s->count() - K);
                        }
                        ASSERT_NEAR(got[k * B + i], expected, 2e-5 * scale)
                            << "K " << K << " k " << k << " i " << i;
                    }
            }
        }
    }
    // The plain case of a fault once seen: two blocks 6 or 8 apart under white noise are
    // independent, so both components keep the single block's variance.
    for (int gap : {6, 8}) {
        Scenario two = setups()[0];
        two.pos = {{0, 0, 0}, {gap, 0, 0}};
        two.G = SIZE2;
        const std::vector<float> got =
            lagVariances(two, std::vector<float>(two.Ftot(), 512.0f), {10, 10, 10}, 2);
        for (float v : got) ASSERT_NEAR(v, 1.0f, 1e-5f) << "gap " << gap;
    }
    // The table also carries the PSD's flatness, mean(PSD)^2 / mean(PSD^2), which picks the
    // Wiener threshold's candidates: 1 for a flat PSD, 4 / 5 for one of 3 at even f0 and 1 at
    // odd f0 (symmetric, as a PSD of real noise is).
    const Scenario s = setups()[0];
    std::vector<float> psd(s.Ftot(), 2.0f);
    for (bool flat : {true, false}) {
        if (!flat)
            for (int f = 0; f < s.Ftot(); ++f) psd[f] = f % 2 == 0 ? 3.0f : 1.0f;
        NoiseLags lags;
        ASSERT_TRUE(buildNoiseLags(psd.data(), s.F, s.F, s.n,
                                   {s.m[0].data(), s.m[1].data(), s.m[2].data()}, {8, 8, 8}, lags));
        EXPECT_EQ(lags.white, flat);
        EXPECT_NEAR(lags.flatness, flat ? 1.0f : 0.8f, 1e-6f);
    }
}

TEST(Variances, LagTableAgreesWithThePeriodicGridWhereTheGridDoesNotAlias) {
    // On a 16^3 grid the periodic computation sees members up to 9 apart as they are, so
    // the two must agree there.
    Scenario s = setups()[0];
    s.F = {16, 16, 16};
    s.Fp0 = 9;
    s.pos = {{0, 0, 0}, {1, 2, 0}, {3, 0, 1}, {9, 4, 6}, {5, 9, 2}};
    s.G = dct(5);
    for (bool white : {true, false}) {
        SCOPED_TRACE(white ? "white" : "correlated");
        const std::vector<float> psd =
            white ? std::vector<float>(s.Ftot(), 3.0f * s.Ftot()) : kernelPsd(s);
        Engine e;
        runEngine(s, psd, 2, e);
        const std::vector<float> got = lagVariances(s, psd, {10, 10, 10}, 2);
        double scale = 0.0;
        for (int i = 0; i < s.B(); ++i) scale = std::max(scale, double(e.lv[i]));
        for (std::size_t j = 0; j < got.size(); ++j)
            ASSERT_NEAR(got[j], e.var[j], 1e-4 * scale) << j;
    }
}

TEST(Variances, BadArgumentsThrowBeforeAnythingChanges) {
    Scenario s = setups()[0];
    const std::vector<float> psd = kernelPsd(s);
    Engine e;
    runEngine(s, psd, 4, e);
    TempMemory temp = createTempMemory<float>(parametersFor(s));
    const int B = s.B();
    std::vector<float> var(4 * B, -3.0f);
    Cube4D<float> out{s.n.x, s.n.y, s.n.z, 4, var.data()};
    std::vector<BlockDistance<float>> m = matchesFor(s);
    m[3].shiftedPosition = {33, 1, 2};
    const Vec3<int> Fp{5, 8, 8};
    const float* G = s.G.data();
    auto unchanged = [&]() {
        EXPECT_EQ(m[3].shiftedPosition, (Vec3<int>{33, 1, 2}));
        for (float v : var) ASSERT_EQ(v, -3.0f);
    };
    EXPECT_THROW(
        calculateVariances(4, s.n, {12, 8, 8}, {12, 8, 8}, 4, G, e.K3, e.lv, out, m.data(), temp),
        std::exception);
    EXPECT_THROW(
        calculateVariances(4, s.n, {8, 8, 2}, {5, 8, 2}, 4, G, e.K3, e.lv, out, m.data(), temp),
        std::exception);
    EXPECT_THROW(calculateVariances(4, s.n, s.F, {4, 8, 8}, 4, G, e.K3, e.lv, out, m.data(), temp),
                 std::exception);
    EXPECT_THROW(calculateVariances(4, s.n, s.F, Fp, 5, G, e.K3, e.lv, out, m.data(), temp),
                 std::exception);
    EXPECT_THROW(calculateVariances(4, s.n, s.F, Fp, 2, G, e.K3, nullptr, out, m.data(), temp),
                 std::exception);
    EXPECT_THROW(calculateVariances(4, s.n, {16, 16, 16}, {9, 16, 16}, 2, G, e.K3, e.lv, out,
                                    m.data(), temp),
                 std::exception);
    Cube4D<float> small{s.n.x, s.n.y, s.n.z, 3, var.data()};
    EXPECT_THROW(calculateVariances(4, s.n, s.F, Fp, 4, G, e.K3, e.lv, small, m.data(), temp),
                 std::exception);
    NoiseLags lags;
    EXPECT_TRUE(buildNoiseLags(psd.data(), s.F, s.F, s.n,
                               {s.m[0].data(), s.m[1].data(), s.m[2].data()}, {8, 8, 8}, lags));
    EXPECT_THROW(calculateVariancesFromLags(4, 5, G, lags, out, m.data()), std::exception);
    EXPECT_THROW(calculateVariancesFromLags(4, 2, G, lags, small, m.data()), std::exception);
    EXPECT_THROW(calculateVariancesFromLags(4, 2, G, NoiseLags{}, out, m.data()), std::exception);
    EXPECT_THROW(buildNoiseLags(psd.data(), s.F, s.F, {0, 4, 4}, {G, G, G}, {8, 8, 8}, lags),
                 std::exception);
    unchanged();
}

}  // namespace
}  // namespace kelvo

namespace kelvo {
namespace {

// The lag path's vector kernel against its plain twin, bit for bit: whole 16-coefficient
// chunks, a chunk of 8 and a remainder of 1 to 7 (216 = 13 x 16 + 8, 27 = 16 + 8 + 3,
// 125 = 7 x 16 + 8 + 5, 10 = 8 + 2, 7), every component count, zero weights, and more pairs
// than a batch.
TEST(Variances, LagPairKernelEqualsThePlainLoopBitForBit) {
    std::mt19937 rng(5);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (int B : {64, 27, 216, 125, 10, 7}) {
        std::vector<float> table(static_cast<std::size_t>(B) * 40);
        for (float& t : table) t = normal(rng);
        for (int components = 1; components <= LAG_PAIR_COMPONENTS; ++components) {
            for (int pairs : {0, 1, 300}) {
                std::vector<const float*> rows(static_cast<std::size_t>(pairs));
                std::vector<float> w(static_cast<std::size_t>(pairs) * LAG_PAIR_COMPONENTS);
                for (int p = 0; p < pairs; ++p) rows[p] = table.data() + B * (rng() % 40);
                for (float& x : w) x = rng() % 3 == 0 ? 0.0f : normal(rng);
                std::vector<float> fast(static_cast<std::size_t>(B) * components);
                for (float& x : fast) x = std::fabs(normal(rng));
                std::vector<float> plain = fast;
                accumulateLagPairs(fast.data(), B, components, rows.data(), w.data(), pairs);
                accumulateLagPairsPlain(plain.data(), B, components, rows.data(), w.data(), pairs);
                EXPECT_EQ(0, std::memcmp(fast.data(), plain.data(), sizeof(float) * fast.size()))
                    << "B " << B << ", components " << components << ", pairs " << pairs;
            }
        }
    }
}

// A group of 32 overlapping members (496 correlated pairs, two batches) and K = 6 (two
// passes of components): the lag path equals the pairwise sum written out in pair order.
TEST(Variances, LagPathOfALargeGroupEqualsThePairwiseSum) {
    const Vec3<int> n{4, 4, 4};
    const int B = 64, K = 6;
    const std::vector<float> m = dct(4);
    const std::vector<float> psd(512, 0.01f * 512);  // white, on an 8^3 grid
    NoiseLags lags;
    ASSERT_TRUE(buildNoiseLags(psd.data(), {8, 8, 8}, {8, 8, 8}, n, {m.data(), m.data(), m.data()},
                               {10, 10, 10}, lags));
    std::mt19937 rng(9);
    std::normal_distribution<float> normal(0.0f, 0.2f);
    // Members packed (every pair within the table's reach) and spread (many pairs beyond it);
    // 72 members take the listing's path for groups too large for its position arrays.
    for (int count : {32, 37, 72}) {
        for (int spacing : {1, 2}) {
            std::vector<float> G(static_cast<std::size_t>(count) * count);
            for (float& g : G) g = rng() % 4 == 0 ? 0.0f : normal(rng);
            std::vector<BlockDistance<float>> matches(count);
            for (int b = 0; b < count; ++b)
                matches[b].shiftedPosition = {b % 4 * spacing, (b / 4) % 4 * spacing,
                                              b / 16 * spacing};
            std::vector<float> var(static_cast<std::size_t>(B) * count);
            Cube4D<float> out{n.x, n.y, n.z, count, var.data()};
            calculateVariancesFromLags(count, K, G.data(), lags, out, matches.data());

            const float* single = lags.variances();
            for (int k = 0; k < K; ++k) {
                float diagonal = 0.0f;
                for (int b = 0; b < count; ++b) diagonal += G[k * count + b] * G[k * count + b];
                for (int i = 0; i < B; ++i) {
                    float v = diagonal * single[i];
                    for (int b = 0; b < count; ++b)
                        for (int c = b + 1; c < count; ++c) {
                            const Vec3<int> pb = matches[b].shiftedPosition,
                                            pc = matches[c].shiftedPosition;
                            const float* row = lags.at({pb.x - pc.x, pb.y - pc.y, pb.z - pc.z});
                            if (!row) continue;  // beyond the reach: uncorrelated
                            const float w = 2.0f * G[k * count + b] * G[k * count + c];
                            v += w * row[i];
                        }
                    ASSERT_EQ(std::max(0.0f, v), var[k * B + i])
                        << count << " members " << spacing << " apart, component " << k
                        << ", coefficient " << i;
                }
            }
        }
    }
}

}  // namespace
}  // namespace kelvo
