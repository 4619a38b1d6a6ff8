// One channel per "vector": the portable lane type, and the tail of every vector kernel.
//
// Like the other lane types it lives in an unnamed namespace: each kernel file is compiled for
// its own instruction set, and code shared by name between them could be merged by the linker
// into the copy built for the widest one. For the same reason the fused multiply-add and the
// square root are the compiler builtins rather than std::fma / std::sqrt, which are ordinary
// inline functions with external linkage. With -mfma the builtin is the hardware instruction;
// without it, a call to the C library's correctly rounded fmaf.
#pragma once

#include <cstddef>

namespace marlune::kernels {
namespace {

struct ScalarLanes {
    using V = float;
    static constexpr std::size_t width = 1;

    static V load(const float* p) { return *p; }
    static void store(float* p, V v) { *p = v; }
    static void store_interleaved(float* p, V re, V im) {
        p[0] = re;
        p[1] = im;
    }
    static V broadcast(float x) { return x; }
    static V add(V a, V b) { return a + b; }
    static V sub(V a, V b) { return a - b; }
    static V mul(V a, V b) { return a * b; }
    static V div(V a, V b) { return a / b; }
    static V sqrt(V a) { return __builtin_sqrtf(a); }
    static V fma(V a, V b, V c) { return __builtin_fmaf(a, b, c); }
};

}  // namespace
}  // namespace marlune::kernels
