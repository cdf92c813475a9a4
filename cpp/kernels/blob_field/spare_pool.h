// Spare work arrays kept for later calls, so that they reuse memory that is
// already mapped. One store for the whole process, shared under a lock rather
// than kept per thread: mingw-w64 frees a thread_local's storage before its
// destructor runs at thread exit (emulated TLS), so a thread_local array is
// freed twice and corrupts the heap of every thread that used it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace vis::blob {

template <class Array>
class SparePool {
public:
    explicit SparePool(size_t max_bytes) : max_bytes_(max_bytes) {}
    SparePool(const SparePool&) = delete;
    SparePool& operator=(const SparePool&) = delete;

    // The largest spare array, the one most likely to need no new memory; an
    // empty one when none is spare. The caller owns it until it gives it back.
    Array take() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (spare_.empty()) return Array();
        auto best = std::max_element(spare_.begin(), spare_.end(),
                                     [](const Array& a, const Array& b) { return a.capacity() < b.capacity(); });
        Array a = std::move(*best);
        spare_.erase(best);
        bytes_ -= bytes(a);
        return a;
    }

    // Keeps `a` for a later take, unless the pool would then hold more than
    // its limit or there is no memory to note it: then `a` is left to be freed.
    void give_back(Array&& a) noexcept {
        const size_t n = bytes(a);
        if (n == 0) return;
        try {
            std::lock_guard<std::mutex> lock(mutex_);
            if (bytes_ + n > max_bytes_) return;
            spare_.push_back(std::move(a));
            bytes_ += n;
        } catch (...) {
        }
    }

private:
    static size_t bytes(const Array& a) { return a.capacity() * sizeof(typename Array::value_type); }

    std::mutex mutex_;
    std::vector<Array> spare_;
    size_t bytes_ = 0;
    const size_t max_bytes_;
};

}  // namespace vis::blob
