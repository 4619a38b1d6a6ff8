// The per-sample update through process_sample, against the model.
#include <cmath>

#include "reference.hpp"

namespace {

using marlune::ResonatorBank;
using reference::bits;

class UpdateSizes : public testing::TestWithParam<std::size_t> {};

// Sample by sample across two renormalisations, checked after the first sample and on both
// sides of each renormalisation: the 255th sample must not renormalise, the 256th must, after
// its rotation.
TEST_P(UpdateSizes, MatchesModelAroundRenormalisation) {
    const auto triples = reference::random_triples(GetParam(), 2);
    const std::vector<float> x = reference::random_signal(600, 3);
    ResonatorBank bank(triples, 48000.0f);
    reference::Model model(triples, 48000.0f);
    for (std::size_t k = 1; k <= x.size(); ++k) {
        bank.process_sample(x[k - 1]);
        model.sample(x[k - 1]);
        if (k == 1 || k % 256 == 255 || k % 256 == 0 || k == x.size()) {
            SCOPED_TRACE("after " + std::to_string(k) + " samples");
            reference::expect_matches(bank, model);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, UpdateSizes, testing::Values(0, 1, 5, 23, 24, 25, 40));

TEST(Update, RenormalisationCountsAcrossCalls) {
    const auto triples = reference::random_triples(13, 5);
    const std::vector<float> x = reference::random_signal(256, 6);
    ResonatorBank bank(triples, 16000.0f);
    reference::Model model(triples, 16000.0f);
    bank.process_samples(std::span(x).first(200));
    model.samples(x, 0, 200);
    for (std::size_t k = 200; k < 256; ++k) bank.process_sample(x[k]);
    model.samples(x, 200);
    reference::expect_matches(bank, model);
}

TEST(Update, NonFiniteSamplesSpoilTheAveragesButNotThePhasors) {
    const auto triples = reference::random_triples(20, 11);
    for (const float bad : {NAN, INFINITY}) {
        ResonatorBank bank(triples, 48000.0f), clean(triples, 48000.0f);
        const auto spoilt = reference::record(bank);
        spoilt.alphas[0] = 0.0f;  // 0 x inf and 0 x NaN are NaN too
        for (const float x : {bad, 0.25f}) bank.process_sample(x);
        for (const float x : {0.0f, 0.25f}) clean.process_sample(x);
        for (std::size_t i = 0; i < triples.size(); ++i) {
            EXPECT_FALSE(std::isfinite(spoilt.smooth_re[i]) || std::isfinite(spoilt.accum_im[i]));
            EXPECT_EQ(bits(spoilt.phasor_re[i]), bits(reference::record(clean).phasor_re[i]));
        }
        EXPECT_TRUE(std::isnan(spoilt.accum_re[0]));
    }
    ResonatorBank empty({}, 48000.0f);  // no channels: only the count moves
    for (int k = 0; k < 300; ++k) empty.process_sample(NAN);
    EXPECT_EQ(reference::record(empty).sample_counter, 300u);
}

}  // namespace
