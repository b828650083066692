#include "kelvo/engine/block_matching.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

// The distance loop's clones perform the same operations in the same order (eight
// independent lanes, then a fixed reduction, nothing fused), so they give bit-identical
// distances (see cpu_dispatch.h).
#include "kelvo/engine/cpu_dispatch.h"
#include "kelvo/engine/vector8.h"

// The vector helpers below are always inlined into the clones, so vector arguments and
// returns never cross a call boundary whose ABI would depend on the instruction set.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kelvo {

void setSearchWindow(Vec3<int> reference, Vec3<int> searchRadius, Vec3<int> blockSize,
                     Vec3<int> imageSize, Vec3<int>& windowMin, Vec3<int>& windowMax) {
    for (int d = 0; d < 3; ++d) {
        windowMin[d] = std::max(0, reference[d] - searchRadius[d]);
        windowMax[d] = std::min(reference[d] + searchRadius[d], imageSize[d] - blockSize[d]);
    }
}

namespace {

using namespace vec8;

// Squared differences of a[begin .. end-1] and b[begin .. end-1] added into eight lane sums:
// element i goes to lane i mod 8, in order. A distance is minus the offset plus the lanes
// reduced by a fixed tree (reduceLanes), so the partial distance after a run and the full
// distance come from the same running sums. Adding non-negative squares never lowers a lane,
// and rounding is monotone, so a partial distance never exceeds the full one: rejecting a
// candidate whose partial distance is above the bar rejects only candidates the full
// distance would reject, wherever the runs end.
__attribute__((always_inline)) inline void addSquares(const float* a, const float* b, int begin,
                                                      int end, float* lanes) {
    int i = begin;
    for (; i < end && (i & 7) != 0; ++i) {
        const float t = a[i] - b[i];
        lanes[i & 7] += t * t;
    }
    for (; i + 8 <= end; i += 8) {
        for (int l = 0; l < 8; ++l) {
            const float t = a[i + l] - b[i + l];
            lanes[l] += t * t;
        }
    }
    for (; i < end; ++i) {
        const float t = a[i] - b[i];
        lanes[i & 7] += t * t;
    }
}

// ((a0 + a4) + (a1 + a5)) + ((a2 + a6) + (a3 + a7)).
__attribute__((always_inline)) inline float reduceLanes(const float* a) {
    return ((a[0] + a[4]) + (a[1] + a[5])) + ((a[2] + a[6]) + (a[3] + a[7]));
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
inline float orderable(float d) {
    return std::isnan(d) ? std::numeric_limits<float>::infinity() : d;
}

// The candidates kept so far: a max-heap under HeapLess in heap[0 .. n-1], at most
// `capacity` of them. While it fills, every candidate goes in; once full, a candidate that
// ranks below the top replaces it.
template <typename T>
struct CandidateHeap {
    BlockDistance<T>* heap;
    int capacity;
    int n = 0;

    bool full() const { return n == capacity; }
    // The distance a candidate must beat once the heap is full.
    float worst() const { return heap[0].distance; }

    // Adds a candidate while the heap is not full. Until it is, nothing is compared, so the
    // entries are ordered into a heap once, when the last one arrives.
    void push(const T* data, float distance, Vec3<int> position) {
        BlockDistance<T>& e = heap[n];
        e.data = data;
        e.distance = orderable(distance);
        e.position = position;
        e.shiftedPosition = {0, 0, 0};
        if (++n == capacity) std::make_heap(heap, heap + n, HeapLess<T>());
    }

    // The number of candidates kept, arranged as a heap (also when the window held fewer
    // than `capacity`).
    int finish() {
        if (n < capacity) std::make_heap(heap, heap + n, HeapLess<T>());
        return n;
    }

    // Replaces the top by a candidate that ranks below it, restoring the heap by one sift-down
    // (the pop-then-push pair would sift twice). The kept set is the same either way, and the
    // heap order is a total order, so what is unloaded later does not depend on how the heap
    // is arranged.
    void replaceTop(const T* data, float distance, Vec3<int> position) {
        const HeapLess<T> less;
        BlockDistance<T> item;
        item.data = data;
        item.distance = distance;
        item.position = position;
        item.shiftedPosition = {0, 0, 0};
        int i = 0;
        for (;;) {
            int child = 2 * i + 1;
            if (child >= n) break;
            if (child + 1 < n && less(heap[child], heap[child + 1])) ++child;
            if (!less(item, heap[child])) break;
            heap[i] = heap[child];
            i = child;
        }
        heap[i] = item;
    }
};

// The candidates kept by the register path: the same max-heap order as CandidateHeap, but on
// 64-bit keys, the distance's bits mapped to an unsigned order in the high half and the
// position in the window (z, then y, then x: the visiting order of the general loop) in the
// low half, so that comparing two keys compares as HeapLess does. The data pointer and the
// position follow from the key, so the heap moves 8 bytes per entry instead of a
// BlockDistance, and its comparisons are single integer comparisons the compiler turns into
// conditional moves: a replacement's sift-down picks the larger child without a branch, and
// only its stop is a branch that depends on the keys.
struct KeyHeap {
    static constexpr int MAX_KEYS = 64;
    static constexpr int MAX_SPAN = 1024;  // window positions per dimension the key can hold
    std::uint64_t keys[MAX_KEYS];
    int capacity;
    int n = 0;
    Vec3<int> windowMin;

    // Whether a search can keep its candidates here.
    static bool fits(int capacity, Vec3<int> wmin, Vec3<int> wmax) {
        return capacity <= MAX_KEYS && wmax.x - wmin.x < MAX_SPAN && wmax.y - wmin.y < MAX_SPAN &&
               wmax.z - wmin.z < MAX_SPAN;
    }

    static std::uint64_t key(float distance, Vec3<int> p, Vec3<int> wmin) {
        // +0 for -0, so that the two zeros share a key as they compare equal; NaN ranks as
        // infinity (orderable).
        const float d = orderable(distance) + 0.0f;
        std::uint32_t u;
        std::memcpy(&u, &d, sizeof u);
        u = (u & 0x80000000u) ? ~u : (u | 0x80000000u);
        return (static_cast<std::uint64_t>(u) << 32) |
               (static_cast<std::uint64_t>(p.z - wmin.z) << 20) |
               (static_cast<std::uint64_t>(p.y - wmin.y) << 10) |
               static_cast<std::uint64_t>(p.x - wmin.x);
    }
    static float distanceOf(std::uint64_t k) {
        std::uint32_t u = static_cast<std::uint32_t>(k >> 32);
        u = (u & 0x80000000u) ? (u & 0x7fffffffu) : ~u;
        float d;
        std::memcpy(&d, &u, sizeof d);
        return d;
    }

    float top = 0.0f;  // the distance of keys[0] once full

    bool full() const { return n == capacity; }
    float worst() const { return top; }

    void push(float distance, Vec3<int> p) {
        keys[n] = key(distance, p, windowMin);
        if (++n == capacity) {
            std::make_heap(keys, keys + n);
            top = distanceOf(keys[0]);
        }
    }

    // Once full: keeps the candidate if its key is below the top's.
    void offer(float distance, Vec3<int> p) {
        const std::uint64_t k = key(distance, p, windowMin);
        if (k >= keys[0]) return;
        int i = 0;
        for (;;) {
            int child = 2 * i + 1;
            if (child >= n) break;
            std::uint64_t larger = keys[child];
            if (child + 1 < n) {
                const std::uint64_t right = keys[child + 1];
                child += right > larger ? 1 : 0;
                larger = right > larger ? right : larger;
            }
            if (larger < k) break;
            keys[i] = larger;
            i = child;
        }
        keys[i] = k;
        top = distanceOf(keys[0]);
    }

    // Writes the kept candidates to heap[0 .. n-1] in the same order (a max-heap under
    // HeapLess, also when the window held fewer than `capacity`) and returns their number.
    int finish(const BlockCollection<float>& c, BlockDistance<float>* heap) {
        if (n < capacity) std::make_heap(keys, keys + n);
        for (int i = 0; i < n; ++i) {
            const std::uint64_t k = keys[i];
            BlockDistance<float>& e = heap[i];
            constexpr std::uint64_t mask = MAX_SPAN - 1;
            e.position = {windowMin.x + static_cast<int>(k & mask),
                          windowMin.y + static_cast<int>((k >> 10) & mask),
                          windowMin.z + static_cast<int>((k >> 20) & mask)};
            e.distance = distanceOf(k);
            e.data = c.blockAt(e.position);
            e.shiftedPosition = {0, 0, 0};
        }
        return n;
    }
};

// Distances of 64-float blocks (4x4x4 and 8x8x1, the block sizes of both default profiles),
// with the reference held in registers: the eight lane sums of addSquares are one vector,
// reduced by reduceLanes' tree, so this path gives the general one's bits.
struct Reference64 {
    static constexpr int FLOATS = 64;
    V8 r[8];
    explicit Reference64(const float* p) {
        for (int k = 0; k < 8; ++k) r[k] = load8(p + 8 * k);
    }
    __attribute__((always_inline)) inline V8 square(const float* b, int k) const {
        const V8 t = load8(b + 8 * k) - r[k];
        return t * t;
    }
    // The eight lane sums of the block, vector after vector.
    __attribute__((always_inline)) inline V8 squares(const float* b) const {
        V8 acc = square(b, 0);
        for (int k = 1; k < 8; ++k) acc += square(b, k);
        return acc;
    }
};

// The same for 27-float blocks (3x3x3): three vectors, then entries 24 to 26 into lanes 0 to
// 2, as addSquares adds them. Those three are read within the block, as the last three
// lanes of the vector of entries 19 to 26, and moved down to lanes 0 to 2 (the others zeroed)
// after squaring.
struct Reference27 {
    static constexpr int FLOATS = 27;
    V8 r[4];  // entries 0-7, 8-15, 16-23 and 19-26
    explicit Reference27(const float* p) {
        for (int k = 0; k < 3; ++k) r[k] = load8(p + 8 * k);
        r[3] = load8(p + 19);
    }
    __attribute__((always_inline)) inline V8 square(const float* b, int k) const {
        const V8 t = load8(b + 8 * k) - r[k];
        return t * t;
    }
    __attribute__((always_inline)) inline V8 squares(const float* b) const {
        V8 acc = square(b, 0);
        acc += square(b, 1);
        acc += square(b, 2);
        const V8 t = load8(b + 19) - r[3];
        const V8 moved = __builtin_shuffle(t * t, I8{5, 6, 7, 0, 0, 0, 0, 0});
        const I8 keep = {-1, -1, -1, 0, 0, 0, 0, 0};
        return acc + reinterpret_cast<V8>(reinterpret_cast<I8>(moved) & keep);
    }
};

// The search proper: fills heap[0 .. capacity-1] as a max-heap and returns its size.
// The window has been clipped to the displacement table. This is the general form, for any
// block size and entry type. With Vectors > 0 (float blocks of 8 * Vectors entries: the
// 6x6x6 and 12x12 blocks of the correlated-noise profiles) the eight lane sums are one
// vector and the partial tests come after whole vectors (a quarter and a half of the block,
// rounded down to vectors): every lane still receives its squares in index order, so the
// distances are the general form's bit for bit, and a partial test rejects only candidates
// the full distance would (wherever the runs end, see addSquares).
template <typename T, int Vectors = 0>
__attribute__((always_inline)) inline int searchImpl(const BlockCollection<T>& c,
                                                     const float* offsets, Vec3<int> ref,
                                                     Vec3<int> radius, Vec3<int> wmin,
                                                     Vec3<int> wmax, int capacity,
                                                     BlockDistance<T>* heap) {
    constexpr int F = static_cast<int>(sizeof(T) / sizeof(float));  // floats per entry
    const int d = static_cast<int>(c.blockVolume);
    [[maybe_unused]] const int run1 = F * (d / 4);
    [[maybe_unused]] const int run2 = F * (d / 2) - run1;
    [[maybe_unused]] const int run3 = F * d - F * (d / 2);
    const std::int64_t stride = c.blockVolume;  // entries per slot
    const int cx = c.count.x, cy = c.count.y, cz = c.count.z;
    const int wx = 2 * radius.x + 1, wy = 2 * radius.y + 1;
    const float* reference = reinterpret_cast<const float*>(c.blockAt(ref));
    CandidateHeap<T> kept{heap, capacity};
    for (int z = wmin.z; z <= wmax.z; ++z) {
        const int sz = z % cz;
        for (int y = wmin.y; y <= wmax.y; ++y) {
            const int sy = y % cy;
            const std::int64_t rowSlot = (static_cast<std::int64_t>(sz) * cy + sy) * cx;
            const float* offsetRow =
                offsets +
                (static_cast<std::int64_t>(z - ref.z + radius.z) * wy + (y - ref.y + radius.y)) *
                    wx +
                (wmin.x - ref.x + radius.x);
            int sx = wmin.x % cx;
            for (int x = wmin.x; x <= wmax.x; ++x, sx = (sx + 1 == cx) ? 0 : sx + 1) {
                if (x == ref.x && y == ref.y && z == ref.z) continue;
                const T* block = c.blocks + (rowSlot + sx) * stride;
                const float* b = reinterpret_cast<const float*>(block);
                const float start = -offsetRow[x - wmin.x];
                const float worst =
                    kept.full() ? kept.worst() : std::numeric_limits<float>::infinity();
                float dist;
                if constexpr (Vectors > 0) {
                    static_assert(Vectors >= 4, "every run holds at least one vector");
                    const auto square = [&](int k) __attribute__((always_inline)) {
                        const V8 t = load8(b + 8 * k) - load8(reference + 8 * k);
                        return t * t;
                    };
                    V8 acc = square(0);
                    for (int k = 1; k < Vectors / 4; ++k) acc += square(k);
                    if (start + reduce8(acc) > worst) continue;
                    for (int k = Vectors / 4; k < Vectors / 2; ++k) acc += square(k);
                    if (start + reduce8(acc) > worst) continue;
                    for (int k = Vectors / 2; k < Vectors; ++k) acc += square(k);
                    dist = start + reduce8(acc);
                } else {
                    float lanes[8] = {0.f, 0.f, 0.f, 0.f, 0.f, 0.f, 0.f, 0.f};
                    addSquares(b, reference, 0, run1, lanes);
                    if (start + reduceLanes(lanes) > worst) continue;
                    addSquares(b, reference, run1, run1 + run2, lanes);
                    if (start + reduceLanes(lanes) > worst) continue;
                    addSquares(b, reference, run1 + run2, run1 + run2 + run3, lanes);
                    dist = start + reduceLanes(lanes);
                }
                if (!kept.full()) {
                    kept.push(block, dist, {x, y, z});
                } else if (dist < worst) {  // equal keeps the earlier candidate
                    kept.replaceTop(block, dist, {x, y, z});
                }
            }
        }
    }
    return kept.finish();
}

// The search for 64-float blocks: the general form with the runs unrolled and the reference
// held in registers, giving the same distances bit for bit. The visiting order differs: the
// 3x3x3 neighbourhood of the reference comes first, so that the heap fills with close
// candidates and the bar a candidate must pass is low from the start; then the rest of the
// window in the natural order. KeyHeap breaks ties by position, so the kept set is the
// general loop's whatever the order.
//
// Every candidate's distance is computed in full and compared once with the bar. A partial
// sum would be a lower bound of the distance (the general loop tests two of them), and on
// the smooth blocks of a pilot estimate the first eight coefficients of a 4x4x4 block
// reject about 60 % of the candidates; but a test that mispredicts that often costs more
// than the few vectors it saves (measured with both stages on phantoms, the inia19 volume
// and images: the Wiener stage of the volume profile 0.77 s instead of 0.90 s on a 96^3
// phantom, images 0 to 5 % faster), and on noisy blocks, whose partial sums stay below the
// bar until nearly the end, it rarely rejects at all.
//
// One reference of a search64 batch: its reference block, kept candidates and window.
struct Search64 {
    const float* reference;
    Vec3<int> ref, wmin, wmax;
    Vec3<int> lo, hi;  // the 3x3x3 neighbourhood, inside the window
    int baseX;         // slot of wmin.x
    KeyHeap kept;
};

// The searches of `n` references (at most MATCH_BATCH), each with its own window and heap:
// the neighbourhoods first, reference by reference, then the windows row by row, every
// reference whose window holds the row taking it in turn, so that a row's blocks, loaded
// from the collection for the first reference, are still in the nearest cache for the next
// (consecutive references of the walk share most of their windows' blocks: eight of eleven
// columns at the volume profile's step of 3 and radius 5). Each heap sees the same
// candidates as a search of its own, in another order, which KeyHeap's total order makes
// irrelevant; a batch of one is the single search. Measured with bench/walk_bench on a slice
// of the inia19 volume, batches of eight cut the time per candidate by about a tenth and the
// first-level cache misses of the search by half (cachegrind), where walking the references
// in tiles of columns instead of rows was slower.
template <typename Ref>
__attribute__((always_inline)) inline void search64(const BlockCollection<float>& c,
                                                    const float* offsets, Vec3<int> radius,
                                                    Search64* s, int n, int capacity) {
    constexpr std::int64_t stride = Ref::FLOATS;
    const int cx = c.count.x, cy = c.count.y, cz = c.count.z;
    const int wx = 2 * radius.x + 1, wy = 2 * radius.y + 1;

    // Slots of a position `delta` past a slot `first`, wrapped once (every window, and the
    // union of the batch's windows, lies inside the collection's box, so it is never longer
    // than the collection). Integer divisions per row cost as much as several candidates.
    const auto slot = [](int first, int delta, int n) __attribute__((always_inline)) {
        const int s = first + delta;
        return s >= n ? s - n : s;
    };

    // Candidates x0 .. x1 of row (y, z) (its blocks from rowBase) for search q, the
    // reference skipped.
    auto row = [&](Search64 & q, const Ref& r, const float* rowBase, int y, int z, int x0, int x1)
        __attribute__((always_inline)) {
        KeyHeap& kept = q.kept;
        const float* offsetRow =
            offsets +
            (static_cast<std::int64_t>(z - q.ref.z + radius.z) * wy + (y - q.ref.y + radius.y)) *
                wx -
            q.ref.x + radius.x;
        const int skip = (y == q.ref.y && z == q.ref.z) ? q.ref.x : -1;
        int sx = slot(q.baseX, x0 - q.wmin.x, cx);
        for (int x = x0; x <= x1; ++x, sx = (sx + 1 == cx) ? 0 : sx + 1) {
            if (x == skip) continue;
            const float* b = rowBase + sx * stride;
            const float dist = reduce8(r.squares(b)) - offsetRow[x];
            if (!kept.full()) {
                kept.push(dist, {x, y, z});
            } else if (__builtin_expect(!(dist > kept.worst()), 0)) {
                kept.offer(dist, {x, y, z});
            }
        }
    };
    const auto rowAt = [&](int y, int z) __attribute__((always_inline)) {
        return c.blocks + (static_cast<std::int64_t>(z % cz) * cy + y % cy) *
                              static_cast<std::int64_t>(cx) * stride;
    };

    Vec3<int> umin = s[0].wmin, umax = s[0].wmax;  // the union of the windows
    for (int k = 0; k < n; ++k) {
        Search64& q = s[k];
        q.kept.capacity = capacity;
        q.kept.windowMin = q.wmin;
        q.baseX = q.wmin.x % cx;
        for (int d = 0; d < 3; ++d) {
            q.lo[d] = std::max(q.wmin[d], q.ref[d] - 1);
            q.hi[d] = std::min(q.wmax[d], q.ref[d] + 1);
            umin[d] = std::min(umin[d], q.wmin[d]);
            umax[d] = std::max(umax[d], q.wmax[d]);
        }
        const Ref r(q.reference);
        for (int z = q.lo.z; z <= q.hi.z; ++z)
            for (int y = q.lo.y; y <= q.hi.y; ++y) row(q, r, rowAt(y, z), y, z, q.lo.x, q.hi.x);
    }
    // The blocks the next batch along x (three positions on per reference) adds: up to 3n
    // slots past the union's end, while the collection holds them.
    const int ahead = std::max(0, std::min(3 * n, c.origin.x + cx - (umax.x + 1)));
    const int aheadSlot = ahead > 0 ? (umax.x + 1) % cx : 0;
    const int firstY = umin.y % cy;
    for (int z = umin.z, sz = umin.z % cz; z <= umax.z; ++z, sz = (sz + 1 == cz) ? 0 : sz + 1) {
        for (int y = umin.y, sy = firstY; y <= umax.y; ++y, sy = (sy + 1 == cy) ? 0 : sy + 1) {
            const float* rowBase =
                c.blocks + (static_cast<std::int64_t>(sz) * cy + sy) * cx * stride;
            for (int k = 0, px = aheadSlot; k < ahead; ++k, px = (px + 1 == cx) ? 0 : px + 1) {
                const float* pb = rowBase + px * stride;
                for (int l = 0; l < 4; ++l) __builtin_prefetch(pb + 16 * l);
            }
            for (int k = 0; k < n; ++k) {
                Search64& q = s[k];
                if (z < q.wmin.z || z > q.wmax.z || y < q.wmin.y || y > q.wmax.y) continue;
                const Ref r(q.reference);
                if (z >= q.lo.z && z <= q.hi.z && y >= q.lo.y && y <= q.hi.y) {
                    row(q, r, rowBase, y, z, q.wmin.x, q.lo.x - 1);
                    row(q, r, rowBase, y, z, q.hi.x + 1, q.wmax.x);
                } else {
                    row(q, r, rowBase, y, z, q.wmin.x, q.wmax.x);
                }
            }
        }
    }
}

// The searches of a batch of 64- or 27-float blocks (see search64).
KELVO_CLONES void searchBatch64(const BlockCollection<float>& c, const float* offsets,
                                Vec3<int> radius, Search64* s, int n, int capacity) {
    if (c.blockVolume == 27) {
        search64<Reference27>(c, offsets, radius, s, n, capacity);
    } else {
        search64<Reference64>(c, offsets, radius, s, n, capacity);
    }
}

KELVO_CLONES int searchFloat(const BlockCollection<float>& c, const float* offsets, Vec3<int> ref,
                             Vec3<int> radius, Vec3<int> wmin, Vec3<int> wmax, int capacity,
                             BlockDistance<float>* heap, bool general) {
    if ((c.blockVolume == 64 || c.blockVolume == 27) && !general &&
        KeyHeap::fits(capacity, wmin, wmax)) {
        Search64 s;
        s.reference = c.blockAt(ref);
        s.ref = ref;
        s.wmin = wmin;
        s.wmax = wmax;
        searchBatch64(c, offsets, radius, &s, 1, capacity);
        return s.kept.finish(c, heap);
    }
    if (!general && c.blockVolume == 216)
        return searchImpl<float, 27>(c, offsets, ref, radius, wmin, wmax, capacity, heap);
    if (!general && c.blockVolume == 144)
        return searchImpl<float, 18>(c, offsets, ref, radius, wmin, wmax, capacity, heap);
    return searchImpl(c, offsets, ref, radius, wmin, wmax, capacity, heap);
}

KELVO_CLONES int searchComplex(const BlockCollection<Complex>& c, const float* offsets,
                               Vec3<int> ref, Vec3<int> radius, Vec3<int> wmin, Vec3<int> wmax,
                               int capacity, BlockDistance<Complex>* heap) {
    return searchImpl(c, offsets, ref, radius, wmin, wmax, capacity, heap);
}

inline int searchFloatOrComplex(const BlockCollection<float>& c, const float* offsets,
                                Vec3<int> ref, Vec3<int> radius, Vec3<int> wmin, Vec3<int> wmax,
                                int capacity, BlockDistance<float>* heap, bool general) {
    return searchFloat(c, offsets, ref, radius, wmin, wmax, capacity, heap, general);
}
inline int searchFloatOrComplex(const BlockCollection<Complex>& c, const float* offsets,
                                Vec3<int> ref, Vec3<int> radius, Vec3<int> wmin, Vec3<int> wmax,
                                int capacity, BlockDistance<Complex>* heap, bool) {
    return searchComplex(c, offsets, ref, radius, wmin, wmax, capacity, heap);
}

// Ranks of up to RANK_MAX candidates: each candidate's key orders it as HeapLess does (the
// distance's bits mapped to an unsigned order in the high half, its position in the window
// in the low half), and its rank is the number of keys below its own. Counting every pair
// without branches costs less than sorting candidates in random order with mispredicted
// comparisons.
constexpr int RANK_MAX = 64;
typedef long long I64x4 __attribute__((vector_size(32)));

KELVO_CLONES void rankKeys(const long long* keys, int n, int* rank) {
    const int vectors = (n + 3) / 4;  // keys[n .. 4 * vectors - 1] hold LLONG_MAX
    for (int i = 0; i < n; ++i) {
        const I64x4 k = {keys[i], keys[i], keys[i], keys[i]};
        I64x4 below = {0, 0, 0, 0};
        for (int v = 0; v < vectors; ++v) {
            I64x4 x;
            std::memcpy(&x, keys + 4 * v, sizeof x);
            below += x < k;  // -1 per key below
        }
        rank[i] = -static_cast<int>(below[0] + below[1] + below[2] + below[3]);
    }
}

// Sorts a[0 .. n-1] ascending under HeapLess; false (nothing done) when there are too many
// candidates or the window is too large for the keys.
template <typename T>
bool sortByRank(BlockDistance<T>* a, int n, Vec3<int> windowMin) {
    if (n > RANK_MAX) return false;
    long long keys[RANK_MAX] = {};
    for (int i = 0; i < n; ++i) {
        const Vec3<int> p = a[i].position;
        const int dx = p.x - windowMin.x, dy = p.y - windowMin.y, dz = p.z - windowMin.z;
        if (dx < 0 || dy < 0 || dz < 0 || dx >= 1024 || dy >= 1024 || dz >= 1024) return false;
        // +0 for -0, so that the two zeros share a key as they compare equal; a NaN distance
        // was stored as infinity.
        const float d = a[i].distance + 0.0f;
        std::uint32_t u;
        std::memcpy(&u, &d, sizeof u);
        u = (u & 0x80000000u) ? ~u : (u | 0x80000000u);
        const std::uint64_t key =
            (static_cast<std::uint64_t>(u) << 32) | (static_cast<std::uint64_t>(dz) << 20) |
            (static_cast<std::uint64_t>(dy) << 10) | static_cast<std::uint64_t>(dx);
        // Signed keys compare as the unsigned ones do once the top bit is flipped.
        keys[i] = static_cast<long long>(key ^ 0x8000000000000000ull);
    }
    for (int i = n; i < (n + 3) / 4 * 4; ++i) keys[i] = std::numeric_limits<long long>::max();
    int rank[RANK_MAX];
    rankKeys(keys, n, rank);
    BlockDistance<T> sorted[RANK_MAX];
    for (int i = 0; i < n; ++i) sorted[rank[i]] = a[i];
    std::copy(sorted, sorted + n, a);
    return true;
}

// Checks a search's arguments and clips its window to the displacement table; true when the
// window holds candidates to search (false also for groups of one).
template <typename T>
bool prepareSearch(const BlockCollection<T>& collection, Vec3<int> reference, Vec3<int> blockSize,
                   Vec3<int> searchRadius, Vec3<int>& windowMin, Vec3<int>& windowMax,
                   int maxGroupSize, BlockDistance<T>* matches) {
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
    return !empty;
}

// Turns the n kept candidates in matches[1 .. n] (a max-heap) into the match list: trimmed,
// ascending, the reference first, shifted positions relative to the group's corner.
template <typename T>
void finishMatches(const BlockCollection<T>& collection, Vec3<int> reference, Vec3<int> windowMin,
                   int n, int minGroupSize, float matchThreshold, BlockDistance<T>* matches,
                   int& count) {
    BlockDistance<T>* heap = matches + 1;
    // Trim to a power-of-two group within the threshold, never below minGroupSize
    // (compared as unsigned: a minGroupSize of 0 or less disables the trimming). The heap's
    // order is total, so sorting all candidates first and then dropping the largest gives
    // the entries that popping the top would leave, in the same order.
    const unsigned keepAtLeast = static_cast<unsigned>(minGroupSize) - 1u;
    if (!sortByRank(heap, n, windowMin)) std::sort_heap(heap, heap + n, HeapLess<T>());
    while (static_cast<unsigned>(n) > keepAtLeast) {
        const unsigned size = static_cast<unsigned>(n) + 1u;
        if (heap[n - 1].distance > matchThreshold || (size & (size - 1u)) != 0u) {
            --n;
        } else {
            break;
        }
    }
    // ascending: entries 1 .. n

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

template <typename T>
void matchBlocks(const BlockCollection<T>& collection, const float* matchOffsetTable,
                 Vec3<int> reference, Vec3<int> blockSize, Vec3<int> searchRadius,
                 Vec3<int> windowMin, Vec3<int> windowMax, int maxGroupSize, int minGroupSize,
                 float matchThreshold, BlockDistance<T>* matches, int& count, bool general) {
    const bool search = prepareSearch(collection, reference, blockSize, searchRadius, windowMin,
                                      windowMax, maxGroupSize, matches);
    // Candidates live in matches[1 .. maxGroupSize-1] as a max-heap (top at matches[1]).
    const int n =
        search ? searchFloatOrComplex(collection, matchOffsetTable, reference, searchRadius,
                                      windowMin, windowMax, maxGroupSize - 1, matches + 1, general)
               : 0;
    finishMatches(collection, reference, windowMin, n, minGroupSize, matchThreshold, matches,
                  count);
}

}  // namespace

template <typename T>
void getBlockMatches(const BlockCollection<T>& collection, const float* matchOffsetTable,
                     Vec3<int> reference, Vec3<int> blockSize, Vec3<int> searchRadius,
                     Vec3<int> windowMin, Vec3<int> windowMax, int maxGroupSize, int minGroupSize,
                     float matchThreshold, BlockDistance<T>* matches, int& count) {
    matchBlocks(collection, matchOffsetTable, reference, blockSize, searchRadius, windowMin,
                windowMax, maxGroupSize, minGroupSize, matchThreshold, matches, count, false);
}

template <typename T>
void getBlockMatchesGeneral(const BlockCollection<T>& collection, const float* matchOffsetTable,
                            Vec3<int> reference, Vec3<int> blockSize, Vec3<int> searchRadius,
                            Vec3<int> windowMin, Vec3<int> windowMax, int maxGroupSize,
                            int minGroupSize, float matchThreshold, BlockDistance<T>* matches,
                            int& count) {
    matchBlocks(collection, matchOffsetTable, reference, blockSize, searchRadius, windowMin,
                windowMax, maxGroupSize, minGroupSize, matchThreshold, matches, count, true);
}

void getBlockMatchesBatch(const BlockCollection<float>& collection, const float* matchOffsetTable,
                          const Vec3<int>* references, int n, Vec3<int> blockSize,
                          Vec3<int> searchRadius, Vec3<int> imageSize, int maxGroupSize,
                          int minGroupSize, float matchThreshold, BlockDistance<float>* matches,
                          int* counts) {
    if (n < 1 || n > MATCH_BATCH)
        throw std::invalid_argument("getBlockMatchesBatch: 1 to MATCH_BATCH references");
    Search64 s[MATCH_BATCH];
    bool together = collection.blockVolume == 64 || collection.blockVolume == 27;
    for (int k = 0; k < n; ++k) {
        Search64& q = s[k];
        q.ref = references[k];
        setSearchWindow(q.ref, searchRadius, blockSize, imageSize, q.wmin, q.wmax);
        together =
            prepareSearch(collection, q.ref, blockSize, searchRadius, q.wmin, q.wmax, maxGroupSize,
                          matches + static_cast<std::ptrdiff_t>(k) * maxGroupSize) &&
            together && KeyHeap::fits(maxGroupSize - 1, q.wmin, q.wmax);
        q.reference = collection.blockAt(q.ref);
    }
    if (!together) {
        // Empty windows, groups of one, other block sizes: one search each.
        for (int k = 0; k < n; ++k) {
            Vec3<int> lo{}, hi{};
            setSearchWindow(references[k], searchRadius, blockSize, imageSize, lo, hi);
            getBlockMatches<float>(collection, matchOffsetTable, references[k], blockSize,
                                   searchRadius, lo, hi, maxGroupSize, minGroupSize, matchThreshold,
                                   matches + static_cast<std::ptrdiff_t>(k) * maxGroupSize,
                                   counts[k]);
        }
        return;
    }
    searchBatch64(collection, matchOffsetTable, searchRadius, s, n, maxGroupSize - 1);
    for (int k = 0; k < n; ++k) {
        BlockDistance<float>* list = matches + static_cast<std::ptrdiff_t>(k) * maxGroupSize;
        const int kept = s[k].kept.finish(collection, list + 1);
        finishMatches(collection, s[k].ref, s[k].wmin, kept, minGroupSize, matchThreshold, list,
                      counts[k]);
    }
}

template void getBlockMatches<float>(const BlockCollection<float>&, const float*, Vec3<int>,
                                     Vec3<int>, Vec3<int>, Vec3<int>, Vec3<int>, int, int, float,
                                     BlockDistance<float>*, int&);
template void getBlockMatches<Complex>(const BlockCollection<Complex>&, const float*, Vec3<int>,
                                       Vec3<int>, Vec3<int>, Vec3<int>, Vec3<int>, int, int, float,
                                       BlockDistance<Complex>*, int&);
template void getBlockMatchesGeneral<float>(const BlockCollection<float>&, const float*, Vec3<int>,
                                            Vec3<int>, Vec3<int>, Vec3<int>, Vec3<int>, int, int,
                                            float, BlockDistance<float>*, int&);

}  // namespace kelvo
