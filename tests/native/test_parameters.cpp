// The parameter formulas: their documented values, and bit equality with the steps written out
// here over libm's single-precision functions.
#include <limits>

#include "core/parameters.hpp"
#include "reference.hpp"

namespace {

using namespace marlune;
using reference::bits;

// Through a volatile, so that the library functions really run instead of being folded at
// compile time with a correctly rounded result.
float at_run_time(float v) {
    volatile float r = v;
    return r;
}

TEST(Parameters, DocumentedValues) {
    const float a440 = at_run_time(440.0f);
    EXPECT_EQ(midi_to_hz(at_run_time(69.0f), a440), 440.0f);
    EXPECT_EQ(midi_to_hz(at_run_time(57.0f), a440), 220.0f);
    EXPECT_EQ(midi_to_hz(at_run_time(81.0f), a440), 880.0f);
    EXPECT_EQ(midi_to_hz(at_run_time(69.0f), at_run_time(432.0f)), 432.0f);
    EXPECT_EQ(static_cast<double>(midi_to_hz(at_run_time(60.0f), a440)), 261.62554931640625);
    for (const float sr : {8000.0f, 44100.0f, 48000.0f}) {
        const float r = at_run_time(sr);
        EXPECT_EQ(alpha_from_tau(at_run_time(0.0f), r), 1.0f);
        EXPECT_EQ(tau_from_alpha(at_run_time(0.0f), r), -std::numeric_limits<float>::infinity());
        EXPECT_EQ(bits(tau_from_alpha(at_run_time(1.0f), r)), bits(0.0f));
        EXPECT_TRUE(std::isnan(tau_from_alpha(at_run_time(1.5f), r)));
        EXPECT_TRUE(std::isnan(heuristic_alpha(at_run_time(0.0f), r)));
        for (const float t : {0.001f, 0.01f, 0.1f}) {
            const float back = tau_from_alpha(alpha_from_tau(at_run_time(t), r), r);
            EXPECT_NEAR(back, t, t * 2e-3f);  // 1 - expf loses digits for small alpha
        }
    }
}

TEST(Parameters, StepByStepOverRandomArguments) {
    std::mt19937 rng(31);
    std::uniform_real_distribution<float> note(0.0f, 127.0f), rate(4000.0f, 192000.0f),
        freq(0.0f, 22000.0f), tau(1e-4f, 2.0f), alpha(0.0f, 1.0f);
    for (int k = 0; k < 500; ++k) {
        const float m = note(rng), sr = rate(rng), f = freq(rng), t = tau(rng), a = alpha(rng);
        const float tuning = 400.0f + 0.1f * static_cast<float>(k);
        const float kr = -1.0f / sr;
        EXPECT_EQ(bits(midi_to_hz(m, tuning)), bits(exp2f((m - 69.0f) / 12.0f) * tuning));
        EXPECT_EQ(bits(alpha_from_tau(t, sr)), bits(1.0f - expf(kr / t)));
        EXPECT_EQ(bits(tau_from_alpha(a, sr)), bits(kr / logf(1.0f - a)));
        EXPECT_EQ(bits(heuristic_alpha(f, sr)), bits(1.0f - expf((kr * f) / log10f(f + 1.0f))));
    }
}

TEST(Parameters, HeuristicAlphasIsElementwise) {
    const std::vector<float> freqs = reference::random_signal(37, 32);  // negatives included
    const Buffer<float> all = heuristic_alphas(freqs, 32000.0f);
    ASSERT_EQ(all.size(), freqs.size());
    for (std::size_t i = 0; i < freqs.size(); ++i) {
        EXPECT_EQ(bits(all[i]), bits(heuristic_alpha(freqs[i], 32000.0f)));
    }
    EXPECT_TRUE(heuristic_alphas({}, 32000.0f).empty());
}

}  // namespace
