#include "pcd/thread_pool.h"

#include <algorithm>
#include <new>
#include <thread>

#include "pcd/interrupt.h"

#include <pthread.h>
#include <sched.h>

namespace vantrel {

class ThreadPool::Job {
public:
    explicit Job(std::function<void()> work) : work_(std::move(work)) {}

    enum class State { queued, running, done, taken_back };

    std::function<void()> work_;
    State state_ = State::queued;  // guarded by the pool's mutex
    std::exception_ptr error_;
};

namespace {

int usable_cpus() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// Below this much data, a load or a write keeps to its own thread.
constexpr std::int64_t default_min_bytes = std::int64_t{1} << 20;

// Jobs end under this variable; one for the process, as the pool is.
std::condition_variable& job_ended() {
    static std::condition_variable* ended = new std::condition_variable;
    return *ended;
}

}  // namespace

ThreadPool& ThreadPool::shared() {
    // Never destroyed: workers may still wait on it while the process exits.
    static ThreadPool* pool = [] {
        auto* made = new ThreadPool;
        pthread_atfork(before_fork, after_fork_parent, after_fork_child);
        return made;
    }();
    return *pool;
}

ThreadPool::ThreadPool() : threads_(usable_cpus()), min_bytes_(default_min_bytes) {}

void ThreadPool::set_threads(int n) {
    n = std::clamp(n, 1, most_threads);
    const std::lock_guard<std::mutex> lock(mutex_);
    threads_.store(n, std::memory_order_relaxed);
    const int extra = workers_ - retiring_ - (n - 1);
    if (extra > 0) {
        retiring_ += extra;
        wake_.notify_all();
    }
}

void ThreadPool::grow() {
    while (workers_ - retiring_ < threads() - 1) {
        std::thread([this] { work(); }).detach();
        ++workers_;
    }
}

void ThreadPool::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return retiring_ > 0 || !queue_.empty(); });
        if (retiring_ > 0) {
            --retiring_;
            --workers_;
            return;
        }
        const std::shared_ptr<Job> job = std::move(queue_.front());
        queue_.pop_front();
        job->state_ = Job::State::running;
        lock.unlock();
        try {
            job->work_();
        } catch (...) {
            job->error_ = std::current_exception();  // read by finish() after the state says done
        }
        lock.lock();
        job->state_ = Job::State::done;
        job_ended().notify_all();
    }
}

std::shared_ptr<ThreadPool::Job> ThreadPool::start(std::function<void()> work) {
    auto job = std::make_shared<Job>(std::move(work));
    const std::lock_guard<std::mutex> lock(mutex_);
    grow();
    queue_.push_back(job);
    wake_.notify_one();
    return job;
}

bool ThreadPool::finish(const std::shared_ptr<Job>& job) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (job->state_ == Job::State::queued) {
        queue_.erase(std::find(queue_.begin(), queue_.end(), job));
        job->state_ = Job::State::taken_back;
        return false;
    }
    job_ended().wait(lock, [&] { return job->state_ == Job::State::done; });
    if (job->error_) std::rethrow_exception(job->error_);
    return true;
}

namespace {

thread_local int held_helpers = -1;  // the helpers of the lease this thread holds; -1: none

}  // namespace

ThreadPool::Lease::Lease(ThreadPool& pool, int wanted) noexcept : pool_(pool), outer_(held_helpers < 0) {
    helpers_ = outer_ ? pool.reserve(wanted) : std::clamp(wanted, 0, held_helpers);
    if (outer_) held_helpers = helpers_;
}

ThreadPool::Lease::~Lease() {
    if (!outer_) return;
    pool_.in_use_.fetch_sub(1 + helpers_, std::memory_order_relaxed);
    held_helpers = -1;
}

int ThreadPool::reserve(int wanted) noexcept {
    int used = in_use_.load(std::memory_order_relaxed);
    int taken = 0;
    do {
        taken = std::clamp(threads() - used - 1, 0, wanted);
    } while (!in_use_.compare_exchange_weak(used, used + 1 + taken, std::memory_order_relaxed));
    return taken;
}

void ThreadPool::run(std::size_t n, const std::function<void(std::size_t)>& task, int limit,
                     const std::function<void()>& first) {
    const int allowed = limit > 0 ? std::min(limit, threads()) : threads();
    // With work of its own, the caller leaves every task to the workers at first.
    const std::size_t wanted =
        std::min<std::size_t>(n > 0 ? n - (first ? 0 : 1) : 0, static_cast<std::size_t>(allowed - 1));
    // The cores go to callers first: helpers only from the threads that
    // other calls (and their helpers) leave free, so that calls from several
    // threads at once each run on their own rather than queue for the same
    // workers.
    const Lease lease(*this, static_cast<int>(wanted));
    const auto helpers = static_cast<std::size_t>(lease.helpers());
    if (helpers == 0) {
        if (first) first();
        for (std::size_t i = 0; i < n; ++i) {
            poll_interrupt();
            task(i);
        }
        return;
    }
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex error_mutex;
    std::exception_ptr error;
    const auto body = [&] {
        for (;;) {
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= n || failed.load(std::memory_order_relaxed)) return;
            try {
                poll_interrupt();  // the caller's thread alone has a check to poll
                task(i);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(error_mutex);
                if (!error) error = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    };
    std::vector<std::shared_ptr<Job>> jobs;
    jobs.reserve(helpers);
    try {
        for (std::size_t h = 0; h < helpers; ++h) jobs.push_back(start(body));
        if (first) first();
    } catch (...) {
        // No memory for a job, or the caller's own work failed: what started
        // ends, then the failure goes on.
        failed.store(true);
        for (const auto& job : jobs) finish(job);
        throw;
    }
    body();
    for (const auto& job : jobs) finish(job);
    if (error) std::rethrow_exception(error);
}

void ThreadPool::before_fork() noexcept {
    shared().mutex_.lock();
}

void ThreadPool::after_fork_parent() noexcept {
    shared().mutex_.unlock();
}

void ThreadPool::after_fork_child() noexcept {
    // The child has none of the parent's workers, nor its other threads: the
    // pool starts empty, with no lease held, and the variables they waited on
    // are made anew.
    ThreadPool& pool = shared();
    pool.queue_.clear();
    pool.workers_ = 0;
    pool.retiring_ = 0;
    pool.in_use_.store(0, std::memory_order_relaxed);
    new (&pool.wake_) std::condition_variable;
    new (&job_ended()) std::condition_variable;
    pool.mutex_.unlock();
}

}  // namespace vantrel
