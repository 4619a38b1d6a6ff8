// AVX-512F kernel (compiled with -mavx512f -mfma): sixteen channels per register, then eight,
// four, and one at a time.
#include "core/kernel_entries.hpp"
#include "core/kernel_template.hpp"
#include "core/lanes_scalar.hpp"
#include "core/x86/lanes_avx2.hpp"
#include "core/x86/lanes_avx512.hpp"
#include "core/x86/lanes_fma128.hpp"

namespace marlune::kernels {

using Avx512Kernel = Kernel<2, Avx512Lanes, Avx2Lanes, Fma128Lanes, ScalarLanes>;

void advance_avx512(const ChannelArrays& bank, std::size_t channels, const float* x,
                    std::size_t samples, const Schedule& schedule) {
    Avx512Kernel::advance(bank, channels, x, samples, schedule);
}

void sample_avx512(const ChannelArrays& bank, std::size_t channels, float x, bool renormalise) {
    Avx512Kernel::sample(bank, channels, x, renormalise);
}

}  // namespace marlune::kernels
