#include "pcd/interrupt.h"

namespace vantrel {
namespace {

thread_local InterruptScope* current = nullptr;

}  // namespace

InterruptScope::InterruptScope(Check check, void* context, std::chrono::steady_clock::duration interval) noexcept
    : check_(check),
      context_(context),
      interval_(interval),
      next_(std::chrono::steady_clock::now() + interval),
      outer_(current) {
    current = this;
}

InterruptScope::~InterruptScope() {
    current = outer_;
}

bool InterruptScope::poll_now() noexcept {
    next_ = std::chrono::steady_clock::now() + interval_;
    return check_(context_);
}

void poll_interrupt() {
    InterruptScope* const scope = current;
    if (scope == nullptr || std::chrono::steady_clock::now() < scope->next_) return;
    if (scope->poll_now()) throw Interrupted();
}

}  // namespace vantrel
