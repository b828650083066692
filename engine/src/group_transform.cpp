#include "kelvo/engine/group_transform.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

// The butterflies' clones perform the same operations (additions, subtractions and
// products, nothing fused), so they give the same bits (see cpu_dispatch.h).
#include "kelvo/engine/cpu_dispatch.h"
#include "kelvo/engine/line_products.h"

namespace kelvo {

namespace {

using TransformsMetas::StandardTransform;

// sqrt(2^-m) for m = 0 .. 5, rounded once to single precision: the Haar scale of level j for
// a group of G = 2^L members is sqrt(2^j / G) = HAAR_SCALE[L - j] (1/sqrt(2) = 0.70710677).
const float HAAR_SCALE[6] = {1.0f,  static_cast<float>(0.70710678118654752440),
                             0.5f,  static_cast<float>(0.35355339059327376220),
                             0.25f, static_cast<float>(0.17677669529663688110)};

// Coefficient positions handled together: the butterflies run over these lanes, which lets
// the compiler vectorise across coefficient positions.
constexpr int LANES = 8;
constexpr int MAX_HAAR = 32;

constexpr int log2Exact(int g) {
    int l = 0;
    while ((1 << l) < g) ++l;
    return l;
}

// Forward Haar of G = 2^L members, W lanes each: v[k * W + l] is member k of lane l (v is
// destroyed). Output coefficient j of lane l goes to dst[j * stride + l]. Pair differences
// and sums are formed unscaled and each level is scaled once, so output 0 is
// (sum of all members) * sqrt(1/G) and the finest differences are (a - b) * 0.70710677.
// G is a template argument so that the butterflies unroll and the members stay in registers.
template <int W, int G>
__attribute__((always_inline)) inline void haarForwardLanes(float* v, float* dst,
                                                            long long stride) {
    constexpr int L = log2Exact(G);
    int level = L - 1;
    for (int half = G / 2; half >= 1; half /= 2, --level) {
        const float c = HAAR_SCALE[L - level];
        for (int k = 0; k < half; ++k) {
            float* out = dst + (half + k) * stride;
            const float* a = v + 2 * k * W;
            const float* b = a + W;
            for (int l = 0; l < W; ++l) out[l] = (a[l] - b[l]) * c;
            float* s = v + k * W;  // k <= 2k: the pair has been read
            for (int l = 0; l < W; ++l) s[l] = a[l] + b[l];
        }
    }
    const float c0 = HAAR_SCALE[L];
    for (int l = 0; l < W; ++l) dst[l] = v[l] * c0;
}

// Inverse (transpose) Haar: y[j * ystride + l] holds coefficient j of lane l; member m of
// lane l is written to v[m * W + l].
template <int W, int G>
__attribute__((always_inline)) inline void haarInverseLanes(const float* y, long long ystride,
                                                            float* v) {
    constexpr int L = log2Exact(G);
    const float c0 = HAAR_SCALE[L];
    for (int l = 0; l < W; ++l) v[l] = y[l] * c0;
    int level = 0;
    for (int size = 1; size < G; size *= 2, ++level) {
        const float c = HAAR_SCALE[L - level];
        for (int k = size - 1; k >= 0; --k) {  // descending: v[k] is read before 2k, 2k+1
            const float* d = y + (size + k) * ystride;
            float* lo = v + 2 * k * W;
            float* hi = lo + W;
            const float* t = v + k * W;
            for (int l = 0; l < W; ++l) {
                const float a = t[l];
                const float b = d[l] * c;
                lo[l] = a + b;
                hi[l] = a - b;
            }
        }
    }
}

int haarSizeOf(StandardTransform kind, bool& forward) {
    switch (kind) {
        case TransformsMetas::HAAR4_NL_FWD:
            forward = true;
            return 4;
        case TransformsMetas::HAAR8_NL_FWD:
            forward = true;
            return 8;
        case TransformsMetas::HAAR16_NL_FWD:
            forward = true;
            return 16;
        case TransformsMetas::HAAR32_NL_FWD:
            forward = true;
            return 32;
        case TransformsMetas::HAAR4_NL_INV:
            forward = false;
            return 4;
        case TransformsMetas::HAAR8_NL_INV:
            forward = false;
            return 8;
        case TransformsMetas::HAAR16_NL_INV:
            forward = false;
            return 16;
        case TransformsMetas::HAAR32_NL_INV:
            forward = false;
            return 32;
        default:
            return 0;
    }
}

// Whether the floats [a, a + na) and [b, b + nb) share no element (compared as addresses:
// the two need not belong to one array).
inline bool disjoint(const float* a, long long na, const float* b, long long nb) {
    const std::uintptr_t x = reinterpret_cast<std::uintptr_t>(a);
    const std::uintptr_t y = reinterpret_cast<std::uintptr_t>(b);
    return x + static_cast<std::uintptr_t>(na) * sizeof(float) <= y ||
           y + static_cast<std::uintptr_t>(nb) * sizeof(float) <= x;
}

// Haar butterflies over whole groups, member-major (coefficient i of member k at k*n + i),
// LANES adjacent coefficients at a time.
//
// When the input and output do not overlap and n >= LANES, a last partial run of lanes is
// taken as the full run that ends at n instead: its first lanes recompute coefficients
// already written, from the same inputs by the same operations, so they write the same bits.
template <int G>
__attribute__((always_inline)) inline void haarLanesOf(const float* in, float* out, long long n,
                                                       bool forward) {
    float v[G * LANES];
    float y[G * LANES];
    const bool apart = disjoint(in, G * n, out, G * n);
    for (long long i0 = 0; i0 < n; i0 += LANES) {
        int w = static_cast<int>(std::min<long long>(LANES, n - i0));
        if (w < LANES && apart && n >= LANES) {
            i0 = n - LANES;
            w = LANES;
        }
        if (w == LANES) {
            // Full lanes: the forward butterflies write their destination directly, the
            // inverse ones read their source directly (same operations as below).
            if (forward) {
                for (int k = 0; k < G; ++k)
                    for (int l = 0; l < LANES; ++l) v[k * LANES + l] = in[k * n + i0 + l];
                haarForwardLanes<LANES, G>(v, out + i0, n);
            } else {
                haarInverseLanes<LANES, G>(in + i0, n, v);
                for (int j = 0; j < G; ++j)
                    for (int l = 0; l < LANES; ++l) out[j * n + i0 + l] = v[j * LANES + l];
            }
            continue;
        }
        for (int k = 0; k < G; ++k)
            for (int l = 0; l < LANES; ++l) v[k * LANES + l] = l < w ? in[k * n + i0 + l] : 0.f;
        if (forward) {
            haarForwardLanes<LANES, G>(v, y, LANES);
        } else {
            std::memcpy(y, v, sizeof(float) * static_cast<std::size_t>(G) * LANES);
            haarInverseLanes<LANES, G>(y, LANES, v);
            std::memcpy(y, v, sizeof(float) * static_cast<std::size_t>(G) * LANES);
        }
        for (int j = 0; j < G; ++j)
            for (int l = 0; l < w; ++l) out[j * n + i0 + l] = y[j * LANES + l];
    }
}

KELVO_CLONES void haarLanes(const float* in, float* out, long long n, int G, bool forward) {
    switch (G) {
        case 1:
            return haarLanesOf<1>(in, out, n, forward);
        case 2:
            return haarLanesOf<2>(in, out, n, forward);
        case 4:
            return haarLanesOf<4>(in, out, n, forward);
        case 8:
            return haarLanesOf<8>(in, out, n, forward);
        case 16:
            return haarLanesOf<16>(in, out, n, forward);
        default:
            return haarLanesOf<32>(in, out, n, forward);
    }
}

// forwardHaarGroup's body: members read through the match list, full lanes written straight
// to their destination.
// A last partial run of lanes is taken as the full run ending at n, as in haarLanesOf, when no
// member's block lies in the destination.
template <int G>
__attribute__((always_inline)) inline void haarGroupLanesOf(const BlockDistance<float>* matches,
                                                            float* dst, long long n) {
    float v[G * LANES];
    float y[G * LANES];
    bool apart = n >= LANES;
    for (int k = 0; k < G && apart; ++k) apart = disjoint(matches[k].data, n, dst, G * n);
    for (long long i0 = 0; i0 < n; i0 += LANES) {
        int w = static_cast<int>(std::min<long long>(LANES, n - i0));
        if (w < LANES && apart) {
            i0 = n - LANES;
            w = LANES;
        }
        if (w == LANES) {
            for (int k = 0; k < G; ++k) {
                const float* src = matches[k].data + i0;
                for (int l = 0; l < LANES; ++l) v[k * LANES + l] = src[l];
            }
            haarForwardLanes<LANES, G>(v, dst + i0, n);
            continue;
        }
        for (int k = 0; k < G; ++k)
            for (int l = 0; l < LANES; ++l)
                v[k * LANES + l] = l < w ? matches[k].data[i0 + l] : 0.f;
        haarForwardLanes<LANES, G>(v, y, LANES);
        for (int j = 0; j < G; ++j)
            for (int l = 0; l < w; ++l) dst[j * n + i0 + l] = y[j * LANES + l];
    }
}

KELVO_CLONES void haarGroupLanes(const BlockDistance<float>* matches, int G, float* dst,
                                 long long n) {
    switch (G) {
        case 1:
            return haarGroupLanesOf<1>(matches, dst, n);
        case 2:
            return haarGroupLanesOf<2>(matches, dst, n);
        case 4:
            return haarGroupLanesOf<4>(matches, dst, n);
        case 8:
            return haarGroupLanesOf<8>(matches, dst, n);
        case 16:
            return haarGroupLanesOf<16>(matches, dst, n);
        default:
            return haarGroupLanesOf<32>(matches, dst, n);
    }
}

}  // namespace

template <typename T>
void transformBlocksNL(const Cube4D<T>& in, int G, const float* M, StandardTransform kind,
                       Cube4D<T>& out, Vec3<int> blockSize) {
    if (G <= 0) return;
    const long long n = static_cast<long long>(blockSize.x) * blockSize.y * blockSize.z;
    bool forward = true;
    const int haar = haarSizeOf(kind, forward);
    if (haar != G) {  // not a Haar kind, or one that describes another group size
        if (M) {
            // out[j * n + i] = sum_k M[j * G + k] in[k * n + i]: G lines of stride n.
            productStrided<0>(in.data, out.data, M, G, n, 1, 0);
        } else if (G == 1) {  // the identity: the default tables hold no 1 x 1 matrix
            std::memcpy(out.data, in.data, static_cast<std::size_t>(n) * sizeof(T));
        } else {
            throw std::invalid_argument("transformBlocksNL: no matrix for this group size");
        }
        return;
    }
    haarLanes(reinterpret_cast<const float*>(in.data), reinterpret_cast<float*>(out.data), n, G,
              forward);
}

void forwardHaar_32_16_8_4_2_1(const BlockDistance<float>* matches, int i, float* dst, int stride,
                               int G) {
    if (G < 1 || G > MAX_HAAR || (G & (G - 1)) != 0)
        throw std::invalid_argument("forwardHaar_32_16_8_4_2_1: group size not in 1, 2, ..., 32");
    float v[MAX_HAAR];
    for (int k = 0; k < G; ++k) v[k] = matches[k].data[i];
    switch (G) {
        case 1:
            return haarForwardLanes<1, 1>(v, dst, stride);
        case 2:
            return haarForwardLanes<1, 2>(v, dst, stride);
        case 4:
            return haarForwardLanes<1, 4>(v, dst, stride);
        case 8:
            return haarForwardLanes<1, 8>(v, dst, stride);
        case 16:
            return haarForwardLanes<1, 16>(v, dst, stride);
        default:
            return haarForwardLanes<1, 32>(v, dst, stride);
    }
}

void forwardHaarGroup(const BlockDistance<float>* matches, int G, float* dst, long long n) {
    if (G < 1 || G > MAX_HAAR || (G & (G - 1)) != 0)
        throw std::invalid_argument("forwardHaarGroup: group size not in 1, 2, ..., 32");
    haarGroupLanes(matches, G, dst, n);
}

template void transformBlocksNL<float>(const Cube4D<float>&, int, const float*, StandardTransform,
                                       Cube4D<float>&, Vec3<int>);

}  // namespace kelvo
