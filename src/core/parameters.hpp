// Conversions between the quantities that parameterise a bank, in single precision, each step
// rounded on its own (no fusing), with the C library's single-precision functions.
#pragma once

#include <span>

#include "buffer.hpp"

namespace marlune {

// Frequency in Hz of MIDI note `midi` when note 69 sounds at `tuning` Hz.
float midi_to_hz(float midi, float tuning);
// Smoothing coefficient of a time constant of `tau` seconds.
float alpha_from_tau(float tau, float sample_rate);
// Time constant in seconds of smoothing coefficient `alpha`.
float tau_from_alpha(float alpha, float sample_rate);
// Default coefficient of a channel at `freq` Hz: the alpha of tau = log10(freq + 1) / freq.
float heuristic_alpha(float freq, float sample_rate);
// heuristic_alpha of every element, in order.
Buffer<float> heuristic_alphas(std::span<const float> freqs, float sample_rate);

}  // namespace marlune
