// A process tap across a server held up past its cycles: the tapped device and the tap's
// aggregate both lose the stall's cycles on their clocks, and the tap keeps its place on the
// tapped device's clock. This process plays its device's own sample time, so that every frame
// the aggregate delivers tells how far behind the device it is.
#include "TapTestSupport.h"
#include "TestServer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cmath>
#include <map>
#include <unistd.h>

using namespace audiotest;
using namespace taptest;

namespace {

constexpr double kWrap = 1 << 20;   // sample times, kept exact in a float

// Plays, on every channel, the sample time each frame is played at (wrapped), plus one.
OSStatus PlaySampleTime(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                        AudioBufferList* out, const AudioTimeStamp* outputTime, void*) {
    if (out == nullptr || outputTime == nullptr) return 0;
    for (UInt32 b = 0; b < out->mNumberBuffers; ++b) {
        AudioBuffer& buffer = out->mBuffers[b];
        if (buffer.mNumberChannels == 0) continue;
        auto* samples = static_cast<float*>(buffer.mData);
        const UInt32 frames = buffer.mDataByteSize / (4 * buffer.mNumberChannels);
        for (UInt32 i = 0; i < frames; ++i) {
            const auto value = static_cast<float>(std::fmod(outputTime->mSampleTime + i, kWrap) + 1);
            for (UInt32 k = 0; k < buffer.mNumberChannels; ++k) samples[i * buffer.mNumberChannels + k] = value;
        }
    }
    return 0;
}

// How far behind the device each delivered frame of cycles [from, to) is, in frames, and how
// many frames of them are silent.
struct Lateness {
    std::map<int64_t, size_t> frames;   // lateness -> frames
    size_t silent = 0;
    size_t Total() const {
        size_t n = 0;
        for (const auto& [late, count] : frames) n += count;
        return n;
    }
    int64_t Commonest() const {
        auto best = frames.begin();
        for (auto it = frames.begin(); it != frames.end(); ++it) best = it->second > best->second ? it : best;
        return best == frames.end() ? -1 : best->first;
    }
};

Lateness LatenessOf(const Recorder& rec, size_t from, size_t to) {
    Lateness result;
    const uint32_t ch = std::max(1u, rec.channels.load());
    for (size_t c = from; c + 1 < to; ++c) {
        for (size_t at = rec.cycleWritten[c]; at < rec.cycleWritten[c + 1]; at += ch) {
            const float value = rec.samples[at];
            if (value == 0.0f) {
                ++result.silent;
                continue;
            }
            const double frame = rec.cycleSample[c] + static_cast<double>((at - rec.cycleWritten[c]) / ch);
            // Wrapped to within half the wrap either way: the aggregate's cycle may stand before
            // the output time of the frames it carries.
            double late = std::fmod(std::fmod(frame, kWrap) - (value - 1) + kWrap, kWrap);
            late -= late > kWrap / 2 ? kWrap : 0;
            ++result.frames[static_cast<int64_t>(late)];
        }
    }
    return result;
}

std::string Describe(const Lateness& l) {
    std::string text;
    for (const auto& [late, frames] : l.frames) text += " " + std::to_string(frames) + " frames " + std::to_string(late) + " late;";
    return text + " " + std::to_string(l.silent) + " silent";
}

}  // namespace

TEST(TapStall, AServerHeldUpKeepsItsTapsOnTheTappedDevicesClock) {
    TestServer server;
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    ASSERT_NE(out, 0u);
    AudioDeviceIOProcID player = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(out, PlaySampleTime, nullptr, &player), 0);
    ASSERT_EQ(AudioDeviceStart(out, player), 0);
    const AudioObjectID self = ProcessObjectOf(getpid());
    ASSERT_NE(self, 0u);
    TapRun run;
    ASSERT_EQ(run.create(AudioTapDescription::StereoMixdownOfProcesses({self})), 0);
    run.start();
    // A second of the tap before the stalls (after its priming), and 0.6 s after each.
    auto cycles = [&] { return run.rec.cycles.load(); };
    auto seconds = [&](double s) { return static_cast<size_t>(s * 48000 / 512); };
    ASSERT_TRUE(WaitUntil([&] { return cycles() > seconds(1.3); }, 20s));
    const size_t warm = seconds(0.3);
    const size_t stoppedAt = cycles();
    const uint64_t lostBefore = LostCycles(server);
    // Three times: whether the aggregate or the tapped device resumes first is the machine's
    // choice, and each order must keep the tap in place.
    constexpr int kStalls = 3;
    for (int stall = 0; stall < kStalls; ++stall) {
        ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
        std::this_thread::sleep_for(200ms);
        ASSERT_EQ(::kill(server.pid(), SIGCONT), 0);
        const size_t resumedAt = cycles();
        ASSERT_TRUE(WaitUntil([&] { return cycles() > resumedAt + seconds(0.6); }, 20s));
    }
    const size_t end = cycles();
    const uint64_t lost = LostCycles(server) - lostBefore;
    run.stop();
    AudioDeviceStop(out, player);
    AudioDeviceDestroyIOProcID(out, player);

    const Lateness before = LatenessOf(run.rec, warm, stoppedAt);
    // From the last cycle seen before the first stop on: the server may serve a cycle or two
    // after SIGCONT before this thread looks.
    const Lateness after = LatenessOf(run.rec, stoppedAt, end);
    ASSERT_FALSE(before.frames.empty()) << "the tap delivered nothing of this process";
    // Both devices lost each stall's cycles (and counted them): at least 14 of 512 frames each.
    EXPECT_GE(lost, kStalls * 2u * 14) << "the server was not held up";
    // The tap's place before the stall, where it is again after it, and no audio from before the
    // stall comes late by the stall. (A ring the loaded machine ran dry primes itself again,
    // which may put a few hundred frames a cycle either way: that is no stall's doing.)
    EXPECT_GE(before.frames.at(before.Commonest()), before.Total() * 9 / 10) << "before the stall:" << Describe(before);
    EXPECT_EQ(after.Commonest(), before.Commonest()) << "after the stall:" << Describe(after);
    size_t lateByTheStall = 0;
    for (const auto& [late, frames] : after.frames) lateByTheStall += late > before.Commonest() + 512 ? frames : 0;
    EXPECT_EQ(lateByTheStall, 0u) << "after the stall:" << Describe(after) << "\nbefore:" << Describe(before);
}
