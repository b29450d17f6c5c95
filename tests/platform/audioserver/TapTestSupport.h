// What the tap tests share: the aggregate a tap helper builds, finding a process's object, and a
// tap wrapped in a private aggregate whose input this process records with each cycle's times.
#pragma once

#include "TestServer.h"

#include <AudioToolsCommon/Wav.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace taptest {

using namespace audiotest;
using namespace std::chrono_literals;
namespace tools = tidewell::tools;

inline CFStringRef Str(const std::string& s) { return CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8); }

// The aggregate description the tap helper builds: one clock sub-device and one tap.
inline CFDictionaryRef AggregateDescription(const std::string& uid, const std::string& clockUID, const std::string& tapUUID,
                                     bool isPrivate = true) {
    auto dict = [](std::vector<std::pair<const char*, CFTypeRef>> entries) {
        CFMutableDictionaryRef d =
            CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        for (auto& [k, v] : entries) {
            CFStringRef key = Str(k);
            CFDictionarySetValue(d, key, v);
            CFRelease(key);
            CFRelease(v);
        }
        return d;
    };
    auto list = [](CFTypeRef one) {
        const void* v[1] = {one};
        CFArrayRef a = CFArrayCreate(nullptr, v, 1, &kCFTypeArrayCallBacks);
        CFRelease(one);
        return a;
    };
    CFRetain(kCFBooleanTrue);
    CFRetain(kCFBooleanFalse);
    CFRetain(kCFBooleanTrue);
    CFRetain(kCFBooleanTrue);
    CFRetain(isPrivate ? kCFBooleanTrue : kCFBooleanFalse);
    return dict({{kAudioAggregateDeviceNameKey, Str("Test Tap Aggregate")},
                 {kAudioAggregateDeviceUIDKey, Str(uid)},
                 {kAudioAggregateDeviceMainSubDeviceKey, Str(clockUID)},
                 {kAudioAggregateDeviceIsPrivateKey, isPrivate ? kCFBooleanTrue : kCFBooleanFalse},
                 {kAudioAggregateDeviceIsStackedKey, kCFBooleanFalse},
                 {kAudioAggregateDeviceTapAutoStartKey, kCFBooleanTrue},
                 {kAudioAggregateDeviceSubDeviceListKey, list(dict({{kAudioSubDeviceUIDKey, Str(clockUID)}}))},
                 {kAudioAggregateDeviceTapListKey,
                  list(dict({{kAudioSubTapUIDKey, Str(tapUUID)}, {kAudioSubTapDriftCompensationKey, kCFBooleanTrue}}))}});
}

inline AudioObjectID ProcessObjectOf(pid_t pid, std::chrono::milliseconds wait = 20000ms) {
    auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        AudioObjectPropertyAddress a = Address(kAudioHardwarePropertyTranslatePIDToProcessObject);
        AudioObjectID id = 0;
        UInt32 size = 4;
        int32_t p = pid;
        EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 4, &p, &size, &id), 0);
        if (id || std::chrono::steady_clock::now() > until) return id;
        std::this_thread::sleep_for(20ms);
    }
}

// Records the first input buffer of a device (interleaved float) into preallocated storage,
// with the host and sample time of each cycle and how much had been written before it.
struct Recorder {
    std::vector<float> samples = std::vector<float>(48000 * 2 * 10, 0.0f);
    std::atomic<size_t> written{0};
    std::atomic<uint32_t> channels{0};
    std::vector<uint64_t> cycleHost = std::vector<uint64_t>(8192);
    std::vector<double> cycleSample = std::vector<double>(8192);
    std::vector<size_t> cycleWritten = std::vector<size_t>(8192);
    std::atomic<size_t> cycles{0};
};

inline OSStatus RecordProc(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList* in, const AudioTimeStamp*,
                    AudioBufferList*, const AudioTimeStamp*, void* data) {
    auto* r = static_cast<Recorder*>(data);
    if (!in || in->mNumberBuffers < 1) return 0;
    const AudioBuffer& b = in->mBuffers[0];
    r->channels.store(b.mNumberChannels);
    size_t at = r->written.load();
    size_t n = std::min<size_t>(b.mDataByteSize / 4, r->samples.size() - at);
    std::memcpy(r->samples.data() + at, b.mData, n * 4);
    size_t c = r->cycles.load();
    if (c < r->cycleHost.size()) {
        r->cycleHost[c] = now->mHostTime;
        r->cycleSample[c] = now->mSampleTime;
        r->cycleWritten[c] = at;
        r->cycles.store(c + 1);
    }
    r->written.store(at + n);
    return 0;
}

// A tap wrapped in a private aggregate and recorded by this process.
struct TapRun {
    AudioObjectID tap = 0, aggregate = 0;
    std::string aggregateUID;
    AudioDeviceIOProcID proc = nullptr;
    Recorder rec;

    OSStatus create(AudioTapDescription d, const std::string& clockUID = "BuiltInOutputDevice") {
        if (OSStatus st = AudioHardwareCreateProcessTap(&d, &tap)) return st;
        aggregateUID = "tap-aggregate-" + d.uuid;
        CFDictionaryRef desc = AggregateDescription(aggregateUID, clockUID, d.uuid);
        OSStatus st = AudioHardwareCreateAggregateDevice(desc, &aggregate);
        CFRelease(desc);
        return st;
    }
    void start() {
        ASSERT_EQ(AudioDeviceCreateIOProcID(aggregate, RecordProc, &rec, &proc), 0);
        ASSERT_EQ(AudioDeviceStart(aggregate, proc), 0);
    }
    // Records `length` of audio at 48 kHz (as frames, whatever the rate they arrive at),
    // after dropping the first 0.3 s (the taps' priming). Waits on the frames, not the clock.
    tools::AudioData record(std::chrono::milliseconds length) {
        auto frames = [&] { return rec.written.load() / std::max(1u, rec.channels.load()); };
        EXPECT_TRUE(WaitUntil([&] { return rec.channels.load() > 0 && frames() >= 48000 * 3 / 10; }));
        size_t fromCycle = rec.cycles.load();
        size_t from = rec.written.load();
        size_t want = size_t(48000) * size_t(length.count()) / 1000;
        EXPECT_TRUE(WaitUntil([&] { return frames() >= from / std::max(1u, rec.channels.load()) + want; }, 30s))
            << "the tap delivered too little";
        size_t toCycle = rec.cycles.load();
        size_t to = rec.written.load();
        // The rate it came at, by the cycles' own host times (not by when this thread woke), over
        // the cycles that followed one another on the device's clock: a cycle the server gave up
        // on (a loaded machine) delivered nothing in its time, and is counted, not measured.
        deliveredRate = 0;
        gapCycles = 0;
        contiguousCycles = 0;
        const uint32_t ch = std::max(1u, rec.channels.load());
        double measured = 0, nanos = 0;
        for (size_t c = fromCycle; c + 1 < toCycle; ++c) {
            const double delivered = double(rec.cycleWritten[c + 1] - rec.cycleWritten[c]) / ch;
            const double advanced = rec.cycleSample[c + 1] - rec.cycleSample[c];
            if (delivered > 0 && advanced == delivered) {
                measured += delivered;
                nanos += double(AudioConvertHostTimeToNanos(rec.cycleHost[c + 1]) -
                                AudioConvertHostTimeToNanos(rec.cycleHost[c]));
                ++contiguousCycles;
            } else {
                ++gapCycles;
            }
        }
        if (nanos > 0) deliveredRate = measured / (nanos * 1e-9);
        tools::AudioData a;
        a.channels = std::max(1u, rec.channels.load());
        a.sampleRate = 48000;
        a.samples.assign(rec.samples.begin() + long(from), rec.samples.begin() + long(to));
        return a;
    }
    double deliveredRate = 0;  // frames per second of the last record(), over its contiguous cycles
    size_t contiguousCycles = 0;  // cycles whose frames matched the advance of the device's sample time
    size_t gapCycles = 0;         // cycles after which the sample time jumped (or that matched nothing)
    void stop() {
        if (proc) {
            AudioDeviceStop(aggregate, proc);
            AudioDeviceDestroyIOProcID(aggregate, proc);
            proc = nullptr;
        }
    }
    ~TapRun() {
        stop();
        if (aggregate) AudioHardwareDestroyAggregateDevice(aggregate);
        if (tap) AudioHardwareDestroyProcessTap(tap);
    }
};


}  // namespace taptest
