// Internal to the engine: the vector kernel of the group variances' lag path and its plain
// twin.
#pragma once

namespace kelvo {

/// Components handled by one call of accumulateLagPairs, and the stride of its weights.
constexpr int LAG_PAIR_COMPONENTS = 4;

/// For p = 0 .. pairs-1 in turn, k < components (at most LAG_PAIR_COMPONENTS) and i < B:
///   v[k * B + i] += weights[LAG_PAIR_COMPONENTS * p + k] * rows[p][i],
/// the product rounded before the sum. Every element receives its additions in pair order,
/// so the result equals accumulateLagPairsPlain's bit for bit; the coefficients are held in
/// registers across the pairs instead of being loaded and stored once per pair. A zero weight
/// adds an exact zero (rows are finite). Allocates nothing.
void accumulateLagPairs(float* v, int B, int components, const float* const* rows,
                        const float* weights, int pairs);

/// The same sums as the straightforward loop (pairs outermost).
void accumulateLagPairsPlain(float* v, int B, int components, const float* const* rows,
                             const float* weights, int pairs);

}  // namespace kelvo
