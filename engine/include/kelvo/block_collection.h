// Block collection: a cache of the forward-transformed blocks of every block position inside
// a box of the volume, kept as a three-dimensional ring buffer so that sliding the box only
// transforms the blocks that enter it.
#pragma once

#include <cstdint>

#include "kelvo/image.h"
#include "kelvo/memory.h"
#include "kelvo/records.h"

namespace kelvo {

/// Ring buffer of transformed blocks. The block at position p (origin <= p < origin + count)
/// lives in slot (p.z mod count.z) * count.y * count.x + (p.y mod count.y) * count.x +
/// (p.x mod count.x), at offset slot * blockVolume. The slot depends on p alone.
/// A collection is written only by the thread that owns it (the transform step of
/// `extractInitial` runs on the pool over disjoint slots). Owns its buffer.
template <typename T>
struct BlockCollection {
    bool filled = false;
    T* blocks = nullptr;
    std::int64_t capacity = 0;     ///< number of block slots allocated
    std::int64_t blockVolume = 0;  ///< floats per block
    Vec3<int> count{0, 0, 0};      ///< block positions held per dimension
    Vec3<int> origin{0, 0, 0};     ///< lowest block position held per dimension

    BlockCollection() = default;
    ~BlockCollection();
    BlockCollection(const BlockCollection&) = delete;
    BlockCollection& operator=(const BlockCollection&) = delete;

    /// Stored entries of the block at position p, which must be held.
    const T* blockAt(Vec3<int> p) const {
        const std::int64_t slot =
            (static_cast<std::int64_t>(p.z % count.z) * count.y + p.y % count.y) * count.x +
            p.x % count.x;
        return blocks + slot * blockVolume;
    }
    T* blockAt(Vec3<int> p) {
        return const_cast<T*>(static_cast<const BlockCollection*>(this)->blockAt(p));
    }
    /// True when position p lies in the box the collection holds.
    bool holds(Vec3<int> p) const;

    /// Resizes the buffer to blockCount * blockVolume floats. Returns it, or null (after
    /// writing the advice message to standard output) when the allocation failed.
    T* allocate(std::int64_t blockCount, std::int64_t blockVolume, std::int64_t& totalFloats);
    /// Per-thread form: per dimension min(2 * extent + 2, volumeSize - blockSize) + 1 slots.
    T* allocate(Vec3<int> volumeSize, Vec3<int> blockSize, Vec3<int> extent);

    /// Fills the collection for the window around block position `start`; the transforms
    /// run as one loop job on the thread pool. Returns false when there is no buffer.
    bool extractInitial(const ImageData<float>& image, Vec3<int> start, Vec3<int> blockSize,
                        Vec3<const float*> matrices,
                        Vec3<TransformsMetas::StandardTransform> kinds, bool allocateFlag,
                        TempMemory& temp, Vec3<int> extent);
};

/// Keeps a thread's collections in step with the reference location: after the call,
/// `collection` holds the transform (with `matrices` and `kinds`) of every block position of
/// the search window of `reference` (see setSearchWindow), and nothing it holds is stale.
/// In the Wiener stage (Stage == 1) `pilotCollection` is kept on the same box from `pilot`.
/// A collection that covers the whole volume is left alone once filled.
template <int Stage>
void moveCollections(Vec3<int> reference, Vec3<int> searchRadius, Vec3<int> blockSize,
                     Vec3<const float*> matrices, Vec3<TransformsMetas::StandardTransform> kinds,
                     TempMemory& temp, const ImageData<float>& image,
                     const ImageData<float>* pilot, BlockCollection<float>& collection,
                     BlockCollection<float>* pilotCollection);

}  // namespace kelvo
