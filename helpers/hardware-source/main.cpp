// tidewell-hardware-source: captures a hardware input device into a virtual device.
// Started by the service (or the application's diagnostics) with its settings in the
// environment; an optional first argument is the run time in seconds.

#include <AudioClient/AudioHardware.h>
#include <AudioClient/AudioToolbox.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "SourceCapture.h"
#include "TidewellCore/TidewellConstants.h"
#include "TidewellHelpers/TidewellHelperLoop.h"
#include "TidewellHelpers/TidewellInputQueue.h"
#include "TidewellHelpers/TidewellHelperSettings.h"
#include "TidewellStream/TidewellControlReader.h"
#include "TidewellStream/TidewellHelperDevices.h"
#include "TidewellStream/TidewellHelperEnvironment.h"
#include "TidewellStream/TidewellHelperRing.h"
#include "TidewellStream/TidewellHelperRuntime.h"
#include "TidewellStream/TidewellOutputBridge.h"

namespace {

constexpr uint32_t kQueueBuffers = 4;

struct SourceInput {
    uint32_t activeKind;   // 0 none, 1 device IO procedure, 2 input audio queue
    AudioQueueRef queue;
    AudioObjectID device;
    AudioDeviceIOProcID ioProc;
    TidewellInputBufferSize bufferSize;
    TidewellHelperRing* ring;
    uint32_t bufferFrames;
    AudioStreamBasicDescription format;
};

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

OSStatus InputIOProc(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList* input, const AudioTimeStamp*,
                     AudioBufferList*, const AudioTimeStamp*, void* clientData) {
    TidewellSourceRingWriteBufferList(static_cast<TidewellHelperRing*>(clientData), input, now);
    return 0;
}

void InputCallback(void* userData, AudioQueueRef queue, AudioQueueBufferRef buffer, const AudioTimeStamp* start,
                   UInt32, const AudioStreamPacketDescription*) {
    auto* ring = static_cast<TidewellHelperRing*>(userData);
    const uint32_t bytesPerFrame = 4 * ring->sourceChannels;
    const uint32_t frames = bytesPerFrame != 0 ? buffer->mAudioDataByteSize / bytesPerFrame : 0;
    if (frames > 0) {
        TidewellSourceRingWrite(ring, static_cast<const float*>(buffer->mAudioData), frames, start);
    }
    AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr);
}

bool StartAudioDeviceInput(SourceInput* input, TidewellSourceInputBackend backend) {
    TidewellHelperRing* ring = input->ring;
    const AudioObjectPropertyAddress address = Address(kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeInput);
    AudioStreamBasicDescription format{};
    UInt32 size = sizeof format;
    const OSStatus status = AudioObjectGetPropertyData(input->device, &address, 0, nullptr, &size, &format);
    if (status != 0) {
        PrintStatus("AudioObjectGetPropertyData(kAudioDevicePropertyStreamFormat input)", status);
        return false;
    }
    if (!TidewellSourceFormatSupported(format)) {
        if (backend == TidewellSourceInputBackend::Auto) {
            std::fprintf(stderr,
                         "Hardware input IOProc does not support active device format %.0f Hz, format=%u flags=0x%x "
                         "bits=%u channels=%u. Falling back to AudioQueue.\n",
                         format.mSampleRate, format.mFormatID, format.mFormatFlags, format.mBitsPerChannel,
                         format.mChannelsPerFrame);
        }
        return false;
    }
    input->format = format;
    TidewellResampler* resampler =
        TidewellResamplerCreate(ring->channels, kTidewellHelperRingBlockFrames, format.mSampleRate,
                                kTidewellHelperRingEngineRate);
    if (resampler == nullptr) {
        std::fprintf(stderr, "Could not create sample-rate converter for %.0f Hz input.\n", format.mSampleRate);
        return false;
    }
    TidewellResamplerDestroy(ring->resampler);
    ring->resampler = resampler;
    ring->inputRate = format.mSampleRate;
    if (!TidewellInputIOProcStart(input->device, InputIOProc, ring, "AudioDeviceCreateIOProcID(input)",
                                  "AudioDeviceStart(input)", &input->ioProc)) {
        return false;
    }
    input->activeKind = 1;
    return true;
}

void DisposeQueue(SourceInput* input) { TidewellInputQueueDispose(&input->queue); }

bool StartAudioQueueInput(SourceInput* input, const char* inputUID) {
    TidewellHelperRing* ring = input->ring;
    TidewellResampler* resampler =
        TidewellResamplerCreate(ring->channels, kTidewellHelperRingBlockFrames, 48000.0, kTidewellHelperRingEngineRate);
    if (resampler == nullptr) {
        std::fputs("Could not create sample-rate converter for queue input.\n", stderr);
        return false;
    }
    TidewellResamplerDestroy(ring->resampler);
    ring->resampler = resampler;
    ring->inputRate = 48000.0;
    // A failed queue path: the caller puts the device's buffer size back and stops the bridge.
    const uint32_t channels = ring->sourceChannels;
    static const TidewellInputQueueTexts texts{"AudioQueueNewInput", "AudioQueueAllocateBuffer(input)",
                                               "AudioQueueEnqueueBuffer(input)", "AudioQueueStart(input)"};
    if (!TidewellInputQueueStart(&input->queue, channels, inputUID, kQueueBuffers, input->bufferFrames * 4 * channels,
                                 InputCallback, ring, texts)) {
        return false;
    }
    input->activeKind = 2;
    return true;
}

bool StartSourceInput(SourceInput* input, TidewellSourceInputBackend backend, TidewellHelperRing* ring,
                      AudioObjectID device, const char* inputUID, uint32_t bufferFrames) {
    *input = SourceInput{};
    input->device = device;
    input->ring = ring;
    input->bufferFrames = bufferFrames;
    RequestInputBufferFrameSize(&input->bufferSize, &kDeviceBufferSize, device, bufferFrames);
    if (backend != TidewellSourceInputBackend::AudioQueue) {
        if (StartAudioDeviceInput(input, backend)) {
            return true;
        }
        if (backend == TidewellSourceInputBackend::AudioDevice) {
            RestoreInputBufferFrameSize(&input->bufferSize, &kDeviceBufferSize);
            return false;
        }
    }
    if (StartAudioQueueInput(input, inputUID)) {
        return true;
    }
    RestoreInputBufferFrameSize(&input->bufferSize, &kDeviceBufferSize);
    return false;
}

void StopSourceInput(SourceInput* input) {
    DisposeQueue(input);
    if (input->ioProc != nullptr) {
        AudioDeviceStop(input->device, input->ioProc);
        AudioDeviceDestroyIOProcID(input->device, input->ioProc);
        input->ioProc = nullptr;
    }
    RestoreInputBufferFrameSize(&input->bufferSize, &kDeviceBufferSize);
    input->activeKind = 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, SignalHandler);
    std::signal(SIGTERM, SignalHandler);
    InstallServiceRestartedListener();

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
    TidewellRouteTable routes;
    ParseRoutes(&routes, "TIDEWELL_SOURCE_ROUTES");
    ring->routeCount = routes.count;
    std::memcpy(ring->routes, routes.routes, sizeof routes.routes);

    TidewellControlReader controls{nullptr, -1, 0};
    if (sourceID != nullptr && TidewellControlReaderOpen(&controls, sourceID)) {
        TidewellHelperPollControls(&controls, sourceID, &ring->masterGain, ring->channelGains, inputChannels);
    }
    TidewellMeterWriterOpen(&ring->meterWriter, sourceID, inputChannels);

    TidewellAdaptiveFillConfig fillConfig;
    TidewellAdaptiveFillConfigInit(&fillConfig, bufferFrames + 32, bufferFrames,
                                   bufferFrames / 2 > 32 ? bufferFrames / 2 : 32);
    TidewellAdaptiveFillConfigApplyEnvironment(&fillConfig, "TIDEWELL_SOURCE");
    TidewellHelperLoop loop;
    const TidewellHelperRingCounters counters{&ring->readPosition, &ring->writePosition, &ring->captured,
                                              &ring->rendered,     &ring->dropped,       &ring->underrun,
                                              &ring->targetFill};
    TidewellDriftControllerInit(&ring->driftController, TidewellHelperLoopInit(&loop, counters, &fillConfig, duration));

    const TidewellSourceInputBackend backend =
        TidewellSourceInputBackendFromText(std::getenv("TIDEWELL_SOURCE_INPUT_BACKEND"));

    TidewellOutputBridge bridge{};
    const TidewellOutputBridgeConfig bridgeConfig{outputUID,
                                                  48000.0,
                                                  outputChannels,
                                                  bufferFrames,
                                                  TidewellOutputBridgeBackendFromEnvironment(),
                                                  true,
                                                  OutputBridgeCallback,
                                                  ring,
                                                  stderr};
    if (!TidewellOutputBridgeStart(&bridge, &bridgeConfig)) {
        std::fprintf(stderr, "Could not start output bridge: %s\n", TidewellOutputBridgeError(&bridge));
        TidewellControlReaderClose(&controls);
        TidewellHelperRingDestroy(ring);
        return 1;
    }

    SourceInput input{};
    if (!StartSourceInput(&input, backend, ring, inputDevice, inputUID, bufferFrames)) {
        std::fprintf(stderr, "Could not start hardware input backend %s.\n", TidewellSourceInputBackendName(backend));
        TidewellOutputBridgeStop(&bridge);
        TidewellControlReaderClose(&controls);
        TidewellHelperRingDestroy(ring);
        return 1;
    }

    std::printf("Routing hardware input %s to %s with %u route(s).\n", inputUID, outputUID, ring->routeCount);
    std::printf("Input backend: %s.\n", input.activeKind == 1 ? "audio-device" : "audio-queue");
    // Whether the rates match, not the live scalar the drift controller is already moving.
    std::printf("Sample-rate conversion: %.0f Hz -> 48000 Hz%s.\n", ring->inputRate,
                ring->resampler->identity ? " (identity)" : "");
    if (input.activeKind == 1) {
        std::printf("Input format: %.0f Hz, %u channels, flags=0x%x.\n", input.format.mSampleRate,
                    input.format.mChannelsPerFrame, input.format.mFormatFlags);
    }
    std::printf("Output backend: %s.\n", TidewellOutputBridgeBackendName(bridge.activeBackend));
    if (bridge.activeBackend == TidewellOutputBackendAudioQueue) {
        std::printf("Output queue buffers: %u.\n", bridge.queueBufferCount);
    }
    std::printf("Buffer frames: %u.\n", bufferFrames);
    std::printf("Press Ctrl-C to stop.\n");
    std::fflush(stdout);

    while (gStopRequested.load(std::memory_order_relaxed) == 0) {
        usleep(kTidewellTickMicroseconds);
        TidewellHelperPollControls(&controls, sourceID, &ring->masterGain, ring->channelGains, inputChannels);
        if (TidewellHelperLoopEndTick(&loop, stdout)) {
            break;
        }
    }

    TidewellHelperPrintStopped(stdout, "hardware source", ring->captured.load(), ring->rendered.load(), ring->dropped.load(),
                               ring->underrun.load());
    TidewellArmShutdownWatchdog(2);
    StopSourceInput(&input);
    TidewellOutputBridgeStop(&bridge);
    TidewellControlReaderClose(&controls);
    TidewellHelperRingDestroy(ring);
    return 0;
}
