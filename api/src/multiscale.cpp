// The coarse scale of a run under correlated noise: binning by 2, the binned noise's PSD and
// the transfer of the coarse estimate's low-pass content to the fine estimate.
#include "kelvo/multiscale.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>

namespace kelvo {

namespace {

using Cplx = std::complex<double>;

/// Weight of a cell's variance in addCoarseCorrection's attenuation, relative to the squared
/// difference: a spread of half the limit attenuates as much as a difference of the limit.
constexpr double SPREAD_WEIGHT = 4.0;

std::size_t countOf(Size3 s) { return std::size_t(s[0]) * std::size_t(s[1]) * std::size_t(s[2]); }

/// Unscaled DFT along axis `d` of `a` (grid `s`, dimension 0 fastest), with the exponent's
/// sign `sign`. The grids are small (at most 64 per axis), so the direct sum is cheap.
void dftAxis(std::vector<Cplx>& a, Size3 s, int d, int sign) {
    const int n = s[d];
    if (n == 1) return;
    std::vector<Cplx> twiddle(static_cast<std::size_t>(n)), line(static_cast<std::size_t>(n));
    const double pi = 3.14159265358979323846;
    for (int k = 0; k < n; ++k) twiddle[k] = std::polar(1.0, sign * 2.0 * pi * k / n);
    const std::size_t stride = d == 0 ? 1 : d == 1 ? std::size_t(s[0]) : std::size_t(s[0]) * s[1];
    const std::size_t lines = countOf(s) / std::size_t(n);
    for (std::size_t l = 0; l < lines; ++l) {
        // Start of line l: the index with coordinate d zero, the other coordinates from l.
        const std::size_t start = (l / stride) * stride * std::size_t(n) + l % stride;
        for (int f = 0; f < n; ++f) {
            Cplx sum = 0.0;
            for (int k = 0; k < n; ++k)
                sum += a[start + std::size_t(k) * stride] * twiddle[(std::size_t(f) * k) % n];
            line[f] = sum;
        }
        for (int f = 0; f < n; ++f) a[start + std::size_t(f) * stride] = line[f];
    }
}

/// Lag `k` of a periodic autocorrelation line of length n, taken as zero beyond half the
/// period; the lag of exactly half an even period is shared between its two signs.
double centredLag(const std::vector<double>& line, int n, int k) {
    const int a = std::abs(k);
    if (2 * a < n) return line[std::size_t(((k % n) + n) % n)];
    if (2 * a == n) return 0.5 * line[std::size_t(a)];
    return 0.0;
}

/// Samples lo..hi along axis `d` of cell `i`: a pair along a binned axis, one sample along
/// the others, and a last odd sample counted twice (the cell's mean is then that sample's
/// value along that axis).
void cellSpan(Size3 size, std::array<bool, 3> binned, int d, int i, int& lo, int& hi) {
    lo = binned[d] ? 2 * i : i;
    hi = binned[d] ? std::min(2 * i + 1, size[d] - 1) : i;
}

/// Calls `visit(cell, samples)` for every cell of `volume` binned along `binned`, in the
/// coarse volume's order, with the cell's eight samples (cellSpan's pairs along each axis,
/// z outermost, so a sample may appear more than once).
template <class Visit>
void forEachCell(const float* volume, Size3 size, std::array<bool, 3> binned, Visit visit) {
    const Size3 c = coarseSize(size, binned);
    const std::size_t s1 = std::size_t(size[0]), s2 = s1 * std::size_t(size[1]);
    std::size_t cell = 0;
    for (int z = 0; z < c[2]; ++z) {
        int z0, z1;
        cellSpan(size, binned, 2, z, z0, z1);
        for (int y = 0; y < c[1]; ++y) {
            int y0, y1;
            cellSpan(size, binned, 1, y, y0, y1);
            for (int x = 0; x < c[0]; ++x, ++cell) {
                int x0, x1;
                cellSpan(size, binned, 0, x, x0, x1);
                double samples[8];
                int k = 0;
                for (int zz : {z0, z1})
                    for (int yy : {y0, y1})
                        for (int xx : {x0, x1})
                            samples[k++] = double(volume[std::size_t(zz) * s2 +
                                                         std::size_t(yy) * s1 + std::size_t(xx)]);
                visit(cell, samples);
            }
        }
    }
}

}  // namespace

std::array<bool, 3> binnedAxes(Size3 size) { return {size[0] > 1, size[1] > 1, size[2] > 1}; }

bool multiscaleApplies(Size3 size, const Noise& noise, const Profile& profile,
                       double relativeNoise) {
    if (!profile.multiscale) return false;
    // Volumes under white noise take it where the noise is large against the data: there the
    // groups of the full volume are matched on noise as much as on structure.
    if (!noise.isCorrelated() && size[2] != 1 &&
        (std::isinf(profile.coarseNoiseRatio) || relativeNoise < profile.coarseNoiseRatio))
        return false;
    const Size3 c = coarseSize(size, binnedAxes(size));
    for (int d = 0; d < 3; ++d)
        if (c[d] < std::max(profile.hardThreshold.blockSize[d], profile.wiener.blockSize[d]))
            return false;
    return true;
}

double relativeNoise(const float* volume, const std::uint8_t* hasData, std::size_t count,
                     double sigma) {
    // Two passes (mean, then squared deviations) in double: the data's variance may be a
    // small fraction of its squared mean.
    double sum = 0.0;
    std::size_t n = 0;
    for (std::size_t i = 0; i < count; ++i)
        if (hasData[i]) sum += double(volume[i]), ++n;
    if (n == 0) return std::numeric_limits<double>::infinity();
    const double mean = sum / double(n);
    double squares = 0.0;
    for (std::size_t i = 0; i < count; ++i)
        if (hasData[i]) squares += (double(volume[i]) - mean) * (double(volume[i]) - mean);
    const double signal = squares / double(n) - sigma * sigma;
    return signal > 0.0 ? sigma / std::sqrt(signal) : std::numeric_limits<double>::infinity();
}

Noise coarseNoise(const Noise& noise, std::array<bool, 3> binned) {
    if (noise.isCorrelated())
        return Noise::spectrum(coarseNoisePsd(noise.psd(), noise.psdSize(), binned),
                               noise.psdSize());
    // The mean of 2^k independent samples.
    const int k = int(binned[0]) + int(binned[1]) + int(binned[2]);
    return Noise::white(noise.sigma() / std::sqrt(double(1 << k)));
}

float coarseCorrectionLimit(const Noise& noise, const Noise& coarseNoise, bool image) {
    return float(coarseNoise.sigma() * (noise.isCorrelated() || !image ? 1.0 : 0.5));
}

Size3 coarseSize(Size3 size, std::array<bool, 3> binned) {
    Size3 c;
    for (int d = 0; d < 3; ++d) c[d] = binned[d] ? (size[d] + 1) / 2 : size[d];
    return c;
}

void binByTwo(const float* volume, Size3 size, std::array<bool, 3> binned, float* coarse) {
    forEachCell(volume, size, binned, [coarse](std::size_t cell, const double(&samples)[8]) {
        double sum = 0.0;
        for (double v : samples) sum += v;
        coarse[cell] = float(sum / 8.0);
    });
}

std::vector<float> coarseNoisePsd(const std::vector<float>& psd, Size3 psdSize,
                                  std::array<bool, 3> binned) {
    const std::size_t count = countOf(psdSize);
    const double total = double(count);
    // Autocorrelation of the noise: r(m) = (1 / N^2) sum_f PSD(f) e^{2 pi i f m / N}, real
    // because the engine uses the PSD's symmetric part (the real part of r is exactly the
    // autocorrelation of that part).
    std::vector<Cplx> a(psd.begin(), psd.end());
    for (int d = 0; d < 3; ++d) dftAxis(a, psdSize, d, +1);
    std::vector<Cplx> coarse(count);
    for (std::size_t i = 0; i < count; ++i) coarse[i] = a[i].real() / (total * total);

    // Along each binned axis, the autocorrelation of means of pairs taken every second
    // sample: (2 r(2m) + r(2m + 1) + r(2m - 1)) / 4, wrapped onto the grid.
    for (int d = 0; d < 3; ++d) {
        if (!binned[d]) continue;
        const int n = psdSize[d];
        const std::size_t stride = d == 0   ? 1
                                   : d == 1 ? std::size_t(psdSize[0])
                                            : std::size_t(psdSize[0]) * psdSize[1];
        const std::size_t lines = count / std::size_t(n);
        const int reach = (n / 2 + 1) / 2;  // lags beyond it meet only zeros
        std::vector<double> line(static_cast<std::size_t>(n)),
            binnedLine(static_cast<std::size_t>(n));
        for (std::size_t l = 0; l < lines; ++l) {
            const std::size_t start = (l / stride) * stride * std::size_t(n) + l % stride;
            for (int k = 0; k < n; ++k) line[k] = coarse[start + std::size_t(k) * stride].real();
            std::fill(binnedLine.begin(), binnedLine.end(), 0.0);
            for (int m = -reach; m <= reach; ++m)
                binnedLine[std::size_t(((m % n) + n) % n)] +=
                    (2.0 * centredLag(line, n, 2 * m) + centredLag(line, n, 2 * m + 1) +
                     centredLag(line, n, 2 * m - 1)) /
                    4.0;
            for (int k = 0; k < n; ++k) coarse[start + std::size_t(k) * stride] = binnedLine[k];
        }
    }

    // Back to a PSD on the same grid: PSD(f) = N sum_m r(m) e^{-2 pi i f m / N}.
    for (int d = 0; d < 3; ++d) dftAxis(coarse, psdSize, d, -1);
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = float(std::max(0.0, coarse[i].real() * total));
    return out;
}

void addCoarseCorrection(float* fine, Size3 size, std::array<bool, 3> binned, const float* coarse,
                         float limit, std::vector<float>& scratch) {
    const Size3 c = coarseSize(size, binned);
    const std::size_t cells = countOf(c);
    scratch.resize(cells);
    binByTwo(fine, size, binned, scratch.data());
    const double inverse = 1.0 / double(limit);
    // The variance of the fine estimate within each cell, over binByTwo's samples, enters the
    // attenuation (see the contract).
    forEachCell(fine, size, binned, [&](std::size_t cell, const double(&samples)[8]) {
        const double mean = double(scratch[cell]);
        double spread = 0.0;
        for (double v : samples) spread += (v - mean) * (v - mean);
        const double diff = double(coarse[cell]) - mean, variance = spread / 8.0;
        const double damping = (diff * diff + SPREAD_WEIGHT * variance) * inverse * inverse;
        scratch[cell] = float(diff / (1.0 + damping));
    });

    // Linear interpolation between cell centres: fine sample 2k lies a quarter of a cell
    // before the centre of cell k, sample 2k + 1 a quarter after it; beyond the first and
    // last centres the nearest cell is repeated.
    auto taps = [&](int d, int i, int idx[2], double w[2]) {
        if (!binned[d]) {
            idx[0] = idx[1] = i;
            w[0] = 1.0;
            w[1] = 0.0;
            return;
        }
        const int k = i / 2;
        idx[0] = k;
        idx[1] = i % 2 == 0 ? std::max(k - 1, 0) : std::min(k + 1, c[d] - 1);
        w[0] = 0.75;
        w[1] = 0.25;
    };
    const std::size_t c1 = std::size_t(c[0]), c2 = c1 * std::size_t(c[1]);
    std::size_t out = 0;
    for (int z = 0; z < size[2]; ++z) {
        int iz[2];
        double wz[2];
        taps(2, z, iz, wz);
        for (int y = 0; y < size[1]; ++y) {
            int iy[2];
            double wy[2];
            taps(1, y, iy, wy);
            for (int x = 0; x < size[0]; ++x, ++out) {
                int ix[2];
                double wx[2];
                taps(0, x, ix, wx);
                double sum = 0.0;
                for (int a = 0; a < 2; ++a)
                    for (int b = 0; b < 2; ++b)
                        for (int e = 0; e < 2; ++e)
                            sum += wz[a] * wy[b] * wx[e] *
                                   scratch[std::size_t(iz[a]) * c2 + std::size_t(iy[b]) * c1 +
                                           std::size_t(ix[e])];
                fine[out] = float(double(fine[out]) + sum);
            }
        }
    }
}

}  // namespace kelvo
