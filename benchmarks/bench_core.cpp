// Speed of the resonator bank core: every implementation this CPU supports against the portable
// scalar one, one-sample calls against blocks, and resonate over a grid of hops and channel
// counts. Prints figures; checks nothing.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <span>
#include <vector>

#include "core/bank.hpp"
#include "core/kernels.hpp"

namespace {

using marlune::ResonatorBank;
using Clock = std::chrono::steady_clock;

constexpr float sample_rate = 48000.0f;
constexpr std::size_t block_samples = 48000;  // one second of audio
constexpr int repeats = 5;
// resonate's result is capped as a user with a long signal would see it: frames beyond this
// many bytes are left out of the signal rather than timed out of the cache.
constexpr std::size_t max_frame_bytes = std::size_t{64} << 20;

// Channels spread logarithmically from 30 Hz to 15 kHz, with the default coefficients.
ResonatorBank make_bank(std::size_t channels) {
    std::vector<float> freqs(channels);
    for (std::size_t i = 0; i < channels; ++i) {
        freqs[i] = 30.0f * std::pow(500.0f, static_cast<float>(i) / static_cast<float>(channels));
    }
    return marlune::build_bank(freqs, sample_rate, std::nullopt, std::nullopt);
}

std::vector<float> make_signal() {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    std::vector<float> x(block_samples);
    for (float& v : x) v = noise(rng);
    return x;
}

// Best of `repeats` runs of f, in seconds.
template <class F>
double best_time(F f) {
    double best = 1e30;
    for (int r = 0; r < repeats; ++r) {
        const auto start = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

// Nanoseconds per sample-channel of one implementation's kernel over the block, renormalising
// every 256 samples, without frames.
double kernel_ns(const marlune::Implementation& impl, std::size_t channels,
                 const std::vector<float>& x) {
    ResonatorBank bank = make_bank(channels);
    const marlune::ChannelArrays arrays = bank.arrays();
    const double seconds =
        best_time([&] { impl.advance(arrays, channels, x.data(), x.size(), {}); });
    return seconds * 1e9 / static_cast<double>(x.size() * channels);
}

// Nanoseconds per sample-channel of the whole bank's resonate, frames included, over as much
// of the block as the frame cap allows.
double resonate_ns(std::size_t channels, std::size_t hop, const std::vector<float>& x) {
    const std::size_t frames =
        std::min(x.size() / hop, std::max<std::size_t>(1, max_frame_bytes / (8 * channels)));
    const std::span<const float> signal(x.data(), frames * hop);
    ResonatorBank bank = make_bank(channels);
    const double seconds = best_time([&] { bank.resonate(signal, hop); });
    return seconds * 1e9 / static_cast<double>(signal.size() * channels);
}

}  // namespace

int main() {
    const std::vector<float> x = make_signal();
    const std::size_t sizes[] = {4, 16, 64, 88, 256, 1024};
    const marlune::Implementation& scalar = marlune::scalar_implementation();

    std::printf("block: %zu samples at %.0f Hz; best of %d; ns per sample-channel\n",
                block_samples, static_cast<double>(sample_rate), repeats);
    std::printf("active implementation: %s (%s)\n\n", marlune::active_implementation().name,
                marlune::active_implementation().description);

    std::printf("%-10s", "channels");
    for (const marlune::Implementation& impl : marlune::implementations()) {
        if (impl.supported()) std::printf("%12s %8s", impl.name, "x scalar");
    }
    std::printf("\n");
    for (const std::size_t n : sizes) {
        const double base = kernel_ns(scalar, n, x);
        std::printf("%-10zu", n);
        for (const marlune::Implementation& impl : marlune::implementations()) {
            if (!impl.supported()) continue;
            const double t = &impl == &scalar ? base : kernel_ns(impl, n, x);
            std::printf("%12.3f %8.2f", t, base / t);
        }
        std::printf("\n");
    }

    std::printf("\nwhole bank, active implementation: process_sample per sample, "
                "process_samples per block\n");
    std::printf("%-10s %14s %14s %8s\n", "channels", "one at a time", "block", "ratio");
    for (const std::size_t n : sizes) {
        ResonatorBank bank = make_bank(n);
        const double single = best_time([&] {
            for (const float v : x) bank.process_sample(v);
        });
        const double block = best_time([&] { bank.process_samples(x); });
        const double per = 1e9 / static_cast<double>(x.size() * n);
        std::printf("%-10zu %14.3f %14.3f %8.2f\n", n, single * per, block * per, single / block);
    }

    const std::size_t hops[] = {1, 4, 16, 64, 256};
    std::printf("\nresonate, active implementation, frames included (at most %zu MiB of them)\n",
                max_frame_bytes >> 20);
    std::printf("%-10s", "channels");
    for (const std::size_t hop : hops) std::printf("%9s%-3zu", "hop ", hop);
    std::printf("\n");
    for (const std::size_t n : {std::size_t{1}, std::size_t{8}, std::size_t{88}, std::size_t{256},
                                std::size_t{1024}}) {
        std::printf("%-10zu", n);
        for (const std::size_t hop : hops) std::printf("%12.3f", resonate_ns(n, hop, x));
        std::printf("\n");
    }
    return 0;
}
