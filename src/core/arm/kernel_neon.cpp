// Advanced SIMD kernel for aarch64: four channels per register, then one at a time.
#include "core/arm/lanes_neon.hpp"
#include "core/kernel_entries.hpp"
#include "core/kernel_template.hpp"
#include "core/lanes_scalar.hpp"

namespace marlune::kernels {

using NeonKernel = Kernel<2, NeonLanes, ScalarLanes>;

void advance_neon(const ChannelArrays& bank, std::size_t channels, const float* x,
                  std::size_t samples, const Schedule& schedule) {
    NeonKernel::advance(bank, channels, x, samples, schedule);
}

void sample_neon(const ChannelArrays& bank, std::size_t channels, float x, bool renormalise) {
    NeonKernel::sample(bank, channels, x, renormalise);
}

}  // namespace marlune::kernels
