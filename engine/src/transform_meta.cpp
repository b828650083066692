#include "kelvo/engine/transform_meta.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <utility>

#include "kelvo/engine/tables.h"

namespace kelvo {

using namespace TransformsMetas;

namespace {

// Two matrices match when every entry differs by at most this much.
constexpr float MATCH_TOLERANCE = 0.001f;

// Largest group size whose matrix is inspected (group sizes 2, 4, 8, 16, 32).
constexpr int MAX_INSPECTED_LEVELS = 5;

// True when the `count` entries of `m` and `table` agree within MATCH_TOLERANCE. A NaN entry
// never matches. A null matrix matches nothing.
bool entriesMatch(const float* m, const float* table, int count) {
    if (!m || !table) return false;
    for (int i = 0; i < count; ++i) {
        if (!(std::fabs(m[i] - table[i]) <= MATCH_TOLERANCE)) return false;
    }
    return true;
}

// Kind tables are plain malloc'ed int arrays released with free (see TransformsMeta::release).
int* allocateKindTable(std::size_t entries, int fill) {
    if (entries > SIZE_MAX / sizeof(int)) throw std::bad_alloc();
    int* table = static_cast<int*>(std::malloc(entries * sizeof(int)));
    if (!table) throw std::bad_alloc();
    for (std::size_t i = 0; i < entries; ++i) table[i] = fill;
    return table;
}

// Kind of a block matrix of n points; only sizes 4, 5 and 8 have built-in kinds.
StandardTransform blockKind(int n, const float* m) {
    switch (n) {
        case 4:
            return getStandardTransform4(m);
        case 5:
            return entriesMatch(m, DCT_5_FWD, 25) ? DCT5_FWD : ARB_FWD;
        case 8:
            return getStandardTransform8(m);
        default:
            return ARB_FWD;
    }
}

// Kind of the group matrix for group size n = 2^(level+1).
int groupKind(int level, int n, const float* m) {
    switch (n) {
        case 4: {
            int g = getStandardTransform4(m);
            // HAAR_4_FWD is also standardTransformsList[2] (and equals BIOR_4_FWD), so a Haar
            // matrix is already resolved to a block kind above; this branch only fires for
            // matrices that matched none of those.
            if (g == ARB_FWD && entriesMatch(m, HAAR_4_FWD, 16)) g = HAAR4_NL_FWD;
            return g;
        }
        case 8: {
            int g = getStandardTransform8(m);
            if (g == ARB_FWD && entriesMatch(m, HAAR_8_FWD, 64)) g = HAAR8_NL_FWD;
            return g;
        }
        default:  // 2, 16, 32
            return entriesMatch(m, standardTransformsList[level + 9], n * n) ? level + 9 : ARB_FWD;
    }
}

}  // namespace

TransformsMeta::TransformsMeta(TransformsMeta&& o) noexcept { *this = std::move(o); }

TransformsMeta& TransformsMeta::operator=(TransformsMeta&& o) noexcept {
    if (this != &o) {
        release();
        fwd = o.fwd;
        inv = o.inv;
        groupFwd = o.groupFwd;
        groupInv = o.groupInv;
        window = o.window;
        fwdKinds = o.fwdKinds;
        invKinds = o.invKinds;
        groupFwdKinds = std::exchange(o.groupFwdKinds, nullptr);
        groupInvKinds = std::exchange(o.groupInvKinds, nullptr);
    }
    return *this;
}

void TransformsMeta::release() {
    std::free(groupFwdKinds);
    std::free(groupInvKinds);
    groupFwdKinds = nullptr;
    groupInvKinds = nullptr;
}

const char* MissingTransformException::what() const noexcept {
    return "No transform was passed, and no internal transform could be found to replace it!";
}

StandardTransform getStandardTransform4(const float* m) {
    for (int v : {DCT4_FWD, BIOR4_FWD, HAAR4_FWD}) {
        if (entriesMatch(m, standardTransformsList[v], 16))
            return static_cast<StandardTransform>(v);
    }
    return ARB_FWD;
}

StandardTransform getStandardTransform8(const float* m) {
    for (int v : {DCT8_FWD, BIOR8_FWD, HAAR8_FWD}) {
        if (entriesMatch(m, standardTransformsList[v], 64))
            return static_cast<StandardTransform>(v);
    }
    return ARB_FWD;
}

TransformsMeta getTransformMeta(const Transforms& t, const Parameters& p) {
    if (p.maxGroupSize < 0) {
        throw std::invalid_argument("maxGroupSize must not be negative");
    }
    TransformsMeta meta;
    meta.fwd = t.fwd;
    meta.inv = t.inv;
    meta.groupFwd = t.groupFwd;
    meta.groupInv = t.groupInv;
    meta.window = t.window;

    // Only the forward matrix is inspected; the inverse is taken to be its partner.
    for (int d = 0; d < 3; ++d) {
        const StandardTransform k = blockKind(p.blockSize[d], t.fwd[d]);
        meta.fwdKinds[d] = k;
        meta.invKinds[d] = static_cast<StandardTransform>(k + 16);
    }

    // `meta` owns the first table as soon as it exists, so a failure of the second frees it.
    const std::size_t entries = static_cast<std::size_t>(p.maxGroupSize) + 1;
    meta.groupFwdKinds = allocateKindTable(entries, ARB_FWD);
    meta.groupInvKinds = allocateKindTable(entries, ARB_INV);

    int levels = 0;
    if (p.maxGroupSize >= 2) {
        levels =
            static_cast<int>(std::floor(std::log2(static_cast<double>(p.maxGroupSize)) + 0.001));
        if (levels > MAX_INSPECTED_LEVELS) levels = MAX_INSPECTED_LEVELS;
    }
    for (int i = 0; i < levels; ++i) {
        const int n = 2 << i;  // 2, 4, 8, 16, 32
        const float* m = t.groupFwd ? t.groupFwd[n] : nullptr;
        const int g = groupKind(i, n, m);
        meta.groupFwdKinds[n] = g;
        meta.groupInvKinds[n] = g + 16;
    }
    return meta;
}

}  // namespace kelvo
