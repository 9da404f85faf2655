// The workers that every load and write shares, so that one file uses every
// core without a thread per call.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace vantrel {

// One pool per process. threads() counts the calling thread: at most
// threads() - 1 workers run beside the callers, which take part in their own
// work, so a call never waits on a worker that is not there. Workers start
// when first needed; a forked child starts with none. All members may be
// called from any thread.
class ThreadPool {
public:
    // A piece of work a worker may take up. The caller that made it ends it
    // with finish(): waits if a worker runs it, takes it back if none has.
    class Job;

    static ThreadPool& shared();

    // A bound on what any call can use, far above any machine's CPUs.
    static constexpr int most_threads = 4096;

    // 1 to most_threads: the threads a call may use, its own included. The
    // default is the CPUs this process may run on (sched_getaffinity).
    void set_threads(int n);
    int threads() const noexcept { return threads_.load(std::memory_order_relaxed); }

    // Work smaller than this (in bytes of the data it touches) runs on the
    // calling thread alone: handing it out would cost more than it saves.
    void set_min_bytes(std::int64_t bytes) noexcept { min_bytes_.store(bytes, std::memory_order_relaxed); }
    std::int64_t min_bytes() const noexcept { return min_bytes_.load(std::memory_order_relaxed); }
    // True when work over `bytes` bytes is worth sharing.
    bool worth_sharing(std::int64_t bytes) const noexcept { return threads() > 1 && bytes >= min_bytes(); }

    // Runs task(0) ... task(n - 1) on the calling thread and on workers free
    // to help, with at most `limit` threads (0: threads()), and returns when
    // all have run. Helpers come only from the threads that other calls'
    // leases leave free: calls from several threads at once each
    // run on their own thread rather than wait for the same workers. The first exception a task throws is rethrown here
    // once every running task has ended; tasks not started by then are skipped. `first`, when given, runs on the
    // calling thread once the workers have their share, before the caller takes tasks: work of its own (reading the
    // next input, say) that overlaps theirs. What it throws ends the run as a task's failure does.
    void run(std::size_t n, const std::function<void(std::size_t)>& task, int limit = 0,
             const std::function<void()>& first = nullptr);

    // The calling thread, and up to `wanted` helpers beside it from the
    // threads not in use, held as in use until the lease ends. run() holds one
    // for itself; a call that runs jobs of its own (start()) holds one for
    // them, and asks for none when helpers() says none is free; a call made of
    // several runs holds one across them. Calls from other threads meanwhile
    // leave those threads to it. A lease taken while the thread holds one is
    // the same threads: at most the held lease's helpers, nothing reserved.
    class Lease {
    public:
        Lease(ThreadPool& pool, int wanted) noexcept;
        ~Lease();
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        int helpers() const noexcept { return helpers_; }

    private:
        ThreadPool& pool_;
        int helpers_;
        bool outer_;  // the thread's first: it reserved, and gives back
    };

    // Hands `work` to the workers, for a helper the caller's lease holds.
    // Throws std::bad_alloc.
    std::shared_ptr<Job> start(std::function<void()> work);
    // Ends a job: waits while a worker runs it and rethrows what it threw;
    // takes it back, unrun, when no worker has started it (returns false).
    bool finish(const std::shared_ptr<Job>& job);

private:
    ThreadPool();
    void work();
    void grow();  // with mutex_ held
    static void before_fork() noexcept;
    static void after_fork_parent() noexcept;
    static void after_fork_child() noexcept;

    // Reserves up to `wanted` helpers beside the caller from the threads not
    // in use; returns how many (the caller counts as one more in use).
    int reserve(int wanted) noexcept;

    std::atomic<int> threads_;
    std::atomic<std::int64_t> min_bytes_;
    std::atomic<int> in_use_{0};  // threads that leases hold: callers and their helpers
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Job>> queue_;
    int workers_ = 0;   // running, or about to
    int retiring_ = 0;  // workers told to end, after their job
};

}  // namespace vantrel
