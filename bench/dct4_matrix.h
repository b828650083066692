// The orthonormal 4-point DCT-II as a row-major 4x4 matrix (row k holds frequency k), for the
// benchmarks that build a block collection of 4x4x4 blocks by hand.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

inline std::vector<float> dct4() {
    std::vector<float> m(16);
    const double pi = std::acos(-1.0);
    for (int k = 0; k < 4; ++k)
        for (int x = 0; x < 4; ++x)
            m[static_cast<std::size_t>(k * 4 + x)] = static_cast<float>(
                std::sqrt((k == 0 ? 1.0 : 2.0) / 4) * std::cos(pi * (2 * x + 1) * k / 8.0));
    return m;
}
