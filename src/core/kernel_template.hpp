// The per-sample update and the renormalisation, written once over a lane type L that holds
// L::width channels: L::V is the register, and L offers load/store/broadcast, add, sub, mul,
// div, sqrt and fma, each one correctly rounded single-precision operation per lane. Every lane
// type therefore gives the same bits, and a kernel is a list of lane types from the widest down
// to ScalarLanes, each taking the channels that the wider ones leave over.
//
// Channels are independent, so a group of channels is loaded into registers once and run
// through every sample of the run before it is stored: the same bits as visiting all channels
// sample by sample, without the loads and stores per sample. Several groups are interleaved so
// that their dependency chains (the phasor rotation, the two averages) overlap in the pipeline.
//
// Internal linkage for the reason given in lanes_scalar.hpp.
#pragma once

#include <cstddef>

#include "kernels.hpp"

namespace marlune::kernels {
namespace {

// The state of L::width channels starting at channel c.
template <class L>
struct ChannelGroup {
    using V = typename L::V;

    V a, ca, b, cb, rr, ri;    // fixed for the run
    V pr, pi, ar, ai, sr, si;  // phasor, first average, second average

    void load(const ChannelArrays& bank, std::size_t c) {
        a = L::load(bank.alphas + c);
        b = L::load(bank.betas + c);
        ca = L::sub(L::broadcast(1.0f), a);
        cb = L::sub(L::broadcast(1.0f), b);
        rr = L::load(bank.rotation_re + c);
        ri = L::load(bank.rotation_im + c);
        pr = L::load(bank.phasor_re + c);
        pi = L::load(bank.phasor_im + c);
        ar = L::load(bank.accum_re + c);
        ai = L::load(bank.accum_im + c);
        sr = L::load(bank.smooth_re + c);
        si = L::load(bank.smooth_im + c);
    }

    void store(const ChannelArrays& bank, std::size_t c) const {
        L::store(bank.phasor_re + c, pr);
        L::store(bank.phasor_im + c, pi);
        L::store(bank.accum_re + c, ar);
        L::store(bank.accum_im + c, ai);
        L::store(bank.smooth_re + c, sr);
        L::store(bank.smooth_im + c, si);
    }

    // One sample: fused multiply-add in the four averages and nowhere else.
    void step(V x) {
        const V ax = L::mul(a, x);
        ar = L::fma(ca, ar, L::mul(ax, pr));
        ai = L::fma(ca, ai, L::mul(ax, pi));
        sr = L::fma(cb, sr, L::mul(b, ar));
        si = L::fma(cb, si, L::mul(b, ai));
        const V next_re = L::sub(L::mul(pr, rr), L::mul(pi, ri));
        const V next_im = L::add(L::mul(pr, ri), L::mul(pi, rr));
        pr = next_re;
        pi = next_im;
    }
};

// G groups of L::width channels from channel c, through samples x[0..samples).
template <class L, std::size_t G>
void run_groups(const ChannelArrays& bank, std::size_t c, const float* x, std::size_t samples) {
    ChannelGroup<L> g[G];
    for (std::size_t k = 0; k < G; ++k) g[k].load(bank, c + k * L::width);
    for (std::size_t s = 0; s < samples; ++s) {
        const typename L::V xs = L::broadcast(x[s]);
        for (std::size_t k = 0; k < G; ++k) g[k].step(xs);
    }
    for (std::size_t k = 0; k < G; ++k) g[k].store(bank, c + k * L::width);
}

// Channels [c, end): G groups at a time of the widest lane type while they fill, then single
// groups, then the rest to the narrower types.
template <std::size_t G, class L, class... Narrower>
void run_channels(const ChannelArrays& bank, std::size_t c, std::size_t end, const float* x,
                  std::size_t samples) {
    if constexpr (G > 1) {
        for (; end - c >= G * L::width; c += G * L::width) run_groups<L, G>(bank, c, x, samples);
    }
    for (; end - c >= L::width; c += L::width) run_groups<L, 1>(bank, c, x, samples);
    if constexpr (sizeof...(Narrower) > 0) run_channels<1, Narrower...>(bank, c, end, x, samples);
}

// Rescales phasors [c, end) to unit length: two rounded squares, a rounded sum, a correctly
// rounded square root and division, then two rounded products.
template <class L, class... Narrower>
void renormalise_channels(float* re, float* im, std::size_t c, std::size_t end) {
    for (; end - c >= L::width; c += L::width) {
        const typename L::V r = L::load(re + c);
        const typename L::V i = L::load(im + c);
        const typename L::V m = L::add(L::mul(r, r), L::mul(i, i));
        const typename L::V s = L::div(L::broadcast(1.0f), L::sqrt(m));
        L::store(re + c, L::mul(r, s));
        L::store(im + c, L::mul(i, s));
    }
    if constexpr (sizeof...(Narrower) > 0) renormalise_channels<Narrower...>(re, im, c, end);
}

// The two entry points of an Implementation, for interleave factor G and lane types Lanes....
template <std::size_t G, class... Lanes>
struct Kernel {
    static void run(const ChannelArrays& bank, std::size_t channels, const float* x,
                    std::size_t samples) {
        run_channels<G, Lanes...>(bank, 0, channels, x, samples);
    }
    static void renormalise(float* re, float* im, std::size_t channels) {
        renormalise_channels<Lanes...>(re, im, 0, channels);
    }
};

}  // namespace
}  // namespace marlune::kernels
