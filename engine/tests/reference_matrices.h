// Reference transform matrices computed in double precision by the tests themselves, so
// that tests do not depend on the engine's own tables.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace kelvo {
namespace testing {

/// Orthonormal n-point DCT-II, row k giving coefficient k, rounded from double precision.
inline std::vector<float> dctMatrix(int n) {
    std::vector<float> m(static_cast<std::size_t>(n) * n);
    const double pi = std::acos(-1.0);
    for (int k = 0; k < n; ++k)
        for (int x = 0; x < n; ++x)
            m[static_cast<std::size_t>(k) * n + x] = static_cast<float>(
                std::sqrt((k == 0 ? 1.0 : 2.0) / n) * std::cos(pi * (2 * x + 1) * k / (2.0 * n)));
    return m;
}

}  // namespace testing
}  // namespace kelvo
