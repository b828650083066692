#include "kelvo/block_matching.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

// Run-time dispatch for the distance loop: an AVX2 clone and a baseline clone, chosen when
// the library loads. Both clones perform the same operations in the same order (eight
// independent lanes, then a fixed reduction), so they give bit-identical distances.
// ThreadSanitizer builds go without: their instrumented ifunc resolver runs before the
// sanitizer's run time is set up and crashes at load.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__) && !defined(KELVO_NO_TARGET_CLONES)
#define KELVO_TARGET_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KELVO_TARGET_CLONES
#endif

namespace kelvo {

void setSearchWindow(Vec3<int> reference, Vec3<int> searchRadius, Vec3<int> blockSize,
                     Vec3<int> imageSize, Vec3<int>& windowMin, Vec3<int>& windowMax) {
    for (int d = 0; d < 3; ++d) {
        windowMin[d] = std::max(0, reference[d] - searchRadius[d]);
        windowMax[d] = std::min(reference[d] + searchRadius[d], imageSize[d] - blockSize[d]);
    }
}

namespace {

// Sum of squared differences of n floats. Eight accumulators make the loop a vector loop
// without reassociating anything the compiler would have to prove: lane l sums the elements
// i with i mod 8 == l, in order.
__attribute__((always_inline)) inline float squaredDistance(const float* a, const float* b,
                                                            int n) {
    float acc[8] = {0.f, 0.f, 0.f, 0.f, 0.f, 0.f, 0.f, 0.f};
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        for (int l = 0; l < 8; ++l) {
            const float t = a[i + l] - b[i + l];
            acc[l] += t * t;
        }
    }
    float s = ((acc[0] + acc[4]) + (acc[1] + acc[5])) + ((acc[2] + acc[6]) + (acc[3] + acc[7]));
    for (; i < n; ++i) {
        const float t = a[i] - b[i];
        s += t * t;
    }
    return s;
}

// Heap order: by distance; an equal distance ranks the later visited candidate (z, then y,
// then x: the visiting order) as the larger, so that it sits above the earlier one and an
// equal distance never displaces an earlier candidate. The kept set and its order are thereby
// fully determined by the distances and the visiting order.
template <typename T>
struct HeapLess {
    bool operator()(const BlockDistance<T>& a, const BlockDistance<T>& b) const {
        if (a.distance != b.distance) return a.distance < b.distance;
        if (a.position.z != b.position.z) return a.position.z < b.position.z;
        if (a.position.y != b.position.y) return a.position.y < b.position.y;
        return a.position.x < b.position.x;
    }
};

// NaN samples would break the heap's ordering: such a candidate ranks as the worst.
inline float orderable(float d) { return std::isnan(d) ? std::numeric_limits<float>::infinity() : d; }

// The search proper: fills heap[0 .. capacity-1] as a max-heap and returns its size.
// The window has been clipped to the displacement table.
template <typename T>
__attribute__((always_inline)) inline int searchImpl(const BlockCollection<T>& c,
                                                     const float* offsets, Vec3<int> ref,
                                                     Vec3<int> radius, Vec3<int> wmin,
                                                     Vec3<int> wmax, int capacity,
                                                     BlockDistance<T>* heap) {
    constexpr int F = static_cast<int>(sizeof(T) / sizeof(float));  // floats per entry
    const int d = static_cast<int>(c.blockVolume);
    const int run1 = F * (d / 4);
    const int run2 = F * (d / 2) - run1;
    const int run3 = F * d - F * (d / 2);
    const std::int64_t stride = c.blockVolume;  // entries per slot
    const int cx = c.count.x, cy = c.count.y, cz = c.count.z;
    const int wx = 2 * radius.x + 1, wy = 2 * radius.y + 1;
    const float* reference = reinterpret_cast<const float*>(c.blockAt(ref));
    const HeapLess<T> less;
    int n = 0;
    for (int z = wmin.z; z <= wmax.z; ++z) {
        const int sz = z % cz;
        for (int y = wmin.y; y <= wmax.y; ++y) {
            const int sy = y % cy;
            const std::int64_t rowSlot = (static_cast<std::int64_t>(sz) * cy + sy) * cx;
            const float* offsetRow =
                offsets + (static_cast<std::int64_t>(z - ref.z + radius.z) * wy +
                           (y - ref.y + radius.y)) * wx + (wmin.x - ref.x + radius.x);
            int sx = wmin.x % cx;
            for (int x = wmin.x; x <= wmax.x; ++x, sx = (sx + 1 == cx) ? 0 : sx + 1) {
                if (x == ref.x && y == ref.y && z == ref.z) continue;
                const T* block = c.blocks + (rowSlot + sx) * stride;
                const float* b = reinterpret_cast<const float*>(block);
                float dist = -offsetRow[x - wmin.x];
                if (n < capacity) {
                    dist += squaredDistance(b, reference, run1);
                    dist += squaredDistance(b + run1, reference + run1, run2);
                    dist += squaredDistance(b + run1 + run2, reference + run1 + run2, run3);
                    heap[n].data = block;
                    heap[n].distance = orderable(dist);
                    heap[n].position = {x, y, z};
                    ++n;
                    std::push_heap(heap, heap + n, less);
                    continue;
                }
                const float worst = heap[0].distance;
                dist += squaredDistance(b, reference, run1);
                if (dist > worst) continue;
                dist += squaredDistance(b + run1, reference + run1, run2);
                if (dist > worst) continue;
                dist += squaredDistance(b + run1 + run2, reference + run1 + run2, run3);
                if (!(dist < worst)) continue;  // equal keeps the earlier candidate
                std::pop_heap(heap, heap + n, less);
                heap[n - 1].data = block;
                heap[n - 1].distance = dist;
                heap[n - 1].position = {x, y, z};
                std::push_heap(heap, heap + n, less);
            }
        }
    }
    return n;
}

KELVO_TARGET_CLONES int searchFloat(const BlockCollection<float>& c, const float* offsets,
                                    Vec3<int> ref, Vec3<int> radius, Vec3<int> wmin,
                                    Vec3<int> wmax, int capacity, BlockDistance<float>* heap) {
    return searchImpl(c, offsets, ref, radius, wmin, wmax, capacity, heap);
}

KELVO_TARGET_CLONES int searchComplex(const BlockCollection<Complex>& c, const float* offsets,
                                      Vec3<int> ref, Vec3<int> radius, Vec3<int> wmin,
                                      Vec3<int> wmax, int capacity,
                                      BlockDistance<Complex>* heap) {
    return searchImpl(c, offsets, ref, radius, wmin, wmax, capacity, heap);
}

inline int search(const BlockCollection<float>& c, const float* offsets, Vec3<int> ref,
                  Vec3<int> radius, Vec3<int> wmin, Vec3<int> wmax, int capacity,
                  BlockDistance<float>* heap) {
    return searchFloat(c, offsets, ref, radius, wmin, wmax, capacity, heap);
}
inline int search(const BlockCollection<Complex>& c, const float* offsets, Vec3<int> ref,
                  Vec3<int> radius, Vec3<int> wmin, Vec3<int> wmax, int capacity,
                  BlockDistance<Complex>* heap) {
    return searchComplex(c, offsets, ref, radius, wmin, wmax, capacity, heap);
}

}  // namespace

template <typename T>
void getBlockMatches(const BlockCollection<T>& collection, const float* matchOffsetTable,
                     Vec3<int> reference, Vec3<int> blockSize, Vec3<int> searchRadius,
                     Vec3<int> windowMin, Vec3<int> windowMax, int maxGroupSize,
                     int minGroupSize, float matchThreshold, BlockDistance<T>* matches,
                     int& count) {
    if (maxGroupSize < 1 || !matches)
        throw std::invalid_argument("getBlockMatches: no room for the reference entry");
    if (collection.blockVolume !=
        static_cast<std::int64_t>(blockSize.x) * blockSize.y * blockSize.z)
        throw std::invalid_argument("getBlockMatches: collection of another block size");
    assert(collection.holds(reference));

    // The window never reaches beyond the displacement table.
    bool empty = maxGroupSize == 1;
    for (int d = 0; d < 3; ++d) {
        windowMin[d] = std::max(windowMin[d], reference[d] - searchRadius[d]);
        windowMax[d] = std::min(windowMax[d], reference[d] + searchRadius[d]);
        if (windowMin[d] > windowMax[d]) empty = true;
    }
#ifndef NDEBUG
    if (!empty) {
        assert(collection.holds(windowMin) && collection.holds(windowMax) &&
               "the collection must hold the whole search window");
    }
#endif

    // Candidates live in matches[1 .. maxGroupSize-1] as a max-heap (top at matches[1]).
    BlockDistance<T>* heap = matches + 1;
    int n = empty ? 0
                  : search(collection, matchOffsetTable, reference, searchRadius, windowMin,
                           windowMax, maxGroupSize - 1, heap);

    // Trim to a power-of-two group within the threshold, never below minGroupSize
    // (compared as unsigned: a minGroupSize of 0 or less disables the trimming).
    const HeapLess<T> less;
    const unsigned keepAtLeast = static_cast<unsigned>(minGroupSize) - 1u;
    while (static_cast<unsigned>(n) > keepAtLeast) {
        const unsigned size = static_cast<unsigned>(n) + 1u;
        if (heap[0].distance > matchThreshold || (size & (size - 1u)) != 0u) {
            std::pop_heap(heap, heap + n, less);
            --n;
        } else {
            break;
        }
    }
    std::sort_heap(heap, heap + n, less);  // ascending: entries 1 .. n

    Vec3<int> minCorner = reference;
    for (int k = 0; k < n; ++k)
        for (int d = 0; d < 3; ++d) minCorner[d] = std::min(minCorner[d], heap[k].position[d]);
    for (int k = 0; k < n; ++k)
        for (int d = 0; d < 3; ++d) heap[k].shiftedPosition[d] = heap[k].position[d] - minCorner[d];

    matches[0].data = collection.blockAt(reference);
    matches[0].distance = 0.0f;
    matches[0].position = reference;
    for (int d = 0; d < 3; ++d) matches[0].shiftedPosition[d] = reference[d] - minCorner[d];
    count = n + 1;
}

template void getBlockMatches<float>(const BlockCollection<float>&, const float*, Vec3<int>,
                                     Vec3<int>, Vec3<int>, Vec3<int>, Vec3<int>, int, int,
                                     float, BlockDistance<float>*, int&);
template void getBlockMatches<Complex>(const BlockCollection<Complex>&, const float*,
                                       Vec3<int>, Vec3<int>, Vec3<int>, Vec3<int>, Vec3<int>,
                                       int, int, float, BlockDistance<Complex>*, int&);

}  // namespace kelvo
