// kelvo::denoise: checks the input, builds both stages' records from the profile and runs the
// engine's entry points with progress and cancellation hooks, on the region that holds data,
// with samples without data filled and magnitudes stabilised.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

#include "kelvo/engine/interface.h"
#include "kelvo/engine/reference_grid.h"
#include "kelvo/engine/transform_meta.h"
#include "kelvo/kelvo.h"
#include "kelvo/magnitude.h"
#include "kelvo/multiscale.h"
#include "kelvo/stage_records.h"
#include "sample_data.h"
#include "shared_groups.h"

namespace kelvo {

namespace {

/// The engine's view of `table` for a stage of `params`: sized for recording, or checked to
/// hold a recording of that stage for replay.
BlockMatchStorage matchStorage(detail::SharedGroups::Table& table, const Parameters& params,
                               bool replay) {
    const std::size_t locations = std::size_t(ReferenceGrid(params).locationCount());
    const std::size_t rows = locations * std::size_t(params.maxGroupSize);
    if (replay) {
        if (table.sizes.size() != locations || table.blocks.size() != 3 * rows)
            throw std::logic_error("replayed groups were recorded for another stage");
    } else {
        table.sizes.assign(locations, 0);
        table.blocks.assign(3 * rows, 0);
        table.shifted.assign(3 * rows, 0);
    }
    BlockMatchStorage storage;
    storage.maxGroupSize = params.maxGroupSize;
    storage.groupSizes = table.sizes.data();
    storage.blockPositions = table.blocks.data();
    storage.shiftedPositions = table.shifted.data();
    storage.replay = replay ? 1 : 0;
    return storage;
}

/// Runs one stage and turns its outcome into the API's exceptions. The output is cleared on
/// every failure so that no partial estimate is mistaken for a result. With `groups` the
/// stage records its groups into table `which`, or replays them.
void runStage(StageName stage, const float* volume, const float* psd, const float* pilot,
              float* output, std::size_t count, const Parameters& params,
              const DenoiseOptions& options, detail::SharedGroups* groups = nullptr,
              detail::SharedGroups::Stage which = detail::SharedGroups::HT) {
    StageHooks hooks;
    if (options.progress) {
        const int index = stage == HARD_THRESHOLDING ? 0 : 1;
        hooks.progress = [&options, index](float fraction) {
            options.progress(index, std::min(1.0f, std::max(0.0f, fraction)));
        };
    }
    hooks.cancel = options.cancel;

    BlockMatchStorage storage;
    if (groups) storage = matchStorage(groups->tables[which], params, groups->replay);
    BlockMatchStorage* shared = groups ? &storage : nullptr;

    std::fill(output, output + count, 0.0f);  // the entry points accumulate into it
    Transforms none{};                        // null fwd: built-in transforms by block size
    StageOutcome outcome;
    try {
        outcome = stage == HARD_THRESHOLDING
                      ? kelvoInterfaceHT(volume, psd, output, shared, params, none, &hooks)
                      : kelvoInterfaceWie(volume, psd, pilot, output, shared, params, none, &hooks);
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

/// Region that is processed: the bounding box of the samples with data, grown by a margin
/// of two blocks (context for the blocks on the edge of the data) and at least one block in
/// size where the volume allows.
struct Region {
    Size3 origin, size;
};

Region processedRegion(const std::vector<std::uint8_t>& hasData, Size3 size,
                       const Profile& profile) {
    Size3 lo = size, hi{{-1, -1, -1}};
    std::size_t i = 0;
    for (int z = 0; z < size[2]; ++z)
        for (int y = 0; y < size[1]; ++y)
            for (int x = 0; x < size[0]; ++x, ++i)
                if (hasData[i]) {
                    const int pos[3] = {x, y, z};
                    for (int d = 0; d < 3; ++d) {
                        lo[d] = std::min(lo[d], pos[d]);
                        hi[d] = std::max(hi[d], pos[d]);
                    }
                }
    Region r;
    for (int d = 0; d < 3; ++d) {
        const int block = std::max(profile.hardThreshold.blockSize[d], profile.wiener.blockSize[d]);
        int a = std::max(0, lo[d] - 2 * block), b = std::min(size[d] - 1, hi[d] + 2 * block);
        while (b - a + 1 < block && (a > 0 || b < size[d] - 1)) {
            if (a > 0) --a;
            if (b - a + 1 < block && b < size[d] - 1) ++b;
        }
        r.origin[d] = a;
        r.size[d] = b - a + 1;
    }
    return r;
}

/// Copies the region out of (toRegion) or back into a volume, optionally only where `only`
/// is set.
void copyRegion(const float* from, float* to, Size3 size, const Region& r, bool toRegion,
                const std::uint8_t* only = nullptr) {
    const std::size_t s1 = std::size_t(size[0]), s2 = s1 * size[1];
    std::size_t k = 0;
    for (int z = 0; z < r.size[2]; ++z)
        for (int y = 0; y < r.size[1]; ++y) {
            const std::size_t row = std::size_t(r.origin[2] + z) * s2 +
                                    std::size_t(r.origin[1] + y) * s1 + std::size_t(r.origin[0]);
            for (int x = 0; x < r.size[0]; ++x, ++k) {
                if (toRegion) {
                    to[k] = from[row + x];
                } else if (!only || only[row + x]) {
                    to[row + x] = from[k];
                }
            }
        }
}

/// Replaces `estimate` by its refinement (see kelvo/engine/refinement.h), reporting progress
/// as the Wiener stage's fractions from `from` to 1.
void runRefinement(const float* input, float* estimate, const RefinementParameters& params,
                   float from, const DenoiseOptions& options) {
    StageHooks hooks;
    if (options.progress)
        hooks.progress = [&options, from](float fraction) {
            options.progress(1, std::min(1.0f, from + (1.0f - from) * fraction));
        };
    hooks.cancel = options.cancel;
    switch (refineEstimate(input, estimate, estimate, params, &hooks)) {
        case StageOutcome::Completed:
            return;
        case StageOutcome::OutOfMemory:
            throw std::bad_alloc();
        case StageOutcome::Cancelled:
            throw Cancelled();
    }
}

/// The noise the stages see: unit variance on stabilised magnitudes; else the given noise,
/// its samples scaled by 2^scale.
Noise stagesNoise(const Noise& noise, bool rician, int scale) {
    if (!rician && scale == 0) return noise;
    const double sigma = noise.sigma();
    if (noise.isWhite()) return Noise::white(rician ? 1.0 : std::ldexp(sigma, scale));
    std::vector<float> psd = noise.psd();
    for (float& v : psd) v = rician ? float(double(v) / (sigma * sigma)) : std::ldexp(v, 2 * scale);
    return Noise::spectrum(std::move(psd), noise.psdSize());
}

}  // namespace

void denoise(const float* volume, Size3 size, float* output, const Noise& noise,
             const Profile& profile, const DenoiseOptions& options) {
    detail::denoiseSharing(volume, size, output, noise, profile, options, nullptr);
}

void detail::denoiseSharing(const float* volume, Size3 size, float* output, const Noise& noise,
                            const Profile& profile, const DenoiseOptions& options,
                            SharedGroups* groups) {
    if (!volume || !output) throw std::invalid_argument("volume and output must not be null");
    // Every check (sizes, profile, noise, engine validation) happens before any work.
    stageParameters(HARD_THRESHOLDING, profile, size, noise);
    const bool rician = options.distribution == NoiseDistribution::Rician;
    const int coils = detail::checkedCoils(options.coils);
    const std::size_t count = detail::sampleCount(size);
    const auto in = reinterpret_cast<std::uintptr_t>(volume);
    const auto out = reinterpret_cast<std::uintptr_t>(output);
    if (in < out + count * sizeof(float) && out < in + count * sizeof(float))
        throw std::invalid_argument("output must not overlap the input volume");
    const std::vector<std::uint8_t> hasData = detail::samplesWithData(volume, size, options.mask);

    // Only the region around the data is processed; both stages see unit-variance noise on
    // stabilised magnitudes, and Gaussian noise far from unit scale on samples scaled by
    // 2^scale.
    const Region region = processedRegion(hasData, size, profile);
    const double sigma = noise.sigma();
    const int scale = rician ? 0 : detail::noiseScaleExponent(sigma, volume, hasData.data(), count);
    const Noise runNoise = stagesNoise(noise, rician, scale);
    const Parameters ht = stageParameters(HARD_THRESHOLDING, profile, region.size, runNoise);
    const Parameters wie = options.stages == Stages::Both
                               ? stageParameters(WIENER, profile, region.size, runNoise)
                               : Parameters{};
    // Under correlated noise, on images, and on volumes whose white noise is large against
    // the data, a binned copy is denoised first (see kelvo/multiscale.h); its records are
    // checked here with the others.
    const bool multiscale = multiscaleApplies(
        region.size, runNoise, profile,
        noise.isCorrelated() || size[2] == 1 ? 0.0
                                             : relativeNoise(volume, hasData.data(), count, sigma));
    const std::array<bool, 3> binned = binnedAxes(region.size);
    const Size3 coarse = coarseSize(region.size, binned);
    const Noise coarseNoise = multiscale ? kelvo::coarseNoise(runNoise, binned) : Noise::white(1.0);
    const Parameters coarseHt =
        multiscale ? stageParameters(HARD_THRESHOLDING, profile, coarse, coarseNoise)
                   : Parameters{};
    const Parameters coarseWie = multiscale && options.stages == Stages::Both
                                     ? stageParameters(WIENER, profile, coarse, coarseNoise)
                                     : Parameters{};
    // Under white noise a last pass re-estimates the Wiener estimate's groups (see
    // kelvo/engine/refinement.h); its settings are checked whenever the profile enables it.
    const RefinementParameters refinement =
        profile.refinement.enabled ? refinementParameters(profile, region.size, runNoise)
                                   : RefinementParameters{};
    const bool refine =
        options.stages == Stages::Both && refinementApplies(region.size, runNoise, profile);
    if (options.cancel && options.cancel->load()) throw Cancelled();

    // From here on the output is all zero unless the run completes.
    std::fill(output, output + count, 0.0f);
    const std::size_t regionCount = detail::sampleCount(region.size);
    // The plain case (Gaussian noise, every sample finite, data reaching the margins) runs on
    // the caller's buffers without copies.
    const bool direct =
        !rician && scale == 0 && region.size == size &&
        std::all_of(volume, volume + count, [](float v) { return std::isfinite(v); });
    std::vector<float> work, result;
    const float* input = volume;
    float* estimate = output;
    if (!direct) {
        work.resize(regionCount);
        result.resize(regionCount);
        copyRegion(volume, work.data(), size, region, true);
        if (rician) stabiliseMagnitude(work.data(), regionCount, sigma, coils);
        detail::fillNonFinite(work.data(), region.size);
        detail::scaleByPowerOfTwo(work.data(), regionCount, scale);
        input = work.data();
        estimate = result.data();
    }

    // With the coarse scale each stage runs on the binned copy first and then on the full
    // volume; the stage's progress covers [0, share) on the copy, share being its part of the
    // samples, so that each stage still reports one rising fraction.
    const std::size_t coarseCount = multiscale ? detail::sampleCount(coarse) : 0;
    const float share = float(double(coarseCount) / double(coarseCount + regionCount));
    auto scaled = [&options](float from, float span) {
        DenoiseOptions o = options;
        if (options.progress)
            o.progress = [&options, from, span](int stage, float fraction) {
                options.progress(stage, from + span * fraction);
            };
        return o;
    };
    const DenoiseOptions coarseOptions = scaled(0.0f, share),
                         fineOptions = scaled(share, 1.0f - share);
    // The refinement reports as the last quarter of the Wiener stage.
    const float wienerSpan = refine ? 0.75f : 1.0f;
    const DenoiseOptions coarseWienerOptions = scaled(0.0f, share * wienerSpan),
                         fineWienerOptions =
                             scaled(share * wienerSpan, (1.0f - share) * wienerSpan);
    Size3 psdSize{};
    const std::vector<float> psd = enginePsd(runNoise, profile, &psdSize);
    try {
        std::vector<float> coarseInput, coarsePsd, coarsePilot, coarseEstimate(coarseCount);
        if (multiscale) {
            coarseInput.resize(coarseCount);
            binByTwo(input, region.size, binned, coarseInput.data());
            coarsePsd = enginePsd(coarseNoise, profile, &psdSize);
        }
        if (options.stages == Stages::HardThresholding) {
            if (multiscale)
                runStage(HARD_THRESHOLDING, coarseInput.data(), coarsePsd.data(), nullptr,
                         coarseEstimate.data(), coarseCount, coarseHt, coarseOptions, groups,
                         SharedGroups::COARSE_HT);
            runStage(HARD_THRESHOLDING, input, psd.data(), nullptr, estimate, regionCount, ht,
                     fineOptions, groups, SharedGroups::HT);
        } else {
            std::vector<float> pilot(regionCount);
            if (multiscale) {
                coarsePilot.resize(coarseCount);
                runStage(HARD_THRESHOLDING, coarseInput.data(), coarsePsd.data(), nullptr,
                         coarsePilot.data(), coarseCount, coarseHt, coarseOptions, groups,
                         SharedGroups::COARSE_HT);
            }
            runStage(HARD_THRESHOLDING, input, psd.data(), nullptr, pilot.data(), regionCount, ht,
                     fineOptions, groups, SharedGroups::HT);
            if (multiscale)
                runStage(WIENER, coarseInput.data(), coarsePsd.data(), coarsePilot.data(),
                         coarseEstimate.data(), coarseCount, coarseWie, coarseWienerOptions, groups,
                         SharedGroups::COARSE_WIENER);
            runStage(WIENER, input, psd.data(), pilot.data(), estimate, regionCount, wie,
                     fineWienerOptions, groups, SharedGroups::WIENER);
        }
        if (multiscale) {
            // Differences are attenuated beyond a limit set by the binned noise.
            coarseInput = std::vector<float>();
            coarsePilot = std::vector<float>();
            addCoarseCorrection(estimate, region.size, binned, coarseEstimate.data(),
                                coarseCorrectionLimit(runNoise, coarseNoise, region.size[2] == 1),
                                coarseInput);
        }
        if (refine) runRefinement(input, estimate, refinement, wienerSpan, options);
    } catch (...) {
        std::fill(estimate, estimate + regionCount, 0.0f);
        throw;
    }

    // Samples without data keep their input value exactly (NaN payloads included).
    if (direct) {
        for (std::size_t i = 0; i < count; ++i)
            if (!hasData[i]) output[i] = volume[i];
        return;
    }
    detail::scaleByPowerOfTwo(result.data(), regionCount, -scale);
    if (rician) {
        unstabiliseMagnitude(result.data(), regionCount, sigma, coils);
        clearNoiseFloor(result.data(), region.size, sigma);
    }
    std::copy(volume, volume + count, output);
    copyRegion(result.data(), output, size, region, false, hasData.data());
}

std::vector<float> denoise(const std::vector<float>& volume, Size3 size, const Noise& noise,
                           const Profile& profile, const DenoiseOptions& options) {
    const double count = double(std::max(size[0], 0)) * std::max(size[1], 0) * std::max(size[2], 0);
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
