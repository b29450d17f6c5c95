// tidewell-monitor: plays a virtual device to a hardware output. Started by the service (or the
// application's diagnostics) with its settings in the environment; an optional first argument is
// the run duration in seconds.

#include <AudioClient/AudioHardware.h>
#include <AudioClient/AudioToolbox.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "MonitorCapture.h"
#include "TidewellCore/TidewellConstants.h"
#include "TidewellHelpers/TidewellHelperLoop.h"
#include "TidewellHelpers/TidewellInputQueue.h"
#include "TidewellHelpers/TidewellHelperSettings.h"
#include "TidewellStream/TidewellControlReader.h"
#include "TidewellStream/TidewellHelperDevices.h"
#include "TidewellStream/TidewellHelperEnvironment.h"
#include "TidewellStream/TidewellHelperRuntime.h"
#include "TidewellStream/TidewellOutputBridge.h"

namespace {

constexpr uint32_t kQueueBuffers = 4;

struct TidewellMonitorInput {
    uint32_t backendInUse;   // 0 none, 1 device IO procedure, 2 audio queue
    AudioQueueRef queue;
    AudioObjectID device;
    AudioDeviceIOProcID ioProc;
    TidewellHelperRing* ring;
    uint32_t bufferFrames;
    AudioStreamBasicDescription format;
};

AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector, AudioObjectPropertyScope scope) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

AudioObjectID DefaultOutputDevice() {
    const AudioObjectPropertyAddress address =
        Address(kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal);
    AudioObjectID device = 0;
    UInt32 size = sizeof device;
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &device) != 0) {
        return 0;
    }
    return device;
}

// The count in the variable when it is wholly a decimal number above 0, else the device's.
uint32_t ResolveChannelCount(const char* variable, AudioObjectID device, AudioObjectPropertyScope scope) {
    const char* text = std::getenv(variable);
    return TidewellResolveChannelCountText(text, ChannelCountForDevice(device, scope));
}

double DeviceNominalSampleRate(AudioObjectID device) {
    if (device == 0) {
        return 48000.0;
    }
    const AudioObjectPropertyAddress address =
        Address(kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal);
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &rate) != 0 || !(rate > 0)) {
        return 48000.0;
    }
    return rate;
}

OSStatus InputIOProc(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList* input, const AudioTimeStamp*,
                     AudioBufferList*, const AudioTimeStamp*, void* clientData) {
    TidewellMonitorWriteBufferList(static_cast<TidewellHelperRing*>(clientData), input, now);
    return 0;
}

void InputCallback(void* userData, AudioQueueRef queue, AudioQueueBufferRef buffer, const AudioTimeStamp* start,
                   UInt32, const AudioStreamPacketDescription*) {
    auto* ring = static_cast<TidewellHelperRing*>(userData);
    const uint32_t bytesPerFrame = 4 * ring->sourceChannels;
    const uint32_t frames = bytesPerFrame != 0 ? buffer->mAudioDataByteSize / bytesPerFrame : 0;
    if (frames > 0) {
        TidewellMonitorWrite(ring, static_cast<const float*>(buffer->mAudioData), frames, start);
    }
    AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr);
}

bool StartAudioDeviceInput(TidewellMonitorInput* input, TidewellMonitorInputBackend backend) {
    const AudioObjectPropertyAddress address = Address(kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeInput);
    AudioStreamBasicDescription format{};
    UInt32 size = sizeof format;
    const OSStatus status = AudioObjectGetPropertyData(input->device, &address, 0, nullptr, &size, &format);
    if (status != 0) {
        PrintStatus("AudioObjectGetPropertyData(kAudioDevicePropertyStreamFormat input)", status);
        return false;
    }
    const bool supported = format.mFormatID == kAudioFormatLinearPCM &&
                           (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0 && format.mBitsPerChannel == 32 &&
                           format.mChannelsPerFrame >= 1 && std::fabs(format.mSampleRate - 48000.0) < 1.0;
    if (!supported) {
        if (backend == TidewellMonitorInputBackend::Auto) {
            std::fprintf(stderr,
                         "Monitor input IOProc does not support active device format %.0f Hz, format=%u flags=0x%x "
                         "bits=%u channels=%u. Falling back to AudioQueue.\n",
                         format.mSampleRate, format.mFormatID, format.mFormatFlags, format.mBitsPerChannel,
                         format.mChannelsPerFrame);
        }
        return false;
    }
    input->format = format;
    if (!TidewellInputIOProcStart(input->device, InputIOProc, input->ring, "AudioDeviceCreateIOProcID(monitor input)",
                                  "AudioDeviceStart(monitor input)", &input->ioProc)) {
        return false;
    }
    input->backendInUse = 1;
    return true;
}

void DisposeQueue(TidewellMonitorInput* input) { TidewellInputQueueDispose(&input->queue); }

bool StartAudioQueueInput(TidewellMonitorInput* input, const char* inputUID) {
    TidewellHelperRing* ring = input->ring;
    static const TidewellInputQueueTexts texts{"AudioQueueNewInput(monitor input)",
                                               "AudioQueueAllocateBuffer(monitor input)",
                                               "AudioQueueEnqueueBuffer(monitor input)", "AudioQueueStart(monitor input)"};
    if (!TidewellInputQueueStart(&input->queue, ring->sourceChannels, inputUID, kQueueBuffers,
                                 input->bufferFrames * 4 * ring->sourceChannels, InputCallback, ring, texts)) {
        return false;
    }
    input->backendInUse = 2;
    return true;
}

bool StartMonitorInput(TidewellMonitorInput* input, TidewellMonitorInputBackend backend, TidewellHelperRing* ring,
                       AudioObjectID device, const char* inputUID, uint32_t bufferFrames) {
    *input = TidewellMonitorInput{};
    input->device = device;
    input->ring = ring;
    input->bufferFrames = bufferFrames;
    if (backend != TidewellMonitorInputBackend::AudioQueue) {
        if (StartAudioDeviceInput(input, backend)) {
            return true;
        }
        if (backend == TidewellMonitorInputBackend::AudioDevice) {
            return false;
        }
    }
    return StartAudioQueueInput(input, inputUID);
}

void StopMonitorInput(TidewellMonitorInput* input) {
    DisposeQueue(input);
    if (input->ioProc != nullptr) {
        AudioDeviceStop(input->device, input->ioProc);
        AudioDeviceDestroyIOProcID(input->device, input->ioProc);
        input->ioProc = nullptr;
    }
    input->backendInUse = 0;
}

OSStatus OutputRateChangedListener(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void*) {
    std::fputs("Monitor output device sample rate changed; restarting to renegotiate.\n", stderr);
    gStopRequested.store(1, std::memory_order_relaxed);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, SignalHandler);
    std::signal(SIGTERM, SignalHandler);
    InstallServiceRestartedListener();

    const std::string passThru(tidewell::TidewellCore::passThruDeviceUID);
    const char* inputUID = TidewellEnvValue("TIDEWELL_MONITOR_INPUT_UID");
    if (inputUID == nullptr) {
        inputUID = passThru.c_str();
    }
    const char* outputUID = TidewellEnvValue("TIDEWELL_MONITOR_OUTPUT_UID");
    const double duration = TidewellHelperDurationSeconds(argc, argv, "TIDEWELL_MONITOR_SECONDS");

    const AudioObjectID inputDevice = FindDeviceByUID(inputUID);
    const AudioObjectID outputDevice = outputUID != nullptr ? FindDeviceByUID(outputUID) : DefaultOutputDevice();

    const uint32_t inputChannels =
        ResolveChannelCount("TIDEWELL_MONITOR_INPUT_CHANNELS", inputDevice, kAudioObjectPropertyScopeInput);
    const uint32_t outputChannels =
        ResolveChannelCount("TIDEWELL_MONITOR_OUTPUT_CHANNELS", outputDevice, kAudioObjectPropertyScopeOutput);
    const char* monitorID = TidewellEnvValue("TIDEWELL_MONITOR_ID");

    TidewellHelperRing* ring = TidewellHelperRingCreateReaderControlled(inputChannels, outputChannels);
    if (ring == nullptr) {
        std::fputs("Could not allocate monitor ring buffer.\n", stderr);
        return 1;
    }
    const uint32_t bufferFrames = TidewellBufferFramesFromEnvironment("TIDEWELL_MONITOR_BUFFER_FRAMES");
    ring->masterGain.store(TidewellHelperStartingGain("TIDEWELL_MONITOR_GAIN", "TIDEWELL_MONITOR_MUTED"));
    ParseChannelGains(ring->channelGains, 64, "TIDEWELL_MONITOR_CHANNEL_GAINS");
    TidewellRouteTable routes;
    ParseRoutes(&routes, "TIDEWELL_MONITOR_ROUTES");
    ring->routeCount = routes.count;
    std::memcpy(ring->routes, routes.routes, sizeof routes.routes);

    TidewellControlReader controls{nullptr, -1, 0};
    if (monitorID != nullptr && TidewellControlReaderOpen(&controls, monitorID)) {
        TidewellHelperPollControls(&controls, monitorID, &ring->masterGain, ring->channelGains, 64);
    }
    TidewellMeterWriterOpen(&ring->meterWriter, monitorID, outputChannels);

    TidewellAdaptiveFillConfig fillConfig;
    TidewellAdaptiveFillConfigInit(&fillConfig, bufferFrames + 32, bufferFrames,
                                   bufferFrames / 2 > 32 ? bufferFrames / 2 : 32);
    TidewellAdaptiveFillConfigApplyEnvironment(&fillConfig, "TIDEWELL_MONITOR");
    TidewellHelperLoop loop;
    const TidewellHelperRingCounters counters{&ring->readPosition, &ring->writePosition, &ring->captured,
                                              &ring->rendered,     &ring->dropped,       &ring->underrun,
                                              &ring->targetFill};
    TidewellDriftControllerInit(&ring->driftController, TidewellHelperLoopInit(&loop, counters, &fillConfig, duration));

    const double outputRate = DeviceNominalSampleRate(outputDevice);
    if (!TidewellHelperRingCreateOutputConverter(ring, outputRate)) {
        std::fputs("Could not allocate monitor sample-rate converter.\n", stderr);
        TidewellHelperRingDestroy(ring);
        return 1;
    }

    const TidewellMonitorInputBackend backend =
        TidewellMonitorInputBackendFromText(std::getenv("TIDEWELL_MONITOR_INPUT_BACKEND"));
    TidewellMonitorInput input{};
    if (!StartMonitorInput(&input, backend, ring, inputDevice, inputUID, bufferFrames)) {
        std::fprintf(stderr, "Could not start monitor input backend %s.\n", TidewellMonitorInputBackendName(backend));
        TidewellControlReaderClose(&controls);
        TidewellHelperRingDestroy(ring);
        return 1;
    }

    TidewellOutputBridge bridge{};
    const TidewellOutputBridgeConfig bridgeConfig{outputUID,
                                                  outputRate,
                                                  outputChannels,
                                                  bufferFrames,
                                                  TidewellOutputBridgeBackendFromString(TidewellMonitorOutputBackendText()),
                                                  true,
                                                  OutputBridgeCallback,
                                                  ring,
                                                  stderr};
    if (!TidewellOutputBridgeStart(&bridge, &bridgeConfig)) {
        std::fprintf(stderr, "Could not start monitor output bridge: %s\n", TidewellOutputBridgeError(&bridge));
        StopMonitorInput(&input);
        TidewellControlReaderClose(&controls);
        TidewellHelperRingDestroy(ring);
        return 1;
    }

    const AudioObjectPropertyAddress rateAddress =
        Address(kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal);
    const bool rateListener =
        outputDevice != 0 &&
        AudioObjectAddPropertyListener(outputDevice, &rateAddress, OutputRateChangedListener, nullptr) == 0;

    std::printf("Monitoring %s (%u ch) to %s (%u ch) with %u route(s).\n", inputUID, inputChannels,
                outputUID != nullptr ? outputUID : "default output", outputChannels, ring->routeCount);
    // Whether the rates match, not the live scalar the drift controller is already moving.
    std::printf("Sample-rate conversion: 48000 Hz -> %.0f Hz%s.\n", outputRate,
                ring->resampler->identity ? " (identity)" : "");
    std::printf("Buffer frames: %u.\n", bufferFrames);
    std::printf("Input backend: %s.\n", input.backendInUse == 1 ? "audio-device" : "audio-queue");
    if (input.backendInUse == 1) {
        std::printf("Input format: %.0f Hz, %u channels, flags=0x%x.\n", input.format.mSampleRate,
                    input.format.mChannelsPerFrame, input.format.mFormatFlags);
    }
    std::printf("Output backend: %s.\n", TidewellOutputBridgeBackendName(bridge.activeBackend));
    if (bridge.activeBackend == TidewellOutputBackendAudioQueue) {
        std::printf("Output queue buffers: %u.\n", bridge.queueBufferCount);
    }
    std::printf("Press Ctrl-C to stop.\n");
    std::fflush(stdout);

    while (gStopRequested.load(std::memory_order_relaxed) == 0) {
        usleep(kTidewellTickMicroseconds);
        TidewellHelperPollControls(&controls, monitorID, &ring->masterGain, ring->channelGains, 64);
        if (TidewellHelperLoopEndTick(&loop, stdout)) {
            break;
        }
    }

    TidewellHelperPrintStopped(stdout, "monitor", ring->captured.load(), ring->rendered.load(), ring->dropped.load(),
                               ring->underrun.load());
    TidewellArmShutdownWatchdog(2);
    StopMonitorInput(&input);
    TidewellOutputBridgeStop(&bridge);
    if (rateListener) {
        AudioObjectRemovePropertyListener(outputDevice, &rateAddress, OutputRateChangedListener, nullptr);
    }
    TidewellControlReaderClose(&controls);
    TidewellHelperRingDestroy(ring);
    return 0;
}
