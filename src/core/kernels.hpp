// The hot loops of the bank, one set per instruction set, chosen once at run time.
//
// This header names no instruction set. Each implementation is a peer in a short list ordered
// by preference; the first whose CPU features are present is used, and the portable scalar one
// is always last. Every implementation must give the same bits as the scalar one.
#pragma once

#include <cstddef>
#include <span>

namespace marlune {

// Pointers to the first channel of a block in each per-channel array of the bank.
struct ChannelArrays {
    const float* alphas;
    const float* betas;
    const float* rotation_re;
    const float* rotation_im;
    float* phasor_re;
    float* phasor_im;
    float* accum_re;
    float* accum_im;
    float* smooth_re;
    float* smooth_im;
};

struct Implementation {
    const char* name;         // e.g. "avx2", "scalar"
    const char* description;  // what it needs / does, for reports
    bool (*supported)();      // are the CPU features present?
    // Runs the per-sample update for samples x[0..samples) on channels [0, channels).
    // Channels are independent, so a kernel may keep a group of channels in registers across
    // the whole run; no allocation, no counter test, no length check in here.
    void (*run)(const ChannelArrays& bank, std::size_t channels, const float* x, std::size_t samples);
    // Rescales every phasor to unit length: m = re*re + im*im; s = 1 / sqrt(m); re *= s; im *= s.
    void (*renormalise)(float* re, float* im, std::size_t channels);
};

// Every implementation compiled in, in order of preference; the last is "scalar".
std::span<const Implementation> implementations();
// The first supported implementation, chosen at the first call and kept for the process.
const Implementation& active_implementation();
// The portable reference.
const Implementation& scalar_implementation();

}  // namespace marlune
