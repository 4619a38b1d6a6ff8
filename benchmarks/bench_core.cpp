// Speed of the resonator bank core: every implementation this CPU supports against the portable
// scalar one, and one-sample calls against blocks. Prints figures; checks nothing.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "core/bank.hpp"
#include "core/kernels.hpp"

namespace {

using marlune::ResonatorBank;
using Clock = std::chrono::steady_clock;

constexpr float sample_rate = 48000.0f;
constexpr std::size_t block_samples = 48000;  // one second of audio
constexpr int repeats = 5;

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

// Nanoseconds per sample-channel of one implementation's kernel over the block, cut into runs
// of 256 samples with a renormalisation after each, as the bank does.
double kernel_ns(const marlune::Implementation& impl, std::size_t channels,
                 const std::vector<float>& x) {
    ResonatorBank bank = make_bank(channels);
    const marlune::ChannelArrays arrays = bank.arrays();
    const double seconds = best_time([&] {
        for (std::size_t s = 0; s < x.size(); s += marlune::renormalise_period) {
            const std::size_t run = std::min<std::size_t>(marlune::renormalise_period, x.size() - s);
            impl.run(arrays, channels, x.data() + s, run);
            impl.renormalise(arrays.phasor_re, arrays.phasor_im, channels);
        }
    });
    return seconds * 1e9 / static_cast<double>(x.size() * channels);
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
    return 0;
}
