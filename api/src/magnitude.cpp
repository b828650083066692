// Variance stabilisation of magnitude data: the forward map is built from the moments of the
// noncentral chi distribution and the unbiased inverse from the expectation of the forward
// map, both by numerical integration over the channel noise.
#include "kelvo/magnitude.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvo {

namespace {

/// Signal levels (unit channel noise) at which the moments are tabulated: fine steps where
/// the distribution changes shape, coarse ones where it is already close to Gaussian.
constexpr double NU_FINE_STEP = 0.1, NU_FINE_END = 16.0, NU_COARSE_STEP = 0.5, NU_END = 64.0;
/// Step of the forward map's table on the magnitude axis.
constexpr double M_STEP = 0.02;
/// Quadrature step of the channel noise; the integrands are Gaussian-weighted and smooth, so
/// the trapezoid rule at this step is accurate far beyond the tables' interpolation error.
constexpr double Q_STEP = 0.2, Q_RANGE = 8.0;
/// Rounds of correcting the forward map's slope by the spread it actually produces.
constexpr int REFINEMENTS = 8;

/// The forward map f and the expectation E[f(M) | nu] for one number of coils, unit noise.
class MagnitudeMaps {
public:
    explicit MagnitudeMaps(int coils) {
        buildQuadrature(coils);
        for (double nu = 0.0; nu < NU_FINE_END - 1e-9; nu += NU_FINE_STEP) nu_.push_back(nu);
        for (double nu = NU_FINE_END; nu <= NU_END + 1e-9; nu += NU_COARSE_STEP) nu_.push_back(nu);
        const double mEnd = NU_END + std::sqrt(2.0 * coils) + Q_RANGE;
        slope_.assign(std::size_t(mEnd / M_STEP) + 2, 1.0);

        // First guess: slope 1 / std(M | nu) at the mean of M (the first-order stabiliser),
        // then rounds that rescale the slope around each signal's mean by the spread of
        // f(M) there, which also corrects the skewed low-signal distributions.
        std::vector<double> mean(nu_.size()), spread(nu_.size());
        f_.assign(slope_.size(), 0.0);
        for (std::size_t i = 0; i < f_.size(); ++i) f_[i] = double(i) * M_STEP;  // identity
        moments(mean, spread);
        means_ = mean;
        for (std::size_t i = 0; i < slope_.size(); ++i) slope_[i] = 1.0 / spread[nuIndexAt(i)];
        integrate();
        for (int round = 0; round < REFINEMENTS; ++round) {
            moments(mean, spread);
            for (std::size_t i = 0; i < slope_.size(); ++i) slope_[i] /= spread[nuIndexAt(i)];
            integrate();
        }
        expectation_.resize(nu_.size());
        moments(expectation_, spread);
        // E[f(M) | nu] increases with nu; enforce it strictly against rounding so that the
        // inverse is well defined.
        for (std::size_t n = 1; n < expectation_.size(); ++n)
            expectation_[n] = std::max(expectation_[n], expectation_[n - 1] + 1e-9);
    }

    double forward(double m) const {
        if (!(m > 0.0)) return f_[0] + m * slope_[0];
        const double t = m / M_STEP;
        const std::size_t i = std::size_t(t);
        if (i + 1 >= f_.size())
            return f_.back() + (m - M_STEP * double(f_.size() - 1)) * slope_.back();
        const double w = t - double(i);
        return f_[i] + w * (f_[i + 1] - f_[i]);
    }

    double inverse(double y) const {
        if (!(y > expectation_[0])) return 0.0;
        const std::size_t last = expectation_.size() - 1;
        if (y >= expectation_[last]) {
            const double s =
                (expectation_[last] - expectation_[last - 1]) / (nu_[last] - nu_[last - 1]);
            return nu_[last] + (y - expectation_[last]) / s;
        }
        const std::size_t hi = std::size_t(
            std::upper_bound(expectation_.begin(), expectation_.end(), y) - expectation_.begin());
        const std::size_t lo = hi - 1;
        const double w = (y - expectation_[lo]) / (expectation_[hi] - expectation_[lo]);
        return nu_[lo] + w * (nu_[hi] - nu_[lo]);
    }

private:
    /// Nodes and weights for M = sqrt((nu + x)^2 + r^2): x is the noise of the channel part
    /// along the signal, r the magnitude of the remaining 2 * coils - 1 Gaussian components
    /// (chi-distributed). Midpoint nodes keep r = 0 out and handle its half-normal case.
    void buildQuadrature(int coils) {
        const int dof = 2 * coils - 1;
        double sum = 0.0;
        for (double x = -Q_RANGE + 0.5 * Q_STEP; x < Q_RANGE; x += Q_STEP) {
            x_.push_back(x);
            wx_.push_back(std::exp(-0.5 * x * x));
            sum += wx_.back();
        }
        for (double& w : wx_) w /= sum;
        const double centre = std::sqrt(double(dof - 1));
        const double lo = std::max(0.0, centre - Q_RANGE);
        sum = 0.0;
        for (double r = lo + 0.5 * Q_STEP; r < centre + Q_RANGE; r += Q_STEP) {
            r2_.push_back(r * r);
            // chi density up to a constant, in logs to stay finite for many coils
            wr_.push_back(std::exp((dof - 1) * std::log(r) - 0.5 * r * r -
                                   (dof - 1) * std::log(std::max(centre, 1.0)) +
                                   0.5 * centre * centre));
            sum += wr_.back();
        }
        for (double& w : wr_) w /= sum;
    }

    /// Mean and standard deviation of f(M) at every tabulated signal level.
    void moments(std::vector<double>& mean, std::vector<double>& spread) const {
        for (std::size_t n = 0; n < nu_.size(); ++n) {
            double s1 = 0.0, s2 = 0.0;
            for (std::size_t i = 0; i < x_.size(); ++i) {
                const double a = nu_[n] + x_[i];
                const double a2 = a * a;
                double t1 = 0.0, t2 = 0.0;
                for (std::size_t j = 0; j < r2_.size(); ++j) {
                    const double v = forward(std::sqrt(a2 + r2_[j]));
                    t1 += wr_[j] * v;
                    t2 += wr_[j] * v * v;
                }
                s1 += wx_[i] * t1;
                s2 += wx_[i] * t2;
            }
            mean[n] = s1;
            spread[n] = std::sqrt(std::max(s2 - s1 * s1, 1e-12));
        }
    }

    /// The tabulated signal level whose mean magnitude is nearest below sample i of the
    /// magnitude axis (the first level for magnitudes under the zero-signal mean).
    std::size_t nuIndexAt(std::size_t i) const {
        const double m = double(i) * M_STEP;
        const auto it = std::upper_bound(means_.begin(), means_.end(), m);
        return it == means_.begin() ? 0 : std::size_t(it - means_.begin()) - 1;
    }

    void integrate() {
        f_[0] = 0.0;
        for (std::size_t i = 1; i < f_.size(); ++i)
            f_[i] = f_[i - 1] + 0.5 * (slope_[i - 1] + slope_[i]) * M_STEP;
    }

    std::vector<double> x_, wx_, r2_, wr_;
    std::vector<double> nu_, means_, expectation_;
    std::vector<double> slope_, f_;
};

const MagnitudeMaps& mapsFor(int coils) {
    static std::mutex mutex;
    static std::map<int, std::unique_ptr<MagnitudeMaps>> cache;
    std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<MagnitudeMaps>& maps = cache[coils];
    if (!maps) maps = std::make_unique<MagnitudeMaps>(coils);
    return *maps;
}

/// Replaces every line of `values` along dimension `dim` by its moving mean over
/// 2 * NOISE_FLOOR_RADIUS + 1 samples, the window cut at the line's ends. `line` holds one line.
void movingMeanAlong(std::vector<float>& values, Size3 size, int dim, std::vector<double>& line) {
    const std::size_t n = std::size_t(size[dim]);
    if (n == 1) return;
    const std::size_t stride = dim == 0   ? 1
                               : dim == 1 ? std::size_t(size[0])
                                          : std::size_t(size[0]) * size[1];
    const std::size_t lines = values.size() / n;
    line.resize(n);
    for (std::size_t l = 0; l < lines; ++l) {
        // Line l starts at the l-th sample whose coordinate along dim is 0.
        const std::size_t start = (l / stride) * stride * n + l % stride;
        for (std::size_t i = 0; i < n; ++i) line[i] = values[start + i * stride];
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t lo = i >= NOISE_FLOOR_RADIUS ? i - NOISE_FLOOR_RADIUS : 0;
            const std::size_t hi = std::min(n - 1, i + NOISE_FLOOR_RADIUS);
            double sum = 0.0;
            for (std::size_t j = lo; j <= hi; ++j) sum += line[j];
            values[start + i * stride] = float(sum / double(hi - lo + 1));
        }
    }
}

void checkSigma(double sigma) {
    if (!std::isfinite(sigma) || sigma <= 0.0)
        throw std::invalid_argument("sigma of magnitude data must be finite and > 0");
}

void checkArguments(const float* data, std::size_t count, double sigma, int coils) {
    if (!data && count > 0) throw std::invalid_argument("magnitude data must not be null");
    checkSigma(sigma);
    if (coils < 1 || coils > 64)
        throw std::invalid_argument("coils must be from 1 to 64 (got " + std::to_string(coils) +
                                    ")");
}

}  // namespace

void stabiliseMagnitude(float* data, std::size_t count, double sigma, int coils) {
    checkArguments(data, count, sigma, coils);
    const MagnitudeMaps& maps = mapsFor(coils);
    for (std::size_t i = 0; i < count; ++i)
        if (std::isfinite(data[i])) data[i] = float(maps.forward(double(data[i]) / sigma));
}

void unstabiliseMagnitude(float* data, std::size_t count, double sigma, int coils) {
    checkArguments(data, count, sigma, coils);
    const MagnitudeMaps& maps = mapsFor(coils);
    for (std::size_t i = 0; i < count; ++i)
        if (std::isfinite(data[i])) data[i] = float(sigma * maps.inverse(double(data[i])));
}

void clearNoiseFloor(float* data, Size3 size, double sigma) {
    if (!data) throw std::invalid_argument("estimate data must not be null");
    if (size[0] < 1 || size[1] < 1 || size[2] < 1)
        throw std::invalid_argument("estimate size must be at least 1 in every dimension");
    checkSigma(sigma);
    const std::size_t count = std::size_t(size[0]) * size[1] * size[2];
    // The box mean is separable: the moving means along x, then y, then z.
    std::vector<float> mean(data, data + count);
    std::vector<double> line;
    for (int dim = 0; dim < 3; ++dim) movingMeanAlong(mean, size, dim, line);
    const double level = NOISE_FLOOR_LEVEL * sigma;
    for (std::size_t i = 0; i < count; ++i)
        if (std::isfinite(mean[i]) && double(mean[i]) < level) data[i] = 0.0f;
}

}  // namespace kelvo
