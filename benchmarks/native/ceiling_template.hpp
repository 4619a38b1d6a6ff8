// The in-register ceiling: the bank's per-sample update with nothing else around it.
//
// A fixed number of channel groups is loaded into registers once and kept there for the whole
// signal: per sample the only memory access is the broadcast of the input value. The operation
// mix per channel-sample is exactly the bank's (9 multiplies, 4 fused multiply-adds, 1 addition,
// 1 subtraction, in the same dependency structure: the phasor rotation chain and the two moving
// averages), and so is the renormalisation every 256 samples (one square root and one division
// per channel, amortised over the 256 samples), so the result has the bank's bits. How fast this
// runs is what the CPU's vector pipes allow for the update; a real bank call can only approach it.
//
// Written once over the bank's lane types (L::V the register, L::width channels; load, store,
// broadcast, add, sub, mul, div, sqrt, fma, each one correctly rounded operation per lane), but
// independent of the bank's kernels, so that it measures the CPU rather than them. Instantiated
// per instruction set in files compiled for that set, with internal linkage, so that no copy
// built for a wider set can stand in for one built for a narrower set at link time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ceiling_kernels.hpp"

namespace ceiling {
namespace {

template <class L, int G>
std::uint64_t run(const Arrays& m, const float* x, std::size_t samples, std::size_t passes,
                  std::uint64_t counter) {
    using V = typename L::V;
    constexpr std::size_t w = L::width;
    V a[G], ca[G], b[G], cb[G], rr[G], ri[G], pr[G], pi[G], ar[G], ai[G], sr[G], si[G];
    const V one = L::broadcast(1.0f);
#pragma GCC unroll 8
    for (int g = 0; g < G; ++g) {
        a[g] = L::load(m.alphas + g * w);
        b[g] = L::load(m.betas + g * w);
        ca[g] = L::sub(one, a[g]);
        cb[g] = L::sub(one, b[g]);
        rr[g] = L::load(m.rotation_re + g * w);
        ri[g] = L::load(m.rotation_im + g * w);
        pr[g] = L::load(m.phasor_re + g * w);
        pi[g] = L::load(m.phasor_im + g * w);
        ar[g] = L::load(m.accum_re + g * w);
        ai[g] = L::load(m.accum_im + g * w);
        sr[g] = L::load(m.smooth_re + g * w);
        si[g] = L::load(m.smooth_im + g * w);
    }
    for (std::size_t pass = 0; pass < passes; ++pass) {
        std::size_t s = 0;
        while (s < samples) {
            const std::uint64_t left = samples - s;
            const std::uint64_t to_boundary = period - counter % period;
            const std::size_t length = to_boundary < left ? to_boundary : left;
            const std::size_t end = s + length;
            for (; s < end; ++s) {
                const V xs = L::broadcast(x[s]);
#pragma GCC unroll 8
                for (int g = 0; g < G; ++g) {
                    const V ax = L::mul(a[g], xs);
                    ar[g] = L::fma(ca[g], ar[g], L::mul(ax, pr[g]));
                    ai[g] = L::fma(ca[g], ai[g], L::mul(ax, pi[g]));
                    sr[g] = L::fma(cb[g], sr[g], L::mul(b[g], ar[g]));
                    si[g] = L::fma(cb[g], si[g], L::mul(b[g], ai[g]));
                    const V re = L::sub(L::mul(pr[g], rr[g]), L::mul(pi[g], ri[g]));
                    const V im = L::add(L::mul(pr[g], ri[g]), L::mul(pi[g], rr[g]));
                    pr[g] = re;
                    pi[g] = im;
                }
            }
            counter += length;
            if (counter % period == 0) {
#pragma GCC unroll 8
                for (int g = 0; g < G; ++g) {
                    const V mag2 = L::add(L::mul(pr[g], pr[g]), L::mul(pi[g], pi[g]));
                    const V scale = L::div(one, L::sqrt(mag2));
                    pr[g] = L::mul(pr[g], scale);
                    pi[g] = L::mul(pi[g], scale);
                }
            }
        }
    }
#pragma GCC unroll 8
    for (int g = 0; g < G; ++g) {
        L::store(m.phasor_re + g * w, pr[g]);
        L::store(m.phasor_im + g * w, pi[g]);
        L::store(m.accum_re + g * w, ar[g]);
        L::store(m.accum_im + g * w, ai[g]);
        L::store(m.smooth_re + g * w, sr[g]);
        L::store(m.smooth_im + g * w, si[g]);
    }
    return counter;
}

}  // namespace
}  // namespace ceiling
