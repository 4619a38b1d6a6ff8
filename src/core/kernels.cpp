// The list of implementations, most preferred first, and the choice among them.
#include "kernels.hpp"

#include <iterator>

#if MARLUNE_WITH_NEON && defined(__linux__)
#include <sys/auxv.h>
#endif

#include "kernel_entries.hpp"

namespace marlune {

namespace {

bool always() { return true; }

#if MARLUNE_WITH_AVX2 || MARLUNE_WITH_AVX512
// Feature tests live here, in code built for the baseline, not in the kernel files: those may
// only run once the tests have passed. libgcc's tests include the operating system's support for
// saving the wide registers.
bool has_avx2_fma() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
#endif
#if MARLUNE_WITH_AVX512
bool has_avx512f() {
    __builtin_cpu_init();
    return has_avx2_fma() && __builtin_cpu_supports("avx512f");
}
#endif

#if MARLUNE_WITH_NEON
// Advanced SIMD is part of every aarch64 processor, but it is asked for like any other feature,
// so that the list works the same on every architecture.
bool has_asimd() {
#if defined(__linux__)
    return (getauxval(AT_HWCAP) & HWCAP_ASIMD) != 0;
#else
    return true;
#endif
}
#endif

constexpr Implementation scalar = {"scalar", "portable C++: one channel at a time", "nothing",
                                   always, kernels::advance_scalar, kernels::sample_scalar};

// Every kernel of the architecture, unless the build asks for one alone (MARLUNE_KERNEL).
constexpr Implementation implementation_list[] = {
#if MARLUNE_WITH_AVX512
    {"avx512", "AVX-512F with FMA: 16 channels per register (x86-64)", "AVX-512F and FMA",
     has_avx512f, kernels::advance_avx512, kernels::sample_avx512},
#endif
#if MARLUNE_WITH_AVX2
    {"avx2", "AVX2 with FMA: 8 channels per register (x86-64)", "AVX2 and FMA", has_avx2_fma,
     kernels::advance_avx2, kernels::sample_avx2},
#endif
#if MARLUNE_WITH_NEON
    {"neon", "Advanced SIMD: 4 channels per register (aarch64)", "Advanced SIMD", has_asimd,
     kernels::advance_neon, kernels::sample_neon},
#endif
#if MARLUNE_WITH_SCALAR
    scalar,
#endif
};

}  // namespace

std::span<const Implementation> implementations() { return implementation_list; }

const Implementation* first_supported() noexcept {
    for (const Implementation& impl : implementation_list) {
        if (impl.supported()) return &impl;
    }
    return nullptr;
}

namespace detail {

constinit std::atomic<const Implementation*> chosen_implementation{nullptr};

const Implementation& choose_implementation() noexcept {
    const Implementation* chosen = first_supported();
    // Only a build of one kernel can find none, and its module refuses to import then.
    if (chosen == nullptr) chosen = &scalar;
    chosen_implementation.store(chosen, std::memory_order_relaxed);
    return *chosen;
}

}  // namespace detail

const Implementation& scalar_implementation() {
#if MARLUNE_WITH_SCALAR
    return std::end(implementation_list)[-1];
#else
    return scalar;  // the reference, outside the list of a build of another kernel alone
#endif
}

}  // namespace marlune
