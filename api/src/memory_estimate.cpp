// The memory a denoising run needs, from the engine's own plan of its buffers.
#include <algorithm>

#include "kelvo/kelvo.h"
#include "kelvo/stage_memory.h"

namespace kelvo {

std::int64_t estimateMemory(Size3 size, const Noise& noise, const Profile& profile,
                            Stages stages) {
    const std::int64_t samples = std::int64_t(size[0]) * size[1] * size[2];
    Size3 psdSize{};
    const std::int64_t psd = std::int64_t(enginePsd(noise, profile, &psdSize).size());
    Parameters ht = stageParameters(HARD_THRESHOLDING, profile, size, noise);
    fitBlockCaches(ht, HARD_THRESHOLDING);
    std::int64_t bytes = stageMemoryBytes(ht, HARD_THRESHOLDING);
    if (stages == Stages::Both) {
        Parameters wie = stageParameters(WIENER, profile, size, noise);
        fitBlockCaches(wie, WIENER);
        // The pilot (the first stage's estimate) lives through both stages.
        bytes = samples * 4 + std::max(bytes, stageMemoryBytes(wie, WIENER));
    }
    return bytes + psd * 4;
}

}  // namespace kelvo
