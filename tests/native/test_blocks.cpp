// Blocks and framed output: the same bits as one sample at a time, wherever a block is split.
#include <functional>
#include <optional>

#include "reference.hpp"

namespace {

using marlune::InternalFailure;
using marlune::ResonatorBank;
using reference::bits;

class BlockSplits : public testing::TestWithParam<std::vector<std::size_t>> {};

TEST_P(BlockSplits, SameAsModelAndAsSingleSamples) {
    const auto triples = reference::random_triples(21, 20);
    const std::vector<float> x = reference::random_signal(1100, 21);
    ResonatorBank blocks(triples, 22050.0f), singles(triples, 22050.0f);
    reference::Model model(triples, 22050.0f);
    std::size_t done = 0;
    for (const std::size_t len : GetParam()) {
        blocks.process_samples(std::span(x).subspan(done, len));
        for (std::size_t k = done; k < done + len; ++k) singles.process_sample(x[k]);
        model.samples(x, done, done + len);
        done += len;
    }
    reference::expect_matches(blocks, model);
    reference::expect_same(blocks, singles);
}

INSTANTIATE_TEST_SUITE_P(Splits, BlockSplits,
                         testing::Values(std::vector<std::size_t>{1100},
                                         std::vector<std::size_t>{1, 1099},
                                         std::vector<std::size_t>{255, 1, 844},
                                         std::vector<std::size_t>{256, 256, 588},
                                         std::vector<std::size_t>{200, 56, 300, 544},
                                         std::vector<std::size_t>{0, 513, 0, 587},
                                         std::vector<std::size_t>(11, 100)),
                         reference::CaseIndex());

struct Framing {
    std::size_t channels;
    std::size_t length;
    std::uint64_t hop;
};

class ResonateFraming : public testing::TestWithParam<Framing> {};

// From a bank that has already heard 100 samples: frame k is the smoothed value after sample
// (k + 1) * hop - 1 of the call, and the remainder never reaches the bank.
TEST_P(ResonateFraming, FramesAfterEachFullHopRemainderDropped) {
    const auto [channels, length, hop] = GetParam();
    const auto triples = reference::random_triples(channels, 22);
    const std::vector<float> before = reference::random_signal(100, 23);
    const std::vector<float> x = reference::random_signal(length, 24);
    ResonatorBank bank(triples, 48000.0f);
    reference::Model model(triples, 48000.0f);
    bank.process_samples(before);
    model.samples(before);

    const ResonatorBank::Frames out = bank.resonate(x, hop);
    const std::size_t frames = length / hop, n = triples.size();
    ASSERT_EQ(out.frames, frames);
    ASSERT_EQ(out.channels, n);
    ASSERT_EQ(out.values.size(), frames * n);
    for (std::size_t k = 0; k < frames; ++k) {
        model.samples(x, k * hop, (k + 1) * hop);
        for (std::size_t j = 0; j < n; ++j) {
            const marlune::Complex32 v = out.values[k * n + j];
            EXPECT_EQ(bits(v.real()), bits(model.channels[j].sm_re)) << "frame " << k << ", " << j;
            EXPECT_EQ(bits(v.imag()), bits(model.channels[j].sm_im)) << "frame " << k << ", " << j;
        }
    }
    reference::expect_matches(bank, model);
}

// Channel counts past the vector widths, frames that fill several cache-sized tiles, and frame
// buffers in huge pages (from 4 MiB: advised where they lie; from 32 MiB: aligned to them).
INSTANTIATE_TEST_SUITE_P(Lengths, ResonateFraming,
                         testing::Values(Framing{19, 10, 4}, Framing{19, 10, 1},
                                         Framing{19, 10, 10}, Framing{19, 10, 11},
                                         Framing{19, 0, 3}, Framing{19, 1000, 256},
                                         Framing{19, 1000, 300}, Framing{19, 700, 7},
                                         Framing{88, 700, 1}, Framing{57, 1000, 257},
                                         Framing{300, 600, 1}, Framing{512, 600, 8},
                                         Framing{1, 600'000, 1}, Framing{2, (1 << 21) + 5, 1}),
                         [](const auto& p) {
                             return std::to_string(p.param.channels) + "channels_length" +
                                    std::to_string(p.param.length) + "_hop" +
                                    std::to_string(p.param.hop);
                         });

// Frames from a signal fed in pieces equal the frames of the whole signal, wherever the pieces
// cut the renormalisation period.
TEST(Resonate, PiecesGiveTheFramesOfTheWhole) {
    const auto triples = reference::random_triples(41, 25);
    const std::vector<float> x = reference::random_signal(1200, 26);
    ResonatorBank whole(triples, 48000.0f), pieces(triples, 48000.0f);
    const ResonatorBank::Frames all = whole.resonate(x, 5);
    std::size_t done = 0, row = 0;
    for (const std::size_t len : {5, 250, 300, 5, 640}) {
        const ResonatorBank::Frames part = pieces.resonate(std::span(x).subspan(done, len), 5);
        for (std::size_t v = 0; v < part.values.size(); ++v) {
            const marlune::Complex32 got = part.values[v], want = all.values[row * 41 + v];
            ASSERT_EQ(bits(got.real()), bits(want.real())) << "frame " << row << ", " << v;
            ASSERT_EQ(bits(got.imag()), bits(want.imag())) << "frame " << row << ", " << v;
        }
        done += len;
        row += part.frames;
    }
    EXPECT_EQ(row, all.frames);
    reference::expect_same(pieces, whole);
}

TEST(Resonate, ZeroChannelsGiveEmptyFramesAndCount) {
    ResonatorBank bank({}, 48000.0f);
    const auto out = bank.resonate(std::vector<float>(1003, 0.5f), 10);
    EXPECT_EQ(out.frames, 100u);
    EXPECT_EQ(out.channels, 0u);
    EXPECT_TRUE(out.values.empty());
    EXPECT_EQ(reference::record(bank).sample_counter, 1000u);
}

struct Refusal {
    std::size_t channels;
    std::size_t length;
    std::uint64_t hop;
    const char* message;  // nullptr: the allocation itself fails
};

class ResonateRefusal : public testing::TestWithParam<Refusal> {};

// A hop of zero or a frame buffer too large is refused before any sample is read, so a signal
// too long to exist can be named by its length alone.
TEST_P(ResonateRefusal, FailsBeforeAnySample) {
    const auto [channels, length, hop, message] = GetParam();
    ResonatorBank bank(reference::random_triples(channels, 29), 48000.0f);
    bank.process_sample(1.0f);
    const ResonatorBank before = bank;
    const float sample = 0.0f;
    const std::span<const float> signal(&sample, length);
    if (message) {
        reference::expect_failure<InternalFailure>([&] { bank.resonate(signal, hop); }, message);
    } else {
        EXPECT_THROW(bank.resonate(signal, hop), std::bad_alloc);
    }
    reference::expect_same(bank, before);
}

constexpr std::size_t two_to(int k) { return std::size_t{1} << k; }
constexpr const char* overflow = "capacity overflow";

INSTANTIATE_TEST_SUITE_P(
    Cases, ResonateRefusal,
    testing::Values(Refusal{3, 0, 0, "attempt to divide by zero"},
                    Refusal{3, 1, 0, "attempt to divide by zero"},
                    Refusal{1, two_to(60), 1, overflow},              // 2^63 bytes
                    Refusal{4, two_to(62), 1, overflow},              // frames x channels wraps
                    Refusal{3, (two_to(60) + 2) / 3, 1, overflow},    // 2^63 + 16 bytes
                    Refusal{1, two_to(60) - 1, 1, nullptr},           // 2^63 - 8 bytes
                    Refusal{3, (two_to(60) - 1) / 3 * 2 + 1, 2, nullptr}),  // likewise
    reference::CaseIndex());

// The kernels trust every array to hold channel_count elements. A bank that was moved from,
// by construction or by assignment, is a bank without channels, not a count without arrays.
TEST(Blocks, MovedFromBankHasNoChannels) {
    const std::vector<float> x = reference::random_signal(300, 30);
    const std::function<void(ResonatorBank&)> feeds[] = {
        [&](ResonatorBank& b) { b.process_sample(x[0]); },
        [&](ResonatorBank& b) { b.process_samples(x); },
        [&](ResonatorBank& b) { b.resonate(x, 7); }};
    const ResonatorBank empty({}, 48000.0f);
    for (const auto& feed : feeds) {
        for (const bool assign : {false, true}) {
            ResonatorBank bank(reference::random_triples(5, 31), 48000.0f);
            bank.process_samples(x);
            const ResonatorBank before = bank;
            std::optional<ResonatorBank> taken;
            if (assign) {
                taken.emplace() = std::move(bank);
            } else {
                taken.emplace(std::move(bank));
            }
            reference::expect_same(*taken, before);
            reference::expect_same(bank, empty);
            feed(bank);
            EXPECT_EQ(bank.channel_count(), 0u);
            reference::expect_failure<InternalFailure>(
                [&] { bank.magnitude(0); }, "index out of bounds: the len is 0 but the index is 0");
        }
    }
}

}  // namespace
