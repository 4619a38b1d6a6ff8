// Sixteen channels per vector: 512-bit AVX-512F registers (files compiled with -mavx512f -mfma).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace marlune::kernels {
namespace {

struct Avx512Lanes {
    using V = __m512;
    static constexpr std::size_t width = 16;

    static V load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, V v) { _mm512_storeu_ps(p, v); }
    static void store_interleaved(float* p, V re, V im) {
        V low, high;
        interleave(re, im, low, high);
        _mm512_storeu_ps(p, low);
        _mm512_storeu_ps(p + 16, high);
    }
    static V broadcast(float x) { return _mm512_set1_ps(x); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static V div(V a, V b) { return _mm512_div_ps(a, b); }
    // The all-lanes mask form: g++ 12 warns about the placeholder operand of _mm512_sqrt_ps.
    static V sqrt(V a) { return _mm512_maskz_sqrt_ps(static_cast<__mmask16>(0xFFFF), a); }
    static V fma(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }

    // The first `count` lanes (0 < count < 16): masked loads and stores, which neither read
    // nor write the memory of the other lanes.
    static V load_first(const float* p, std::size_t count) {
        return _mm512_maskz_loadu_ps(lanes_below(count), p);
    }
    static void store_first(float* p, std::size_t count, V v) {
        _mm512_mask_storeu_ps(p, lanes_below(count), v);
    }
    static void store_interleaved_first(float* p, std::size_t count, V re, V im) {
        V low, high;
        interleave(re, im, low, high);
        const std::uint32_t floats = (std::uint32_t{1} << (2 * count)) - 1;  // a bit per float
        _mm512_mask_storeu_ps(p, static_cast<__mmask16>(floats), low);
        _mm512_mask_storeu_ps(p + 16, static_cast<__mmask16>(floats >> 16), high);
    }

    // (re0, im0, ..., re7, im7) and (re8, im8, ..., re15, im15).
    static void interleave(V re, V im, V& low, V& high) {
        // Lane i of an index picks element i of re (0 to 15) or of im (16 to 31).
        const __m512i low_index =
            _mm512_set_epi32(23, 7, 22, 6, 21, 5, 20, 4, 19, 3, 18, 2, 17, 1, 16, 0);
        const __m512i high_index =
            _mm512_set_epi32(31, 15, 30, 14, 29, 13, 28, 12, 27, 11, 26, 10, 25, 9, 24, 8);
        low = _mm512_permutex2var_ps(re, low_index, im);
        high = _mm512_permutex2var_ps(re, high_index, im);
    }
    static __mmask16 lanes_below(std::size_t count) {
        return static_cast<__mmask16>((1u << count) - 1);
    }
};

}  // namespace
}  // namespace marlune::kernels
