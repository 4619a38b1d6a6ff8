// The ceiling on AVX2 with FMA (compiled with -mavx2 -mfma): 8 channels per register.
#include <immintrin.h>

#include "ceiling_kernels.hpp"
#include "ceiling_template.hpp"

namespace ceiling {
namespace {

struct Avx2 {
    using V = __m256;
    static constexpr std::size_t width = 8;
    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    static V broadcast(float x) { return _mm256_set1_ps(x); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V div(V a, V b) { return _mm256_div_ps(a, b); }
    static V sqrt(V a) { return _mm256_sqrt_ps(a); }
    static V fma(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
};

}  // namespace

std::uint64_t run_avx2(int groups, const Arrays& m, const float* x, std::size_t samples,
                       std::size_t passes, std::uint64_t counter) {
    // One group's state takes 12 of the 16 registers: a second would spill to memory.
    (void)groups;
    return run<Avx2, 1>(m, x, samples, passes, counter);
}

}  // namespace ceiling
