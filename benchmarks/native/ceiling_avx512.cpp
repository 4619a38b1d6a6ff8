// The ceiling on AVX-512F (compiled with -mavx512f -mfma): 16 channels per register.
#include "ceiling_kernels.hpp"
#include "ceiling_template.hpp"
#include "core/x86/lanes_avx512.hpp"

namespace ceiling {

using marlune::kernels::Avx512Lanes;

std::uint64_t run_avx512(int groups, const Arrays& m, const float* x, std::size_t samples,
                         std::size_t passes, std::uint64_t counter) {
    // Two groups fill 24 of the 32 registers with state and leave room for the temporaries.
    if (groups == 2) return run<Avx512Lanes, 2>(m, x, samples, passes, counter);
    return run<Avx512Lanes, 1>(m, x, samples, passes, counter);
}

}  // namespace ceiling
