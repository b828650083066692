// Block matching against an independent brute-force search: all candidates, full distances,
// stable order of visit, then the trimming rule. Ring-buffer collections are filled directly
// with synthetic blocks so that slot addressing is exercised as well.
#include "kelvo/engine/block_matching.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <vector>

namespace kelvo {

namespace {

float squaredModulus(float a) { return a * a; }
float squaredModulus(Complex a) { return a.re * a.re + a.im * a.im; }
float minus(float a, float b) { return a - b; }
Complex minus(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }

// Blocks of every position of a volume, stored by position (independent of any ring).
template <typename T>
struct SyntheticVolume {
    Vec3<int> size{};   // volume size
    Vec3<int> block{};  // block size
    Vec3<int> npos{};   // block positions per dimension
    int d = 0;
    std::vector<T> entries;

    const T* at(Vec3<int> p) const {
        return entries.data() + ((static_cast<std::size_t>(p.z) * npos.y + p.y) * npos.x + p.x) * d;
    }
};

template <typename T>
T randomEntry(std::mt19937& rng, bool integer, int range);
template <>
float randomEntry<float>(std::mt19937& rng, bool integer, int range) {
    if (integer) return static_cast<float>(std::uniform_int_distribution<int>(0, range)(rng));
    return std::uniform_real_distribution<float>(-1.f, 1.f)(rng);
}
template <>
Complex randomEntry<Complex>(std::mt19937& rng, bool integer, int range) {
    return {randomEntry<float>(rng, integer, range), randomEntry<float>(rng, integer, range)};
}

template <typename T>
SyntheticVolume<T> makeVolume(Vec3<int> size, Vec3<int> block, std::mt19937& rng, bool integer,
                              int range) {
    SyntheticVolume<T> v;
    v.size = size;
    v.block = block;
    for (int k = 0; k < 3; ++k) v.npos[k] = size[k] - block[k] + 1;
    v.d = block.x * block.y * block.z;
    v.entries.resize(static_cast<std::size_t>(v.npos.x) * v.npos.y * v.npos.z * v.d);
    for (T& e : v.entries) e = randomEntry<T>(rng, integer, range);
    return v;
}

// A ring collection holding the box [origin, origin + count) of the synthetic volume.
template <typename T>
void fillCollection(BlockCollection<T>& c, const SyntheticVolume<T>& v, Vec3<int> origin,
                    Vec3<int> count) {
    std::int64_t total = 0;
    ASSERT_NE(c.allocate(static_cast<std::int64_t>(count.x) * count.y * count.z, v.d, total),
              nullptr);
    c.origin = origin;
    c.count = count;
    c.sourceSize = v.size;
    c.sourceBlockSize = v.block;
    c.filled = true;
    Vec3<int> p{};
    for (p.z = origin.z; p.z < origin.z + count.z; ++p.z)
        for (p.y = origin.y; p.y < origin.y + count.y; ++p.y)
            for (p.x = origin.x; p.x < origin.x + count.x; ++p.x)
                std::copy(v.at(p), v.at(p) + v.d, c.blockAt(p));
}

struct Expected {
    Vec3<int> position;
    double distance;
};

template <typename T>
std::vector<Expected> bruteForce(const SyntheticVolume<T>& v, const std::vector<float>& offsets,
                                 Vec3<int> ref, Vec3<int> r, int maxGroupSize, int minGroupSize,
                                 float threshold) {
    Vec3<int> lo{}, hi{};
    setSearchWindow(ref, r, v.block, v.size, lo, hi);
    std::vector<Expected> all;
    Vec3<int> p{};
    for (p.z = lo.z; p.z <= hi.z; ++p.z)
        for (p.y = lo.y; p.y <= hi.y; ++p.y)
            for (p.x = lo.x; p.x <= hi.x; ++p.x) {
                if (p == ref) continue;
                double dist = -offsets[static_cast<std::size_t>(
                    ((p.z - ref.z + r.z) * (2 * r.y + 1) + (p.y - ref.y + r.y)) * (2 * r.x + 1) +
                    p.x - ref.x + r.x)];
                for (int i = 0; i < v.d; ++i)
                    dist += squaredModulus(minus(v.at(p)[i], v.at(ref)[i]));
                all.push_back({p, dist});
            }
    std::stable_sort(all.begin(), all.end(),
                     [](const Expected& a, const Expected& b) { return a.distance < b.distance; });
    std::size_t n =
        std::min<std::size_t>(all.size(), static_cast<std::size_t>(std::max(maxGroupSize - 1, 0)));
    while (n > static_cast<unsigned>(minGroupSize) - 1u) {
        const std::size_t size = n + 1;
        if (all[n - 1].distance > threshold || (size & (size - 1)) != 0)
            --n;
        else
            break;
    }
    all.resize(n);
    return all;
}

template <typename T>
void checkAgainstBruteForce(const BlockCollection<T>& c, const SyntheticVolume<T>& v,
                            const std::vector<float>& offsets, Vec3<int> ref, Vec3<int> r,
                            int maxGroupSize, int minGroupSize, float threshold, double tolerance,
                            const std::string& what) {
    Vec3<int> lo{}, hi{};
    setSearchWindow(ref, r, v.block, v.size, lo, hi);
    std::vector<BlockDistance<T>> matches(static_cast<std::size_t>(maxGroupSize));
    int count = -1;
    getBlockMatches<T>(c, offsets.data(), ref, v.block, r, lo, hi, maxGroupSize, minGroupSize,
                       threshold, matches.data(), count);
    const std::vector<Expected> expected =
        bruteForce(v, offsets, ref, r, maxGroupSize, minGroupSize, threshold);
    ASSERT_EQ(count, static_cast<int>(expected.size()) + 1) << what;
    Vec3<int> corner = ref;
    for (const Expected& e : expected)
        for (int k = 0; k < 3; ++k) corner[k] = std::min(corner[k], e.position[k]);
    EXPECT_EQ(matches[0].position, ref) << what;
    EXPECT_EQ(matches[0].distance, 0.f) << what;
    EXPECT_EQ(matches[0].data, c.blockAt(ref)) << what;
    EXPECT_EQ(matches[0].shiftedPosition,
              (Vec3<int>{ref.x - corner.x, ref.y - corner.y, ref.z - corner.z}))
        << what;
    for (std::size_t k = 0; k < expected.size(); ++k) {
        const BlockDistance<T>& m = matches[k + 1];
        const Vec3<int> e = expected[k].position;
        ASSERT_EQ(m.position, e) << what << " entry " << k + 1;
        ASSERT_NEAR(m.distance, expected[k].distance, tolerance) << what << " entry " << k + 1;
        ASSERT_EQ(m.data, c.blockAt(e)) << what;
        ASSERT_TRUE(std::equal(v.at(e), v.at(e) + v.d, m.data,
                               [](T a, T b) { return squaredModulus(minus(a, b)) == 0.f; }))
            << what << ": slot holds another block";
        EXPECT_EQ(m.shiftedPosition, (Vec3<int>{e.x - corner.x, e.y - corner.y, e.z - corner.z}))
            << what;
    }
}

template <typename T>
void randomComparisons(unsigned seed, bool integer, bool block64 = false) {
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const int groupSizes[] = {1, 2, 3, 4, 5, 8, 16, 33};
    const int minSizes[] = {-3, 0, 1, 2, 3, 4};
    for (int trial = 0; trial < 400; ++trial) {
        // Blocks of 64 entries take the matcher's register path (both default profiles).
        const Vec3<int> shapes64[] = {{4, 4, 4}, {8, 8, 1}, {2, 4, 8}, {16, 4, 1}};
        const Vec3<int> block =
            block64 ? shapes64[pick(0, 3)] : Vec3<int>{pick(1, 4), pick(1, 4), pick(1, 3)};
        const Vec3<int> size{block.x + pick(0, 10), block.y + pick(0, 10), block.z + pick(0, 6)};
        const int range = pick(1, 3);  // few values: many exact ties
        SyntheticVolume<T> v = makeVolume<T>(size, block, rng, integer, range);
        const Vec3<int> r{pick(0, 4), pick(0, 4), pick(0, 3)};
        // References everywhere, corners included, so that windows clip at every border.
        Vec3<int> ref{};
        for (int k = 0; k < 3; ++k) {
            const int mode = pick(0, 2);
            ref[k] = mode == 0 ? 0 : (mode == 1 ? v.npos[k] - 1 : pick(0, v.npos[k] - 1));
        }
        Vec3<int> lo{}, hi{};
        setSearchWindow(ref, r, block, size, lo, hi);
        Vec3<int> origin{}, count{};
        for (int k = 0; k < 3; ++k) {
            count[k] = pick(hi[k] - lo[k] + 1, v.npos[k]);
            origin[k] =
                pick(std::max(0, hi[k] - count[k] + 1), std::min(lo[k], v.npos[k] - count[k]));
        }
        BlockCollection<T> c;
        fillCollection(c, v, origin, count);
        std::vector<float> offsets(
            static_cast<std::size_t>((2 * r.x + 1) * (2 * r.y + 1) * (2 * r.z + 1)));
        const int offsetRange = pick(0, 2) == 0 ? 0 : 40;
        for (float& o : offsets)
            o = integer
                    ? static_cast<float>(pick(-offsetRange, offsetRange))
                    : std::uniform_real_distribution<float>(-1.f, 1.f)(rng) * offsetRange * 0.1f;
        const int maxGroupSize = groupSizes[pick(0, 7)];
        const int minGroupSize = minSizes[pick(0, 5)];
        const float threshold = pick(0, 2) == 0 ? 1e30f : static_cast<float>(pick(-20, 60));
        // Integer data sums exactly; otherwise d terms of at most 8 each, summed in float.
        const double tolerance =
            integer ? 0.0 : (2.0 * v.d + 4) * 1.2e-7 * (8.0 * v.d + 4 + offsetRange);
        std::ostringstream what;
        what << "trial " << trial << " size " << size.x << "x" << size.y << "x" << size.z
             << " block " << block.x << "x" << block.y << "x" << block.z << " ref " << ref.x << ","
             << ref.y << "," << ref.z << " radius " << r.x << "," << r.y << "," << r.z << " group "
             << maxGroupSize << "/" << minGroupSize << " threshold " << threshold;
        checkAgainstBruteForce<T>(c, v, offsets, ref, r, maxGroupSize, minGroupSize, threshold,
                                  tolerance, what.str());
        if (testing::Test::HasFatalFailure()) return;
    }
}

TEST(BlockMatching, AgreesWithBruteForceOnIntegerBlocksWithTies) {
    randomComparisons<float>(101, true);
}
TEST(BlockMatching, AgreesWithBruteForceOnRandomBlocks) { randomComparisons<float>(202, false); }
TEST(BlockMatching, BlocksOf64EntriesAgreeWithBruteForce) {
    randomComparisons<float>(505, true, true);
    randomComparisons<float>(606, false, true);
}
// Expects the same group, bit for bit (positions, data, distances, shifted positions).
void expectSameGroup(const BlockDistance<float>* a, int na, const BlockDistance<float>* b, int nb) {
    ASSERT_EQ(na, nb);
    for (int k = 0; k < na; ++k) {
        ASSERT_EQ(a[k].position, b[k].position) << k;
        ASSERT_EQ(a[k].data, b[k].data);
        ASSERT_EQ(std::memcmp(&a[k].distance, &b[k].distance, sizeof(float)), 0) << k;
        ASSERT_EQ(a[k].shiftedPosition, b[k].shiftedPosition);
    }
}

// The register paths of 64- and 27-entry blocks (full distances with a noise offset, an early
// rejection after eight entries without one), alone and in batches of references searched
// together, and the vector paths of 216-, 144- and 27-entry blocks (6x6x6, 12x12 and 3x3x3),
// against the general loop: the same groups and the same distances, bit for bit,
// at every reference of volumes whose blocks carry structure plus noise (candidates are
// rejected after every run, and near ties are common), in a collection holding the whole
// volume and in a ring whose slots wrap along x.
TEST(BlockMatching, VectorPathsMatchTheGeneralLoopExactly) {
    std::mt19937 rng(707);
    std::normal_distribution<float> noise(0.f, 0.3f);
    // tail 0: blocks that differ only in their first eight entries (the low frequencies of
    // smooth blocks), where a partial sum over them equals the full distance, so that an early
    // rejection even slightly above the lower bound changes the groups.
    for (const float tail : {1.f, 0.f})
        for (const Vec3<int> block : {Vec3<int>{4, 4, 4}, Vec3<int>{8, 8, 1}, Vec3<int>{6, 6, 6},
                                      Vec3<int>{12, 12, 1}, Vec3<int>{3, 3, 3}}) {
            // The larger blocks on smaller volumes (the sanitizer builds run this too).
            const bool block64 = block.x * block.y * block.z == 64;
            const Vec3<int> size = block.z == 1
                                       ? (block64 ? Vec3<int>{30, 28, 1} : Vec3<int>{26, 24, 1})
                                       : (block64 ? Vec3<int>{16, 14, 12} : Vec3<int>{13, 12, 10});
            SyntheticVolume<float> v = makeVolume<float>(size, block, rng, false, 1);
            for (std::size_t i = 0; i < v.entries.size(); ++i) {
                const std::size_t slot = i / static_cast<std::size_t>(v.d);
                v.entries[i] =
                    (i % static_cast<std::size_t>(v.d) < 8 ? 1.f : tail) *
                    (std::sin(0.9f * float(slot % 7) + 0.3f * float(i % 64)) * float(i % 5) +
                     noise(rng));
            }
            BlockCollection<float> c, ring;
            fillCollection(c, v, {0, 0, 0}, v.npos);
            fillCollection(ring, v, {2, 0, 0}, {v.npos.x - 2, v.npos.y, v.npos.z});
            const Vec3<int> r{3, 3, block.z == 1 ? 0 : 2};
            std::vector<float> offsets(
                static_cast<std::size_t>((2 * r.x + 1) * (2 * r.y + 1) * (2 * r.z + 1)));
            for (float& o : offsets) o = std::uniform_real_distribution<float>(0.f, 2.f)(rng);
            // With a noise offset and without one (the pilot's search).
            const std::vector<float> zeros(offsets.size(), 0.f);
            for (const float* table : {static_cast<const float*>(offsets.data()), zeros.data()})
                for (const int groupSize : {8, 16, 32})
                    for (const float threshold : {1e30f, 40.f}) {
                        std::vector<BlockDistance<float>> a(32), b(32);
                        Vec3<int> ref{};
                        for (ref.z = 0; ref.z < v.npos.z; ++ref.z)
                            for (ref.y = 0; ref.y < v.npos.y; ++ref.y)
                                for (ref.x = 0; ref.x < v.npos.x; ++ref.x) {
                                    Vec3<int> lo{}, hi{};
                                    setSearchWindow(ref, r, block, v.size, lo, hi);
                                    int na = 0, nb = 0;
                                    getBlockMatches<float>(c, table, ref, block, r, lo, hi,
                                                           groupSize, 1, threshold, a.data(), na);
                                    getBlockMatchesGeneral<float>(c, table, ref, block, r, lo, hi,
                                                                  groupSize, 1, threshold, b.data(),
                                                                  nb);
                                    expectSameGroup(a.data(), na, b.data(), nb);
                                    if (HasFatalFailure()) return;
                                }
                        // Batches of 1 to MATCH_BATCH references along x, one and three
                        // positions apart (as the walk's), each window clipped at the borders
                        // (groups of 32 without threshold: the most candidates offered).
                        if (groupSize != 32 || threshold < 1e30f || (v.d != 64 && v.d != 27))
                            continue;
                        std::vector<BlockDistance<float>> batch(
                            static_cast<std::size_t>(MATCH_BATCH * groupSize));
                        for (const BlockCollection<float>* held : {&c, &ring})
                            for (const int step : {1, 3})
                                for (ref.z = 0; ref.z < v.npos.z; ++ref.z)
                                    for (ref.y = 0; ref.y < v.npos.y; ++ref.y) {
                                        std::vector<Vec3<int>> refs;
                                        for (int x = 0; x < v.npos.x; x += step) {
                                            Vec3<int> lo{}, hi{};
                                            setSearchWindow({x, ref.y, ref.z}, r, block, v.size, lo,
                                                            hi);
                                            if (held->holds(lo) && held->holds(hi))
                                                refs.push_back({x, ref.y, ref.z});
                                        }
                                        for (std::size_t i = 0, n = 1; i < refs.size();
                                             i += n, n = n % MATCH_BATCH + 1) {
                                            const int m =
                                                static_cast<int>(std::min(n, refs.size() - i));
                                            int counts[MATCH_BATCH];
                                            getBlockMatchesBatch(*held, table, &refs[i], m, block,
                                                                 r, v.size, groupSize, 1, threshold,
                                                                 batch.data(), counts);
                                            for (int k = 0; k < m; ++k) {
                                                Vec3<int> lo{}, hi{};
                                                setSearchWindow(refs[i + k], r, block, v.size, lo,
                                                                hi);
                                                int nb = 0;
                                                getBlockMatchesGeneral<float>(
                                                    *held, table, refs[i + k], block, r, lo, hi,
                                                    groupSize, 1, threshold, b.data(), nb);
                                                expectSameGroup(batch.data() + k * groupSize,
                                                                counts[k], b.data(), nb);
                                                if (HasFatalFailure()) return;
                                            }
                                        }
                                    }
                    }
        }
}

TEST(BlockMatching, ComplexBlocksUseTheSquaredModulus) {
    randomComparisons<Complex>(303, true);
    randomComparisons<Complex>(404, false);
}

// A 1-D row of single-sample blocks: each candidate's distance is chosen directly.
struct Row {
    SyntheticVolume<float> v;
    BlockCollection<float> c;
    std::vector<float> offsets;
    Row(std::vector<float> values, int radius) {
        v.size = {static_cast<int>(values.size()), 1, 1};
        v.block = {1, 1, 1};
        v.npos = v.size;
        v.d = 1;
        v.entries = std::move(values);
        fillCollection(c, v, {0, 0, 0}, v.size);
        offsets.assign(static_cast<std::size_t>(2 * radius + 1), 0.f);
    }
    int match(int ref, int radius, int maxGroupSize, int minGroupSize, float threshold,
              std::vector<BlockDistance<float>>& m) {
        Vec3<int> lo{}, hi{};
        setSearchWindow({ref, 0, 0}, {radius, 0, 0}, v.block, v.size, lo, hi);
        m.assign(static_cast<std::size_t>(maxGroupSize), BlockDistance<float>{});
        int count = 0;
        getBlockMatches<float>(c, offsets.data(), {ref, 0, 0}, v.block, {radius, 0, 0}, lo, hi,
                               maxGroupSize, minGroupSize, threshold, m.data(), count);
        return count;
    }
};

TEST(BlockMatching, GroupSizeRules) {
    // Reference at 3; candidates 0, 1, 2, 4, 5, 6 at distances 9, 4, 1, 36, 16, 25.
    Row row({3.f, 2.f, 1.f, 0.f, 6.f, 4.f, 5.f}, 3);
    std::vector<BlockDistance<float>> m;
    EXPECT_EQ(row.match(3, 3, 1, 2, 1e30f, m), 1);  // maxGroupSize 1: only the reference
    EXPECT_EQ(m[0].position, (Vec3<int>{3, 0, 0}));
    EXPECT_EQ(m[0].shiftedPosition, (Vec3<int>{0, 0, 0}));
    // All within the threshold, minGroupSize 1: the best 3 (group of 4).
    ASSERT_EQ(row.match(3, 3, 16, 1, 1e30f, m), 4);
    EXPECT_EQ(m[1].position.x, 2);
    EXPECT_EQ(m[2].position.x, 1);
    EXPECT_EQ(m[3].position.x, 0);
    EXPECT_EQ(m[0].shiftedPosition.x, 3);  // corner at 0
    EXPECT_EQ(m[1].shiftedPosition.x, 2);
    // minGroupSize 0: no trimming at all, whatever the distances.
    ASSERT_EQ(row.match(3, 3, 16, 0, -5.f, m), 7);
    for (int k = 2; k < 7; ++k) EXPECT_LE(m[k - 1].distance, m[k].distance);
    // Threshold 5: the power-of-two group within it is the best 1 (group of 2).
    EXPECT_EQ(row.match(3, 3, 16, 1, 5.f, m), 2);
    // minGroupSize 3: trimming stops at 2 candidates even above the threshold.
    EXPECT_EQ(row.match(3, 3, 16, 3, 0.5f, m), 3);
    EXPECT_THROW(row.match(3, 3, 0, 1, 1.f, m), std::invalid_argument);
}

TEST(BlockMatching, EqualDistanceKeepsTheEarlierCandidate) {
    // Candidates at 0, 1, 2, 4, 5, 6 are all at distance 4 from the reference at 3.
    Row row({1.f, 1.f, 1.f, 3.f, 5.f, 5.f, 5.f}, 3);
    std::vector<BlockDistance<float>> m;
    ASSERT_EQ(row.match(3, 3, 2, 0, 1e30f, m), 2);
    EXPECT_EQ(m[1].position.x, 0);
    ASSERT_EQ(row.match(3, 3, 4, 0, 1e30f, m), 4);
    EXPECT_EQ(m[1].position.x, 0);
    EXPECT_EQ(m[2].position.x, 1);
    EXPECT_EQ(m[3].position.x, 2);
}

TEST(BlockMatching, OffsetsCanMakeDistancesNegativeAndTheySortFirst) {
    Row row({0.f, 0.f, 0.f, 0.f, 0.f}, 2);
    row.offsets = {1.f, 3.f, 0.f, 2.f, -1.f};  // displacements -2 .. 2
    std::vector<BlockDistance<float>> m;
    ASSERT_EQ(row.match(2, 2, 8, 0, 1e30f, m), 5);
    EXPECT_EQ(m[1].position.x, 1);
    EXPECT_EQ(m[1].distance, -3.f);
    EXPECT_EQ(m[2].position.x, 3);
    EXPECT_EQ(m[3].position.x, 0);
    EXPECT_EQ(m[4].position.x, 4);
    EXPECT_EQ(m[4].distance, 1.f);
}

TEST(BlockMatching, SearchWindowIsClippedToTheVolume) {
    Vec3<int> lo{}, hi{};
    setSearchWindow({1, 10, 5}, {3, 2, 1}, {4, 4, 1}, {20, 14, 6}, lo, hi);
    EXPECT_EQ(lo, (Vec3<int>{0, 8, 4}));
    EXPECT_EQ(hi, (Vec3<int>{4, 10, 5}));
}

}  // namespace
}  // namespace kelvo
