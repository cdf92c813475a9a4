#include "kernels/knn/search_helpers.h"

#include <algorithm>

namespace vis::knn {

#if VIS_KNN_THREADS

SearchHelpers::SearchHelpers(unsigned count) {
    for (unsigned b = 1; b <= count; ++b) {
        try {
            threads_.emplace_back([this, b] {
                State s;
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    started_.wait(lock, [this] { return state_ != State::kWaiting; });
                    s = state_;
                }
                if (s == State::kGo) job_(b);
            });
        } catch (...) {  // no thread to be had: the others take its rows
            break;
        }
    }
}

SearchHelpers::~SearchHelpers() {
    start(State::kQuit);  // no effect once the helpers were let go
    join();
}

void SearchHelpers::start(State next) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::kWaiting) return;
        state_ = next;
    }
    started_.notify_all();
}

void SearchHelpers::go(std::function<void(unsigned)> job) {
    job_ = std::move(job);  // read by the helpers only after the state changes under the lock
    start(State::kGo);
}

void SearchHelpers::join() {
    for (auto& t : threads_)
        if (t.joinable()) t.join();
}

// None below a few thousand points, where a search takes well under a
// millisecond and starting a thread would cost more than it saves; otherwise
// one per further processor, at most seven (the search is short and memory
// bound: more gain little).
std::unique_ptr<SearchHelpers> search_helpers(size_t n) {
    constexpr size_t kThreadedPoints = 4096;
    constexpr unsigned kMaxThreads = 8;
    if (n < kThreadedPoints) return nullptr;
    const unsigned nt = std::min(std::thread::hardware_concurrency(), kMaxThreads);
    return nt > 1 ? std::make_unique<SearchHelpers>(nt - 1) : nullptr;
}

#else

SearchHelpers::SearchHelpers(unsigned) {}
SearchHelpers::~SearchHelpers() = default;
void SearchHelpers::go(std::function<void(unsigned)> job) { job_ = std::move(job); }
void SearchHelpers::join() {}
std::unique_ptr<SearchHelpers> search_helpers(size_t) { return nullptr; }

#endif

}  // namespace vis::knn
