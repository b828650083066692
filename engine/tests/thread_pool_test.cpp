// Thread pool: index coverage, inline execution rules, nesting and exception transport.
#include "kelvo/engine/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kelvo {
namespace {

#if defined(KELVO_NO_THREADS)

// Without threads a launched pool has one index whatever it was asked, so stages divide their
// work as one-thread runs do; a pool never launched still runs all its indexes, on the caller.
TEST(ThreadPool, WithoutThreadsEveryJobRunsOnTheCallerAsOneThread) {
    for (int n : {-1, 0, 1, 4}) {
        ThreadPool pool;
        pool.launchPool(n);
        EXPECT_EQ(pool.getNumThreads(), 1) << "n = " << n;
        std::vector<int> order;
        pool.newLoopJob([&](int i) { order.push_back(i); });
        EXPECT_EQ(order, std::vector<int>({0})) << "n = " << n;
        EXPECT_THROW(pool.newLoopJob([](int) { throw std::runtime_error("index failed"); }),
                     std::runtime_error);
        pool.clearPool();
    }
    ThreadPool unlaunched;
    std::set<int> seen;
    unlaunched.newLoopJob([&](int i) { seen.insert(i); });
    EXPECT_EQ(seen, (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    std::function<void()> job;
    EXPECT_FALSE(unlaunched.getJob(job));
}

#else

TEST(ThreadPool, OneThreadRunsEveryIndexInlineInOrder) {
    ThreadPool pool;
    pool.launchPool(1);
    EXPECT_EQ(pool.getNumThreads(), 1);
    std::vector<int> order;
    std::set<std::thread::id> threads;
    pool.newLoopJob([&](int i) {
        order.push_back(i);
        threads.insert(std::this_thread::get_id());
    });
    EXPECT_EQ(order, std::vector<int>({0}));
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(*threads.begin(), std::this_thread::get_id());
    pool.clearPool();
}

TEST(ThreadPool, NonPositiveCountUsesTheHardwareThreads) {
    const unsigned hw = std::thread::hardware_concurrency();
    const int expected = hw > 0 ? static_cast<int>(hw) : 1;
    for (int n : {0, -1, -7}) {
        ThreadPool pool;
        pool.launchPool(n);
        EXPECT_EQ(pool.getNumThreads(), expected) << "n = " << n;
        pool.clearPool();
    }
}

TEST(ThreadPool, EveryIndexRunsExactlyOnceUnderRepeatedUse) {
    for (int threads : {2, 3, 5}) {
        ThreadPool pool;
        pool.launchPool(threads);
        const int rounds = 300;
        std::vector<std::atomic<int> > hits(static_cast<std::size_t>(threads));
        for (auto& h : hits) h = 0;
        std::atomic<int> outOfRange{0};
        for (int r = 0; r < rounds; ++r) {
            pool.newLoopJob([&](int i) {
                if (i < 0 || i >= threads) {
                    ++outOfRange;
                    return;
                }
                ++hits[static_cast<std::size_t>(i)];
            });
            // After the call returns every index of this round has finished.
            for (int i = 0; i < threads; ++i)
                ASSERT_EQ(hits[static_cast<std::size_t>(i)].load(), r + 1) << "index " << i;
        }
        EXPECT_EQ(outOfRange.load(), 0);
        pool.clearPool();
    }
}

TEST(ThreadPool, JobsSeeTheCallersWritesAndTheCallerSeesTheirs) {
    ThreadPool pool;
    pool.launchPool(4);
    std::vector<long long> input(4000), output(4000, 0);
    for (std::size_t k = 0; k < input.size(); ++k) input[k] = static_cast<long long>(k) * 3;
    pool.newLoopJob([&](int t) {
        for (std::size_t k = static_cast<std::size_t>(t); k < input.size(); k += 4)
            output[k] = input[k] + 1;
    });
    for (std::size_t k = 0; k < input.size(); ++k) ASSERT_EQ(output[k], input[k] + 1);
    pool.clearPool();
}

TEST(ThreadPool, NestedJobRunsAllIndexesOnTheIssuingThreadInOrder) {
    ThreadPool pool;
    pool.launchPool(3);
    std::mutex m;
    std::vector<std::vector<int> > inner(3);
    std::atomic<int> foreign{0};
    pool.newLoopJob([&](int outer) {
        const std::thread::id me = std::this_thread::get_id();
        std::vector<int> seen;
        pool.newLoopJob([&](int i) {
            if (std::this_thread::get_id() != me) ++foreign;
            seen.push_back(i);
        });
        std::lock_guard<std::mutex> lock(m);
        inner[static_cast<std::size_t>(outer)] = seen;
    });
    EXPECT_EQ(foreign.load(), 0);
    for (const auto& s : inner) EXPECT_EQ(s, std::vector<int>({0, 1, 2}));
    pool.clearPool();
}

TEST(ThreadPool, AnExceptionIsRethrownAfterEveryIndexFinished) {
    for (int threads : {1, 4}) {
        ThreadPool pool;
        pool.launchPool(threads);
        std::atomic<int> ran{0};
        EXPECT_THROW(pool.newLoopJob([&](int i) {
            ++ran;
            if (i == 0 || i == threads - 1) throw std::runtime_error("index failed");
        }),
                     std::runtime_error);
        EXPECT_EQ(ran.load(), threads);
        // The pool is usable again afterwards, with no exception left over.
        ran = 0;
        EXPECT_NO_THROW(pool.newLoopJob([&](int) { ++ran; }));
        EXPECT_EQ(ran.load(), threads);
        pool.clearPool();
    }
}

TEST(ThreadPool, AnExceptionInANestedJobReachesTheOuterCaller) {
    ThreadPool pool;
    pool.launchPool(2);
    std::atomic<int> innerRan{0};
    EXPECT_THROW(pool.newLoopJob([&](int) {
        pool.newLoopJob([&](int i) {
            ++innerRan;
            if (i == 0) throw std::logic_error("inner");
        });
    }),
                 std::logic_error);
    EXPECT_EQ(innerRan.load(), 4);  // both inner indexes ran in both outer indexes
    pool.clearPool();
}

TEST(ThreadPool, RelaunchAndDestructionWithoutClearAreSafe) {
    ThreadPool pool;
    pool.launchPool(3);
    pool.launchPool(2);  // replaces the first workers instead of leaving them spinning
    std::atomic<int> ran{0};
    pool.newLoopJob([&](int) { ++ran; });
    EXPECT_EQ(ran.load(), 2);
    // No clearPool: the destructor joins the workers.
}

TEST(ThreadPool, GlobalPoolRunsJobsBetweenLaunchAndClear) {
    THREAD_POOL.launchPool(2);
    std::atomic<int> sum{0};
    THREAD_POOL.newLoopJob([&](int i) { sum += i + 1; });
    EXPECT_EQ(sum.load(), 3);
    THREAD_POOL.clearPool();
    std::function<void()> job;
    EXPECT_FALSE(THREAD_POOL.getJob(job));  // nothing left behind
}

#endif  // KELVO_NO_THREADS

}  // namespace
}  // namespace kelvo
