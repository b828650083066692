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

// The risk kernels keep one partial sum per candidate and coefficient index k mod 8 (a
// vector lane), reduced in reduce8's order at the end.
constexpr int LANES = 8;

// Coefficient k's terms of the risk estimate for each candidate threshold: the squared
// residual (1 - w)^2 y^2 plus 2 w v into `fit`, and 4 v w (1 - w), weighted by the pilot's
// noise share (see wienerRisks), into `follow`; lane k mod 8 of each candidate's sums.
__attribute__((always_inline)) inline void riskOne(float p, float y, float v, const float* t,
                                                   float (*fit)[LANES], float (*follow)[LANES],
                                                   int lane) {
    const float p2 = p * p;
    const float floored = v > 1e-8f ? v : 1e-8f;
    const float y2 = y * y;
    for (int c = 0; c < WIENER_CANDIDATES; ++c) {
        const float w = p2 > 0.0f ? p2 / (floored * t[c] + p2) : 0.0f;
        const float u = 1.0f - w;
        fit[c][lane] += u * u * y2 + 2.0f * v * w;
        follow[c][lane] += 4.0f * v * w * u;
    }
}

// Coefficients from .. n-1 of a group into the lane sums one at a time: riskOne's terms, and
// the pilot's and the noise's energies for k >= 1.
inline void addRiskTerms(const float* pilot, const float* s, const float* v, long long from,
                         long long n, const float* t, float (*fit)[LANES], float (*follow)[LANES],
                         float* pilotEnergy, float* noiseEnergy) {
    for (long long k = from; k < n; ++k) {
        const int lane = static_cast<int>(k % LANES);
        riskOne(pilot[k], s[k], v[k], t, fit, follow, lane);
        if (k > 0) {
            pilotEnergy[lane] += pilot[k] * pilot[k];
            noiseEnergy[lane] += v[k];
        }
    }
}

// reduce8's order on lanes held in memory.
inline float reduceLanes(const float* a) {
    return ((a[0] + a[4]) + (a[1] + a[5])) + ((a[2] + a[6]) + (a[3] + a[7]));
}

// The risks from the lane sums: the weight of the pilot-following term is
// S / (S + sum p^2), S = WIENER_NOISE_SHARE_SCALE * sum v, the sums over k >= 1.
void combineRisks(const float (*fit)[LANES], const float (*follow)[LANES], const float* pilotEnergy,
                  const float* noiseEnergy, float* risks) {
    const float pilot = reduceLanes(pilotEnergy), noise = reduceLanes(noiseEnergy);
    const float scaled = WIENER_NOISE_SHARE_SCALE * noise;
    const float share = scaled + pilot > 0.0f ? scaled / (scaled + pilot) : 0.0f;
    for (int c = 0; c < WIENER_CANDIDATES; ++c)
        risks[c] = reduceLanes(fit[c]) + share * reduceLanes(follow[c]);
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
    // Eight coefficients per vector, each candidate with its own sums: one division per
    // candidate and eight coefficients, and no sum waits on another.
    static_assert(WIENER_CANDIDATES == 4, "four candidates unrolled below");
    const V8 floor = splat(1e-8f);
    const V8 zero = splat(0.0f);
    const V8 one = splat(1.0f);
    const V8 two = splat(2.0f);
    const V8 four = splat(4.0f);
    const V8 t[WIENER_CANDIDATES] = {splat(thresholds[0]), splat(thresholds[1]),
                                     splat(thresholds[2]), splat(thresholds[3])};
    V8 fit[WIENER_CANDIDATES] = {zero, zero, zero, zero};
    V8 follow[WIENER_CANDIDATES] = {zero, zero, zero, zero};
    V8 pilotEnergy = zero, noiseEnergy = zero;
    // The energies leave out coefficient 0 (lane 0 of the first vector).
    I8 counted = {0, -1, -1, -1, -1, -1, -1, -1};
    long long k = 0;
    for (; k + LANES <= n; k += LANES) {
        const V8 p = load8(pilot + k), y = load8(s + k), vv = load8(v + k);
        const V8 p2 = p * p;
        const V8 y2 = y * y;
        const V8 floored = vv > floor ? vv : floor;
        const I8 live = p2 > zero;
        for (int c = 0; c < WIENER_CANDIDATES; ++c) {
            // Lanes with p2 <= 0 (or NaN) divide whatever is there and are then discarded.
            const V8 w = live ? p2 / (floored * t[c] + p2) : zero;
            const V8 u = one - w;
            fit[c] += u * u * y2 + two * vv * w;
            follow[c] += four * vv * w * u;
        }
        pilotEnergy += counted ? p2 : zero;
        noiseEnergy += counted ? vv : zero;
        counted = I8{-1, -1, -1, -1, -1, -1, -1, -1};
    }
    float fitLanes[WIENER_CANDIDATES][LANES], followLanes[WIENER_CANDIDATES][LANES];
    float pilotLanes[LANES], noiseLanes[LANES];
    for (int c = 0; c < WIENER_CANDIDATES; ++c) {
        store8(fitLanes[c], fit[c]);
        store8(followLanes[c], follow[c]);
    }
    store8(pilotLanes, pilotEnergy);
    store8(noiseLanes, noiseEnergy);
    addRiskTerms(pilot, s, v, k, n, thresholds, fitLanes, followLanes, pilotLanes, noiseLanes);
    combineRisks(fitLanes, followLanes, pilotLanes, noiseLanes, risks);
}

void wienerRisksPlain(const float* pilot, const float* s, const float* v, long long n,
                      const float* thresholds, float* risks) {
    // Coefficients summed apart by k mod 8, then reduced: the vector kernel's order.
    float fit[WIENER_CANDIDATES][LANES] = {}, follow[WIENER_CANDIDATES][LANES] = {};
    float pilotEnergy[LANES] = {}, noiseEnergy[LANES] = {};
    addRiskTerms(pilot, s, v, 0, n, thresholds, fit, follow, pilotEnergy, noiseEnergy);
    combineRisks(fit, follow, pilotEnergy, noiseEnergy, risks);
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
