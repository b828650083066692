#include "kelvo/engine/image.h"

#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include "kelvo/engine/block_transform.h"
#include "kelvo/engine/memory.h"
#include "kelvo/engine/tables.h"

namespace kelvo {

template <typename T>
ImageData<T>::ImageData(const T* buffer, Vec3<int> volumeSize)
    : data(buffer),
      size(volumeSize),
      count(volumeSize.x * volumeSize.y * volumeSize.z),
      sliceStride(volumeSize.x * volumeSize.y) {}

template <typename T>
void ImageData<T>::copyBlock(Vec3<int> position, Vec3<int> blockSize, T* out) const {
    const T* src = data + static_cast<long long>(position.z) * sliceStride +
                   static_cast<long long>(position.y) * size.x + position.x;
    // Rows of the default block widths are copied with a fixed length: a copy of 3, 4 or 8
    // samples of unknown length costs more in loop control than in moving the data.
    const auto rows = [&](auto width) {
        constexpr int w = decltype(width)::value;
        for (int k = 0; k < blockSize.z; ++k) {
            const T* line = src + static_cast<long long>(k) * sliceStride;
            for (int j = 0; j < blockSize.y; ++j, line += size.x, out += w)
                std::memcpy(out, line, w * sizeof(T));
        }
    };
    switch (blockSize.x) {
        case 3:
            return rows(std::integral_constant<int, 3>{});
        case 4:
            return rows(std::integral_constant<int, 4>{});
        case 8:
            return rows(std::integral_constant<int, 8>{});
        default:
            break;
    }
    for (int k = 0; k < blockSize.z; ++k) {
        for (int j = 0; j < blockSize.y; ++j) {
            const T* line =
                src + static_cast<long long>(k) * sliceStride + static_cast<long long>(j) * size.x;
            for (int i = 0; i < blockSize.x; ++i) *out++ = line[i];
        }
    }
}

template <typename T>
void ImageData<T>::extractBlock(Vec3<int> position, Vec3<int> blockSize,
                                Vec3<const float*> matrices, T* out, TempMemory& temp) const {
    copyBlock(position, blockSize, out);
    transf3D<T>(out, matrices, ARB_TRANSFORMS, temp.blockA, temp.blockB, out, blockSize);
}

template <typename T>
ImageDataMutable<T>::ImageDataMutable(T* buffer, Vec3<int> volumeSize)
    : ImageData<T>(buffer, volumeSize), mutableData(buffer), ownsData(false) {}

template <typename T>
ImageDataMutable<T>::ImageDataMutable(ImageDataMutable&& o) noexcept
    : ImageData<T>(o), mutableData(o.mutableData), ownsData(o.ownsData) {
    o.data = nullptr;
    o.mutableData = nullptr;
    o.ownsData = false;
}

template <typename T>
ImageDataMutable<T>& ImageDataMutable<T>::operator=(ImageDataMutable&& o) noexcept {
    if (this != &o) {
        release();
        static_cast<ImageData<T>&>(*this) = o;
        mutableData = o.mutableData;
        ownsData = o.ownsData;
        o.data = nullptr;
        o.mutableData = nullptr;
        o.ownsData = false;
    }
    return *this;
}

template <typename T>
bool ImageDataMutable<T>::createEmpty(Vec3<int> volumeSize) {
    release();
    if (volumeSize.x <= 0 || volumeSize.y <= 0 || volumeSize.z <= 0) return false;
    const std::size_t n = static_cast<std::size_t>(volumeSize.x) *
                          static_cast<std::size_t>(volumeSize.y) *
                          static_cast<std::size_t>(volumeSize.z);
    T* buffer = static_cast<T*>(std::calloc(n, sizeof(T)));
    if (!buffer) return false;
    static_cast<ImageData<T>&>(*this) = ImageData<T>(buffer, volumeSize);
    mutableData = buffer;
    ownsData = true;
    return true;
}

template <typename T>
void ImageDataMutable<T>::release() {
    if (ownsData) std::free(mutableData);
    ownsData = false;
    mutableData = nullptr;
    this->data = nullptr;
}

template <typename T>
void ImageDataMutable<T>::addToData(Vec3<int> position, Vec3<int> blockSize, const T* values,
                                    const T* weights, T divisor) {
    T* dst = mutableData + static_cast<long long>(position.z) * this->sliceStride +
             static_cast<long long>(position.y) * this->size.x + position.x;
    int v = 0;
    for (int k = 0; k < blockSize.z; ++k) {
        for (int j = 0; j < blockSize.y; ++j) {
            T* line = dst + static_cast<long long>(k) * this->sliceStride +
                      static_cast<long long>(j) * this->size.x;
            for (int i = 0; i < blockSize.x; ++i, ++v) line[i] += values[v] * weights[v] / divisor;
        }
    }
}

template struct ImageData<float>;
template struct ImageDataMutable<float>;

}  // namespace kelvo
