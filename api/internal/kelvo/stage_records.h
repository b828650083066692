// Internal to Kelvo: the bridge between the public API and the engine's records. The API's
// own sources, the tests and the benchmarks include it; interfaces built on the public API
// (tool, Python module, plug-in host functions) do not need it.
#pragma once

#include <vector>

#include "kelvo/engine/records.h"
#include "kelvo/engine/refinement.h"
#include "kelvo/kelvo.h"

namespace kelvo {

/// The engine parameter record of one stage for a volume of `size`, `noise` and `profile`,
/// as `denoise` builds it. Throws std::invalid_argument with a message naming the first
/// problem, including every check of validateParameters.
Parameters stageParameters(StageName stage, const Profile& profile, Size3 size, const Noise& noise);

/// Whether `denoise` runs the refinement pass on a processed volume of `size`: the profile
/// enables it, the volume holds a refinement block and, for correlated noise, the noise's
/// covariance within a block is positive definite (not so for a spectrum with zeros).
bool refinementApplies(Size3 size, const Noise& noise, const Profile& profile);

/// The refinement record for a volume of `size` under `noise`: white noise (no PSD, or a flat
/// one) as its variance, correlated noise as its covariance within a block. Throws
/// std::invalid_argument naming the first problem of `profile.refinement` (checked whenever
/// it is enabled, whatever the noise).
RefinementParameters refinementParameters(const Profile& profile, Size3 size, const Noise& noise);

/// The PSD handed to the engine for `noise` and `profile`: the constant
/// sigma^2 * F0 * F1 * F2 on the fftSize grid for white noise, the caller's PSD otherwise.
/// `psdSize` receives its grid.
std::vector<float> enginePsd(const Noise& noise, const Profile& profile, Size3* psdSize);

}  // namespace kelvo
