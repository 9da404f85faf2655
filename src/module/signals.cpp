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

std::unique_lock<std::recursive_timed_mutex> CallLock::hold() {
    std::unique_lock<std::recursive_timed_mutex> lock(mutex_, std::try_to_lock);
    while (!lock.owns_lock()) {
        {
            const py::gil_scoped_release release;  // the holder may need the GIL to finish
            if (lock.try_lock_for(std::chrono::milliseconds(20))) break;
        }
        SignalCheck::run_handlers();
    }
    return lock;
}

}  // namespace vantrel
