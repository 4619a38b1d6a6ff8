// Construction, block processing and framing, readouts and reset of the resonator bank. The
// arithmetic of the update itself lives in the kernels; this file decides what runs when.
#include "bank.hpp"

#include <math.h>

#include <algorithm>
#include <string>

#include "kernels.hpp"
#include "parameters.hpp"

namespace marlune {

namespace {

// -2*pi rounded to single precision.
constexpr float minus_two_pi = -6.2831855f;

std::vector<float> copy_of(std::span<const float> values) {
    return std::vector<float>(values.begin(), values.end());
}

// The update touches the first channel_count elements of ten arrays; a shorter one means the
// record is broken. Checked before any array is modified.
void check_lengths(const ResonatorBank& bank) {
    const std::vector<float>* arrays[] = {&bank.alphas,     &bank.betas,     &bank.rotation_re,
                                          &bank.rotation_im, &bank.accum_re,  &bank.accum_im,
                                          &bank.smooth_re,   &bank.smooth_im, &bank.phasor_re,
                                          &bank.phasor_im};
    for (const std::vector<float>* array : arrays) {
        if (array->size() < bank.channel_count) {
            throw InternalFailure("range end index " + std::to_string(bank.channel_count) +
                                  " out of range for slice of length " +
                                  std::to_string(array->size()));
        }
    }
}

ChannelArrays arrays_of(ResonatorBank& bank) {
    return {bank.alphas.data(),    bank.betas.data(),    bank.rotation_re.data(),
            bank.rotation_im.data(), bank.phasor_re.data(), bank.phasor_im.data(),
            bank.accum_re.data(),    bank.accum_im.data(),  bank.smooth_re.data(),
            bank.smooth_im.data()};
}

// Runs samples x[0..count) through a bank whose lengths have been checked. The block is cut where
// sample_counter reaches a multiple of the renormalisation period, so the counter is tested once
// per run rather than once per sample.
void advance(ResonatorBank& bank, const float* x, std::size_t count) {
    const Implementation& impl = active_implementation();
    const ChannelArrays arrays = arrays_of(bank);
    const std::size_t n = bank.channel_count;
    while (count > 0) {
        const std::uint64_t to_boundary =
            renormalise_period - bank.sample_counter % renormalise_period;
        const auto run = static_cast<std::size_t>(std::min<std::uint64_t>(to_boundary, count));
        if (n > 0) impl.run(arrays, n, x, run);
        bank.sample_counter += run;
        if (n > 0 && bank.sample_counter % renormalise_period == 0) {
            impl.renormalise(arrays.phasor_re, arrays.phasor_im, n);
        }
        x += run;
        count -= run;
    }
}

// Element i of `array`, or the out-of-bounds failure naming that array's length.
float element(const std::vector<float>& array, std::uint64_t i) {
    if (i >= array.size()) throw InternalFailure(index_out_of_bounds_message(array.size(), i));
    return array[i];
}

// Channel i's smoothed value, real part read first.
Complex32 smoothed(const ResonatorBank& bank, std::uint64_t i) {
    const float re = element(bank.smooth_re, i);
    return {re, element(bank.smooth_im, i)};
}

// Both squares rounded, then the sum: never fused, so that magnitude is exactly sqrt(power).
float power_of(float re, float im) { return re * re + im * im; }
float magnitude_of(float re, float im) { return sqrtf(power_of(re, im)); }
float phase_of(float re, float im) { return atan2f(im, re); }

// A new buffer with f(smooth_re[j], smooth_im[j]) for every channel j.
template <class F>
Buffer<float> per_channel(const ResonatorBank& bank, F f) {
    const std::size_t n = std::min(bank.smooth_re.size(), bank.smooth_im.size());
    Buffer<float> out = Buffer<float>::with_capacity(n);
    for (std::size_t j = 0; j < n; ++j) {
        out.push_back_unchecked(f(bank.smooth_re[j], bank.smooth_im[j]));
    }
    return out;
}

}  // namespace

// --- construction -------------------------------------------------------------------------------

ResonatorBank::ResonatorBank(std::span<const ChannelTriple> channels, float sample_rate) {
    const std::size_t n = channels.size();
    for (std::vector<float>* array : {&freqs, &alphas, &betas, &rotation_re, &rotation_im}) {
        array->reserve(n);
    }
    for (const ChannelTriple& channel : channels) {
        freqs.push_back(channel.freq);
        alphas.push_back(channel.alpha);
        betas.push_back(channel.beta);
        const float theta = (channel.freq * minus_two_pi) / sample_rate;
        rotation_re.push_back(cosf(theta));
        rotation_im.push_back(sinf(theta));
    }
    phasor_re.assign(n, 1.0f);
    for (std::vector<float>* array : {&phasor_im, &accum_re, &accum_im, &smooth_re, &smooth_im}) {
        array->assign(n, 0.0f);
    }
    channel_count = n;
    sample_counter = 0;
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
        throw DescribedError(ErrorKind::ValueError, length_mismatch_message);
    }
    std::vector<ChannelTriple> triples;
    triples.reserve(n);
    for (std::size_t i = 0; i < n; ++i) triples.push_back({freqs[i], a[i], b[i]});
    return ResonatorBank(triples, sample_rate);
}

// --- feeding samples ----------------------------------------------------------------------------

void ResonatorBank::process_sample(float x) {
    check_lengths(*this);
    advance(*this, &x, 1);
}

void ResonatorBank::process_samples(std::span<const float> block) {
    if (block.empty()) return;
    check_lengths(*this);
    advance(*this, block.data(), block.size());
}

ResonatorBank::Frames ResonatorBank::resonate(std::span<const float> signal, std::uint64_t hop) {
    if (hop == 0) throw InternalFailure(divide_by_zero_message);
    const std::uint64_t frames = signal.size() / hop;
    // Compared by division: frames * channel_count itself may wrap around 64 bits.
    if (channel_count != 0 && frames > max_allocation_bytes / sizeof(Complex32) / channel_count) {
        throw InternalFailure(capacity_overflow_message);
    }
    Frames out{Buffer<Complex32>::with_capacity(frames * channel_count), frames, channel_count};
    if (frames == 0) return out;
    check_lengths(*this);
    const std::size_t n = channel_count;
    if (n == 0) {
        // Nothing to record: the frames only move the counter on.
        sample_counter += frames * hop;
        return out;
    }
    for (std::uint64_t k = 0; k < frames; ++k) {
        advance(*this, signal.data() + k * hop, hop);
        for (std::size_t j = 0; j < n; ++j) {
            out.values.push_back_unchecked({smooth_re[j], smooth_im[j]});
        }
    }
    return out;
}

// --- readouts -----------------------------------------------------------------------------------

float ResonatorBank::freq(std::uint64_t i) const { return element(freqs, i); }

float ResonatorBank::magnitude(std::uint64_t i) const {
    const Complex32 v = smoothed(*this, i);
    return magnitude_of(v.real(), v.imag());
}

float ResonatorBank::phase(std::uint64_t i) const {
    const Complex32 v = smoothed(*this, i);
    return phase_of(v.real(), v.imag());
}

float ResonatorBank::power(std::uint64_t i) const {
    const Complex32 v = smoothed(*this, i);
    return power_of(v.real(), v.imag());
}

Complex32 ResonatorBank::complex_value(std::uint64_t i) const { return smoothed(*this, i); }

Buffer<float> ResonatorBank::frequencies() const {
    Buffer<float> out = Buffer<float>::with_capacity(freqs.size());
    for (const float f : freqs) out.push_back_unchecked(f);
    return out;
}

Buffer<float> ResonatorBank::magnitudes() const { return per_channel(*this, magnitude_of); }
Buffer<float> ResonatorBank::phases() const { return per_channel(*this, phase_of); }
Buffer<float> ResonatorBank::powers() const { return per_channel(*this, power_of); }

void ResonatorBank::reset() noexcept {
    std::fill(phasor_re.begin(), phasor_re.end(), 1.0f);
    for (std::vector<float>* array : {&phasor_im, &accum_re, &accum_im, &smooth_re, &smooth_im}) {
        std::fill(array->begin(), array->end(), 0.0f);
    }
    sample_counter = 0;
}

}  // namespace marlune
