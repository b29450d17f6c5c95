// tidewell-hardware-source: captures a hardware input device into a virtual device.
// Started by the service (or the application's diagnostics) with its settings in the
// environment; an optional first argument is the run time in seconds.

#include <AudioClient/AudioHardware.h>
#include <AudioClient/AudioToolbox.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "SourceCapture.h"
#include "TidewellCore/TidewellConstants.h"
#include "TidewellHelpers/TidewellDeviceFollower.h"
#include "TidewellHelpers/TidewellHelperLoop.h"
#include "TidewellHelpers/TidewellHelperInput.h"
#include "TidewellHelpers/TidewellHelperStartup.h"
#include "TidewellHelpers/TidewellHelperSettings.h"
#include "TidewellStream/TidewellControlReader.h"
#include "TidewellStream/TidewellHelperDevices.h"
#include "TidewellStream/TidewellHelperEnvironment.h"
#include "TidewellStream/TidewellHelperRing.h"
#include "TidewellStream/TidewellHelperRuntime.h"
#include "TidewellStream/TidewellOutputBridge.h"

namespace {

AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector, AudioObjectPropertyScope scope) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

uint32_t QueryDeviceBufferFrameSize(void*, AudioObjectID device, uint32_t scope) {
    const AudioObjectPropertyAddress address = Address(kAudioDevicePropertyBufferFrameSize, scope);
    UInt32 frames = 0;
    UInt32 size = sizeof frames;
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &frames) != 0) {
        return 0;
    }
    return frames;
}

bool SetBufferFrameSize(void*, AudioObjectID device, uint32_t scope, uint32_t frames) {
    return SetDeviceBufferFrameSize(device, scope, frames);
}

const TidewellBufferSizeOps kDeviceBufferSize = {QueryDeviceBufferFrameSize, SetBufferFrameSize, nullptr};

void WriteBufferList(TidewellHelperRing* ring, const AudioBufferList* list, const AudioTimeStamp* time) {
    TidewellSourceRingWriteBufferList(ring, list, time);
}

void WriteInterleaved(TidewellHelperRing* ring, const float* data, uint32_t frames, const AudioTimeStamp* time) {
    TidewellSourceRingWrite(ring, data, frames, time);
}

// The device's own rate, resampled to 48000 Hz.
bool StartAudioDeviceInput(TidewellHelperInput* input, TidewellSourceInputBackend backend) {
    TidewellHelperRing* ring = input->ring;
    if (!TidewellHelperInputReadFormat(input)) {
        return false;
    }
    const AudioStreamBasicDescription& format = input->format;
    if (!TidewellSourceFormatSupported(format)) {
        if (backend == TidewellSourceInputBackend::Auto) {
            TidewellHelperInputReportFallback("Hardware", format);
        }
        return false;
    }
    if (!TidewellHelperRingSetInputRate(ring, format.mSampleRate)) {
        std::fprintf(stderr, "Could not create sample-rate converter for %.0f Hz input.\n", format.mSampleRate);
        return false;
    }
    return TidewellHelperInputStartIOProc(input, "AudioDeviceCreateIOProcID(input)", "AudioDeviceStart(input)");
}

bool StartAudioQueueInput(TidewellHelperInput* input, const char* inputUID) {
    // The queue delivers 48000 Hz, converted from whatever rate the device runs at when it starts.
    if (!TidewellHelperRingSetInputRate(input->ring, 48000.0)) {
        std::fputs("Could not create sample-rate converter for queue input.\n", stderr);
        return false;
    }
    // A failed queue path: the caller puts the device's buffer size back and stops the bridge.
    static const TidewellInputQueueTexts texts{"AudioQueueNewInput", "AudioQueueAllocateBuffer(input)",
                                               "AudioQueueEnqueueBuffer(input)", "AudioQueueStart(input)"};
    return TidewellHelperInputStartQueue(input, inputUID, texts);
}

bool StartSourceInput(TidewellHelperInput* input, TidewellInputBufferSize* bufferSize,
                      TidewellSourceInputBackend backend, TidewellHelperRing* ring, AudioObjectID device,
                      const char* inputUID, uint32_t bufferFrames) {
    TidewellHelperInputInit(input, ring, device, bufferFrames, WriteBufferList, WriteInterleaved);
    *bufferSize = TidewellInputBufferSize{};
    RequestInputBufferFrameSize(bufferSize, &kDeviceBufferSize, device, bufferFrames);
    if (backend != TidewellSourceInputBackend::AudioQueue) {
        if (StartAudioDeviceInput(input, backend)) {
            return true;
        }
        if (backend == TidewellSourceInputBackend::AudioDevice) {
            RestoreInputBufferFrameSize(bufferSize, &kDeviceBufferSize);
            return false;
        }
    }
    if (StartAudioQueueInput(input, inputUID)) {
        return true;
    }
    RestoreInputBufferFrameSize(bufferSize, &kDeviceBufferSize);
    return false;
}

void StopSourceInput(TidewellHelperInput* input, TidewellInputBufferSize* bufferSize) {
    TidewellHelperInputStop(input);
    RestoreInputBufferFrameSize(bufferSize, &kDeviceBufferSize);
}

// What the running input is: its back-end, the conversion to 48000 Hz and, on the IO procedure
// path, the device's format.
void PrintInputReport(const TidewellHelperInput* input, const TidewellHelperRing* ring) {
    std::printf("Input backend: %s.\n", input->activeKind == 1 ? "audio-device" : "audio-queue");
    // Whether the rates match, not the live scalar the drift controller is already moving.
    std::printf("Sample-rate conversion: %.0f Hz -> 48000 Hz%s.\n", ring->inputRate,
                ring->resampler->identity ? " (identity)" : "");
    if (input->activeKind == 1) {
        std::printf("Input format: %.0f Hz, %u channels, flags=0x%x.\n", input->format.mSampleRate,
                    input->format.mChannelsPerFrame, input->format.mFormatFlags);
    }
}

// The input on the hardware device (or the virtual device a nested source records), as the device
// follower stops and starts it: when the device comes back, or runs at another rate, the input
// starts again with a converter from the rate it runs at now.
struct FollowedInput {
    TidewellHelperInput* input;
    TidewellInputBufferSize* bufferSize;
    TidewellSourceInputBackend backend;
    TidewellHelperRing* ring;
    const char* inputUID;
    uint32_t bufferFrames;
};

void StopFollowedInput(void* context) {
    auto* followed = static_cast<FollowedInput*>(context);
    StopSourceInput(followed->input, followed->bufferSize);
}

bool StartFollowedInput(void* context, AudioObjectID device) {
    auto* followed = static_cast<FollowedInput*>(context);
    TidewellHelperRingRestartSide(followed->ring, TidewellHelperRingWriterSide);
    if (!StartSourceInput(followed->input, followed->bufferSize, followed->backend, followed->ring, device,
                          followed->inputUID, followed->bufferFrames)) {
        std::fprintf(stderr, "Could not start hardware input backend %s.\n",
                     TidewellSourceInputBackendName(followed->backend));
        std::fflush(stderr);
        return false;
    }
    PrintInputReport(followed->input, followed->ring);
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    TidewellHelperInstallStopHandlers();

    const char* inputUID = TidewellEnvValue("TIDEWELL_SOURCE_INPUT_UID");
    if (inputUID == nullptr) {
        std::fputs("TIDEWELL_SOURCE_INPUT_UID is required.\n", stderr);
        return 1;
    }
    const std::string passThru(tidewell::TidewellCore::passThruDeviceUID);
    const char* outputUID = TidewellEnvValue("TIDEWELL_SOURCE_OUTPUT_UID");
    if (outputUID == nullptr) {
        outputUID = passThru.c_str();
    }
    const double duration = TidewellHelperDurationSeconds(argc, argv, "TIDEWELL_SOURCE_SECONDS");

    const AudioObjectID inputDevice = FindDeviceByUID(inputUID);
    const AudioObjectID outputDevice = FindDeviceByUID(outputUID);
    bool configurationNotAllocated = false;
    const uint32_t deviceInputs =
        ChannelCountForDeviceChecked(inputDevice, kAudioObjectPropertyScopeInput, &configurationNotAllocated);
    if (configurationNotAllocated) {
        std::fputs("Could not allocate stream configuration.\n", stderr);
        return 1;
    }
    if (deviceInputs == 0) {
        std::fputs("Selected input device has no input channels.\n", stderr);
        return 1;
    }
    const uint32_t inputChannels = deviceInputs > 64 ? 64 : deviceInputs;
    const uint32_t outputChannels = ResolveOutputChannelCount("TIDEWELL_SOURCE_OUTPUT_CHANNELS", outputDevice);
    const uint32_t bufferFrames = TidewellBufferFramesFromEnvironment("TIDEWELL_SOURCE_BUFFER_FRAMES");
    const char* sourceID = TidewellEnvValue("TIDEWELL_SOURCE_ID");

    TidewellHelperRing* ring = TidewellHelperRingCreate(inputChannels, outputChannels, 48000.0);
    if (ring == nullptr) {
        std::fputs("Could not allocate hardware source buffers.\n", stderr);
        return 1;
    }
    ring->masterGain.store(TidewellHelperStartingGain("TIDEWELL_SOURCE_GAIN", "TIDEWELL_SOURCE_MUTED"));
    float gains[64];
    ParseChannelGains(gains, 64, "TIDEWELL_SOURCE_CHANNEL_GAINS");
    for (uint32_t c = 0; c < inputChannels; ++c) {
        ring->channelGains[c] = gains[c];
    }
    TidewellHelperApplyRoutes(ring, "TIDEWELL_SOURCE_ROUTES");

    TidewellControlReader controls{nullptr, -1, 0};
    TidewellHelperOpenControlsAndMeter(&controls, sourceID, ring, inputChannels, inputChannels);

    TidewellHelperLoop loop;
    TidewellDriftControllerInit(&ring->driftController,
                                TidewellHelperLoopStart(&loop, ring, bufferFrames, "TIDEWELL_SOURCE", duration));

    const TidewellSourceInputBackend backend =
        TidewellSourceInputBackendFromText(std::getenv("TIDEWELL_SOURCE_INPUT_BACKEND"));

    TidewellOutputBridge bridge{};
    const TidewellOutputBridgeConfig bridgeConfig =
        TidewellHelperBridgeConfig(outputUID, 48000.0, outputChannels, bufferFrames,
                                   TidewellOutputBridgeBackendFromEnvironment(), ring);
    bool bridgeRunning = false;
    TidewellHelperInput input{};
    TidewellInputBufferSize inputBufferSize{};

    // Both devices may go and come back, and the input may change its rate: the bridge and the
    // input follow them. Followed from before they start, so that no change goes unheard.
    TidewellFollowedOutput followedOutput{&bridge, &bridgeConfig, ring, &bridgeRunning};
    FollowedInput followedInput{&input, &inputBufferSize, backend, ring, inputUID, bufferFrames};
    TidewellDeviceFollower followers[2];
    TidewellDeviceFollowerStart(&followers[0], outputUID, outputDevice, TidewellFollowedOutputSide(&followedOutput));
    TidewellDeviceFollowerStart(&followers[1], inputUID, inputDevice,
                                TidewellFollowedSide{StopFollowedInput, StartFollowedInput, &followedInput, true});
    const auto fail = [&] {
        TidewellDeviceFollowersStop(followers, 2);
        if (bridgeRunning) {
            TidewellOutputBridgeStop(&bridge);
        }
        TidewellControlReaderClose(&controls);
        TidewellHelperRingDestroy(ring);
        return 1;
    };

    if (!TidewellOutputBridgeStart(&bridge, &bridgeConfig)) {
        std::fprintf(stderr, "Could not start output bridge: %s\n", TidewellOutputBridgeError(&bridge));
        return fail();
    }
    bridgeRunning = true;
    if (!StartSourceInput(&input, &inputBufferSize, backend, ring, inputDevice, inputUID, bufferFrames)) {
        std::fprintf(stderr, "Could not start hardware input backend %s.\n", TidewellSourceInputBackendName(backend));
        return fail();
    }

    std::printf("Routing hardware input %s to %s with %u route(s).\n", inputUID, outputUID, ring->routeCount);
    PrintInputReport(&input, ring);
    TidewellHelperPrintOutputBackend(&bridge);
    std::printf("Buffer frames: %u.\n", bufferFrames);
    std::printf("Press Ctrl-C to stop.\n");
    std::fflush(stdout);

    TidewellHelperRunLoop(&loop, &controls, sourceID, ring, inputChannels, followers, 2);
    TidewellDeviceFollowersStop(followers, 2);

    TidewellHelperReportStopping("hardware source", ring);
    StopSourceInput(&input, &inputBufferSize);
    if (bridgeRunning) {
        TidewellOutputBridgeStop(&bridge);
    }
    TidewellControlReaderClose(&controls);
    TidewellHelperRingDestroy(ring);
    return 0;
}
