// A second audio client process for the plug-in's end-to-end tests: records a device's
// input for a while and prints the device's width at the end, "channels N", then one line
// per channel, "channel N dbfs X", with the level of the loudest 0.2 s of the last second
// (dBFS of a sine: its peak), then "done".
//
//   tw-record-client UID SECONDS

#include <AudioClient/AudioHardware.h>
#include <AudioToolsCommon/Analysis.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

struct Recording {
    std::vector<float> samples = std::vector<float>(48000 * 64 * 4, 0.0f);
    std::atomic<size_t> written{0};
    std::atomic<uint32_t> channels{0};
};

OSStatus Record(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                AudioBufferList*, const AudioTimeStamp*, void* data) {
    auto* r = static_cast<Recording*>(data);
    if (in->mNumberBuffers < 1) return 0;
    const AudioBuffer& b = in->mBuffers[0];
    r->channels.store(b.mNumberChannels);
    size_t at = r->written.load();
    size_t n = std::min<size_t>(b.mDataByteSize / 4, r->samples.size() - at);
    std::memcpy(r->samples.data() + at, b.mData, n * 4);
    r->written.store(at + n);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: tw-record-client UID SECONDS\n");
        return 2;
    }
    CFStringRef uid = CFStringCreateWithCString(nullptr, argv[1], kCFStringEncodingUTF8);
    AudioObjectPropertyAddress a = {kAudioHardwarePropertyTranslateUIDToDevice, kAudioObjectPropertyScopeGlobal, 0};
    AudioObjectID device = 0;
    UInt32 size = sizeof device;
    OSStatus s = AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, sizeof uid, &uid, &size, &device);
    CFRelease(uid);
    if (s != 0 || device == 0) {
        std::printf("no device\n");
        return 1;
    }
    Recording r;
    AudioDeviceIOProcID proc = nullptr;
    if (AudioDeviceCreateIOProcID(device, Record, &r, &proc) != 0 || AudioDeviceStart(device, proc) != 0) {
        std::printf("start failed\n");
        return 1;
    }
    std::printf("started\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[2])));
    AudioDeviceStop(device, proc);
    AudioDeviceDestroyIOProcID(device, proc);
    // The last second, counted back from the end: the device's width may have changed
    // while recording, and only the latest width tells how the end is laid out.
    const uint32_t channels = r.channels.load();
    const size_t written = r.written.load();
    if (channels == 0 || written < size_t(48000) * channels) {
        std::printf("too short %zu\n", channels ? written / channels : 0);
        return 1;
    }
    std::printf("channels %u\n", channels);
    const float* last = r.samples.data() + written - size_t(48000) * channels;
    // The loudest 0.2 s: a cycle missed on a loaded machine drops one block of the player.
    for (uint32_t c = 0; c < channels; ++c) {
        double best = -400;
        for (size_t at = 0; at + 9600 <= 48000; at += 1200) {
            best = std::max(best, tidewell::tools::rmsDbfs(last + at * channels, 9600, channels, c));
        }
        std::printf("channel %u dbfs %.3f\n", c, best);
    }
    std::printf("done\n");
    return 0;
}
