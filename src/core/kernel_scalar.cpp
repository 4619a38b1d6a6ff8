// The portable kernel: one channel at a time, four channels interleaved.
#include "kernel_entries.hpp"
#include "kernel_template.hpp"
#include "lanes_scalar.hpp"

namespace marlune::kernels {

using ScalarKernel = Kernel<4, ScalarLanes>;

void run_scalar(const ChannelArrays& bank, std::size_t channels, const float* x, std::size_t samples) {
    ScalarKernel::run(bank, channels, x, samples);
}

void renormalise_scalar(float* re, float* im, std::size_t channels) {
    ScalarKernel::renormalise(re, im, channels);
}

}  // namespace marlune::kernels
