#include "kelvo/profile.h"

namespace kelvo {

// Starting values; the quality sweep in bench/ refines them (see its table).
Profile Profile::defaults(bool volumetric) {
    Profile p{};
    if (volumetric) {
        p.hardThreshold = {{4, 4, 4}, {3, 3, 3}, {5, 5, 5}, 16, 2.7f, 2.0f};
        p.wiener = {{4, 4, 4}, {3, 3, 3}, {5, 5, 5}, 32, 1.0f, 0.4f};
        p.fftSize = {8, 8, 8};
        p.splitComp = {false, false, true};
    } else {
        p.hardThreshold = {{8, 8, 1}, {3, 3, 1}, {12, 12, 0}, 16, 2.7f, 2.0f};
        p.wiener = {{8, 8, 1}, {3, 3, 1}, {12, 12, 0}, 32, 1.0f, 0.4f};
        p.fftSize = {32, 32, 1};
        p.splitComp = {false, false, false};
    }
    p.varianceLimit = 4;
    p.matchNoiseWeight = 0.0f;
    p.sharpen = false;
    p.sharpenVariance = false;
    p.sharpenAlpha = 1.0f;
    p.sharpenAlphaFirstSlice = 1.0f;
    p.numThreads = 0;
    return p;
}

}  // namespace kelvo
