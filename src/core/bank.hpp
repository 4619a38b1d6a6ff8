// The resonator bank: many complex resonators hearing the same samples.
//
// Each channel keeps a unit phasor turning by -2*pi*freq/sample_rate per sample. A sample is
// multiplied by the phasor, folded into a first moving average (coefficient alpha), which is
// smoothed once more (coefficient beta); the smoothed value is what the readouts report. The
// phasors are renormalised every 256 samples, counted across calls. All arithmetic is single
// precision, fused multiply-add exactly where the update says, nowhere else.
//
// The record is a structure of arrays so that the channel loop runs on SIMD lanes.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "buffer.hpp"
#include "failure.hpp"
#include "flush_to_zero.hpp"
#include "kernels.hpp"

namespace marlune {

// One channel's parameters: centre frequency in Hz and the two smoothing coefficients.
struct ChannelTriple {
    float freq;
    float alpha;
    float beta;
};

// One smoothed complex value, the layout of NumPy's complex64 (real part first).
using Complex32 = std::complex<float>;

class ResonatorBank {
public:
    // A bank with no channels.
    ResonatorBank() = default;
    // Builds the channels in order; the sample rate survives only in the rotation factors.
    ResonatorBank(std::span<const ChannelTriple> channels, float sample_rate);

    // A moved-from bank is a bank without channels, never one whose count outlives its arrays.
    ResonatorBank(ResonatorBank&& other) noexcept;
    ResonatorBank& operator=(ResonatorBank&& other) noexcept;
    ResonatorBank(const ResonatorBank&) = default;
    ResonatorBank& operator=(const ResonatorBank&) = default;

    std::uint64_t channel_count() const noexcept { return channel_count_; }

    // --- feeding samples -------------------------------------------------------------------
    // Inline: a caller may call it once per sample. Like every way into the update, it runs
    // with subnormals flushed (flush_to_zero.hpp).
    void process_sample(float x) {
        ++sample_counter_;
        if (channel_count_ > 0) {
            const FlushToZero flush;
            active_implementation().sample(arrays(), channel_count_, x,
                                           sample_counter_ % renormalise_period == 0);
        }
    }
    void process_samples(std::span<const float> block);
    // One frame of every channel's smoothed value after each full hop; the remainder of the
    // signal past the last full hop is not processed. hop == 0 is "attempt to divide by zero".
    struct Frames;
    Frames resonate(std::span<const float> signal, std::uint64_t hop);

    // --- readouts (index >= channel_count is "index out of bounds: ...") ----------------------
    float freq(std::uint64_t i) const;
    float magnitude(std::uint64_t i) const;
    float phase(std::uint64_t i) const;
    float power(std::uint64_t i) const;
    Complex32 complex_value(std::uint64_t i) const;

    Buffer<float> frequencies() const;
    Buffer<float> magnitudes() const;
    Buffer<float> phases() const;
    Buffer<float> powers() const;

    // Phasors back to 1 + 0i, both averages and the counter to zero; parameters stay.
    void reset() noexcept;

    // The per-channel arrays as a kernel takes them, for running one directly. The pointers
    // stay valid until the bank is moved from, assigned to or destroyed.
    ChannelArrays arrays() noexcept {
        return {alphas_.data(),    betas_.data(),     rotation_re_.data(), rotation_im_.data(),
                phasor_re_.data(), phasor_im_.data(), accum_re_.data(),    accum_im_.data(),
                smooth_re_.data(), smooth_im_.data()};
    }

private:
    friend struct BankTestPeer;  // the native tests read and set the record through it

    // Runs samples x[0..count) through the kernel, renormalising where the counter says; with
    // frames, writes one row of smoothed values after every hop-th sample.
    void advance(const float* x, std::size_t count, std::size_t hop = 0, float* frames = nullptr);
    // A new buffer with f(smooth_re, smooth_im) of every channel.
    template <class F>
    Buffer<float> per_channel(F f) const;

    // The record, in this order. Every array holds exactly channel_count_ elements: the
    // constructor sizes them together, and nothing resizes one afterwards.
    std::vector<float> freqs_;
    std::vector<float> alphas_;
    std::vector<float> betas_;
    std::vector<float> phasor_re_;
    std::vector<float> phasor_im_;
    std::vector<float> rotation_re_;
    std::vector<float> rotation_im_;
    std::vector<float> accum_re_;
    std::vector<float> accum_im_;
    std::vector<float> smooth_re_;
    std::vector<float> smooth_im_;
    std::uint64_t channel_count_ = 0;
    std::uint64_t sample_counter_ = 0;
};

// The result of `resonate`: frames x channels values, frame-major (the value of channel j in
// frame k stands at k * channels + j). `frames` is kept apart because a bank without channels
// still has a frame count.
struct ResonatorBank::Frames {
    Buffer<Complex32> values;
    std::uint64_t frames = 0;
    std::uint64_t channels = 0;
};

// A bank from separate arrays, with default coefficients where none are given: alphas from
// heuristic_alphas of the frequencies, betas a copy of the alphas. Arrays of different lengths
// fail with InvalidArgument(length_mismatch_message). `alphas` and `betas` are nullopt when not
// given; every span is read, never kept.
ResonatorBank build_bank(std::span<const float> freqs, float sample_rate,
                         std::optional<std::span<const float>> alphas,
                         std::optional<std::span<const float>> betas);

inline constexpr const char* length_mismatch_message =
    "freqs, alphas, and betas must have the same length";

}  // namespace marlune
