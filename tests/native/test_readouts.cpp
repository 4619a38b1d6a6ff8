// Readouts and reset.
#include <functional>

#include "reference.hpp"

namespace {

using marlune::ResonatorBank;
using reference::bits;

TEST(Readouts, PerChannelAndWholeBank) {
    const auto triples = reference::random_triples(27, 40);
    ResonatorBank bank(triples, 48000.0f);
    bank.process_samples(reference::random_signal(777, 41));
    const auto r = reference::record(bank);
    r.smooth_re[5] = NAN;
    const marlune::Buffer<float> all[] = {bank.powers(), bank.magnitudes(), bank.phases(),
                                          bank.frequencies()};
    for (std::size_t j = 0; j < 27; ++j) {
        const float re = r.smooth_re[j], im = r.smooth_im[j];
        const float re2 = re * re, im2 = im * im;
        const float power = re2 + im2;
        const float got[] = {bank.power(j), bank.magnitude(j), bank.phase(j), bank.freq(j),
                             bank.complex_value(j).real(), bank.complex_value(j).imag()};
        const float want[] = {power, std::sqrt(power), atan2f(im, re), triples[j].freq, re, im};
        for (int f = 0; f < 6; ++f) EXPECT_EQ(bits(got[f]), bits(want[f])) << j << ", " << f;
        for (int f = 0; f < 4; ++f) {
            ASSERT_EQ(all[f].size(), 27u);
            EXPECT_EQ(bits(all[f][j]), bits(got[f])) << "whole-bank readout " << f << ", " << j;
        }
    }
    EXPECT_TRUE(std::isnan(bank.magnitude(5)) && std::isnan(bank.phase(5)));
    const ResonatorBank stored({{{440.1f, 0.1f, 0.1f}}}, 48000.0f);
    EXPECT_EQ(static_cast<double>(stored.freq(0)), 440.1000061035156);
}

using Bounds = std::tuple<std::size_t, std::uint64_t, const char*>;
class ReadoutBounds : public testing::TestWithParam<Bounds> {};

TEST_P(ReadoutBounds, FailWithLengthAndIndex) {
    const auto [channels, index, message] = GetParam();
    const ResonatorBank bank(reference::random_triples(channels, 43), 48000.0f);
    const std::function<void()> readouts[] = {
        [&] { bank.freq(index); }, [&] { bank.magnitude(index); }, [&] { bank.phase(index); },
        [&] { bank.power(index); }, [&] { bank.complex_value(index); }};
    for (const auto& readout : readouts) {
        reference::expect_failure<marlune::InternalFailure>(readout, message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Indices, ReadoutBounds,
    testing::Values(Bounds(0, 0, "index out of bounds: the len is 0 but the index is 0"),
                    Bounds(3, 3, "index out of bounds: the len is 3 but the index is 3"),
                    Bounds(3, UINT64_MAX,
                           "index out of bounds: the len is 3 but the index is 18446744073709551615")),
    reference::CaseIndex());

// A reset bank is a fresh one: it reads zero (phase of +0, +0 included) and repeats its frames.
TEST(Reset, BehavesLikeAFreshBank) {
    const auto triples = reference::random_triples(30, 44);
    const std::vector<float> x = reference::random_signal(900, 45);
    ResonatorBank bank(triples, 44100.0f);
    const ResonatorBank fresh = bank;
    const auto first = bank.resonate(x, 128);
    bank.reset();
    reference::expect_same(bank, fresh);
    for (const auto& readout : {bank.magnitudes(), bank.powers(), bank.phases()}) {
        for (const float v : readout) EXPECT_EQ(bits(v), bits(0.0f));
    }
    const auto second = bank.resonate(x, 128);
    ASSERT_EQ(first.values.size(), second.values.size());
    for (std::size_t k = 0; k < first.values.size(); ++k) {
        EXPECT_EQ(bits(first.values[k].real()), bits(second.values[k].real()));
        EXPECT_EQ(bits(first.values[k].imag()), bits(second.values[k].imag()));
    }
}

}  // namespace
