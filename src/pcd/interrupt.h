// Stopping a long read or write between blocks when its caller asks (Ctrl-C
// in Python): the caller installs a check for its own thread for the length
// of a call, and the engine's loops poll it.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>

namespace vantrel {

// Thrown by poll_interrupt() when the installed check asks to stop. Whoever
// installed the check knows why, and raises that instead.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// Installs `check` for the calling thread until destroyed (scopes nest; the
// outer one is back afterwards). `check(context)` returns true to stop; it
// runs on the thread that installed it, at most once per `interval`. No
// allocation, nothing thrown.
class InterruptScope {
public:
    using Check = bool (*)(void* context);
    InterruptScope(Check check, void* context,
                   std::chrono::steady_clock::duration interval = std::chrono::milliseconds(25)) noexcept;
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

    // Runs the check now (whatever the interval); true when it asked to stop.
    bool poll_now() noexcept;

private:
    friend void poll_interrupt();
    Check check_;
    void* context_;
    std::chrono::steady_clock::duration interval_;
    std::chrono::steady_clock::time_point next_;
    InterruptScope* outer_;
};

// Polls the check installed on this thread, if any and if its interval has
// passed: throws Interrupted when it asks to stop. Costs a clock read
// otherwise; a thread with no check (a pool worker) returns at once.
void poll_interrupt();

// Goes over `bytes` bytes in pieces of at most 64 MiB, polling between them,
// so that a caller who asks to stop waits for one piece at most:
// done = piece(at, size) for each, stopping after one that does fewer than
// its size. Returns the bytes done. Throws what poll_interrupt and `piece` throw.
template <typename Piece>
std::int64_t in_pieces(std::int64_t bytes, Piece&& piece) {
    constexpr std::int64_t most = std::int64_t{64} << 20;
    std::int64_t at = 0;
    while (at < bytes) {
        poll_interrupt();
        const std::int64_t size = bytes - at < most ? bytes - at : most;
        const std::int64_t done = piece(at, size);
        at += done;
        if (done < size) break;
    }
    return at;
}

}  // namespace vantrel
