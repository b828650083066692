// The stage entry points and the soundness checks of a parameter record.
#include "kelvo/engine/interface.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "kelvo/engine/fft.h"
#include "kelvo/engine/generated_transforms.h"
#include "kelvo/engine/helpers.h"
#include "kelvo/engine/reference_grid.h"
#include "kelvo/engine/stage.h"
#include "kelvo/engine/stage_memory.h"
#include "kelvo/engine/tables.h"
#include "kelvo/engine/transform_meta.h"

namespace kelvo {

namespace {

const char* const DIM_NAMES[3] = {"0", "1", "2"};

// Walks the reference grid exactly as the stage loop does, without filtering, to check that
// every processed location has an index of its own inside the match record. Only needed
// when shift lists are in use: without shifts every processed grid point is numbered.
// Samples that no reference block covers are allowed: matched blocks usually cover them,
// and a sample that ends with no weight takes the stage's input value.
std::string checkShiftedGrid(const Parameters& p) {
    const ReferenceGrid grid(p);
    std::string problem;
    for (int s = 0; s < grid.sliceCount() && problem.empty(); ++s) {
        grid.forEachLocation(s, [&](Vec3<int> gi, Vec3<int>) {
            if (grid.numbered(gi)) return true;
            const Vec3<int> g{gi.x * p.stepSize.x, gi.y * p.stepSize.y, gi.z * p.stepSize.z};
            problem = "the shift lists make the grid point (" + std::to_string(g.x) + ", " +
                      std::to_string(g.y) + ", " + std::to_string(g.z) +
                      ") a reference location whose index collides with another one; use "
                      "shifts between 0 and the block size minus (imageSize mod step)";
            return false;
        });
    }
    return problem;
}

}  // namespace

std::string validateParameters(const Parameters& p) {
    std::ostringstream err;
    for (int d = 0; d < 3; ++d) {
        if (p.imageSize[d] < 1) {
            err << "imageSize " << vecText(p.imageSize) << " must be positive in every dimension";
            return err.str();
        }
    }
    if (static_cast<long long>(p.imageSize.x) * p.imageSize.y * p.imageSize.z > INT_MAX) {
        err << "imageSize " << vecText(p.imageSize) << " has more than " << INT_MAX << " samples";
        return err.str();
    }
    for (int d = 0; d < 3; ++d) {
        if (p.blockSize[d] < 1 || p.blockSize[d] > p.imageSize[d]) {
            err << "blockSize " << vecText(p.blockSize) << " must be between 1 and the volume size "
                << vecText(p.imageSize) << " in every dimension (dimension " << DIM_NAMES[d] << ")";
            return err.str();
        }
        // A step larger than the block skips samples, except where the block spans the
        // volume: there is one position along that dimension whatever the step.
        if (p.stepSize[d] < 1 ||
            (p.stepSize[d] > p.blockSize[d] && p.blockSize[d] < p.imageSize[d])) {
            err << "stepSize " << vecText(p.stepSize) << " must be between 1 and the block size "
                << vecText(p.blockSize)
                << " in every dimension where the block is smaller than the volume, or some "
                   "samples are covered by no block (dimension "
                << DIM_NAMES[d] << ")";
            return err.str();
        }
        if (p.searchRadius[d] < 0) {
            err << "searchRadius " << vecText(p.searchRadius) << " must not be negative";
            return err.str();
        }
        if (p.psdSize[d] < 1) {
            err << "psdSize " << vecText(p.psdSize) << " must be positive in every dimension";
            return err.str();
        }
        const int F = p.fftSize[d];
        if (!(isFftSize(F) || (d > 0 && F == 1))) {
            err << "fftSize " << vecText(p.fftSize)
                << " must be 4, 8, 16, 32 or 64 in every dimension (1 is allowed in dimensions 1 "
                   "and 2)";
            return err.str();
        }
        if (p.fftSize[d] < p.blockSize[d]) {
            err << "fftSize " << vecText(p.fftSize) << " must be at least the block size "
                << vecText(p.blockSize) << " in every dimension (dimension " << DIM_NAMES[d] << ")";
            return err.str();
        }
        if (p.shiftCount[d] > 1 && !p.shiftTable[d]) {
            err << "shift list of dimension " << DIM_NAMES[d] << " has " << p.shiftCount[d]
                << " entries but no data";
            return err.str();
        }
    }
    if (p.maxGroupSize < 1 || p.maxGroupSize > 4096) {
        err << "maxGroupSize " << p.maxGroupSize << " must be between 1 and 4096";
        return err.str();
    }
    if (p.varianceLimit < 0) {
        err << "varianceLimit " << p.varianceLimit << " must not be negative";
        return err.str();
    }
    if (!std::isfinite(p.threshold) || p.threshold < 0.0f || !std::isfinite(p.thresholdSquared) ||
        p.thresholdSquared < 0.0f) {
        err << "threshold " << p.threshold << " must be a finite non-negative number";
        return err.str();
    }
    if (std::isnan(p.matchThreshold)) return "matchThreshold must be a number, not NaN";
    if (!std::isfinite(p.matchNoiseWeight)) return "matchNoiseWeight must be finite";
    if (p.sharpen && (!std::isfinite(p.sharpenAlpha) || !std::isfinite(p.sharpenAlphaFirstSlice))) {
        return "sharpenAlpha and sharpenAlphaFirstSlice must be finite";
    }
    if (p.numThreads > 1024) {
        err << "numThreads " << p.numThreads << " exceeds 1024; pass 0 to use every core";
        return err.str();
    }
    // Lists of 0 or 1 entries mean no shift, whatever their table pointer holds.
    bool shifted = false;
    for (int d = 0; d < 3; ++d) {
        for (int i = 0; i < p.shiftCount[d] && p.shiftCount[d] > 1; ++i) {
            shifted = shifted || p.shiftTable[d][i] != 0;
        }
    }
    if (shifted) return checkShiftedGrid(p);
    return "";
}

namespace {

void normaliseShifts(Parameters& p) {
    for (int d = 0; d < 3; ++d) {
        if (p.shiftCount[d] <= 1) {
            p.shiftCount[d] = 1;
            p.shiftTable[d] = &ZERO;
        }
    }
}

TransformsMeta resolveTransforms(const Parameters& params, Transforms transforms,
                                 bool wienerStage) {
    const Vec3<int> bs = params.blockSize;
    if (!transforms.fwd[0]) {
        if (bs.x == 4 && bs.y == 4 && bs.z == 4) {
            // The 3-D default is applied through the plain matrix products everywhere.
            TransformsMeta meta;
            const Transforms& t = DEFAULT_TRANSFORMS_3D;
            meta.fwd = t.fwd;
            meta.inv = t.inv;
            meta.groupFwd = t.groupFwd;
            meta.groupInv = t.groupInv;
            meta.window = t.window;
            meta.fwdKinds = ARB_TRANSFORMS;
            meta.invKinds = {TransformsMetas::ARB_INV, TransformsMetas::ARB_INV,
                             TransformsMetas::ARB_INV};
            return meta;
        }
        if (bs.x == 8 && bs.y == 8 && bs.z == 1) {
            return getTransformMeta(wienerStage ? DEFAULT_TRANSFORMS_2D_WIE : DEFAULT_TRANSFORMS_2D,
                                    params);
        }
        // Other sizes up to 16 per dimension: DCTs generated for the size.
        Transforms generated;
        if (generatedTransforms(bs, generated)) return getTransformMeta(generated, params);
        throw MissingTransformException();
    }
    if (!transforms.groupFwd) {
        transforms.groupFwd = HAAR_NL_FWD;
        transforms.groupInv = HAAR_NL_INV;
    }
    return getTransformMeta(transforms, params);
}

template <int Stage>
StageOutcome runStage(const float* image, const float* psd, const float* pilot, float* output,
                      BlockMatchStorage* storage, Parameters params, const Transforms& transforms,
                      const StageHooks* hooks) {
    normaliseShifts(params);
    const std::string problem = validateParameters(params);
    if (!problem.empty()) throw std::invalid_argument(problem);
    fitBlockCaches(params);  // same result, bounded memory
    if (!image || !psd || !output || (Stage == WIENER && !pilot)) {
        throw std::invalid_argument("null volume, PSD, pilot or output buffer");
    }
    TransformsMeta meta = resolveTransforms(params, transforms, Stage == WIENER);
    if ((meta.groupFwd == HAAR_NL_FWD || meta.groupFwd == nullptr) && params.maxGroupSize > 64) {
        throw std::invalid_argument("maxGroupSize " + std::to_string(params.maxGroupSize) +
                                    " exceeds 64, the largest built-in group transform");
    }
    if (!meta.groupFwd || !meta.groupInv || !meta.inv.x || !meta.inv.y || !meta.inv.z ||
        !meta.fwd.y || !meta.fwd.z || !meta.window) {
        throw std::invalid_argument(
            "incomplete transforms: pass forward and inverse block matrices for all three "
            "dimensions and an aggregation window, or none of them");
    }
    const ImageData<float> imageView(image, params.imageSize);
    ImageDataMutable<float> outputView(output, params.imageSize);
    if (Stage == WIENER) {
        const ImageData<float> pilotView(pilot, params.imageSize);
        return kelvoLoop<Stage>(imageView, psd, params, meta, outputView, storage, &pilotView,
                                hooks);
    }
    return kelvoLoop<Stage>(imageView, psd, params, meta, outputView, storage, nullptr, hooks);
}

}  // namespace

StageOutcome kelvoInterfaceHT(const float* image, const float* psd, float* output,
                              BlockMatchStorage* storage, Parameters params, Transforms transforms,
                              const StageHooks* hooks) {
    return runStage<HARD_THRESHOLDING>(image, psd, nullptr, output, storage, params, transforms,
                                       hooks);
}

StageOutcome kelvoInterfaceWie(const float* image, const float* psd, const float* pilot,
                               float* output, BlockMatchStorage* storage, Parameters params,
                               Transforms transforms, const StageHooks* hooks) {
    return runStage<WIENER>(image, psd, pilot, output, storage, params, transforms, hooks);
}

}  // namespace kelvo
