// Per-thread working memory. Every thread that processes reference locations owns one
// `Memory` (one group through its whole filtering) and one `TempMemory` (scratch for the
// transforms and the variance computation), both sized once per stage from `Parameters`
// so that the per-location work allocates nothing.
//
// Buffers are obtained with malloc (the match list with new[]) and released by `free()`,
// which is idempotent and safe on a partly allocated record; the destructors call it too.
// Both records are move-only.
#pragma once

#include "kelvo/engine/image.h"
#include "kelvo/engine/records.h"

namespace kelvo {

/// One member of a group.
template <typename T>
struct BlockDistance {
    const T* data = nullptr;      ///< the block's stored (transformed) entries in a collection
    float distance = 0.0f;        ///< matching distance; 0 for the reference entry
    Vec3<int> position{0, 0, 0};  ///< first voxel of the block in the volume
    Vec3<int> shiftedPosition{0, 0, 0};  ///< position minus the group's minimum corner

    bool operator<(const BlockDistance& o) const { return distance < o.distance; }
};

/// Buffers that hold one group. Sizes: N = maxGroupSize, B = block volume.
struct Memory {
    BlockDistance<float>* matches = nullptr;  ///< N entries (new[])
    Cube4D<float> spectrum;                   ///< (bx, by, bz, N): group spectrum (noisy)
    Cube4D<float> pilotSpectrum;              ///< (bx, by, bz, N): pilot group spectrum (Wiener)
    Cube4D<float> variance;                   ///< (bx, by, bz, N): noise variance per coefficient
    Cube4D<float> output;                     ///< (bx, by, bz, N): filtered blocks
    float* weights = nullptr;                 ///< N floats: per-member weights
    bool ok = false;                          ///< every buffer above was obtained
    /// Samples whose coordinate along `privateAxis` lies in [privateLow, privateHigh) are
    /// written by this thread alone during the stage (set by the stage loop; empty by
    /// default): a group lying wholly inside may be aggregated without the stage's lock.
    int privateAxis = 2;
    int privateLow = 0;
    int privateHigh = 0;
    /// The own sums of the part being walked for the groups that reach outside the private
    /// range: numerator and weights of the whole planes [low, high) along `privateAxis`, one
    /// zone below the private range and one above (or one for all), owned by the stage loop,
    /// which adds them to the shared sums part after part, so that the estimate does not
    /// depend on the threads' timing. A group outside every zone (none set, the default)
    /// adds to the shared sums under the stage's lock.
    struct BoundaryZone {
        float* numerator = nullptr;
        float* weights = nullptr;
        int low = 0;
        int high = 0;
    };
    BoundaryZone boundary[2];
    /// When positive, matches[0 .. presetCount-1] already hold the searched group of the next
    /// reference location (set by the stage loop after searching several locations at once);
    /// that location takes it instead of searching, and resets this to 0.
    int presetCount = 0;

    Memory() = default;
    ~Memory() { free(); }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
    Memory(Memory&& o) noexcept;
    Memory& operator=(Memory&& o) noexcept;
    void free();
};

/// Scratch for transforms and the variance computation. F = fftSize, F0' = the halved first
/// FFT dimension when the real FFT applies, M = max(F0, F1, F2).
struct TempMemory {
    Complex* lineA = nullptr;  ///< 2 * M Complex: FFT line scratch
    Complex* lineB = nullptr;  ///< same
    float* floats = nullptr;   ///< N floats
    Cube4D<Complex> planes;    ///< (F0, F1, F2, N): spectra of the group's blocks
    Cube4D<float> power;       ///< (F2, F1, F0', N): variance spectra, dims reversed
    bool* mask = nullptr;      ///< F1 * F2 flags: planes' rows that hold data
    float* blockA = nullptr;   ///< B floats: block-transform scratch
    float* blockB = nullptr;   ///< B floats: block-transform scratch
    float* blockC = nullptr;   ///< B floats: block extraction
    int M = 0;                 ///< max(F0, F1, F2)
    bool ok = false;

    TempMemory() = default;
    ~TempMemory() { free(); }
    TempMemory(const TempMemory&) = delete;
    TempMemory& operator=(const TempMemory&) = delete;
    TempMemory(TempMemory&& o) noexcept;
    TempMemory& operator=(TempMemory&& o) noexcept;
    void free();
};

/// F0' of the working memory: ceil(F0 / 2 + 1) when `realFft` holds and F0 == F1 and
/// (F2 == 1 or F2 == F0), else F0.
int halvedFirstFftDimension(const Parameters& p);

/// Allocates a thread's `Memory`. Never throws for lack of memory: `ok` tells.
template <typename T>
Memory allocateMemory(const Parameters& p);
/// Allocates a thread's `TempMemory`. Never throws for lack of memory: `ok` tells.
template <typename T>
TempMemory createTempMemory(const Parameters& p);

}  // namespace kelvo
