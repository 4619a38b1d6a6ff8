// The ceiling's kernels, one per instruction set. Each is defined in a file built for its set
// and may only be called once the CPU is known to have that set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/kernels.hpp"

namespace ceiling {

// Samples between two renormalisations of the phasors.
constexpr std::uint64_t period = 256;

// The per-channel arrays are the bank's own view of them: parameters are read; state is read
// at the start of a run and written at its end.
using Arrays = marlune::ChannelArrays;

// Groups whose state fits the register file: 2 on AVX-512 (32 registers), 1 on AVX2 (16).
constexpr int max_groups_avx512 = 2;
constexpr int max_groups_avx2 = 1;

// `groups` registers' worth of channels (1 to the set's maximum) through x[0..samples),
// `passes` times, from renormalisation counter `counter`; returns the counter afterwards.
std::uint64_t run_avx512(int groups, const Arrays& m, const float* x, std::size_t samples,
                         std::size_t passes, std::uint64_t counter);
std::uint64_t run_avx2(int groups, const Arrays& m, const float* x, std::size_t samples,
                       std::size_t passes, std::uint64_t counter);

}  // namespace ceiling
