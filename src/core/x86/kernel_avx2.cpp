// AVX2 + FMA kernel (compiled with -mavx2 -mfma): eight channels per register, then four, then
// one at a time.
#include "core/kernel_entries.hpp"
#include "core/kernel_template.hpp"
#include "core/lanes_scalar.hpp"
#include "core/x86/lanes_avx2.hpp"
#include "core/x86/lanes_fma128.hpp"

namespace marlune::kernels {

using Avx2Kernel = Kernel<2, Avx2Lanes, Fma128Lanes, ScalarLanes>;

void run_avx2(const ChannelArrays& bank, std::size_t channels, const float* x, std::size_t samples) {
    Avx2Kernel::run(bank, channels, x, samples);
}

void renormalise_avx2(float* re, float* im, std::size_t channels) {
    Avx2Kernel::renormalise(re, im, channels);
}

}  // namespace marlune::kernels
