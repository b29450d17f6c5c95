// audio-test-client: a second audio client process for the tests.
//   play UID HZ DBFS SECONDS [--buffer-frames N]   sine into a device ("" = default output);
//                                                  prints "started", then "frames N" at
//                                                  every change of the cycle size, "stopped"
//   listen UID|system SELECTOR SECONDS             prints "ready", then "fired SELECTOR"
//                                                  for every listener call
//   tap PID public|private mute|unmuted SECONDS    prints "creating", then taps process PID
//                                                  into an aggregate clocked by the built-in
//                                                  output, runs it and prints "tap TAPID
//                                                  AGGREGATEID AGGREGATEUID" (or "create
//                                                  failed STATUS"); leaves without clean-up
#include <AudioClient/AudioHardware.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Sine {
    double phase = 0, step = 0, amp = 0;
    std::atomic<uint32_t> frames{0};
};

OSStatus Play(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList* out,
              const AudioTimeStamp*, void* data) {
    auto* s = static_cast<Sine*>(data);
    uint32_t frames = 0;
    double phase = s->phase;
    for (UInt32 b = 0; b < out->mNumberBuffers; ++b) {
        AudioBuffer& buf = out->mBuffers[b];
        if (!buf.mNumberChannels) continue;
        frames = buf.mDataByteSize / (4 * buf.mNumberChannels);
        auto* p = static_cast<float*>(buf.mData);
        phase = s->phase;
        for (uint32_t i = 0; i < frames; ++i) {
            float v = static_cast<float>(s->amp * std::sin(phase));
            phase += s->step;
            for (uint32_t c = 0; c < buf.mNumberChannels; ++c) p[i * buf.mNumberChannels + c] = v;
        }
    }
    s->phase = std::fmod(phase, 2 * M_PI);
    s->frames.store(frames);
    return 0;
}

AudioObjectID FindDevice(const std::string& uid) {
    AudioObjectPropertyAddress a{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0};
    if (uid.empty()) {
        AudioObjectID id = 0;
        UInt32 size = 4;
        a.mSelector = kAudioHardwarePropertyDefaultOutputDevice;
        AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, &id);
        return id;
    }
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &a, 0, nullptr, &size) != 0) return 0;
    std::vector<AudioObjectID> ids(size / 4);
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, ids.data()) != 0) return 0;
    for (AudioObjectID id : ids) {
        AudioObjectPropertyAddress u{kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal, 0};
        CFStringRef s = nullptr;
        UInt32 sz = sizeof(s);
        if (AudioObjectGetPropertyData(id, &u, 0, nullptr, &sz, &s) != 0 || !s) continue;
        char buf[256];
        bool match = CFStringGetCString(s, buf, sizeof(buf), kCFStringEncodingUTF8) && uid == buf;
        CFRelease(s);
        if (match) return id;
    }
    return 0;
}

OSStatus Listener(AudioObjectID, UInt32 n, const AudioObjectPropertyAddress* addrs, void*) {
    for (UInt32 i = 0; i < n; ++i) {
        char code[5] = {char(addrs[i].mSelector >> 24), char(addrs[i].mSelector >> 16), char(addrs[i].mSelector >> 8),
                        char(addrs[i].mSelector), 0};
        std::printf("fired %s\n", code);
    }
    std::fflush(stdout);
    return 0;
}

OSStatus Ignore(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                const AudioTimeStamp*, void*) {
    return 0;
}

CFStringRef Str(const std::string& s) { return CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8); }

int Tap(char** argv) {
    const pid_t pid = std::atoi(argv[2]);
    const bool isPrivate = !std::strcmp(argv[3], "private");
    const bool mute = !std::strcmp(argv[4], "mute");
    AudioObjectPropertyAddress t{kAudioHardwarePropertyTranslatePIDToProcessObject, kAudioObjectPropertyScopeGlobal, 0};
    AudioObjectID process = 0;
    for (int i = 0; i < 100 && !process; ++i) {
        UInt32 size = 4;
        AudioObjectGetPropertyData(kAudioObjectSystemObject, &t, 4, &pid, &size, &process);
        if (!process) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    auto d = AudioTapDescription::StereoMixdownOfProcesses({process});
    d.isPrivate = isPrivate;
    d.muteBehavior = mute ? kAudioTapMuteBehaviorMutedWhenTapped : kAudioTapMuteBehaviorUnmuted;
    std::printf("creating\n");
    std::fflush(stdout);
    AudioObjectID tap = 0;
    if (OSStatus st = AudioHardwareCreateProcessTap(&d, &tap)) {
        std::printf("create failed %d\n", st);
        return 1;
    }
    std::string uid = "test-aggregate-" + std::to_string(getpid());
    CFStringRef k[4] = {Str(kAudioAggregateDeviceUIDKey), Str(kAudioAggregateDeviceMainSubDeviceKey),
                        Str(kAudioAggregateDeviceIsPrivateKey), Str(kAudioAggregateDeviceTapAutoStartKey)};
    CFStringRef tapKeys[1] = {Str(kAudioSubTapUIDKey)};
    CFStringRef tapValues[1] = {Str(d.uuid)};
    CFDictionaryRef tapEntry = CFDictionaryCreate(nullptr, reinterpret_cast<const void**>(tapKeys),
                                                  reinterpret_cast<const void**>(tapValues), 1,
                                                  &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    const void* tapList[1] = {tapEntry};
    CFArrayRef taps = CFArrayCreate(nullptr, tapList, 1, &kCFTypeArrayCallBacks);
    CFMutableDictionaryRef desc =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFStringRef uidValue = Str(uid), clock = Str("BuiltInOutputDevice");
    CFStringRef tapListKey = Str(kAudioAggregateDeviceTapListKey);
    CFDictionarySetValue(desc, k[0], uidValue);
    CFDictionarySetValue(desc, k[1], clock);
    CFDictionarySetValue(desc, k[2], isPrivate ? kCFBooleanTrue : kCFBooleanFalse);
    CFDictionarySetValue(desc, k[3], kCFBooleanTrue);
    CFDictionarySetValue(desc, tapListKey, taps);
    AudioObjectID aggregate = 0;
    OSStatus st = AudioHardwareCreateAggregateDevice(desc, &aggregate);
    for (CFTypeRef r : std::initializer_list<CFTypeRef>{k[0], k[1], k[2], k[3], tapKeys[0], tapValues[0], tapEntry, taps,
                                                        desc, uidValue, clock, tapListKey})
        CFRelease(r);
    AudioDeviceIOProcID proc = nullptr;
    if (st == 0) st = AudioDeviceCreateIOProcID(aggregate, Ignore, nullptr, &proc);
    if (st == 0) st = AudioDeviceStart(aggregate, proc);
    if (st != 0) {
        std::printf("aggregate failed %d\n", st);
        return 1;
    }
    std::printf("tap %u %u %s\n", tap, aggregate, uid.c_str());
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[5])));
    return 0;  // the server cleans up after a client that leaves
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 6 && !std::strcmp(argv[1], "play")) {
        AudioObjectID dev = FindDevice(argv[2]);
        if (!dev) {
            std::printf("no device\n");
            return 1;
        }
        Sine s;
        s.step = 2 * M_PI * std::atof(argv[3]);
        s.amp = std::pow(10.0, std::atof(argv[4]) / 20.0);
        double seconds = std::atof(argv[5]);
        AudioObjectPropertyAddress rate{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0};
        double r = 48000;
        UInt32 size = 8;
        AudioObjectGetPropertyData(dev, &rate, 0, nullptr, &size, &r);
        s.step /= r;
        if (argc >= 8 && !std::strcmp(argv[6], "--buffer-frames")) {
            AudioObjectPropertyAddress f{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeOutput, 0};
            UInt32 frames = static_cast<UInt32>(std::atoi(argv[7]));
            if (AudioObjectSetPropertyData(dev, &f, 0, nullptr, 4, &frames) != 0) std::printf("set failed\n");
        }
        AudioDeviceIOProcID proc = nullptr;
        if (AudioDeviceCreateIOProcID(dev, Play, &s, &proc) != 0 || AudioDeviceStart(dev, proc) != 0) {
            std::printf("start failed\n");
            return 1;
        }
        std::printf("started\n");
        std::fflush(stdout);
        uint32_t shown = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < until) {
            uint32_t f = s.frames.load();
            if (f && f != shown) {
                std::printf("frames %u\n", f);
                std::fflush(stdout);
                shown = f;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        AudioDeviceStop(dev, proc);
        AudioDeviceDestroyIOProcID(dev, proc);
        std::printf("stopped\n");
        return 0;
    }
    if (argc == 5 && !std::strcmp(argv[1], "listen") && std::strlen(argv[3]) == 4) {
        // Reading the default output also makes this process a client of the server.
        AudioObjectID defaultOutput = FindDevice("");
        AudioObjectID obj = !std::strcmp(argv[2], "system") ? kAudioObjectSystemObject : FindDevice(argv[2]);
        if (!std::strcmp(argv[2], "system") && !defaultOutput) obj = 0;
        if (!obj) {
            std::printf("no device\n");
            return 1;
        }
        const char* c = argv[3];
        AudioObjectPropertyAddress a{AUDIO_FOUR_CC(c[0], c[1], c[2], c[3]), kAudioObjectPropertyScopeGlobal, 0};
        AudioObjectAddPropertyListener(obj, &a, Listener, nullptr);
        std::printf("ready\n");
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[4])));
        return 0;
    }
    if (argc == 6 && !std::strcmp(argv[1], "tap")) return Tap(argv);
    std::fprintf(stderr, "usage: see the comment at the top of TestClient.cpp\n");
    return 2;
}
