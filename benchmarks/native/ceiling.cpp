// The ceiling library's C interface, loaded from Python with ctypes:
//
//     lanes = ceiling_lanes()          # channels per register of the widest unit, 0 if none
//     unit = ceiling_unit()            # its name
//     groups = ceiling_max_groups()    # groups of channels whose state fits in the registers
//     counter = ceiling_run(groups, alphas, betas, rotation_re, rotation_im, state, x, samples,
//                           passes, counter)
//
// The choice of unit is made here, in code built for the baseline, by the same CPU tests that
// the bank uses; the kernels themselves live in files built for their instruction sets.
#include <cstddef>
#include <cstdint>

#include "ceiling_kernels.hpp"

namespace {

enum class Unit { avx512, avx2, none };

Unit widest_unit() {
#if CEILING_X86_KERNELS
    __builtin_cpu_init();
    const bool avx2_fma = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    if (avx2_fma && __builtin_cpu_supports("avx512f")) return Unit::avx512;
    if (avx2_fma) return Unit::avx2;
#endif
    return Unit::none;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int ceiling_lanes() {
    switch (widest_unit()) {
        case Unit::avx512: return 16;
        case Unit::avx2: return 8;
        case Unit::none: break;
    }
    return 0;
}

__attribute__((visibility("default"))) const char* ceiling_unit() {
    switch (widest_unit()) {
        case Unit::avx512: return "AVX-512F";
        case Unit::avx2: return "AVX2+FMA";
        case Unit::none: break;
    }
    return "none";
}

__attribute__((visibility("default"))) int ceiling_max_groups() {
    switch (widest_unit()) {
        case Unit::avx512: return ceiling::max_groups_avx512;
        case Unit::avx2: return ceiling::max_groups_avx2;
        case Unit::none: break;
    }
    return 0;
}

// Runs groups * ceiling_lanes() channels (1 to ceiling_max_groups() groups). `state` holds six
// arrays of that many floats one after the other: phasor re, phasor im, first average re, im,
// second average re, im. Returns the renormalisation counter after the run, or UINT64_MAX when
// nothing could run (no vector unit, or a group count out of range).
__attribute__((visibility("default"))) std::uint64_t ceiling_run(
    int groups, const float* alphas, const float* betas, const float* rotation_re,
    const float* rotation_im, float* state, const float* x, std::size_t samples,
    std::size_t passes, std::uint64_t counter) {
    const int lanes = ceiling_lanes();
    if (lanes == 0 || groups < 1 || groups > ceiling_max_groups()) return UINT64_MAX;
    const std::size_t n = static_cast<std::size_t>(groups * lanes);
    const ceiling::Arrays m{alphas,        betas,         rotation_re,   rotation_im,
                            state,         state + n,     state + 2 * n, state + 3 * n,
                            state + 4 * n, state + 5 * n};
#if CEILING_X86_KERNELS
    if (lanes == 16) return ceiling::run_avx512(groups, m, x, samples, passes, counter);
    return ceiling::run_avx2(groups, m, x, samples, passes, counter);
#else
    (void)m;
    return UINT64_MAX;
#endif
}

}  // extern "C"
