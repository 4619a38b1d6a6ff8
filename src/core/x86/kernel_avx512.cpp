// AVX-512F kernel (compiled with -mavx512f -mfma): sixteen channels per register, the channels
// past the last whole register in one masked one, or in a masked 8-channel AVX2 register when
// they fit.
#include "core/kernel_entries.hpp"
#include "core/kernel_template.hpp"
#include "core/x86/lanes_avx2.hpp"
#include "core/x86/lanes_avx512.hpp"

namespace marlune::kernels {

using Avx512Kernel = Kernel<2, Avx512Lanes, Avx2Lanes>;

void advance_avx512(const ChannelArrays& bank, std::size_t channels, const float* x,
                    std::size_t samples, const Schedule& schedule) {
    Avx512Kernel::advance(bank, channels, x, samples, schedule);
}

void sample_avx512(const ChannelArrays& bank, std::size_t channels, float x, bool renormalise) {
    Avx512Kernel::sample(bank, channels, x, renormalise);
}

}  // namespace marlune::kernels
