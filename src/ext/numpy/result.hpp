// Result arrays over the module's own buffers, without copying. Each array's memory belongs to
// a PySliceContainer base object, which frees it when the last array using it has gone.
#pragma once

#include <cstdint>

#include "core/bank.hpp"
#include "core/buffer.hpp"
#include "ext/ref.hpp"

namespace marlune::py::numpy {

// A new one-dimensional float32 array holding `values`. Takes the buffer whatever happens.
Ref float32_array(Buffer<float>&& values);
// A new (frames, channels) complex64 array holding the frame buffer of `resonate`, frame-major.
// Takes the buffer whatever happens. Works for channels == 0 (shape (frames, 0)).
Ref complex64_frames(ResonatorBank::Frames&& frames);

}  // namespace marlune::py::numpy
