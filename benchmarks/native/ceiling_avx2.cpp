// The ceiling on AVX2 with FMA (compiled with -mavx2 -mfma): 8 channels per register.
#include "ceiling_kernels.hpp"
#include "ceiling_template.hpp"
#include "core/x86/lanes_avx2.hpp"

namespace ceiling {

using marlune::kernels::Avx2Lanes;

std::uint64_t run_avx2(int groups, const Arrays& m, const float* x, std::size_t samples,
                       std::size_t passes, std::uint64_t counter) {
    // One group's state takes 12 of the 16 registers: a second would spill to memory.
    (void)groups;
    return run<Avx2Lanes, 1>(m, x, samples, passes, counter);
}

}  // namespace ceiling
