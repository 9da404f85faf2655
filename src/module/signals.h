// Ctrl-C (any signal with a Python handler) during a long call: the engine
// runs without the interpreter lock, so Python cannot run the handler until
// the call returns. A SignalCheck lets the engine's loops ask, between blocks,
// whether the handler raised, and the call then raises what it raised.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>

#include <pybind11/pybind11.h>

#include "pcd/interrupt.h"

namespace vantrel {

// Made with the GIL held, before the engine runs. Only the main thread runs
// signal handlers, so on any other thread it never takes the lock.
class SignalCheck {
public:
    SignalCheck();
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;

    // Installs the check for the calling thread, which must be the one that
    // made this and must not hold the GIL while the scope lives.
    InterruptScope scope() noexcept { return InterruptScope(&SignalCheck::check, this); }

    // GIL held: raises what a handler raised, if the engine stopped for it.
    void rethrow() const;

    // GIL held: runs the handlers now and throws error_already_set when one
    // raises; for the last moment before a target is replaced.
    static void run_handlers();

private:
    static bool check(void* self) noexcept;

    bool main_thread_ = false;
    std::optional<pybind11::error_already_set> raised_;
};

// Runs `body` without the GIL, with a SignalCheck installed: what a signal
// handler raised meanwhile (Ctrl-C) is raised in place of what `body` threw,
// and after a `body` that returned too (a stop it passed over is still the
// caller's). GIL held on entry and on return.
template <typename Body>
auto without_gil(Body&& body) {
    SignalCheck signals;
    using Result = decltype(body());
    std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
    try {
        const pybind11::gil_scoped_release release;
        const InterruptScope scope = signals.scope();
        if constexpr (std::is_void_v<Result>) {
            body();
        } else {
            result.emplace(body());
        }
    } catch (...) {
        signals.rethrow();
        throw;
    }
    signals.rethrow();
    if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

// One call at a time on an object that threads share: a call made while
// another runs waits for it without the GIL, and a signal handler that raises
// (Ctrl-C) ends the wait with its exception. The holder may take it again.
// Built on a mutex and a condition variable, which ThreadSanitizer follows
// (it does not see a timed mutex's timed lock).
class CallLock {
public:
    // The call's hold on the lock, released when it goes.
    class Hold {
    public:
        explicit Hold(CallLock* lock) noexcept : lock_(lock) {}
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        CallLock* lock_;
    };

    // GIL held.
    Hold hold();

private:
    std::mutex mutex_;
    std::condition_variable released_;
    std::thread::id owner_;
    int depth_ = 0;  // how many holds the owner has
};

}  // namespace vantrel
