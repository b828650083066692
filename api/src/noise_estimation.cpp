// Noise estimation: the white-noise standard deviation from finest-scale Haar details (MAD)
// and a PSD from the periodograms of flat patches.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelvo/kelvo.h"
#include "kelvo/magnitude.h"
#include "sample_data.h"

namespace kelvo {

namespace {

/// Median absolute deviation scale of a zero-mean Gaussian: MAD = 0.6745 sigma.
constexpr double MAD_TO_SIGMA = 1.0 / 0.6744897501960817;

void checkSize(const float* volume, const Size3& size) {
    if (!volume) throw std::invalid_argument("volume must not be null");
    for (int d = 0; d < 3; ++d)
        if (size[d] < 1) throw std::invalid_argument("volume size is invalid");
}

[[noreturn]] void tooFewSamples(std::size_t found) {
    throw std::invalid_argument(
        "too few informative samples to estimate the noise (" + std::to_string(found) + ", need " +
        std::to_string(MIN_INFORMATIVE_SAMPLES) +
        "; NaN/Inf, samples outside the mask and runs of a repeated value are left out): "
        "give the noise level instead");
}

/// Samples a noise estimate may use: with data, and not in a run of a repeated value.
std::vector<std::uint8_t> informativeSamples(const float* volume, const Size3& size,
                                             const NoiseEstimateOptions& options) {
    detail::checkedCoils(options.coils);
    std::vector<std::uint8_t> usable = detail::samplesWithData(volume, size, options.mask);
    detail::clearConstantRuns(volume, size, usable);
    return usable;
}

/// Finest-scale Haar cells whose samples are all usable, gathered cell after cell (4 samples
/// in a 2-D image, 8 in a volume) in the sign order of HAAR_SIGNS.
std::vector<float> gatherCells(const float* volume, const Size3& size,
                               const std::vector<std::uint8_t>& usable) {
    const bool threeD = size[2] > 1;
    const int c0 = size[0] / 2, c1 = size[1] / 2, c2 = threeD ? size[2] / 2 : 1;
    const std::size_t s1 = std::size_t(size[0]), s2 = s1 * size[1];
    const std::size_t offsets[8] = {0, 1, s1, s1 + 1, s2, s2 + 1, s2 + s1, s2 + s1 + 1};
    const int n = threeD ? 8 : 4;
    std::vector<float> cells;
    for (int z = 0; z < c2; ++z)
        for (int y = 0; y < c1; ++y)
            for (int x = 0; x < c0; ++x) {
                const std::size_t base = 2 * x + 2 * y * s1 + (threeD ? 2 * z * s2 : 0);
                bool all = true;
                for (int k = 0; k < n; ++k) all = all && usable[base + offsets[k]];
                if (!all) continue;
                for (int k = 0; k < n; ++k) cells.push_back(volume[base + offsets[k]]);
            }
    return cells;
}

/// Haar diagonal (2-D) or all-high-pass (3-D) detail signs: (-1)^(dx+dy+dz).
constexpr double HAAR_SIGNS[8] = {1, -1, -1, 1, -1, 1, 1, -1};

/// MAD / 0.6745 of the unit-gain Haar details of gathered cells of n samples.
double madOfCells(const std::vector<float>& cells, int n) {
    const double norm = 1.0 / std::sqrt(double(n));
    std::vector<double> details(cells.size() / std::size_t(n));
    for (std::size_t c = 0; c < details.size(); ++c) {
        double d = 0.0;
        for (int k = 0; k < n; ++k) d += HAAR_SIGNS[k] * cells[c * n + k];
        details[c] = std::fabs(d * norm);
    }
    const auto mid = details.begin() + details.size() / 2;
    std::nth_element(details.begin(), mid, details.end());
    double median = *mid;
    if (details.size() % 2 == 0) {
        const double below = *std::max_element(details.begin(), mid);
        median = 0.5 * (median + below);
    }
    return median * MAD_TO_SIGMA;
}

/// Channel sigma of magnitude data: the fixed point of sigma -> sigma * MAD(stabilised at
/// sigma). At high signal the stabiliser is close to m / sigma and one step lands on the
/// answer; where the background is Rayleigh or chi the stabiliser accounts for its smaller
/// spread, which a plain MAD of magnitudes would take for less noise.
double magnitudeSigma(const std::vector<float>& cells, int n, int coils) {
    double sigma = madOfCells(cells, n);
    if (!(sigma > 0.0)) return sigma;
    std::vector<float> work(cells.size());
    for (int round = 0; round < 30; ++round) {
        std::copy(cells.begin(), cells.end(), work.begin());
        stabiliseMagnitude(work.data(), work.size(), sigma, coils);
        const double ratio = madOfCells(work, n);
        sigma *= ratio;
        if (std::fabs(ratio - 1.0) < 1e-4) break;
    }
    return sigma;
}

/// One-dimensional unscaled DFT of length n with precomputed twiddles, applied in place to
/// strided lines. Patches are at most 64 per side, so the plain O(n^2) sum is cheap enough
/// and keeps this file independent of the engine's FFT sizes.
class LineDft {
public:
    explicit LineDft(int n) : n_(n), twiddle_(std::size_t(n)), line_(std::size_t(n)) {
        const double pi = 3.14159265358979323846;
        for (int k = 0; k < n; ++k) twiddle_[k] = std::polar(1.0, -2.0 * pi * k / n);
    }
    void apply(std::complex<double>* data, std::ptrdiff_t stride) {
        for (int k = 0; k < n_; ++k) {
            std::complex<double> acc = 0.0;
            for (int m = 0; m < n_; ++m) acc += data[m * stride] * twiddle_[(k * m) % n_];
            line_[k] = acc;
        }
        for (int k = 0; k < n_; ++k) data[k * stride] = line_[k];
    }

private:
    int n_;
    std::vector<std::complex<double>> twiddle_;
    std::vector<std::complex<double>> line_;
};

}  // namespace

double estimateNoise(const float* volume, Size3 size, const NoiseEstimateOptions& options) {
    checkSize(volume, size);
    if (size[0] < 2 || size[1] < 2)
        throw std::invalid_argument("noise estimation needs at least 2x2 samples per slice");
    const std::vector<std::uint8_t> usable = informativeSamples(volume, size, options);
    const int n = size[2] > 1 ? 8 : 4;
    const std::vector<float> cells = gatherCells(volume, size, usable);
    if (cells.size() < MIN_INFORMATIVE_SAMPLES) tooFewSamples(cells.size());
    return options.distribution == NoiseDistribution::Rician
               ? magnitudeSigma(cells, n, options.coils)
               : madOfCells(cells, n);
}

namespace {

void checkPsdGrid(Size3 size, Size3 grid) {
    for (int d = 0; d < 3; ++d) {
        const int g = grid[d];
        if (g != 1 && (g < 4 || g > 64 || (g & (g - 1)) != 0))
            throw std::invalid_argument("PSD grid sides must be 1 or powers of two from 4 to 64");
        if (g > size[d])
            throw std::invalid_argument("volume " + detail::sizeText(size) +
                                        " is smaller than the PSD grid " + detail::sizeText(grid) +
                                        " along dimension " + std::to_string(d) +
                                        ": pass a grid side of at most " + std::to_string(size[d]) +
                                        " there (1, or a power of two from 4)");
    }
    if (size[2] == 1 && grid[2] != 1)
        throw std::invalid_argument("a 2-D image needs a PSD grid of depth 1");
}

/// The half-overlapping patches of a volume and the high-pass residual of each: the patch
/// minus its least-squares plane c + a0*x + a1*y + a2*z. Removing the plane, not only the
/// mean, keeps slow intensity ramps of the signal out of the lowest frequency bins.
class PatchResiduals {
public:
    PatchResiduals(const float* volume, const std::uint8_t* usable, Size3 size, Size3 grid)
        : volume_(volume),
          usable_(usable),
          grid_(grid),
          s1_(std::size_t(size[0])),
          s2_(s1_ * size[1]),
          patchSize_(std::size_t(grid[0]) * grid[1] * grid[2]),
          patch_(patchSize_) {
        for (int d = 0; d < 3; ++d) step_[d] = std::max(1, grid[d] / 2);
        for (int d = 0; d < 3; ++d) positions_[d] = (size[d] - grid[d]) / step_[d] + 1;
        count_ = std::size_t(positions_[0]) * positions_[1] * positions_[2];
        for (int d = 0; d < 3; ++d)
            for (int x = 0; x < grid[d]; ++x) {
                centred[d][x] = x - 0.5 * (grid[d] - 1);
                spread[d] += centred[d][x] * centred[d][x];
            }
    }

    std::size_t count() const { return count_; }
    std::size_t patchSize() const { return patchSize_; }
    /// The residual of the last patch loaded.
    const std::vector<double>& residual() const { return patch_; }

    /// Loads patch `index` (dimension 0 fastest over the patch positions) as its residual;
    /// returns the residual's energy, or -1 for a patch with a sample that is not usable.
    double load(std::size_t index) {
        const int px = int(index % positions_[0]);
        const int py = int((index / positions_[0]) % positions_[1]);
        const int pz = int(index / (std::size_t(positions_[0]) * positions_[1]));
        double mean = 0.0, slope[3] = {0.0, 0.0, 0.0};
        std::size_t i = 0;
        for (int z = 0; z < grid_[2]; ++z)
            for (int y = 0; y < grid_[1]; ++y) {
                const std::size_t start = std::size_t(pz * step_[2] + z) * s2_ +
                                          std::size_t(py * step_[1] + y) * s1_ +
                                          std::size_t(px) * step_[0];
                const float* row = volume_ + start;
                const std::uint8_t* ok = usable_ + start;
                for (int x = 0; x < grid_[0]; ++x, ++i) {
                    if (!ok[x]) return -1.0;  // no data or a repeated value: not a noise patch
                    const double v = row[x];
                    patch_[i] = v;
                    mean += v;
                    slope[0] += v * centred[0][x];
                    slope[1] += v * centred[1][y];
                    slope[2] += v * centred[2][z];
                }
            }
        mean /= double(patchSize_);
        for (int d = 0; d < 3; ++d)
            slope[d] =
                spread[d] > 0.0 ? slope[d] / (spread[d] * double(patchSize_) / grid_[d]) : 0.0;
        double e = 0.0;
        i = 0;
        for (int z = 0; z < grid_[2]; ++z)
            for (int y = 0; y < grid_[1]; ++y)
                for (int x = 0; x < grid_[0]; ++x, ++i) {
                    double& v = patch_[i];
                    v -= mean + slope[0] * centred[0][x] + slope[1] * centred[1][y] +
                         slope[2] * centred[2][z];
                    e += v * v;
                }
        return e;
    }

    double centred[3][64];               ///< per dimension, the patch coordinate minus its mean
    double spread[3] = {0.0, 0.0, 0.0};  ///< per dimension, the squared norm of centred

private:
    const float* volume_;
    const std::uint8_t* usable_;
    Size3 grid_;
    Size3 step_{}, positions_{};
    std::size_t s1_, s2_, patchSize_, count_ = 0;
    std::vector<double> patch_;
};

/// The plane removal also removes noise: for white noise the expected periodogram of bin k
/// shrinks by the factor keep[k] = 1 - sum_j |<f_k, q_j>|^2 / N over the orthonormal plane
/// basis q_j. The constant only touches k = 0 and the ramp along d only the bins on axis d,
/// so keep[k] = 1 - |A_d(k_d)|^2 / (G_d * S_d) there, with A_d the DFT of the centred
/// coordinate and S_d its squared norm.
std::vector<double> planeKeep(const PatchResiduals& patches, Size3 grid,
                              const std::size_t strides[3]) {
    std::vector<double> keep(patches.patchSize(), 1.0);
    keep[0] = 0.0;
    for (int d = 0; d < 3; ++d) {
        if (!(patches.spread[d] > 0.0)) continue;
        for (int k = 1; k < grid[d]; ++k) {
            std::complex<double> a = 0.0;
            for (int x = 0; x < grid[d]; ++x)
                a += patches.centred[d][x] *
                     std::polar(1.0, -2.0 * 3.14159265358979323846 * k * x / grid[d]);
            keep[std::size_t(k) * strides[d]] -= std::norm(a) / (grid[d] * patches.spread[d]);
        }
    }
    return keep;
}

/// Patches whose residual energy exceeds 1.5 times the lower quartile (edges, texture) are
/// left out; returns that limit. Throws when too few patches hold usable samples or noise.
double energyLimit(const std::vector<double>& energy, std::size_t patchSize) {
    std::vector<double> sorted;
    for (double e : energy)
        if (e > 0.0) sorted.push_back(e);
    if (sorted.size() * patchSize < MIN_INFORMATIVE_SAMPLES) {
        std::size_t seen = 0;
        for (double e : energy) seen += e >= 0.0;
        if (seen * patchSize < MIN_INFORMATIVE_SAMPLES) tooFewSamples(seen * patchSize);
    }
    if (sorted.size() < 8)
        throw std::invalid_argument("volume holds no measurable noise (constant patches)");
    const auto q1 = sorted.begin() + sorted.size() / 4;
    std::nth_element(sorted.begin(), q1, sorted.end());
    return 1.5 * *q1;
}

/// The periodograms |DFT|^2 of the residuals of the patches whose energy is positive and
/// within `limit`: one row of patchSize bins per selected patch; `used` receives the rows.
std::vector<float> periodograms(PatchResiduals& patches, const std::vector<double>& energy,
                                double limit, Size3 grid, std::size_t& used) {
    const std::size_t patchSize = patches.patchSize();
    LineDft dft0(grid[0]), dft1(grid[1]), dft2(grid[2]);
    std::vector<std::complex<double>> spectrum(patchSize);
    std::vector<float> rows;
    used = 0;
    for (std::size_t k = 0; k < patches.count(); ++k) {
        if (!(energy[k] > 0.0) || energy[k] > limit) continue;
        patches.load(k);
        const std::vector<double>& patch = patches.residual();
        for (std::size_t i = 0; i < patchSize; ++i) spectrum[i] = patch[i];
        const std::ptrdiff_t g0 = grid[0], g01 = std::ptrdiff_t(grid[0]) * grid[1];
        for (int z = 0; z < grid[2]; ++z)
            for (int y = 0; y < grid[1]; ++y) dft0.apply(&spectrum[z * g01 + y * g0], 1);
        if (grid[1] > 1)
            for (int z = 0; z < grid[2]; ++z)
                for (int x = 0; x < grid[0]; ++x) dft1.apply(&spectrum[z * g01 + x], g0);
        if (grid[2] > 1)
            for (std::ptrdiff_t xy = 0; xy < g01; ++xy) dft2.apply(&spectrum[xy], g01);
        for (std::size_t i = 0; i < patchSize; ++i) rows.push_back(float(std::norm(spectrum[i])));
        ++used;
    }
    return rows;
}

/// Median of each bin over the selected patches, times `scale`: robust to the minority of
/// patches that still carry some signal at that frequency. A Gaussian periodogram bin is
/// exponential (median = ln 2 times the mean) except at self-conjugate frequencies (every
/// k_d 0 or G_d / 2), where it is a scaled chi-square with one degree of freedom (median
/// 0.4549). Bins the plane removal emptied (keep 0) stay 0.
std::vector<float> binMedians(const std::vector<float>& rows, std::size_t used,
                              const std::vector<double>& keep, Size3 grid,
                              const std::size_t strides[3], double scale) {
    const std::size_t patchSize = keep.size();
    std::vector<float> psd(patchSize);
    std::vector<float> column(used);
    for (std::size_t i = 0; i < patchSize; ++i) {
        if (!(keep[i] > 0.0)) continue;
        for (std::size_t k = 0; k < used; ++k) column[k] = rows[k * patchSize + i];
        const auto mid = column.begin() + used / 2;
        std::nth_element(column.begin(), mid, column.end());
        bool selfConjugate = true;
        for (int d = 0; d < 3; ++d) {
            const int kd = int((i / strides[d]) % grid[d]);
            if (kd != 0 && 2 * kd != grid[d]) selfConjugate = false;
        }
        const double medianToMean =
            selfConjugate ? 1.0 / 0.45493642311957283 : 1.0 / 0.6931471805599453;
        psd[i] = float(double(*mid) * medianToMean / keep[i] * scale);
    }
    return psd;
}

}  // namespace

Size3 fitPsdGrid(Size3 grid, Size3 size) {
    for (int d = 0; d < 3; ++d) {
        while (grid[d] > 1 && grid[d] > size[d]) grid[d] /= 2;
        if (grid[d] < 4) grid[d] = 1;
    }
    return grid;
}

Noise estimateNoisePsd(const float* volume, Size3 size, Size3 grid,
                       const NoiseEstimateOptions& options) {
    checkSize(volume, size);
    checkPsdGrid(size, grid);
    std::vector<std::uint8_t> usable = informativeSamples(volume, size, options);
    // Magnitude data: estimate the PSD of the stabilised magnitudes (unit noise) and scale it
    // back to the channel noise.
    double scale = 1.0;
    std::vector<float> stabilised;
    if (options.distribution == NoiseDistribution::Rician) {
        const double sigma = estimateNoise(volume, size, options);
        if (!(sigma > 0.0))
            throw std::invalid_argument("volume holds no measurable noise (constant patches)");
        stabilised.assign(volume, volume + detail::sampleCount(size));
        stabiliseMagnitude(stabilised.data(), stabilised.size(), sigma, options.coils);
        volume = stabilised.data();
        scale = sigma * sigma;
    }

    PatchResiduals patches(volume, usable.data(), size, grid);
    if (patches.count() < 8)
        throw std::invalid_argument(
            "volume is too small to estimate a PSD on this grid "
            "(fewer than 8 patches)");
    std::vector<double> energy(patches.count());
    for (std::size_t k = 0; k < patches.count(); ++k) energy[k] = patches.load(k);

    const std::size_t strides[3] = {1, std::size_t(grid[0]), std::size_t(grid[0]) * grid[1]};
    const std::vector<double> keep = planeKeep(patches, grid, strides);
    const double limit = energyLimit(energy, patches.patchSize());
    std::size_t used = 0;
    const std::vector<float> rows = periodograms(patches, energy, limit, grid, used);
    std::vector<float> psd = binMedians(rows, used, keep, grid, strides, scale);

    // The constant removal emptied the DC bin: take the mean of its neighbours on each axis.
    double dc = 0.0;
    int neighbours = 0;
    for (int d = 0; d < 3; ++d) {
        if (grid[d] < 2) continue;
        dc += psd[strides[d]] + psd[(grid[d] - 1) * strides[d]];
        neighbours += 2;
    }
    psd[0] = float(dc / neighbours);
    // Noise whose power per frequency lies below float's range (samples of about 1e-20)
    // leaves every bin zero although the patches vary.
    if (std::all_of(psd.begin(), psd.end(), [](float v) { return v == 0.0f; }) &&
        std::any_of(energy.begin(), energy.end(), [](double e) { return e > 0.0; }))
        throw std::invalid_argument(
            "the noise is too weak for a single-precision PSD (its power per frequency is below "
            "about 1e-38): scale the data up by a power of ten, or give the noise's standard "
            "deviation");
    return Noise::spectrum(std::move(psd), grid);
}

}  // namespace kelvo
