// The process-wide registry of native borrows of NumPy arrays, shared by every extension module
// that follows the same protocol. It lives in a capsule named `_RUST_NUMPY_BORROW_CHECKING_API`
// on NumPy's multiarray module; whichever module needs it first creates it, and the others use
// the functions in its record. This module only takes shared (read) borrows.
#pragma once

#include <cstdint>

#include "ext/python.hpp"

namespace marlune::py::numpy {

extern "C" {
using BorrowFn = int (*)(void* state, PyObject* array);
using ReturnFn = void (*)(void* state, PyObject* array);

// The record in the capsule: six pointer-sized words, C calling convention throughout.
struct BorrowRecord {
    std::uint64_t version;
    void* state;
    // 0 granted, -1 a conflicting borrow is held ("AlreadyBorrowed"),
    // -2 the array is not writeable ("NotWriteable", exclusive borrows only).
    // This module's registry also answers -1 when it runs out of memory while registering a
    // borrow; nothing is registered then.
    BorrowFn borrow_shared;
    BorrowFn borrow_exclusive;
    ReturnFn return_shared;
    ReturnFn return_exclusive;
};
}

inline constexpr int borrow_granted = 0;
inline constexpr int already_borrowed = -1;
inline constexpr int not_writeable = -2;

// The record in use, found or created the first time. Failures are InternalFailure
// "Internal borrow checking API error: <rendering>"; nothing is kept, so the next call retries.
// Borrowed; valid for the rest of the process.
const BorrowRecord* borrow_record();

// The record if an earlier call found it, else null.
const BorrowRecord* borrow_record_if_found() noexcept;

}  // namespace marlune::py::numpy
