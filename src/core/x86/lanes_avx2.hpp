// Eight channels per vector: 256-bit AVX registers with FMA3 (files compiled with -mavx2 -mfma).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace marlune::kernels {
namespace {

struct Avx2Lanes {
    using V = __m256;
    static constexpr std::size_t width = 8;

    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    static void store_interleaved(float* p, V re, V im) {
        V low, high;
        interleave(re, im, low, high);
        _mm256_storeu_ps(p, low);
        _mm256_storeu_ps(p + 8, high);
    }
    static V broadcast(float x) { return _mm256_set1_ps(x); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V div(V a, V b) { return _mm256_div_ps(a, b); }
    static V sqrt(V a) { return _mm256_sqrt_ps(a); }
    static V fma(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }

    // The first `count` lanes (0 < count < 8): masked loads and stores, which neither read nor
    // write the memory of the other lanes.
    static V load_first(const float* p, std::size_t count) {
        return _mm256_maskload_ps(p, lanes_below(count));
    }
    static void store_first(float* p, std::size_t count, V v) {
        _mm256_maskstore_ps(p, lanes_below(count), v);
    }
    static void store_interleaved_first(float* p, std::size_t count, V re, V im) {
        V low, high;
        interleave(re, im, low, high);
        const std::size_t floats = 2 * count;  // 2 to 14
        _mm256_maskstore_ps(p, lanes_below(floats < 8 ? floats : 8), low);
        if (floats > 8) _mm256_maskstore_ps(p + 8, lanes_below(floats - 8), high);
    }

    // (re0, im0, ..., re3, im3) and (re4, im4, ..., re7, im7). The unpacks pair channels 0, 1,
    // 4, 5 and 2, 3, 6, 7 within each 128-bit half; the permutes put the halves in order.
    static void interleave(V re, V im, V& low, V& high) {
        const V even = _mm256_unpacklo_ps(re, im);
        const V odd = _mm256_unpackhi_ps(re, im);
        low = _mm256_permute2f128_ps(even, odd, 0x20);
        high = _mm256_permute2f128_ps(even, odd, 0x31);
    }
    // Lane i is set for i < count (0 <= count <= 8).
    static __m256i lanes_below(std::size_t count) {
        alignas(32) static constexpr std::int32_t ones_then_zeros[16] = {
            -1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ones_then_zeros + 8 - count));
    }
};

}  // namespace
}  // namespace marlune::kernels
