// Samples without data: the masks of usable samples and the fill of non-finite ones.
#include "sample_data.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

namespace kelvo {
namespace detail {

std::vector<std::uint8_t> samplesWithData(const float* volume, Size3 size,
                                          const std::uint8_t* mask) {
    const std::size_t count = sampleCount(size);
    std::vector<std::uint8_t> usable(count);
    std::size_t inside = 0, finite = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const bool in = !mask || mask[i] != 0;
        const bool ok = std::isfinite(volume[i]);
        inside += in;
        finite += in && ok;
        usable[i] = in && ok;
    }
    if (inside == 0) throw std::invalid_argument("no sample inside the mask");
    if (finite == 0)
        throw std::invalid_argument(mask ? "no finite sample inside the mask"
                                         : "volume holds no finite sample (all NaN or infinite)");
    return usable;
}

void clearConstantRuns(const float* volume, Size3 size, std::vector<std::uint8_t>& usable) {
    const std::size_t stride[3] = {1, std::size_t(size[0]), std::size_t(size[0]) * size[1]};
    std::vector<std::uint8_t> inRun(usable.size(), 0);
    for (int d = 0; d < 3; ++d) {
        if (size[d] < 3) continue;
        const std::size_t s = stride[d];
        for (int z = 0; z < size[2]; ++z)
            for (int y = 0; y < size[1]; ++y)
                for (int x = 0; x < size[0]; ++x) {
                    const int pos[3] = {x, y, z};
                    if (pos[d] == 0 || pos[d] == size[d] - 1) continue;
                    const std::size_t i = x + stride[1] * y + stride[2] * z;
                    if (volume[i - s] == volume[i] && volume[i] == volume[i + s])
                        inRun[i - s] = inRun[i] = inRun[i + s] = 1;
                }
    }
    for (std::size_t i = 0; i < usable.size(); ++i)
        if (inRun[i]) usable[i] = 0;
}

namespace {

/// The first layers of the fill, as deep as a block reaches, take the mean of the known samples
/// in a box of side 2 * WIDE_RADIUS + 1 instead of the face neighbours alone: one noisy edge
/// sample continued outwards would look like structure to the block matching, and the edge
/// of the data would be denoised less.
constexpr int WIDE_LAYERS = 4, WIDE_RADIUS = 2;

}  // namespace

void fillNonFinite(float* volume, Size3 size) {
    const std::size_t count = sampleCount(size);
    const std::ptrdiff_t stride[3] = {1, size[0], std::ptrdiff_t(size[0]) * size[1]};
    std::vector<std::uint8_t> known(count);
    for (std::size_t i = 0; i < count; ++i) known[i] = std::isfinite(volume[i]);

    auto position = [&](std::size_t i) {
        return std::array<int, 3>{int(i % size[0]), int((i / size[0]) % size[1]),
                                  int(i / (std::size_t(size[0]) * size[1]))};
    };
    // Visits the face neighbours of sample i inside the volume.
    auto forNeighbours = [&](std::size_t i, auto&& visit) {
        const std::array<int, 3> pos = position(i);
        for (int d = 0; d < 3; ++d) {
            if (pos[d] > 0) visit(i - stride[d]);
            if (pos[d] + 1 < size[d]) visit(i + stride[d]);
        }
    };
    // Visits the samples of the box of the given radius around sample i inside the volume.
    auto forBox = [&](std::size_t i, int radius, auto&& visit) {
        const std::array<int, 3> pos = position(i);
        int lo[3], hi[3];
        for (int d = 0; d < 3; ++d) {
            lo[d] = std::max(pos[d] - radius, 0);
            hi[d] = std::min(pos[d] + radius, size[d] - 1);
        }
        for (int z = lo[2]; z <= hi[2]; ++z)
            for (int y = lo[1]; y <= hi[1]; ++y)
                for (int x = lo[0]; x <= hi[0]; ++x)
                    visit(std::size_t(x + stride[1] * y + stride[2] * z));
    };
    std::vector<std::size_t> layer, next;
    std::vector<std::uint8_t> queued(count, 0);
    for (std::size_t i = 0; i < count; ++i)
        if (!known[i]) {
            bool edge = false;
            forNeighbours(i, [&](std::size_t j) { edge = edge || known[j]; });
            if (edge) {
                layer.push_back(i);
                queued[i] = 1;
            }
        }
    std::vector<float> values;
    for (int depth = 0; !layer.empty(); ++depth) {
        // Values of a layer come from earlier layers only, so the fill does not depend on the
        // order in which a layer is visited.
        values.resize(layer.size());
        for (std::size_t k = 0; k < layer.size(); ++k) {
            double sum = 0.0;
            int n = 0;
            auto add = [&](std::size_t j) {
                if (known[j]) {
                    sum += volume[j];
                    ++n;
                }
            };
            if (depth < WIDE_LAYERS)
                forBox(layer[k], WIDE_RADIUS, add);
            else
                forNeighbours(layer[k], add);
            values[k] = float(sum / n);
        }
        next.clear();
        for (std::size_t k = 0; k < layer.size(); ++k) {
            volume[layer[k]] = values[k];
            known[layer[k]] = 1;
        }
        for (std::size_t i : layer)
            forNeighbours(i, [&](std::size_t j) {
                if (!known[j] && !queued[j]) {
                    queued[j] = 1;
                    next.push_back(j);
                }
            });
        layer.swap(next);
    }
}

int checkedCoils(int coils) {
    if (coils < 1 || coils > 64)
        throw std::invalid_argument("coils must be a whole number from 1 to 64 (got " +
                                    std::to_string(coils) + ")");
    return coils;
}

int noiseScaleExponent(double sigma, const float* volume, const std::uint8_t* hasData,
                       std::size_t count) {
    if (sigma >= std::ldexp(1.0, -7) && sigma < std::ldexp(1.0, 7)) return 0;
    int k = -std::ilogb(sigma) - 4;
    float largest = 0.0f;
    for (std::size_t i = 0; volume && i < count; ++i)
        if (hasData[i]) largest = std::max(largest, std::fabs(volume[i]));
    // Squares of samples summed over a block overflow float beyond about 2^60.
    if (largest > 0.0f) k = std::min(k, 50 - std::ilogb(largest));
    return k;
}

void scaleByPowerOfTwo(float* v, std::size_t n, int k) {
    if (k == 0) return;
    for (std::size_t i = 0; i < n; ++i) v[i] = std::ldexp(v[i], k);
}

}  // namespace detail
}  // namespace kelvo
