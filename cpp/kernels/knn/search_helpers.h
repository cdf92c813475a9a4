// Threads that help the caller through a neighbour search.
#pragma once

#include <functional>
#include <memory>
#include <vector>

// A standard library built without threads (libstdc++ for mingw-w64's win32
// thread model before GCC 13) has no std::thread: there every search runs on
// the caller's thread alone.
#if defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define VIS_KNN_THREADS 0
#else
#define VIS_KNN_THREADS 1
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace vis::knn {

// Helper threads, started before the search's data is built so that their
// start-up overlaps the building. They wait until `go` hands them their part
// of the work (the helper's number, 1, 2, ...), or until the helpers are
// dropped without work.
class SearchHelpers {
public:
    explicit SearchHelpers(unsigned count);
    ~SearchHelpers();
    SearchHelpers(const SearchHelpers&) = delete;
    SearchHelpers& operator=(const SearchHelpers&) = delete;

    unsigned count() const { return static_cast<unsigned>(threads_.size()); }
    // Runs job(1) .. job(count()) on the helpers; call at most once.
    void go(std::function<void(unsigned)> job);
    // Waits for every helper to finish.
    void join();

private:
#if VIS_KNN_THREADS
    enum class State { kWaiting, kGo, kQuit };
    void start(State next);
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable started_;
    State state_ = State::kWaiting;
#else
    std::vector<int> threads_;  // always empty
#endif
    std::function<void(unsigned)> job_;
};

// Helpers for a search over n points, or none where they would not pay.
std::unique_ptr<SearchHelpers> search_helpers(size_t n);

}  // namespace vis::knn
