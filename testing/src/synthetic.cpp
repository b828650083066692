// Deterministic phantom and noise generators (see synthetic.h).
#include "kelvo/synthetic.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace kelvo {

namespace {

/// xoshiro256** seeded through splitmix64: fast, well distributed, and defined bit for bit.
class Rng {
public:
    explicit Rng(std::uint64_t seed) {
        for (auto& s : state_) {
            seed += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            s = z ^ (z >> 31);
        }
    }
    std::uint64_t next() {
        const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }
    /// Uniform in (0, 1]: 53 random bits, never zero (the logarithm below needs that).
    double uniform() { return (double(next() >> 11) + 1.0) * (1.0 / 9007199254740992.0); }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t state_[4];
};

double smoothstep(double edge, double x, double width) {
    const double t = std::min(1.0, std::max(0.0, (x - edge) / width + 0.5));
    return t * t * (3.0 - 2.0 * t);
}

}  // namespace

std::vector<float> makePhantom(Size3 size) {
    for (int d = 0; d < 3; ++d)
        if (size[d] < 1) throw std::invalid_argument("phantom size is invalid");
    std::vector<float> v(std::size_t(size[0]) * size[1] * size[2]);
    std::size_t i = 0;
    for (int z = 0; z < size[2]; ++z)
        for (int y = 0; y < size[1]; ++y)
            for (int x = 0; x < size[0]; ++x, ++i) {
                // Normalised coordinates in [-1, 1]; a 2-D image is the central section.
                const double u = (2.0 * x + 1.0) / size[0] - 1.0;
                const double w = (2.0 * y + 1.0) / size[1] - 1.0;
                const double s = size[2] > 1 ? (2.0 * z + 1.0) / size[2] - 1.0 : 0.0;
                auto inside = [&](double cu, double cw, double cs, double ru, double rw,
                                  double rs) {
                    const double a = (u - cu) / ru, b = (w - cw) / rw, c = (s - cs) / rs;
                    return a * a + b * b + c * c <= 1.0;
                };
                double value = 0.1 + 0.05 * (u + 1.0);  // smooth background ramp
                if (inside(0, 0, 0, 0.9, 0.8, 0.85)) value = 0.3 + 0.1 * w;  // outer shell
                if (inside(0, 0, 0, 0.8, 0.7, 0.75)) value = 0.45;           // interior
                if (inside(-0.3, 0.1, 0.1, 0.3, 0.25, 0.35)) value = 0.8;    // bright ellipsoid
                if (inside(0.35, -0.2, -0.1, 0.2, 0.3, 0.25)) value = 0.15;  // dark ellipsoid
                if (inside(0.1, 0.35, 0.0, 0.12, 0.1, 0.15)) value = 1.0;    // small bright
                // A smooth blob (no sharp edge) and a thin bar, both inside the shell.
                const double r2 = (u - 0.25) * (u - 0.25) + (w - 0.3) * (w - 0.3) + s * s;
                if (inside(0, 0, 0, 0.8, 0.7, 0.75)) value += 0.25 * std::exp(-r2 / 0.02);
                if (std::fabs(w + 0.5) < 0.04 && std::fabs(u) < 0.5 && std::fabs(s) < 0.5)
                    value = 0.7;
                value *= 1.0 - 0.1 * smoothstep(0.6, std::fabs(u), 0.4);
                v[i] = float(std::min(1.0, std::max(0.0, value)));
            }
    return v;
}

std::vector<float> gaussianNoise(std::size_t count, std::uint64_t seed) {
    Rng rng(seed);
    std::vector<float> out(count);
    const double twoPi = 6.283185307179586;
    for (std::size_t i = 0; i < count; i += 2) {
        const double r = std::sqrt(-2.0 * std::log(rng.uniform()));
        const double a = twoPi * rng.uniform();
        out[i] = float(r * std::cos(a));
        if (i + 1 < count) out[i + 1] = float(r * std::sin(a));
    }
    return out;
}

std::vector<float> correlatedNoise(Size3 size, double sigma, const std::vector<double>& kernel,
                                   std::uint64_t seed) {
    if (kernel.empty()) throw std::invalid_argument("kernel must not be empty");
    const std::size_t count = std::size_t(size[0]) * size[1] * size[2];
    const std::vector<float> white = gaussianNoise(count, seed);
    std::vector<double> a(white.begin(), white.end()), b(count);
    const int half = int(kernel.size()) / 2;
    const std::size_t stride[3] = {1, std::size_t(size[0]), std::size_t(size[0]) * size[1]};
    for (int d = 0; d < 3; ++d) {
        if (size[d] < 2) continue;
        for (std::size_t i = 0; i < count; ++i) {
            const int pos = int((i / stride[d]) % size[d]);
            const std::size_t base = i - std::size_t(pos) * stride[d];
            double acc = 0.0;
            for (int k = 0; k < int(kernel.size()); ++k) {
                const int q = ((pos + k - half) % size[d] + size[d]) % size[d];
                acc += kernel[k] * a[base + std::size_t(q) * stride[d]];
            }
            b[i] = acc;
        }
        a.swap(b);
    }
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = float(sigma * a[i]);
    return out;
}

double psnr(const std::vector<float>& reference, const std::vector<float>& estimate, double peak) {
    if (reference.size() != estimate.size() || reference.empty())
        throw std::invalid_argument("psnr needs two non-empty volumes of the same size");
    double sum = 0.0;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        const double e = double(reference[i]) - estimate[i];
        sum += e * e;
    }
    const double mse = sum / double(reference.size());
    return 10.0 * std::log10(peak * peak / mse);
}

}  // namespace kelvo
