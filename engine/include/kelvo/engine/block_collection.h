// Block collection: a cache of the forward-transformed blocks of every block position inside
// a box of the volume, kept as a three-dimensional ring buffer so that sliding the box only
// transforms the blocks that enter it.
#pragma once

#include <cstdint>

#include "kelvo/engine/image.h"
#include "kelvo/engine/memory.h"
#include "kelvo/engine/records.h"

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

    // Implementation details below (not part of the record's published order).
    /// Block positions per dimension of the box that `moveCollections` keeps, as chosen by
    /// the per-thread `allocate`; zero when the collection was sized otherwise (then the box
    /// is `count` as the last fill left it).
    Vec3<int> box{0, 0, 0};
    /// What the held blocks were made from: the volume (buffer and size), the block size and
    /// the forward transform. A later fill or move with other values refills the collection,
    /// so that one collection never mixes two transforms or two volumes.
    const float* source = nullptr;
    Vec3<int> sourceSize{0, 0, 0};
    Vec3<int> sourceBlockSize{0, 0, 0};
    Vec3<const float*> matrices{nullptr, nullptr, nullptr};
    Vec3<TransformsMetas::StandardTransform> kinds{
        TransformsMetas::ARB_FWD, TransformsMetas::ARB_FWD, TransformsMetas::ARB_FWD};

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
    /// True when the collection is filled and the block at position p is held (inside the
    /// box and a valid block position of the volume it was filled from).
    bool holds(Vec3<int> p) const;
    /// True when the collection is filled and holds every block position of the volume:
    /// such a collection is never moved, so threads may share it read-only.
    bool coversVolume() const;

    /// Resizes the buffer to blockCount * blockVolume floats. Returns it, or null (after
    /// writing the advice message to standard output) when the allocation failed.
    T* allocate(std::int64_t blockCount, std::int64_t blockVolume, std::int64_t& totalFloats);
    /// Per-thread form: per dimension min(2 * extent + 2, volumeSize - blockSize) + 1 slots.
    T* allocate(Vec3<int> volumeSize, Vec3<int> blockSize, Vec3<int> extent);

    /// Fills the collection for the window around block position `start`; the transforms
    /// run as one loop job on the thread pool. Returns false when there is no buffer.
    bool extractInitial(const ImageData<float>& image, Vec3<int> start, Vec3<int> blockSize,
                        Vec3<const float*> matrices, Vec3<TransformsMetas::StandardTransform> kinds,
                        bool allocateFlag, TempMemory& temp, Vec3<int> extent);

    /// Advances the box by `move` (non-negative per dimension): blocks that enter the box are
    /// extracted and transformed with the collection's own transform (the one of its last
    /// fill), blocks that stay keep their slots. Positions past the volume's last block
    /// position are not extracted; `origin` advances by `move` in any case. The collection
    /// must be filled from `image`.
    void moveInImage(const ImageData<float>& image, Vec3<int> move, TempMemory& temp);

    /// Moves the box to start at `newOrigin` (count unchanged), extracting and transforming
    /// only the positions that were not held before (all of them when the boxes do not
    /// overlap or the collection is not filled). Uses the scratch blocks of `temp`.
    void slideTo(const ImageData<float>& image, Vec3<int> newOrigin, TempMemory& temp);

    /// Debug aid and test helper: true when every held block inside [lo, hi] (inclusive)
    /// equals, value for value, the transform of the block taken directly from `image`.
    bool verifyBlocks(const ImageData<float>& image, Vec3<int> lo, Vec3<int> hi,
                      TempMemory& temp) const;
};

/// True when a collection allocated with the per-thread `allocate(volumeSize, blockSize,
/// extent)` (or filled by `extractInitial` at (0, 0, 0) with `extent`) holds every block
/// position of the volume in every dimension. Only such a collection may be shared between
/// threads.
bool collectionCoversVolume(Vec3<int> volumeSize, Vec3<int> blockSize, Vec3<int> extent);

/// Keeps a thread's collections in step with the reference location: after the call,
/// `collection` holds the transform (with `matrices` and `kinds`) of every block position of
/// the search window of `reference` (see setSearchWindow), and nothing it holds is stale.
/// In the Wiener stage (Stage == 1) `pilotCollection` is kept on the same box from `pilot`.
/// A collection that covers the whole volume is left alone once filled.
///
/// Call it before every reference location (`reference` already shifted and clamped to the
/// last block position). When the window leaves the held box in a dimension, the box moves
/// just far enough to hold it again, so that blocks already held stay (the reference may
/// wobble by its shift lists without refilling), and only the positions that enter are
/// extracted; when nothing overlaps the box is refilled, placed to hold as far ahead of the
/// window as the volume allows. The collection must have been sized by the per-thread
/// `allocate` (or filled by `extractInitial`); throws std::logic_error when its box cannot
/// hold the search window. Writes only to the collections passed, never to a filled
/// collection that covers the whole volume.
template <int Stage>
void moveCollections(Vec3<int> reference, Vec3<int> searchRadius, Vec3<int> blockSize,
                     Vec3<const float*> matrices, Vec3<TransformsMetas::StandardTransform> kinds,
                     TempMemory& temp, const ImageData<float>& image, const ImageData<float>* pilot,
                     BlockCollection<float>& collection, BlockCollection<float>* pilotCollection);

}  // namespace kelvo
