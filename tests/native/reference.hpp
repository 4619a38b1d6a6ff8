// An independent model of the bank for the tests: one struct per channel, the update written
// out one rounded operation per line, the counter tested after every sample. Plus seeded random
// banks and signals, and bit-for-bit comparisons (NaNs included).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "core/bank.hpp"
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

struct Channel {
    float alpha, beta, rot_re, rot_im;
    float ph_re = 1.0f, ph_im = 0.0f, acc_re = 0.0f, acc_im = 0.0f, sm_re = 0.0f, sm_im = 0.0f;
};

struct Model {
    std::vector<Channel> channels;
    std::uint64_t counter = 0;

    Model(const std::vector<marlune::ChannelTriple>& triples, float sample_rate) {
        for (const marlune::ChannelTriple& t : triples) {
            volatile float product = t.freq * -6.2831855f;  // at run time: the real cosf, sinf
            const float theta = product / sample_rate;
            channels.push_back({t.alpha, t.beta, cosf(theta), sinf(theta)});
        }
    }

    void sample(float x) {
        for (Channel& c : channels) {
            const float ax = c.alpha * x;
            const float ca = 1.0f - c.alpha;
            const float in_re = ax * c.ph_re;
            const float in_im = ax * c.ph_im;
            c.acc_re = std::fma(ca, c.acc_re, in_re);
            c.acc_im = std::fma(ca, c.acc_im, in_im);
            const float cb = 1.0f - c.beta;
            const float to_re = c.beta * c.acc_re;
            const float to_im = c.beta * c.acc_im;
            c.sm_re = std::fma(cb, c.sm_re, to_re);
            c.sm_im = std::fma(cb, c.sm_im, to_im);
            const float rr = c.ph_re * c.rot_re, ii = c.ph_im * c.rot_im;
            const float ri = c.ph_re * c.rot_im, ir = c.ph_im * c.rot_re;
            c.ph_re = rr - ii;
            c.ph_im = ri + ir;
        }
        if (++counter % 256 == 0) {
            for (Channel& c : channels) {
                const float re2 = c.ph_re * c.ph_re, im2 = c.ph_im * c.ph_im;
                const float s = 1.0f / std::sqrt(re2 + im2);
                c.ph_re = c.ph_re * s;
                c.ph_im = c.ph_im * s;
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

// The bank's running state and counter equal the model's, bit for bit.
inline void expect_matches(const marlune::ResonatorBank& bank, const Model& model) {
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
