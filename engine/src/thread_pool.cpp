#include "kelvo/engine/thread_pool.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <utility>

namespace kelvo {

ThreadPool THREAD_POOL;
std::mutex jobMutex;
std::mutex stageMutex;

struct ThreadPool::Node {
    Node* next;
    std::function<void()> job;
};

namespace {

// Tells a spinning core that it is waiting, so that a sibling hyper-thread (or, through the
// periodic yield below, another process on a small machine) gets the execution resources.
inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// Offers the core to another thread or process (nothing to offer in a build without threads,
// where no one else takes jobs).
inline void yieldCore() {
#if !defined(KELVO_NO_THREADS)
    std::this_thread::yield();
#endif
}

// Polls spend a few pause hints between yields: fast reaction while a job is being issued,
// but a worker that finds nothing to do for a while gives its core away.
constexpr int SPINS_BEFORE_YIELD = 64;

// Depth of loop-job indexes running on this thread (nested jobs run inline).
thread_local int loopJobDepth = 0;

struct LoopJobScope {
    LoopJobScope() { ++loopJobDepth; }
    ~LoopJobScope() { --loopJobDepth; }
};

}  // namespace

ThreadPool::~ThreadPool() {
    // Joining here (rather than requiring that clearPool ran) keeps an unpaired launchPool from
    // terminating the process when the library is unloaded.
    clearPool();
    while (jobs) {
        Node* n = jobs;
        jobs = n->next;
        delete n;
    }
}

void ThreadPool::launchPool(int n) {
#if defined(KELVO_NO_THREADS)
    // No threads may be started: one index per loop job, on the calling thread, so that a
    // stage divides its work exactly as a one-thread run does.
    (void)n;
    running.store(true);
    numThreads = 1;
}
#else
    if (n < 1) {
        const unsigned hw = std::thread::hardware_concurrency();
        n = hw > 0 ? static_cast<int>(hw) : 1;
    }
    // A second launch without clearPool would leave the first workers spinning for ever.
    if (!workers.empty()) clearPool();
    running.store(true);
    numThreads = n;
    if (n > 1) {
        workers.reserve(static_cast<std::size_t>(n - 1));
        for (int i = 0; i < n - 1; ++i) workers.emplace_back([this] { workerLoop(); });
    }
}

void ThreadPool::workerLoop() {
    std::function<void()> job;
    int idle = 0;
    while (running.load(std::memory_order_acquire)) {
        if (pending.load(std::memory_order_acquire) > 0 && getJob(job)) {
            job();
            job = nullptr;
            done.fetch_add(1, std::memory_order_acq_rel);
            idle = 0;
            continue;
        }
        if (++idle < SPINS_BEFORE_YIELD) {
            cpuRelax();
        } else {
            idle = 0;
            yieldCore();
        }
    }
}

#endif  // KELVO_NO_THREADS

bool ThreadPool::getJob(std::function<void()>& out) {
    std::lock_guard<std::mutex> lock(jobMutex);
    if (!jobs) return false;
    Node* n = jobs;
    jobs = n->next;
    pending.fetch_sub(1, std::memory_order_acq_rel);
    out = std::move(n->job);
    delete n;
    return true;
}

bool ThreadPool::insideLoopJob() { return loopJobDepth > 0; }

void ThreadPool::runIndex(const std::function<void(int)>& f, int i) {
    LoopJobScope scope;
    try {
        f(i);
    } catch (...) {
        std::lock_guard<std::mutex> lock(errorMutex);
        if (!error) error = std::current_exception();
    }
}

void ThreadPool::rethrowCaptured() {
    std::exception_ptr e;
    {
        std::lock_guard<std::mutex> lock(errorMutex);
        e = std::exchange(error, nullptr);
    }
    if (e) std::rethrow_exception(e);
}

void ThreadPool::newLoopJob(const std::function<void(int)>& f) {
    bool expected = true;
    if (numThreads != 1 && free.compare_exchange_strong(expected, false)) {
        done.store(0);
        const int last = numThreads - 1;
        for (int i = 0; i < last; ++i) {
            // The node refers to f: f outlives the node because this call waits for every
            // index before it returns.
            Node* n = nullptr;
            try {
                n = new Node{nullptr, [this, &f, i] { runIndex(f, i); }};
            } catch (...) {
                n = nullptr;
            }
            if (!n) {  // no memory for the node: run the index here rather than lose it
                runIndex(f, i);
                done.fetch_add(1, std::memory_order_acq_rel);
                continue;
            }
            std::lock_guard<std::mutex> lock(jobMutex);
            n->next = jobs;
            jobs = n;
            pending.fetch_add(1, std::memory_order_acq_rel);
        }
        runIndex(f, last);
        done.fetch_add(1, std::memory_order_acq_rel);
        // Help with the indexes that no worker has taken (all of them when there are no
        // workers, e.g. a pool that was never launched).
        std::function<void()> job;
        int idle = 0;
        while (done.load(std::memory_order_acquire) < numThreads) {
            if (getJob(job)) {
                job();
                job = nullptr;
                done.fetch_add(1, std::memory_order_acq_rel);
            } else if (++idle < SPINS_BEFORE_YIELD) {
                cpuRelax();
            } else {
                idle = 0;
                yieldCore();
            }
        }
        free.store(true);
        rethrowCaptured();
        return;
    }
    // Nested call (a loop job is in progress) or a single thread: every index inline, in
    // order. An exception still lets the remaining indexes run, like the pooled path.
    std::exception_ptr first;
    LoopJobScope scope;
    for (int i = 0; i < numThreads; ++i) {
        try {
            f(i);
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    if (first) std::rethrow_exception(first);
}

void ThreadPool::clearPool() {
    running.store(false);
#if !defined(KELVO_NO_THREADS)
    for (std::thread& t : workers) {
        if (t.joinable()) t.join();
    }
    workers.clear();
#endif
}

}  // namespace kelvo
