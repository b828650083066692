#include "kelvo/engine/block_collection.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(_WIN32)
#include <malloc.h>
#endif

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "kelvo/engine/block_matching.h"
#include "kelvo/engine/block_transform.h"
#include "kelvo/engine/helpers.h"
#include "kelvo/engine/thread_pool.h"

namespace kelvo {

namespace {

const char* const ALLOCATION_ADVICE =
    "Failed to allocate block memory! \n"
    "If profile.splitComp is set to [false, false, false], this is likely fixed by \n"
    "setting the value to [false, false, true] or, if still failing [false, true, true]. \n"
    "pro = KELVOProfile(); pro.splitComp = [false, false, true]; y_est = KELVO(z, PSD, pro);";

constexpr std::size_t CACHE_LINE = 64;
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

// Number of block positions of a volume along one dimension (0 when the block does not fit).
inline int positionsAlong(int volumeSize, int blockSize) {
    return std::max(volumeSize - blockSize + 1, 0);
}

// Aligned buffers: C17's aligned_alloc where the C library has it; Windows' C run time has
// none and hands out aligned memory that only its own _aligned_free may release.
void* alignedAllocate(std::size_t alignment, std::size_t size) {
#if defined(_WIN32)
    return _aligned_malloc(size, alignment);
#else
    return std::aligned_alloc(alignment, size);
#endif
}

void alignedRelease(void* p) {
#if defined(_WIN32)
    _aligned_free(p);
#else
    std::free(p);
#endif
}

// Half-open interval [lo, hi) of positions.
struct Range {
    int lo;
    int hi;
};

}  // namespace

bool collectionCoversVolume(Vec3<int> volumeSize, Vec3<int> blockSize, Vec3<int> extent) {
    for (int d = 0; d < 3; ++d) {
        const int n = positionsAlong(volumeSize[d], blockSize[d]);
        if (n < 1) return false;
        // Per-thread allocation: min(2e + 2, size - block) + 1 = min(2e + 3, n) slots.
        const long long slots = std::min<long long>(2LL * std::max(extent[d], 0) + 3, n);
        if (slots != n) return false;
    }
    return true;
}

template <typename T>
BlockCollection<T>::~BlockCollection() {
    alignedRelease(blocks);
}

template <typename T>
bool BlockCollection<T>::holds(Vec3<int> p) const {
    if (!filled) return false;
    for (int d = 0; d < 3; ++d) {
        if (p[d] < origin[d] || p[d] >= origin[d] + count[d]) return false;
        if (p[d] >= positionsAlong(sourceSize[d], sourceBlockSize[d])) return false;
    }
    return true;
}

template <typename T>
bool BlockCollection<T>::coversVolume() const {
    if (!filled) return false;
    for (int d = 0; d < 3; ++d) {
        if (origin[d] != 0 || count[d] != positionsAlong(sourceSize[d], sourceBlockSize[d]))
            return false;
    }
    return true;
}

template <typename T>
T* BlockCollection<T>::allocate(std::int64_t blockCount, std::int64_t floatsPerBlock,
                                std::int64_t& totalFloats) {
    filled = false;  // the slots no longer hold what the box says
    capacity = blockCount;
    blockVolume = floatsPerBlock;
    const bool sane =
        blockCount > 0 && floatsPerBlock > 0 && blockCount <= INT64_MAX / floatsPerBlock &&
        static_cast<std::uint64_t>(blockCount * floatsPerBlock) <= SIZE_MAX / sizeof(T);
    totalFloats = sane ? blockCount * floatsPerBlock : 0;
    // The old contents are never needed (the collection is refilled), so the buffer is
    // replaced rather than reallocated: a fresh buffer can start on a cache line, where the
    // 64-float blocks of the default profiles then sit on whole lines for the matcher's loads.
    alignedRelease(blocks);
    blocks = nullptr;
    void* grown = nullptr;
    if (sane) {
        const std::size_t bytes = static_cast<std::size_t>(totalFloats) * sizeof(T);
        const std::size_t rounded = (bytes + CACHE_LINE - 1) / CACHE_LINE * CACHE_LINE;
        // Large buffers start on a 2 MiB boundary and, on Linux, ask for transparent huge
        // pages: far fewer page faults when the buffer is first filled, and fewer TLB misses
        // for the matcher, which reads blocks from many rows of the buffer at a time.
        const bool large = rounded >= HUGE_PAGE;
        const std::size_t alignment = large ? HUGE_PAGE : CACHE_LINE;
        const std::size_t size = (rounded + alignment - 1) / alignment * alignment;
        if (rounded >= bytes && size >= rounded) grown = alignedAllocate(alignment, size);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (grown && large)
            madvise(grown, size, MADV_HUGEPAGE);  // advice only: failure is harmless
#endif
    }
    if (!grown) {
        // A failed allocation leaves the collection without a buffer.
        capacity = 0;
        std::printf("%s\n", ALLOCATION_ADVICE);
        std::fflush(stdout);
        return nullptr;
    }
    blocks = static_cast<T*>(grown);
    return blocks;
}

template <typename T>
T* BlockCollection<T>::allocate(Vec3<int> volumeSize, Vec3<int> blockSize, Vec3<int> extent) {
    Vec3<int> slots{0, 0, 0};
    for (int d = 0; d < 3; ++d) {
        if (volumeSize[d] < blockSize[d] || blockSize[d] < 1) {
            // Not a fit: no block position exists in this dimension.
            alignedRelease(blocks);
            blocks = nullptr;
            capacity = 0;
            filled = false;
            box = {0, 0, 0};
            return nullptr;
        }
        const long long e = std::max(extent[d], 0);
        slots[d] =
            static_cast<int>(std::min<long long>(2 * e + 2, volumeSize[d] - blockSize[d]) + 1);
    }
    std::int64_t total = 0;
    T* result = allocate(static_cast<std::int64_t>(slots.x) * slots.y * slots.z,
                         static_cast<std::int64_t>(blockSize.x) * blockSize.y * blockSize.z, total);
    box = result ? slots : Vec3<int>{0, 0, 0};
    return result;
}

template <typename T>
bool BlockCollection<T>::extractInitial(const ImageData<float>& image, Vec3<int> start,
                                        Vec3<int> blockSize, Vec3<const float*> transformMatrices,
                                        Vec3<TransformsMetas::StandardTransform> transformKinds,
                                        bool allocateFlag, TempMemory& temp, Vec3<int> extent) {
    static_assert(sizeof(T) == sizeof(float), "collections are filled from float volumes");
    Vec3<int> newOrigin{0, 0, 0};
    Vec3<int> newCount{0, 0, 0};
    for (int d = 0; d < 3; ++d) {
        const int last = image.size[d] - blockSize[d];
        if (last < 0) return false;
        // Clamped to the last block position (not only to the volume) so that a start past
        // the end still yields a non-empty window.
        const long long o = std::min<long long>(
            std::max<long long>(static_cast<long long>(start[d]) - extent[d] - 1, 0), last);
        const long long l = std::min<long long>(last, o + 2LL * extent[d] + 2);
        newOrigin[d] = static_cast<int>(o);
        newCount[d] = static_cast<int>(std::max<long long>(l - o + 1, 1));
    }
    const std::int64_t total = static_cast<std::int64_t>(newCount.x) * newCount.y * newCount.z;
    const std::int64_t volume = static_cast<std::int64_t>(blockSize.x) * blockSize.y * blockSize.z;
    if (allocateFlag) {
        std::int64_t floats = 0;
        if (!allocate(total, volume, floats)) return false;
    }
    // Reusing a buffer that is too small would write past its end.
    if (!blocks || total > capacity || volume != blockVolume) return false;

    filled = false;
    origin = newOrigin;
    count = newCount;
    source = image.data;
    sourceSize = image.size;
    sourceBlockSize = blockSize;
    matrices = transformMatrices;
    kinds = transformKinds;

    float* const base = reinterpret_cast<float*>(blocks);
    // Copies the blocks of slots [begin, end) out of the volume: slot s holds the one
    // position of the window whose coordinates reduce to s's (the invariant of blockAt).
    const auto copySlots = [&](std::int64_t begin, std::int64_t end) {
        const Vec3<int> first{origin.x % count.x, origin.y % count.y, origin.z % count.z};
        for (std::int64_t slot = begin; slot < end; ++slot) {
            const std::int64_t row = slot / count.x;
            const int s[3] = {static_cast<int>(slot % count.x), static_cast<int>(row % count.y),
                              static_cast<int>(row / count.y)};
            Vec3<int> p{0, 0, 0};
            for (int d = 0; d < 3; ++d) p[d] = origin[d] + (s[d] - first[d] + count[d]) % count[d];
            image.copyBlock(p, blockSize, base + slot * volume);
        }
    };

    // Copy and transform every slot in place, spread over the pool (the copies touch the
    // buffer's pages for the first time, which costs as much as the transforms): index t
    // takes slots [t * per, min((t + 1) * per, total)), each index with scratch of its own
    // (an index may run on any thread, or all of them inline on this one inside a running
    // job).
    const int threads = std::max(THREAD_POOL.getNumThreads(), 1);
    const std::int64_t per = (total + threads - 1) / threads;
    std::unique_ptr<float, FreeDeleter> scratch(static_cast<float*>(std::malloc(
        static_cast<std::size_t>(threads) * 2 * static_cast<std::size_t>(volume) * sizeof(float))));
    if (scratch) {
        float* const s = scratch.get();
        THREAD_POOL.newLoopJob([&](int t) {
            float* a = s + static_cast<std::int64_t>(t) * 2 * volume;
            float* b = a + volume;
            const std::int64_t end = std::min<std::int64_t>((t + 1) * per, total);
            const std::int64_t begin = static_cast<std::int64_t>(t) * per;
            copySlots(begin, end);
            if (end > begin &&
                transformBlocksInRegisters(base + begin * volume, base + begin * volume,
                                           end - begin, blockSize, transformMatrices))
                return;
            for (std::int64_t slot = begin; slot < end; ++slot) {
                float* block = base + slot * volume;
                transf3D<float>(block, transformMatrices, transformKinds, a, b, block, blockSize);
            }
        });
    } else {
        // No memory for per-index scratch: copy and transform on this thread with its own
        // scratch.
        copySlots(0, total);
        for (std::int64_t slot = 0; slot < total; ++slot) {
            float* block = base + slot * volume;
            transf3D<float>(block, transformMatrices, transformKinds, temp.blockA, temp.blockB,
                            block, blockSize);
        }
    }
    filled = true;
    return true;
}

template <typename T>
void BlockCollection<T>::slideTo(const ImageData<float>& image, Vec3<int> newOrigin,
                                 TempMemory& temp) {
    Vec3<int> npos{0, 0, 0};
    for (int d = 0; d < 3; ++d) npos[d] = positionsAlong(image.size[d], sourceBlockSize[d]);

    // Extracts and transforms every valid position of the box [lo, hi).
    auto extract = [&](Range rx, Range ry, Range rz) {
        rx.hi = std::min(rx.hi, npos.x);
        ry.hi = std::min(ry.hi, npos.y);
        rz.hi = std::min(rz.hi, npos.z);
        rx.lo = std::max(rx.lo, 0);
        ry.lo = std::max(ry.lo, 0);
        rz.lo = std::max(rz.lo, 0);
        const bool inRegisters =
            sourceBlockSize == Vec3<int>{4, 4, 4} || sourceBlockSize == Vec3<int>{3, 3, 3};
        Vec3<int> p{0, 0, 0};
        for (p.z = rz.lo; p.z < rz.hi; ++p.z)
            for (p.y = ry.lo; p.y < ry.hi; ++p.y) {
                if (inRegisters) {
                    // A row of 4x4x4 or 3x3x3 blocks: copied, then transformed in runs of
                    // adjacent slots (a run ends where the ring wraps).
                    for (p.x = rx.lo; p.x < rx.hi; ++p.x)
                        image.copyBlock(p, sourceBlockSize, reinterpret_cast<float*>(blockAt(p)));
                    for (int x = rx.lo; x < rx.hi;) {
                        float* first = reinterpret_cast<float*>(blockAt({x, p.y, p.z}));
                        const int run = std::min(rx.hi - x, count.x - x % count.x);
                        transformBlocksInRegisters(first, first, run, sourceBlockSize, matrices);
                        x += run;
                    }
                    continue;
                }
                for (p.x = rx.lo; p.x < rx.hi; ++p.x) {
                    float* out = reinterpret_cast<float*>(blockAt(p));
                    image.copyBlock(p, sourceBlockSize, out);
                    transf3D<float>(out, matrices, kinds, temp.blockA, temp.blockB, out,
                                    sourceBlockSize);
                }
            }
    };

    Range inter[3];
    Range fresh[3];
    bool overlap = filled;
    for (int d = 0; d < 3 && overlap; ++d) {
        const int o = origin[d];
        const int n = newOrigin[d];
        const int c = count[d];
        inter[d] = {std::max(o, n), std::min(o, n) + c};
        if (inter[d].lo >= inter[d].hi) overlap = false;
        // The new positions of one dimension form one interval: both boxes have length c.
        if (n > o)
            fresh[d] = {o + c, n + c};
        else if (n < o)
            fresh[d] = {n, o};
        else
            fresh[d] = {n, n};
    }
    const Range all[3] = {{newOrigin.x, newOrigin.x + count.x},
                          {newOrigin.y, newOrigin.y + count.y},
                          {newOrigin.z, newOrigin.z + count.z}};
    filled = false;  // stays false if a transform throws half-way
    origin = newOrigin;
    if (!overlap) {
        extract(all[0], all[1], all[2]);
    } else {
        // new \ old as three disjoint boxes: new slices in z, then in y (old z), then in x.
        extract(all[0], all[1], fresh[2]);
        extract(all[0], fresh[1], inter[2]);
        extract(fresh[0], inter[1], inter[2]);
    }
    filled = true;
}

template <typename T>
void BlockCollection<T>::moveInImage(const ImageData<float>& image, Vec3<int> move,
                                     TempMemory& temp) {
    Vec3<int> target = origin;
    for (int d = 0; d < 3; ++d) target[d] += std::max(move[d], 0);
    slideTo(image, target, temp);
}

template <typename T>
bool BlockCollection<T>::verifyBlocks(const ImageData<float>& image, Vec3<int> lo, Vec3<int> hi,
                                      TempMemory& temp) const {
    const std::int64_t volume = blockVolume;
    std::unique_ptr<float, FreeDeleter> direct(
        static_cast<float*>(std::malloc(static_cast<std::size_t>(volume) * sizeof(float))));
    if (!direct) return false;
    Vec3<int> p{0, 0, 0};
    for (p.z = lo.z; p.z <= hi.z; ++p.z)
        for (p.y = lo.y; p.y <= hi.y; ++p.y)
            for (p.x = lo.x; p.x <= hi.x; ++p.x) {
                if (!holds(p)) return false;
                image.copyBlock(p, sourceBlockSize, direct.get());
                transf3D<float>(direct.get(), matrices, kinds, temp.blockA, temp.blockB,
                                direct.get(), sourceBlockSize);
                if (std::memcmp(direct.get(), blockAt(p),
                                static_cast<std::size_t>(volume) * sizeof(float)) != 0)
                    return false;
            }
    return true;
}

namespace {

// One collection's part of moveCollections.
void keepInStep(BlockCollection<float>& c, const ImageData<float>& image, Vec3<int> windowMin,
                Vec3<int> windowMax, Vec3<int> blockSize, Vec3<const float*> matrices,
                Vec3<TransformsMetas::StandardTransform> kinds, TempMemory& temp) {
    Vec3<int> npos{0, 0, 0};
    for (int d = 0; d < 3; ++d) npos[d] = positionsAlong(image.size[d], blockSize[d]);

    const bool sameVolume = c.filled && c.source == image.data && c.sourceSize == image.size &&
                            c.sourceBlockSize == blockSize;
    // A full-volume collection may be shared by every worker: never write to it once filled
    // from this volume (its transform was fixed by that fill).
    if (sameVolume && c.coversVolume()) return;
    const bool sameSource = sameVolume && c.matrices == matrices && c.kinds == kinds;

    // The box the collection keeps: the per-thread allocation's, else what the last fill left.
    Vec3<int> boxSize = (c.box.x > 0 && c.box.y > 0 && c.box.z > 0) ? c.box : c.count;
    for (int d = 0; d < 3; ++d) {
        boxSize[d] = std::min(boxSize[d], npos[d]);
        if (boxSize[d] < 1 || boxSize[d] < windowMax[d] - windowMin[d] + 1)
            throw std::logic_error("block collection smaller than the search window");
    }
    if (!c.blocks || static_cast<std::int64_t>(boxSize.x) * boxSize.y * boxSize.z > c.capacity ||
        c.blockVolume != static_cast<std::int64_t>(blockSize.x) * blockSize.y * blockSize.z)
        throw std::logic_error("block collection has no buffer for its box");

    if (!sameSource || c.count != boxSize) {
        // Refill: the box starts at the window and reaches as far ahead as the volume allows.
        c.filled = false;
        c.count = boxSize;
        c.source = image.data;
        c.sourceSize = image.size;
        c.sourceBlockSize = blockSize;
        c.matrices = matrices;
        c.kinds = kinds;
        Vec3<int> target{0, 0, 0};
        for (int d = 0; d < 3; ++d)
            target[d] = std::max(std::min(windowMin[d], npos[d] - boxSize[d]), 0);
        c.slideTo(image, target, temp);
        return;
    }

    Vec3<int> target = c.origin;
    bool moves = false;
    for (int d = 0; d < 3; ++d) {
        const int first = c.origin[d];
        const int last = c.origin[d] + c.count[d] - 1;
        if (windowMax[d] > last) {
            // Forward: the box's end meets the window's end, keeping what is behind.
            target[d] = std::min(windowMax[d] - c.count[d] + 1, npos[d] - c.count[d]);
            moves = true;
        } else if (windowMin[d] < first) {
            // Backward (e.g. a new row): the box starts at the window, holding ahead.
            target[d] = std::max(windowMin[d], 0);
            moves = true;
        }
    }
    if (moves) c.slideTo(image, target, temp);
}

}  // namespace

template <int Stage>
void moveCollections(Vec3<int> reference, Vec3<int> searchRadius, Vec3<int> blockSize,
                     Vec3<const float*> matrices, Vec3<TransformsMetas::StandardTransform> kinds,
                     TempMemory& temp, const ImageData<float>& image, const ImageData<float>* pilot,
                     BlockCollection<float>& collection, BlockCollection<float>* pilotCollection) {
    Vec3<int> windowMin{0, 0, 0};
    Vec3<int> windowMax{0, 0, 0};
    setSearchWindow(reference, searchRadius, blockSize, image.size, windowMin, windowMax);
    for (int d = 0; d < 3; ++d) {
        // The reference block itself is read too (entry 0 of every group).
        windowMin[d] = std::min(windowMin[d], reference[d]);
        windowMax[d] = std::max(windowMax[d], reference[d]);
        if (reference[d] < 0 || reference[d] + blockSize[d] > image.size[d])
            throw std::invalid_argument("reference block outside the volume");
    }
    keepInStep(collection, image, windowMin, windowMax, blockSize, matrices, kinds, temp);
    assert(collection.verifyBlocks(image, windowMin, windowMax, temp));
    if (Stage == WIENER && pilot && pilotCollection) {
        keepInStep(*pilotCollection, *pilot, windowMin, windowMax, blockSize, matrices, kinds,
                   temp);
        assert(pilotCollection->verifyBlocks(*pilot, windowMin, windowMax, temp));
    }
}

template struct BlockCollection<float>;
template BlockCollection<Complex>::~BlockCollection();
template bool BlockCollection<Complex>::holds(Vec3<int>) const;
template Complex* BlockCollection<Complex>::allocate(std::int64_t, std::int64_t, std::int64_t&);
template Complex* BlockCollection<Complex>::allocate(Vec3<int>, Vec3<int>, Vec3<int>);

template void moveCollections<HARD_THRESHOLDING>(Vec3<int>, Vec3<int>, Vec3<int>,
                                                 Vec3<const float*>,
                                                 Vec3<TransformsMetas::StandardTransform>,
                                                 TempMemory&, const ImageData<float>&,
                                                 const ImageData<float>*, BlockCollection<float>&,
                                                 BlockCollection<float>*);
template void moveCollections<WIENER>(Vec3<int>, Vec3<int>, Vec3<int>, Vec3<const float*>,
                                      Vec3<TransformsMetas::StandardTransform>, TempMemory&,
                                      const ImageData<float>&, const ImageData<float>*,
                                      BlockCollection<float>&, BlockCollection<float>*);

}  // namespace kelvo
