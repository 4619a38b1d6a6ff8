// Every implementation this CPU supports against the portable one and the model, bit for bit,
// at channel counts around every vector width and runs that cross renormalisation points.
#include <iostream>
#include <string>

#include "reference.hpp"

namespace {

using marlune::Implementation;

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

class KernelTest : public testing::TestWithParam<std::tuple<const Implementation*, std::size_t>> {};

// Runs of these lengths, renormalising where the running total reaches a multiple of 256,
// as the bank does; together 1400 samples, crossing 256, 512, 768, 1024 and 1280.
constexpr std::size_t run_lengths[] = {1, 254, 1, 256, 100, 156, 17, 239, 3, 253, 120};

TEST_P(KernelTest, SameBitsAsScalarAndModel) {
    const auto [impl, n] = GetParam();
    const auto triples = reference::random_triples(n, 7 + static_cast<std::uint32_t>(n));
    const std::vector<float> x = reference::random_signal(1400, 99);
    marlune::ResonatorBank bank(triples, 44100.0f), scalar_bank(triples, 44100.0f);
    reference::Model model(triples, 44100.0f);
    const Implementation& scalar = marlune::scalar_implementation();

    std::size_t done = 0;
    for (const std::size_t len : run_lengths) {
        const marlune::ChannelArrays arrays = bank.arrays(), scalar_arrays = scalar_bank.arrays();
        impl->run(arrays, n, x.data() + done, len);
        scalar.run(scalar_arrays, n, x.data() + done, len);
        done += len;
        if (done % 256 == 0) {
            impl->renormalise(arrays.phasor_re, arrays.phasor_im, n);
            scalar.renormalise(scalar_arrays.phasor_re, scalar_arrays.phasor_im, n);
        }
        // The kernels leave the counter to the bank; the comparisons below include it.
        reference::record(bank).sample_counter = reference::record(scalar_bank).sample_counter = done;
        model.samples(x, model.counter, done);
        SCOPED_TRACE("after " + std::to_string(done) + " samples");
        reference::expect_same(bank, scalar_bank);
        reference::expect_matches(bank, model);
        if (HasFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllWidths, KernelTest,
    testing::Combine(testing::ValuesIn(supported_implementations()),
                     testing::Values(0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 23, 24, 25, 31,
                                     32, 33, 47, 48, 49, 63, 64, 65, 100)),
    [](const auto& param_info) {
        return std::string(std::get<0>(param_info.param)->name) + "_" +
               std::to_string(std::get<1>(param_info.param));
    });

}  // namespace
