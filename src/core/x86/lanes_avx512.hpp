// Sixteen channels per vector: 512-bit AVX-512F registers (files compiled with -mavx512f -mfma).
#pragma once

#include <immintrin.h>

#include <cstddef>

namespace marlune::kernels {
namespace {

struct Avx512Lanes {
    using V = __m512;
    static constexpr std::size_t width = 16;

    static V load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, V v) { _mm512_storeu_ps(p, v); }
    static V broadcast(float x) { return _mm512_set1_ps(x); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static V div(V a, V b) { return _mm512_div_ps(a, b); }
    // The all-lanes mask form: g++ 12 warns about the placeholder operand of _mm512_sqrt_ps.
    static V sqrt(V a) { return _mm512_maskz_sqrt_ps(static_cast<__mmask16>(0xFFFF), a); }
    static V fma(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
};

}  // namespace
}  // namespace marlune::kernels
