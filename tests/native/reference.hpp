// An independent model of the bank for the tests: one struct per channel, the update written
// out one rounded operation per line, the counter tested after every sample. Plus seeded random
// banks and signals, and bit-for-bit comparisons (NaNs included).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "core/bank.hpp"
#include "core/flush_to_zero.hpp"
#include "core/kernels.hpp"

namespace marlune {

// The tests' way into a bank's private record: its thirteen fields by reference, const for a
// const bank.
struct BankTestPeer {
    template <class Array, class Count>
    struct Record {
        Array& freqs;
        Array& alphas;
        Array& betas;
        Array& phasor_re;
        Array& phasor_im;
        Array& rotation_re;
        Array& rotation_im;
        Array& accum_re;
        Array& accum_im;
        Array& smooth_re;
        Array& smooth_im;
        Count& channel_count;
        Count& sample_counter;

        // The eleven arrays, in record order.
        std::array<Array*, 11> arrays() const {
            return {&freqs,       &alphas,   &betas,    &phasor_re, &phasor_im, &rotation_re,
                    &rotation_im, &accum_re, &accum_im, &smooth_re, &smooth_im};
        }
    };

    template <class Bank>
    static auto record(Bank& b) {
        constexpr bool is_const = std::is_const_v<Bank>;
        using Array = std::conditional_t<is_const, const std::vector<float>, std::vector<float>>;
        using Count = std::conditional_t<is_const, const std::uint64_t, std::uint64_t>;
        return Record<Array, Count>{b.freqs_,       b.alphas_,      b.betas_,
                                    b.phasor_re_,   b.phasor_im_,   b.rotation_re_,
                                    b.rotation_im_, b.accum_re_,    b.accum_im_,
                                    b.smooth_re_,   b.smooth_im_,   b.channel_count_,
                                    b.sample_counter_};
    }
};

}  // namespace marlune

namespace reference {

// The record of `bank`, writable when the bank is.
template <class Bank>
auto record(Bank& bank) {
    return marlune::BankTestPeer::record(bank);
}

// The flushing rule of the update, one rounded operation at a time, written from the rule
// rather than from the hardware: an operand that is subnormal is read as a zero of its sign; a
// result that is tiny becomes a zero of its sign. A result is tiny when the IEEE result is
// subnormal, or when it is +-FLT_MIN and the exact value is below FLT_MIN in magnitude (tininess
// before rounding, aarch64) or would round below it with an unbounded exponent (tininess after
// rounding, x86). Every flush is counted, so that a test can tell an input that met no subnormal
// (whose results are then the plain IEEE ones) from one that did.
struct Flush {
    enum class Tininess { before_rounding, after_rounding };
#if defined(__aarch64__)
    static constexpr Tininess tininess = Tininess::before_rounding;
#else
    static constexpr Tininess tininess = Tininess::after_rounding;
#endif
    // Off where the bank does not flush: the operations are then plain IEEE ones.
    static constexpr bool enabled = marlune::flushes_subnormals;

    std::uint64_t flushes = 0;   // operands or results flushed
    std::uint64_t parted = 0;    // results on which the two tininess rules disagree

    // An exact value as an unevaluated sum hi + lo of doubles, |lo| at most half an ulp of hi.
    struct Exact {
        double hi, lo;
    };
    static Exact two_sum(double a, double b) {
        const double s = a + b;
        const double bb = s - a;
        return {s, (a - (s - bb)) + (b - bb)};
    }
    // |e| < FLT_MIN under a tininess rule.
    static bool tiny(Exact e, Tininess rule) {
        const double limit = rule == Tininess::before_rounding
                                 ? double{FLT_MIN}
                                 : double{FLT_MIN} - std::ldexp(1.0, -151);
        const double h = std::fabs(e.hi), l = e.hi < 0 ? -e.lo : e.lo;
        return h < limit || (h == limit && l < 0);
    }

    float in(float v) {
        if (!enabled || std::fpclassify(v) != FP_SUBNORMAL) return v;
        ++flushes;
        return std::copysign(0.0f, v);
    }
    float out(float r, Exact exact) {
        if (!enabled) return r;
        bool flush = std::fpclassify(r) == FP_SUBNORMAL;
        if (std::fabs(r) == FLT_MIN) {
            flush = tiny(exact, tininess);
            parted += flush != tiny(exact, tininess == Tininess::before_rounding
                                               ? Tininess::after_rounding
                                               : Tininess::before_rounding);
        }
        if (!flush) return r;
        ++flushes;
        return std::copysign(0.0f, r);
    }

    float mul(float a, float b) {
        a = in(a), b = in(b);
        return out(a * b, {double{a} * double{b}, 0.0});
    }
    float add(float a, float b) {
        a = in(a), b = in(b);
        return out(a + b, two_sum(a, b));
    }
    float sub(float a, float b) { return add(a, -b); }
    float fma(float a, float b, float c) {
        a = in(a), b = in(b), c = in(c);
        return out(std::fma(a, b, c), two_sum(double{a} * double{b}, c));
    }
    float div(float a, float b) {
        a = in(a), b = in(b);
        const double q = double{a} / double{b};
        // The remainder a - q*b is exact, and gives the sign of what q left out.
        return out(a / b, {q, std::fma(-q, double{b}, double{a}) / double{b}});
    }
    float sqrt(float a) {
        a = in(a);
        const double r = std::sqrt(double{a});
        return out(std::sqrt(a), {r, std::fma(-r, r, double{a})});
    }
};

struct Channel {
    float alpha, beta, rot_re, rot_im;
    float ph_re = 1.0f, ph_im = 0.0f, acc_re = 0.0f, acc_im = 0.0f, sm_re = 0.0f, sm_im = 0.0f;
};

struct Model {
    std::vector<Channel> channels;
    std::uint64_t counter = 0;
    Flush f;

    Model(const std::vector<marlune::ChannelTriple>& triples, float sample_rate) {
        for (const marlune::ChannelTriple& t : triples) {
            volatile float product = t.freq * -6.2831855f;  // at run time: the real cosf, sinf
            const float theta = product / sample_rate;
            channels.push_back({t.alpha, t.beta, cosf(theta), sinf(theta)});
        }
    }

    void sample(float x) {
        for (Channel& c : channels) {
            const float ax = f.mul(c.alpha, x);
            const float ca = f.sub(1.0f, c.alpha);
            const float in_re = f.mul(ax, c.ph_re);
            const float in_im = f.mul(ax, c.ph_im);
            c.acc_re = f.fma(ca, c.acc_re, in_re);
            c.acc_im = f.fma(ca, c.acc_im, in_im);
            const float cb = f.sub(1.0f, c.beta);
            const float to_re = f.mul(c.beta, c.acc_re);
            const float to_im = f.mul(c.beta, c.acc_im);
            c.sm_re = f.fma(cb, c.sm_re, to_re);
            c.sm_im = f.fma(cb, c.sm_im, to_im);
            const float rr = f.mul(c.ph_re, c.rot_re), ii = f.mul(c.ph_im, c.rot_im);
            const float ri = f.mul(c.ph_re, c.rot_im), ir = f.mul(c.ph_im, c.rot_re);
            c.ph_re = f.sub(rr, ii);
            c.ph_im = f.add(ri, ir);
        }
        if (++counter % 256 == 0) {
            for (Channel& c : channels) {
                const float re2 = f.mul(c.ph_re, c.ph_re), im2 = f.mul(c.ph_im, c.ph_im);
                const float s = f.div(1.0f, f.sqrt(f.add(re2, im2)));
                c.ph_re = f.mul(c.ph_re, s);
                c.ph_im = f.mul(c.ph_im, s);
            }
        }
    }
    void samples(const std::vector<float>& xs, std::size_t from = 0, std::size_t to = SIZE_MAX) {
        for (std::size_t k = from; k < std::min(to, xs.size()); ++k) sample(xs[k]);
    }
    // Samples xs[from..to), appending a frame (every channel's smoothed value as re, im) to
    // `frames` after every hop-th of them.
    void framed(const std::vector<float>& xs, std::size_t from, std::size_t to, std::size_t hop,
                std::vector<float>& frames) {
        for (std::size_t k = from; k < to; ++k) {
            sample(xs[k]);
            if ((k + 1 - from) % hop != 0) continue;
            for (const Channel& c : channels) {
                frames.push_back(c.sm_re);
                frames.push_back(c.sm_im);
            }
        }
    }
};

inline std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// Frequencies over the audio band and coefficients of every useful size.
inline std::vector<marlune::ChannelTriple> random_triples(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> freq(0.0f, 24000.0f), coef(1e-4f, 1.0f);
    std::vector<marlune::ChannelTriple> t(n);
    for (auto& c : t) c = {freq(rng), coef(rng), coef(rng)};
    return t;
}

inline std::vector<float> random_signal(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> x(-4.0f, 4.0f);
    std::vector<float> s(n);
    for (float& v : s) v = x(rng);
    return s;
}

// The bank's running state and counter equal the model's, bit for bit. Unless `flushed` allows
// it, the model met no subnormal number on the way, so these are the plain IEEE results too.
inline void expect_matches(const marlune::ResonatorBank& bank, const Model& model,
                           bool flushed = false) {
    if (!flushed) {
        EXPECT_EQ(model.f.flushes, 0u) << "the input passed through subnormal numbers";
    }
    const auto r = record(bank);
    ASSERT_EQ(r.channel_count, model.channels.size());
    EXPECT_EQ(r.sample_counter, model.counter);
    for (std::size_t i = 0; i < model.channels.size(); ++i) {
        const Channel& c = model.channels[i];
        const float got[] = {r.phasor_re[i], r.phasor_im[i], r.accum_re[i],
                             r.accum_im[i],  r.smooth_re[i], r.smooth_im[i]};
        const float want[] = {c.ph_re, c.ph_im, c.acc_re, c.acc_im, c.sm_re, c.sm_im};
        for (int f = 0; f < 6; ++f) {
            EXPECT_EQ(bits(got[f]), bits(want[f])) << "channel " << i << ", field " << f;
        }
    }
}

// Two banks hold the same record, bit for bit.
inline void expect_same(const marlune::ResonatorBank& a, const marlune::ResonatorBank& b) {
    const auto ra = record(a), rb = record(b);
    for (std::size_t f = 0; f < ra.arrays().size(); ++f) {
        EXPECT_TRUE(std::ranges::equal(*ra.arrays()[f], *rb.arrays()[f], {}, bits, bits))
            << "array " << f;
    }
    EXPECT_EQ(ra.channel_count, rb.channel_count);
    EXPECT_EQ(ra.sample_counter, rb.sample_counter);
}

// f() throws E whose what() is `message`.
template <class E, class F>
void expect_failure(F f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no failure, expected: " << message;
    } catch (const E& e) {
        EXPECT_EQ(e.what(), message);
    }
}

// Names instantiated cases by their position.
struct CaseIndex {
    template <class P>
    std::string operator()(const testing::TestParamInfo<P>& info) const {
        return "case" + std::to_string(info.index);
    }
};

}  // namespace reference
