#include "kelvo/profile.h"

namespace kelvo {

// Tuned by bench/quality_sweep.py on phantoms and a camera crop at sigma 0.05 to 0.15, white
// and correlated noise; bench/quality_sweep.md holds the table behind every value.
Profile Profile::defaults(bool volumetric) {
    Profile p{};
    if (volumetric) {
        p.hardThreshold = {{4, 4, 4}, {3, 3, 3}, {4, 4, 4}, 32, 3.0f, 1.5f};
        p.wiener = {{4, 4, 4}, {3, 3, 3}, {5, 5, 5}, 64, 1.3f, 0.2f};
        p.fftSize = {16, 16, 16};
        p.splitComp = {false, false, true};
    } else {
        p.hardThreshold = {{8, 8, 1}, {3, 3, 1}, {8, 8, 0}, 16, 2.7f, 1.0f};
        p.wiener = {{8, 8, 1}, {3, 3, 1}, {12, 12, 0}, 64, 1.0f, 0.2f};
        p.fftSize = {16, 16, 1};
        p.splitComp = {false, false, false};
    }
    p.varianceLimit = 2;
    p.matchNoiseWeight = 1.0f;
    p.sharpen = false;
    p.sharpenVariance = false;
    p.sharpenAlpha = 1.0f;
    p.sharpenAlphaFirstSlice = 1.0f;
    p.numThreads = 0;
    return p;
}

}  // namespace kelvo
