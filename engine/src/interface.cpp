// The stage entry points and the soundness checks of a parameter record.
#include "kelvo/interface.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "kelvo/generated_transforms.h"
#include "kelvo/stage.h"
#include "kelvo/stage_memory.h"
#include "kelvo/tables.h"
#include "kelvo/transform_meta.h"

namespace kelvo {

namespace {

const char* const DIM_NAMES[3] = {"0", "1", "2"};

std::string vecText(Vec3<int> v) {
    std::ostringstream s;
    s << "[" << v.x << ", " << v.y << ", " << v.z << "]";
    return s.str();
}

bool isPowerOfTwoFftSize(int n) { return n == 4 || n == 8 || n == 16 || n == 32 || n == 64; }

// Walks the reference grid exactly as the stage loop does, without filtering, to check that
// every processed location has a distinct index inside the match record and that the blocks
// of the processed locations cover every sample. Only needed when shift lists are in use:
// without shifts and with steps no larger than the blocks both hold by construction.
std::string checkShiftedGrid(const Parameters& p) {
    Vec3<int> last, grid;
    for (int d = 0; d < 3; ++d) {
        last[d] = std::max(0, p.imageSize[d] - p.blockSize[d]);
        grid[d] = p.imageSize[d] / p.stepSize[d] + 1;
    }
    const bool volumetric = p.imageSize.z > 1;
    // The shift of one dimension is picked by the grid index of another, so coverage is not
    // separable: mark the block origins of the processed locations, then dilate them by the
    // block size one dimension at a time.
    const long long samples =
        static_cast<long long>(p.imageSize.x) * p.imageSize.y * p.imageSize.z;
    if (samples > (1LL << 27)) {
        return "shift lists are supported for volumes of at most 2^27 samples";
    }
    const long long positions = static_cast<long long>(last.x + 1) * (last.y + 1) * (last.z + 1);
    std::vector<unsigned char> origin(static_cast<std::size_t>(positions), 0);
    for (int z = 0; z < (volumetric ? p.imageSize.z + p.stepSize.z : 1); z += p.stepSize.z) {
        for (int y = 0; y < p.imageSize.y + p.stepSize.y; y += p.stepSize.y) {
            for (int x = 0; x < p.imageSize.x + p.stepSize.x; x += p.stepSize.x) {
                const int xi = x / p.stepSize.x, yi = y / p.stepSize.y, zi = z / p.stepSize.z;
                Vec3<int> q{std::max(0, x - p.shiftTable[0][zi % p.shiftCount[0]]),
                            std::max(0, y - p.shiftTable[1][xi % p.shiftCount[1]]),
                            std::max(0, z - p.shiftTable[2][yi % p.shiftCount[2]])};
                bool inside = true;
                for (int d = 0; d < 3; ++d) inside = inside && q[d] < last[d] + p.stepSize[d];
                if (!inside) continue;
                if (xi >= grid.x || yi >= grid.y || zi >= grid.z) {
                    return "the shift lists make the grid point (" + std::to_string(x) + ", " +
                           std::to_string(y) + ", " + std::to_string(z) +
                           ") a reference location whose index collides with another one; use "
                           "shifts between 0 and the block size minus (imageSize mod step)";
                }
                for (int d = 0; d < 3; ++d) q[d] = std::min(q[d], last[d]);
                origin[static_cast<std::size_t>(
                    (static_cast<long long>(q.z) * (last.y + 1) + q.y) * (last.x + 1) + q.x)] = 1;
            }
        }
    }
    // A sample is covered when some origin q has q <= sample < q + blockSize.
    const Vec3<int> s = p.imageSize, b = p.blockSize;
    auto dilate = [](const std::vector<unsigned char>& in, Vec3<int> inDims, int dim, int width,
                     int outLen) {
        Vec3<int> outDims = inDims;
        outDims[dim] = outLen;
        std::vector<unsigned char> out(
            static_cast<std::size_t>(outDims.x) * outDims.y * outDims.z, 0);
        for (int k = 0; k < inDims.z; ++k)
            for (int j = 0; j < inDims.y; ++j)
                for (int i = 0; i < inDims.x; ++i) {
                    if (!in[static_cast<std::size_t>((static_cast<long long>(k) * inDims.y + j) *
                                                         inDims.x + i)])
                        continue;
                    Vec3<int> c{i, j, k};
                    for (int w = 0; w < width; ++w) {
                        Vec3<int> o = c;
                        o[dim] = c[dim] + w;
                        out[static_cast<std::size_t>(
                            (static_cast<long long>(o.z) * outDims.y + o.y) * outDims.x + o.x)] =
                            1;
                    }
                }
        return out;
    };
    Vec3<int> dims{last.x + 1, last.y + 1, last.z + 1};
    std::vector<unsigned char> cover = dilate(origin, dims, 0, b.x, s.x);
    dims.x = s.x;
    cover = dilate(cover, dims, 1, b.y, s.y);
    dims.y = s.y;
    cover = dilate(cover, dims, 2, b.z, s.z);
    for (std::size_t v = 0; v < cover.size(); ++v) {
        if (!cover[v]) {
            const long long vv = static_cast<long long>(v);
            return "the shift lists leave the sample (" + std::to_string(vv % s.x) + ", " +
                   std::to_string((vv / s.x) % s.y) + ", " + std::to_string(vv / (s.x * s.y)) +
                   ") outside every block; use non-negative shifts no larger than the block size";
        }
    }
    return "";
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
                << vecText(p.imageSize) << " in every dimension (dimension " << DIM_NAMES[d]
                << ")";
            return err.str();
        }
        if (p.stepSize[d] < 1 || p.stepSize[d] > p.blockSize[d]) {
            err << "stepSize " << vecText(p.stepSize) << " must be between 1 and the block size "
                << vecText(p.blockSize)
                << " in every dimension, or some samples are covered by no block (dimension "
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
        if (!(isPowerOfTwoFftSize(F) || (d > 0 && F == 1))) {
            err << "fftSize " << vecText(p.fftSize)
                << " must be 4, 8, 16, 32 or 64 in every dimension (1 is allowed in dimensions 1 "
                   "and 2)";
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
    bool shifted = false;
    for (int d = 0; d < 3; ++d) {
        const int n = p.shiftCount[d] > 1 ? p.shiftCount[d] : 1;
        for (int i = 0; i < n && p.shiftCount[d] > 1; ++i) shifted = shifted || p.shiftTable[d][i] != 0;
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
    fitBlockCaches(params, static_cast<StageName>(Stage));  // same result, bounded memory
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
                              BlockMatchStorage* storage, Parameters params,
                              Transforms transforms, const StageHooks* hooks) {
    return runStage<HARD_THRESHOLDING>(image, psd, nullptr, output, storage, params, transforms,
                                       hooks);
}

StageOutcome kelvoInterfaceWie(const float* image, const float* psd, const float* pilot,
                               float* output, BlockMatchStorage* storage, Parameters params,
                               Transforms transforms, const StageHooks* hooks) {
    return runStage<WIENER>(image, psd, pilot, output, storage, params, transforms, hooks);
}

}  // namespace kelvo
