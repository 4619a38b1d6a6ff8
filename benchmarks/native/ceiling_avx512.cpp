// The ceiling on AVX-512F (compiled with -mavx512f -mfma): 16 channels per register.
#include <immintrin.h>

#include "ceiling_kernels.hpp"
#include "ceiling_template.hpp"

namespace ceiling {
namespace {

struct Avx512 {
    using V = __m512;
    static constexpr std::size_t width = 16;
    static V load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, V v) { _mm512_storeu_ps(p, v); }
    static V broadcast(float x) { return _mm512_set1_ps(x); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static V div(V a, V b) { return _mm512_div_ps(a, b); }
    static V sqrt(V a) { return _mm512_maskz_sqrt_ps(static_cast<__mmask16>(0xFFFF), a); }
    static V fma(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
};

}  // namespace

std::uint64_t run_avx512(int groups, const Arrays& m, const float* x, std::size_t samples,
                         std::size_t passes, std::uint64_t counter) {
    // Two groups fill 24 of the 32 registers with state and leave room for the temporaries.
    if (groups == 2) return run<Avx512, 2>(m, x, samples, passes, counter);
    return run<Avx512, 1>(m, x, samples, passes, counter);
}

}  // namespace ceiling
