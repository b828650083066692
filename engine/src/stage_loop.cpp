// The stage loop: prepares the noise arrays, walks the reference grid in slabs divided among
// the pool's threads, keeps each thread's block collections in step with its reference
// location, filters every location and normalises the accumulated estimate.
#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kelvo/engine/aggregation.h"
#include "kelvo/engine/block_matching.h"
#include "kelvo/engine/helpers.h"
#include "kelvo/engine/noise_spectrum.h"
#include "kelvo/engine/reference_grid.h"
#include "kelvo/engine/stage.h"
#include "kelvo/engine/stage_memory.h"
#include "kelvo/engine/tables.h"
#include "kelvo/engine/thread_pool.h"
#include "kelvo/engine/variances.h"

namespace kelvo {

namespace {

void report(const char* message) {
    std::fputs(message, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

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

// The noise quantities of a stage, derived from the PSD once and only read by the workers.
struct NoiseArrays {
    FloatBuffer matchOffsetTable;  ///< expected noise distance per search-window displacement
    FloatBuffer K3fT3;             ///< per frequency, noise weight of each block coefficient
    FloatBuffer localVar;          ///< total noise variance of each block coefficient
    /// Noise covariance of two blocks per displacement: the groups' coefficient variances,
    /// exact for every spacing two members of a search window can have.
    NoiseLags lags;
};

// Fills `noise` for `params` (false when an allocation failed).
template <int Stage>
bool prepareNoiseArrays(NoiseArrays& noise, const float* psd, const Parameters& params,
                        const TransformsMeta& transforms, Vec3<int> fourier) {
    const Vec3<int> r = params.searchRadius;
    const long long tableSize = static_cast<long long>(2 * r.x + 1) * (2 * r.y + 1) * (2 * r.z + 1);
    noise.matchOffsetTable.reset(
        static_cast<float*>(std::malloc(static_cast<std::size_t>(tableSize) * sizeof(float))));
    float* raw = nullptr;
    if (noise.matchOffsetTable) {
        computeK3fT3(psd, params.psdSize, params.fftSize, fourier, params.blockSize, transforms.fwd,
                     raw);
    }
    noise.K3fT3.reset(raw);
    raw = nullptr;
    if (noise.matchOffsetTable && noise.K3fT3) {
        computeLocalVar(noise.K3fT3.get(), fourier,
                        params.blockSize.x * params.blockSize.y * params.blockSize.z, raw);
    }
    noise.localVar.reset(raw);
    if (!noise.localVar) return false;
    const Vec3<int> maxSpacing{2 * r.x, 2 * r.y, 2 * r.z};
    if (!buildNoiseLags(psd, params.psdSize, params.fftSize, params.blockSize, transforms.fwd,
                        maxSpacing, noise.lags)) {
        return false;
    }
    float* table = noise.matchOffsetTable.get();
    if (Stage == WIENER || params.matchNoiseWeight <= 0.0f) {
        std::fill(table, table + tableSize, 0.0f);
    } else {
        fillMatchOffsetTable(table, params, noise.lags);
    }
    return true;
}

// How the walk is divided among the threads. Its rows (slice after slice, rows of a slice in
// order) are numbered as units and cut into parts, part p taking units [cuts[p], cuts[p + 1]).
// Each thread has a run of `partsPerThread` consecutive parts, its home, holding an equal
// share of the reference locations (to within one row's, ReferenceGrid::balancedCuts): a
// head, then a tail of small parts. A thread walks its home in order and then takes the
// last parts still untaken from the home with the most left, so that a thread that runs
// faster (its core less busy, its share cheaper) ends no earlier than it must. Whichever
// thread walks a part, the part adds to the same samples in the same order: directly
// inside its private range along the slide axis, where no other part reaches, and to its
// own boundary sums elsewhere, which are added to the shared sums in part order as the
// parts are done. The estimate thus depends on the parts, never on the threads' timing. A
// part may begin or end inside a slice; the collections are filled where its first
// location lies (a part taken out of order refills them).
//
// The tail (HOME_SHARES, TAIL_PARTS in stage_memory.h): measured on two cores of a shared
// machine, one thread often ran 10 to 30 % slower than the other for a whole stage, whatever
// its share held; a tail of an eighth lets the other take up to that much of its share, which
// evens out a core a third slower. Smaller or more parts would balance more finely, but every
// tail part sends its groups through boundary sums (a tail of four sixteenths waited as little
// and cost the brain's run 2 % more on a quiet machine), and a part taken out of order first
// refills the thread's collections.
struct SlabPlan {
    int sliceCount = 0;
    int rowsPerSlice = 1;
    int partsPerThread = 1;
    std::vector<long long> cuts;  ///< one unit boundary per part, then unitCount
    std::vector<std::pair<int, int>> privateRange;
    /// Planes along the slide axis where part p's groups that reach outside its private
    /// range may add: below it and above it (empty pairs when there are none), or all the
    /// volume when replayed groups may lie anywhere.
    std::vector<std::array<std::pair<int, int>, 2>> boundaryZones;

    int partCount() const { return static_cast<int>(cuts.size()) - 1; }
    long long unitCount() const { return static_cast<long long>(sliceCount) * rowsPerSlice; }
    long long firstUnit(int p) const { return cuts[static_cast<std::size_t>(p)]; }
    long long endUnit(int p) const { return cuts[static_cast<std::size_t>(p) + 1]; }
    // The slices part p covers, in whole or in part: [first(p), end(p)).
    int first(int p) const { return static_cast<int>(firstUnit(p) / rowsPerSlice); }
    int end(int p) const {
        return firstUnit(p) < endUnit(p)
                   ? static_cast<int>((endUnit(p) + rowsPerSlice - 1) / rowsPerSlice)
                   : first(p);
    }
    // Rows of slice s in part p: [rowBegin, rowEnd).
    std::pair<int, int> rows(int p, int s) const {
        const long long base = static_cast<long long>(s) * rowsPerSlice;
        return {static_cast<int>(std::max(firstUnit(p), base) - base),
                static_cast<int>(std::min(endUnit(p), base + rowsPerSlice) - base)};
    }
};

// Samples part p can write along the slide axis: its references (every shift applied,
// clamped like the walk) widened by the search radius and the block.
std::pair<int, int> partReach(const ReferenceGrid& grid, const Parameters& params,
                              const SlabPlan& plan, int p) {
    const int axis = grid.slideAxis();
    const int step = params.stepSize[axis];
    const int last = grid.lastPosition()[axis];
    int lo = INT_MAX, hi = INT_MIN;
    for (int sl = plan.first(p); sl < plan.end(p); ++sl) {
        for (int k = 0; k < params.shiftCount[axis]; ++k) {
            const int shift = params.shiftTable[axis] ? params.shiftTable[axis][k] : 0;
            const long long at = std::min<long long>(
                std::max<long long>(0, static_cast<long long>(sl) * step - shift), last);
            lo = std::min(lo, static_cast<int>(at));
            hi = std::max(hi, static_cast<int>(at));
        }
    }
    return {
        std::max(0, lo - params.searchRadius[axis]),
        std::min(params.imageSize[axis], hi + params.searchRadius[axis] + params.blockSize[axis])};
}

// Divides the walk among `threadCount` threads. Where no other part reaches, a part
// aggregates without the lock; replayed groups may lie anywhere, so a replay keeps every
// addition under the lock (empty private ranges) and gives each thread one part, as does
// a single thread.
SlabPlan planSlabs(const ReferenceGrid& grid, const Parameters& params, int threadCount,
                   bool replaying) {
    SlabPlan plan;
    plan.sliceCount = grid.sliceCount();
    plan.rowsPerSlice = grid.rowsPerSlice();
    if (threadCount < 2 || replaying) {
        plan.cuts = grid.balancedCuts(threadCount);
    } else {
        const std::vector<long long> shares = grid.balancedCuts(threadCount * HOME_SHARES);
        plan.partsPerThread = 1 + TAIL_PARTS;
        for (int t = 0; t < threadCount; ++t) {
            const std::size_t home = static_cast<std::size_t>(t) * HOME_SHARES;
            plan.cuts.push_back(shares[home]);
            for (int k = HOME_SHARES - TAIL_PARTS; k < HOME_SHARES; ++k)
                plan.cuts.push_back(shares[home + static_cast<std::size_t>(k)]);
        }
        plan.cuts.push_back(shares.back());
    }
    const int parts = plan.partCount();
    std::vector<std::pair<int, int>> reach(static_cast<std::size_t>(parts), {0, 0});
    for (int p = 0; p < parts; ++p) {
        if (plan.first(p) < plan.end(p))
            reach[static_cast<std::size_t>(p)] = partReach(grid, params, plan, p);
    }
    plan.privateRange.assign(static_cast<std::size_t>(parts), {0, 0});
    for (int p = 0; p < parts && !replaying; ++p) {
        std::pair<int, int> own = reach[static_cast<std::size_t>(p)];
        for (int u = 0; u < parts && own.first < own.second; ++u) {
            const std::pair<int, int> other = reach[static_cast<std::size_t>(u)];
            if (u == p || other.first >= other.second) continue;
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
        plan.privateRange[static_cast<std::size_t>(p)] = own;
    }
    // A group spans at most 2R + B planes along the axis (its members lie within the search
    // window), so one that leaves the private range lies within that many planes of its end.
    const int axis = grid.slideAxis();
    const int span = 2 * params.searchRadius[axis] + params.blockSize[axis];
    plan.boundaryZones.assign(static_cast<std::size_t>(parts), {});
    for (int p = 0; p < parts; ++p) {
        const std::pair<int, int> own = plan.privateRange[static_cast<std::size_t>(p)];
        const std::pair<int, int> all = replaying ? std::pair<int, int>{0, params.imageSize[axis]}
                                                  : reach[static_cast<std::size_t>(p)];
        auto& zones = plan.boundaryZones[static_cast<std::size_t>(p)];
        if (all.first >= all.second) continue;
        if (own.first >= own.second) {
            zones[0] = all;
            continue;
        }
        if (all.first < own.first) zones[0] = {all.first, std::min(all.second, own.first + span)};
        if (own.second < all.second)
            zones[1] = {std::max(all.first, own.second - span), all.second};
        if (zones[0].first < zones[0].second && zones[1].first < zones[1].second &&
            zones[0].second >= zones[1].first) {
            zones[0] = all;
            zones[1] = {0, 0};
        }
    }
    return plan;
}

// A part's numerator and weights of one of its boundary zones, one after the other in one
// buffer (a few dozen planes, unless replayed groups may lie anywhere).
struct BoundarySums {
    struct Free {
        void operator()(float* p) const { std::free(p); }
    };
    std::unique_ptr<float, Free> sums;
    std::size_t capacity = 0;  ///< floats
};

// What every worker of one stage shares: inputs, noise arrays, outputs and the run's state.
template <int Stage>
struct StageContext {
    const ImageData<float>& image;
    const ImageData<float>* pilot;
    const Parameters& params;
    const TransformsMeta& transforms;
    const ReferenceGrid& grid;
    const SlabPlan& plan;
    const NoiseArrays& noise;
    ImageDataMutable<float>& numerator;
    ImageDataMutable<float>& weights;
    BlockMatchStorage* storage;
    const StageHooks* hooks;
    Vec3<int> extent;  ///< collection extent + 1, as the collections take it
    bool wholeCollection;
    std::shared_ptr<BlockCollection<float>> sharedCollection;
    std::atomic<bool> failed{false};
    std::mutex progressMutex;
    long long rowsDone = 0;  ///< guarded by progressMutex
    /// Per part, the sums of its groups that reach outside its private range below and
    /// above it (see Memory::boundary), added to the shared ones in part order.
    std::vector<BoundarySums> boundary;
    /// Per part, whether a thread has claimed it.
    std::unique_ptr<std::atomic<bool>[]> taken;
    /// Per part, whether it has been walked (guarded by foldMutex). A walked part's zone
    /// whose sums are released has been added to the shared ones.
    std::mutex foldMutex;
    std::vector<char> partDone;
    /// Buffers of zones already added, for the zones of later parts: memory the process
    /// has touched before costs far less than fresh pages (guarded by foldMutex).
    std::vector<BoundarySums> spare;

    /// The volume the groups are searched in, whose transformed blocks the collections hold:
    /// the noisy one in hard thresholding, the pilot in the Wiener stage (which cuts the
    /// noisy members per group instead).
    const ImageData<float>& searchedVolume() const { return Stage == WIENER ? *pilot : image; }

    bool cancelRequested() const {
        return hooks && hooks->cancel && hooks->cancel->load(std::memory_order_relaxed);
    }
};

// Adds the boundary sums of every walked part whose zone no earlier part's zone still
// waiting overlaps, and releases them (zone z of part p is boundary[2p + z]). Every sample
// thus receives the sums of the parts that share it in part order, whichever thread walked
// them and whenever, and a zone's memory lives no longer than its neighbours keep it.
template <int Stage>
void addBoundarySums(StageContext<Stage>& c) {
    const SlabPlan& plan = c.plan;
    const int axis = c.grid.slideAxis();
    std::int64_t plane = 1;
    for (int d = 0; d < axis; ++d) plane *= c.numerator.size[d];
    const auto range = [&plan](std::size_t k) { return plan.boundaryZones[k / 2][k % 2]; };
    // Still to be added: the zones of parts not yet walked, and those holding sums. A zone
    // waits only for earlier ones, which this pass, in part order, has settled before it.
    const auto pending = [&c](std::size_t k) {
        return !c.partDone[k / 2] || c.boundary[k].sums != nullptr;
    };
    for (std::size_t k = 0; k < c.boundary.size(); ++k) {
        BoundarySums& b = c.boundary[k];
        if (!c.partDone[k / 2] || !b.sums) continue;
        const std::pair<int, int> r = range(k);
        bool waits = false;
        for (std::size_t j = 0; j < k / 2 * 2 && !waits; ++j) {
            const std::pair<int, int> q = range(j);
            waits = pending(j) && q.first < r.second && r.first < q.second;
        }
        if (waits) continue;
        const std::int64_t first = plane * r.first;
        const std::int64_t count = plane * (r.second - r.first);
        float* num = c.numerator.mutableData + first;
        float* wei = c.weights.mutableData + first;
        const float* bn = b.sums.get();
        const float* bw = bn + count;
        for (std::int64_t i = 0; i < count; ++i) {
            num[i] += bn[i];
            wei[i] += bw[i];
        }
        c.spare.push_back(std::move(b));
        b = BoundarySums();
    }
}

// The body of the stage's loop job, called once per thread with the thread's index: it
// walks the thread's parts, then any part still untaken (SlabPlan), and filters every
// reference location on them with the thread's own working memory and (unless shared)
// block collections.
template <int Stage>
class SlabWorker {
public:
    explicit SlabWorker(StageContext<Stage>& context) : c_(context) {}

    void operator()(int t) const {
        if (c_.failed) return;
        Memory memory = allocateMemory<float>(c_.params);
        TempMemory temp = createTempMemory<float>(c_.params);
        if (!memory.ok || !temp.ok) return fail("Error: could not allocate working memory");
        memory.privateAxis = c_.grid.slideAxis();
        // The collection the groups are searched in (see searchedVolume).
        std::shared_ptr<BlockCollection<float>> collection = c_.sharedCollection;
        if (!c_.wholeCollection) {
            collection = std::make_shared<BlockCollection<float>>();
            if (!collection->allocate(c_.params.imageSize, c_.params.blockSize, c_.extent))
                return fail("Failed to allocate block memory");
        }
        const ImageData<float>* noisy = Stage == WIENER ? &c_.image : nullptr;
        const NoiseArrays& noise = c_.noise;
        const Parameters& params = c_.params;
        // Locations of one row of the walk, and the groups searched ahead for a batch of them.
        std::vector<std::pair<Vec3<int>, Vec3<int>>> row;
        std::unique_ptr<BlockDistance<float>[]> batchMatches;
        try {
            row.reserve(static_cast<std::size_t>(c_.grid.walkCount().x));
            batchMatches.reset(new BlockDistance<float>[static_cast<std::size_t>(
                MATCH_BATCH * std::max(params.maxGroupSize, 1))]);
        } catch (const std::bad_alloc&) {
            return fail("Error: could not allocate working memory");
        }
        // A replayed group comes from the record, not from a search.
        const bool searchAhead = !(c_.storage && c_.storage->replay);
        int batchCounts[MATCH_BATCH] = {};

        const auto move = [&](Vec3<int> p) {
            if (!c_.wholeCollection) {
                moveCollections<Stage>(p, params.searchRadius, params.blockSize, c_.transforms.fwd,
                                       c_.transforms.fwdKinds, temp, c_.searchedVolume(), nullptr,
                                       *collection, nullptr);
            }
        };
        const auto filter = [&](Vec3<int> gi, Vec3<int> p) {
            processReferenceLocation<Stage>(
                p, params, c_.transforms, noise.matchOffsetTable.get(), noise.K3fT3.get(),
                noise.localVar.get(), &noise.lags, static_cast<int>(c_.grid.index(gi)), *collection,
                c_.numerator, c_.weights, memory, temp, noisy, c_.storage);
        };
        // Starts loading the members of the next location's group while this one is
        // filtered: the batch's search has passed more blocks through the caches since than
        // they hold.
        const auto prefetchGroup = [&](const BlockDistance<float>* group, int count) {
            const std::int64_t floats = collection->blockVolume;
            for (int k = 0; k < count; ++k) {
                const float* a = group[k].data;
                for (std::int64_t f = 0; f < floats; f += 16) __builtin_prefetch(a + f);
            }
        };
        // Whether the collection holds the search window of location p as it is.
        const auto holdsWindow = [&](Vec3<int> p) {
            Vec3<int> lo{}, hi{};
            setSearchWindow(p, params.searchRadius, params.blockSize, params.imageSize, lo, hi);
            return collection->holds(lo) && collection->holds(hi);  // p lies inside
        };

        // Walks part `part`; false when the stage stops (a failure or a cancellation).
        const auto walkPart = [&](int part) {
            const std::pair<int, int> own = c_.plan.privateRange[static_cast<std::size_t>(part)];
            memory.privateLow = own.first;
            memory.privateHigh = own.second;
            if (!prepareBoundary(part, memory)) {
                fail("Error: could not allocate working memory");
                return false;
            }
            if (c_.hooks && c_.hooks->partStarted) c_.hooks->partStarted(part);
            for (int s = c_.plan.first(part); s < c_.plan.end(part); ++s) {
                const std::pair<int, int> rows = c_.plan.rows(part, s);
                for (int r = rows.first; r < rows.second; ++r) {
                    row.clear();
                    c_.grid.forEachLocation(s, r, r + 1, [&](Vec3<int> gi, Vec3<int> p) {
                        row.emplace_back(gi, p);
                        return true;
                    });
                    // The row in batches: the first location's collections are moved into place;
                    // the following locations whose windows they already hold (every location of
                    // a row when the collections hold whole planes) are searched together with
                    // it, then each is filtered in turn with its group.
                    for (std::size_t i = 0; i < row.size();) {
                        if (c_.failed || c_.cancelRequested()) return false;
                        move(row[i].second);
                        int n = 1;
                        while (searchAhead && n < MATCH_BATCH && i + n < row.size() &&
                               holdsWindow(row[i + n].second))
                            ++n;
                        Vec3<int> refs[MATCH_BATCH];
                        for (int j = 0; j < n; ++j) refs[j] = row[i + j].second;
                        if (n > 1) {
                            getBlockMatchesBatch(*collection, noise.matchOffsetTable.get(), refs, n,
                                                 params.blockSize, params.searchRadius,
                                                 params.imageSize, params.maxGroupSize,
                                                 params.minGroupSize, params.matchThreshold,
                                                 batchMatches.get(), batchCounts);
                        }
                        bool searchedAhead = n > 1;
                        for (int j = 0; j < n; ++j) {
                            if (j > 0) {
                                if (c_.failed || c_.cancelRequested()) return false;
                                // The windows are held, so this moves nothing; were the collections
                                // to move anyway, the group is searched again.
                                const Vec3<int> origin = collection->origin;
                                move(refs[j]);
                                if (collection->origin != origin) searchedAhead = false;
                            }
                            if (searchedAhead) {
                                const BlockDistance<float>* group =
                                    batchMatches.get() +
                                    static_cast<std::ptrdiff_t>(j) * params.maxGroupSize;
                                std::copy(group, group + batchCounts[j], memory.matches);
                                memory.presetCount = batchCounts[j];
                                if (j + 1 < n)
                                    prefetchGroup(group + params.maxGroupSize, batchCounts[j + 1]);
                            }
                            filter(row[i + j].first, refs[j]);
                        }
                        i += static_cast<std::size_t>(n);
                    }
                }
                reportProgress(rows.second - rows.first);
            }
            return true;
        };
        const int home = t * c_.plan.partsPerThread;
        for (int part = home; part < home + c_.plan.partsPerThread; ++part) {
            if (!claim(part)) break;  // taken by a thread that ran out of parts
            if (!walkPart(part)) return;
            partWalked(part);
        }
        for (int part = untakenPart(); part >= 0; part = untakenPart()) {
            if (!walkPart(part)) return;
            partWalked(part);
        }
    }

private:
    void partWalked(int part) const {
        std::lock_guard<std::mutex> lock(c_.foldMutex);
        c_.partDone[static_cast<std::size_t>(part)] = 1;
        addBoundarySums(c_);
    }

    bool claim(int part) const {
        return !c_.taken[static_cast<std::size_t>(part)].exchange(true, std::memory_order_acq_rel);
    }

    // Claims the last untaken part of the home with the most untaken parts (the lowest
    // thread's on a tie); -1 when every part is taken.
    int untakenPart() const {
        const int per = c_.plan.partsPerThread;
        const int homes = c_.plan.partCount() / per;
        for (;;) {
            int best = -1, bestLeft = 0;
            for (int h = 0; h < homes; ++h) {
                int left = 0;
                for (int p = h * per; p < (h + 1) * per; ++p)
                    left += c_.taken[static_cast<std::size_t>(p)].load(std::memory_order_acquire)
                                ? 0
                                : 1;
                if (left > bestLeft) {
                    best = h;
                    bestLeft = left;
                }
            }
            if (best < 0) return -1;
            for (int p = (best + 1) * per - 1; p >= best * per; --p) {
                if (!c_.taken[static_cast<std::size_t>(p)].load(std::memory_order_acquire) &&
                    claim(p))
                    return p;
            }
        }
    }

    // Sets up part p's boundary sums (none where all its groups stay inside its private
    // range, as with one thread that searches) and points the thread's zones at them.
    bool prepareBoundary(int p, Memory& memory) const {
        const int axis = c_.grid.slideAxis();
        for (int z = 0; z < 2; ++z) {
            memory.boundary[z] = {};
            const std::pair<int, int> range = c_.plan.boundaryZones[static_cast<std::size_t>(p)][z];
            if (range.first >= range.second) continue;
            Vec3<int> size = c_.params.imageSize;
            size[axis] = range.second - range.first;
            const std::size_t count = static_cast<std::size_t>(size.x) * size.y * size.z;
            BoundarySums& b = c_.boundary[static_cast<std::size_t>(2 * p + z)];
            {
                // The smallest spare buffer that holds the zone, cleared; else a new one.
                std::lock_guard<std::mutex> lock(c_.foldMutex);
                auto best = c_.spare.end();
                for (auto it = c_.spare.begin(); it != c_.spare.end(); ++it) {
                    if (it->capacity >= 2 * count &&
                        (best == c_.spare.end() || it->capacity < best->capacity))
                        best = it;
                }
                if (best != c_.spare.end()) {
                    b = std::move(*best);
                    c_.spare.erase(best);
                }
            }
            if (b.sums) {
                std::memset(b.sums.get(), 0, 2 * count * sizeof(float));
            } else {
                b.sums.reset(static_cast<float*>(std::calloc(2 * count, sizeof(float))));
                b.capacity = 2 * count;
                if (!b.sums) return false;
            }
            memory.boundary[z] = {b.sums.get(), b.sums.get() + count, range.first, range.second};
        }
        return true;
    }

    void fail(const char* message) const {
        report(message);
        c_.failed = true;
    }

    void reportProgress(int rows) const {
        if (!c_.hooks || !c_.hooks->progress) return;
        // Counted under the lock, so the reported fractions never go backwards.
        std::lock_guard<std::mutex> lock(c_.progressMutex);
        c_.rowsDone += rows;
        c_.hooks->progress(static_cast<float>(c_.rowsDone) /
                           static_cast<float>(c_.plan.unitCount()));
    }

    StageContext<Stage>& c_;
};

// Fills the collection shared by every thread when it covers the whole volume: once here,
// only read by the workers. False when the allocation failed.
template <int Stage>
bool fillSharedCollection(StageContext<Stage>& c, TempMemory& temp) {
    return c.sharedCollection->extractInitial(c.searchedVolume(), {0, 0, 0}, c.params.blockSize,
                                              c.transforms.fwd, c.transforms.fwdKinds, true, temp,
                                              c.extent);
}

void zeroVolume(ImageDataMutable<float>& volume) {
    std::memset(volume.mutableData, 0, static_cast<std::size_t>(volume.count) * sizeof(float));
}

StageOutcome endOutOfMemory(const char* message, ImageDataMutable<float>& numerator) {
    report(message);
    zeroVolume(numerator);
    return StageOutcome::OutOfMemory;
}

// Collection extent + 1 per dimension, as the collections take it: the search radius when
// the dimension is split, else the whole volume.
Vec3<int> collectionExtent(const Parameters& params) {
    Vec3<int> extent;
    for (int d = 0; d < 3; ++d) {
        extent[d] = (params.splitComp[d] ? params.searchRadius[d] : params.imageSize[d]) + 1;
    }
    return extent;
}

template <int Stage>
StageOutcome runLoop(const ImageData<float>& image, const float* psd, const Parameters& params,
                     const TransformsMeta& transforms, ImageDataMutable<float>& numerator,
                     BlockMatchStorage* storage, const ImageData<float>* pilot,
                     const StageHooks* hooks) {
    if (Stage == WIENER && !pilot) throw std::invalid_argument("the Wiener stage needs a pilot");
    PoolSession pool(params.numThreads);
    // The main thread's working memory also computes the two-block groups of the match
    // offset table, so it is sized for at least two blocks.
    Parameters mainParams = params;
    mainParams.maxGroupSize = std::max(2, params.maxGroupSize);
    Memory mainMemory = allocateMemory<float>(mainParams);
    TempMemory mainTemp = createTempMemory<float>(mainParams);
    if (!mainMemory.ok || !mainTemp.ok) {
        return endOutOfMemory("Error: could not allocate working memory", numerator);
    }
    ImageDataMutable<float> weights;
    if (!weights.createEmpty(params.imageSize)) {
        return endOutOfMemory("Failed to allocate memory for buffer.", numerator);
    }
    const Vec3<int> fourier{halvedFirstFftDimension(params), params.fftSize.y, params.fftSize.z};
    NoiseArrays noise;
    if (!prepareNoiseArrays<Stage>(noise, psd, params, transforms, fourier)) {
        return endOutOfMemory("Could not allocate memory for variances", numerator);
    }
    if (storage) storage->stackCount = 0;

    const ReferenceGrid grid(params);
    const SlabPlan plan =
        planSlabs(grid, params, THREAD_POOL.getNumThreads(), storage && storage->replay);
    const Vec3<int> extent = collectionExtent(params);
    StageContext<Stage> context{image,
                                pilot,
                                params,
                                transforms,
                                grid,
                                plan,
                                noise,
                                numerator,
                                weights,
                                storage,
                                hooks,
                                extent,
                                collectionCoversVolume(params.imageSize, params.blockSize, extent),
                                std::make_shared<BlockCollection<float>>(),
                                {false},
                                {},
                                0,
                                std::vector<BoundarySums>(2 * plan.privateRange.size()),
                                std::make_unique<std::atomic<bool>[]>(plan.privateRange.size()),
                                {},
                                std::vector<char>(plan.privateRange.size(), 0),
                                {}};
    if (context.wholeCollection && !fillSharedCollection(context, mainTemp)) {
        report("Failed to allocate block memory");
        context.failed = true;
    }
    if (!context.failed) THREAD_POOL.newLoopJob(SlabWorker<Stage>(context));
    const bool cancelled = hooks && hooks->cancel && hooks->cancel->load();
    if (context.failed || cancelled) {
        zeroVolume(numerator);
        return context.failed ? StageOutcome::OutOfMemory : StageOutcome::Cancelled;
    }
    if (storage) storage->stackCount = static_cast<int>(grid.locationCount());
    normalise(numerator, weights, image.data);
    return StageOutcome::Completed;
}

}  // namespace

template <int Stage>
StageOutcome kelvoLoop(const ImageData<float>& image, const float* psd, const Parameters& params,
                       const TransformsMeta& transforms, ImageDataMutable<float>& numerator,
                       BlockMatchStorage* storage, const ImageData<float>* pilot,
                       const StageHooks* hooks) {
    try {
        return runLoop<Stage>(image, psd, params, transforms, numerator, storage, pilot, hooks);
    } catch (...) {
        zeroVolume(numerator);
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
