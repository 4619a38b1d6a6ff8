// The process-wide registry of native borrows of NumPy arrays, shared by every extension module
// that follows the same protocol. It lives in a capsule named `_RUST_NUMPY_BORROW_CHECKING_API`
// on NumPy's multiarray module; whichever module needs it first creates it, and the others use
// the functions in its record. This module only takes shared (read) borrows.
#pragma once

#include <cstdint>

#include "ext/numpy/alias_key.hpp"
#include "ext/numpy/api.hpp"
#include "ext/python.hpp"
#include "ext/ref.hpp"

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

// One shared borrow of an array in the registry in use, with a strong reference to the array;
// both are given back when the object ends. Needs the interpreter lock throughout.
//
// With this module's own registry the borrow is given back exactly where it was counted, even if
// the array's element type, shape or data have changed since: a give-back worked out from the
// changed array would miss it and leave the memory borrowed for good. Another module's registry
// can only be given back through its own function, which reads the array as it is then.
class SharedArrayBorrow {
public:
    // Takes the borrow. A refusal is InternalFailure "... AlreadyBorrowed", any other answer
    // InternalFailure "Unexpected return code <n> from borrow checking API", and the lookup fails
    // as borrow_record(). Nothing is held after a failure.
    static SharedArrayBorrow take(const Api& numpy, PyObject* array);

    SharedArrayBorrow(SharedArrayBorrow&& other) noexcept;
    SharedArrayBorrow& operator=(SharedArrayBorrow&&) = delete;
    SharedArrayBorrow(const SharedArrayBorrow&) = delete;
    SharedArrayBorrow& operator=(const SharedArrayBorrow&) = delete;
    ~SharedArrayBorrow();

    // Borrowed: the array, alive as long as this object.
    PyObject* array() const noexcept { return array_.get(); }

    // Makes the borrow cover the memory the array reaches now. If that changed since the borrow
    // was taken, a borrow of the present memory is taken (refused as in `take`, and then nothing
    // changes) and the old one given back.
    void cover_present_layout(const Api& numpy);

private:
    SharedArrayBorrow(const BorrowRecord* record, Ref array, const Footprint& taken) noexcept
        : record_(record), array_(std::move(array)), taken_(taken) {}

    const BorrowRecord* record_;
    Ref array_;  // null once moved from
    Footprint taken_;
};

}  // namespace marlune::py::numpy
