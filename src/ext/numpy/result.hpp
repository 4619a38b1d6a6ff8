// Result arrays over the module's own buffers, without copying. Each array's memory belongs to
// a PySliceContainer base object, which frees it when the last array using it has gone.
#pragma once

#include <complex>
#include <cstdint>

#include "core/buffer.hpp"
#include "ext/ref.hpp"

namespace marlune::py::numpy {

// A new one-dimensional float32 array holding `values`. Takes the buffer whatever happens.
Ref float32_array(Buffer<float>&& values);
// A new (rows, columns) complex64 array holding `values`, rows * columns of them, row-major.
// Takes the buffer whatever happens. Works for columns == 0 (shape (rows, 0), no values).
Ref complex64_array(Buffer<std::complex<float>>&& values, std::uint64_t rows, std::uint64_t columns);

}  // namespace marlune::py::numpy
