// Block collection: allocation sizes and failure message, the initial fill, and the sliding
// window under random walks of the stage loop's reference grid (sizes, steps, radii, shift
// lists, split dimensions, thread counts): every block read must be exactly the transform of
// the block at its position.
#include "kelvo/engine/block_collection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "kelvo/engine/block_matching.h"
#include "kelvo/engine/block_transform.h"
#include "kelvo/engine/thread_pool.h"
#include "reference_matrices.h"

namespace kelvo {

namespace {

using Kinds = Vec3<TransformsMetas::StandardTransform>;
const Kinds ARB{TransformsMetas::ARB_FWD, TransformsMetas::ARB_FWD, TransformsMetas::ARB_FWD};

using testing::dctMatrix;

struct Fixture {
    Vec3<int> blockSize;
    std::vector<float> m0, m1, m2;
    Vec3<const float*> matrices;
    TempMemory temp;

    explicit Fixture(Vec3<int> b)
        : blockSize(b), m0(dctMatrix(b.x)), m1(dctMatrix(b.y)), m2(dctMatrix(b.z)) {
        matrices = {m0.data(), m1.data(), m2.data()};
        temp = makeTemp(b);
    }
    static TempMemory makeTemp(Vec3<int> b) {
        Parameters p{};
        p.blockSize = b;
        p.fftSize = {4, 4, 1};
        p.maxGroupSize = 4;
        p.varianceLimit = 2;
        return createTempMemory<float>(p);
    }
};

std::vector<float> randomVolume(Vec3<int> size, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(-1.f, 1.f);
    std::vector<float> v(static_cast<std::size_t>(size.x) * size.y * size.z);
    for (float& s : v) s = u(rng);
    return v;
}

// Independent transform: the separable product in double precision, straight from the volume.
std::vector<double> directTransform(const ImageData<float>& image, Vec3<int> p, Vec3<int> b,
                                    Vec3<const float*> m) {
    const int n = b.x * b.y * b.z;
    std::vector<double> out(static_cast<std::size_t>(n), 0.0);
    for (int c = 0; c < b.z; ++c)
        for (int bb = 0; bb < b.y; ++bb)
            for (int a = 0; a < b.x; ++a) {
                double acc = 0;
                for (int k = 0; k < b.z; ++k)
                    for (int j = 0; j < b.y; ++j)
                        for (int i = 0; i < b.x; ++i)
                            acc += double(m.x[a * b.x + i]) * m.y[bb * b.y + j] * m.z[c * b.z + k] *
                                   image.data[(p.z + k) * image.sliceStride +
                                              (p.y + j) * image.size.x + p.x + i];
                out[static_cast<std::size_t>((c * b.y + bb) * b.x + a)] = acc;
            }
    return out;
}

TEST(BlockCollection, PerThreadAllocationSizes) {
    BlockCollection<float> c;
    ASSERT_NE(c.allocate(Vec3<int>{40, 20, 9}, Vec3<int>{4, 4, 4}, Vec3<int>{3, 30, 1}), nullptr);
    // min(2e + 2, size - block) + 1 per dimension.
    EXPECT_EQ(c.box, (Vec3<int>{9, 17, 5}));
    EXPECT_EQ(c.capacity, 9 * 17 * 5);
    EXPECT_EQ(c.blockVolume, 64);
    EXPECT_TRUE(collectionCoversVolume({40, 20, 9}, {4, 4, 4}, {30, 30, 30}));
    EXPECT_FALSE(collectionCoversVolume({40, 20, 9}, {4, 4, 4}, {3, 30, 30}));
    EXPECT_TRUE(collectionCoversVolume({10, 20, 9}, {4, 4, 4}, {2, 30, 30}));   // 2*2+3 >= 7
    EXPECT_FALSE(collectionCoversVolume({3, 20, 9}, {4, 4, 4}, {30, 30, 30}));  // no fit
    std::int64_t total = 0;
    ASSERT_NE(c.allocate(6, 10, total), nullptr);
    EXPECT_EQ(total, 60);
    EXPECT_EQ(c.capacity, 6);
}

TEST(BlockCollection, AllocationFailureWritesTheAdviceAndLeavesNoBuffer) {
    BlockCollection<float> c;
    std::int64_t total = 0;
    ASSERT_NE(c.allocate(4, 4, total), nullptr);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(c.allocate(INT64_MAX / 2, 64, total), nullptr);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(
        out,
        "Failed to allocate block memory! \n"
        "If profile.splitComp is set to [false, false, false], this is likely fixed by \n"
        "setting the value to [false, false, true] or, if still failing [false, true, true]. \n"
        "pro = KELVOProfile(); pro.splitComp = [false, false, true]; y_est = KELVO(z, PSD, "
        "pro);\n");
    EXPECT_EQ(c.blocks, nullptr);
    EXPECT_FALSE(c.filled);
}

TEST(BlockCollection, InitialFillMatchesTheDirectTransformOnEveryThreadCount) {
    std::mt19937 rng(1234);
    std::printf("seed 1234\n");
    for (int threads : {1, 2, 3}) {
        THREAD_POOL.launchPool(threads);
        Fixture f({4, 3, 2});
        const Vec3<int> size{13, 9, 7};
        std::vector<float> vol = randomVolume(size, rng);
        ImageData<float> image(vol.data(), size);
        BlockCollection<float> c;
        ASSERT_TRUE(c.extractInitial(image, {5, 2, 6}, f.blockSize, f.matrices, ARB, true, f.temp,
                                     {1, 1, 1}));
        // origin = clamp(start - e - 1), last = min(size - block, origin + 2e + 2).
        EXPECT_EQ(c.origin, (Vec3<int>{3, 0, 4}));
        EXPECT_EQ(c.count, (Vec3<int>{5, 5, 2}));
        EXPECT_TRUE(c.filled);
        Vec3<int> p{0, 0, 0};
        for (p.z = 4; p.z <= 5; ++p.z)
            for (p.y = 0; p.y <= 4; ++p.y)
                for (p.x = 3; p.x <= 7; ++p.x) {
                    const std::vector<double> ref =
                        directTransform(image, p, f.blockSize, f.matrices);
                    const float* got = c.blockAt(p);
                    for (std::size_t v = 0; v < ref.size(); ++v)
                        ASSERT_NEAR(got[v], ref[v], 24 * 6e-8 * 8) << "thread count " << threads;
                }
        EXPECT_TRUE(c.verifyBlocks(image, {3, 0, 4}, {7, 4, 5}, f.temp));
        // Reusing a buffer that is too small fails instead of overrunning it.
        BlockCollection<float> small;
        std::int64_t total = 0;
        small.allocate(4, 24, total);
        EXPECT_FALSE(small.extractInitial(image, {5, 2, 6}, f.blockSize, f.matrices, ARB, false,
                                          f.temp, {1, 1, 1}));
        THREAD_POOL.clearPool();
    }
}

TEST(BlockCollection, StartPastTheEndStillYieldsAValidWindow) {
    Fixture f({2, 2, 1});
    const Vec3<int> size{6, 5, 1};
    std::vector<float> vol(30, 1.f);
    ImageData<float> image(vol.data(), size);
    BlockCollection<float> c;
    ASSERT_TRUE(
        c.extractInitial(image, {9, 9, 0}, f.blockSize, f.matrices, ARB, true, f.temp, {0, 0, 0}));
    EXPECT_EQ(c.origin, (Vec3<int>{4, 3, 0}));
    EXPECT_EQ(c.count, (Vec3<int>{1, 1, 1}));
}

TEST(BlockCollection, MoveAtTheVolumeEndExtractsNothingButAdvancesTheOrigin) {
    Fixture f({2, 2, 2});
    std::mt19937 rng(77);
    const Vec3<int> size{8, 6, 5};
    std::vector<float> vol = randomVolume(size, rng);
    ImageData<float> image(vol.data(), size);
    BlockCollection<float> c;
    ASSERT_TRUE(
        c.extractInitial(image, {6, 0, 0}, f.blockSize, f.matrices, ARB, true, f.temp, {1, 1, 1}));
    EXPECT_EQ(c.origin.x + c.count.x - 1, 6);  // already at size - block
    const std::vector<float> before(c.blocks, c.blocks + c.capacity * c.blockVolume);
    c.moveInImage(image, {1, 0, 0}, f.temp);
    EXPECT_EQ(c.origin.x, 5);
    EXPECT_EQ(std::vector<float>(c.blocks, c.blocks + c.capacity * c.blockVolume), before);
    // Moving along y extracts only the entering row, and every held block is right.
    c.moveInImage(image, {0, 1, 0}, f.temp);
    EXPECT_EQ(c.origin.y, 1);
    EXPECT_TRUE(c.verifyBlocks(image, {5, 1, 0}, {6, 4, 3}, f.temp));
}

TEST(BlockCollection, WholeVolumeCollectionIsFilledOnceAndNeverMoved) {
    Fixture f({4, 4, 4});
    std::mt19937 rng(5);
    const Vec3<int> size{9, 8, 7};
    std::vector<float> vol = randomVolume(size, rng);
    ImageData<float> image(vol.data(), size);
    const Vec3<int> extent{size.x + 1, size.y + 1, size.z + 1};
    ASSERT_TRUE(collectionCoversVolume(size, f.blockSize, extent));
    BlockCollection<float> c;
    ASSERT_TRUE(
        c.extractInitial(image, {0, 0, 0}, f.blockSize, f.matrices, ARB, true, f.temp, extent));
    ASSERT_TRUE(c.coversVolume());
    // Poison the slot of position (0, 0, 0), outside every search window below: a refill or
    // a move would overwrite it.
    c.blocks[0] = 12345.f;
    Vec3<int> p{0, 0, 0};
    for (p.z = 0; p.z <= 3; ++p.z)
        for (p.y = 0; p.y <= 4; ++p.y)
            for (p.x = 3; p.x <= 5; ++p.x)
                moveCollections<HARD_THRESHOLDING>(p, {2, 2, 2}, f.blockSize, f.matrices, ARB,
                                                   f.temp, image, nullptr, c, nullptr);
    EXPECT_EQ(c.blocks[0], 12345.f);
    EXPECT_EQ(c.origin, (Vec3<int>{0, 0, 0}));
}

TEST(BlockCollection, ChangingTheTransformRefillsInsteadOfMixing) {
    Fixture f({2, 2, 2});
    std::mt19937 rng(9);
    const Vec3<int> size{12, 6, 6};
    std::vector<float> vol = randomVolume(size, rng);
    ImageData<float> image(vol.data(), size);
    BlockCollection<float> c;
    ASSERT_NE(c.allocate(size, f.blockSize, {2, 2, 2}), nullptr);
    std::vector<float> other = dctMatrix(2);
    other[1] = -other[1];
    other[3] = -other[3];
    const Vec3<const float*> otherMatrices{other.data(), other.data(), other.data()};
    moveCollections<HARD_THRESHOLDING>({2, 2, 2}, {1, 1, 1}, f.blockSize, f.matrices, ARB, f.temp,
                                       image, nullptr, c, nullptr);
    moveCollections<HARD_THRESHOLDING>({3, 2, 2}, {1, 1, 1}, f.blockSize, otherMatrices, ARB,
                                       f.temp, image, nullptr, c, nullptr);
    EXPECT_EQ(c.matrices, otherMatrices);
    EXPECT_TRUE(c.verifyBlocks(image, {2, 1, 1}, {4, 3, 3}, f.temp));
}

TEST(BlockCollection, MovingACollectionThatCannotHoldTheWindowThrows) {
    Fixture f({2, 2, 2});
    std::vector<float> vol(10 * 10 * 10, 0.f);
    ImageData<float> image(vol.data(), {10, 10, 10});
    BlockCollection<float> c;
    ASSERT_NE(c.allocate(image.size, f.blockSize, {0, 0, 0}), nullptr);  // 3 positions per dim
    EXPECT_THROW(moveCollections<HARD_THRESHOLDING>({5, 5, 5}, {2, 2, 2}, f.blockSize, f.matrices,
                                                    ARB, f.temp, image, nullptr, c, nullptr),
                 std::logic_error);
    BlockCollection<float> none;
    EXPECT_THROW(moveCollections<HARD_THRESHOLDING>({5, 5, 5}, {1, 1, 1}, f.blockSize, f.matrices,
                                                    ARB, f.temp, image, nullptr, none, nullptr),
                 std::logic_error);
}

// The stage loop's walk, as it drives the collections: slabs split among threads, every grid
// point shifted by the shift lists and clamped, moveCollections before every location.
struct WalkConfig {
    Vec3<int> size, block, step, radius;
    bool split[3];
    std::vector<int> shifts[3];
    int threads;
};

void describe(const WalkConfig& w, std::ostream& os) {
    os << "size " << w.size.x << "x" << w.size.y << "x" << w.size.z << " block " << w.block.x << "x"
       << w.block.y << "x" << w.block.z << " step " << w.step.x << "," << w.step.y << ","
       << w.step.z << " radius " << w.radius.x << "," << w.radius.y << "," << w.radius.z
       << " split " << w.split[0] << w.split[1] << w.split[2] << " threads " << w.threads
       << " shifts";
    for (int d = 0; d < 3; ++d) {
        os << " [";
        for (int s : w.shifts[d]) os << s << " ";
        os << "]";
    }
}

// Returns the number of locations at which a block of the search window was wrong.
int walk(const WalkConfig& w, std::mt19937& rng, int& locations) {
    Fixture f0(w.block);
    std::vector<float> noisy = randomVolume(w.size, rng);
    std::vector<float> pilotData = randomVolume(w.size, rng);
    ImageData<float> image(noisy.data(), w.size);
    ImageData<float> pilot(pilotData.data(), w.size);
    Vec3<int> last{}, extent{};
    for (int d = 0; d < 3; ++d) {
        last[d] = std::max(0, w.size[d] - w.block[d]);
        extent[d] = (w.split[d] ? w.radius[d] : w.size[d]) + 1;
    }
    const bool volumetric = w.size.z > 1;
    const int slideLength = volumetric ? w.size.z : w.size.y;
    const int slideStep = volumetric ? w.step.z : w.step.y;
    const int slabCount = (slideLength + slideStep + slideStep - 1) / slideStep;

    const bool whole = collectionCoversVolume(w.size, w.block, extent);
    auto shared = std::make_shared<BlockCollection<float>>();
    auto sharedPilot = std::make_shared<BlockCollection<float>>();
    THREAD_POOL.launchPool(w.threads);
    // The pool's count, not the one asked for (a build without threads has one).
    const int threads = THREAD_POOL.getNumThreads();
    const int per = (slabCount + threads - 1) / threads;
    if (whole) {
        EXPECT_TRUE(shared->extractInitial(image, {0, 0, 0}, w.block, f0.matrices, ARB, true,
                                           f0.temp, extent));
        EXPECT_TRUE(sharedPilot->extractInitial(pilot, {0, 0, 0}, w.block, f0.matrices, ARB, true,
                                                f0.temp, extent));
    }
    std::atomic<int> bad{0}, visited{0};
    THREAD_POOL.newLoopJob([&](int t) {
        Fixture f(w.block);
        f.matrices = f0.matrices;  // one set of matrices for the stage, as the stage loop has
        std::shared_ptr<BlockCollection<float>> c = shared, pc = sharedPilot;
        if (!whole) {
            c = std::make_shared<BlockCollection<float>>();
            pc = std::make_shared<BlockCollection<float>>();
            if (!c->allocate(w.size, w.block, extent) || !pc->allocate(w.size, w.block, extent)) {
                ++bad;
                return;
            }
        }
        std::vector<BlockDistance<float>> matches(8);
        std::vector<float> offsets(
            static_cast<std::size_t>((2 * w.radius.x + 1) * (2 * w.radius.y + 1) *
                                     (2 * w.radius.z + 1)),
            0.f);
        for (int s = t * per; s < std::min((t + 1) * per, slabCount); ++s) {
            const int slabStart = s * slideStep;
            const int yBegin = volumetric ? 0 : slabStart;
            const int yEnd = volumetric ? w.size.y + w.step.y : slabStart + 1;
            for (int y = yBegin; y < yEnd; y += (volumetric ? w.step.y : 1)) {
                const int z = volumetric ? slabStart : 0;
                for (int x = 0; x < w.size.x + w.step.x; x += w.step.x) {
                    const int xi = x / w.step.x, yi = y / w.step.y, zi = z / w.step.z;
                    Vec3<int> p{std::max(0, x - w.shifts[0][zi % w.shifts[0].size()]),
                                std::max(0, y - w.shifts[1][xi % w.shifts[1].size()]),
                                std::max(0, z - w.shifts[2][yi % w.shifts[2].size()])};
                    bool inside = true;
                    for (int d = 0; d < 3; ++d) {
                        if (p[d] >= last[d] + w.step[d]) inside = false;
                        p[d] = std::min(p[d], last[d]);
                    }
                    if (!inside) continue;
                    moveCollections<WIENER>(p, w.radius, w.block, f.matrices, ARB, f.temp, image,
                                            &pilot, *c, pc.get());
                    Vec3<int> lo{}, hi{};
                    setSearchWindow(p, w.radius, w.block, w.size, lo, hi);
                    ++visited;
                    if (!c->verifyBlocks(image, lo, hi, f.temp) ||
                        !pc->verifyBlocks(pilot, lo, hi, f.temp)) {
                        ++bad;
                        continue;
                    }
                    int count = 0;
                    getBlockMatches<float>(*pc, offsets.data(), p, w.block, w.radius, lo, hi, 8, 2,
                                           1e30f, matches.data(), count);
                    for (int k = 0; k < count; ++k)
                        if (matches[static_cast<std::size_t>(k)].data !=
                            pc->blockAt(matches[static_cast<std::size_t>(k)].position))
                            ++bad;
                }
            }
        }
    });
    THREAD_POOL.clearPool();
    locations = visited.load();
    return bad.load();
}

TEST(BlockCollection, RandomWalksOfTheStageLoopReadOnlyExactBlocks) {
    const unsigned seed = 20240611;
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    int totalLocations = 0;
    for (int trial = 0; trial < 60; ++trial) {
        WalkConfig w;
        const bool flat = pick(0, 3) == 0;
        w.block = {pick(1, 4), pick(1, 4), flat ? 1 : pick(1, 3)};
        w.size = {w.block.x + pick(0, 14), w.block.y + pick(0, 12),
                  flat ? 1 : w.block.z + pick(0, 9)};
        w.step = {pick(1, 6), pick(1, 6), pick(1, 6)};
        w.radius = {pick(0, 4), pick(0, 4), flat ? 0 : pick(0, 3)};
        for (int d = 0; d < 3; ++d) {
            w.split[d] = pick(0, 3) != 0;
            const int n = pick(1, 3);
            for (int k = 0; k < n; ++k) w.shifts[d].push_back(pick(0, 3));
        }
        w.threads = pick(1, 3);
        int locations = 0;
        const int bad = walk(w, rng, locations);
        totalLocations += locations;
        std::ostringstream os;
        describe(w, os);
        ASSERT_EQ(bad, 0) << os.str();
    }
    EXPECT_GT(totalLocations, 1000);
}

TEST(BlockCollection, ProfilesThatLaggedTheWindowReadExactBlocks) {
    // 4x4x4 blocks with (radius, step) of (1, 4), (2, 5), (3, 6), and (3, 3) with a shift of 1.
    std::mt19937 rng(42);
    const int cases[4][3] = {{1, 4, 0}, {2, 5, 0}, {3, 6, 0}, {3, 3, 1}};
    for (const auto& k : cases) {
        WalkConfig w;
        w.block = {4, 4, 4};
        w.size = {30, 27, 14};
        w.step = {k[1], k[1], k[1]};
        w.radius = {k[0], k[0], k[0]};
        for (int d = 0; d < 3; ++d) {
            w.split[d] = true;
            w.shifts[d] = {0, k[2]};
        }
        w.threads = 2;
        int locations = 0;
        std::ostringstream os;
        describe(w, os);
        EXPECT_EQ(walk(w, rng, locations), 0) << os.str();
        EXPECT_GT(locations, 0);
    }
    // A slide dimension of 2r + 2 and 2r + 3 samples with every dimension split.
    for (int extra : {2, 3}) {
        WalkConfig w;
        w.block = {2, 2, 2};
        w.radius = {1, 1, 1};
        w.size = {9, 7, 2 * 1 + extra};
        w.step = {2, 2, 1};
        for (int d = 0; d < 3; ++d) {
            w.split[d] = true;
            w.shifts[d] = {0};
        }
        w.threads = 3;
        int locations = 0;
        EXPECT_EQ(walk(w, rng, locations), 0) << "slide length " << w.size.z;
    }
}

}  // namespace
}  // namespace kelvo
