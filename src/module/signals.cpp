#include "module/signals.h"

#include <chrono>

#include <pythread.h>

namespace py = pybind11;

namespace vantrel {

SignalCheck::SignalCheck() {
    static const unsigned long main_ident =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    main_thread_ = PyThread_get_thread_ident() == main_ident;
}

bool SignalCheck::check(void* self) noexcept {
    auto* signals = static_cast<SignalCheck*>(self);
    if (!signals->main_thread_ || signals->raised_) return signals->raised_.has_value();
    const py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return false;
    signals->raised_.emplace();  // takes the exception the handler raised
    return true;
}

void SignalCheck::rethrow() const {
    if (raised_) throw *raised_;
}

void SignalCheck::run_handlers() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

CallLock::Hold CallLock::hold() {
    const std::thread::id me = std::this_thread::get_id();
    for (;;) {
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            if (depth_ == 0 || owner_ == me) {
                owner_ = me;
                ++depth_;
                return Hold(this);
            }
        }
        {
            const py::gil_scoped_release release;  // the holder may need the GIL to finish
            std::unique_lock<std::mutex> guard(mutex_);
            released_.wait_for(guard, std::chrono::milliseconds(20), [&] { return depth_ == 0; });
        }
        SignalCheck::run_handlers();
    }
}

CallLock::Hold::~Hold() {
    {
        const std::lock_guard<std::mutex> guard(lock_->mutex_);
        if (--lock_->depth_ > 0) return;
        lock_->owner_ = std::thread::id();
    }
    lock_->released_.notify_all();
}

}  // namespace vantrel
