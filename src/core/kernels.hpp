// The hot loops of the bank, one set per instruction set, chosen once at run time.
//
// This header names no instruction set. Each implementation is a peer in a short list ordered
// by preference; the first whose CPU features are present is used, and the portable scalar one
// is always last. Every implementation must give the same bits as the scalar one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
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

// Renormalisation period: the phasors are rescaled whenever the count of samples since
// construction or reset reaches a multiple of it.
inline constexpr std::uint64_t renormalise_period = 256;

// Where a stretch of samples falls in the bank's life, and where its frames go.
struct Schedule {
    // Samples processed before the first one of the stretch (the bank's sample_counter): the
    // phasors are renormalised after each sample that brings the count to a multiple of
    // renormalise_period, in the middle of the stretch too.
    std::uint64_t counter = 0;
    // Samples per frame; 0 records no frames. After every hop-th sample of the stretch, every
    // channel's smoothed value is written to the next frame row: `channels` (re, im) pairs of
    // floats, the layout of a row of complex64 values.
    std::size_t hop = 0;
    float* frames = nullptr;
};

struct Implementation {
    const char* name;         // e.g. "avx2", "scalar"
    const char* description;  // what it needs / does, for reports
    const char* features;     // the CPU features it needs, e.g. "AVX2 and FMA"
    bool (*supported)();      // are the CPU features present?
    // Runs the per-sample update for samples x[0..samples) on channels [0, channels), with the
    // renormalisations and frames that `schedule` places. Channels are independent, so a group
    // of channels stays in registers across frames and renormalisations; no allocation and no
    // length check in here.
    void (*advance)(const ChannelArrays& bank, std::size_t channels, const float* x,
                    std::size_t samples, const Schedule& schedule);
    // The same for the one sample x, renormalising afterwards when `renormalise` says so: the
    // path of a caller that feeds one sample at a time, without the bookkeeping of a stretch.
    void (*sample)(const ChannelArrays& bank, std::size_t channels, float x, bool renormalise);
};

// Every implementation compiled in, in order of preference; the last is "scalar". A build of
// one kernel alone (CMakeLists.txt, MARLUNE_KERNEL) lists just that one.
std::span<const Implementation> implementations();
// The first of them that this CPU supports; null only in a build of one kernel that the CPU
// lacks, which must not run at all.
const Implementation* first_supported() noexcept;

namespace detail {
// The choice, once made; null before.
extern std::atomic<const Implementation*> chosen_implementation;
const Implementation& choose_implementation() noexcept;
}  // namespace detail

// The first supported implementation, chosen at the first call and kept for the process. After
// the first call one load, so that a call per sample pays nothing for it.
inline const Implementation& active_implementation() noexcept {
    // Every thread that chooses stores the same value, so no ordering is needed.
    const Implementation* chosen = detail::chosen_implementation.load(std::memory_order_relaxed);
    return chosen != nullptr ? *chosen : detail::choose_implementation();
}
// The portable reference.
const Implementation& scalar_implementation();

}  // namespace marlune
