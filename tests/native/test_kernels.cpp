// Every implementation this CPU supports against the portable one and the model, bit for bit,
// at channel counts around every vector width, with frames at hops around every width and
// stretches that cross renormalisation points in their middle. These inputs meet no subnormal
// number, so the bits are the plain IEEE ones (flushing is tested in test_flush.cpp).
#include <iostream>
#include <string>

#include "reference.hpp"

namespace {

using marlune::Implementation;
using reference::bits;

TEST(Implementations, ChoiceIsFirstSupportedAndScalarIsLast) {
    const Implementation& active = marlune::active_implementation();
    std::cout << "[ marlune ] implementation chosen on this machine: " << active.name << " ("
              << active.description << ")\n";
    RecordProperty("implementation", active.name);

    const auto all = marlune::implementations();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(&all.back(), &marlune::scalar_implementation());
    EXPECT_STREQ(all.back().name, "scalar");
    EXPECT_TRUE(all.back().supported());
    const auto first =
        std::find_if(all.begin(), all.end(), [](const auto& i) { return i.supported(); });
    EXPECT_EQ(&*first, &active);
}

std::vector<const Implementation*> supported_implementations() {
    std::vector<const Implementation*> out;
    for (const Implementation& impl : marlune::implementations()) {
        if (impl.supported()) out.push_back(&impl);
    }
    return out;
}

using KernelCase = std::tuple<const Implementation*, std::size_t, std::size_t>;

class KernelTest : public testing::TestWithParam<KernelCase> {};

// Stretches of these lengths, each one call with its own frames; together 1000 samples, with
// renormalisations after 256, 512 and 768 falling inside stretches and inside frames.
constexpr std::size_t stretch_lengths[] = {1, 254, 3, 300, 17, 425};

TEST_P(KernelTest, SameBitsAsScalarAndModel) {
    const auto [impl, n, hop] = GetParam();
    const auto triples = reference::random_triples(n, 7 + static_cast<std::uint32_t>(n));
    const std::vector<float> x = reference::random_signal(1000, 99);
    marlune::ResonatorBank bank(triples, 44100.0f), scalar_bank(triples, 44100.0f);
    reference::Model model(triples, 44100.0f);
    const Implementation& scalar = marlune::scalar_implementation();

    std::size_t done = 0;
    for (const std::size_t len : stretch_lengths) {
        const std::size_t rows = hop == 0 ? 0 : len / hop;
        std::vector<float> frames(2 * n * rows, -1.0f), scalar_frames = frames, want;
        {
            const marlune::FlushToZero flush;  // as the bank calls them; not the model
            impl->advance(bank.arrays(), n, x.data() + done, len, {done, hop, frames.data()});
            scalar.advance(scalar_bank.arrays(), n, x.data() + done, len,
                           {done, hop, scalar_frames.data()});
        }
        model.framed(x, done, done + len, hop == 0 ? SIZE_MAX : hop, want);
        done += len;
        // The kernels leave the counter to the bank; the comparisons below include it.
        reference::record(bank).sample_counter = done;
        reference::record(scalar_bank).sample_counter = done;
        SCOPED_TRACE("after " + std::to_string(done) + " samples");
        ASSERT_EQ(want.size(), frames.size());
        for (std::size_t f = 0; f < frames.size(); ++f) {
            ASSERT_EQ(bits(frames[f]), bits(scalar_frames[f])) << "frame float " << f;
            ASSERT_EQ(bits(frames[f]), bits(want[f])) << "frame float " << f;
        }
        reference::expect_same(bank, scalar_bank);
        reference::expect_matches(bank, model);
        if (HasFailure()) return;
    }
}

std::string case_name(const testing::TestParamInfo<KernelCase>& info) {
    const auto [impl, n, hop] = info.param;
    return std::string(impl->name) + "_" + std::to_string(n) + "_hop" + std::to_string(hop);
}

std::vector<std::size_t> every_count_to(std::size_t last) {
    std::vector<std::size_t> counts(last + 1);
    for (std::size_t n = 0; n <= last; ++n) counts[n] = n;
    return counts;
}

// Every channel count up to past two groups of the widest register, so that every mix of
// narrower tails appears; no frames (hop 0) and hops around the widths and the period.
INSTANTIATE_TEST_SUITE_P(
    AllWidths, KernelTest,
    testing::Combine(testing::ValuesIn(supported_implementations()),
                     testing::ValuesIn(every_count_to(70)),
                     testing::Values(0, 1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 255, 256, 257)),
    case_name);

class SampleTest
    : public testing::TestWithParam<std::tuple<const Implementation*, std::size_t>> {};

// One sample per call, as a caller of process_sample feeds the bank, across two
// renormalisations; checked on both sides of each.
TEST_P(SampleTest, OneAtATimeSameBitsAsScalarAndModel) {
    const auto [impl, n] = GetParam();
    const auto triples = reference::random_triples(n, 50 + static_cast<std::uint32_t>(n));
    const std::vector<float> x = reference::random_signal(600, 51);
    marlune::ResonatorBank bank(triples, 32000.0f), scalar_bank(triples, 32000.0f);
    reference::Model model(triples, 32000.0f);
    for (std::size_t k = 1; k <= x.size(); ++k) {
        const bool renormalise = k % 256 == 0;
        {
            const marlune::FlushToZero flush;
            impl->sample(bank.arrays(), n, x[k - 1], renormalise);
            marlune::scalar_implementation().sample(scalar_bank.arrays(), n, x[k - 1],
                                                    renormalise);
        }
        model.sample(x[k - 1]);
        if (k % 256 == 255 || renormalise || k == x.size()) {
            reference::record(bank).sample_counter = k;
            reference::record(scalar_bank).sample_counter = k;
            SCOPED_TRACE("after " + std::to_string(k) + " samples");
            reference::expect_same(bank, scalar_bank);
            reference::expect_matches(bank, model);
            if (HasFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllWidths, SampleTest,
                         testing::Combine(testing::ValuesIn(supported_implementations()),
                                          testing::ValuesIn(every_count_to(70))),
                         [](const auto& param_info) {
                             return std::string(std::get<0>(param_info.param)->name) + "_" +
                                    std::to_string(std::get<1>(param_info.param));
                         });

// Banks whose frames fill more than one tile: tiles end inside stretches, and with 512
// channels at hop 8 exactly on renormalisation points.
INSTANTIATE_TEST_SUITE_P(
    Tiles, KernelTest,
    testing::Combine(testing::ValuesIn(supported_implementations()), testing::Values(300, 512),
                     testing::Values(1, 3, 8, 100)),
    case_name);

}  // namespace
