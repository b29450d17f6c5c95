// The IO path in process: client slots, zero timestamps, the ring's write and read paths
// with cushions and underruns, mixing by routes and gains, meters, and the exclusion of IO
// from configuration changes.

#include "TWTestSupport.h"

#include <CoreFoundation/HostClock.h>

#include <atomic>
#include <cmath>
#include <thread>

using namespace twtest;

namespace {

std::atomic<uint64_t> gFakeNow{0};
UInt64 FakeClock(void*) { return gFakeNow.load(); }

class IOTest : public ::testing::Test {
protected:
    static RuntimeRegion& region() {
        static RuntimeRegion* r = new RuntimeRegion(UniqueName("io"));
        return *r;
    }
    static std::string uid(const char* tag) { return std::string("io.") + tag + "." + std::to_string(getpid()); }

    void SetUp() override { InitializeDriverOnce(region().name()); }
    void TearDown() override {
        HostClockSetTestSource(nullptr, nullptr);
        for (AudioObjectID c : started_) Table().StopIO(Driver(), device_, c);
        RetireAll(region());
    }

    // Publishes one device and remembers its ids.
    void publish(RuntimeRegion::Slot slot, uint32_t headerFlags = 0) {
        region().publish({slot}, -1, headerFlags);
        TWReconcileNow();
        device_ = DeviceForUID(slot.uid);
        ASSERT_NE(device_, 0u);
        dev_ = TWTestDeviceForID(device_);
        channels_ = static_cast<uint32_t>(dev_->channelCount.load());
    }
    void start(UInt32 client) {
        ASSERT_EQ(Table().StartIO(Driver(), device_, client), 0);
        started_.push_back(client);
    }
    OSStatus write(const std::vector<float>& block, uint32_t frames) {
        return Table().DoIOOperation(Driver(), device_, device_ + 2, 0, kAudioServerPlugInIOOperationWriteMix, frames,
                                     nullptr, const_cast<float*>(block.data()), nullptr);
    }
    std::vector<float> read(UInt32 client, uint32_t frames) {
        std::vector<float> out(size_t(frames) * channels_, -7.0f);
        EXPECT_EQ(Table().DoIOOperation(Driver(), device_, device_ + 1, client, kAudioServerPlugInIOOperationReadInput,
                                        frames, nullptr, out.data(), nullptr),
                  0);
        return out;
    }
    // A block whose frame f, channel c holds (first + f) + c / 100.
    std::vector<float> ramp(uint64_t first, uint32_t frames) const {
        std::vector<float> b(size_t(frames) * channels_);
        for (uint32_t f = 0; f < frames; ++f) {
            for (uint32_t c = 0; c < channels_; ++c) b[size_t(f) * channels_ + c] = float(first + f) + c / 100.0f;
        }
        return b;
    }
    float at(const std::vector<float>& b, uint32_t frame, uint32_t channel) const {
        return b[size_t(frame) * channels_ + channel];
    }

    AudioObjectID device_ = 0;
    TWDevice* dev_ = nullptr;
    uint32_t channels_ = 0;
    std::vector<AudioObjectID> started_;
};

TEST_F(IOTest, FirstReadIsSilentThenTheClientReadsTheNewestBlock) {
    publish({.uid = uid("first")});
    start(1);
    ASSERT_EQ(write(ramp(0, 512), 512), 0);
    // The slot was claimed at StartIO before the write: the block is there for it.
    auto got = read(1, 512);
    EXPECT_EQ(at(got, 0, 0), 0.0f);
    EXPECT_EQ(at(got, 511, 1), 511.0f + 1 / 100.0f);
    // A client that first reads now starts at the write position: silence.
    auto late = read(2, 512);
    for (float v : late) ASSERT_EQ(v, 0.0f);
    ASSERT_EQ(write(ramp(512, 512), 512), 0);
    got = read(2, 512);
    EXPECT_EQ(at(got, 0, 0), 512.0f);
}

TEST_F(IOTest, WriterThreeBlocksAheadGivesTheNewestBlock) {
    publish({.uid = uid("ahead")});
    start(1);
    for (uint64_t b = 0; b < 3; ++b) write(ramp(b * 512, 512), 512);
    auto got = read(1, 512);
    EXPECT_EQ(at(got, 0, 0), 1024.0f);
    EXPECT_EQ(at(got, 511, 0), 1535.0f);
}

TEST_F(IOTest, TheRingHoldsTheLargestBufferWithItsCushion) {
    RuntimeRegion::Slot slot{.uid = uid("big"), .channels = 64};
    slot.routes = {{1, 1}, {64, 64}};
    publish(slot);
    start(1);
    // 4096-frame blocks at 64 channels go through whole, one after another.
    for (uint64_t b = 0; b < 3; ++b) {
        ASSERT_EQ(write(ramp(b * 4096, 4096), 4096), 0);
        auto got = read(1, 4096);
        ASSERT_EQ(at(got, 0, 63), float(b * 4096) + 63 / 100.0f);
        ASSERT_EQ(at(got, 4095, 0), float(b * 4096 + 4095));
    }
    EXPECT_EQ(TWTestDeviceUnderrunCount(device_), 0u);
}

TEST_F(IOTest, ABlockLongerThanTheRingKeepsItsLastFrames) {
    publish({.uid = uid("long")});
    start(1);
    const uint32_t frames = 2 * kTWRingFrames;
    ASSERT_EQ(write(ramp(0, frames), frames), 0);
    EXPECT_EQ(dev_->writePosition.load(), frames);
    // A reader far behind is brought to at most one ring's length behind, then to one
    // block plus its cushion behind the newest frame.
    auto got = read(1, 512);
    EXPECT_EQ(at(got, 0, 0), float(frames - 512));
    EXPECT_EQ(at(got, 511, 0), float(frames - 1));
}

TEST_F(IOTest, CushionGrowsOnlyAfterWarmUpAndIsCapped) {
    publish({.uid = uid("cushion")});
    start(1);
    // Warm-up: 48000 frames of short reads never count.
    uint64_t pos = 0;
    for (int i = 0; i < 95; ++i) {  // reads 1 to 94 serve 48128 frames: only read 95 counts
        write(ramp(pos, 511), 511);
        pos += 511;
        read(1, 512);
    }
    EXPECT_EQ(TWTestClientUnderrunCount(device_, 1), 1u);
    EXPECT_EQ(TWTestClientCushionFrames(device_, 1), 32u);
    for (int i = 0; i < 40; ++i) {
        write(ramp(pos, 400), 400);
        pos += 400;
        read(1, 512);
    }
    EXPECT_EQ(TWTestClientCushionFrames(device_, 1), kTWMaxCushionFrames);
    EXPECT_GT(TWTestDeviceUnderrunCount(device_), 1u);
    EXPECT_GT(TWTestDeviceCushionGrowthCount(device_), 1u);
    EXPECT_LT(TWTestDeviceCushionGrowthCount(device_), TWTestDeviceUnderrunCount(device_));
    // An empty ring is not an underrun.
    uint32_t before = TWTestClientUnderrunCount(device_, 1);
    read(1, 512);
    read(1, 512);
    EXPECT_EQ(TWTestClientUnderrunCount(device_, 1), before + 0u);
    // After a restart the client starts over.
    ASSERT_EQ(Table().StopIO(Driver(), device_, 1), 0);
    ASSERT_EQ(Table().StartIO(Driver(), device_, 1), 0);
    EXPECT_EQ(TWTestClientCushionFrames(device_, 1), 0u);
    EXPECT_EQ(TWTestClientUnderrunCount(device_, 1), 0u);
}

TEST_F(IOTest, TheCushionKeepsTheReaderBehind) {
    publish({.uid = uid("lag")});
    start(1);
    TWClientState* slot = TWClientStateForID(dev_, 1, false);
    ASSERT_NE(slot, nullptr);
    slot->cushionFrames.store(128);
    for (uint64_t b = 0; b < 4; ++b) write(ramp(b * 512, 512), 512);
    auto got = read(1, 512);
    EXPECT_EQ(at(got, 0, 0), float(2048 - 512 - 128));
    // With the cushion switched off in the region's header, the newest block is read.
    region().publish({{.uid = uid("lag")}}, -1, TidewellRuntimeFlagCushionDisabled);
    write(ramp(2048, 512), 512);
    got = read(1, 512);
    EXPECT_EQ(at(got, 0, 0), 2048.0f);
}

TEST_F(IOTest, NoCushionOrUnderrunWhenTheHeaderSwitchesItOff) {
    publish({.uid = uid("nocushion")}, TidewellRuntimeFlagCushionDisabled);
    start(1);
    uint64_t pos = 0;
    for (int i = 0; i < 120; ++i) {
        write(ramp(pos, 500), 500);
        pos += 500;
        read(1, 512);
    }
    EXPECT_EQ(TWTestClientUnderrunCount(device_, 1), 0u);
    EXPECT_EQ(TWTestClientCushionFrames(device_, 1), 0u);
}

TEST_F(IOTest, RoutesAndGainsMix) {
    RuntimeRegion::Slot slot{.uid = uid("mix"), .channels = 4, .deviceGain = 0.5f, .sourceGain = 1.5f,
                             .channelGains = {1.0f, 0.25f, 1.0f, 2.0f}};
    // 1 -> 2, 2 -> 1, 1 -> 4 and 3 -> 4 add up; routes naming channel 0 or 5 are skipped.
    slot.routes = {{1, 2}, {2, 1}, {1, 4}, {3, 4}, {0, 3}, {5, 3}, {3, 0}};
    publish(slot);
    start(1);
    std::vector<float> block(512 * 4);
    for (uint32_t f = 0; f < 512; ++f) {
        block[f * 4 + 0] = 0.1f;
        block[f * 4 + 1] = 0.2f;
        block[f * 4 + 2] = 0.3f;
        block[f * 4 + 3] = 0.4f;
    }
    write(block, 512);
    auto got = read(1, 512);
    const float gain = 0.5f * 1.5f;
    auto fma = [](float a, float b, float c) { return std::fma(a, b, c); };
    EXPECT_EQ(at(got, 7, 0), fma(0.2f * gain, 1.0f, 0.0f));
    EXPECT_EQ(at(got, 7, 1), fma(0.1f * gain, 0.25f, 0.0f));
    EXPECT_EQ(at(got, 7, 2), 0.0f);
    EXPECT_EQ(at(got, 7, 3), fma(0.3f * gain, 2.0f, fma(0.1f * gain, 2.0f, 0.0f)));
}

TEST_F(IOTest, MutedDisabledOrZeroGainIsSilentButTheReaderAdvances) {
    struct Case {
        uint32_t clearFlags, setFlags;
        float deviceGain;
    } cases[] = {
        {0, TidewellSlotFlagMuted, 1.0f},
        {TidewellSlotFlagDeviceEnabled, 0, 1.0f},
        {TidewellSlotFlagSourceEnabled, 0, 1.0f},
        {0, 0, 0.0f},
    };
    int n = 0;
    for (const auto& c : cases) {
        RuntimeRegion::Slot slot{.uid = uid("quiet") + std::to_string(n++), .deviceGain = c.deviceGain};
        slot.flags = (slot.flags & ~c.clearFlags) | c.setFlags;
        publish(slot);
        start(1);
        write(ramp(1, 512), 512);
        auto got = read(1, 512);
        for (float v : got) ASSERT_EQ(v, 0.0f);
        EXPECT_EQ(TWClientStateForID(dev_, 1, false)->readPosition.load(), 512u);
        Table().StopIO(Driver(), device_, 1);
        started_.clear();
    }
}

// Writers move devices between runtime slots when one is deleted or the list reordered,
// and the plug-in learns the new slots only at its next pass. Until then each device must
// still play with its own controls: not its neighbour's, and not the defaults.
TEST_F(IOTest, DevicesKeepTheirOwnControlsWhenTheirSlotsMoveBeforeAPass) {
    RuntimeRegion::Slot a{.uid = uid("own.a"), .deviceGain = 0.5f};
    RuntimeRegion::Slot b{.uid = uid("own.b")};
    b.flags |= TidewellSlotFlagMuted;
    region().publish({a, b});
    TWReconcileNow();
    const AudioObjectID devA = DeviceForUID(a.uid), devB = DeviceForUID(b.uid);
    ASSERT_NE(devA, 0u);
    ASSERT_NE(devB, 0u);
    auto muted = [](AudioObjectID d) { return GetU32(d + 4, kAudioBooleanControlPropertyValue); };
    auto volume = [](AudioObjectID d) {
        Float32 v = -1;
        EXPECT_EQ(Get(d + 3, kAudioLevelControlPropertyScalarValue, &v), 0);
        return v;
    };
    ASSERT_EQ(muted(devB), 1u);
    ASSERT_EQ(volume(devA), 0.25f);
    ASSERT_EQ(muted(devA), 0u);

    // Reordered: each device finds its own slot.
    region().publish({b, a});
    EXPECT_EQ(muted(devB), 1u);
    EXPECT_EQ(muted(devA), 0u);
    EXPECT_EQ(volume(devA), 0.25f);

    // A deleted: B, now alone in slot 0, stays muted, and plays silence.
    region().publish({a, b});
    TWReconcileNow();
    region().publish({b});
    EXPECT_EQ(muted(devB), 1u);
    device_ = devB;
    dev_ = TWTestDeviceForID(devB);
    channels_ = 2;
    start(1);
    ASSERT_EQ(write(ramp(1, 256), 256), 0);
    for (float v : read(1, 256)) ASSERT_EQ(v, 0.0f);
    // A, whose slot is gone until the pass retires it, keeps what it had rather than B's
    // controls or the defaults.
    EXPECT_EQ(muted(devA), 0u);
    EXPECT_EQ(volume(devA), 0.25f);
}

TEST_F(IOTest, MetersShowWhatWasWrittenAndWhatWasRead) {
    RuntimeRegion::Slot slot{.uid = uid("meters"), .deviceGain = 0.5f};
    publish(slot);
    start(1);
    std::vector<float> block(512 * 2);
    for (uint32_t f = 0; f < 512; ++f) block[f * 2] = (f % 2) ? 0.5f : -0.5f;
    write(block, 512);
    read(1, 512);
    auto source = static_cast<const TidewellMeterRegion*>(dev_->sourceMeter.mapping);
    auto output = static_cast<const TidewellMeterRegion*>(dev_->outputMeter.mapping);
    ASSERT_NE(source, nullptr);
    ASSERT_NE(output, nullptr);
    EXPECT_NEAR(TidewellRegionLoadFloat(source, offsetof(TidewellMeterRegion, levels)), 0.5f, 1e-4);
    EXPECT_NEAR(TidewellRegionLoadFloat(source, offsetof(TidewellMeterRegion, peaks)), 0.5f, 1e-4);
    EXPECT_NEAR(TidewellRegionLoadFloat(output, offsetof(TidewellMeterRegion, levels)), 0.25f, 1e-4);
    EXPECT_EQ(TidewellRegionLoadFloat(output, offsetof(TidewellMeterRegion, levels) + 4), 0.0f);
}

TEST_F(IOTest, StartIOFailsWhenEveryClientSlotIsTaken) {
    publish({.uid = uid("full")});
    RecordingHost::shared().clear();
    for (UInt32 c = 1; c <= kTWMaxClients; ++c) start(c);
    EXPECT_EQ(GetU32(device_, kAudioDevicePropertyDeviceIsRunning), 1u);
    EXPECT_EQ(Table().StartIO(Driver(), device_, 65), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(dev_->runningIOCount.load(), 64);
    EXPECT_EQ(Table().StartIO(Driver(), device_, 0), kAudioHardwareIllegalOperationError);
    // A 65th reader that did not start still gets a whole, silent buffer.
    write(ramp(1, 512), 512);
    auto got = read(65, 512);
    for (float v : got) ASSERT_EQ(v, 0.0f);
    // Starting a running client again keeps its one slot.
    EXPECT_EQ(Table().StartIO(Driver(), device_, 5), 0);
    EXPECT_EQ(Table().StopIO(Driver(), device_, 5), 0);
    EXPECT_EQ(Table().StopIO(Driver(), device_, 5), 0);
    EXPECT_EQ(Table().StartIO(Driver(), device_, 65), 0);
    started_.push_back(65);
    auto notes = RecordingHost::shared().notifications();
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes[0].addresses.at(0).mSelector, kAudioDevicePropertyDeviceIsRunning);
}

// Clients whose start was refused for want of a slot stop all the same (a host may not
// check the start's result). Their stops must not count against the 64 that run: the
// device stays running and, once retired, is not freed under them.
TEST_F(IOTest, StopsOfClientsThatNeverStartedLeaveTheRunningOnesCounted) {
    publish({.uid = uid("overflow")});
    for (UInt32 c = 1; c <= kTWMaxClients; ++c) start(c);
    for (UInt32 c = 101; c <= 100 + kTWMaxClients; ++c) {
        ASSERT_EQ(Table().StartIO(Driver(), device_, c), kAudioHardwareIllegalOperationError);
        ASSERT_EQ(Table().StopIO(Driver(), device_, c), 0);
    }
    EXPECT_EQ(dev_->runningIOCount.load(), static_cast<int32_t>(kTWMaxClients));
    EXPECT_EQ(GetU32(device_, kAudioDevicePropertyDeviceIsRunning), 1u);
    // Retired while its clients run: it stays, dying, and keeps doing their IO.
    region().publish({{.uid = uid("elsewhere")}});
    TWReconcileNow();
    TWReconcileNow();
    ASSERT_EQ(TWTestDeviceForID(device_), dev_);
    ASSERT_EQ(write(ramp(0, 256), 256), 0);
    EXPECT_EQ(at(read(1, 256), 255, 0), 255.0f);
    // A client stopped twice counts once.
    ASSERT_EQ(Table().StopIO(Driver(), device_, 1), 0);
    ASSERT_EQ(Table().StopIO(Driver(), device_, 1), 0);
    EXPECT_EQ(dev_->runningIOCount.load(), static_cast<int32_t>(kTWMaxClients) - 1);
    started_.erase(started_.begin());
}

TEST_F(IOTest, OperationsCheckTheirObjectsAndArguments) {
    publish({.uid = uid("args")});
    Boolean willDo = 9, inPlace = 9;
    ASSERT_EQ(Table().WillDoIOOperation(Driver(), device_, 1, kAudioServerPlugInIOOperationReadInput, &willDo, &inPlace), 0);
    EXPECT_EQ(willDo, 1);
    EXPECT_EQ(inPlace, 1);
    ASSERT_EQ(Table().WillDoIOOperation(Driver(), device_, 1, kAudioServerPlugInIOOperationWriteMix, &willDo, &inPlace), 0);
    EXPECT_EQ(willDo, 1);
    ASSERT_EQ(Table().WillDoIOOperation(Driver(), device_, 1, kAudioServerPlugInIOOperationMixOutput, &willDo, &inPlace), 0);
    EXPECT_EQ(willDo, 0);
    EXPECT_EQ(Table().WillDoIOOperation(Driver(), device_, 1, kAudioServerPlugInIOOperationReadInput, nullptr, &inPlace),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().WillDoIOOperation(Driver(), device_ + 1, 1, kAudioServerPlugInIOOperationReadInput, &willDo, &inPlace),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().BeginIOOperation(Driver(), device_, 1, 0, 512, nullptr), 0);
    EXPECT_EQ(Table().EndIOOperation(Driver(), device_, 1, 0, 512, nullptr), 0);
    EXPECT_EQ(Table().BeginIOOperation(Driver(), 1, 1, 0, 512, nullptr), kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().EndIOOperation(Driver(), device_ + 3, 1, 0, 512, nullptr), kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().StartIO(Driver(), device_ + 2, 1), kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().StopIO(Driver(), 4242, 1), kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().DoIOOperation(Driver(), 4242, 0, 1, kAudioServerPlugInIOOperationReadInput, 512, nullptr, nullptr,
                                    nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().DoIOOperation(Driver(), device_, device_ + 1, 1, kAudioServerPlugInIOOperationReadInput, 512,
                                    nullptr, nullptr, nullptr),
              0);
    // 'mixo' on the output stream is written like 'writ'; a write to the input stream, or a
    // read of the output stream, does nothing.
    auto block = ramp(0, 64);
    EXPECT_EQ(Table().DoIOOperation(Driver(), device_, device_ + 1, 0, kAudioServerPlugInIOOperationWriteMix, 64,
                                    nullptr, block.data(), nullptr),
              0);
    EXPECT_EQ(dev_->writePosition.load(), 0u);
    EXPECT_EQ(Table().DoIOOperation(Driver(), device_, device_ + 2, 0, kAudioServerPlugInIOOperationMixOutput, 64,
                                    nullptr, block.data(), nullptr),
              0);
    EXPECT_EQ(dev_->writePosition.load(), 64u);
    std::vector<float> untouched(128, 3.0f);
    EXPECT_EQ(Table().DoIOOperation(Driver(), device_, device_ + 2, 1, kAudioServerPlugInIOOperationReadInput, 64,
                                    nullptr, untouched.data(), nullptr),
              0);
    EXPECT_EQ(untouched[0], 3.0f);
}

TEST_F(IOTest, ZeroTimeStampsFollowThePeriodOnTheHostClock) {
    gFakeNow = 1'000'000'000;
    HostClockSetTestSource(FakeClock, nullptr);
    publish({.uid = uid("clock")});
    start(1);  // anchors the timeline at the fake now
    Float64 sample = -1;
    UInt64 host = 0, seed = 0;
    ASSERT_EQ(Table().GetZeroTimeStamp(Driver(), device_, 1, &sample, &host, &seed), 0);
    EXPECT_EQ(sample, 0.0);
    EXPECT_EQ(host, 1'000'000'000u);
    EXPECT_EQ(seed, 1u);
    const double period = 1e9 / 48000.0 * 512;  // 10.67 ms
    gFakeNow = 1'000'000'000 + uint64_t(period * 3.6);
    ASSERT_EQ(Table().GetZeroTimeStamp(Driver(), device_, 1, &sample, &host, &seed), 0);
    EXPECT_EQ(sample, 3.0 * 512);
    EXPECT_EQ(host, 1'000'000'000u + uint64_t(3 * period));
    // A new buffer size takes effect at the next call.
    UInt32 frames = 256;
    AudioObjectPropertyAddress a = Address(kAudioDevicePropertyBufferFrameSize);
    ASSERT_EQ(Table().SetPropertyData(Driver(), device_, 0, &a, 0, nullptr, 4, &frames), 0);
    ASSERT_EQ(Table().GetZeroTimeStamp(Driver(), device_, 1, &sample, &host, &seed), 0);
    EXPECT_EQ(sample, 7.0 * 256);
    // A clock before the anchor re-anchors.
    gFakeNow = 500;
    ASSERT_EQ(Table().GetZeroTimeStamp(Driver(), device_, 1, &sample, &host, &seed), 0);
    EXPECT_EQ(sample, 0.0);
    EXPECT_EQ(host, 500u);
    EXPECT_EQ(Table().GetZeroTimeStamp(Driver(), device_, 1, nullptr, &host, &seed), kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().GetZeroTimeStamp(Driver(), device_ + 1, 1, &sample, &host, &seed), kAudioHardwareBadObjectError);
}

TEST_F(IOTest, AConfigurationChangeResetsTheRingAndClientsStartOver) {
    publish({.uid = uid("change"), .channels = 2});
    start(1);
    write(ramp(0, 512), 512);
    read(1, 512);
    region().publish({{.uid = uid("change"), .channels = 6}});
    TWReconcileNow();
    ASSERT_EQ(Table().PerformDeviceConfigurationChange(Driver(), device_, kTWConfigurationChangeAction, nullptr), 0);
    channels_ = 6;
    EXPECT_EQ(dev_->writePosition.load(), 0u);
    EXPECT_EQ(TWClientStateForID(dev_, 1, false), nullptr);
    EXPECT_EQ(dev_->outputMeter.channelCount, 6u);
    write(ramp(0, 512), 512);
    auto got = read(1, 512);  // claims a fresh slot at the write position
    for (float v : got) ASSERT_EQ(v, 0.0f);
    write(ramp(512, 512), 512);
    got = read(1, 512);
    EXPECT_EQ(at(got, 0, 0), 512.0f);
    EXPECT_EQ(at(got, 0, 1), 512.0f + 1 / 100.0f);
}

// An IO operation resolves its device, then enters it. When the device was freed between
// the two, the late caller enters the free record and leaves it again once it sees that
// the record is not its device any more; a new device may take the record meanwhile. The
// record's in-flight count must come out balanced, or every later configuration change
// and every freeing of the new device waits forever.
TEST_F(IOTest, ALateCallerOnAFreedRecordLeavesItsNextDeviceUsable) {
    // Creation takes the first free record. Keeping the legacy device listed keeps it live,
    // so no record is freed before the new device is created.
    TWDevice* record = nullptr;
    for (auto& d : gDevices) {
        if (d.state.load() == kTWDeviceFree) {
            record = &d;
            break;
        }
    }
    ASSERT_NE(record, nullptr);
    ASSERT_TRUE(TWEnterIO(record));
    region().publish({{.uid = kTWLegacyDeviceUID}, {.uid = uid("reused")}});
    TWReconcileNow();
    device_ = DeviceForUID(uid("reused"));
    dev_ = TWTestDeviceForID(device_);
    channels_ = 2;
    ASSERT_EQ(dev_, record);
    // The late caller sees another device there and leaves.
    EXPECT_NE(record->deviceID.load(), 0u);
    TWLeaveIO(record);
    // Read and set right in one step: an unbalanced count would hang every later freeing
    // of this record, the fixture's included.
    ASSERT_EQ(record->ioInFlight.exchange(0), 0);
    // The new device changes its configuration and does IO as usual.
    region().publish({{.uid = uid("reused"), .channels = 4}});
    TWReconcileNow();
    ASSERT_EQ(Table().PerformDeviceConfigurationChange(Driver(), device_, kTWConfigurationChangeAction, nullptr), 0);
    EXPECT_EQ(dev_->channelCount.load(), 4);
    channels_ = 4;
    start(1);
    ASSERT_EQ(write(ramp(0, 256), 256), 0);
    EXPECT_EQ(at(read(1, 256), 255, 1), 255.0f + 1 / 100.0f);
}

// IO on one thread while another thread changes the device's configuration and the
// reconcile pass publishes controls: the change waits until no IO is inside the device
// (the device's probe counts every rebuild that finds one there), and what is read is
// always whole frames of what was written.
TEST_F(IOTest, ConfigurationChangesNeverOverlapIO) {
    publish({.uid = uid("race"), .channels = 2});
    start(1);
    const uint32_t overlapsBefore = dev_->ioOverlapCount.load();
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> cycles{0}, refused{0}, strange{0};
    std::thread io([&] {
        std::vector<float> in(4096 * 64, 0.0f), out(4096 * 64, 0.0f);
        while (!stop.load()) {
            uint32_t c = static_cast<uint32_t>(dev_->channelCount.load());
            for (uint32_t f = 0; f < 256; ++f) {
                for (uint32_t k = 0; k < c; ++k) in[f * c + k] = 0.25f;
            }
            OSStatus w = Table().DoIOOperation(Driver(), device_, device_ + 2, 0,
                                               kAudioServerPlugInIOOperationWriteMix, 256, nullptr, in.data(), nullptr);
            OSStatus r = Table().DoIOOperation(Driver(), device_, device_ + 1, 1,
                                               kAudioServerPlugInIOOperationReadInput, 256, nullptr, out.data(), nullptr);
            if (w != 0 || r != 0) refused.fetch_add(1);
            for (size_t i = 0; i < size_t(256) * 2; ++i) {
                if (out[i] != 0.0f && out[i] != 0.25f) strange.fetch_add(1);
            }
            cycles.fetch_add(1);
        }
    });
    // Changes go on until IO has met some of them (been turned away while one ran), within
    // a generous limit.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int i = 0; (i < 60 || refused.load() == 0) && std::chrono::steady_clock::now() < limit; ++i) {
        uint32_t channels = (i % 2) ? 2 : 4;
        region().publish({{.uid = uid("race"), .channels = channels}});
        TWReconcileNow();
        Table().PerformDeviceConfigurationChange(Driver(), device_, kTWConfigurationChangeAction, nullptr);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    stop = true;
    io.join();
    EXPECT_GT(cycles.load(), 0u);
    EXPECT_GT(refused.load(), 0u) << "IO never met a configuration change";
    EXPECT_EQ(dev_->ioOverlapCount.load(), overlapsBefore) << "a change rebuilt the device with IO inside it";
    EXPECT_EQ(strange.load(), 0u);
    EXPECT_EQ(dev_->ioInFlight.load(), 0);
    EXPECT_FALSE(dev_->exclusive.load());
}

// A client starting, doing IO and stopping over and over while the device is retired:
// the device is freed (meters closed, slot released) only between the client's runs, so
// within a run no operation ever finds its device gone; afterwards every operation on its
// id fails cleanly.
TEST_F(IOTest, ARetiredDeviceIsNeverFreedUnderRunningIO) {
    publish({.uid = uid("retire")});
    const AudioObjectID id = device_;
    TWDevice* record = dev_;
    const uint32_t overlapsBefore = record->ioOverlapCount.load();
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> runs{0}, goneWhileRunning{0};
    std::thread client([&] {
        std::vector<float> block(512 * 2, 0.25f), out(512 * 2);
        while (!stop.load()) {
            if (Table().StartIO(Driver(), id, 9) != 0) continue;
            // Running: a change or a freeing attempt may turn an operation away for a moment
            // ('nope'), but the device must not disappear.
            for (int k = 0; k < 4; ++k) {
                OSStatus w = Table().DoIOOperation(Driver(), id, id + 2, 0, kAudioServerPlugInIOOperationWriteMix, 512,
                                                   nullptr, block.data(), nullptr);
                OSStatus r = Table().DoIOOperation(Driver(), id, id + 1, 9, kAudioServerPlugInIOOperationReadInput, 512,
                                                   nullptr, out.data(), nullptr);
                if (w == kAudioHardwareBadObjectError || r == kAudioHardwareBadObjectError) goneWhileRunning.fetch_add(1);
            }
            if (Table().StopIO(Driver(), id, 9) != 0) goneWhileRunning.fetch_add(1);
            runs.fetch_add(1);
        }
    });
    while (runs.load() < 20) std::this_thread::yield();
    region().publish({{.uid = uid("other")}});
    // Passes until the device is freed: one finds the client between runs sooner or later.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (TWTestDeviceForID(id) != nullptr && std::chrono::steady_clock::now() < limit) {
        TWReconcileNow();
        std::this_thread::yield();
    }
    EXPECT_EQ(TWTestDeviceForID(id), nullptr);
    stop = true;
    client.join();
    EXPECT_EQ(goneWhileRunning.load(), 0u) << "the device was freed while its client ran";
    EXPECT_EQ(record->ioOverlapCount.load(), overlapsBefore) << "the device was freed with IO inside it";
    EXPECT_EQ(Table().StartIO(Driver(), id, 9), kAudioHardwareBadObjectError);
    std::vector<float> out(512 * 2, 1.0f);
    EXPECT_EQ(Table().DoIOOperation(Driver(), id, id + 1, 9, kAudioServerPlugInIOOperationReadInput, 512, nullptr,
                                    out.data(), nullptr),
              kAudioHardwareBadObjectError);
    device_ = 0;
}

}  // namespace
