// The memory a denoising run needs, from the engine's own plan of its buffers.
#include <algorithm>

#include "kelvo/engine/stage_memory.h"
#include "kelvo/kelvo.h"
#include "kelvo/multiscale.h"
#include "kelvo/stage_records.h"

namespace kelvo {

std::int64_t estimateMemory(Size3 size, const Noise& noise, const Profile& profile,
                            const DenoiseOptions& options, bool withoutData) {
    const std::int64_t samples = std::int64_t(size[0]) * size[1] * size[2];
    // A flag per sample, and a working copy of the input and the estimate unless the run
    // uses the caller's buffers directly.
    const bool copies =
        withoutData || options.mask || options.distribution == NoiseDistribution::Rician;
    const std::int64_t extra = samples + (copies ? 2 * samples * 4 : 0);
    Size3 psdSize{};
    const std::int64_t psd = std::int64_t(enginePsd(noise, profile, &psdSize).size());
    Parameters ht = stageParameters(HARD_THRESHOLDING, profile, size, noise);
    fitBlockCaches(ht, HARD_THRESHOLDING);
    std::int64_t bytes = stageMemoryBytes(ht, HARD_THRESHOLDING);
    if (options.stages == Stages::Both) {
        Parameters wie = stageParameters(WIENER, profile, size, noise);
        fitBlockCaches(wie, WIENER);
        // The pilot (the first stage's estimate) lives through both stages.
        bytes = samples * 4 + std::max(bytes, stageMemoryBytes(wie, WIENER));
    }
    if (multiscaleApplies(size, noise, profile)) {
        // Each stage runs on the binned copy, then on the full volume: the copy's input,
        // pilot and estimate live through the run, and the full volume's pilot through the
        // copy's Wiener stage.
        const std::array<bool, 3> binned = binnedAxes(size);
        const Size3 coarse = coarseSize(size, binned);
        const std::int64_t coarseSamples = std::int64_t(coarse[0]) * coarse[1] * coarse[2];
        const Noise coarseNoise =
            Noise::spectrum(coarseNoisePsd(noise.psd(), noise.psdSize(), binned), noise.psdSize());
        Parameters cht = stageParameters(HARD_THRESHOLDING, profile, coarse, coarseNoise);
        fitBlockCaches(cht, HARD_THRESHOLDING);
        std::int64_t coarseBytes = stageMemoryBytes(cht, HARD_THRESHOLDING);
        if (options.stages == Stages::Both) {
            Parameters cwie = stageParameters(WIENER, profile, coarse, coarseNoise);
            fitBlockCaches(cwie, WIENER);
            coarseBytes = samples * 4 + std::max(coarseBytes, stageMemoryBytes(cwie, WIENER));
        }
        bytes = std::max(bytes, coarseBytes) + 3 * coarseSamples * 4 + psd * 4;
    }
    return bytes + psd * 4 + extra;
}

}  // namespace kelvo
