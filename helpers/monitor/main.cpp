// tidewell-monitor: plays a virtual device to a hardware output. Started by the service (or the
// application's diagnostics) with its settings in the environment; an optional first argument is
// the run duration in seconds.

#include <AudioClient/AudioHardware.h>
#include <AudioClient/AudioToolbox.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "MonitorCapture.h"
#include "TidewellCore/TidewellConstants.h"
#include "TidewellHelpers/TidewellDeviceFollower.h"
#include "TidewellHelpers/TidewellHelperLoop.h"
#include "TidewellHelpers/TidewellHelperInput.h"
#include "TidewellHelpers/TidewellHelperStartup.h"
#include "TidewellHelpers/TidewellHelperSettings.h"
#include "TidewellStream/TidewellControlReader.h"
#include "TidewellStream/TidewellHelperDevices.h"
#include "TidewellStream/TidewellHelperEnvironment.h"
#include "TidewellStream/TidewellHelperRuntime.h"
#include "TidewellStream/TidewellOutputBridge.h"

namespace {

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

void WriteBufferList(TidewellHelperRing* ring, const AudioBufferList* list, const AudioTimeStamp* time) {
    TidewellMonitorWriteBufferList(ring, list, time);
}

void WriteInterleaved(TidewellHelperRing* ring, const float* data, uint32_t frames, const AudioTimeStamp* time) {
    TidewellMonitorWrite(ring, data, frames, time);
}

// The IO procedure path takes the virtual device's frames only as they are: float at 48000 Hz.
bool StartAudioDeviceInput(TidewellHelperInput* input, TidewellMonitorInputBackend backend) {
    if (!TidewellHelperInputReadFormat(input)) {
        return false;
    }
    const AudioStreamBasicDescription& format = input->format;
    const bool supported = format.mFormatID == kAudioFormatLinearPCM &&
                           (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0 && format.mBitsPerChannel == 32 &&
                           format.mChannelsPerFrame >= 1 && std::fabs(format.mSampleRate - 48000.0) < 1.0;
    if (!supported) {
        if (backend == TidewellMonitorInputBackend::Auto) {
            TidewellHelperInputReportFallback("Monitor", format);
        }
        return false;
    }
    return TidewellHelperInputStartIOProc(input, "AudioDeviceCreateIOProcID(monitor input)",
                                          "AudioDeviceStart(monitor input)");
}

bool StartMonitorInput(TidewellHelperInput* input, TidewellMonitorInputBackend backend, TidewellHelperRing* ring,
                       AudioObjectID device, const char* inputUID, uint32_t bufferFrames) {
    TidewellHelperInputInit(input, ring, device, bufferFrames, WriteBufferList, WriteInterleaved);
    if (backend != TidewellMonitorInputBackend::AudioQueue) {
        if (StartAudioDeviceInput(input, backend)) {
            return true;
        }
        if (backend == TidewellMonitorInputBackend::AudioDevice) {
            return false;
        }
    }
    static const TidewellInputQueueTexts texts{"AudioQueueNewInput(monitor input)",
                                               "AudioQueueAllocateBuffer(monitor input)",
                                               "AudioQueueEnqueueBuffer(monitor input)", "AudioQueueStart(monitor input)"};
    return TidewellHelperInputStartQueue(input, inputUID, texts);
}

// The input on the virtual device, as the device follower stops and starts it.
struct FollowedInput {
    TidewellHelperInput* input;
    TidewellMonitorInputBackend backend;
    TidewellHelperRing* ring;
    const char* inputUID;
    uint32_t bufferFrames;
};

void StopFollowedInput(void* context) {
    TidewellHelperInputStop(static_cast<FollowedInput*>(context)->input);
}

bool StartFollowedInput(void* context, AudioObjectID device) {
    auto* followed = static_cast<FollowedInput*>(context);
    TidewellHelperRingRestartSide(followed->ring);
    if (!StartMonitorInput(followed->input, followed->backend, followed->ring, device, followed->inputUID,
                           followed->bufferFrames)) {
        std::fprintf(stderr, "Could not start monitor input backend %s.\n",
                     TidewellMonitorInputBackendName(followed->backend));
        std::fflush(stderr);
        return false;
    }
    return true;
}

OSStatus OutputRateChangedListener(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void*) {
    std::fputs("Monitor output device sample rate changed; restarting to renegotiate.\n", stderr);
    gStopRequested.store(1, std::memory_order_relaxed);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    TidewellHelperInstallStopHandlers();

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
    TidewellHelperApplyRoutes(ring, "TIDEWELL_MONITOR_ROUTES");

    TidewellControlReader controls{nullptr, -1, 0};
    TidewellHelperOpenControlsAndMeter(&controls, monitorID, ring, 64, outputChannels);

    TidewellHelperLoop loop;
    TidewellDriftControllerInit(&ring->driftController,
                                TidewellHelperLoopStart(&loop, ring, bufferFrames, "TIDEWELL_MONITOR", duration));

    const double outputRate = DeviceNominalSampleRate(outputDevice);
    if (!TidewellHelperRingCreateOutputConverter(ring, outputRate)) {
        std::fputs("Could not allocate monitor sample-rate converter.\n", stderr);
        TidewellHelperRingDestroy(ring);
        return 1;
    }

    const TidewellMonitorInputBackend backend =
        TidewellMonitorInputBackendFromText(std::getenv("TIDEWELL_MONITOR_INPUT_BACKEND"));
    TidewellHelperInput input{};
    if (!StartMonitorInput(&input, backend, ring, inputDevice, inputUID, bufferFrames)) {
        std::fprintf(stderr, "Could not start monitor input backend %s.\n", TidewellMonitorInputBackendName(backend));
        TidewellControlReaderClose(&controls);
        TidewellHelperRingDestroy(ring);
        return 1;
    }

    TidewellOutputBridge bridge{};
    const TidewellOutputBridgeConfig bridgeConfig =
        TidewellHelperBridgeConfig(outputUID, outputRate, outputChannels, bufferFrames,
                                   TidewellOutputBridgeBackendFromString(TidewellMonitorOutputBackendText()), ring);
    if (!TidewellOutputBridgeStart(&bridge, &bridgeConfig)) {
        std::fprintf(stderr, "Could not start monitor output bridge: %s\n", TidewellOutputBridgeError(&bridge));
        TidewellHelperInputStop(&input);
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
    std::printf("Input backend: %s.\n", input.activeKind == 1 ? "audio-device" : "audio-queue");
    if (input.activeKind == 1) {
        std::printf("Input format: %.0f Hz, %u channels, flags=0x%x.\n", input.format.mSampleRate,
                    input.format.mChannelsPerFrame, input.format.mFormatFlags);
    }
    TidewellHelperPrintOutputBackend(&bridge);
    std::printf("Press Ctrl-C to stop.\n");
    std::fflush(stdout);

    // The virtual device it plays may go and come back: the input follows it.
    FollowedInput followedInput{&input, backend, ring, inputUID, bufferFrames};
    const TidewellFollowedSide inputSide{StopFollowedInput, StartFollowedInput, &followedInput};
    TidewellDeviceFollower follower;
    TidewellDeviceFollowerStart(&follower, inputUID, inputDevice);
    TidewellHelperRunLoop(&loop, &controls, monitorID, ring, 64, &follower, &inputSide);
    TidewellDeviceFollowerStop(&follower);

    TidewellHelperReportStopping("monitor", ring);
    TidewellHelperInputStop(&input);
    TidewellOutputBridgeStop(&bridge);
    if (rateListener) {
        AudioObjectRemovePropertyListener(outputDevice, &rateAddress, OutputRateChangedListener, nullptr);
    }
    TidewellControlReaderClose(&controls);
    TidewellHelperRingDestroy(ring);
    return 0;
}
