// The process-wide pool that runs indexed loop jobs.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <vector>
#if !defined(KELVO_NO_THREADS)
#include <thread>
#endif

namespace kelvo {

/// Runs loop jobs: f(i) for every i in 0 .. getNumThreads()-1, spread over the workers and
/// the calling thread. A stage starts the workers with `launchPool` and joins them with
/// `clearPool`. A loop job issued from inside a running job runs all its indexes inline,
/// in order. An exception thrown by f on any thread is captured (the first one wins), the
/// remaining indexes still run to completion, and it is rethrown on the caller of
/// `newLoopJob` after all indexes have finished.
///
/// Built without threads (KELVO_NO_THREADS, the CMake option KELVO_THREADS=OFF) the pool has
/// no workers: `launchPool` sets one thread whatever it is asked, so every loop job runs on the
/// calling thread and a stage's results equal those of a one-thread run.
class ThreadPool {
public:
    ThreadPool() = default;
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    void launchPool(int n);
    void newLoopJob(const std::function<void(int)>& f);
    bool getJob(std::function<void()>& out);
    void clearPool();
    int getNumThreads() const { return numThreads; }
    /// True on a thread while it runs an index of a loop job (a worker or the caller of
    /// `newLoopJob`). A stage started there would wait for the stage that runs the job.
    static bool insideLoopJob();

private:
    struct Node;
    Node* jobs = nullptr;
#if !defined(KELVO_NO_THREADS)
    std::vector<std::thread> workers;
#endif
    std::atomic<bool> free{true};
    std::atomic<int> done{0};
    int numThreads = 8;
    std::atomic<bool> running{false};
    // Implementation details below.
    std::atomic<int> pending{0};  ///< nodes in the job list: lets idle workers skip the lock
    std::mutex errorMutex;        ///< guards `error`
    std::exception_ptr error;     ///< first exception of the current loop job

#if !defined(KELVO_NO_THREADS)
    void workerLoop();
#endif
    /// Runs f(i), capturing an exception into `error` (the first one wins).
    void runIndex(const std::function<void(int)>& f, int i);
    /// Rethrows and clears the captured exception, if any.
    void rethrowCaptured();
};

extern ThreadPool THREAD_POOL;
extern std::mutex jobMutex;
/// Held by a stage from its `launchPool` to its `clearPool`: the one pool serves one stage at
/// a time, so stages started from several threads at once run one after another.
extern std::mutex stageMutex;

/// Owns the process-wide pool for one stage and joins its workers however the stage ends.
/// Stages called from several threads at once wait for each other here. A stage started from
/// inside a running stage (a progress hook calling back into the engine) would wait for ever
/// for the stage that called it, so it is refused.
struct PoolSession {
    explicit PoolSession(int n) : owner(acquire()) { THREAD_POOL.launchPool(n); }
    ~PoolSession() { THREAD_POOL.clearPool(); }
    static std::unique_lock<std::mutex> acquire() {
        if (ThreadPool::insideLoopJob()) {
            throw std::logic_error(
                "a stage cannot be started from inside a running stage "
                "(for example from its progress callback)");
        }
        return std::unique_lock<std::mutex>(stageMutex);
    }
    std::unique_lock<std::mutex> owner;
    PoolSession(const PoolSession&) = delete;
    PoolSession& operator=(const PoolSession&) = delete;
};

}  // namespace kelvo
