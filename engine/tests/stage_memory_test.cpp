// Memory planning of a stage: the block-cache sizes agree with what the collections
// allocate, large inputs get caches that fit the budget while ordinary ones keep theirs, and
// a stage with the caches split to fit a small budget gives the same estimate.
#include "kelvo/engine/stage_memory.h"

#include <gtest/gtest.h>

#include <vector>

#include "kelvo/engine/block_collection.h"
#include "kelvo/engine/interface.h"
#include "stage_support.h"

namespace kelvo {
namespace {

using namespace testing;

TEST(StageMemory, CacheSizesAreThoseTheCollectionsAllocate) {
    for (bool volumetric : {true, false}) {
        const Vec3<int> size = volumetric ? Vec3<int>{30, 26, 20} : Vec3<int>{70, 50, 1};
        for (int split = 0; split < 8; ++split) {
            Parameters p = defaultParameters(size, 0.1f, true);
            p.numThreads = 3;
            for (int d = 0; d < 3; ++d) p.splitComp[d] = (split >> d) & 1;
            Vec3<int> extent;
            bool whole = true;
            for (int d = 0; d < 3; ++d) {
                extent[d] = (p.splitComp[d] ? p.searchRadius[d] : size[d]) + 1;
                whole = whole && !(p.splitComp[d] && 2 * extent[d] + 2 < size[d] - p.blockSize[d]);
            }
            BlockCollection<float> c;
            ASSERT_NE(c.allocate(size, p.blockSize, extent), nullptr);
            const std::int64_t one = c.capacity * c.blockVolume * std::int64_t(sizeof(float));
            const std::int64_t copies = whole ? 1 : stageThreadCount(p);  // 1 without threads
            EXPECT_EQ(blockCacheBytes(p), one * copies) << split;
        }
    }
}

TEST(StageMemory, LargeInputsSplitTheirCachesOrdinaryOnesKeepThem) {
    struct Case {
        Vec3<int> size;
        bool split[3];  // expected after fitting, for 2 threads
    };
    const Case cases[] = {{{4096, 4096, 1}, {false, true, true}},
                          {{512, 512, 512}, {false, true, true}},
                          {{181, 217, 181}, {false, false, true}},
                          {{512, 512, 1}, {false, false, false}}};
    for (const Case& c : cases) {
        for (StageName stage : {HARD_THRESHOLDING, WIENER}) {
            Parameters p = defaultParameters(c.size, 0.1f, stage == WIENER);
            p.searchRadius = c.size.z > 1 ? Vec3<int>{5, 5, 5} : Vec3<int>{12, 12, 0};
            p.numThreads = 2;
            if (stageThreadCount(p) != 2) GTEST_SKIP() << "built without threads";
            fitBlockCaches(p);
            EXPECT_LE(blockCacheBytes(p), BLOCK_CACHE_BUDGET) << c.size.x << " " << stage;
            for (int d = 0; d < 3; ++d)
                EXPECT_EQ(p.splitComp[d], c.split[d])
                    << c.size.x << " stage " << stage << " dim " << d;
        }
    }
}

TEST(StageMemory, CachesSplitToFitABudgetGiveTheSameEstimate) {
    for (Vec3<int> size : {Vec3<int>{26, 22, 17}, Vec3<int>{64, 56, 1}}) {
        const std::vector<float> noisy = addWhiteNoise(phantom(size), 0.1f, 4u);
        const std::vector<float> psd = whitePsd(0.1f);
        std::vector<float> pilot(noisy.size());
        for (StageName stage : {HARD_THRESHOLDING, WIENER}) {
            Parameters whole = defaultParameters(size, 0.1f, stage == WIENER);
            whole.numThreads = 1;  // one order of aggregation: the results can be compared exactly
            for (bool& s : whole.splitComp) s = false;
            Parameters fitted = whole;
            fitBlockCaches(fitted, blockCacheBytes(whole) / 4);
            ASSERT_TRUE(fitted.splitComp[size.z > 1 ? 2 : 1]);
            ASSERT_LT(blockCacheBytes(fitted), blockCacheBytes(whole) / 4 + 1);
            std::vector<float> a(noisy.size(), 0.0f), b(noisy.size(), 0.0f);
            for (auto [params, out] : {std::make_pair(&whole, &a), std::make_pair(&fitted, &b)}) {
                const StageOutcome o =
                    stage == HARD_THRESHOLDING
                        ? kelvoInterfaceHT(noisy.data(), psd.data(), out->data(), nullptr, *params,
                                           noTransforms())
                        : kelvoInterfaceWie(noisy.data(), psd.data(), pilot.data(), out->data(),
                                            nullptr, *params, noTransforms());
                ASSERT_EQ(o, StageOutcome::Completed);
            }
            EXPECT_EQ(maxAbsDifference(a, b), 0.0f) << size.z << " stage " << stage;
            if (stage == HARD_THRESHOLDING) pilot = a;
        }
    }
}

}  // namespace
}  // namespace kelvo
