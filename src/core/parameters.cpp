// Every step below is one single-precision operation, rounded before the next; the order of the
// steps is part of the result, so none of them is merged or reordered.
#include "parameters.hpp"

#include <math.h>

namespace marlune {

namespace {

// heuristic_alpha once k = -1 / sample_rate is known, so that a whole array shares one k.
float heuristic_alpha_with(float freq, float k) {
    const float u = k * freq;
    const float v = log10f(freq + 1.0f);
    return 1.0f - expf(u / v);
}

}  // namespace

float midi_to_hz(float midi, float tuning) {
    const float d = midi - 69.0f;
    const float e = d / 12.0f;
    const float p = exp2f(e);
    return p * tuning;
}

float alpha_from_tau(float tau, float sample_rate) {
    const float k = -1.0f / sample_rate;
    const float q = k / tau;
    return 1.0f - expf(q);
}

float tau_from_alpha(float alpha, float sample_rate) {
    const float k = -1.0f / sample_rate;
    const float l = logf(1.0f - alpha);
    return k / l;
}

float heuristic_alpha(float freq, float sample_rate) {
    return heuristic_alpha_with(freq, -1.0f / sample_rate);
}

Buffer<float> heuristic_alphas(std::span<const float> freqs, float sample_rate) {
    Buffer<float> out = Buffer<float>::with_capacity(freqs.size());
    const float k = -1.0f / sample_rate;
    for (const float f : freqs) out.push_back_unchecked(heuristic_alpha_with(f, k));
    return out;
}

}  // namespace marlune
