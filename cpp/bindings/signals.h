// Ctrl-C during a long kernel: the kernel runs with the GIL released and polls
// an Interrupt whose check re-takes the GIL briefly and lets the interpreter
// run its signal handlers. Only the main thread receives signals, so calls on
// other threads never stop and never wait for the GIL mid-kernel.
#pragma once

#include "bindings/convert.h"
#include "kernels/interrupt.h"

#include <nanobind/nanobind.h>

#include <atomic>
#include <memory>

namespace vis {

namespace nb = nanobind;

class SignalCheck {
public:
    // Construct with the GIL held.
    SignalCheck() {
        if (on_main_thread()) interrupt_ = Interrupt(&check, this);
    }
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;

    Interrupt* interrupt() { return &interrupt_; }
    bool stopped() const { return interrupt_.stopped(); }
    // With the GIL held, after the kernel returned: raise the handler's
    // exception (KeyboardInterrupt for Ctrl-C) when it asked the kernel to stop.
    void raise_if_stopped() const {
        if (error_) throw nb::python_error(*error_);
    }
    // Checks made so far by this module's calls, for tests.
    static inline std::atomic<size_t> checks_made{0};

private:
    static bool check(void* self) {
        nb::gil_scoped_acquire gil;
        checks_made.fetch_add(1, std::memory_order_relaxed);
        if (PyErr_CheckSignals() == 0) return false;
        // Taken off the thread state at once, so no call made before
        // raise_if_stopped() can clear it or mistake it for its own.
        static_cast<SignalCheck*>(self)->error_ = std::make_unique<nb::python_error>();
        return true;
    }
    static bool on_main_thread() {
        static const unsigned long main_ident = [] {
            nb::object t = nb::module_::import_("threading").attr("main_thread")();
            return static_cast<unsigned long>(py_count(t.attr("ident"), "main thread ident"));
        }();
        return PyThread_get_thread_ident() == main_ident;
    }

    Interrupt interrupt_;
    std::unique_ptr<nb::python_error> error_;
};

// The test hook `_signal_checks()`: how many checks the module's calls have made.
inline void bind_signal_checks(nb::module_& m) {
    m.def("_signal_checks", [] { return SignalCheck::checks_made.load(std::memory_order_relaxed); },
          nb::sig("def _signal_checks() -> int"),
          "Return the number of Ctrl-C checks this module's calls have made (a test hook).");
}

}  // namespace vis
