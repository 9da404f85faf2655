// The pool every load and write shares: limits, failures, reentry, jobs.
#include <doctest/doctest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "pcd/thread_pool.h"

namespace {

// Sets the pool's threads for one test, and back.
struct Threads {
    explicit Threads(int n) : before(vantrel::ThreadPool::shared().threads()) {
        vantrel::ThreadPool::shared().set_threads(n);
    }
    ~Threads() { vantrel::ThreadPool::shared().set_threads(before); }
    int before;
};

}  // namespace

TEST_CASE("every task runs once, on at most `limit` threads at a time") {
    const Threads threads(4);
    vantrel::ThreadPool& pool = vantrel::ThreadPool::shared();
    for (const int limit : {0, 1, 2, 4}) {
        std::vector<std::atomic<int>> runs(200);
        std::atomic<int> running{0}, most{0};
        pool.run(
            runs.size(),
            [&](std::size_t t) {
                const int now = ++running;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                ++runs[t];
                --running;
            },
            limit);
        for (const auto& r : runs) CHECK(r.load() == 1);
        CHECK(most.load() <= (limit == 0 ? 4 : limit));
    }
}

TEST_CASE("the first exception a task throws comes back to the caller, and the pool goes on") {
    const Threads threads(3);
    vantrel::ThreadPool& pool = vantrel::ThreadPool::shared();
    std::atomic<int> ran{0};
    CHECK_THROWS_WITH_AS(pool.run(100,
                                  [&](std::size_t t) {
                                      ++ran;
                                      if (t == 10) throw std::runtime_error("task 10");
                                  }),
                         "task 10", std::runtime_error);
    CHECK(ran.load() <= 100);
    std::atomic<int> after{0};
    pool.run(50, [&](std::size_t) { ++after; });
    CHECK(after.load() == 50);
}

TEST_CASE("`first` runs on the caller beside the tasks; what it throws ends the run") {
    const Threads threads(2);
    vantrel::ThreadPool& pool = vantrel::ThreadPool::shared();
    const auto caller = std::this_thread::get_id();
    std::thread::id first_ran_on;
    std::atomic<int> ran{0};
    pool.run(8, [&](std::size_t) { ++ran; }, 0, [&] { first_ran_on = std::this_thread::get_id(); });
    CHECK((first_ran_on == caller));
    CHECK(ran.load() == 8);
    CHECK_THROWS_AS(pool.run(8, [](std::size_t) {}, 0, [] { throw std::logic_error("first"); }), std::logic_error);
}

TEST_CASE("a task may run work on the pool itself without waiting on itself") {
    const Threads threads(2);
    vantrel::ThreadPool& pool = vantrel::ThreadPool::shared();
    std::atomic<int> inner{0};
    pool.run(4, [&](std::size_t) { pool.run(4, [&](std::size_t) { ++inner; }); });
    CHECK(inner.load() == 16);
}

TEST_CASE("a job is run by a worker or taken back, and rethrows what it threw") {
    const Threads threads(2);
    vantrel::ThreadPool& pool = vantrel::ThreadPool::shared();
    std::atomic<bool> done{false};
    auto job = pool.start([&] { done = true; });
    if (pool.finish(job)) CHECK(done.load());
    std::atomic<bool> started{false};
    auto failing = pool.start([&] {
        started = true;
        throw std::runtime_error("job");
    });
    for (int i = 0; i < 5000 && !started; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    bool threw = false;
    try {
        pool.finish(failing);
    } catch (const std::runtime_error&) {
        threw = true;
    }
    CHECK(threw == started.load());  // a job a worker ran gives back what it threw
}

TEST_CASE("the thread count is clamped to what a call can use") {
    const Threads threads(1);
    vantrel::ThreadPool& pool = vantrel::ThreadPool::shared();
    pool.set_threads(0);
    CHECK(pool.threads() == 1);
    pool.set_threads(1 << 20);
    CHECK(pool.threads() == vantrel::ThreadPool::most_threads);
    pool.set_threads(1);
    CHECK(!pool.worth_sharing(INT64_MAX));
}

TEST_CASE("a call that finds every thread in use runs alone, and the threads go back when calls end") {
    const Threads threads(2);
    vantrel::ThreadPool& pool = vantrel::ThreadPool::shared();
    std::atomic<int> waiting{0};
    std::atomic<bool> release{false};
    // A first call takes the caller's thread and the one worker, and holds them.
    std::thread first([&] {
        pool.run(2, [&](std::size_t) {
            ++waiting;
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    });
    while (waiting < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // A second call from another thread: every task on its own thread, even
    // once the worker is free again (it asked for none).
    const auto caller = std::this_thread::get_id();
    std::atomic<int> elsewhere{0};
    pool.run(40, [&](std::size_t t) {
        if (t == 0) {
            release = true;
            first.join();
        }
        if (std::this_thread::get_id() != caller) ++elsewhere;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    });
    CHECK(elsewhere.load() == 0);
    // Both calls ended: the next one has its helper again.
    std::atomic<int> helped{0};
    pool.run(40, [&](std::size_t) {
        if (std::this_thread::get_id() != caller) ++helped;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    });
    CHECK(helped.load() > 0);
}

TEST_CASE("a lease holds its caller and helpers as in use until it ends, whatever other threads ask") {
    const Threads threads(3);
    vantrel::ThreadPool& pool = vantrel::ThreadPool::shared();
    const auto helpers_elsewhere = [&](int wanted) {
        int got = -1;
        std::thread([&] { got = vantrel::ThreadPool::Lease(pool, wanted).helpers(); }).join();
        return got;
    };
    std::atomic<bool> held{false}, release{false};
    std::thread decoding([&] {  // a caller alone still counts
        const vantrel::ThreadPool::Lease lease(pool, 0);
        held = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    CHECK(helpers_elsewhere(5) == 1);
    {
        const vantrel::ThreadPool::Lease placing(pool, 1);
        CHECK(placing.helpers() == 1);
        CHECK(helpers_elsewhere(5) == 0);
        {
            // Within it, the same threads: no more, and nothing given back at its end.
            const vantrel::ThreadPool::Lease inner(pool, 5);
            CHECK(inner.helpers() == 1);
        }
        CHECK(helpers_elsewhere(5) == 0);
        // A run beside them keeps to its own thread.
        std::atomic<int> elsewhere{0};
        std::thread([&] {
            const auto runner = std::this_thread::get_id();
            pool.run(20, [&](std::size_t) {
                if (std::this_thread::get_id() != runner) ++elsewhere;
            });
        }).join();
        CHECK(elsewhere.load() == 0);
    }
    release = true;
    decoding.join();
    CHECK(helpers_elsewhere(5) == 2);
}

TEST_CASE("a child forked while another thread holds a lease has every thread to lease") {
    const Threads threads(2);
    vantrel::ThreadPool& pool = vantrel::ThreadPool::shared();
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        const vantrel::ThreadPool::Lease lease(pool, 1);
        held = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const pid_t child = fork();
    if (child == 0) _exit(vantrel::ThreadPool::Lease(pool, 1).helpers() == 1 ? 0 : 1);
    release = true;
    holder.join();
    int status = -1;
    REQUIRE(waitpid(child, &status, 0) == child);
    CHECK(WIFEXITED(status));
    CHECK(WEXITSTATUS(status) == 0);
}
