// The entry points that each kernel file exports, one pair per instruction set; kernels.cpp
// puts them into the list of implementations. Only the files of the current architecture are
// compiled, so only those entries may be referred to.
#pragma once

#include <cstddef>

#include "kernels.hpp"

namespace marlune::kernels {

void run_scalar(const ChannelArrays& bank, std::size_t channels, const float* x, std::size_t samples);
void renormalise_scalar(float* re, float* im, std::size_t channels);

void run_avx2(const ChannelArrays& bank, std::size_t channels, const float* x, std::size_t samples);
void renormalise_avx2(float* re, float* im, std::size_t channels);

void run_avx512(const ChannelArrays& bank, std::size_t channels, const float* x, std::size_t samples);
void renormalise_avx512(float* re, float* im, std::size_t channels);

}  // namespace marlune::kernels
