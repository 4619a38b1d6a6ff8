// The per-instance borrow flag: many readers or one writer, never waiting.
//
// The flag is 0 when free, n > 0 with n readers, -1 with a writer. It is atomic because
// process_samples and resonate hold their writer borrow while the interpreter lock is released,
// so another thread may test the flag at the same moment.
#pragma once

#include <atomic>
#include <cstdint>

#include "py_error.hpp"

namespace marlune::py {

using BorrowFlag = std::atomic<std::int64_t>;

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
        std::int64_t current = flag_.load(std::memory_order_relaxed);
        do {
            if (current == -1) throw DescribedError(PyExc_RuntimeError, "Already mutably borrowed");
        } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
    }
    ~SharedBorrow() { flag_.fetch_sub(1, std::memory_order_release); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
        std::int64_t expected = 0;
        if (!flag_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            throw DescribedError(PyExc_RuntimeError, "Already borrowed");
        }
    }
    ~ExclusiveBorrow() { flag_.store(0, std::memory_order_release); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

}  // namespace marlune::py
