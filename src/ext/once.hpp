// A process-wide value computed at first need, at most once successfully.
//
// A thread that finds the value missing lets go of the interpreter lock before it waits for the
// cell's mutex, and takes the lock back once it holds the mutex; so the thread that computes
// holds both, and no thread ever waits for the mutex while holding the interpreter lock (which
// the computing thread may need, for example while importing). A failed computation stores
// nothing and the next caller starts again. Once filled, a read is one atomic load.
#pragma once

#include <atomic>
#include <mutex>

#include "python.hpp"

namespace marlune::py {

template <class T>
class OnceCell {
public:
    // Returns the stored value, computing it with `compute()` (interpreter lock held) if absent.
    // Exceptions from `compute` propagate and leave the cell empty.
    template <class F>
    T get_or_init(F&& compute) {
        if (ready_.load(std::memory_order_acquire)) return value_;
        PyThreadState* state = PyEval_SaveThread();
        std::unique_lock lock(mutex_);
        PyEval_RestoreThread(state);
        if (!ready_.load(std::memory_order_relaxed)) {
            value_ = compute();
            ready_.store(true, std::memory_order_release);
        }
        return value_;
    }

private:
    std::atomic<bool> ready_{false};
    std::mutex mutex_;
    T value_{};
};

}  // namespace marlune::py
