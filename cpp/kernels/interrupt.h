// Cooperative stopping of long kernels. A kernel calls `poll()` between
// blocks of work (a row of pixels, a few hundred query points); the caller's
// check runs at most every `kInterval`, so a kernel that polls often pays only
// a clock read. Once the check says stop, the kernel returns early and its
// outputs are unspecified: the caller discards them and reports why.
#pragma once

#include <chrono>

namespace vis {

class Interrupt {
public:
    using Check = bool (*)(void* ctx);  // true: stop now

    Interrupt() = default;
    Interrupt(Check check, void* ctx) : check_(check), ctx_(ctx), next_(Clock::now() + kInterval) {}

    // True once the caller asked to stop.
    bool poll() {
        if (!check_ || stopped_) return stopped_;
        const auto t = Clock::now();
        if (t < next_) return false;
        stopped_ = check_(ctx_);
        next_ = Clock::now() + kInterval;
        return stopped_;
    }
    bool stopped() const { return stopped_; }

private:
    using Clock = std::chrono::steady_clock;
    // Ctrl-C must take effect within 0.2 s; 20 ms keeps the GIL round trips of
    // the caller's check to a few dozen per second.
    static constexpr std::chrono::milliseconds kInterval{20};

    Check check_ = nullptr;
    void* ctx_ = nullptr;
    Clock::time_point next_{};
    bool stopped_ = false;
};

// For kernels that take an optional Interrupt.
inline bool stop_requested(Interrupt* stop) { return stop && stop->poll(); }

}  // namespace vis
