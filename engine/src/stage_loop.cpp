// The stage loop: prepares the noise arrays, walks the reference grid in slabs divided among
// the pool's threads, keeps each thread's block collections in step with its reference
// location, filters every location and normalises the accumulated estimate.
#include <algorithm>
#include <climits>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kelvo/aggregation.h"
#include "kelvo/noise_spectrum.h"
#include "kelvo/stage.h"
#include "kelvo/tables.h"
#include "kelvo/thread_pool.h"
#include "kelvo/variances.h"

namespace kelvo {

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using FloatBuffer = std::unique_ptr<float, FreeDeleter>;

void report(const char* message) {
    std::fputs(message, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

// Owns the process-wide pool for one stage and joins its workers however the stage ends.
// Stages called from several threads at once wait for each other here. A stage started from
// inside a running stage (a progress hook calling back into the engine) would wait for ever
// for the stage that called it, so it is refused.
struct PoolSession {
    explicit PoolSession(int n) : owner(acquire()) { THREAD_POOL.launchPool(n); }
    ~PoolSession() { THREAD_POOL.clearPool(); }
    static std::unique_lock<std::mutex> acquire() {
        if (ThreadPool::insideLoopJob()) {
            throw std::logic_error("a stage cannot be started from inside a running stage "
                                   "(for example from its progress callback)");
        }
        return std::unique_lock<std::mutex>(stageMutex);
    }
    std::unique_lock<std::mutex> owner;
    PoolSession(const PoolSession&) = delete;
    PoolSession& operator=(const PoolSession&) = delete;
};

// Fills the table of expected noise distances: for every displacement of the search window,
// 2 * matchNoiseWeight * the noise energy of the difference component of a two-block group
// made of the window's centre block and the displaced block.
void fillMatchOffsetTable(float* table, const Parameters& params, const NoiseLags& lags) {
    const Vec3<int> r = params.searchRadius;
    const Vec3<int> bs = params.blockSize;
    const long long B = static_cast<long long>(bs.x) * bs.y * bs.z;
    // A group of two: its own variance cube, sized for two blocks whatever maxGroupSize is.
    std::unique_ptr<float[]> scratch(new float[static_cast<std::size_t>(2 * B)]);
    Cube4D<float> variance;
    variance.x = bs.x;
    variance.y = bs.y;
    variance.z = bs.z;
    variance.n = 2;
    variance.data = scratch.get();
    BlockDistance<float> pair[2];
    long long entry = 0;
    for (int i = 0; i <= 2 * r.z; ++i) {
        for (int j = 0; j <= 2 * r.y; ++j) {
            for (int k = 0; k <= 2 * r.x; ++k, ++entry) {
                pair[0].position = r;
                pair[1].position = {k, j, i};
                const Vec3<int> minCorner{std::min(r.x, k), std::min(r.y, j), std::min(r.z, i)};
                for (int m = 0; m < 2; ++m) {
                    for (int d = 0; d < 3; ++d) {
                        pair[m].shiftedPosition[d] = pair[m].position[d] - minCorner[d];
                    }
                }
                calculateVariancesFromLags(2, 2, SIZE_2_TRANSFORM, lags, variance, pair);
                const float* second = variance.block(1);
                float sum = 0.0f;
                for (long long b = 0; b < B; ++b) sum += second[b];
                table[entry] = 2.0f * sum * params.matchNoiseWeight;
            }
        }
    }
}

// Block positions held per dimension by a thread's collection: the whole extent when the
// collection is not split or its window covers the volume anyway.
bool coversWholeVolume(const Parameters& params, Vec3<int> extent) {
    for (int d = 0; d < 3; ++d) {
        const int positions = params.imageSize[d] - params.blockSize[d] + 1;
        const int slots = std::min(2 * extent[d] + 2, params.imageSize[d] - params.blockSize[d]) + 1;
        if (slots < positions) return false;
    }
    return true;
}

}  // namespace

template <int Stage>
StageOutcome kelvoLoop(const ImageData<float>& image, const float* psd, const Parameters& params,
                       const TransformsMeta& transforms, ImageDataMutable<float>& numerator,
                       BlockMatchStorage* storage, const ImageData<float>* pilot,
                       const StageHooks* hooks) {
    const auto zeroNumerator = [&numerator] {
        std::memset(numerator.mutableData, 0,
                    static_cast<std::size_t>(numerator.count) * sizeof(float));
    };
    try {
        PoolSession pool(params.numThreads);
        const int threadCount = THREAD_POOL.getNumThreads();

        // The main thread's working memory also computes the two-block groups of the match
        // offset table, so it is sized for at least two blocks.
        Parameters mainParams = params;
        mainParams.maxGroupSize = std::max(2, params.maxGroupSize);
        Memory mainMemory = allocateMemory<float>(mainParams);
        TempMemory mainTemp = createTempMemory<float>(mainParams);
        if (!mainMemory.ok || !mainTemp.ok) {
            report("Error: could not allocate working memory");
            zeroNumerator();
            return StageOutcome::OutOfMemory;
        }

        ImageDataMutable<float> weights;
        if (!weights.createEmpty(params.imageSize)) {
            report("Failed to allocate memory for buffer.");
            zeroNumerator();
            return StageOutcome::OutOfMemory;
        }

        const Vec3<int> fourier{halvedFirstFftDimension(params), params.fftSize.y,
                                params.fftSize.z};
        const Vec3<int> r = params.searchRadius;
        const long long tableSize =
            static_cast<long long>(2 * r.x + 1) * (2 * r.y + 1) * (2 * r.z + 1);
        FloatBuffer offsetTable(
            static_cast<float*>(std::malloc(static_cast<std::size_t>(tableSize) * sizeof(float))));
        float* K3fT3Raw = nullptr;
        if (offsetTable) {
            computeK3fT3(psd, params.psdSize, params.fftSize, fourier, params.blockSize,
                         transforms.fwd, K3fT3Raw);
        }
        FloatBuffer K3fT3(K3fT3Raw);
        float* localVarRaw = nullptr;
        if (offsetTable && K3fT3) {
            computeLocalVar(K3fT3.get(), fourier,
                            params.blockSize.x * params.blockSize.y * params.blockSize.z,
                            localVarRaw);
        }
        FloatBuffer localVar(localVarRaw);
        // The coefficient variances of the groups come from the noise's lag table, which
        // covers every displacement two members of a search window can have.
        NoiseLags lags;
        const Vec3<int> maxSpacing{2 * r.x, 2 * r.y, 2 * r.z};
        if (!localVar || !buildNoiseLags(psd, params.psdSize, params.fftSize, params.blockSize,
                                         transforms.fwd, maxSpacing, lags)) {
            report("Could not allocate memory for variances");
            zeroNumerator();
            return StageOutcome::OutOfMemory;
        }

        if (Stage == WIENER || params.matchNoiseWeight <= 0.0f) {
            std::fill(offsetTable.get(), offsetTable.get() + tableSize, 0.0f);
        } else {
            fillMatchOffsetTable(offsetTable.get(), params, lags);
        }

        if (storage) storage->stackCount = 0;

        // Geometry of the walk.
        const bool volumetric = params.imageSize.z > 1;
        const int slideLength = volumetric ? params.imageSize.z : params.imageSize.y;
        const int slideStep = volumetric ? params.stepSize.z : params.stepSize.y;
        Vec3<int> lastPosition;
        Vec3<int> extent;  // collection extent + 1, as the collections take it
        Vec3<int> gridCount;
        for (int d = 0; d < 3; ++d) {
            lastPosition[d] = std::max(0, params.imageSize[d] - params.blockSize[d]);
            const int collectionExtent =
                params.splitComp[d] ? params.searchRadius[d] : params.imageSize[d];
            extent[d] = collectionExtent + 1;
            gridCount[d] = params.imageSize[d] / params.stepSize[d] + 1;
        }
        const bool wholeCollection = coversWholeVolume(params, extent);

        // Collections shared by every thread when they cover the whole volume: filled once
        // here and only read by the workers.
        auto sharedCollection = std::make_shared<BlockCollection<float>>();
        auto sharedPilotCollection = std::make_shared<BlockCollection<float>>();
        std::atomic<bool> failed{false};
        if (wholeCollection) {
            bool ok = sharedCollection->extractInitial(image, {0, 0, 0}, params.blockSize,
                                                       transforms.fwd, transforms.fwdKinds, true,
                                                       mainTemp, extent);
            if (ok && Stage == WIENER) {
                ok = sharedPilotCollection->extractInitial(*pilot, {0, 0, 0}, params.blockSize,
                                                           transforms.fwd, transforms.fwdKinds,
                                                           true, mainTemp, extent);
            }
            if (!ok) {
                report("Failed to allocate block memory");
                failed = true;
            }
        }

        const int slabCount = (slideLength + slideStep + slideStep - 1) / slideStep;
        const int slabsPerThread = static_cast<int>(
            std::ceil(static_cast<float>(slabCount) / static_cast<float>(threadCount)));
        // Samples each thread can write along the slide dimension: its references (every
        // shift applied, clamped like the walk) widened by the search radius and the block.
        // Where no other thread reaches, a thread aggregates without the lock. Replayed
        // groups may lie anywhere, so a replay keeps every addition under the lock.
        const int slideAxis = volumetric ? 2 : 1;
        std::vector<std::pair<int, int>> reach(static_cast<std::size_t>(threadCount), {0, 0});
        for (int t = 0; t < threadCount; ++t) {
            const int first = t * slabsPerThread;
            const int end = std::min((t + 1) * slabsPerThread, slabCount);
            if (first >= end) continue;
            int lo = INT_MAX, hi = INT_MIN;
            for (int sl = first; sl < end; ++sl) {
                for (int k = 0; k < params.shiftCount[slideAxis]; ++k) {
                    const int shift = params.shiftTable[slideAxis] ? params.shiftTable[slideAxis][k] : 0;
                    const long long p = std::min<long long>(
                        std::max<long long>(0, static_cast<long long>(sl) * slideStep - shift),
                        lastPosition[slideAxis]);
                    lo = std::min(lo, static_cast<int>(p));
                    hi = std::max(hi, static_cast<int>(p));
                }
            }
            reach[static_cast<std::size_t>(t)] = {
                std::max(0, lo - params.searchRadius[slideAxis]),
                std::min(params.imageSize[slideAxis],
                         hi + params.searchRadius[slideAxis] + params.blockSize[slideAxis])};
        }
        const bool replaying = storage && storage->replay;
        const auto privateRange = [&](int t) {
            std::pair<int, int> own = reach[static_cast<std::size_t>(t)];
            if (replaying) return std::pair<int, int>{0, 0};
            for (int u = 0; u < threadCount && own.first < own.second; ++u) {
                const std::pair<int, int> other = reach[static_cast<std::size_t>(u)];
                if (u == t || other.first >= other.second) continue;
                if (other.second <= own.first || other.first >= own.second) continue;
                // Keep the larger part of own outside other.
                const int below = other.first - own.first;
                const int above = own.second - other.second;
                if (below >= above) {
                    own.second = std::max(own.first, other.first);
                } else {
                    own.first = std::min(own.second, other.second);
                }
            }
            return own;
        };
        int slabsDone = 0;  // guarded by progressMutex
        std::mutex progressMutex;
        bool cancelled = false;

        const auto worker = [&](int t) {
            if (failed) return;
            Memory memory = allocateMemory<float>(params);
            TempMemory temp = createTempMemory<float>(params);
            if (!memory.ok || !temp.ok) {
                report("Error: could not allocate working memory");
                failed = true;
                return;
            }
            const std::pair<int, int> own = privateRange(t);
            memory.privateAxis = slideAxis;
            memory.privateLow = own.first;
            memory.privateHigh = own.second;
            std::shared_ptr<BlockCollection<float>> collection = sharedCollection;
            std::shared_ptr<BlockCollection<float>> pilotCollection = sharedPilotCollection;
            if (!wholeCollection) {
                collection = std::make_shared<BlockCollection<float>>();
                pilotCollection = std::make_shared<BlockCollection<float>>();
                bool ok =
                    collection->allocate(params.imageSize, params.blockSize, extent) != nullptr;
                if (ok && Stage == WIENER) {
                    ok = pilotCollection->allocate(params.imageSize, params.blockSize, extent) !=
                         nullptr;
                }
                if (!ok) {
                    report("Failed to allocate block memory");
                    failed = true;
                    return;
                }
            }

            const int firstSlab = t * slabsPerThread;
            const int endSlab = std::min((t + 1) * slabsPerThread, slabCount);
            for (int s = firstSlab; s < endSlab; ++s) {
                const int slabStart = s * slideStep;
                const int z = volumetric ? slabStart : 0;
                const int yBegin = volumetric ? 0 : slabStart;
                const int yEnd = volumetric ? params.imageSize.y + params.stepSize.y : slabStart + 1;
                for (int y = yBegin; y < yEnd; y += params.stepSize.y) {
                    if (failed) return;
                    if (hooks && hooks->cancel && hooks->cancel->load(std::memory_order_relaxed)) {
                        return;
                    }
                    for (int x = 0; x < params.imageSize.x + params.stepSize.x;
                         x += params.stepSize.x) {
                        const int xi = x / params.stepSize.x;
                        const int yi = y / params.stepSize.y;
                        const int zi = z / params.stepSize.z;
                        Vec3<int> p{
                            std::max(0, x - params.shiftTable[0][zi % params.shiftCount[0]]),
                            std::max(0, y - params.shiftTable[1][xi % params.shiftCount[1]]),
                            std::max(0, z - params.shiftTable[2][yi % params.shiftCount[2]])};
                        bool inside = true;
                        for (int d = 0; d < 3; ++d) {
                            inside = inside && p[d] < lastPosition[d] + params.stepSize[d];
                        }
                        if (!inside) continue;
                        for (int d = 0; d < 3; ++d) p[d] = std::min(p[d], lastPosition[d]);
                        if (!wholeCollection) {
                            moveCollections<Stage>(p, params.searchRadius, params.blockSize,
                                                   transforms.fwd, transforms.fwdKinds, temp,
                                                   image, pilot, *collection,
                                                   Stage == WIENER ? pilotCollection.get()
                                                                   : nullptr);
                        }
                        const int index = (zi * gridCount.y + yi) * gridCount.x + xi;
                        processReferenceLocation<Stage>(
                            p, params, transforms, offsetTable.get(), K3fT3.get(), localVar.get(),
                            &lags, index, *collection, numerator, weights, memory, temp,
                            Stage == WIENER ? pilotCollection.get() : nullptr, storage);
                    }
                }
                if (hooks && hooks->progress) {
                    // Counted under the lock, so the reported fractions never go backwards.
                    std::lock_guard<std::mutex> lock(progressMutex);
                    ++slabsDone;
                    hooks->progress(static_cast<float>(slabsDone) / static_cast<float>(slabCount));
                }
            }
        };
        if (!failed) THREAD_POOL.newLoopJob(worker);
        cancelled = hooks && hooks->cancel && hooks->cancel->load();

        if (failed || cancelled) {
            zeroNumerator();
            return failed ? StageOutcome::OutOfMemory : StageOutcome::Cancelled;
        }
        if (storage) {
            storage->stackCount =
                gridCount.x * gridCount.y * (params.imageSize.z / params.stepSize.z + 1);
        }
        normalise(numerator, weights);
        return StageOutcome::Completed;
    } catch (...) {
        zeroNumerator();
        throw;
    }
}

template StageOutcome kelvoLoop<HARD_THRESHOLDING>(const ImageData<float>&, const float*,
                                                   const Parameters&, const TransformsMeta&,
                                                   ImageDataMutable<float>&, BlockMatchStorage*,
                                                   const ImageData<float>*, const StageHooks*);
template StageOutcome kelvoLoop<WIENER>(const ImageData<float>&, const float*, const Parameters&,
                                        const TransformsMeta&, ImageDataMutable<float>&,
                                        BlockMatchStorage*, const ImageData<float>*,
                                        const StageHooks*);

}  // namespace kelvo
