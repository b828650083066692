// Internal to the engine: the element-wise passes of the filters over a group spectrum (hard
// threshold, empirical Wiener gains, per-component variance sums) as vector kernels, each
// with its plain twin.
#pragma once

namespace kelvo {

/// Hard threshold: for k = 1 .. n-1, where thresholdSquared * v[k] > s[k]^2, s[k] and v[k]
/// become 0 (index 0, the DC of the group mean, is never touched; a square equal to the
/// product survives, and so does a NaN). Equals hardThresholdPlain bit for bit.
void hardThreshold(float* s, float* v, long long n, float thresholdSquared);
void hardThresholdPlain(float* s, float* v, long long n, float thresholdSquared);

/// Empirical Wiener gains, for k = 0 .. n-1: with p2 = pilot[k]^2,
/// gain = p2 > 0 ? p2 / (max(1e-8, v[k]) * threshold + p2) : 0 (a NaN variance is floored,
/// a NaN pilot gives 0), then s[k] *= gain and v[k] *= gain^2. Equals wienerGainsPlain bit
/// for bit.
void wienerGains(const float* pilot, float* s, float* v, long long n, float threshold);
void wienerGainsPlain(const float* pilot, float* s, float* v, long long n, float threshold);

/// sums[j] = sum over i < B of v[j * B + i], for j < count. The fast form adds eight lanes
/// (i mod 8) and then the lanes by a fixed tree, so it agrees with the plain sequential sum
/// to single-precision rounding, not bit for bit.
void componentSums(const float* v, long long B, int count, float* sums);
void componentSumsPlain(const float* v, long long B, int count, float* sums);

}  // namespace kelvo
