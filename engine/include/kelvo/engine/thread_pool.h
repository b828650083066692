// The process-wide pool that runs indexed loop jobs.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvo {

/// Runs loop jobs: f(i) for every i in 0 .. getNumThreads()-1, spread over the workers and
/// the calling thread. A stage starts the workers with `launchPool` and joins them with
/// `clearPool`. A loop job issued from inside a running job runs all its indexes inline,
/// in order. An exception thrown by f on any thread is captured (the first one wins), the
/// remaining indexes still run to completion, and it is rethrown on the caller of
/// `newLoopJob` after all indexes have finished.
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

private:
    struct Node;
    Node* jobs = nullptr;
    std::vector<std::thread> workers;
    std::atomic<bool> free{true};
    std::atomic<int> done{0};
    int numThreads = 8;
    std::atomic<bool> running{false};
    // Implementation details below.
    std::atomic<int> pending{0};  ///< nodes in the job list: lets idle workers skip the lock
    std::mutex errorMutex;        ///< guards `error`
    std::exception_ptr error;     ///< first exception of the current loop job

    void workerLoop();
    /// Runs f(i), capturing an exception into `error` (the first one wins).
    void runIndex(const std::function<void(int)>& f, int i);
    /// Rethrows and clears the captured exception, if any.
    void rethrowCaptured();
};

extern ThreadPool THREAD_POOL;
extern std::mutex jobMutex;

}  // namespace kelvo
