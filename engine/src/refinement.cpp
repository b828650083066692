// The refinement pass (see kelvo/engine/refinement.h).
#include "kelvo/engine/refinement.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "kelvo/engine/cpu_dispatch.h"
#include "kelvo/engine/thread_pool.h"

namespace kelvo {

namespace {

constexpr int MAX_GROUP = 64;
constexpr double PI = 3.14159265358979323846;
constexpr int LANES = 8;          // candidates whose distances are computed side by side
constexpr int ROWS_TOGETHER = 4;  // rows of candidates whose distances are computed at once
// 8-float vector of GCC's vector extension: AVX registers in the clone for processors that
// have them, SSE pairs otherwise.
typedef float v8f __attribute__((vector_size(32)));
static_assert(LANES == 8, "a row of candidates' distances is one v8f");
constexpr int CHUNK = 8;  // members (doubles) carried in registers by the group's products

typedef int v8i __attribute__((vector_size(32)));

/// The candidates nearest to a reference so far, N * LANES of them in increasing (distance,
/// position) order, in vector registers. Candidates are offered in increasing position, so a
/// candidate as far as a kept one orders after it; empty places hold the position INT_MAX and
/// order after every candidate. An offer moves no branch: every lane compares itself and its
/// predecessor with the candidate and takes its predecessor (shifted down), the candidate or
/// itself. The order is the one a sort of (distance, position) pairs gives for distances that
/// are not NaN (sums of squares of finite samples, up to +inf).
template <int N>
struct NearestSet {
    v8f distance[N];
    v8i position[N];

    inline __attribute__((always_inline)) void clear() {
        for (int r = 0; r < N; ++r) {
            distance[r] = v8f{} + __builtin_inff();
            position[r] = v8i{} + INT_MAX;
        }
    }
    inline __attribute__((always_inline)) void offer(float d, int p) {
        const v8f cd = v8f{} + d;
        const v8i cp = v8i{} + p;
        v8i after[N];  // lanes that order after the candidate
        for (int r = 0; r < N; ++r) after[r] = (distance[r] > cd) | (position[r] == INT_MAX);
        constexpr v8i fromPrevious = {15, 0, 1, 2, 3, 4, 5, 6};  // lane i takes lane i - 1
        for (int r = N - 1; r >= 0; --r) {
            // The first lane of all has no predecessor: its own value stands in, never "after".
            const int before = r > 0 ? r - 1 : 0;
            const v8f prevDistance = __builtin_shuffle(distance[r], distance[before], fromPrevious);
            const v8i prevPosition = __builtin_shuffle(position[r], position[before], fromPrevious);
            const v8i prevAfter =
                __builtin_shuffle(after[r], r > 0 ? after[before] : v8i{}, fromPrevious);
            distance[r] = prevAfter ? prevDistance : (after[r] ? cd : distance[r]);
            position[r] = prevAfter ? prevPosition : (after[r] ? cp : position[r]);
        }
    }
    /// The distance kept at place i (0 nearest).
    inline __attribute__((always_inline)) float at(int i) const {
        return distance[i / LANES][i % LANES];
    }
    /// Writes the N * LANES positions, nearest first.
    void store(int* positions) const {
        for (int r = 0; r < N; ++r) std::memcpy(positions + r * LANES, &position[r], sizeof(v8i));
    }
};

/// CHUNK doubles as two 4-double vectors of GCC's vector extension, carried in registers.
struct Chunk {
    typedef double v4d __attribute__((vector_size(32)));
    v4d lo, hi;

    static inline __attribute__((always_inline)) Chunk load(const double* p) {
        Chunk c;
        std::memcpy(&c.lo, p, sizeof c.lo);
        std::memcpy(&c.hi, p + 4, sizeof c.hi);
        return c;
    }
    static inline __attribute__((always_inline)) Chunk filled(double v) {
        return {v4d{} + v, v4d{} + v};
    }
    inline __attribute__((always_inline)) void store(double* p) const {
        std::memcpy(p, &lo, sizeof lo);
        std::memcpy(p + 4, &hi, sizeof hi);
    }
    /// this += f * p[0 .. CHUNK)
    inline __attribute__((always_inline)) void addScaled(double f, const double* p) {
        const Chunk c = load(p);
        lo += f * c.lo;
        hi += f * c.hi;
    }
    /// this -= f * p[0 .. CHUNK)
    inline __attribute__((always_inline)) void subtractScaled(double f, const double* p) {
        const Chunk c = load(p);
        lo -= f * c.lo;
        hi -= f * c.hi;
    }
};
static_assert(CHUNK == 8, "a Chunk holds CHUNK doubles");

/// Reference positions along one axis: every step from 0, and the last block's position.
std::vector<int> referencePositions(int extent, int block, int step) {
    std::vector<int> refs;
    const int last = extent - block;
    for (int r = 0; r < last; r += step) refs.push_back(r);
    refs.push_back(last);
    return refs;
}

/// Working memory of one thread, sized once per pass. Matrices over the group's members are
/// stored member-fastest (d x kp: row j holds sample j of every member, kp being the group
/// size rounded up to whole chunks), so that the products below run along contiguous rows.
struct Scratch {
    std::vector<float> reference;   // the reference's pilot block
    std::vector<float> window;      // the search window's pilot samples
    std::vector<float> distances;   // ROWS_TOGETHER rows of candidates' distances
    std::vector<double> centred;    // d x kp: pilot blocks minus their mean
    std::vector<double> noisy;      // d x kp: noisy blocks minus the same mean, then estimates
    std::vector<double> mean;       // d
    std::vector<double> whitened;   // d x kp: the centred pilot blocks times S^-1 (correlated)
    std::vector<double> pilotGram;  // k x kp: P P^T (correlated noise's weight)
    std::vector<double> whiteGram;  // k x kp: Q Q^T = P S^-2 P^T
    std::vector<double> products;   // 2 k x kp: G^-1 times each of the two above
    std::vector<double> gram;       // k x kp: G, then its Cholesky factor
    std::vector<double> solved;     // k x 2kp: [Q Y^T, I], then G^-1 times it
    std::vector<double> pivots;     // k: reciprocals of the factor's diagonal
    std::vector<int> positions;     // MAX_GROUP: the members' linear positions, nearest first
};

struct Geometry {
    std::array<int, 3> n, b, r;
    std::array<std::size_t, 3> stride;  // linear offsets of one step along each axis
    std::size_t count;                  // samples in the volume
    int d;                              // samples per block
    std::vector<std::size_t> offsets;   // d: each block sample's offset from the block's start
};

/// Cholesky factor of the symmetric positive definite k x k `a` (rows `stride` apart) in
/// place, lower triangle, with the reciprocals of its diagonal in `pivots`. False when a pivot
/// is not positive.
bool cholesky(double* a, int k, int stride, double* pivots) {
    for (int j = 0; j < k; ++j) {
        double* rowJ = a + std::size_t(j) * stride;
        double diagonal = rowJ[j];
        for (int p = 0; p < j; ++p) diagonal -= rowJ[p] * rowJ[p];
        if (!(diagonal > 0)) return false;
        const double pivot = std::sqrt(diagonal);
        rowJ[j] = pivot;
        pivots[j] = 1.0 / pivot;
        for (int i = j + 1; i < k; ++i) {
            double* rowI = a + std::size_t(i) * stride;
            double s = rowI[j];
            for (int p = 0; p < j; ++p) s -= rowI[p] * rowJ[p];
            rowI[j] = s * pivots[j];
        }
    }
    return true;
}

/// Whether the symmetric d x d `s` is positive definite with room to spare: every pivot of its
/// Cholesky factor holds more than 1e-9 of its diagonal's variance, so that its inverse, which
/// the pass applies, stays within double precision's reach.
bool wellConditioned(const std::vector<double>& s, int d) {
    std::vector<double> factor(s);
    std::vector<double> pivots(static_cast<std::size_t>(d));
    if (!cholesky(factor.data(), d, d, pivots.data())) return false;
    for (int j = 0; j < d; ++j) {
        const double pivot = factor[std::size_t(j) * d + j];
        if (!(pivot * pivot > 1e-9 * s[std::size_t(j) * d + j])) return false;
    }
    return true;
}

/// Solves L L^T X = B in place for the right-hand sides `b` (k rows of w, w a multiple of
/// CHUNK), L the Cholesky factor in `l` (rows `stride` apart): each run of CHUNK columns is
/// carried in registers through a row's updates. Products and differences are rounded on
/// their own (no fused multiply-add), so that every clone gives the same bits.
KELVO_CLONES __attribute__((optimize("fp-contract=off"))) void choleskySolve(
    const double* l, int stride, const double* pivots, int k, double* b, int w) {
    auto update = [](double* row, const double* done, double f) __attribute__((always_inline)) {
        Chunk r = Chunk::load(row);
        r.subtractScaled(f, done);
        r.store(row);
    };
    for (int i = 0; i < k; ++i) {
        const double* li = l + std::size_t(i) * stride;
        for (int c = 0; c < w; c += CHUNK) {
            double* row = b + std::size_t(i) * w + c;
            for (int p = 0; p < i; ++p) update(row, b + std::size_t(p) * w + c, li[p]);
            for (int t = 0; t < CHUNK; ++t) row[t] *= pivots[i];
        }
    }
    for (int i = k - 1; i >= 0; --i) {
        for (int c = 0; c < w; c += CHUNK) {
            double* row = b + std::size_t(i) * w + c;
            for (int p = i + 1; p < k; ++p)
                update(row, b + std::size_t(p) * w + c, l[std::size_t(p) * stride + i]);
            for (int t = 0; t < CHUNK; ++t) row[t] *= pivots[i];
        }
    }
}

/// A sample's weighted sum of estimates and sum of weights, side by side so that adding a
/// block touches one cache line per sample.
struct Accumulator {
    double sum;
    double weight;
};

/// Estimates one group and adds its members' estimates into the sums. A group whose Gram
/// matrix double precision cannot factor is left out.
KELVO_CLONES
void refineGroup(const float* noisyVolume, const float* pilot, std::size_t referenceAt,
                 const std::array<int, 3>& referencePosition, const Geometry& g, int groupSize,
                 double variance, const double* inverse, Scratch& s, Accumulator* sums) {
    const int d = g.d;
    const std::size_t* offsets = g.offsets.data();
    // Candidates: every block within the radius, by their pilot distance to the reference.
    // The window is copied into a buffer whose rows hold a whole number of lanes of
    // candidates, so that the distances of a row of candidates are computed side by side.
    std::array<int, 3> lo, hi;
    for (int a = 0; a < 3; ++a) {
        lo[a] = std::max(0, referencePosition[a] - g.r[a]);
        hi[a] = std::min(g.n[a] - g.b[a], referencePosition[a] + g.r[a]);
    }
    const int across = hi[0] - lo[0] + 1;  // candidates along dimension 0
    const int lanes = (across + LANES - 1) / LANES * LANES;
    const int rowLength = lanes + g.b[0] - 1;  // samples a row of candidates reads
    const int windowRows = hi[1] - lo[1] + g.b[1];
    const int windowSlices = hi[2] - lo[2] + g.b[2];
    // The window's rows are read in place where their last lanes (candidates past the window,
    // whose distances are not used) stay inside the volume; else from a copy padded with zeros.
    const float* window =
        pilot + std::size_t(lo[2]) * g.stride[2] + std::size_t(lo[1]) * g.stride[1] + lo[0];
    std::size_t rowStride = g.stride[1], sliceStride = g.stride[2];
    const std::size_t lastRead =
        (windowSlices - 1) * sliceStride + (windowRows - 1) * rowStride + std::size_t(rowLength);
    if (std::size_t(window - pilot) + lastRead > g.count) {
        float* copy = s.window.data();
        for (int z = 0; z < windowSlices; ++z)
            for (int y = 0; y < windowRows; ++y) {
                const float* from = window + z * sliceStride + y * rowStride;
                float* to = copy + (std::size_t(z) * windowRows + y) * rowLength;
                const int valid = across + g.b[0] - 1;
                std::copy(from, from + valid, to);
                std::fill(to + valid, to + rowLength, 0.0f);
            }
        window = copy;
        rowStride = std::size_t(rowLength);
        sliceStride = std::size_t(windowRows) * rowLength;
    }
    for (int j = 0; j < d; ++j) s.reference[j] = pilot[referenceAt + offsets[j]];
    float* distances = s.distances.data();
    // The distances of `R` consecutive rows of candidates (along dimension 1), LANES
    // candidates of a row side by side, R * LANES at once: each candidate has one sum for the
    // even block rows and one for the odd ones (so that the additions of one block row need
    // not wait for the previous row's), all indexed by constants so that they stay in
    // registers, and added at the end; the same sums in the same order whatever R.
    const int blockRows = g.b[1] * g.b[2];
    auto distanceRows = [&](auto rowsTag, int z, int y) __attribute__((always_inline)) {
        constexpr int R = decltype(rowsTag)::value;
        for (int lane = 0; lane < lanes; lane += LANES) {
            v8f even[R], odd[R];
            for (int q = 0; q < R; ++q) even[q] = odd[q] = v8f{};
            const float* ref = s.reference.data();
            auto addRow = [&](int bz, int by, v8f(&acc)[R]) __attribute__((always_inline)) {
                const float* row = window + (z + bz) * sliceStride + (y + by) * rowStride + lane;
                for (int bx = 0; bx < g.b[0]; ++bx, ++ref) {
                    const float r = *ref;
                    for (int q = 0; q < R; ++q) {
                        v8f w;
                        std::memcpy(&w, row + q * rowStride + bx, sizeof w);  // unaligned
                        const v8f diff = w - r;
                        acc[q] += diff * diff;
                    }
                }
            };
            int bz = 0, by = 0;
            auto next = [&] {
                if (++by == g.b[1]) {
                    by = 0;
                    ++bz;
                }
            };
            int t = 0;
            for (; t + 1 < blockRows; t += 2) {
                addRow(bz, by, even);
                next();
                addRow(bz, by, odd);
                next();
            }
            if (t < blockRows) addRow(bz, by, even);
            for (int q = 0; q < R; ++q) {
                const v8f sum = even[q] + odd[q];
                std::memcpy(distances + q * lanes + lane, &sum, sizeof sum);
            }
        }
    };
    // The candidates in increasing position, the nearest kept in registers (see NearestSet).
    const int lastRow = hi[1] - lo[1];
    auto select = [&](auto& nearest) __attribute__((always_inline)) {
        nearest.clear();
        int offered = 0;
        for (int z = 0; z <= hi[2] - lo[2]; ++z)
            for (int y0 = 0; y0 <= lastRow;) {
                const int rows = std::min(ROWS_TOGETHER, lastRow - y0 + 1);
                switch (rows) {
                    case 4:
                        distanceRows(std::integral_constant<int, 4>{}, z, y0);
                        break;
                    case 3:
                        distanceRows(std::integral_constant<int, 3>{}, z, y0);
                        break;
                    case 2:
                        distanceRows(std::integral_constant<int, 2>{}, z, y0);
                        break;
                    default:
                        distanceRows(std::integral_constant<int, 1>{}, z, y0);
                        break;
                }
                for (int q = 0; q < rows; ++q) {
                    const float* rowDistances = distances + q * lanes;
                    const int rowAt = int((lo[2] + z) * g.stride[2] +
                                          (lo[1] + y0 + q) * g.stride[1] + std::size_t(lo[0]));
                    // Once k candidates are in, one no nearer than the k-th kept cannot enter
                    // the first k; the k-th of the row's start is a bound that may only be
                    // loose (an offer of a candidate that cannot enter changes nothing).
                    const float limit =
                        offered >= groupSize ? nearest.at(groupSize - 1) : __builtin_inff();
                    for (int l = 0; l < across; ++l) {
                        const float distance = rowDistances[l];
                        if (offered >= groupSize && !(distance < limit)) continue;
                        nearest.offer(distance, rowAt + l);
                        ++offered;
                    }
                }
                y0 += rows;
            }
        nearest.store(s.positions.data());
    };
    const int registers = (groupSize + LANES - 1) / LANES;
    if (registers == 1) {
        NearestSet<1> nearest;
        select(nearest);
    } else if (registers == 2) {
        NearestSet<2> nearest;
        select(nearest);
    } else if (registers <= 4) {
        NearestSet<4> nearest;
        select(nearest);
    } else {
        NearestSet<MAX_GROUP / LANES> nearest;
        select(nearest);
    }
    const int candidates = across * (lastRow + 1) * (hi[2] - lo[2] + 1);
    const int k = std::min(groupSize, candidates);

    // Pilot and noisy blocks, d x kp (members padded with zeros to a whole number of
    // chunks), both less the pilot blocks' mean.
    const int kp = (k + CHUNK - 1) / CHUNK * CHUNK;
    for (int j = 0; j < d; ++j) {
        double* p = &s.centred[std::size_t(j) * kp];
        double* y = &s.noisy[std::size_t(j) * kp];
        double sum = 0;
        for (int m = 0; m < k; ++m) {
            const std::size_t at = std::size_t(s.positions[m]) + offsets[j];
            p[m] = pilot[at];
            y[m] = noisyVolume[at];
            sum += p[m];
        }
        const double mean = sum / k;
        s.mean[j] = mean;
        for (int m = 0; m < k; ++m) {
            p[m] -= mean;
            y[m] -= mean;
        }
        for (int m = k; m < kp; ++m) p[m] = y[m] = 0.0;
    }

    // Under correlated noise the Gram matrix and the products take the whitened pilot blocks
    // Q = P S^-1 on their left (P, Q one block per row: G = Q P^T + k I); under white noise
    // Q = P and G = P P^T + k v I.
    double* left = s.centred.data();
    if (inverse) {
        left = s.whitened.data();
        for (int j = 0; j < d; ++j)
            for (int m0 = 0; m0 < kp; m0 += CHUNK) {
                Chunk acc = Chunk::filled(0.0);
                for (int i = 0; i < d; ++i)
                    acc.addScaled(inverse[std::size_t(j) * d + i],
                                  &s.centred[std::size_t(i) * kp + m0]);
                acc.store(left + std::size_t(j) * kp + m0);
            }
    }

    // G (rows kp apart) and the right-hand sides [Q Y^T, I] (rows w apart): row c of the
    // first block holds member c's (whitened) pilot block against every noisy member.
    const int w = 2 * kp;
    double* gram = s.gram.data();
    double* solved = s.solved.data();
    for (int c = 0; c < k; ++c)
        for (int m0 = 0; m0 < kp; m0 += CHUNK) {
            Chunk gramSum = Chunk::filled(0.0), productSum = Chunk::filled(0.0);
            for (int j = 0; j < d; ++j) {
                const double pc = left[std::size_t(j) * kp + c];
                gramSum.addScaled(pc, &s.centred[std::size_t(j) * kp + m0]);
                productSum.addScaled(pc, &s.noisy[std::size_t(j) * kp + m0]);
            }
            gramSum.store(gram + std::size_t(c) * kp + m0);
            productSum.store(solved + std::size_t(c) * w + m0);
        }
    const double shift = inverse ? double(k) : k * variance;
    for (int c = 0; c < k; ++c) {
        gram[std::size_t(c) * kp + c] += shift;
        double* identity = solved + std::size_t(c) * w + kp;
        std::fill(identity, identity + kp, 0.0);
        identity[c] = 1.0;
    }
    if (inverse) {
        // P P^T and Q Q^T for the weight, before G is factored in place (both symmetric: one
        // triangle computed, mirrored).
        for (int a = 0; a < k; ++a)
            for (int c = 0; c <= a; ++c) {
                double pp = 0, qq = 0;
                for (int j = 0; j < d; ++j) {
                    const std::size_t row = std::size_t(j) * kp;
                    pp += s.centred[row + a] * s.centred[row + c];
                    qq += left[row + a] * left[row + c];
                }
                s.pilotGram[std::size_t(a) * kp + c] = s.pilotGram[std::size_t(c) * kp + a] = pp;
                s.whiteGram[std::size_t(a) * kp + c] = s.whiteGram[std::size_t(c) * kp + a] = qq;
            }
    }
    if (!cholesky(gram, k, kp, s.pivots.data())) return;
    choleskySolve(gram, kp, s.pivots.data(), k, solved, w);

    // Weight 1 / ||W||_F. White noise: W = P^T G^-1 P, ||W||_F^2 = ||I - k v G^-1||_F^2.
    // Correlated noise: W = P^T G^-1 Q, ||W||_F^2 = trace(G^-1 P P^T G^-1 Q Q^T).
    double gain = 0;
    if (!inverse) {
        for (int a = 0; a < k; ++a)
            for (int c = 0; c < k; ++c) {
                const double q = (a == c ? 1.0 : 0.0) - shift * solved[std::size_t(a) * w + kp + c];
                gain += q * q;
            }
    } else {
        // X = G^-1 P P^T and Z = G^-1 Q Q^T, then trace(X Z) = sum over a, c of X_ac Z_ca.
        auto inverseTimes = [&](const double* m, double* out) {
            for (int a = 0; a < k; ++a)
                for (int c = 0; c < k; ++c) {
                    double sum = 0;
                    for (int b = 0; b < k; ++b)
                        sum += solved[std::size_t(a) * w + kp + b] * m[std::size_t(b) * kp + c];
                    out[std::size_t(a) * kp + c] = sum;
                }
        };
        double* x = s.products.data();
        double* z = x + std::size_t(k) * kp;
        inverseTimes(s.pilotGram.data(), x);
        inverseTimes(s.whiteGram.data(), z);
        for (int a = 0; a < k; ++a)
            for (int c = 0; c < k; ++c)
                gain += x[std::size_t(a) * kp + c] * z[std::size_t(c) * kp + a];
    }
    const double weight = 1.0 / std::sqrt(std::max(gain, 1e-3));

    // Member m's estimate: mean + P^T G^-1 Q (y_m - mean), sample j of every member at once;
    // written over the noisy blocks.
    for (int j = 0; j < d; ++j) {
        const double* p = &s.centred[std::size_t(j) * kp];
        double* x = &s.noisy[std::size_t(j) * kp];
        for (int m0 = 0; m0 < kp; m0 += CHUNK) {
            Chunk acc = Chunk::filled(s.mean[j]);
            for (int c = 0; c < k; ++c) acc.addScaled(p[c], solved + std::size_t(c) * w + m0);
            acc.store(x + m0);
        }
    }
    for (int m = 0; m < k; ++m) {
        const std::size_t at = std::size_t(s.positions[m]);
        for (int j = 0; j < d; ++j) {
            Accumulator& a = sums[at + offsets[j]];
            a.sum += weight * s.noisy[std::size_t(j) * kp + m];
            a.weight += weight;
        }
    }
}

}  // namespace

std::string validateRefinement(const RefinementParameters& p) {
    for (int a = 0; a < 3; ++a) {
        const std::string axis = " along dimension " + std::to_string(a);
        if (p.size[a] < 1) return "the volume's extent" + axis + " must be positive";
        if (p.blockSize[a] < 1 || p.blockSize[a] > p.size[a])
            return "the refinement block" + axis + " must hold 1 to " + std::to_string(p.size[a]) +
                   " samples (the volume's extent), not " + std::to_string(p.blockSize[a]);
        if (p.stepSize[a] < 1 || p.stepSize[a] > 64)
            return "the refinement step" + axis + " must be 1 to 64, not " +
                   std::to_string(p.stepSize[a]);
        if (p.searchRadius[a] < 0 || p.searchRadius[a] > 64)
            return "the refinement search radius" + axis + " must be 0 to 64, not " +
                   std::to_string(p.searchRadius[a]);
    }
    if (double(p.size[0]) * p.size[1] * p.size[2] > double(INT_MAX))
        return "the volume is too large for the refinement (more than 2^31-1 samples)";
    if (p.groupSize < 2 || p.groupSize > MAX_GROUP)
        return "the refinement group size must be 2 to 64, not " + std::to_string(p.groupSize);
    if (!(p.noiseVariance > 0) || !std::isfinite(p.noiseVariance))
        return "the refinement needs a positive, finite noise variance";
    if (p.numThreads < 0) return "the number of threads must not be negative";
    if (!p.noiseCovariance.empty()) {
        const std::size_t d = std::size_t(p.blockSize[0]) * p.blockSize[1] * p.blockSize[2];
        if (d > std::size_t(MAX_COVARIANCE_BLOCK))
            return "refinement blocks with a noise covariance must hold at most " +
                   std::to_string(MAX_COVARIANCE_BLOCK) + " samples, not " + std::to_string(d);
        if (p.noiseCovariance.size() != d * d)
            return "the refinement's noise covariance must hold " + std::to_string(d * d) +
                   " values (one per pair of block samples), not " +
                   std::to_string(p.noiseCovariance.size());
        const std::vector<double>& s = p.noiseCovariance;
        for (std::size_t i = 0; i < d; ++i)
            for (std::size_t j = 0; j < d; ++j) {
                const double a = s[i * d + j], b = s[j * d + i];
                if (!std::isfinite(a) || a != b)
                    return "the refinement's noise covariance must be finite and symmetric";
            }
        if (!wellConditioned(s, int(d)))
            return "the refinement's noise covariance must be positive definite, not close to "
                   "singular (as a spectrum with zeros makes it)";
    }
    return {};
}

std::vector<double> blockNoiseCovariance(const float* psd, const std::array<int, 3>& psdSize,
                                         const std::array<int, 3>& blockSize) {
    const std::array<int, 3>& f = psdSize;
    const std::array<int, 3>& b = blockSize;
    for (int a = 0; a < 3; ++a)
        if (f[a] < 1 || b[a] < 1) return {};
    const double n = double(f[0]) * f[1] * f[2];
    // The autocorrelation at every lag within a block: the inverse transform of the
    // spectrum, R(l) = Re sum over frequencies of PSD(u) e^(2 pi i u . l / F) / N^2, taken
    // one axis at a time (the exponential is a product over axes): the spectrum's frequencies
    // along dimension 0 become lags, then those along dimension 1, then 2.
    std::array<int, 3> lags;
    for (int a = 0; a < 3; ++a) lags[a] = 2 * b[a] - 1;
    std::vector<std::complex<double>> data(psd, psd + std::size_t(f[0]) * f[1] * f[2]);
    std::array<int, 3> extent = f;  // of `data`: lags along the axes done, frequencies after
    for (int a = 0; a < 3; ++a) {
        std::vector<std::complex<double>> phase;  // e^(2 pi i u l / F), by (l + B - 1, u)
        for (int l = 0; l < lags[a]; ++l)
            for (int u = 0; u < f[a]; ++u)
                phase.push_back(
                    std::polar(1.0, 2.0 * PI * double(u) * double(l - b[a] + 1) / f[a]));
        const std::size_t inner = a == 0   ? 1
                                  : a == 1 ? std::size_t(extent[0])
                                           : std::size_t(extent[0]) * extent[1];
        const std::size_t outer = a == 0   ? std::size_t(extent[1]) * extent[2]
                                  : a == 1 ? std::size_t(extent[2])
                                           : 1;
        std::vector<std::complex<double>> next(inner * lags[a] * outer);
        for (std::size_t o = 0; o < outer; ++o)
            for (int l = 0; l < lags[a]; ++l)
                for (std::size_t i = 0; i < inner; ++i) {
                    std::complex<double> sum = 0;
                    for (int u = 0; u < f[a]; ++u)
                        sum += phase[std::size_t(l) * f[a] + u] * data[(o * f[a] + u) * inner + i];
                    next[(o * lags[a] + l) * inner + i] = sum;
                }
        data.swap(next);
        extent[a] = lags[a];
    }
    std::vector<double> autocorrelation(data.size());  // by lag, dimension 0 fastest
    for (std::size_t i = 0; i < data.size(); ++i) autocorrelation[i] = data[i].real() / (n * n);
    const int d = b[0] * b[1] * b[2];
    std::vector<std::array<int, 3>> position;
    for (int z = 0; z < b[2]; ++z)
        for (int y = 0; y < b[1]; ++y)
            for (int x = 0; x < b[0]; ++x) position.push_back({x, y, z});
    std::vector<double> covariance(std::size_t(d) * d);
    for (int i = 0; i < d; ++i)
        for (int j = 0; j < d; ++j) {
            std::size_t lag = 0;
            for (int a = 2; a >= 0; --a)
                lag = lag * lags[a] + std::size_t(position[i][a] - position[j][a] + b[a] - 1);
            covariance[std::size_t(i) * d + j] = autocorrelation[lag];
        }
    // Exactly symmetric (the cosines of opposite lags may differ in their last bit).
    for (int i = 0; i < d; ++i)
        for (int j = 0; j < i; ++j) {
            const double mean =
                0.5 * (covariance[std::size_t(i) * d + j] + covariance[std::size_t(j) * d + i]);
            covariance[std::size_t(i) * d + j] = covariance[std::size_t(j) * d + i] = mean;
        }
    if (!wellConditioned(covariance, d)) return {};
    return covariance;
}

StageOutcome refineEstimate(const float* noisy, const float* pilot, float* output,
                            const RefinementParameters& params, const StageHooks* hooks) {
    const std::string problem = validateRefinement(params);
    if (!problem.empty()) throw std::invalid_argument(problem);
    if (!noisy || !pilot || !output)
        throw std::invalid_argument("the refinement's buffers must not be null");

    Geometry g{};
    g.n = params.size;
    g.b = params.blockSize;
    g.r = params.searchRadius;
    g.stride = {1, std::size_t(g.n[0]), std::size_t(g.n[0]) * std::size_t(g.n[1])};
    g.d = g.b[0] * g.b[1] * g.b[2];
    for (int z = 0; z < g.b[2]; ++z)
        for (int y = 0; y < g.b[1]; ++y)
            for (int x = 0; x < g.b[0]; ++x)
                g.offsets.push_back(z * g.stride[2] + y * g.stride[1] + std::size_t(x));
    g.count = g.stride[2] * std::size_t(g.n[2]);
    const std::size_t count = g.count;
    std::array<std::vector<int>, 3> refs;
    for (int a = 0; a < 3; ++a) refs[a] = referencePositions(g.n[a], g.b[a], params.stepSize[a]);

    // Chunks along the outermost axis with more than one reference; consecutive chunks of
    // one parity are far enough apart that their blocks never meet.
    int axis = 2;
    while (axis > 0 && refs[axis].size() < 2) --axis;
    // A reference at r writes [r - R, r + R + B - 1]. References h + 1 indexes apart are at
    // least h * step + 1 apart (the last one, at the far border, may be closer than a step to
    // the one before), so chunks of h references with h * step + 1 >= 2R + B never meet the
    // chunk after next.
    const int reach = 2 * g.r[axis] + g.b[axis] - 1;
    const int perChunk = std::max(1, (reach + params.stepSize[axis] - 1) / params.stepSize[axis]);
    const int chunks = (int(refs[axis].size()) + perChunk - 1) / perChunk;

    // Correlated noise: the covariance's inverse, from its Cholesky factor L (S^-1 =
    // L^-T L^-1), solved column by column against the identity.
    std::vector<double> inverse;
    if (!params.noiseCovariance.empty()) {
        const int d = g.d;
        std::vector<double> factor(params.noiseCovariance);
        std::vector<double> pivots(static_cast<std::size_t>(d));
        cholesky(factor.data(), d, d, pivots.data());  // positive definite: validated
        const int width = (d + CHUNK - 1) / CHUNK * CHUNK;
        std::vector<double> columns(std::size_t(d) * width, 0.0);
        for (int i = 0; i < d; ++i) columns[std::size_t(i) * width + i] = 1.0;
        choleskySolve(factor.data(), d, pivots.data(), d, columns.data(), width);
        inverse.resize(std::size_t(d) * d);
        for (int i = 0; i < d; ++i)
            for (int j = 0; j < d; ++j) {
                const double a = columns[std::size_t(i) * width + j];
                const double b = columns[std::size_t(j) * width + i];
                inverse[std::size_t(i) * d + j] = 0.5 * (a + b);
            }
    }
    const double* inverseOrNull = inverse.empty() ? nullptr : inverse.data();

    try {
        // Cleared, and at the end divided, by every thread, each a share of the samples.
        std::unique_ptr<Accumulator[]> sums(new Accumulator[count]);
        PoolSession pool(params.numThreads);
        const int threads = THREAD_POOL.getNumThreads();
        auto share = [count, threads](int thread) {
            return std::pair<std::size_t, std::size_t>{count * std::size_t(thread) / threads,
                                                       count * std::size_t(thread + 1) / threads};
        };
        THREAD_POOL.newLoopJob([&](int thread) {
            const auto [from, to] = share(thread);
            std::fill(sums.get() + from, sums.get() + to, Accumulator{0.0, 0.0});
        });
        std::vector<Scratch> scratch(static_cast<std::size_t>(threads));
        const int k = params.groupSize;
        for (Scratch& s : scratch) {
            s.reference.resize(std::size_t(g.d));
            const int lanes = (2 * g.r[0] + 1 + LANES - 1) / LANES * LANES;
            s.window.resize(std::size_t(lanes + g.b[0] - 1) * (2 * g.r[1] + g.b[1]) *
                            (2 * g.r[2] + g.b[2]));
            s.distances.resize(std::size_t(lanes) * ROWS_TOGETHER);
            const int kp = (k + CHUNK - 1) / CHUNK * CHUNK;
            s.centred.resize(std::size_t(kp) * g.d);
            s.noisy.resize(std::size_t(kp) * g.d);
            s.mean.resize(std::size_t(g.d));
            s.gram.resize(std::size_t(kp) * kp);
            s.solved.resize(std::size_t(kp) * 2 * kp);
            s.pivots.resize(std::size_t(kp));
            s.positions.resize(MAX_GROUP);
            if (inverseOrNull) {
                s.whitened.resize(std::size_t(kp) * g.d);
                s.pilotGram.resize(std::size_t(kp) * kp);
                s.whiteGram.resize(std::size_t(kp) * kp);
                s.products.resize(std::size_t(2) * kp * kp);
            }
        }

        std::atomic<bool> cancelled{false};
        std::mutex progressMutex;
        int finished = 0;
        for (int parity = 0; parity < 2 && !cancelled.load(); ++parity) {
            std::atomic<int> next{parity};
            THREAD_POOL.newLoopJob([&](int thread) {
                Scratch& s = scratch[std::size_t(thread)];
                for (int chunk = next.fetch_add(2); chunk < chunks; chunk = next.fetch_add(2)) {
                    if (hooks && hooks->cancel && hooks->cancel->load()) cancelled = true;
                    if (cancelled.load()) return;
                    // This chunk's share of the chunked axis, every reference of the others.
                    std::array<std::pair<int, int>, 3> span;
                    for (int a = 0; a < 3; ++a) span[a] = {0, int(refs[a].size())};
                    span[axis] = {chunk * perChunk,
                                  std::min(int(refs[axis].size()), (chunk + 1) * perChunk)};
                    for (int iz = span[2].first; iz < span[2].second; ++iz)
                        for (int iy = span[1].first; iy < span[1].second; ++iy)
                            for (int ix = span[0].first; ix < span[0].second; ++ix) {
                                const int x = refs[0][ix], y = refs[1][iy], z = refs[2][iz];
                                const std::size_t at =
                                    z * g.stride[2] + y * g.stride[1] + std::size_t(x);
                                refineGroup(noisy, pilot, at, {x, y, z}, g, k, params.noiseVariance,
                                            inverseOrNull, s, sums.get());
                            }
                    if (hooks && hooks->progress) {
                        std::lock_guard<std::mutex> lock(progressMutex);
                        hooks->progress(float(++finished) / float(chunks));
                    }
                }
            });
        }
        if (cancelled.load()) return StageOutcome::Cancelled;
        THREAD_POOL.newLoopJob([&](int thread) {
            const auto [from, to] = share(thread);
            for (std::size_t i = from; i < to; ++i)
                output[i] = sums[i].weight > 0 ? float(sums[i].sum / sums[i].weight) : pilot[i];
        });
    } catch (const std::bad_alloc&) {
        std::fputs("kelvo: out of memory in the refinement pass\n", stderr);
        return StageOutcome::OutOfMemory;
    }
    return StageOutcome::Completed;
}

}  // namespace kelvo
