// The stage loop and the per-location filters of both stages.
#pragma once

#include "kelvo/engine/block_collection.h"
#include "kelvo/engine/image.h"
#include "kelvo/engine/interface.h"
#include "kelvo/engine/match_storage.h"
#include "kelvo/engine/memory.h"
#include "kelvo/engine/records.h"
#include "kelvo/engine/transform_meta.h"
#include "kelvo/engine/variances.h"

namespace kelvo {

/// Filters the group of one reference location and adds it to `numerator`/`denominator`.
/// Both stages group on `collection`: stage 0 (hard thresholding) the noisy volume's, stage 1
/// (Wiener) the pilot's, and stage 1 filters the members' blocks of `noisy` (cut and
/// transformed per group; required there, unused by stage 0) with gains from the pilot.
/// With a match record in replay mode the stored group is used instead of a search; in record
/// mode the group found is stored under `referenceIndex`. A group inside `memory`'s private
/// range adds to the shared volumes directly, one inside one of its boundary zones to that
/// zone's sums, any other under the stage's own aggregation mutex; everything else uses the
/// calling thread's `memory` and `temp`. The coefficient variances come from `noiseLags` when given
/// (exact for any member spacing), else from `K3fT3`, per noise-grid frequency the noise
/// weight of each block coefficient, and `localVar`, the total noise variance of each
/// coefficient (see noise_spectrum.h), on the periodic noise grid; `matchOffsetTable` holds
/// the expected noise distance per displacement. Throws std::invalid_argument for a replayed
/// group that the
/// collections cannot serve or no group matrix exists for.
template <int Stage>
void processReferenceLocation(Vec3<int> reference, const Parameters& params,
                              const TransformsMeta& transforms, const float* matchOffsetTable,
                              const float* K3fT3, const float* localVar, const NoiseLags* noiseLags,
                              int referenceIndex, const BlockCollection<float>& collection,
                              ImageDataMutable<float>& numerator,
                              ImageDataMutable<float>& denominator, Memory& memory,
                              TempMemory& temp, const ImageData<float>* noisy,
                              BlockMatchStorage* storage);

/// Runs one stage over the whole volume: prepares the noise arrays, walks the reference
/// grid in parts divided among the pool's threads (a thread done with its own takes over
/// the last parts of another's), filters every location and divides the numerator (the
/// caller's output, zero on entry) by the accumulated weights. The samples that several
/// parts write are summed in part order, whichever thread walked them, so a repeated run
/// with the same thread count gives the same bits. `params` must
/// have passed validateParameters and have normalised shift lists. On any outcome other than
/// Completed, and when an exception leaves the call, the numerator is set to zero; every
/// buffer is released and the pool's workers joined on every path.
template <int Stage>
StageOutcome kelvoLoop(const ImageData<float>& image, const float* psd, const Parameters& params,
                       const TransformsMeta& transforms, ImageDataMutable<float>& numerator,
                       BlockMatchStorage* storage, const ImageData<float>* pilot,
                       const StageHooks* hooks);

}  // namespace kelvo
