// The per-sample update, the renormalisation and the frames, written once over a lane type L
// that holds L::width channels: L::V is the register, and L offers load/store/broadcast, add,
// sub, mul, div, sqrt and fma, each one correctly rounded single-precision operation per lane,
// and store_interleaved, which writes two registers as (re, im) pairs. Every lane type therefore
// gives the same bits, and a kernel is a list of lane types from the widest down, each taking
// the channels that the wider ones leave over; the last takes any number of them (ScalarLanes,
// or a type with masked loads and stores).
//
// Channels are independent, so a group of channels is loaded into registers once and run
// through a whole tile of samples before it is stored: its frames are written and its phasors
// renormalised from the registers, with the same bits as visiting all channels sample by
// sample. Several groups are interleaved so that their dependency chains (the phasor rotation,
// the two averages) overlap in the pipeline. Tiles are as long as the frames they write can
// stay in the cache while every group adds its columns to them.
//
// Internal linkage for the reason given in lanes_scalar.hpp.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "kernels.hpp"

namespace marlune::kernels {
namespace {

// Lane types that can load and store the first `count` lanes of a register alone (masked
// loads and stores) run the channels past the last whole register in one more group, at the
// rate of the whole ones; the others leave them to narrower lane types.
template <class L>
concept PartialLanes = requires(const float* in, float* out, typename L::V v, std::size_t count) {
    { L::load_first(in, count) } -> std::same_as<typename L::V>;
    L::store_first(out, count, v);
    L::store_interleaved_first(out, count, v, v);
};

// How a group reaches its channels in memory: every lane of the register...
template <class L>
struct WholeRegister {
    using V = typename L::V;
    V load(const float* p) const { return L::load(p); }
    void store(float* p, V v) const { L::store(p, v); }
    void store_interleaved(float* p, V re, V im) const { L::store_interleaved(p, re, im); }
};

// ...or only the first `count` of them: the others load as zeros, are never stored, and their
// arithmetic on zeros (at worst NaN) touches no channel.
template <class L>
struct FirstLanes {
    using V = typename L::V;
    std::size_t count;
    V load(const float* p) const { return L::load_first(p, count); }
    void store(float* p, V v) const { L::store_first(p, count, v); }
    void store_interleaved(float* p, V re, V im) const {
        L::store_interleaved_first(p, count, re, im);
    }
};

// The state of the L::width channels (or fewer) of a register, from channel c.
template <class L>
struct ChannelGroup {
    using V = typename L::V;

    V a, ca, b, cb, rr, ri;    // fixed for the run
    V pr, pi, ar, ai, sr, si;  // phasor, first average, second average

    template <class Access>
    void load(const ChannelArrays& bank, std::size_t c, Access access) {
        a = access.load(bank.alphas + c);
        b = access.load(bank.betas + c);
        ca = L::sub(L::broadcast(1.0f), a);
        cb = L::sub(L::broadcast(1.0f), b);
        rr = access.load(bank.rotation_re + c);
        ri = access.load(bank.rotation_im + c);
        pr = access.load(bank.phasor_re + c);
        pi = access.load(bank.phasor_im + c);
        ar = access.load(bank.accum_re + c);
        ai = access.load(bank.accum_im + c);
        sr = access.load(bank.smooth_re + c);
        si = access.load(bank.smooth_im + c);
    }

    template <class Access>
    void store(const ChannelArrays& bank, std::size_t c, Access access) const {
        access.store(bank.phasor_re + c, pr);
        access.store(bank.phasor_im + c, pi);
        access.store(bank.accum_re + c, ar);
        access.store(bank.accum_im + c, ai);
        access.store(bank.smooth_re + c, sr);
        access.store(bank.smooth_im + c, si);
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

    // Back to unit length: two rounded squares, a rounded sum, a correctly rounded square root
    // and division, then two rounded products.
    void renormalise() {
        const V m = L::add(L::mul(pr, pr), L::mul(pi, pi));
        const V s = L::div(L::broadcast(1.0f), L::sqrt(m));
        pr = L::mul(pr, s);
        pi = L::mul(pi, s);
    }

    // The smoothed values as complex64 into a frame row, from this group's first column.
    template <class Access>
    void write_frame(float* row, Access access) const {
        access.store_interleaved(row, sr, si);
    }
};

// One tile of a stretch: samples [begin, end) of x, and the next events after `begin`.
struct Tile {
    const float* x;
    std::size_t begin, end;
    std::size_t next_renormalise;  // renormalise when the sample index reaches this
    std::size_t next_frame;        // write a frame when it reaches this (never without frames)
    std::size_t hop;
    float* row;                    // the row of the frame at next_frame, column 0
    std::size_t row_floats;        // floats per frame row
};

// G groups of channels from channel c through one tile: G - 1 whole registers, then one reached
// through `last`. Frames and renormalisations cut the samples into runs of the plain update; at
// hop 1 a run is one sample, whose loop the branch predictor learns (a loop specialised for
// hop 1 measured no faster).
template <class L, std::size_t G, class Last = WholeRegister<L>>
void run_groups(const ChannelArrays& bank, std::size_t c, const Tile& t, Last last = {}) {
    ChannelGroup<L> g[G];
    // f(group, its first channel, its access) for each group.
    auto each = [&g, c, last](auto&& f) {
        for (std::size_t k = 0; k + 1 < G; ++k) f(g[k], c + k * L::width, WholeRegister<L>{});
        f(g[G - 1], c + (G - 1) * L::width, last);
    };
    each([&bank](auto& group, std::size_t at, auto access) { group.load(bank, at, access); });
    auto steps = [&g, x = t.x](std::size_t from, std::size_t to) {
        for (std::size_t s = from; s < to; ++s) {
            const typename L::V xs = L::broadcast(x[s]);
            for (std::size_t k = 0; k < G; ++k) g[k].step(xs);
        }
    };
    std::size_t s = t.begin, renormalise_at = t.next_renormalise, frame_at = t.next_frame;
    float* row = t.row;
    while (s < t.end) {
        const std::size_t run_end = std::min(t.end, renormalise_at);
        for (; frame_at <= run_end; frame_at += t.hop, row += t.row_floats) {
            steps(s, frame_at);
            s = frame_at;
            each([row](const auto& group, std::size_t at, auto access) {
                group.write_frame(row + 2 * at, access);
            });
        }
        steps(s, run_end);
        s = run_end;
        if (s == renormalise_at) {
            for (std::size_t k = 0; k < G; ++k) g[k].renormalise();
            renormalise_at += renormalise_period;
        }
    }
    each([&bank](const auto& group, std::size_t at, auto access) {
        group.store(bank, at, access);
    });
}

// The last `count` channels from c, fewer than G whole registers: one group per register they
// touch, the last one partly filled unless they fill it.
template <class L, std::size_t G>
void run_partial_groups(const ChannelArrays& bank, std::size_t c, std::size_t count,
                        const Tile& t) {
    if constexpr (G > 1) {
        if (count <= (G - 1) * L::width) return run_partial_groups<L, G - 1>(bank, c, count, t);
    }
    const std::size_t last = count - (G - 1) * L::width;
    if (last == L::width) return run_groups<L, G>(bank, c, t);
    run_groups<L, G>(bank, c, t, FirstLanes<L>{last});
}

// Whether the last `count` channels, fewer than a register holds, go to a narrower lane type:
// those left for a register at most half full, where a narrower one can take them. (Narrower
// registers run their dependency chains as fast or faster, and a lone group is bound by them.)
template <class L, class... Narrower>
bool narrower_takes(std::size_t count) {
    return sizeof...(Narrower) > 0 && count <= L::width / 2;
}

// Channels [c, end) through one tile: G groups at a time of the widest lane type while they
// fill; then the rest in partly filled groups where the lane type can, else single groups and
// the narrower types.
template <std::size_t G, class L, class... Narrower>
void run_channels(const ChannelArrays& bank, std::size_t c, std::size_t end, const Tile& t) {
    for (; end - c >= G * L::width; c += G * L::width) run_groups<L, G>(bank, c, t);
    if constexpr (PartialLanes<L>) {
        if (end == c) return;
        if constexpr (sizeof...(Narrower) > 0) {
            if (narrower_takes<L, Narrower...>(end - c)) {
                return run_channels<G, Narrower...>(bank, c, end, t);
            }
        }
        run_partial_groups<L, G>(bank, c, end - c, t);
    } else {
        for (; end - c >= L::width; c += L::width) run_groups<L, 1>(bank, c, t);
        if constexpr (sizeof...(Narrower) > 0) run_channels<1, Narrower...>(bank, c, end, t);
    }
}

// One sample through one group.
template <class L, class Access>
void sample_group(const ChannelArrays& bank, std::size_t c, Access access, float x,
                  bool renormalise) {
    ChannelGroup<L> g;
    g.load(bank, c, access);
    g.step(L::broadcast(x));
    if (renormalise) g.renormalise();
    g.store(bank, c, access);
}

// One sample through channels [c, end), the widest lane type first.
template <class L, class... Narrower>
void sample_channels(const ChannelArrays& bank, std::size_t c, std::size_t end, float x,
                     bool renormalise) {
    for (; end - c >= L::width; c += L::width) {
        sample_group<L>(bank, c, WholeRegister<L>{}, x, renormalise);
    }
    if constexpr (PartialLanes<L>) {
        if (end == c) return;
        if constexpr (sizeof...(Narrower) > 0) {
            if (narrower_takes<L, Narrower...>(end - c)) {
                return sample_channels<Narrower...>(bank, c, end, x, renormalise);
            }
        }
        sample_group<L>(bank, c, FirstLanes<L>{end - c}, x, renormalise);
    } else if constexpr (sizeof...(Narrower) > 0) {
        sample_channels<Narrower...>(bank, c, end, x, renormalise);
    }
}

// Bytes of frames that a tile may write: well inside the second-level cache of any core this
// runs on, so that every group's columns of a row meet there before the row goes to memory.
constexpr std::size_t tile_frame_bytes = std::size_t{128} << 10;

// The entry points of an Implementation, for interleave factor G and lane types Lanes....
template <std::size_t G, class... Lanes>
struct Kernel {
    static void advance(const ChannelArrays& bank, std::size_t channels, const float* x,
                        std::size_t samples, const Schedule& schedule) {
        if (channels == 0) return;
        constexpr std::size_t never = std::numeric_limits<std::size_t>::max();
        const std::size_t hop = schedule.frames != nullptr ? schedule.hop : 0;
        const std::size_t row_floats = 2 * channels;
        const std::size_t first_renormalise =
            renormalise_period - schedule.counter % renormalise_period;
        // Without frames (or with fewer than a tile holds) a group runs the whole stretch from
        // its registers.
        const std::size_t tile_frames =
            std::max<std::size_t>(1, tile_frame_bytes / (row_floats * sizeof(float)));
        const std::size_t tile =
            hop == 0 || hop > samples / tile_frames ? samples : tile_frames * hop;
        for (std::size_t begin = 0; begin < samples; begin += std::min(tile, samples - begin)) {
            // Renormalisations before the tile, to find the next one.
            const std::size_t renormalised =
                begin < first_renormalise
                    ? 0
                    : (begin - first_renormalise) / renormalise_period + 1;
            const std::size_t frames_before = hop == 0 ? 0 : begin / hop;
            const Tile t{
                .x = x,
                .begin = begin,
                .end = begin + std::min(tile, samples - begin),
                .next_renormalise = first_renormalise + renormalised * renormalise_period,
                .next_frame = hop == 0 ? never : (frames_before + 1) * hop,
                .hop = hop,
                .row = schedule.frames + frames_before * row_floats,
                .row_floats = row_floats,
            };
            run_channels<G, Lanes...>(bank, 0, channels, t);
        }
    }

    static void sample(const ChannelArrays& bank, std::size_t channels, float x, bool renormalise) {
        sample_channels<Lanes...>(bank, 0, channels, x, renormalise);
    }
};

}  // namespace
}  // namespace marlune::kernels
