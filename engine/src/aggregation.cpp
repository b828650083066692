#include "kelvo/engine/aggregation.h"

#include <algorithm>
#include <stdexcept>

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

// Adds one block's terms, computed on the way: numerator += value * window / numeratorDivisor,
// weights += window / weightDivisor. X > 0 fixes the row length at compile time.
template <int X, typename T>
inline void addBlockTerms(Vec3<int> q, Vec3<int> blockSize, const T* __restrict values,
                          const T* __restrict window, T numeratorDivisor, T weightDivisor,
                          ImageDataMutable<T>& numerator, ImageDataMutable<T>& weights) {
    const int nx = X > 0 ? X : blockSize.x;
    for (int k = 0; k < blockSize.z; ++k) {
        for (int j = 0; j < blockSize.y; ++j, values += nx, window += nx) {
            const long long offset = static_cast<long long>(q.z + k) * numerator.sliceStride +
                                     static_cast<long long>(q.y + j) * numerator.size.x + q.x;
            T* __restrict num = numerator.mutableData + offset;
            T* __restrict wei = weights.mutableData + offset;
            for (int i = 0; i < nx; ++i) {
                num[i] += values[i] * window[i] / numeratorDivisor;
                wei[i] += window[i] / weightDivisor;
            }
        }
    }
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

}  // namespace

template <typename T>
void aggregate(const BlockDistance<T>* matches, Vec3<int> blockSize, int groupSize,
               const Cube4D<T>& group, const T* blockWeights, const T* window, T noiseLevel,
               ImageDataMutable<T>& numerator, ImageDataMutable<T>& weights) {
    if (groupSize <= 0) return;
    checkPlacement(matches, blockSize, groupSize, numerator, weights);
    const long long volume = static_cast<long long>(blockSize.x) * blockSize.y * blockSize.z;
    const T weightFloor = std::max(static_cast<T>(WEIGHT_FLOOR_PER_NOISE) * noiseLevel,
                                   static_cast<T>(NUMERATOR_FLOOR));
    for (int n = 0; n < groupSize; ++n) {
        const T w = blockWeights[n];
        const T numeratorDivisor = std::max(w, static_cast<T>(NUMERATOR_FLOOR));
        const T weightDivisor = std::max(w, weightFloor);
        const Vec3<int> q = matches[n].position;
        const T* values = group.data + volume * n;
        switch (blockSize.x) {  // rows of the default block sizes unrolled
            case 4:
                addBlockTerms<4>(q, blockSize, values, window, numeratorDivisor, weightDivisor,
                                 numerator, weights);
                break;
            case 8:
                addBlockTerms<8>(q, blockSize, values, window, numeratorDivisor, weightDivisor,
                                 numerator, weights);
                break;
            default:
                addBlockTerms<0>(q, blockSize, values, window, numeratorDivisor, weightDivisor,
                                 numerator, weights);
        }
    }
}

void aggregationTerms(Vec3<int> blockSize, int groupSize, const Cube4D<float>& group,
                      const float* blockWeights, const float* window, float noiseLevel,
                      float* numeratorTerms, float* weightTerms) {
    if (groupSize <= 0) return;
    const long long volume = static_cast<long long>(blockSize.x) * blockSize.y * blockSize.z;
    const float weightFloor = std::max(WEIGHT_FLOOR_PER_NOISE * noiseLevel, NUMERATOR_FLOOR);
    for (int n = 0; n < groupSize; ++n) {
        const float w = blockWeights[n];
        const float numeratorDivisor = std::max(w, NUMERATOR_FLOOR);
        const float weightDivisor = std::max(w, weightFloor);
        const float* values = group.data + volume * n;
        float* num = numeratorTerms + volume * n;
        float* wei = weightTerms + volume * n;
        for (long long v = 0; v < volume; ++v) {
            num[v] = values[v] * window[v] / numeratorDivisor;
            wei[v] = window[v] / weightDivisor;
        }
    }
}

namespace {

// Adds the rows of one block; X > 0 fixes the row length at compile time.
template <int X>
inline void addBlock(Vec3<int> q, Vec3<int> blockSize, const float* __restrict num,
                     const float* __restrict wei, ImageDataMutable<float>& numerator,
                     ImageDataMutable<float>& weights) {
    const int nx = X > 0 ? X : blockSize.x;
    for (int k = 0; k < blockSize.z; ++k) {
        for (int j = 0; j < blockSize.y; ++j, num += nx, wei += nx) {
            const long long offset = static_cast<long long>(q.z + k) * numerator.sliceStride +
                                     static_cast<long long>(q.y + j) * numerator.size.x + q.x;
            float* __restrict a = numerator.mutableData + offset;
            float* __restrict b = weights.mutableData + offset;
            for (int i = 0; i < nx; ++i) {
                a[i] += num[i];
                b[i] += wei[i];
            }
        }
    }
}

}  // namespace

void addAggregationTerms(const BlockDistance<float>* matches, Vec3<int> blockSize, int groupSize,
                         const float* numeratorTerms, const float* weightTerms,
                         ImageDataMutable<float>& numerator, ImageDataMutable<float>& weights) {
    if (groupSize <= 0) return;
    checkPlacement(matches, blockSize, groupSize, numerator, weights);
    const long long volume = static_cast<long long>(blockSize.x) * blockSize.y * blockSize.z;
    for (int n = 0; n < groupSize; ++n) {
        const float* num = numeratorTerms + volume * n;
        const float* wei = weightTerms + volume * n;
        switch (blockSize.x) {
            case 4:
                addBlock<4>(matches[n].position, blockSize, num, wei, numerator, weights);
                break;
            case 8:
                addBlock<8>(matches[n].position, blockSize, num, wei, numerator, weights);
                break;
            default:
                addBlock<0>(matches[n].position, blockSize, num, wei, numerator, weights);
        }
    }
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
