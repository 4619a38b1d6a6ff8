// Speed of the resonator bank core: every implementation this CPU supports against the portable
// scalar one, on noise and on real sound (a tone then digital silence, a -96 dBFS noise floor),
// one-sample calls against blocks, and resonate over a grid of hops and channel counts. Prints
// figures; checks nothing. The kernels are called as the bank calls them, with subnormals
// flushed; the silence rows also show them without the flush, and how many subnormal values the
// silence leaves in the state either way (with the flush there must be none).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include <sys/resource.h>

#include "core/bank.hpp"
#include "core/flush_to_zero.hpp"
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

// Runs samples x through one implementation's kernel, renormalising every 256 samples, without
// frames; with subnormals flushed as the bank runs it, or in plain IEEE arithmetic.
void run_kernel(const marlune::Implementation& impl, ResonatorBank& bank, std::size_t channels,
                const std::vector<float>& x, bool flush = true) {
    if (flush) {
        const marlune::FlushToZero guard;
        impl.advance(bank.arrays(), channels, x.data(), x.size(), {});
    } else {
        impl.advance(bank.arrays(), channels, x.data(), x.size(), {});
    }
}

// Nanoseconds per sample-channel of one implementation's kernel over the block.
double kernel_ns(const marlune::Implementation& impl, std::size_t channels,
                 const std::vector<float>& x) {
    ResonatorBank bank = make_bank(channels);
    const double seconds = best_time([&] { run_kernel(impl, bank, channels, x); });
    return seconds * 1e9 / static_cast<double>(x.size() * channels);
}

// --- real sound -----------------------------------------------------------------------------
// 10 s at 48 kHz: 2 s of a 440 Hz tone at half scale, then 8 s of exact zeros (the tail of a
// rendered file, a muted input) or of noise at -96 dBFS RMS (a 16-bit recording's floor).
constexpr std::size_t sound_samples = 10 * 48000, tone_samples = 2 * 48000;

std::vector<float> tone_then(float floor_rms) {
    std::vector<float> x(sound_samples, 0.0f);
    std::mt19937 rng(777);
    std::normal_distribution<float> noise(0.0f, floor_rms);
    for (std::size_t k = 0; k < sound_samples; ++k) {
        x[k] = k < tone_samples ? 0.5f * std::sin(2.0f * std::numbers::pi_v<float> * 440.0f *
                                                  static_cast<float>(k) / sample_rate)
                                : (floor_rms > 0.0f ? noise(rng) : 0.0f);
    }
    return x;
}

// Channels whose averages hold a subnormal value.
std::size_t subnormal_values(ResonatorBank& bank, std::size_t channels) {
    const marlune::ChannelArrays a = bank.arrays();
    std::size_t count = 0;
    for (const float* array : {a.accum_re, a.accum_im, a.smooth_re, a.smooth_im}) {
        for (std::size_t j = 0; j < channels; ++j) {
            count += std::fpclassify(array[j]) == FP_SUBNORMAL;
        }
    }
    return count;
}

// One kernel at one channel count: seconds on noise, on the tone then silence (whole, and the
// silence alone once the bank has decayed), on the tone then the noise floor; with the flush and
// without it.
void real_sound_row(const marlune::Implementation& impl, std::size_t channels) {
    static const std::vector<float> noise = [] {
        std::vector<float> x(sound_samples);
        std::mt19937 rng(12345);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        for (float& v : x) v = u(rng);
        return x;
    }();
    static const std::vector<float> silence = tone_then(0.0f), floor = tone_then(1.58e-5f);
    static const std::vector<float> zeros(sound_samples - tone_samples, 0.0f);
    const double per = 1.0 / static_cast<double>(sound_samples * channels);
    const double per_zeros = 1.0 / static_cast<double>(zeros.size() * channels);
    std::printf("%-8s %-9zu", impl.name, channels);
    for (const bool flush : {true, false}) {
        ResonatorBank bank = make_bank(channels);
        const double t_noise = best_time([&] { run_kernel(impl, bank, channels, noise, flush); });
        // Each run of the whole signal starts from a fresh bank, as a file would.
        double t_silence = 1e30;
        for (int r = 0; r < repeats; ++r) {
            bank = make_bank(channels);
            const auto start = Clock::now();
            run_kernel(impl, bank, channels, silence, flush);
            t_silence = std::min(
                t_silence, std::chrono::duration<double>(Clock::now() - start).count());
        }
        // The bank has heard 8 s of silence already: more of it, after the decay.
        const double t_zeros = best_time([&] { run_kernel(impl, bank, channels, zeros, flush); });
        const std::size_t left = subnormal_values(bank, channels);
        ResonatorBank floor_bank = make_bank(channels);
        const double t_floor = best_time([&] {
            floor_bank = make_bank(channels);
            run_kernel(impl, floor_bank, channels, floor, flush);
        });
        // Nanoseconds per sample-channel; a ratio above 1 is faster than on noise.
        const double ns = t_noise * per * 1e9;
        std::printf("%9.3f %8.2f %8.2f %8.2f %6zu   ", ns, ns / (t_silence * per * 1e9),
                    ns / (t_zeros * per_zeros * 1e9), ns / (t_floor * per * 1e9), left);
    }
    std::printf("\n");
}

// Nanoseconds per sample-channel of the whole bank's resonate, frames included, over as much
// of the block as the frame cap allows.
double resonate_ns(std::size_t channels, std::size_t hop, const std::vector<float>& x,
                   std::size_t max_bytes = max_frame_bytes) {
    const std::size_t frames =
        std::min(x.size() / hop, std::max<std::size_t>(1, max_bytes / (8 * channels)));
    const std::span<const float> signal(x.data(), frames * hop);
    ResonatorBank bank = make_bank(channels);
    const double seconds = best_time([&] { bank.resonate(signal, hop); });
    return seconds * 1e9 / static_cast<double>(signal.size() * channels);
}

// --- whole files ----------------------------------------------------------------------------
// resonate on 2^20 samples at 88 channels in one call: the result is fresh memory, which the
// system maps, zeroes and hands over page by page, against the capped call of the grid above.
long minor_faults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

void whole_file_rows() {
    constexpr std::size_t channels = 88, samples = std::size_t{1} << 20;
    std::vector<float> x(samples);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (float& v : x) v = u(rng);
    // Bytes per second into fresh memory, as a result is written: allocate, write, free.
    const std::size_t bytes = samples * channels * 8;
    const double fresh_write = best_time([&] {
        auto block = marlune::Buffer<char>::with_capacity(bytes);
        std::fill_n(block.data(), bytes, char{1});
        asm volatile("" : : "r"(block.data()) : "memory");
    });
    std::printf("\nwhole file: resonate on 2^20 samples, %zu channels, fresh result vs capped "
                "(reused memory)\n  fresh memory written at %.2f GB/s (%zu MiB)\n",
                channels, static_cast<double>(bytes) / fresh_write / 1e9, bytes >> 20);
    std::printf("%6s %10s %12s %12s %8s %14s %12s\n", "hop", "result MiB", "fresh ns", "capped ns",
                "ratio", "faults/call", "write limit");
    for (const std::size_t hop : {1, 4, 16, 64, 256}) {
        ResonatorBank bank = make_bank(channels);
        long faults = 0;
        const double fresh = best_time([&] {
            const long before = minor_faults();
            { const auto out = bank.resonate(x, hop); }
            faults = minor_faults() - before;
        });
        const double per = 1e9 / static_cast<double>(samples / hop * hop * channels);
        // Capped below the C library's threshold for fresh mappings (32 MiB), so that each
        // call's result reuses the memory the previous one freed.
        const double capped = resonate_ns(channels, hop, x, std::size_t{16} << 20);
        // The best a fresh result allows: its bytes at the fresh-memory rate.
        const double limit = fresh_write / static_cast<double>(bytes) * 8.0 / hop * 1e9;
        std::printf("%6zu %10zu %12.3f %12.3f %7.0f%% %14ld %12.3f\n", hop,
                    samples / hop * channels * 8 >> 20, fresh * per, capped,
                    100.0 * capped / (fresh * per), faults, limit);
    }
}

}  // namespace

// With an argument, only the part of that name: kernels, real, calls, resonate or fresh.
int main(int argc, char** argv) {
    const std::string_view only = argc > 1 ? argv[1] : "";
    const auto part = [only](std::string_view name) { return only.empty() || only == name; };
    const std::vector<float> x = make_signal();
    const std::size_t sizes[] = {4, 16, 64, 88, 256, 1024};
    const marlune::Implementation& scalar = marlune::scalar_implementation();

    std::printf("block: %zu samples at %.0f Hz; best of %d; ns per sample-channel\n",
                block_samples, static_cast<double>(sample_rate), repeats);
    std::printf("active implementation: %s (%s)\n\n", marlune::active_implementation().name,
                marlune::active_implementation().description);

    if (part("kernels")) {
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
    }
    if (part("real")) {
        std::printf("\nreal sound, 10 s at 48 kHz: throughput as a ratio to noise's (1.00: as fast)\n"
                    "  silence: 2 s of a 440 Hz tone then 8 s of zeros; after decay: 8 s more zeros\n"
                    "  floor: 2 s of the tone then 8 s of noise at -96 dBFS; subnormal: values left\n"
                    "  in the averages after the silence (with the flush there must be none)\n");
        std::printf("%-8s %-9s%9s %8s %8s %8s %6s   %9s %8s %8s %8s %6s\n", "kernel", "channels",
                    "noise ns", "silence", "decayed", "floor", "subn.", "IEEE: ns", "silence",
                    "decayed", "floor", "subn.");
        // Every kernel at 88 channels (the piano keys), the active one at more.
        for (const marlune::Implementation& impl : marlune::implementations()) {
            if (impl.supported()) real_sound_row(impl, 88);
        }
        for (const std::size_t n : {std::size_t{256}, std::size_t{1024}}) {
            real_sound_row(marlune::active_implementation(), n);
        }
    }
    if (part("calls")) {
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
        // What the flush costs each call into a kernel: setting the control word and restoring
        // the caller's, once each. A call of process_sample pays it once.
        constexpr int guards = 1 << 20;
        const double guard = best_time([] {
            for (int k = 0; k < guards; ++k) {
                const marlune::FlushToZero flush;
                asm volatile("" : : : "memory");
            }
        });
        std::printf("flush guard: %.2f ns per call into a kernel\n", guard * 1e9 / guards);
    }
    if (part("resonate")) {
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
    }
    if (part("fresh")) whole_file_rows();
    return 0;
}
