// Building a bank: rotation factors, initial state, default coefficients and the length error.
#include <optional>

#include "core/parameters.hpp"
#include "reference.hpp"

namespace {

using marlune::build_bank;
using marlune::ResonatorBank;
using reference::bits;

class Construction : public testing::TestWithParam<std::pair<float, std::vector<float>>> {};

TEST_P(Construction, InitialRecordAndRotation) {
    const auto& [sr, freqs] = GetParam();
    std::vector<marlune::ChannelTriple> triples;
    for (const float f : freqs) triples.push_back({f, 0.125f, 0.25f});
    const ResonatorBank bank(triples, sr);
    const auto r = reference::record(bank);
    ASSERT_EQ(bank.channel_count(), freqs.size());
    ASSERT_EQ(r.channel_count, freqs.size());
    EXPECT_EQ(r.sample_counter, 0u);
    for (std::size_t i = 0; i < freqs.size(); ++i) {
        volatile float product = freqs[i] * -6.2831855f;
        const float theta = product / sr;
        const auto arrays = r.arrays();  // record order
        const float want[] = {freqs[i], 0.125f, 0.25f, 1.0f, 0, cosf(theta), sinf(theta), 0, 0, 0, 0};
        for (int f = 0; f < 11; ++f) {
            ASSERT_EQ(arrays[f]->size(), freqs.size());
            EXPECT_EQ(bits((*arrays[f])[i]), bits(want[f])) << "channel " << i << ", field " << f;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, Construction,
                         testing::Values(std::pair{48000.0f, std::vector{0.0f, 440.0f, 1.2e4f, 3e4f}},
                                         std::pair{44100.0f, std::vector{27.5f, 4186.01f, -440.0f}},
                                         std::pair{-8000.0f, std::vector{1000.0f}},
                                         std::pair{0.0f, std::vector{0.0f, 1.0f}},
                                         std::pair{16000.0f, std::vector<float>{}}),
                         reference::CaseIndex());

TEST(Construction, SpecialChannels) {
    const ResonatorBank bank({{{0.0f, 0.1f, 0.1f}, {12000.0f, 0.1f, 0.1f}}}, 48000.0f);
    const auto r = reference::record(bank);
    EXPECT_EQ(bits(r.rotation_re[0]), bits(1.0f));  // 0 Hz: exactly (1, -0)
    EXPECT_EQ(bits(r.rotation_im[0]), bits(-0.0f));
    EXPECT_NEAR(r.rotation_re[1], 0.0f, 1e-6f);  // a quarter of the rate: about (0, -1)
    EXPECT_EQ(r.rotation_im[1], -1.0f);
    const ResonatorBank no_rate({{{0.0f, 0.1f, 0.1f}, {5.0f, 0.1f, 0.1f}}}, 0.0f);
    const auto& no_rate_rotation = reference::record(no_rate).rotation_re;
    EXPECT_TRUE(std::isnan(no_rate_rotation[0]) && std::isnan(no_rate_rotation[1]));
}

TEST(BuildBank, DefaultsAndGivenCoefficients) {
    const std::vector<float> freqs = {0.0f, 55.0f, 440.0f, 3520.0f, 20000.0f};
    const std::vector<float> given = {0.5f, 0.25f, 0.125f, 0.0625f, 0.03125f};
    volatile float sr = 44100.0f;
    const ResonatorBank both_bank = build_bank(freqs, sr, std::nullopt, std::nullopt);
    const ResonatorBank alphas_only_bank = build_bank(freqs, sr, given, std::nullopt);
    const ResonatorBank betas_only_bank = build_bank(freqs, sr, std::nullopt, given);
    const auto both = reference::record(both_bank);
    const auto alphas_only = reference::record(alphas_only_bank);
    const auto betas_only = reference::record(betas_only_bank);
    EXPECT_TRUE(std::isnan(both.alphas[0]) && std::isnan(both.betas[0]));  // log10(1) = 0
    const float k = -1.0f / sr;
    for (std::size_t i = 0; i < freqs.size(); ++i) {
        const float u = k * freqs[i], v = log10f(freqs[i] + 1.0f);
        EXPECT_EQ(bits(both.alphas[i]), bits(1.0f - expf(u / v)));
        EXPECT_EQ(bits(both.betas[i]), bits(both.alphas[i]));
        EXPECT_EQ(alphas_only.alphas[i], given[i]);
        EXPECT_EQ(alphas_only.betas[i], given[i]);
        EXPECT_EQ(bits(betas_only.alphas[i]), bits(both.alphas[i]));
        EXPECT_EQ(betas_only.betas[i], given[i]);
    }
    const marlune::Buffer<float> h = marlune::heuristic_alphas(freqs, sr);
    const std::span<const float> hs(h.data(), h.size());
    reference::expect_same(both_bank, build_bank(freqs, sr, hs, hs));
    EXPECT_EQ(build_bank({}, sr, std::nullopt, std::nullopt).channel_count(), 0u);
}

TEST(BuildBank, LengthMismatchIsInvalidArgument) {
    using Lengths = std::tuple<std::size_t, std::optional<std::size_t>, std::optional<std::size_t>>;
    const auto given = [](const std::vector<float>& v, bool is) {
        return is ? std::optional<std::span<const float>>(v) : std::nullopt;
    };
    for (const auto& [nf, na, nb] : {Lengths{3, 2, std::nullopt}, Lengths{0, 1, std::nullopt},
                                     Lengths{3, std::nullopt, 4}, Lengths{3, 3, 2},
                                     Lengths{2, 3, 2}}) {
        const std::vector<float> freqs(nf, 100.0f), alphas(na.value_or(0), 0.1f),
            betas(nb.value_or(0), 0.1f);
        try {
            build_bank(freqs, 48000.0f, given(alphas, na.has_value()), given(betas, nb.has_value()));
            ADD_FAILURE() << "no failure for " << nf << " frequencies";
        } catch (const marlune::InvalidArgument& e) {
            EXPECT_EQ(e.message(), "freqs, alphas, and betas must have the same length");
        }
    }
}

}  // namespace
