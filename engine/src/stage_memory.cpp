#include "kelvo/engine/stage_memory.h"

#include <algorithm>
#if !defined(KELVO_NO_THREADS)
#include <thread>
#endif

#include "kelvo/engine/memory.h"

namespace kelvo {

namespace {

std::int64_t blocksHeld(const Parameters& p, int d) {
    const int extent = (p.splitComp[d] ? p.searchRadius[d] : p.imageSize[d]) + 1;
    return std::min<std::int64_t>(2LL * extent + 2, std::max(0, p.imageSize[d] - p.blockSize[d])) +
           1;
}

bool spansVolume(const Parameters& p) {
    for (int d = 0; d < 3; ++d) {
        if (blocksHeld(p, d) < std::int64_t(std::max(0, p.imageSize[d] - p.blockSize[d])) + 1)
            return false;
    }
    return true;
}

}  // namespace

int stageThreadCount(const Parameters& p) {
#if defined(KELVO_NO_THREADS)
    (void)p;
    return 1;  // the pool runs every loop job on the calling thread
#else
    if (p.numThreads >= 1) return p.numThreads;
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? static_cast<int>(hw) : 1;
#endif
}

std::int64_t blockCacheBytes(const Parameters& p) {
    const std::int64_t block = std::int64_t(p.blockSize.x) * p.blockSize.y * p.blockSize.z;
    const std::int64_t one = blocksHeld(p, 0) * blocksHeld(p, 1) * blocksHeld(p, 2) * block *
                             std::int64_t(sizeof(float));
    return one * (spansVolume(p) ? 1 : stageThreadCount(p));
}

void fitBlockCaches(Parameters& p, std::int64_t budget) {
    for (int d = 2; d >= 0 && blockCacheBytes(p) > budget; --d) p.splitComp[d] = true;
}

std::int64_t stageMemoryBytes(const Parameters& p) {
    const Vec3<int>& F = p.fftSize;
    const std::int64_t block = std::int64_t(p.blockSize.x) * p.blockSize.y * p.blockSize.z;
    const std::int64_t N = std::max(2, p.maxGroupSize);
    const std::int64_t grid = std::int64_t(F.x) * F.y * F.z;
    const std::int64_t half = std::int64_t(halvedFirstFftDimension(p)) * F.y * F.z;
    const std::int64_t M = std::max(F.x, std::max(F.y, F.z));
    // Memory and TempMemory of one thread (memory.h).
    const std::int64_t perThread = N * std::int64_t(sizeof(BlockDistance<float>)) +
                                   4 * N * block * 4 + N * 4 +
                                   2 * 2 * M * std::int64_t(sizeof(Complex)) + N * 4 +
                                   grid * N * std::int64_t(sizeof(Complex)) + half * N * 4 +
                                   std::int64_t(F.y) * F.z + 3 * block * 4;
    const std::int64_t samples = std::int64_t(p.imageSize.x) * p.imageSize.y * p.imageSize.z;
    const std::int64_t window = std::int64_t(2 * p.searchRadius.x + 1) *
                                (2 * p.searchRadius.y + 1) * (2 * p.searchRadius.z + 1);
    // The noise arrays: K3fT3 and, while it is built, the resampled PSD and its spectra.
    const std::int64_t noise = (half * block + block + grid + window) * 4;
    // With several threads, each part of the walk keeps numerator and weights of the planes
    // its groups may share with other parts until the parts before it that share them are
    // done: a thread's head about 2 (2R + B) planes at each
    // end, each tail part all the planes it reaches. Counted: every head's, and up to two
    // tail parts per thread (a thread's own tail is added part by part as it goes; parts
    // taken over from another thread wait for that thread's next part).
    const int threads = stageThreadCount(p);
    const int axis = p.imageSize.z > 1 ? 2 : 1;
    const std::int64_t size = p.imageSize[axis];
    const std::int64_t reach = 2 * p.searchRadius[axis] + p.blockSize[axis];
    const std::int64_t headPlanes = std::min<std::int64_t>(size, 2 * reach);
    const std::int64_t tailPlanes =
        std::min<std::int64_t>(size, (size + threads * HOME_SHARES - 1) / (threads * HOME_SHARES) +
                                         p.stepSize[axis] + reach);
    const std::int64_t boundary =
        threads > 1 ? threads * (2 * headPlanes + std::min(TAIL_PARTS, 2) * tailPlanes) *
                          (samples / size) * 2 * 4
                    : 0;
    return samples * 4 + blockCacheBytes(p) + (threads + 1) * perThread + noise + boundary;
}

}  // namespace kelvo
