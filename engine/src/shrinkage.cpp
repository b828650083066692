// The filters' element-wise passes over a group spectrum. Built with -ffp-contract=off
// (engine/CMakeLists.txt): the clones perform the plain loops' operations lane by lane, with
// every product rounded on its own, so hard threshold, Wiener gains and Wiener risks give the
// same bits.
#include "kelvo/engine/shrinkage.h"

#include <cstring>

#include "kelvo/engine/cpu_dispatch.h"
#include "kelvo/engine/vector8.h"

// The vector helpers are always inlined into the clones (see block_matching.cpp).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kelvo {

namespace {

using namespace vec8;

// One coefficient's terms of the risk estimate for each of the candidate thresholds: the
// squared residual (1 - w)^2 y^2 plus 2 w v, and the term 4 v w (1 - w) weighted by the pilot's
// noise share (see wienerRisks).
__attribute__((always_inline)) inline void riskOne(float p, float y, float v, const float* t,
                                                   float* fit, float* follow) {
    const float p2 = p * p;
    const float floored = v > 1e-8f ? v : 1e-8f;
    const float y2 = y * y;
    for (int c = 0; c < WIENER_CANDIDATES; ++c) {
        const float w = p2 > 0.0f ? p2 / (floored * t[c] + p2) : 0.0f;
        const float u = 1.0f - w;
        fit[c] += u * u * y2 + 2.0f * v * w;
        follow[c] += 4.0f * v * w * u;
    }
}

// The risks from the sums of the terms: the weight of the pilot-following term is
// S / (S + sum p^2), S = WIENER_NOISE_SHARE_SCALE * sum v, the sums over k >= 1.
void combineRisks(const float* fit, const float* follow, float pilotEnergy, float noiseEnergy,
                  float* risks) {
    const float scaled = WIENER_NOISE_SHARE_SCALE * noiseEnergy;
    const float share = scaled + pilotEnergy > 0.0f ? scaled / (scaled + pilotEnergy) : 0.0f;
    for (int c = 0; c < WIENER_CANDIDATES; ++c) risks[c] = fit[c] + share * follow[c];
}

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

KELVO_CLONES void wienerRisks(const float* pilot, const float* s, const float* v, long long n,
                              const float* thresholds, float* risks) {
    // Lanes 0-3 take the candidates for an even coefficient, lanes 4-7 for the odd one after
    // it: each half accumulates its coefficients in the plain loop's order.
    static_assert(WIENER_CANDIDATES == 4, "two coefficients of four candidates per vector");
    const float* t4 = thresholds;
    const V8 t = {t4[0], t4[1], t4[2], t4[3], t4[0], t4[1], t4[2], t4[3]};
    const V8 floor = splat(1e-8f);
    const V8 zero = splat(0.0f);
    const V8 one = splat(1.0f);
    const V8 two = splat(2.0f);
    const V8 four = splat(4.0f);
    V8 fit = zero, follow = zero;
    float pilotEnergy = 0.0f, noiseEnergy = 0.0f;
    long long k = 0;
    for (; k + 2 <= n; k += 2) {
        const float p0 = pilot[k] * pilot[k], p1 = pilot[k + 1] * pilot[k + 1];
        const float y0 = s[k] * s[k], y1 = s[k + 1] * s[k + 1];
        const float v0 = v[k], v1 = v[k + 1];
        const V8 p2 = {p0, p0, p0, p0, p1, p1, p1, p1};
        const V8 vv = {v0, v0, v0, v0, v1, v1, v1, v1};
        const V8 y2 = {y0, y0, y0, y0, y1, y1, y1, y1};
        const V8 floored = vv > floor ? vv : floor;
        // Lanes with p2 <= 0 (or NaN) divide whatever is there and are then discarded.
        const V8 w = p2 > zero ? p2 / (floored * t + p2) : zero;
        const V8 u = one - w;
        fit += u * u * y2 + two * vv * w;
        follow += four * vv * w * u;
        if (k > 0) {
            pilotEnergy += p0;
            noiseEnergy += v0;
        }
        pilotEnergy += p1;
        noiseEnergy += v1;
    }
    float sums[2][2 * WIENER_CANDIDATES];
    store8(sums[0], fit);
    store8(sums[1], follow);
    if (k < n) {
        riskOne(pilot[k], s[k], v[k], thresholds, sums[0], sums[1]);
        if (k > 0) {
            pilotEnergy += pilot[k] * pilot[k];
            noiseEnergy += v[k];
        }
    }
    float fitSums[WIENER_CANDIDATES], followSums[WIENER_CANDIDATES];
    for (int c = 0; c < WIENER_CANDIDATES; ++c) {
        fitSums[c] = sums[0][c] + sums[0][c + WIENER_CANDIDATES];
        followSums[c] = sums[1][c] + sums[1][c + WIENER_CANDIDATES];
    }
    combineRisks(fitSums, followSums, pilotEnergy, noiseEnergy, risks);
}

void wienerRisksPlain(const float* pilot, const float* s, const float* v, long long n,
                      const float* thresholds, float* risks) {
    // Even and odd coefficients summed apart, then added: the vector kernel's order.
    float fit[2][WIENER_CANDIDATES] = {}, follow[2][WIENER_CANDIDATES] = {};
    float pilotEnergy = 0.0f, noiseEnergy = 0.0f;
    for (long long k = 0; k < n; ++k) {
        riskOne(pilot[k], s[k], v[k], thresholds, fit[k % 2], follow[k % 2]);
        if (k > 0) {
            pilotEnergy += pilot[k] * pilot[k];
            noiseEnergy += v[k];
        }
    }
    float fitSums[WIENER_CANDIDATES], followSums[WIENER_CANDIDATES];
    for (int c = 0; c < WIENER_CANDIDATES; ++c) {
        fitSums[c] = fit[0][c] + fit[1][c];
        followSums[c] = follow[0][c] + follow[1][c];
    }
    combineRisks(fitSums, followSums, pilotEnergy, noiseEnergy, risks);
}

float chooseWienerThreshold(const float* pilot, const float* s, const float* v, long long n,
                            float threshold, const float* factors) {
    float thresholds[WIENER_CANDIDATES], risks[WIENER_CANDIDATES];
    for (int c = 0; c < WIENER_CANDIDATES; ++c) thresholds[c] = threshold * factors[c];
    wienerRisks(pilot, s, v, n, thresholds, risks);
    // The profile's threshold unless another is strictly better (a NaN risk never is).
    int best = WIENER_PROFILE_CANDIDATE;
    for (int c = 0; c < WIENER_CANDIDATES; ++c)
        if (risks[c] < risks[best]) best = c;
    return thresholds[best];
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
