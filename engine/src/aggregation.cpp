#include "kelvo/engine/aggregation.h"

#include <algorithm>
#include <stdexcept>
#include <type_traits>

namespace kelvo {

namespace {

// Floors of the two divisors: the numerator's is a bare guard against division by zero, the
// weights' also scales with the noise level.
constexpr float NUMERATOR_FLOOR = 0.00000001f;
constexpr float WEIGHT_FLOOR_PER_NOISE = 0.0001f;

template <typename T>
bool insideVolume(Vec3<int> q, Vec3<int> blockSize, const ImageData<T>& v) {
    for (int d = 0; d < 3; ++d)
        if (q[d] < 0 || blockSize[d] < 0 || q[d] > v.size[d] - blockSize[d]) return false;
    return true;
}

// Calls add(numeratorRow, weightsRow, rowInBlock, rowLength) for every row of the block at q:
// pointers to the row's first sample in the numerator and in the weights, the row's index
// within the block and its length. X > 0 passes the length as a compile-time constant
// (std::integral_constant), so that the caller's row loop is unrolled.
template <int X, typename T, typename AddRow>
inline void forEachBlockRow(Vec3<int> q, Vec3<int> blockSize, ImageDataMutable<T>& numerator,
                            ImageDataMutable<T>& weights, AddRow&& add) {
    long long row = 0;
    for (int k = 0; k < blockSize.z; ++k) {
        for (int j = 0; j < blockSize.y; ++j, ++row) {
            const long long offset = static_cast<long long>(q.z + k) * numerator.sliceStride +
                                     static_cast<long long>(q.y + j) * numerator.size.x + q.x;
            T* num = numerator.mutableData + offset;
            T* wei = weights.mutableData + offset;
            if constexpr (X > 0) {
                add(num, wei, row, std::integral_constant<int, X>{});
            } else {
                add(num, wei, row, blockSize.x);
            }
        }
    }
}

// Calls forEachBlockRow with the row length fixed for the default block sizes.
template <typename T, typename AddRow>
inline void forEachRowOfBlock(Vec3<int> q, Vec3<int> blockSize, ImageDataMutable<T>& numerator,
                              ImageDataMutable<T>& weights, AddRow&& add) {
    switch (blockSize.x) {
        case 3:
            forEachBlockRow<3>(q, blockSize, numerator, weights, add);
            break;
        case 4:
            forEachBlockRow<4>(q, blockSize, numerator, weights, add);
            break;
        case 8:
            forEachBlockRow<8>(q, blockSize, numerator, weights, add);
            break;
        default:
            forEachBlockRow<0>(q, blockSize, numerator, weights, add);
    }
}

// The divisors of one block's terms: numerator += value * window / numerator, weights +=
// window / weight.
template <typename T>
struct Divisors {
    T numerator, weight;
};

template <typename T>
T weightFloorFor(T noiseLevel) {
    return std::max(static_cast<T>(WEIGHT_FLOOR_PER_NOISE) * noiseLevel,
                    static_cast<T>(NUMERATOR_FLOOR));
}

template <typename T>
Divisors<T> divisorsFor(T blockWeight, T weightFloor) {
    return {std::max(blockWeight, static_cast<T>(NUMERATOR_FLOOR)),
            std::max(blockWeight, weightFloor)};
}

// The checks both forms of aggregation make before writing anything.
template <typename T>
void checkPlacement(const BlockDistance<T>* matches, Vec3<int> blockSize, int groupSize,
                    const ImageDataMutable<T>& numerator, const ImageDataMutable<T>& weights) {
    if (numerator.size != weights.size)
        throw std::invalid_argument("aggregate: numerator and weights differ in size");
    for (int n = 0; n < groupSize; ++n) {
        if (!insideVolume(matches[n].position, blockSize, numerator))
            throw std::out_of_range("aggregate: block outside the volume");
    }
}

// Adds one block's precomputed terms (block order, x fastest) to the sums at q.
template <typename T>
void addBlockTerms(Vec3<int> q, Vec3<int> blockSize, const T* numeratorTerms, const T* weightTerms,
                   ImageDataMutable<T>& numerator, ImageDataMutable<T>& weights) {
    forEachRowOfBlock(q, blockSize, numerator, weights,
                      [&](T* __restrict num, T* __restrict wei, long long row, auto nx) {
                          const T* __restrict a = numeratorTerms + row * nx;
                          const T* __restrict b = weightTerms + row * nx;
                          for (int i = 0; i < nx; ++i) {
                              num[i] += a[i];
                              wei[i] += b[i];
                          }
                      });
}

}  // namespace

// A block's terms are computed over the whole block first, where the loop runs over contiguous
// samples in full vectors (rows of 3 or 4 samples would take their divisions one or four at a
// time), then added row by row. The weights' terms depend only on the block's divisor, which
// the members of a group usually share, so they are computed again only when it changes. The
// same operations in the same order as one loop over the rows, so the same bits.
constexpr long long BLOCK_AT_ONCE = 512;

template <typename T>
void aggregate(const BlockDistance<T>* matches, Vec3<int> blockSize, int groupSize,
               const Cube4D<T>& group, const T* blockWeights, const T* window, T noiseLevel,
               ImageDataMutable<T>& numerator, ImageDataMutable<T>& weights) {
    if (groupSize <= 0) return;
    checkPlacement(matches, blockSize, groupSize, numerator, weights);
    const long long volume = static_cast<long long>(blockSize.x) * blockSize.y * blockSize.z;
    const T weightFloor = weightFloorFor(noiseLevel);
    if (volume <= BLOCK_AT_ONCE) {
        T numeratorTerms[BLOCK_AT_ONCE], weightTerms[BLOCK_AT_ONCE];
        bool haveWeightTerms = false;
        T weightDivisor = 0;
        for (int n = 0; n < groupSize; ++n) {
            const Divisors<T> d = divisorsFor(blockWeights[n], weightFloor);
            const T* __restrict values = group.data + volume * n;
            for (long long i = 0; i < volume; ++i)
                numeratorTerms[i] = values[i] * window[i] / d.numerator;
            if (!haveWeightTerms || !(d.weight == weightDivisor)) {
                for (long long i = 0; i < volume; ++i) weightTerms[i] = window[i] / d.weight;
                haveWeightTerms = true;
                weightDivisor = d.weight;
            }
            addBlockTerms(matches[n].position, blockSize, numeratorTerms, weightTerms, numerator,
                          weights);
        }
        return;
    }
    for (int n = 0; n < groupSize; ++n) {
        const Divisors<T> d = divisorsFor(blockWeights[n], weightFloor);
        const T* values = group.data + volume * n;
        // The terms computed on the way, row by row (rows of the default sizes unrolled).
        forEachRowOfBlock(matches[n].position, blockSize, numerator, weights,
                          [&](T* __restrict num, T* __restrict wei, long long row, auto nx) {
                              const T* __restrict v = values + row * nx;
                              const T* __restrict win = window + row * nx;
                              for (int i = 0; i < nx; ++i) {
                                  num[i] += v[i] * win[i] / d.numerator;
                                  wei[i] += win[i] / d.weight;
                              }
                          });
    }
}

void aggregationTerms(Vec3<int> blockSize, int groupSize, const Cube4D<float>& group,
                      const float* blockWeights, const float* window, float noiseLevel,
                      float* numeratorTerms, float* weightTerms) {
    if (groupSize <= 0) return;
    const long long volume = static_cast<long long>(blockSize.x) * blockSize.y * blockSize.z;
    const float weightFloor = weightFloorFor(noiseLevel);
    for (int n = 0; n < groupSize; ++n) {
        const Divisors<float> d = divisorsFor(blockWeights[n], weightFloor);
        const float* values = group.data + volume * n;
        float* num = numeratorTerms + volume * n;
        float* wei = weightTerms + volume * n;
        for (long long v = 0; v < volume; ++v) {
            num[v] = values[v] * window[v] / d.numerator;
            wei[v] = window[v] / d.weight;
        }
    }
}

void addAggregationTerms(const BlockDistance<float>* matches, Vec3<int> blockSize, int groupSize,
                         const float* numeratorTerms, const float* weightTerms,
                         ImageDataMutable<float>& numerator, ImageDataMutable<float>& weights) {
    if (groupSize <= 0) return;
    checkPlacement(matches, blockSize, groupSize, numerator, weights);
    const long long volume = static_cast<long long>(blockSize.x) * blockSize.y * blockSize.z;
    for (int n = 0; n < groupSize; ++n)
        addBlockTerms(matches[n].position, blockSize, numeratorTerms + volume * n,
                      weightTerms + volume * n, numerator, weights);
}

void normalise(ImageDataMutable<float>& numerator, const ImageDataMutable<float>& weights,
               const float* fallback) {
    if (numerator.size != weights.size)
        throw std::invalid_argument("normalise: numerator and weights differ in size");
    const long long n =
        static_cast<long long>(numerator.size.x) * numerator.size.y * numerator.size.z;
    float* num = numerator.mutableData;
    const float* wei = weights.data;
    for (long long v = 0; v < n; ++v) {
        num[v] = wei[v] != 0.0f ? num[v] / wei[v] : (fallback ? fallback[v] : 0.0f);
    }
}

template void aggregate<float>(const BlockDistance<float>*, Vec3<int>, int, const Cube4D<float>&,
                               const float*, const float*, float, ImageDataMutable<float>&,
                               ImageDataMutable<float>&);

}  // namespace kelvo
