// Eight channels per vector: 256-bit AVX registers with FMA3 (files compiled with -mavx2 -mfma).
#pragma once

#include <immintrin.h>

#include <cstddef>

namespace marlune::kernels {
namespace {

struct Avx2Lanes {
    using V = __m256;
    static constexpr std::size_t width = 8;

    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    // The unpacks pair channels 0, 1, 4, 5 and 2, 3, 6, 7 within each 128-bit half; the
    // permutes put the halves back in channel order.
    static void store_interleaved(float* p, V re, V im) {
        const V low = _mm256_unpacklo_ps(re, im);
        const V high = _mm256_unpackhi_ps(re, im);
        _mm256_storeu_ps(p, _mm256_permute2f128_ps(low, high, 0x20));
        _mm256_storeu_ps(p + 8, _mm256_permute2f128_ps(low, high, 0x31));
    }
    static V broadcast(float x) { return _mm256_set1_ps(x); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V div(V a, V b) { return _mm256_div_ps(a, b); }
    static V sqrt(V a) { return _mm256_sqrt_ps(a); }
    static V fma(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
};

}  // namespace
}  // namespace marlune::kernels
