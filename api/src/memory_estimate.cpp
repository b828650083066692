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
        // The binned copy runs first, with its input and estimate besides its stages' own
        // memory; its estimate (and then a scratch copy of it) lives on through the full
        // volume's stages.
        const std::array<bool, 3> binned = binnedAxes(size);
        const Size3 coarse = coarseSize(size, binned);
        const std::int64_t coarseSamples = std::int64_t(coarse[0]) * coarse[1] * coarse[2];
        const std::vector<float> coarsePsd = coarseNoisePsd(noise.psd(), noise.psdSize(), binned);
        const Noise coarseNoise = Noise::spectrum(coarsePsd, noise.psdSize());
        Parameters cht = stageParameters(HARD_THRESHOLDING, profile, coarse, coarseNoise);
        fitBlockCaches(cht, HARD_THRESHOLDING);
        std::int64_t coarseBytes = stageMemoryBytes(cht, HARD_THRESHOLDING);
        if (options.stages == Stages::Both) {
            Parameters cwie = stageParameters(WIENER, profile, coarse, coarseNoise);
            fitBlockCaches(cwie, WIENER);
            coarseBytes = coarseSamples * 4 + std::max(coarseBytes, stageMemoryBytes(cwie, WIENER));
        }
        bytes = std::max(bytes + coarseSamples * 4, coarseBytes + 2 * coarseSamples * 4);
        bytes = std::max(bytes, 2 * coarseSamples * 4);
    }
    return bytes + psd * 4 + extra;
}

}  // namespace kelvo
