// Aggregation of filtered blocks into the shared numerator and weight volumes.
#pragma once

#include "kelvo/engine/image.h"
#include "kelvo/engine/memory.h"

namespace kelvo {

/// For each block n of the group at position matches[n].position, with w = blockWeights[n]:
/// numerator += group[n][v] * window[v] / max(w, 1e-8) and
/// weights += window[v] / max(w, max(1e-4 * noiseLevel, 1e-8)). Nothing when groupSize <= 0.
/// Takes no lock: the caller serialises calls. Throws std::out_of_range (before writing
/// anything) when a block of the group does not lie wholly inside the volume, as a replayed
/// match record could make it, and std::invalid_argument when the two volumes differ in size.
template <typename T>
void aggregate(const BlockDistance<T>* matches, Vec3<int> blockSize, int groupSize,
               const Cube4D<T>& group, const T* blockWeights, const T* window, T noiseLevel,
               ImageDataMutable<T>& numerator, ImageDataMutable<T>& weights);

/// aggregate in two steps, so that only the additions need the caller's lock.
/// aggregationTerms computes, for every block n and sample v, the two terms aggregate adds:
/// numeratorTerms[n * B + v] = group[n][v] * window[v] / max(w, 1e-8) and
/// weightTerms[n * B + v] = window[v] / max(w, max(1e-4 * noiseLevel, 1e-8)) (B the block
/// volume). numeratorTerms may be group.data itself (each term overwrites its own input).
/// addAggregationTerms adds them at the blocks' positions, with the same checks and in the
/// same order as aggregate, so the two steps give aggregate's result bit for bit.
void aggregationTerms(Vec3<int> blockSize, int groupSize, const Cube4D<float>& group,
                      const float* blockWeights, const float* window, float noiseLevel,
                      float* numeratorTerms, float* weightTerms);
void addAggregationTerms(const BlockDistance<float>* matches, Vec3<int> blockSize, int groupSize,
                         const float* numeratorTerms, const float* weightTerms,
                         ImageDataMutable<float>& numerator, ImageDataMutable<float>& weights);

/// numerator[v] /= weights[v] for every sample. A sample with weight 0 (no block covered it)
/// becomes fallback[v], the stage's input there (0 when `fallback` is null), never 0/0.
/// Throws std::invalid_argument when the volumes differ in size.
void normalise(ImageDataMutable<float>& numerator, const ImageDataMutable<float>& weights,
               const float* fallback = nullptr);

}  // namespace kelvo
