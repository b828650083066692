// kelvo::denoise: checks the input, builds both stages' records from the profile and runs the
// engine's entry points with progress and cancellation hooks.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

#include "kelvo/interface.h"
#include "kelvo/kelvo.h"
#include "kelvo/transform_meta.h"

namespace kelvo {

namespace {

/// Runs one stage and turns its outcome into the API's exceptions. The output is cleared on
/// every failure so that no partial estimate is mistaken for a result.
void runStage(StageName stage, const float* volume, const float* psd, const float* pilot,
              float* output, std::size_t count, const Parameters& params,
              const DenoiseOptions& options) {
    StageHooks hooks;
    if (options.progress) {
        const int index = stage == HARD_THRESHOLDING ? 0 : 1;
        hooks.progress = [&options, index](float fraction) {
            options.progress(index, std::min(1.0f, std::max(0.0f, fraction)));
        };
    }
    hooks.cancel = options.cancel;

    std::fill(output, output + count, 0.0f);  // the entry points accumulate into it
    Transforms none{};                         // null fwd: built-in transforms by block size
    StageOutcome outcome;
    try {
        outcome = stage == HARD_THRESHOLDING
                      ? kelvoInterfaceHT(volume, psd, output, nullptr, params, none, &hooks)
                      : kelvoInterfaceWie(volume, psd, pilot, output, nullptr, params, none,
                                          &hooks);
    } catch (const MissingTransformException& e) {
        std::fill(output, output + count, 0.0f);
        throw std::invalid_argument(e.what());
    } catch (...) {
        std::fill(output, output + count, 0.0f);
        throw;
    }
    switch (outcome) {
        case StageOutcome::Completed:
            return;
        case StageOutcome::OutOfMemory:
            std::fill(output, output + count, 0.0f);
            throw std::bad_alloc();
        case StageOutcome::Cancelled:
            std::fill(output, output + count, 0.0f);
            throw Cancelled();
    }
    throw std::logic_error("unknown stage outcome");
}

}  // namespace

void denoise(const float* volume, Size3 size, float* output, const Noise& noise,
             const Profile& profile, const DenoiseOptions& options) {
    if (!volume || !output) throw std::invalid_argument("volume and output must not be null");
    // Every check (sizes, profile, noise, engine validation) happens before any work.
    const Parameters ht = stageParameters(HARD_THRESHOLDING, profile, size, noise);
    const Parameters wie = options.stages == Stages::Both
                               ? stageParameters(WIENER, profile, size, noise)
                               : Parameters{};
    const std::size_t count = std::size_t(size[0]) * size[1] * size[2];
    const auto in = reinterpret_cast<std::uintptr_t>(volume);
    const auto out = reinterpret_cast<std::uintptr_t>(output);
    if (in < out + count * sizeof(float) && out < in + count * sizeof(float))
        throw std::invalid_argument("output must not overlap the input volume");
    for (std::size_t i = 0; i < count; ++i)
        if (!std::isfinite(volume[i]))
            throw std::invalid_argument("volume contains non-finite samples (NaN or infinity) "
                                        "at index " + std::to_string(i));
    if (options.cancel && options.cancel->load()) throw Cancelled();

    // From here on the output is all zero unless the run completes.
    std::fill(output, output + count, 0.0f);
    Size3 psdSize{};
    const std::vector<float> psd = enginePsd(noise, profile, &psdSize);

    if (options.stages == Stages::HardThresholding) {
        runStage(HARD_THRESHOLDING, volume, psd.data(), nullptr, output, count, ht, options);
        return;
    }
    std::vector<float> pilot(count);
    runStage(HARD_THRESHOLDING, volume, psd.data(), nullptr, pilot.data(), count, ht, options);
    runStage(WIENER, volume, psd.data(), pilot.data(), output, count, wie, options);
}

std::vector<float> denoise(const std::vector<float>& volume, Size3 size, const Noise& noise,
                           const Profile& profile, const DenoiseOptions& options) {
    const double count = double(std::max(size[0], 0)) * std::max(size[1], 0) *
                         std::max(size[2], 0);
    if (double(volume.size()) != count)
        throw std::invalid_argument("volume holds " + std::to_string(volume.size()) +
                                    " samples but its size needs " +
                                    std::to_string(static_cast<long long>(count)));
    std::vector<float> out(volume.size());
    denoise(volume.data(), size, out.data(), noise, profile, options);
    return out;
}

std::vector<float> denoise(const std::vector<float>& volume, Size3 size, const Noise& noise,
                           const DenoiseOptions& options) {
    return denoise(volume, size, noise, Profile::defaults(size[2] > 1, noise.isCorrelated()),
                   options);
}

}  // namespace kelvo
