#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "SignalAnalysis.h"
#include "TidewellStream/TidewellResampler.h"

using namespace streamlib_test;

namespace {

struct ResamplerDeleter {
    void operator()(TidewellResampler* r) const { TidewellResamplerDestroy(r); }
};
using ResamplerPtr = std::unique_ptr<TidewellResampler, ResamplerDeleter>;

ResamplerPtr Make(uint32_t channels, uint32_t maxFrames, double in, double out) {
    return ResamplerPtr(TidewellResamplerCreate(channels, maxFrames, in, out));
}

// Runs `inputFrames` of a mono sine through the resampler in blocks and returns all output.
std::vector<float> ResampleSine(TidewellResampler* r, double frequency, size_t inputFrames, uint32_t block = 512) {
    std::vector<float> output;
    std::vector<float> scratch(TidewellResamplerMaxOutputFrames(r, block));
    for (size_t start = 0; start < inputFrames; start += block) {
        const auto in = Sine(r->inputRate, frequency, 0.5, start, block);
        const uint32_t n = TidewellResamplerProcess(r, in.data(), block, scratch.data(), scratch.size());
        output.insert(output.end(), scratch.begin(), scratch.begin() + n);
    }
    return output;
}

}  // namespace

TEST(Resampler, CreateRefusesBadArgumentsAndRatesOutsideItsRange) {
    EXPECT_NE(Make(64, 512, 44100, 48000), nullptr);
    EXPECT_EQ(Make(65, 512, 44100, 48000), nullptr);
    EXPECT_EQ(Make(0, 512, 44100, 48000), nullptr);
    EXPECT_EQ(Make(2, 0, 44100, 48000), nullptr);
    EXPECT_EQ(Make(2, 512, 0, 48000), nullptr);
    EXPECT_EQ(Make(2, 512, 48000, -1), nullptr);
    EXPECT_EQ(Make(2, 512, std::nan(""), 48000), nullptr);
    EXPECT_EQ(Make(2, 512, std::numeric_limits<double>::infinity(), 48000), nullptr);
    // A measured rate of a few hundred hertz is a broken clock, not audio.
    EXPECT_EQ(Make(2, 512, 999, 48000), nullptr);
    EXPECT_NE(Make(2, 512, kTidewellResamplerMinimumRate, 48000), nullptr);
    EXPECT_NE(Make(2, 512, 48000, kTidewellResamplerMaximumRate), nullptr);
    EXPECT_EQ(Make(2, 512, 48000, kTidewellResamplerMaximumRate * 2), nullptr);

}

TEST(Resampler, RateScalarIsClampedAndDecidesIdentity) {
    auto r = Make(2, 512, 48000, 48000);
    EXPECT_TRUE(TidewellResamplerIsIdentity(r.get()));
    TidewellResamplerSetRateScalar(r.get(), 2.0);
    EXPECT_EQ(r->rateScalar.load(), 1.005);
    TidewellResamplerSetRateScalar(r.get(), 0.5);
    EXPECT_EQ(r->rateScalar.load(), 0.995);
    TidewellResamplerSetRateScalar(r.get(), std::nan(""));
    EXPECT_EQ(r->rateScalar.load(), 0.995);
    EXPECT_FALSE(TidewellResamplerIsIdentity(r.get()));
    TidewellResamplerSetRateScalar(r.get(), 1.0);
    EXPECT_TRUE(TidewellResamplerIsIdentity(r.get()));

    auto converting = Make(2, 512, 44100, 48000);
    EXPECT_FALSE(TidewellResamplerIsIdentity(converting.get()));
}

TEST(Resampler, MaxOutputFramesCoversTheSlowestStep) {
    auto r = Make(2, 512, 44100, 48000);
    EXPECT_EQ(TidewellResamplerMaxOutputFrames(r.get(), 512), 568u);
    auto down = Make(2, 512, 96000, 48000);
    EXPECT_EQ(TidewellResamplerMaxOutputFrames(down.get(), 512), 257u + 8u);
    auto slow = Make(1, 8192, kTidewellResamplerMinimumRate, kTidewellResamplerMaximumRate);
    EXPECT_EQ(TidewellResamplerMaxOutputFrames(slow.get(), UINT32_MAX), UINT32_MAX);
}

TEST(Resampler, FilterTableIsSymmetricWithUnitDcGainPerRow) {
    for (double in : {44100.0, 96000.0}) {
        auto r = Make(1, 64, in, 48000);
        const float* t = r->filterTable;
        for (uint32_t p = 0; p <= kTidewellResamplerPhases; ++p) {
            double sum = 0.0;
            for (uint32_t k = 0; k < 32; ++k) {
                sum += t[p * 32 + k];
                // Row p at offset d mirrors row 256 - p at offset -d.
                EXPECT_FLOAT_EQ(t[p * 32 + k], t[(256 - p) * 32 + (31 - k)]);
            }
            EXPECT_NEAR(sum, 1.0, 1e-4) << "row " << p;
        }
    }
    // At 96000 to 48000 the cutoff falls to 0.92 / 2.01 of the input's Nyquist; at 44100 to
    // 48000 it stays at 0.92. The centre tap of row 0 is the cutoff before normalisation.
    auto up = Make(1, 64, 44100, 48000);
    auto down = Make(1, 64, 96000, 48000);
    const double upCentre = up->filterTable[15];
    const double downCentre = down->filterTable[15];
    EXPECT_NEAR(downCentre / upCentre, (0.92 / 2.01) / 0.92, 0.01);
}

TEST(Resampler, IdentityCopiesBitForBitWithoutDelayCutToCapacity) {
    auto r = Make(2, 256, 48000, 48000);
    std::vector<float> in(2 * 200);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (float& v : in) {
        v = value(random);
    }
    std::vector<float> out(2 * 300, 99.0f);
    EXPECT_EQ(TidewellResamplerProcess(r.get(), in.data(), 200, out.data(), 300), 200u);
    EXPECT_EQ(std::memcmp(in.data(), out.data(), in.size() * sizeof(float)), 0);
    EXPECT_EQ(out[2 * 200], 99.0f);
    EXPECT_EQ(TidewellResamplerProcess(r.get(), in.data(), 200, out.data(), 50), 50u);
    EXPECT_EQ(std::memcmp(in.data(), out.data(), 2 * 50 * sizeof(float)), 0);
    EXPECT_FALSE(r->primed);
}

TEST(Resampler, LeavingIdentityFiltersWithSixteenFramesOfDelayAndReturningCopiesAgain) {
    auto r = Make(1, 512, 48000, 48000);
    std::vector<float> out(600);
    const auto first = Sine(48000, 440, 0.5, 0, 512);
    ASSERT_EQ(TidewellResamplerProcess(r.get(), first.data(), 512, out.data(), 600), 512u);

    TidewellResamplerSetRateScalar(r.get(), 1.0001);
    const auto second = Sine(48000, 440, 0.5, 0, 512);
    const uint32_t n = TidewellResamplerProcess(r.get(), second.data(), 512, out.data(), 600);
    EXPECT_TRUE(r->primed);
    EXPECT_NEAR(n, 512u, 1u);
    // Zeroed history first, then the input 16 frames late (the step is a hair above 1).
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_NEAR(out[i], 0.0f, 0.01f) << i;
    }
    for (uint32_t i = 40; i < 400; ++i) {
        const double position = 16.0 + i * 1.0001;
        const double expected = 0.5 * std::sin(2.0 * M_PI * 440.0 * (position - 32.0) / 48000.0);
        EXPECT_NEAR(out[i], expected, 1e-4) << i;
    }

    TidewellResamplerSetRateScalar(r.get(), 1.0);
    const double position = r->position;
    const auto third = Sine(48000, 1000, 0.25, 0, 300);
    ASSERT_EQ(TidewellResamplerProcess(r.get(), third.data(), 300, out.data(), 600), 300u);
    EXPECT_EQ(std::memcmp(third.data(), out.data(), 300 * sizeof(float)), 0);
    EXPECT_EQ(r->position, position);
}

TEST(Resampler, ZeroInputFramesLeaveTheHistoryAlone) {
    auto r = Make(1, 512, 44100, 48000);
    const auto in = Sine(44100, 440, 0.5, 0, 512);
    std::vector<float> out(600);
    TidewellResamplerProcess(r.get(), in.data(), 512, out.data(), 600);
    const std::vector<float> history(r->workBuffer, r->workBuffer + 32);
    const double position = r->position;
    EXPECT_EQ(TidewellResamplerProcess(r.get(), in.data(), 0, out.data(), 600), 0u);
    EXPECT_EQ(r->position, position);
    EXPECT_EQ(std::vector<float>(r->workBuffer, r->workBuffer + 32), history);
}

TEST(Resampler, OutputDoesNotDependOnHowTheInputIsCut) {
    for (uint32_t channels : {1u, 2u, 5u}) {
        const size_t frames = 20000;
        const auto input = Sine(44100, 3000, 0.5, 0, frames, channels);
        auto whole = Make(channels, 4096, 44100, 48000);
        auto pieces = Make(channels, 4096, 44100, 48000);
        std::vector<float> a;
        std::vector<float> b;
        std::vector<float> scratch(channels * 8192);
        for (size_t start = 0; start < frames; start += 4096) {
            const uint32_t take = static_cast<uint32_t>(std::min<size_t>(4096, frames - start));
            const uint32_t n =
                TidewellResamplerProcess(whole.get(), input.data() + start * channels, take, scratch.data(), 8192);
            a.insert(a.end(), scratch.begin(), scratch.begin() + n * channels);
        }
        std::mt19937 random(channels);
        std::uniform_int_distribution<uint32_t> size(1, 700);
        for (size_t start = 0; start < frames;) {
            const uint32_t take = static_cast<uint32_t>(std::min<size_t>(size(random), frames - start));
            const uint32_t n =
                TidewellResamplerProcess(pieces.get(), input.data() + start * channels, take, scratch.data(), 8192);
            b.insert(b.end(), scratch.begin(), scratch.begin() + n * channels);
            start += take;
        }
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i) {
            // Rounding of the position may put a frame that lies exactly on an input frame at the
            // end of one row pair or the start of the next; the two differ only by the window's
            // edge taps, far below the signal.
            ASSERT_NEAR(a[i], b[i], 5e-5) << "value " << i << " of " << channels << " channels";
        }
    }
}

TEST(Resampler, EveryChannelIsFilteredAlike) {
    // Channel c carries the mono signal scaled by a power of two; the output must keep that exactly.
    const uint32_t channels = 64;
    auto multi = Make(channels, 1024, 44100, 48000);
    auto mono = Make(1, 1024, 44100, 48000);
    const auto base = Sine(44100, 2500, 0.3, 0, 1024);
    std::vector<float> in(1024 * channels);
    for (size_t i = 0; i < 1024; ++i) {
        for (uint32_t c = 0; c < channels; ++c) {
            in[i * channels + c] = base[i] * static_cast<float>(1 << (c % 4));
        }
    }
    std::vector<float> outMulti(2000 * channels);
    std::vector<float> outMono(2000);
    const uint32_t n = TidewellResamplerProcess(multi.get(), in.data(), 1024, outMulti.data(), 2000);
    ASSERT_EQ(n, TidewellResamplerProcess(mono.get(), base.data(), 1024, outMono.data(), 2000));
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t c = 0; c < channels; ++c) {
            ASSERT_EQ(outMulti[i * channels + c], outMono[i] * static_cast<float>(1 << (c % 4))) << i << "," << c;
        }
    }
}

struct ToneCase {
    double in;
    double out;
    double frequency;
};

class ResamplerTone : public ::testing::TestWithParam<ToneCase> {};

// A tone comes out at the gain the filter design gives it: flat in the passband, and a tone the
// output cannot carry folds back only as strongly as the design lets it through.
TEST_P(ResamplerTone, LevelMatchesTheFilterDesign) {
    const ToneCase tone = GetParam();
    auto r = Make(1, 512, tone.in, tone.out);
    const auto output = ResampleSine(r.get(), tone.frequency, static_cast<size_t>(tone.in * 2));
    ASSERT_GT(output.size(), 60000u);
    const std::vector<float> settled(output.begin() + 1000, output.begin() + 61000);
    const double heard = tone.frequency < tone.out / 2 ? tone.frequency : tone.out - tone.frequency;
    const SineFit fit = FitSine(settled, tone.out, heard);
    const double design = Decibels(DesignGain(r.get(), tone.frequency));
    const double measured = Decibels(fit.amplitude / 0.5);
    if (design > -10.0) {
        EXPECT_NEAR(measured, design, 0.01);
    } else if (design > -60.0) {
        EXPECT_NEAR(measured, design, 1.0);
    } else {
        EXPECT_LT(measured, -75.0);
    }
    // Everything else (interpolation error, rounding, images) stays far below the tone.
    EXPECT_LT(Decibels(fit.residualRms * std::sqrt(2.0) / 0.5), -78.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, ResamplerTone,
                         ::testing::Values(ToneCase{44100, 48000, 997}, ToneCase{44100, 48000, 10000},
                                           ToneCase{44100, 48000, 15000}, ToneCase{44100, 48000, 20000},
                                           ToneCase{48000, 44100, 997}, ToneCase{48000, 44100, 15000},
                                           ToneCase{48000, 44100, 20000}, ToneCase{48000, 44100, 23000},
                                           ToneCase{96000, 48000, 997}, ToneCase{96000, 48000, 30000}));

TEST(Resampler, DesignIsFlatInThePassbandAndQuietInTheStopband) {
    auto up = Make(1, 64, 44100, 48000);
    for (double f = 20; f <= 15000; f += 500) {
        EXPECT_NEAR(Decibels(DesignGain(up.get(), f)), 0.0, 0.01) << f;
    }
    // Images of the 44100 Hz input start at 44100 - 15000 Hz.
    for (double f = 29100; f <= 44000; f += 500) {
        EXPECT_LT(Decibels(DesignGain(up.get(), f)), -75.0) << f;
    }
    auto down = Make(1, 64, 48000, 44100);
    for (double f = 20; f <= 15000; f += 500) {
        EXPECT_NEAR(Decibels(DesignGain(down.get(), f)), 0.0, 0.01) << f;
    }
    auto half = Make(1, 64, 96000, 48000);
    for (double f = 30000; f <= 48000; f += 500) {
        EXPECT_LT(Decibels(DesignGain(half.get(), f)), -75.0) << f;
    }
}

TEST(Resampler, RateScalarChangesAreSmooth) {
    // A step of the scalar only changes the pace; the waveform has no jump and no kink larger than
    // the curvature of the sine itself.
    auto r = Make(1, 256, 44100, 48000);
    const double frequency = 1000.0;
    std::vector<float> output;
    std::vector<float> scratch(400);
    for (size_t block = 0; block < 400; ++block) {
        if (block == 100) TidewellResamplerSetRateScalar(r.get(), 1.005);
        if (block == 200) TidewellResamplerSetRateScalar(r.get(), 0.995);
        if (block == 300) TidewellResamplerSetRateScalar(r.get(), 1.0);
        const auto in = Sine(44100, frequency, 0.5, block * 256, 256);
        const uint32_t n = TidewellResamplerProcess(r.get(), in.data(), 256, scratch.data(), 400);
        output.insert(output.end(), scratch.begin(), scratch.begin() + n);
    }
    const double step = 2.0 * M_PI * frequency * (44100.0 / 48000.0) * 1.005 / 44100.0;
    const double curvature = 0.5 * step * step;
    for (size_t i = 100; i + 1 < output.size(); ++i) {
        const double second = output[i + 1] - 2.0 * output[i] + output[i - 1];
        ASSERT_LT(std::fabs(second), curvature * 1.02 + 1e-4) << i;
    }
}

TEST(Resampler, ShortOutputBufferNeverLeavesTheWorkBuffer) {
    // An output buffer smaller than MaxOutputFrames: the call consumes only what fits, and the
    // read position stays where the taps are inside the buffer, call after call.
    auto r = Make(2, 1024, 8000, 48000);
    const auto in = Sine(8000, 300, 0.5, 0, 1024, 2);
    std::vector<float> out(2 * 700);
    for (int call = 0; call < 50; ++call) {
        const uint32_t n = TidewellResamplerProcess(r.get(), in.data(), 1024, out.data(), 700);
        EXPECT_LE(n, 700u);
        EXPECT_GT(n, 600u);
        EXPECT_GE(r->position, 15.0);
        EXPECT_LE(r->position, 15.0 + r->ratio * 1.005 + 1e-9);
    }
    EXPECT_EQ(TidewellResamplerProcess(r.get(), in.data(), 1024, out.data(), 8), 0u);
}

namespace {

// The filtering steps written out plainly, one channel at a time with its own coefficient
// interpolation, against which the optimised loop must agree bit for bit.
class ReferenceResampler {
public:
    ReferenceResampler(const TidewellResampler* r) : r_(r), work_((32 + r->maxInputFrames) * r->channels, 0.0f) {}

    std::vector<float> Process(const std::vector<float>& input, double scalar) {
        const uint32_t channels = r_->channels;
        const uint32_t frames = static_cast<uint32_t>(input.size() / channels);
        std::copy(input.begin(), input.end(), work_.begin() + 32 * channels);
        const double step = r_->ratio * scalar;
        const double limit = 32.0 + frames - 17.0;
        std::vector<float> out;
        while (position_ <= limit) {
            const auto i = static_cast<uint32_t>(std::floor(position_));
            const double q = (position_ - i) * 256.0;
            const auto row = static_cast<uint32_t>(q);
            const auto t = static_cast<float>(q - row);
            for (uint32_t c = 0; c < channels; ++c) {
                float acc = 0.0f;
                for (uint32_t k = 0; k < 32; ++k) {
                    const float a = r_->filterTable[row * 32 + k];
                    const float b = r_->filterTable[(row + 1) * 32 + k];
                    const float coefficient = std::fma(b - a, t, a);
                    acc = std::fma(work_[(i - 15 + k) * channels + c], coefficient, acc);
                }
                out.push_back(acc);
            }
            position_ += step;
        }
        std::copy(work_.begin() + frames * channels, work_.begin() + (frames + 32) * channels, work_.begin());
        position_ -= frames;
        return out;
    }

private:
    const TidewellResampler* r_;
    std::vector<float> work_;
    double position_ = 16.0;
};

}  // namespace

TEST(Resampler, AgreesBitForBitWithThePlainAlgorithm) {
    for (uint32_t channels : {1u, 2u, 3u, 8u, 11u, 64u}) {
        auto r = Make(channels, 700, 44100, 48000);
        ReferenceResampler reference(r.get());
        std::mt19937 random(channels);
        std::uniform_real_distribution<float> value(-1.0f, 1.0f);
        std::uniform_int_distribution<uint32_t> size(1, 700);
        std::vector<float> out(channels * 1000);
        for (int call = 0; call < 40; ++call) {
            const double scalar = call < 20 ? 1.0 : 1.0037;
            TidewellResamplerSetRateScalar(r.get(), scalar);
            std::vector<float> in(size(random) * channels);
            for (float& v : in) v = value(random);
            const uint32_t n =
                TidewellResamplerProcess(r.get(), in.data(), static_cast<uint32_t>(in.size() / channels), out.data(), 1000);
            const std::vector<float> expected = reference.Process(in, scalar);
            ASSERT_EQ(expected.size(), static_cast<size_t>(n) * channels) << channels << " channels, call " << call;
            ASSERT_EQ(std::memcmp(expected.data(), out.data(), expected.size() * sizeof(float)), 0)
                << channels << " channels, call " << call;
        }
    }
}
