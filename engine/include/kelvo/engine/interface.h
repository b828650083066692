// The engine's entry points: one call runs one stage over a whole volume.
//
// Buffers are raw float arrays owned by the caller, dimension 0 fastest: `image`, `pilot`
// and `output` hold imageSize[0] * imageSize[1] * imageSize[2] samples, `psd` holds
// psdSize[0] * psdSize[1] * psdSize[2]. `output` must be zero on entry. `storage` may be null
// (no match record). When `transforms.fwd[0]` is null the built-in transforms are chosen by
// block size (4x4x4 and 8x8x1); any other size throws MissingTransformException.
//
// Exceptions raised inside the stage (on any thread) reach the caller after the workers
// have been joined and every buffer of the stage released.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "kelvo/engine/match_storage.h"
#include "kelvo/engine/records.h"

namespace kelvo {

/// How a stage ended.
enum class StageOutcome : int {
    Completed = 0,    ///< the estimate is complete
    OutOfMemory = 1,  ///< an allocation failed; the failure was reported on stderr/stdout
    Cancelled = 2,    ///< the caller's cancellation flag was raised
};

/// Optional observers of a running stage. `progress` receives the fraction of the stage
/// done (0..1); calls are serialised but may come from any worker thread. When `cancel`
/// becomes true the workers stop after their current row.
struct StageHooks {
    std::function<void(float)> progress;
    const std::atomic<bool>* cancel = nullptr;
    /// Called by the worker thread that is about to walk part `part` of the stage's walk
    /// (each part once; with several threads a part may go to any of them). For tests and
    /// diagnostics: it runs on the workers, unserialised, and must not call the engine.
    std::function<void(int part)> partStarted;
};

/// kelvoInterfaceHT: "HT" for hard thresholding; kelvoInterfaceWie: "Wie" for Wiener.
/// Hard-thresholding stage. On any outcome other than Completed the output holds no
/// estimate (it is set to zero, never to 0/0).
StageOutcome kelvoInterfaceHT(const float* image, const float* psd, float* output,
                              BlockMatchStorage* storage, Parameters params, Transforms transforms,
                              const StageHooks* hooks = nullptr);

/// Wiener stage on the pilot estimate `pilot` (same size as `image`).
StageOutcome kelvoInterfaceWie(const float* image, const float* psd, const float* pilot,
                               float* output, BlockMatchStorage* storage, Parameters params,
                               Transforms transforms, const StageHooks* hooks = nullptr);

/// Human-readable description of the first reason why `params` cannot be run soundly
/// (non-positive sizes or steps, blocks larger than the volume, steps larger than a block
/// smaller than the volume, FFT sizes outside 4..64 or below the block, group sizes beyond
/// 64, colliding location indices, ...), or an empty
/// string when the record is sound. The entry points throw std::invalid_argument with this
/// text; interfaces may call it first to report the error in their own way. Shift lists
/// that leave samples outside every reference block are sound: matched blocks usually cover
/// them, and a sample no block covers takes the stage's input value.
std::string validateParameters(const Parameters& params);

}  // namespace kelvo
