// Memory a stage needs, and the choice of block caches that keeps it within a budget.
//
// The largest buffers of a stage are its block caches (block_collection.h) of the volume its
// groups are searched in (the noisy volume, or in the Wiener stage the pilot), each holding
// the transformed block of every block position inside its window. A cache that spans the whole
// volume is shared by every thread; a window split along a dimension (`splitComp`) follows
// the reference location, and every thread owns one. Along dimension d a cache holds
//   c_d = min(2 * e_d + 2, n_d - b_d) + 1 block positions,
// with n the volume, b the block and e_d = searchRadius_d + 1 when split, n_d + 1 when not;
// it takes c_0 * c_1 * c_2 * B * 4 bytes (B = b_0 * b_1 * b_2 floats per block).
// Splitting gives the same estimate (the cache is only a cache) and costs time: a window
// split along an inner dimension is refilled whenever the reference moves along an outer one.
#pragma once

#include <cstdint>

#include "kelvo/engine/records.h"

namespace kelvo {

/// How a stage run by several threads divides its walk: each thread's share of the reference
/// locations is cut into HOME_SHARES equal shares; the first HOME_SHARES - TAIL_PARTS make
/// one part, each of the last TAIL_PARTS a part of its own that a thread done with its own
/// share may take over (stage.h).
constexpr int HOME_SHARES = 16;
constexpr int TAIL_PARTS = 2;

/// Bytes of block caches a stage may hold before dimensions are split automatically.
constexpr std::int64_t BLOCK_CACHE_BUDGET = std::int64_t(1) << 30;

/// The threads a stage runs with: `numThreads`, or every hardware thread when it is below 1.
int stageThreadCount(const Parameters& p);

/// Bytes of the block caches a stage (either) allocates with the record's `splitComp`, over
/// all its threads: one shared cache when it spans the whole volume, one per thread otherwise.
std::int64_t blockCacheBytes(const Parameters& p);

/// Splits further dimensions of `p.splitComp`, outermost first (2, then 1, then 0: splitting
/// an outer dimension costs no refills), until the block caches fit `budget` bytes or every
/// dimension is split. Dimensions already split stay split; the estimate does not change.
void fitBlockCaches(Parameters& p, std::int64_t budget = BLOCK_CACHE_BUDGET);

/// Peak bytes a stage allocates itself, after `fitBlockCaches`: its weight volume, block
/// caches, the working memory of every thread and the noise arrays. The volumes handed to
/// it (input, PSD, pilot, output) are the caller's and not counted.
std::int64_t stageMemoryBytes(const Parameters& p);

}  // namespace kelvo
