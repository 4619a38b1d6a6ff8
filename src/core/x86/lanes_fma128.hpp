// Four channels per vector: 128-bit SSE registers with the FMA3 instruction. Only for files
// compiled with -mfma (which implies AVX); the wider kernels use it for their leftover channels.
#pragma once

#include <immintrin.h>

#include <cstddef>

namespace marlune::kernels {
namespace {

struct Fma128Lanes {
    using V = __m128;
    static constexpr std::size_t width = 4;

    static V load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, V v) { _mm_storeu_ps(p, v); }
    static void store_interleaved(float* p, V re, V im) {
        _mm_storeu_ps(p, _mm_unpacklo_ps(re, im));
        _mm_storeu_ps(p + 4, _mm_unpackhi_ps(re, im));
    }
    static V broadcast(float x) { return _mm_set1_ps(x); }
    static V add(V a, V b) { return _mm_add_ps(a, b); }
    static V sub(V a, V b) { return _mm_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm_mul_ps(a, b); }
    static V div(V a, V b) { return _mm_div_ps(a, b); }
    static V sqrt(V a) { return _mm_sqrt_ps(a); }
    static V fma(V a, V b, V c) { return _mm_fmadd_ps(a, b, c); }
};

}  // namespace
}  // namespace marlune::kernels
