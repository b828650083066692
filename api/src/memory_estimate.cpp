// The memory a denoising run needs, from the engine's own plan of its buffers.
#include <algorithm>
#include <limits>

#include "kelvo/engine/stage_memory.h"
#include "kelvo/kelvo.h"
#include "kelvo/multiscale.h"
#include "kelvo/stage_records.h"
#include "sample_data.h"

namespace kelvo {

namespace {

// Peak bytes of the engine's stages on a volume of `size`: the hard-thresholding stage's
// buffers, or with both stages the larger of the two stages' buffers plus `pilotBytes`, the
// estimates that live through the Wiener stage.
std::int64_t stagesBytes(Size3 size, const Noise& noise, const Profile& profile, Stages stages,
                         std::int64_t pilotBytes) {
    Parameters ht = stageParameters(HARD_THRESHOLDING, profile, size, noise);
    fitBlockCaches(ht);
    const std::int64_t bytes = stageMemoryBytes(ht);
    if (stages != Stages::Both) return bytes;
    Parameters wie = stageParameters(WIENER, profile, size, noise);
    fitBlockCaches(wie);
    return pilotBytes + std::max(bytes, stageMemoryBytes(wie));
}

}  // namespace

std::int64_t estimateMemory(Size3 size, const Noise& noise, const Profile& profile,
                            const DenoiseOptions& options, bool withoutData) {
    const std::int64_t samples = std::int64_t(size[0]) * size[1] * size[2];
    // A flag per sample, and a working copy of the input and the estimate unless the run
    // uses the caller's buffers directly.
    const bool copies = withoutData || options.mask ||
                        options.distribution == NoiseDistribution::Rician ||
                        detail::noiseScaleExponent(noise.sigma(), nullptr, nullptr, 0) != 0;
    const std::int64_t extra = samples + (copies ? 2 * samples * 4 : 0);
    Size3 psdSize{};
    const std::int64_t psd = std::int64_t(enginePsd(noise, profile, &psdSize).size());
    // The pilot (the first stage's estimate) lives through both stages.
    std::int64_t bytes = stagesBytes(size, noise, profile, options.stages, samples * 4);
    if (multiscaleApplies(size, noise, profile, std::numeric_limits<double>::infinity())) {
        // Each stage runs on the binned copy, then on the full volume: the copy's input,
        // pilot and estimate live through the run, and the full volume's pilot through the
        // copy's Wiener stage.
        const std::array<bool, 3> binned = binnedAxes(size);
        const Size3 coarse = coarseSize(size, binned);
        const std::int64_t coarseSamples = std::int64_t(coarse[0]) * coarse[1] * coarse[2];
        const std::int64_t coarseBytes =
            stagesBytes(coarse, coarseNoise(noise, binned), profile, options.stages, samples * 4);
        bytes = std::max(bytes, coarseBytes) + 3 * coarseSamples * 4 + psd * 4;
    }
    // The refinement's weighted sums and weights (two doubles per sample) come after the
    // stages' buffers are released.
    if (options.stages == Stages::Both && refinementApplies(size, noise, profile))
        bytes = std::max(bytes, samples * 16);
    return bytes + psd * 4 + extra;
}

}  // namespace kelvo
