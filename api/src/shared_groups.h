// Groups of blocks formed by one denoising run and replayed by another: the transformed
// channels of a colour image take the groups of the first (the channels' mean), whose
// structure is the clearest, instead of matching on their own faint signal.
#pragma once

#include <cstdint>
#include <vector>

#include "kelvo/kelvo.h"

namespace kelvo {
namespace detail {

/// The match tables of every stage of a run: hard thresholding and Wiener filtering, on the
/// volume and on its binned copy. A run with `replay` false records into them; a run with
/// `replay` true reads them instead of matching, and must then process a volume of the same
/// size, with the same samples without data, under the same profile.
struct SharedGroups {
    struct Table {
        std::vector<std::int32_t> sizes, blocks, shifted;
    };
    enum Stage { COARSE_HT, HT, COARSE_WIENER, WIENER, STAGES };
    Table tables[STAGES];
    bool replay = false;
};

/// kelvo::denoise, recording its groups into `groups` or replaying them (null: neither).
void denoiseSharing(const float* volume, Size3 size, float* output, const Noise& noise,
                    const Profile& profile, const DenoiseOptions& options, SharedGroups* groups);

}  // namespace detail
}  // namespace kelvo
