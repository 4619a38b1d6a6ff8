// The entry point that each kernel file exports, one per instruction set; kernels.cpp
// puts them into the list of implementations. Only the files of the current architecture are
// compiled, so only those entries may be referred to.
#pragma once

#include <cstddef>

#include "kernels.hpp"

namespace marlune::kernels {

void advance_scalar(const ChannelArrays& bank, std::size_t channels, const float* x,
                    std::size_t samples, const Schedule& schedule);
void sample_scalar(const ChannelArrays& bank, std::size_t channels, float x, bool renormalise);

void advance_avx2(const ChannelArrays& bank, std::size_t channels, const float* x,
                  std::size_t samples, const Schedule& schedule);
void sample_avx2(const ChannelArrays& bank, std::size_t channels, float x, bool renormalise);

void advance_avx512(const ChannelArrays& bank, std::size_t channels, const float* x,
                    std::size_t samples, const Schedule& schedule);
void sample_avx512(const ChannelArrays& bank, std::size_t channels, float x, bool renormalise);

void advance_neon(const ChannelArrays& bank, std::size_t channels, const float* x,
                  std::size_t samples, const Schedule& schedule);
void sample_neon(const ChannelArrays& bank, std::size_t channels, float x, bool renormalise);

}  // namespace marlune::kernels
