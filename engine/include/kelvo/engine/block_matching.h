// Block matching: for one reference position, the blocks of the search window closest to the
// reference block, as a match list whose size is trimmed to a power of two.
#pragma once

#include "kelvo/engine/block_collection.h"
#include "kelvo/engine/memory.h"
#include "kelvo/engine/records.h"

namespace kelvo {

/// Per dimension windowMin = max(0, reference - searchRadius) and windowMax =
/// min(reference + searchRadius, imageSize - blockSize); both inclusive.
void setSearchWindow(Vec3<int> reference, Vec3<int> searchRadius, Vec3<int> blockSize,
                     Vec3<int> imageSize, Vec3<int>& windowMin, Vec3<int>& windowMax);

/// Fills matches[0 .. count-1] (matches has room for maxGroupSize entries): the reference
/// first (distance 0), then the kept candidates in ascending order of distance, with
/// shiftedPosition relative to the group's component-wise minimum corner. The candidate's
/// distance is the sum of squared differences of the stored entries minus
/// matchOffsetTable at its displacement (x fastest, (2r+1) per dimension).
/// Allocates nothing.
template <typename T>
void getBlockMatches(const BlockCollection<T>& collection, const float* matchOffsetTable,
                     Vec3<int> reference, Vec3<int> blockSize, Vec3<int> searchRadius,
                     Vec3<int> windowMin, Vec3<int> windowMax, int maxGroupSize, int minGroupSize,
                     float matchThreshold, BlockDistance<T>* matches, int& count);

/// The most references getBlockMatchesBatch takes.
constexpr int MATCH_BATCH = 8;

/// getBlockMatches for `n` references at once (1 to MATCH_BATCH; each with the search window
/// setSearchWindow gives it in a volume of `imageSize`): the group of references[k] goes to
/// matches[k * maxGroupSize ..] and its size to counts[k], the same groups with the same
/// distances, bit for bit, as one getBlockMatches call per reference. With 64-float blocks
/// the windows are searched together, row by row, so that the blocks that consecutive
/// references of the walk share are read from the collection once while they are in the
/// nearest cache. The collection must hold every window. Allocates nothing.
void getBlockMatchesBatch(const BlockCollection<float>& collection, const float* matchOffsetTable,
                          const Vec3<int>* references, int n, Vec3<int> blockSize,
                          Vec3<int> searchRadius, Vec3<int> imageSize, int maxGroupSize,
                          int minGroupSize, float matchThreshold, BlockDistance<float>* matches,
                          int* counts);

/// getBlockMatches through the general search loop only, without the specialised path of
/// 64-entry float blocks: the plain form the specialised path must agree with exactly (same
/// groups, same distances bit for bit). For tests and benchmarks.
template <typename T>
void getBlockMatchesGeneral(const BlockCollection<T>& collection, const float* matchOffsetTable,
                            Vec3<int> reference, Vec3<int> blockSize, Vec3<int> searchRadius,
                            Vec3<int> windowMin, Vec3<int> windowMax, int maxGroupSize,
                            int minGroupSize, float matchThreshold, BlockDistance<T>* matches,
                            int& count);

}  // namespace kelvo
