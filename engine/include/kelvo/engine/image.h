// Volumes and group containers.
//
// All sample data is single precision, dimension 0 fastest: the sample at (x, y, z) of a
// volume of size (s0, s1, s2) lies at z * s0 * s1 + y * s0 + x. A block is stored the same
// way, blockSize0 * blockSize1 * blockSize2 floats. Nothing here owns a thread or a lock.
#pragma once

#include "kelvo/engine/records.h"

namespace kelvo {

struct TempMemory;

/// Read-only view of a volume. Owns nothing.
template <typename T>
struct ImageData {
    const T* data = nullptr;
    Vec3<int> size{0, 0, 0};
    int count = 0;        ///< size0 * size1 * size2
    int sliceStride = 0;  ///< size0 * size1

    ImageData() = default;
    /// Wraps a caller-owned buffer of size0 * size1 * size2 samples.
    ImageData(const T* buffer, Vec3<int> volumeSize);

    /// Copies the block whose first sample is at `position` into `out` (block layout) and
    /// transforms it in place with the forward separable transform, every dimension taken as
    /// a general matrix. Uses the block scratch buffers of `temp`. The block must lie inside
    /// the volume.
    void extractBlock(Vec3<int> position, Vec3<int> blockSize, Vec3<const float*> matrices, T* out,
                      TempMemory& temp) const;
    /// Copies the block at `position` into `out` without transforming it.
    void copyBlock(Vec3<int> position, Vec3<int> blockSize, T* out) const;
};

/// Writable volume: an accumulation buffer that either wraps a caller's array or owns a
/// zero-filled one made by `createEmpty`. Move-only; an owned buffer is freed on destruction.
template <typename T>
struct ImageDataMutable : ImageData<T> {
    T* mutableData = nullptr;
    bool ownsData = false;

    ImageDataMutable() = default;
    /// Wraps a caller-owned buffer (ownsData false).
    ImageDataMutable(T* buffer, Vec3<int> volumeSize);
    ~ImageDataMutable() { release(); }
    ImageDataMutable(const ImageDataMutable&) = delete;
    ImageDataMutable& operator=(const ImageDataMutable&) = delete;
    ImageDataMutable(ImageDataMutable&& o) noexcept;
    ImageDataMutable& operator=(ImageDataMutable&& o) noexcept;

    /// Allocates a zero-filled volume (calloc). Returns false, leaving the volume without a
    /// buffer, when the allocation fails or the size is not positive.
    bool createEmpty(Vec3<int> volumeSize);
    /// Frees an owned buffer; a wrapped one is left alone. Idempotent.
    void release();

    /// For every sample v of a block at `position`: sample += values[v] * weights[v] / divisor.
    void addToData(Vec3<int> position, Vec3<int> blockSize, const T* values, const T* weights,
                   T divisor);
};

/// A stack of 3-D blocks: extents (x, y, z) of one block and the number of blocks n, then the
/// data. Element (i, j, k) of block b lies at b*x*y*z + k*x*y + j*x + i. Never owns `data`.
template <typename T>
struct Cube4D {
    int x = 0;
    int y = 0;
    int z = 0;
    int n = 0;
    T* data = nullptr;

    long long blockVolume() const { return static_cast<long long>(x) * y * z; }
    long long elementCount() const { return blockVolume() * n; }
    T* block(int b) const { return data + blockVolume() * b; }
};

}  // namespace kelvo
