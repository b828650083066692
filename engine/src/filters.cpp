// The per-location filters of both stages: grouping (search or replay), the transform along
// the group dimension, the noise variance of every coefficient, shrinkage (hard threshold
// with optional alpha rooting, or empirical Wiener gains), the inverse transforms and the
// hand-off to aggregation.
#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string>

#include "kelvo/engine/aggregation.h"
#include "kelvo/engine/block_matching.h"
#include "kelvo/engine/block_transform.h"
#include "kelvo/engine/group_transform.h"
#include "kelvo/engine/shrinkage.h"
#include "kelvo/engine/stage.h"
#include "kelvo/engine/tables.h"
#include "kelvo/engine/variances.h"

namespace kelvo {

namespace {

using TransformsMetas::StandardTransform;

bool isFastHaarKind(int kind) {
    return kind >= TransformsMetas::HAAR4_NL_FWD && kind <= TransformsMetas::HAAR32_NL_FWD;
}

// Obtains the group of `reference`: replayed from the match record, or searched on
// `searchCollection` (and then recorded when a record is being filled). Member data pointers
// point into `searchCollection`.
int obtainGroup(Vec3<int> reference, const Parameters& params, const float* matchOffsetTable,
                int referenceIndex, const BlockCollection<float>& searchCollection,
                BlockDistance<float>* matches, int preset, BlockMatchStorage* storage) {
    int count = 0;
    if (storage && storage->replay) {
        const long long row0 = static_cast<long long>(referenceIndex) * storage->maxGroupSize;
        count = storage->groupSizes[referenceIndex];
        if (count < 1 || count > params.maxGroupSize) {
            throw std::invalid_argument(
                "match record: location " + std::to_string(referenceIndex) + " holds a group of " +
                std::to_string(count) + " blocks; expected 1 to maxGroupSize (" +
                std::to_string(params.maxGroupSize) +
                "); was the record made with the same volume size, steps and shifts?");
        }
        for (int k = 0; k < count; ++k) {
            const std::int32_t* pos = storage->blockPositions + 3 * (row0 + k);
            const std::int32_t* sh = storage->shiftedPositions + 3 * (row0 + k);
            BlockDistance<float>& m = matches[k];
            m.position = {pos[0], pos[1], pos[2]};
            m.shiftedPosition = {sh[0], sh[1], sh[2]};
            m.distance = 0.0f;
            if (!searchCollection.holds(m.position)) {
                throw std::invalid_argument(
                    "match record: location " + std::to_string(referenceIndex) +
                    " refers to a block at (" + std::to_string(pos[0]) + ", " +
                    std::to_string(pos[1]) + ", " + std::to_string(pos[2]) +
                    ") outside its search window; replay needs a record made with the same "
                    "volume size, block size, steps, search radius and shifts");
            }
            m.data = searchCollection.blockAt(m.position);
        }
        return count;
    }

    if (preset > 0) {
        count = preset;  // searched already, with other locations of its row
    } else {
        Vec3<int> windowMin, windowMax;
        setSearchWindow(reference, params.searchRadius, params.blockSize, params.imageSize,
                        windowMin, windowMax);
        getBlockMatches<float>(searchCollection, matchOffsetTable, reference, params.blockSize,
                               params.searchRadius, windowMin, windowMax, params.maxGroupSize,
                               params.minGroupSize, params.matchThreshold, matches, count);
    }
    if (storage) {
        storage->groupSizes[referenceIndex] = count;
        const long long row0 = static_cast<long long>(referenceIndex) * storage->maxGroupSize;
        for (int k = 0; k < count; ++k) {
            std::int32_t* pos = storage->blockPositions + 3 * (row0 + k);
            std::int32_t* sh = storage->shiftedPositions + 3 * (row0 + k);
            for (int d = 0; d < 3; ++d) {
                pos[d] = matches[k].position[d];
                sh[d] = matches[k].shiftedPosition[d];
            }
        }
    }
    return count;
}

// The group matrices and kinds for a group of `count` blocks. A single block uses the 1 x 1
// identity: the default Haar tables hold no matrix of size 1.
struct GroupMatrices {
    const float* forward;
    const float* inverse;
    int kind;
};

GroupMatrices groupMatrices(const TransformsMeta& transforms, int count) {
    GroupMatrices g{transforms.groupFwd[count], transforms.groupInv[count],
                    transforms.groupFwdKind(count)};
    if (count == 1 && (!g.forward || !g.inverse)) {
        g.forward = &ONE;
        g.inverse = &ONE;
        g.kind = TransformsMetas::ARB_FWD;
    }
    // The built-in Haar tables of 4 to 32 points, reached without a kind table (the default
    // 4x4x4 transforms skip transform selection), are applied by their butterflies: the same
    // result to single-precision rounding at a fraction of the cost of the product. Size 2
    // keeps the product: its stored 0.7071 is not the butterfly's 0.70710677.
    if (g.kind == TransformsMetas::ARB_FWD && count >= 4 && count <= 32 &&
        (count & (count - 1)) == 0 && g.forward == HAAR_NL_FWD[count] &&
        g.inverse == HAAR_NL_INV[count]) {
        g.kind = count == 4    ? TransformsMetas::HAAR4_NL_FWD
                 : count == 8  ? TransformsMetas::HAAR8_NL_FWD
                 : count == 16 ? TransformsMetas::HAAR16_NL_FWD
                               : TransformsMetas::HAAR32_NL_FWD;
    }
    if (!g.forward || !g.inverse) {
        throw std::invalid_argument("no group transform matrix for a group of " +
                                    std::to_string(count) +
                                    " blocks; pass group matrices for every group size used");
    }
    return g;
}

// spectrum(i, k) = sum_j F[k*count + j] * block_j[i], blocks read through the match list.
void forwardGroupTransform(const BlockDistance<float>* matches, int count, const GroupMatrices& g,
                           long long blockVolume, Cube4D<float>& spectrum) {
    if (isFastHaarKind(g.kind)) {
        // forwardHaar_32_16_8_4_2_1 for every coefficient, over lanes of coefficients.
        forwardHaarGroup(matches, count, spectrum.data, blockVolume);
        return;
    }
    for (int k = 0; k < count; ++k) {
        float* __restrict out = spectrum.block(k);
        const float* row = g.forward + static_cast<long long>(k) * count;
        const float f0 = row[0];
        const float* __restrict b0 = matches[0].data;
        for (long long i = 0; i < blockVolume; ++i) out[i] = f0 * b0[i];
        for (int j = 1; j < count; ++j) {
            const float f = row[j];
            const float* __restrict bj = matches[j].data;
            for (long long i = 0; i < blockVolume; ++i) out[i] += f * bj[i];
        }
    }
}

// Inverse group transform, inverse block transforms, and the aggregation weights from the
// residual variances: blockVariance[b] = sum_j G[b*count + j]^2 * sum_i variance(i, j).
void inverseAndAggregate(BlockDistance<float>* matches, int count, const GroupMatrices& g,
                         const Parameters& params, const TransformsMeta& transforms, Memory& memory,
                         TempMemory& temp, std::mutex& aggregationMutex,
                         ImageDataMutable<float>& numerator, ImageDataMutable<float>& denominator) {
    const Vec3<int> bs = params.blockSize;
    const long long B = static_cast<long long>(bs.x) * bs.y * bs.z;
    Cube4D<float> spectrum = memory.spectrum;
    spectrum.n = count;
    Cube4D<float> output = memory.output;
    output.n = count;
    transformBlocksNL<float>(spectrum, count, g.inverse,
                             static_cast<StandardTransform>(g.kind + 16), output, bs);
    if (!transformBlocksInRegisters(output.data, output.data, count, bs, transforms.inv)) {
        for (int b = 0; b < count; ++b) {
            transf3D<float>(output.block(b), transforms.inv, transforms.invKinds, temp.blockA,
                            temp.blockB, output.block(b), bs);
        }
    }

    float* componentVariance = temp.floats;
    componentSums(memory.variance.data, B, count, componentVariance);
    float total = 0.0f;
    for (int b = 0; b < count; ++b) {
        const float* row = g.inverse + static_cast<long long>(b) * count;
        float s = 0.0f;
        for (int j = 0; j < count; ++j) s += row[j] * row[j] * componentVariance[j];
        memory.weights[b] = s;
        total += s;
    }
    const float meanVariance = total / static_cast<float>(count);

    // A group inside this thread's private slab range touches samples no other thread
    // writes: it is aggregated in one pass without the lock (each of those samples then
    // receives its additions from this thread alone, in this thread's order, as under the
    // lock).
    const int axis = memory.privateAxis;
    int low = matches[0].position[axis];
    int high = low;
    for (int b = 1; b < count; ++b) {
        low = std::min(low, matches[b].position[axis]);
        high = std::max(high, matches[b].position[axis]);
    }
    if (low >= memory.privateLow && high + bs[axis] <= memory.privateHigh) {
        aggregate<float>(matches, bs, count, output, memory.weights, transforms.window,
                         meanVariance, numerator, denominator);
        return;
    }
    // Otherwise into the walked part's own sums of the zone that holds the group, in one pass
    // like the private range's; without one, the terms are computed into the output cube, in
    // place, and into the variance cube, whose contents are no longer needed (both ways give
    // the same terms), and added to the shared sums under the lock.
    for (const Memory::BoundaryZone& zone : memory.boundary) {
        if (!zone.numerator || low < zone.low || high + bs[axis] > zone.high) continue;
        Vec3<int> size = numerator.size;
        size[axis] = zone.high - zone.low;
        ImageDataMutable<float> zoneNumerator(zone.numerator, size);
        ImageDataMutable<float> zoneWeights(zone.weights, size);
        // Positions relative to the zone's first plane for the addition, then restored.
        for (int b = 0; b < count; ++b) matches[b].position[axis] -= zone.low;
        aggregate<float>(matches, bs, count, output, memory.weights, transforms.window,
                         meanVariance, zoneNumerator, zoneWeights);
        for (int b = 0; b < count; ++b) matches[b].position[axis] += zone.low;
        return;
    }
    float* weightTerms = memory.variance.data;
    aggregationTerms(bs, count, output, memory.weights, transforms.window, meanVariance,
                     output.data, weightTerms);
    std::lock_guard<std::mutex> lock(aggregationMutex);
    addAggregationTerms(matches, bs, count, output.data, weightTerms, numerator, denominator);
}

// Sharpens the surviving coefficients: |c| -> |DC|^(1-e) |c|^e, with e taken per block slice.
void alphaRooting(const Parameters& params, float* spectrum, float* variance, long long n) {
    if (spectrum[0] == 0.0f) return;
    const float D = std::fabs(spectrum[0]);
    const float V0 = variance[0];
    const float exponents[2] = {params.sharpenAlphaFirstSlice, params.sharpenAlpha};
    float S[2], A[2], Bf[2];
    for (int t = 0; t < 2; ++t) {
        const float e = exponents[t];
        S[t] = std::pow(D, -e) * D;
        A[t] = (1.0f - e) * (1.0f - e) * std::pow(D, -2.0f * e) * V0;
        Bf[t] = e * e * std::pow(D, 2.0f - 2.0f * e);
    }
    const long long slice = static_cast<long long>(params.blockSize.x) * params.blockSize.y;
    const int depth = params.blockSize.z;
    for (long long k = 1; k < n; ++k) {
        const float c = spectrum[k];
        if (c == 0.0f) continue;
        const int t = ((k / slice) % depth) == 0 ? 0 : 1;
        const float w = std::pow(std::fabs(c), exponents[t]);
        const float value = std::copysign(S[t] * w, c);
        spectrum[k] = value;
        if (params.sharpenVariance)
            variance[k] = (Bf[t] * variance[k] / (value * value) + A[t]) * w * w;
    }
}

Vec3<int> fourierSize(const Parameters& params) {
    return {halvedFirstFftDimension(params), params.fftSize.y, params.fftSize.z};
}

// The noise variance of every coefficient of the group just transformed, in memory.variance;
// the first min(varianceLimit, count) group components are computed exactly.
Cube4D<float> groupVariances(const Parameters& params, const GroupMatrices& g, int count,
                             const float* K3fT3, const float* localVar, const NoiseLags* noiseLags,
                             BlockDistance<float>* matches, Memory& memory, TempMemory& temp) {
    Cube4D<float> variance = memory.variance;
    variance.n = count;
    const int K = params.varianceLimit < count ? params.varianceLimit : count;
    if (noiseLags) {
        calculateVariancesFromLags(count, K, g.forward, *noiseLags, variance, matches);
        return variance;
    }
    calculateVariances(count, params.blockSize, params.fftSize, fourierSize(params), K, g.forward,
                       K3fT3, localVar, variance, matches, temp);
    return variance;
}

// A group formed at one reference location: its members and its group matrices.
struct Group {
    BlockDistance<float>* matches;
    int count;
    GroupMatrices g;
    long long B;  ///< block volume
};

// Obtains the group of `reference` on `collection` (search or replay) in memory.matches.
Group formGroup(Vec3<int> reference, const Parameters& params, const TransformsMeta& transforms,
                const float* matchOffsetTable, int referenceIndex,
                const BlockCollection<float>& collection, Memory& memory,
                BlockMatchStorage* storage) {
    BlockDistance<float>* matches = memory.matches;
    const int preset = memory.presetCount;
    memory.presetCount = 0;
    const int count = obtainGroup(reference, params, matchOffsetTable, referenceIndex, collection,
                                  matches, preset, storage);
    const Vec3<int> bs = params.blockSize;
    return {matches, count, groupMatrices(transforms, count),
            static_cast<long long>(bs.x) * bs.y * bs.z};
}

// Cuts the blocks of the members from `volume` into `blocks` (room for `count` blocks) and
// transforms them with the forward block transform, the same kernels as a collection's fill
// (so the same values); points each member's data at its block.
void forwardMemberBlocks(const ImageData<float>& volume, Vec3<int> bs,
                         const TransformsMeta& transforms, TempMemory& temp, Cube4D<float> blocks,
                         BlockDistance<float>* matches, int count) {
    for (int k = 0; k < count; ++k) {
        float* block = blocks.block(k);
        volume.copyBlock(matches[k].position, bs, block);
        matches[k].data = block;
    }
    if (transformBlocksInRegisters(blocks.data, blocks.data, count, bs, transforms.fwd)) return;
    for (int k = 0; k < count; ++k) {
        transf3D<float>(blocks.block(k), transforms.fwd, transforms.fwdKinds, temp.blockA,
                        temp.blockB, blocks.block(k), bs);
    }
}

// The group's members transformed into `cube` (one of the thread's spectrum cubes).
Cube4D<float> groupSpectrum(const Group& group, Cube4D<float> cube) {
    cube.n = group.count;
    forwardGroupTransform(group.matches, group.count, group.g, group.B, cube);
    return cube;
}

}  // namespace

template <>
void processReferenceLocation<HARD_THRESHOLDING>(
    Vec3<int> reference, const Parameters& params, const TransformsMeta& transforms,
    const float* matchOffsetTable, const float* K3fT3, const float* localVar,
    const NoiseLags* noiseLags, int referenceIndex, const BlockCollection<float>& collection,
    ImageDataMutable<float>& numerator, ImageDataMutable<float>& denominator, Memory& memory,
    TempMemory& temp, const ImageData<float>* /*noisy*/, BlockMatchStorage* storage) {
    static std::mutex aggregationMutex;
    const Group group = formGroup(reference, params, transforms, matchOffsetTable, referenceIndex,
                                  collection, memory, storage);
    BlockDistance<float>* matches = group.matches;
    const int count = group.count;
    const GroupMatrices& g = group.g;
    const Cube4D<float> spectrum = groupSpectrum(group, memory.spectrum);
    const Cube4D<float> variance =
        groupVariances(params, g, count, K3fT3, localVar, noiseLags, matches, memory, temp);

    // Hard threshold; index 0 (the DC of the group mean) is never touched, and a coefficient
    // whose square equals the product survives.
    const long long n = group.B * count;
    float* s = spectrum.data;
    float* v = variance.data;
    hardThreshold(s, v, n, params.thresholdSquared);
    if (params.sharpen) alphaRooting(params, s, v, n);

    inverseAndAggregate(matches, count, g, params, transforms, memory, temp, aggregationMutex,
                        numerator, denominator);
}

template <>
void processReferenceLocation<WIENER>(
    Vec3<int> reference, const Parameters& params, const TransformsMeta& transforms,
    const float* matchOffsetTable, const float* K3fT3, const float* localVar,
    const NoiseLags* noiseLags, int referenceIndex, const BlockCollection<float>& collection,
    ImageDataMutable<float>& numerator, ImageDataMutable<float>& denominator, Memory& memory,
    TempMemory& temp, const ImageData<float>* noisy, BlockMatchStorage* storage) {
    static std::mutex aggregationMutex;
    if (!noisy) throw std::invalid_argument("the Wiener stage needs the noisy volume");
    const Group group = formGroup(reference, params, transforms, matchOffsetTable, referenceIndex,
                                  collection, memory, storage);
    BlockDistance<float>* matches = group.matches;
    const int count = group.count;
    const GroupMatrices& g = group.g;
    const Cube4D<float> pilotSpectrum = groupSpectrum(group, memory.pilotSpectrum);
    // The same positions in the noisy volume, cut and transformed here into the output
    // buffer (free until the inverse transforms). A cache of the noisy volume's transformed
    // blocks, like the pilot's, would save little work: the Wiener groups read about 1.2
    // members per block position, where the matcher reads each pilot block about 50 times.
    forwardMemberBlocks(*noisy, params.blockSize, transforms, temp, memory.output, matches, count);
    const Cube4D<float> spectrum = groupSpectrum(group, memory.spectrum);
    const Cube4D<float> variance =
        groupVariances(params, g, count, K3fT3, localVar, noiseLags, matches, memory, temp);

    // Empirical Wiener gain p^2 / (max(1e-8, v) * threshold + p^2). When asked for, with
    // blocks of more than one slice, each group takes the threshold of least estimated risk
    // around the given one: measured, that gained on volumes at every level of white noise,
    // and under correlated noise with a narrower range that does not go as low (lower
    // thresholds lost on strongly correlated noise and on a background of zeros), unless the
    // noise is nearly white (correlated along one axis, or weakly). On
    // photographs (flat blocks) it gained on some cases and lost up to 0.4 dB on others, so
    // there the given threshold stays. A zero pilot coefficient gives gain 0 even when the
    // threshold is 0 (where the quotient would be 0/0).
    const long long n = group.B * count;
    const bool choose = params.adaptiveWiener && noiseLags && params.blockSize.z > 1;
    // A flat PSD has flatness 1.
    const bool nearlyWhite = noiseLags && noiseLags->flatness >= WIENER_WHITE_FACTORS_FLATNESS;
    const float* factors =
        nearlyWhite ? WIENER_THRESHOLD_FACTORS : WIENER_THRESHOLD_FACTORS_CORRELATED;
    const float threshold = choose
                                ? chooseWienerThreshold(pilotSpectrum.data, spectrum.data,
                                                        variance.data, n, params.threshold, factors)
                                : params.threshold;
    wienerGains(pilotSpectrum.data, spectrum.data, variance.data, n, threshold);

    inverseAndAggregate(matches, count, g, params, transforms, memory, temp, aggregationMutex,
                        numerator, denominator);
}

}  // namespace kelvo
