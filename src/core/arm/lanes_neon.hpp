// Four channels per vector: 128-bit Advanced SIMD (NEON) registers of aarch64, where the fused
// multiply-add and the correctly rounded division and square root are baseline instructions.
#pragma once

#include <arm_neon.h>

#include <cstddef>

namespace marlune::kernels {
namespace {

struct NeonLanes {
    using V = float32x4_t;
    static constexpr std::size_t width = 4;

    static V load(const float* p) { return vld1q_f32(p); }
    static void store(float* p, V v) { vst1q_f32(p, v); }
    // One structure store writes re0, im0, re1, im1, ...
    static void store_interleaved(float* p, V re, V im) { vst2q_f32(p, float32x4x2_t{{re, im}}); }
    static V broadcast(float x) { return vdupq_n_f32(x); }
    static V add(V a, V b) { return vaddq_f32(a, b); }
    static V sub(V a, V b) { return vsubq_f32(a, b); }
    static V mul(V a, V b) { return vmulq_f32(a, b); }
    static V div(V a, V b) { return vdivq_f32(a, b); }
    static V sqrt(V a) { return vsqrtq_f32(a); }
    // vfmaq_f32(c, a, b) is c + a * b with one rounding.
    static V fma(V a, V b, V c) { return vfmaq_f32(c, a, b); }
};

}  // namespace
}  // namespace marlune::kernels
