// Construction, block processing and framing, readouts and reset of the resonator bank. The
// arithmetic of the update itself lives in the kernels; this file decides what runs when.
#include "bank.hpp"

#include <math.h>

#include <algorithm>
#include <utility>

#include "parameters.hpp"

namespace marlune {

namespace {

// -2*pi rounded to single precision.
constexpr float minus_two_pi = -6.2831855f;

std::vector<float> copy_of(std::span<const float> values) {
    return std::vector<float>(values.begin(), values.end());
}

// Element i of a per-channel array of `count` elements, or the out-of-bounds failure.
float element(const std::vector<float>& array, std::uint64_t count, std::uint64_t i) {
    if (i >= count) throw InternalFailure(index_out_of_bounds_message(count, i));
    return array[i];
}

// Both squares rounded, then the sum: never fused, so that magnitude is exactly sqrt(power).
float power_of(float re, float im) { return re * re + im * im; }
float magnitude_of(float re, float im) { return sqrtf(power_of(re, im)); }
// A channel at zero has no direction: phase +0 for either sign of either part. The flush leaves
// zeros of either sign (a value that decays to zero keeps the sign it had), and atan2f would
// read -0 as +-pi, so a silent channel would report a phase that depends on how it fell silent.
float phase_of(float re, float im) { return re == 0.0f && im == 0.0f ? 0.0f : atan2f(im, re); }

}  // namespace

// --- construction -------------------------------------------------------------------------------

ResonatorBank::ResonatorBank(std::span<const ChannelTriple> channels, float sample_rate) {
    const std::size_t n = channels.size();
    for (std::vector<float>* array : {&freqs_, &alphas_, &betas_, &rotation_re_, &rotation_im_}) {
        array->reserve(n);
    }
    for (const ChannelTriple& channel : channels) {
        freqs_.push_back(channel.freq);
        alphas_.push_back(channel.alpha);
        betas_.push_back(channel.beta);
        const float theta = (channel.freq * minus_two_pi) / sample_rate;
        rotation_re_.push_back(cosf(theta));
        rotation_im_.push_back(sinf(theta));
    }
    phasor_re_.assign(n, 1.0f);
    for (std::vector<float>* array : {&phasor_im_, &accum_re_, &accum_im_, &smooth_re_, &smooth_im_}) {
        array->assign(n, 0.0f);
    }
    channel_count_ = n;
}

ResonatorBank::ResonatorBank(ResonatorBank&& other) noexcept { *this = std::move(other); }

ResonatorBank& ResonatorBank::operator=(ResonatorBank&& other) noexcept {
    // Exchanged for empty arrays rather than left as moved-from vectors, whose contents are
    // unspecified: the bank left behind has no channels and arrays to match.
    for (std::vector<float> ResonatorBank::*array :
         {&ResonatorBank::freqs_, &ResonatorBank::alphas_, &ResonatorBank::betas_,
          &ResonatorBank::phasor_re_, &ResonatorBank::phasor_im_, &ResonatorBank::rotation_re_,
          &ResonatorBank::rotation_im_, &ResonatorBank::accum_re_, &ResonatorBank::accum_im_,
          &ResonatorBank::smooth_re_, &ResonatorBank::smooth_im_}) {
        this->*array = std::exchange(other.*array, {});
    }
    channel_count_ = std::exchange(other.channel_count_, 0);
    sample_counter_ = std::exchange(other.sample_counter_, 0);
    return *this;
}

ResonatorBank build_bank(std::span<const float> freqs, float sample_rate,
                         std::optional<std::span<const float>> alphas,
                         std::optional<std::span<const float>> betas) {
    std::vector<float> a;
    if (alphas) {
        a = copy_of(*alphas);
    } else {
        const Buffer<float> defaults = heuristic_alphas(freqs, sample_rate);
        a.assign(defaults.begin(), defaults.end());
    }
    std::vector<float> b = betas ? copy_of(*betas) : a;
    const std::size_t n = freqs.size();
    if (a.size() != n || b.size() != n) {
        throw InvalidArgument(length_mismatch_message);
    }
    std::vector<ChannelTriple> triples;
    triples.reserve(n);
    for (std::size_t i = 0; i < n; ++i) triples.push_back({freqs[i], a[i], b[i]});
    return ResonatorBank(triples, sample_rate);
}

// --- feeding samples ----------------------------------------------------------------------------

// The kernel places the renormalisations from the counter, so it is told the counter, not
// tested once per sample. Subnormals are flushed for the whole stretch (flush_to_zero.hpp).
void ResonatorBank::advance(const float* x, std::size_t count, std::size_t hop, float* frames) {
    if (channel_count_ > 0) {
        const FlushToZero flush;
        active_implementation().advance(arrays(), channel_count_, x, count,
                                        {.counter = sample_counter_, .hop = hop, .frames = frames});
    }
    sample_counter_ += count;
}

void ResonatorBank::process_samples(std::span<const float> block) {
    advance(block.data(), block.size());
}

ResonatorBank::Frames ResonatorBank::resonate(std::span<const float> signal, std::uint64_t hop) {
    if (hop == 0) throw InternalFailure(divide_by_zero_message);
    const std::uint64_t frames = signal.size() / hop;
    const std::uint64_t n = channel_count_;
    // Compared by division: frames * n itself may wrap around 64 bits.
    if (n != 0 && frames > max_allocation_bytes / sizeof(Complex32) / n) {
        throw InternalFailure(capacity_overflow_message);
    }
    Frames out{Buffer<Complex32>::with_capacity(frames * n), frames, n};
    // The kernel writes each frame row straight from its registers, as (re, im) float pairs:
    // the layout of std::complex<float>. Without channels the frames only move the counter on.
    const std::size_t samples = frames * hop;
    advance(signal.data(), samples, frames > 0 ? hop : 0,
            reinterpret_cast<float*>(out.values.data()));
    out.values.assume_filled(frames * n);
    return out;
}

// --- readouts -----------------------------------------------------------------------------------

float ResonatorBank::freq(std::uint64_t i) const { return element(freqs_, channel_count_, i); }

// Real part read first, so an index out of bounds names that array's length.
Complex32 ResonatorBank::complex_value(std::uint64_t i) const {
    const float re = element(smooth_re_, channel_count_, i);
    return {re, element(smooth_im_, channel_count_, i)};
}

float ResonatorBank::magnitude(std::uint64_t i) const {
    const Complex32 v = complex_value(i);
    return magnitude_of(v.real(), v.imag());
}

float ResonatorBank::phase(std::uint64_t i) const {
    const Complex32 v = complex_value(i);
    return phase_of(v.real(), v.imag());
}

float ResonatorBank::power(std::uint64_t i) const {
    const Complex32 v = complex_value(i);
    return power_of(v.real(), v.imag());
}

template <class F>
Buffer<float> ResonatorBank::per_channel(F f) const {
    Buffer<float> out = Buffer<float>::with_capacity(channel_count_);
    for (std::size_t j = 0; j < channel_count_; ++j) {
        out.push_back_unchecked(f(smooth_re_[j], smooth_im_[j]));
    }
    return out;
}

Buffer<float> ResonatorBank::frequencies() const {
    Buffer<float> out = Buffer<float>::with_capacity(channel_count_);
    for (const float f : freqs_) out.push_back_unchecked(f);
    return out;
}

Buffer<float> ResonatorBank::magnitudes() const { return per_channel(magnitude_of); }
Buffer<float> ResonatorBank::phases() const { return per_channel(phase_of); }
Buffer<float> ResonatorBank::powers() const { return per_channel(power_of); }

void ResonatorBank::reset() noexcept {
    std::fill(phasor_re_.begin(), phasor_re_.end(), 1.0f);
    for (std::vector<float>* array : {&phasor_im_, &accum_re_, &accum_im_, &smooth_re_, &smooth_im_}) {
        std::fill(array->begin(), array->end(), 0.0f);
    }
    sample_counter_ = 0;
}

}  // namespace marlune
