// The inner loop of the group variances' lag path: every correlated pair of members adds its
// weighted covariance row to the variances of the components it weighs.
#include "kelvo/engine/variance_kernels.h"

#include <cstring>

// Built with -ffp-contract=off (engine/CMakeLists.txt): every product is rounded before it
// is added, in both clones and in the plain loop, so the three give the same bits.
#include "kelvo/engine/cpu_dispatch.h"
#include "kelvo/engine/vector8.h"

// The vector helpers are always inlined into the clones (see block_matching.cpp).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kelvo {

namespace {

using namespace vec8;

// Coefficients i0 .. i0 + 8 W - 1 of KC components, held in registers over the whole pair
// list: each coefficient still receives its additions in pair order. Chunks of 16 (W = 2)
// take the block; one of 8 (W = 1) the rest of 6x6x6 blocks (216 = 13 x 16 + 8), which the
// scalar loop took eight times as long per coefficient.
template <int KC, int W>
__attribute__((always_inline)) inline void chunk(float* v, int B, const float* const* rows,
                                                 const float* weights, int pairs, int i0) {
    V8 acc[KC][W];
    for (int k = 0; k < KC; ++k)
        for (int j = 0; j < W; ++j)
            acc[k][j] = load8(v + static_cast<long long>(k) * B + i0 + 8 * j);
    for (int p = 0; p < pairs; ++p) {
        V8 r[W];
        for (int j = 0; j < W; ++j) r[j] = load8(rows[p] + i0 + 8 * j);
        const float* w = weights + LAG_PAIR_COMPONENTS * p;
        for (int k = 0; k < KC; ++k)
            for (int j = 0; j < W; ++j) acc[k][j] += w[k] * r[j];
    }
    for (int k = 0; k < KC; ++k)
        for (int j = 0; j < W; ++j)
            store8(v + static_cast<long long>(k) * B + i0 + 8 * j, acc[k][j]);
}

// The last T < 8 coefficients of KC components in one register each, read and written T
// floats at a time (never past the end of a row or a component): the 3 past 24 of a 3x3x3
// block, which the scalar loop took one by one.
template <int KC, int T>
__attribute__((always_inline)) inline void tail(float* v, int B, const float* const* rows,
                                                const float* weights, int pairs, int i0) {
    V8 acc[KC];
    for (int k = 0; k < KC; ++k) {
        acc[k] = V8{};
        for (int i = 0; i < T; ++i) acc[k][i] = v[static_cast<long long>(k) * B + i0 + i];
    }
    for (int p = 0; p < pairs; ++p) {
        V8 r = V8{};
        for (int i = 0; i < T; ++i) r[i] = rows[p][i0 + i];
        const float* w = weights + LAG_PAIR_COMPONENTS * p;
        for (int k = 0; k < KC; ++k) acc[k] += w[k] * r;
    }
    for (int k = 0; k < KC; ++k)
        for (int i = 0; i < T; ++i) v[static_cast<long long>(k) * B + i0 + i] = acc[k][i];
}

// tail<KC, T> for the remainder t (0 to 7) known only at run time.
template <int KC, int T = 1>
__attribute__((always_inline)) inline void tailOf(float* v, int B, const float* const* rows,
                                                  const float* weights, int pairs, int i0, int t) {
    if constexpr (T < 8) {
        if (t == T) return tail<KC, T>(v, B, rows, weights, pairs, i0);
        tailOf<KC, T + 1>(v, B, rows, weights, pairs, i0, t);
    }
}

template <int KC>
__attribute__((always_inline)) inline void accumulate(float* v, int B, const float* const* rows,
                                                      const float* weights, int pairs) {
    int i0 = 0;
    for (; i0 + 16 <= B; i0 += 16) chunk<KC, 2>(v, B, rows, weights, pairs, i0);
    if (i0 + 8 <= B) {
        chunk<KC, 1>(v, B, rows, weights, pairs, i0);
        i0 += 8;
    }
    tailOf<KC>(v, B, rows, weights, pairs, i0, B - i0);
}

}  // namespace

KELVO_CLONES void accumulateLagPairs(float* v, int B, int components, const float* const* rows,
                                     const float* weights, int pairs) {
    switch (components) {
        case 1:
            accumulate<1>(v, B, rows, weights, pairs);
            break;
        case 2:
            accumulate<2>(v, B, rows, weights, pairs);
            break;
        case 3:
            accumulate<3>(v, B, rows, weights, pairs);
            break;
        case 4:
            accumulate<4>(v, B, rows, weights, pairs);
            break;
        default:
            break;
    }
}

void accumulateLagPairsPlain(float* v, int B, int components, const float* const* rows,
                             const float* weights, int pairs) {
    for (int p = 0; p < pairs; ++p) {
        for (int k = 0; k < components; ++k) {
            const float w = weights[LAG_PAIR_COMPONENTS * p + k];
            float* vk = v + static_cast<long long>(k) * B;
            for (int i = 0; i < B; ++i) vk[i] += w * rows[p][i];
        }
    }
}

}  // namespace kelvo
