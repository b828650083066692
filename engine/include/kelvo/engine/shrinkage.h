// Internal to the engine: the element-wise passes of the filters over a group spectrum (hard
// threshold, empirical Wiener gains and the risk estimates that choose their threshold,
// per-component variance sums) as vector kernels, each with its plain twin.
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

/// The Wiener thresholds a group chooses from, as multiples of the profile's threshold, in
/// increasing order; entry WIENER_PROFILE_CANDIDATE is the profile's threshold itself. Most
/// groups take an end of the range (strong signal the lowest, flat regions the highest), so
/// four candidates spanning a factor of 4.5 did as well as finer sets spanning less.
constexpr int WIENER_CANDIDATES = 4;
constexpr float WIENER_THRESHOLD_FACTORS[WIENER_CANDIDATES] = {4.0f / 9.0f, 6.0f / 9.0f, 1.0f,
                                                               2.0f};
/// The same under correlated noise, where lower thresholds lost on the most correlated
/// (Gaussian-filtered) noise and a background of zeros under box-filtered noise: the
/// thresholds 1.0, 1.15, 1.3 and 2.0 around the correlated profile's 1.3.
constexpr float WIENER_THRESHOLD_FACTORS_CORRELATED[WIENER_CANDIDATES] = {
    10.0f / 13.0f, 23.0f / 26.0f, 1.0f, 20.0f / 13.0f};
/// Correlated noise at least this flat (NoiseLags::flatness, 1 for white noise) chooses from the
/// white set. Noise correlated along one axis only (flatness 0.51 to 0.57 on an 8^3 grid)
/// gained 0.14 to 0.23 dB from it on volumes; noise filtered along every axis (0.07 to 0.28)
/// gained on some volumes and lost up to 0.2 dB on others. The copy binned by 2 that the coarse
/// scale denoises has flatter noise (0.44 for a 3x3x3 box, 0.36 for a Gaussian of width 1, 0.61
/// for [1 2 1] along every axis): this bound keeps the first two on the narrow set there, which
/// they did better with (lower by 0.02 to 0.05 dB with the white set).
constexpr float WIENER_WHITE_FACTORS_FLATNESS = 0.45f;
constexpr int WIENER_PROFILE_CANDIDATE = 2;
/// The pilot's energy (over the noise's) below which the pilot is taken to follow the noisy
/// coefficients: see wienerRisks.
constexpr float WIENER_NOISE_SHARE_SCALE = 0.04f;

/// Estimates of the squared error that wienerGains with each of the WIENER_CANDIDATES
/// `thresholds` would leave in the group spectrum s (noise variances v, pilot spectrum
/// `pilot`), less the constant sum_k v_k: with w_k the gain of coefficient k,
///   risks[c] = sum_k (1 - w_k)^2 s_k^2 + 2 w_k v_k + share * 4 v_k w_k (1 - w_k).
/// The first two terms are Stein's estimate for gains fixed independently of s. The pilot is
/// not independent of s: where it is mostly noise (flat regions, a background of zeros) it
/// follows s, and the estimate then favours weak shrinkage; for a pilot proportional to s the
/// exact estimate adds the third term. `share` = S / (S + sum_k p_k^2), S =
/// WIENER_NOISE_SHARE_SCALE * sum_k v_k (both sums over k >= 1, so that an offset of the data
/// does not count), weights it from about 1 where the pilot's energy is a small part of the
/// noise's to about 0 where the signal dominates. NaN inputs give NaN risks. Equals
/// wienerRisksPlain bit for bit.
void wienerRisks(const float* pilot, const float* s, const float* v, long long n,
                 const float* thresholds, float* risks);
void wienerRisksPlain(const float* pilot, const float* s, const float* v, long long n,
                      const float* thresholds, float* risks);

/// The threshold, among `threshold` times the WIENER_CANDIDATES `factors` (one of the tables
/// above), of least estimated risk (wienerRisks) for this group; `threshold` itself when no
/// other is strictly lower.
float chooseWienerThreshold(const float* pilot, const float* s, const float* v, long long n,
                            float threshold, const float* factors);

/// sums[j] = sum over i < B of v[j * B + i], for j < count. The fast form adds eight lanes
/// (i mod 8) and then the lanes by a fixed tree, so it agrees with the plain sequential sum
/// to single-precision rounding, not bit for bit.
void componentSums(const float* v, long long B, int count, float* sums);
void componentSumsPlain(const float* v, long long B, int count, float* sums);

}  // namespace kelvo
