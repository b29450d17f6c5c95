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
    TidewellHelperRingRestartSide(followed->ring, TidewellHelperRingWriterSide);
    if (!StartMonitorInput(followed->input, followed->backend, followed->ring, device, followed->inputUID,
                           followed->bufferFrames)) {
        std::fprintf(stderr, "Could not start monitor input backend %s.\n",
                     TidewellMonitorInputBackendName(followed->backend));
        std::fflush(stderr);
        return false;
    }
    return true;
}

// The output, as the device follower stops and starts it. It starts again on a device that comes
// back at the rate the ring converts to. At another rate (the device's rate changed, or it came
// back at another) the monitor ends, and the service starts it again, which picks up the new rate.
struct FollowedOutput {
    TidewellFollowedOutput bridge;
    double rate;
};

void StopFollowedOutput(void* context) {
    auto* followed = static_cast<FollowedOutput*>(context);
    const TidewellFollowedSide bridge = TidewellFollowedOutputSide(&followed->bridge);
    bridge.stop(bridge.context);
}

bool StartFollowedOutput(void* context, AudioObjectID device) {
    auto* followed = static_cast<FollowedOutput*>(context);
    const double rate = TidewellDeviceNominalSampleRate(device);
    if (rate > 0 && rate != followed->rate) {
        std::fputs("Monitor output device sample rate changed; restarting to renegotiate.\n", stderr);
        std::fflush(stderr);
        gStopRequested.store(1, std::memory_order_relaxed);
        return false;
    }
    const TidewellFollowedSide bridge = TidewellFollowedOutputSide(&followed->bridge);
    return bridge.start(bridge.context, device);
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

    // Both devices may go and come back, and the output may change its rate: the input and the
    // bridge follow them. The output is followed from before its rate is read, so that no change
    // goes unheard; without an output UID it is the default output found now, and only its rate is
    // followed.
    TidewellHelperInput input{};
    TidewellOutputBridge bridge{};
    bool bridgeRunning = false;
    const TidewellMonitorInputBackend backend =
        TidewellMonitorInputBackendFromText(std::getenv("TIDEWELL_MONITOR_INPUT_BACKEND"));
    FollowedInput followedInput{&input, backend, ring, inputUID, bufferFrames};
    FollowedOutput followedOutput{{&bridge, nullptr, ring, &bridgeRunning}, 0};
    TidewellDeviceFollower followers[2];
    TidewellDeviceFollowerStart(&followers[0], outputUID, outputDevice,
                                TidewellFollowedSide{StopFollowedOutput, StartFollowedOutput, &followedOutput, true});
    TidewellDeviceFollowerStart(&followers[1], inputUID, inputDevice,
                                TidewellFollowedSide{StopFollowedInput, StartFollowedInput, &followedInput, false});
    const auto fail = [&] {
        TidewellDeviceFollowersStop(followers, 2);
        TidewellHelperInputStop(&input);
        TidewellControlReaderClose(&controls);
        TidewellHelperRingDestroy(ring);
        return 1;
    };

    const double deviceRate = TidewellDeviceNominalSampleRate(outputDevice);
    const double outputRate = deviceRate > 0 ? deviceRate : 48000.0;
    followedOutput.rate = outputRate;
    if (!TidewellHelperRingCreateOutputConverter(ring, outputRate)) {
        std::fputs("Could not allocate monitor sample-rate converter.\n", stderr);
        return fail();
    }

    if (!StartMonitorInput(&input, backend, ring, inputDevice, inputUID, bufferFrames)) {
        std::fprintf(stderr, "Could not start monitor input backend %s.\n", TidewellMonitorInputBackendName(backend));
        return fail();
    }

    const TidewellOutputBridgeConfig bridgeConfig =
        TidewellHelperBridgeConfig(outputUID, outputRate, outputChannels, bufferFrames,
                                   TidewellOutputBridgeBackendFromString(TidewellMonitorOutputBackendText()), ring);
    followedOutput.bridge.config = &bridgeConfig;
    if (!TidewellOutputBridgeStart(&bridge, &bridgeConfig)) {
        std::fprintf(stderr, "Could not start monitor output bridge: %s\n", TidewellOutputBridgeError(&bridge));
        return fail();
    }
    bridgeRunning = true;

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

    TidewellHelperRunLoop(&loop, &controls, monitorID, ring, 64, followers, 2);
    TidewellDeviceFollowersStop(followers, 2);

    TidewellHelperReportStopping("monitor", ring);
    TidewellHelperInputStop(&input);
    if (bridgeRunning) {
        TidewellOutputBridgeStop(&bridge);
    }
    TidewellControlReaderClose(&controls);
    TidewellHelperRingDestroy(ring);
    return 0;
}
