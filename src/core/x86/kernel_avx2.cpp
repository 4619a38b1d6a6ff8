// AVX2 + FMA kernel (compiled with -mavx2 -mfma): eight channels per register, the channels
// past the last whole register in one masked one.
#include "core/kernel_entries.hpp"
#include "core/kernel_template.hpp"
#include "core/x86/lanes_avx2.hpp"

namespace marlune::kernels {

using Avx2Kernel = Kernel<2, Avx2Lanes>;

void advance_avx2(const ChannelArrays& bank, std::size_t channels, const float* x,
                  std::size_t samples, const Schedule& schedule) {
    Avx2Kernel::advance(bank, channels, x, samples, schedule);
}

void sample_avx2(const ChannelArrays& bank, std::size_t channels, float x, bool renormalise) {
    Avx2Kernel::sample(bank, channels, x, renormalise);
}

}  // namespace marlune::kernels
