// The filters' element-wise passes over a group spectrum. Built with -ffp-contract=off
// (engine/CMakeLists.txt): the clones perform the plain loops' operations lane by lane, with
// every product rounded on its own, so hard threshold and Wiener gains give the same bits.
#include "kelvo/engine/shrinkage.h"

#include <cstring>

#include "kelvo/engine/cpu_dispatch.h"
#include "kelvo/engine/vector8.h"

// The vector helpers are always inlined into the clones (see block_matching.cpp).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kelvo {

namespace {

using namespace vec8;

__attribute__((always_inline)) inline void wienerOne(float p, float& s, float& v, float threshold) {
    const float p2 = p * p;
    const float floored = v > 1e-8f ? v : 1e-8f;
    const float denom = floored * threshold + p2;
    const float gain = p2 > 0.0f ? p2 / denom : 0.0f;
    s *= gain;
    v *= gain * gain;
}

}  // namespace

KELVO_CLONES void hardThreshold(float* s, float* v, long long n, float thresholdSquared) {
    if (n < 2) return;
    // Index 0 goes through the vector loop too and is put back afterwards.
    const float s0 = s[0], v0 = v[0];
    const V8 t2 = splat(thresholdSquared);
    const V8 zero = splat(0.0f);
    long long k = 0;
    for (; k + 8 <= n; k += 8) {
        const V8 sk = load8(s + k);
        const V8 vk = load8(v + k);
        const I8 cut = t2 * vk > sk * sk;
        store8(s + k, cut ? zero : sk);
        store8(v + k, cut ? zero : vk);
    }
    for (; k < n; ++k) {
        if (thresholdSquared * v[k] > s[k] * s[k]) {
            s[k] = 0.0f;
            v[k] = 0.0f;
        }
    }
    s[0] = s0;
    v[0] = v0;
}

void hardThresholdPlain(float* s, float* v, long long n, float thresholdSquared) {
    for (long long k = 1; k < n; ++k) {
        if (thresholdSquared * v[k] > s[k] * s[k]) {
            s[k] = 0.0f;
            v[k] = 0.0f;
        }
    }
}

KELVO_CLONES void wienerGains(const float* pilot, float* s, float* v, long long n,
                              float threshold) {
    const V8 t = splat(threshold);
    const V8 floor = splat(1e-8f);
    const V8 zero = splat(0.0f);
    long long k = 0;
    for (; k + 8 <= n; k += 8) {
        const V8 p = load8(pilot + k);
        const V8 vk = load8(v + k);
        const V8 p2 = p * p;
        const V8 floored = vk > floor ? vk : floor;
        const V8 denom = floored * t + p2;
        // Lanes with p2 <= 0 (or NaN) divide whatever is there and are then discarded.
        const V8 gain = p2 > zero ? p2 / denom : zero;
        store8(s + k, load8(s + k) * gain);
        store8(v + k, vk * (gain * gain));
    }
    for (; k < n; ++k) wienerOne(pilot[k], s[k], v[k], threshold);
}

void wienerGainsPlain(const float* pilot, float* s, float* v, long long n, float threshold) {
    for (long long k = 0; k < n; ++k) wienerOne(pilot[k], s[k], v[k], threshold);
}

KELVO_CLONES void componentSums(const float* v, long long B, int count, float* sums) {
    for (int j = 0; j < count; ++j) {
        const float* row = v + B * j;
        V8 acc = splat(0.0f);
        long long i = 0;
        for (; i + 8 <= B; i += 8) acc += load8(row + i);
        float s = reduce8(acc);
        for (; i < B; ++i) s += row[i];
        sums[j] = s;
    }
}

void componentSumsPlain(const float* v, long long B, int count, float* sums) {
    for (int j = 0; j < count; ++j) {
        float s = 0.0f;
        for (long long i = 0; i < B; ++i) s += v[B * j + i];
        sums[j] = s;
    }
}

}  // namespace kelvo
