// Read-only views of one-dimensional float32 NumPy arrays: how every array argument reaches a
// call. A view holds a strong reference and one shared borrow in the process-wide borrow
// registry, and gives both back when it goes out of scope; nothing is copied.
#pragma once

#include <cstddef>
#include <span>

#include "ext/arguments.hpp"
#include "ext/numpy/registry.hpp"

namespace marlune::py::numpy {

class ArrayView {
public:
    // Converts any object. Not an ndarray, not one-dimensional or not float32 (native byte
    // order): DescribedError(TypeError, "'<T>' object is not an instance of 'ndarray'"), or
    // "'None' is not an instance of 'ndarray'" for None. NumPy or registry trouble:
    // InternalFailure. Nothing is held after a failure.
    static ArrayView convert(PyObject* obj);

    ArrayView(ArrayView&& other) noexcept = default;
    ArrayView& operator=(ArrayView&&) = delete;
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    ~ArrayView() = default;

    // Number of elements.
    std::size_t size() const noexcept;
    // The elements as a contiguous run. An empty array gives an empty span without any test;
    // otherwise an array that is misaligned, not contiguous or without data fails with
    // DescribedError(TypeError, "The given array is not contiguous or is misaligned.").
    std::span<const float> slice() const;

private:
    explicit ArrayView(SharedArrayBorrow borrow) noexcept : borrow_(std::move(borrow)) {}
    SharedArrayBorrow borrow_;
};

// The conversion of an array argument: ArrayView::convert, with a refusal reported against the
// argument like every other conversion (arguments.hpp).
ArrayView to_array(Argument argument);

}  // namespace marlune::py::numpy
