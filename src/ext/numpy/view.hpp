// Read-only views of one-dimensional float32 NumPy arrays: how every array argument reaches a
// call. A view holds a strong reference and one shared borrow in the process-wide borrow
// registry, and gives both back when it goes out of scope; nothing is copied.
//
// User code can run between a view's conversion and the call's use of it (the __float__ or
// __index__ of a later argument) and may resize, reshape or retype the array meanwhile. So a view
// keeps no facts about the array: its elements are only to be had from a test of the array as it
// is at that moment.
#pragma once

#include <span>

#include "ext/argument.hpp"
#include "ext/numpy/registry.hpp"

namespace marlune::py::numpy {

class ArrayView {
public:
    ArrayView(ArrayView&& other) noexcept = default;
    ArrayView& operator=(ArrayView&&) = delete;
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    ~ArrayView() = default;

    // The elements of the array as it is now, as a contiguous run. Call with the interpreter lock
    // held, after the call's last conversion, and read them before any Python code runs again.
    // The array is tested afresh: no longer a one-dimensional float32 array is the conversion's
    // TypeError, reported against the argument; non-empty and misaligned, not contiguous or
    // without data is DescribedError(TypeError, "The given array is not contiguous or is
    // misaligned."). Then the borrow is moved to the memory the array now reaches, if that
    // changed (which can be refused like the first borrow).
    std::span<const float> elements();

private:
    friend ArrayView to_array(Argument argument);
    ArrayView(const char* name, SharedArrayBorrow borrow) noexcept
        : name_(name), borrow_(std::move(borrow)) {}

    const char* name_;  // the argument's, for errors
    SharedArrayBorrow borrow_;
};

// The conversion of an array argument. Not an ndarray, not one-dimensional or not float32 (native
// byte order): DescribedError(TypeError, "'<T>' object is not an instance of 'ndarray'"), or
// "'None' is not an instance of 'ndarray'" for None, reported against the argument like every
// other conversion (argument.hpp). NumPy or registry trouble: InternalFailure. Nothing is held
// after a failure.
ArrayView to_array(Argument argument);

}  // namespace marlune::py::numpy
