// Subnormal numbers inside the update. The rule: an operand that is subnormal (an input sample,
// a coefficient, a state value) is read as a zero of its sign, and a result that would be
// subnormal is a zero of its sign; tininess is decided after rounding on x86-64 and before
// rounding on aarch64 (reference::Flush). Every implementation this CPU has, and the bank's own
// paths, are compared bit for bit with the model applying the same rule, on inputs that meet
// subnormals: a tone then a long digital silence, subnormal samples, samples around FLT_MIN.
#include <cfloat>
#include <cmath>
#include <algorithm>
#include <map>
#include <numbers>
#include <optional>

#include "reference.hpp"

namespace {

using marlune::ChannelTriple;
using marlune::Implementation;
using marlune::ResonatorBank;
using reference::bits;

struct Scenario {
    std::vector<ChannelTriple> triples;
    std::vector<float> x;
    std::size_t hop;
};

// 0.1 s of a tone, then silence long enough for the slowest channels (alpha 1e-4) to decay
// through the whole subnormal range; one channel's coefficients are themselves subnormal.
Scenario tone_then_silence() {
    Scenario s{{}, std::vector<float>(4800 + 1'000'000, 0.0f), 4096};
    const float alphas[] = {1e-4f, 1e-3f, 1e-2f, 0.3f, 1.0f, 1e-40f};
    for (std::size_t i = 0; i < 9; ++i) {
        const float a = alphas[i % std::size(alphas)];
        s.triples.push_back({27.5f * static_cast<float>(i + 1) * 7.0f, a, i % 2 ? a : std::min(1.0f, 2.0f * a)});
    }
    for (std::size_t k = 0; k < 4800; ++k) {
        s.x[k] = 0.5f * std::sin(2.0f * std::numbers::pi_v<float> * 440.0f *
                                 static_cast<float>(k) / 48000.0f);
    }
    return s;
}

// Every other sample subnormal, of either sign.
Scenario subnormal_samples() {
    Scenario s{reference::random_triples(13, 21), reference::random_signal(3000, 22), 7};
    std::mt19937 rng(23);
    std::uniform_int_distribution<std::uint32_t> mantissa(1, 0x7fffff), sign(0, 1);
    for (std::size_t k = 0; k < s.x.size(); k += 2) {
        s.x[k] = std::bit_cast<float>(mantissa(rng) | sign(rng) << 31);
    }
    return s;
}

// Samples within a few ulps of +-FLT_MIN and alphas just below 1, whose products fall within
// half an ulp below FLT_MIN: there the two tininess rules part. Those channels are at 0 Hz, so
// the phasor stays 1 and the product reaches the averages unchanged.
Scenario around_flt_min() {
    Scenario s{reference::random_triples(13, 31), std::vector<float>(3000), 5};
    for (std::size_t j = 0; j < 4; ++j) {
        s.triples[j].freq = 0.0f;
        s.triples[j].alpha = 1.0f - std::ldexp(float(j + 1), -23);
    }
    std::mt19937 rng(32);
    std::uniform_int_distribution<int> ulps(0, 4), sign(0, 1);
    std::uniform_real_distribution<float> scale(0.25f, 4.0f);
    for (std::size_t k = 0; k < s.x.size(); ++k) {
        const float v = k % 3 ? FLT_MIN * (1.0f + std::ldexp(float(ulps(rng)), -23))
                              : FLT_MIN * scale(rng);
        s.x[k] = sign(rng) ? -v : v;
    }
    return s;
}

const Scenario& scenario(int which) {
    static const Scenario all[] = {tone_then_silence(), subnormal_samples(), around_flt_min()};
    return all[which];
}

// What the model says, once per scenario: the state at every checkpoint and the frames of one
// call over the whole signal.
struct Expected {
    std::vector<std::size_t> checkpoints;
    std::vector<reference::Model> states;
    std::vector<float> frames;
    reference::Flush counts;
};

const Expected& expected(int which) {
    static std::map<int, Expected> cache;
    if (auto it = cache.find(which); it != cache.end()) return it->second;
    const Scenario& s = scenario(which);
    Expected e;
    reference::Model model(s.triples, 48000.0f);
    for (std::size_t k = 1; k <= 8; ++k) e.checkpoints.push_back(s.x.size() * k / 8);
    for (std::size_t k = 0, next = 0; k < s.x.size(); ++k) {
        model.sample(s.x[k]);
        if ((k + 1) % s.hop == 0) {
            for (const reference::Channel& c : model.channels) {
                e.frames.push_back(c.sm_re);
                e.frames.push_back(c.sm_im);
            }
        }
        if (k + 1 == e.checkpoints[next]) {
            e.states.push_back(model);
            ++next;
        }
    }
    e.counts = model.f;
    return cache.emplace(which, std::move(e)).first->second;
}

// The inputs meet what they are meant to meet.
TEST(Flush, ScenariosMeetSubnormals) {
    if (!marlune::flushes_subnormals) GTEST_SKIP() << "no flush on this architecture";
    for (int which = 0; which < 3; ++which) EXPECT_GT(expected(which).counts.flushes, 0u);
    EXPECT_GT(expected(2).counts.parted, 0u);  // the platform's tininess rule is tested
    // After the silence every value has flushed to zero, where IEEE arithmetic would leave the
    // slow channels stuck at a subnormal fixed point.
    for (const reference::Channel& c : expected(0).states.back().channels) {
        for (const float v : {c.acc_re, c.acc_im, c.sm_re, c.sm_im}) EXPECT_EQ(v, 0.0f);
    }
}

// How a bank is fed: the bank's public calls, or one implementation directly under the guard
// that the bank sets.
enum class Path { sample, block, frames };
using FlushCase = std::tuple<int, const Implementation*, Path>;

class FlushTest : public testing::TestWithParam<FlushCase> {};

TEST_P(FlushTest, SameBitsAsModelWithTheRule) {
    const auto [which, impl, path] = GetParam();
    const Scenario& s = scenario(which);
    const Expected& e = expected(which);
    ResonatorBank bank(s.triples, 48000.0f);
    const std::size_t n = s.triples.size();
    std::size_t done = 0;
    if (path == Path::frames) {
        std::vector<float> got;
        if (impl == nullptr) {
            const ResonatorBank::Frames out = bank.resonate(s.x, s.hop);
            const auto* f = reinterpret_cast<const float*>(out.values.data());
            got.assign(f, f + 2 * out.values.size());
        } else {
            got.assign(2 * n * (s.x.size() / s.hop), -1.0f);
            const marlune::FlushToZero flush;
            impl->advance(bank.arrays(), n, s.x.data(), s.x.size() / s.hop * s.hop,
                          {0, s.hop, got.data()});
        }
        const std::vector<float>& want = e.frames;
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(bits(got[i]), bits(want[i])) << "frame float " << i;
        }
        return;
    }
    for (std::size_t c = 0; c < e.checkpoints.size(); ++c) {
        const std::size_t to = e.checkpoints[c];
        if (impl == nullptr && path == Path::sample) {
            for (; done < to; ++done) bank.process_sample(s.x[done]);
        } else if (impl == nullptr) {
            bank.process_samples(std::span(s.x).subspan(done, to - done));
        } else if (path == Path::sample) {
            for (; done < to; ++done) {
                const marlune::FlushToZero flush;
                impl->sample(bank.arrays(), n, s.x[done], (done + 1) % 256 == 0);
            }
        } else {
            const marlune::FlushToZero flush;
            impl->advance(bank.arrays(), n, s.x.data() + done, to - done, {done, 0, nullptr});
        }
        done = to;
        reference::record(bank).sample_counter = to;
        SCOPED_TRACE("after " + std::to_string(to) + " samples");
        reference::expect_matches(bank, e.states[c], true);
        if (HasFailure()) return;
    }
}

std::vector<const Implementation*> implementations_and_bank() {
    std::vector<const Implementation*> out{nullptr};  // null: the bank's public calls
    for (const Implementation& impl : marlune::implementations()) {
        if (impl.supported()) out.push_back(&impl);
    }
    return out;
}

std::string case_name(const testing::TestParamInfo<FlushCase>& info) {
    const auto [which, impl, path] = info.param;
    const char* paths[] = {"sample", "block", "frames"};
    const char* inputs[] = {"silence", "subnormal_samples", "around_flt_min"};
    return std::string(inputs[which]) + "_" + (impl ? impl->name : "bank") + "_" +
           paths[static_cast<int>(path)];
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, FlushTest,
    testing::Combine(testing::Values(0, 1, 2), testing::ValuesIn(implementations_and_bank()),
                     testing::Values(Path::sample, Path::block, Path::frames)),
    case_name);

// A channel that has decayed to zero reads magnitude, power and phase +0, whatever the signs
// of its zero parts.
TEST(Flush, ZeroChannelsReadZero) {
    const Scenario& s = scenario(0);
    ResonatorBank bank(s.triples, 48000.0f);
    bank.process_samples(s.x);
    const auto r = reference::record(bank);
    const float zeros[][2] = {{0.0f, 0.0f}, {-0.0f, 0.0f}, {0.0f, -0.0f}, {-0.0f, -0.0f}};
    for (std::size_t j = 0; j < 4; ++j) {
        r.smooth_re[j] = zeros[j][0];
        r.smooth_im[j] = zeros[j][1];
    }
    const marlune::Buffer<float> phases = bank.phases(), magnitudes = bank.magnitudes();
    for (std::size_t j = 0; j < s.triples.size(); ++j) {
        SCOPED_TRACE("channel " + std::to_string(j));
        EXPECT_EQ(bits(bank.phase(j)), 0u);
        EXPECT_EQ(bits(phases[j]), 0u);
        EXPECT_EQ(bits(bank.magnitude(j)), 0u);
        EXPECT_EQ(bits(magnitudes[j]), 0u);
        EXPECT_EQ(bits(bank.power(j)), 0u);
    }
}

// The caller's control word, as the guard reads it, without x86's sticky exception flags.
std::uint64_t control_word() {
#if defined(__x86_64__) || defined(__i386__)
    return _mm_getcsr() & ~0x3fu;
#elif defined(__aarch64__)
    std::uint64_t w;
    asm volatile("mrs %0, fpcr" : "=r"(w));
    return w;
#else
    return 0;
#endif
}

// Every call gives the caller back its own control word, whether it flushed before or not.
TEST(Flush, CallerKeepsItsControlWord) {
    ResonatorBank bank(reference::random_triples(9, 41), 48000.0f);
    const std::vector<float> x = reference::random_signal(300, 42);
    for (const bool caller_flushes : {false, true}) {
        std::optional<marlune::FlushToZero> outer;
        if (caller_flushes) outer.emplace();
        const std::uint64_t before = control_word();
        bank.process_sample(0.5f);
        bank.process_samples(x);
        (void)bank.resonate(x, 4);
        EXPECT_EQ(control_word(), before) << "caller flushes: " << caller_flushes;
    }
}

}  // namespace
