// The portable kernel: one channel at a time, four channels interleaved.
#include "kernel_entries.hpp"
#include "kernel_template.hpp"
#include "lanes_scalar.hpp"

namespace marlune::kernels {

using ScalarKernel = Kernel<4, ScalarLanes>;

void advance_scalar(const ChannelArrays& bank, std::size_t channels, const float* x,
                    std::size_t samples, const Schedule& schedule) {
    ScalarKernel::advance(bank, channels, x, samples, schedule);
}

void sample_scalar(const ChannelArrays& bank, std::size_t channels, float x, bool renormalise) {
    ScalarKernel::sample(bank, channels, x, renormalise);
}

}  // namespace marlune::kernels
