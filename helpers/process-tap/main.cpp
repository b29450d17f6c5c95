// tidewell-process-tap: captures one application's audio, or the whole system's less a few
// processes, through a process tap wrapped in a private aggregate device, and plays it into a
// virtual device. Started by the service (or the application's diagnostics) with its settings in
// the environment; an optional first argument is the run duration in seconds.

#include <AudioClient/AudioHardware.h>
#include <AudioClient/AudioToolbox.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SourceCapture.h"
#include "TapCapture.h"
#include "TapClock.h"
#include "TapDevices.h"
#include "TapExclusions.h"
#include "TapRateWatchdog.h"
#include "TapStartupWatchdog.h"
#include "TidewellCore/TidewellConstants.h"
#include "TidewellHelpers/TidewellDeviceFollower.h"
#include "TidewellHelpers/TidewellHelperLoop.h"
#include "TidewellHelpers/TidewellHelperSettings.h"
#include "TidewellHelpers/TidewellHelperStartup.h"
#include "TidewellStream/TidewellControlReader.h"
#include "TidewellStream/TidewellHelperDevices.h"
#include "TidewellStream/TidewellHelperEnvironment.h"
#include "TidewellStream/TidewellHelperRing.h"
#include "TidewellStream/TidewellHelperRuntime.h"
#include "TidewellStream/TidewellOutputBridge.h"

namespace {

constexpr int kProcessWaitRetries = 20;
constexpr useconds_t kProcessWaitMicroseconds = 500000;

void LogStartupStep(const char* step) {
    std::fprintf(stderr, "Tidewell process tap: %s\n", step);
    std::fflush(stderr);
}

// The tap description, or nullopt after the failure's line (the caller exits with 1).
// System capture's fixed exclusions, kept for later: helpers that start after this one are left out
// of a replacement tap.
struct SystemExclusions {
    AudioObjectID own = kAudioObjectUnknown;
    AudioObjectID excluded = kAudioObjectUnknown;
    std::vector<AudioObjectID> current;
};

std::optional<AudioTapDescription> CreateTapDescription(bool application, int32_t processID,
                                                        AudioObjectID outputDevice, SystemExclusions* exclusions) {
    AudioTapDescription description;
    if (application) {
        if (processID < 1) {
            std::fputs("TIDEWELL_TAP_PID is required for application capture.\n", stderr);
            return std::nullopt;
        }
        AudioObjectID object = TranslatePIDToProcessObject(processID);
        for (int retry = 0; object == kAudioObjectUnknown && retry < kProcessWaitRetries; ++retry) {
            if (retry == 0) {
                std::fprintf(stderr, "PID %d is not a Core Audio process yet; waiting for it to open audio.\n",
                             processID);
                std::fflush(stderr);
            }
            usleep(kProcessWaitMicroseconds);
            object = TranslatePIDToProcessObject(processID);
        }
        if (object == kAudioObjectUnknown) {
            std::fprintf(stderr, "Could not translate PID %d to a Core Audio process object.\n", processID);
            return std::nullopt;
        }
        description = AudioTapDescription::StereoMixdownOfProcesses({object});
        description.name = "Tidewell App Capture " + std::to_string(processID);
    } else {
        // The audio server makes a process object of a client once it first runs IO, and this
        // helper's own bridge only starts later: run one cycle now so that its own output, played
        // into a virtual device, can be left out of the tap instead of feeding back into it.
        AnnounceAsAudioProcess(outputDevice);
        exclusions->own = TranslatePIDToProcessObject(getpid());
        const int32_t excludedPID = TidewellProcessIDFromEnvironment("TIDEWELL_TAP_EXCLUDE_PID");
        exclusions->excluded =
            excludedPID > 0 ? TranslatePIDToProcessObject(excludedPID) : kAudioObjectUnknown;
        exclusions->current = TidewellTapSystemExclusions(exclusions->own, exclusions->excluded, AudioProcesses(),
                                                          TidewellIsHelperProcess, nullptr);
        description = AudioTapDescription::StereoGlobalTapExcludingProcesses(exclusions->current);
        description.name = "Tidewell System Capture";
    }
    description.isPrivate = true;
    description.mono = false;
    description.mixdown = true;
    description.muteBehavior =
        TidewellTapMuteWhenCapturing() ? kAudioTapMuteBehaviorMutedWhenTapped : kAudioTapMuteBehaviorUnmuted;
    return description;
}

AudioObjectID CreateAggregate(const AudioTapDescription& tap, const std::string& clockUID, OSStatus* status) {
    CFStringRef name = CFStringCreateWithCString(nullptr, tap.name.c_str(), kCFStringEncodingUTF8);
    CFStringRef clock = CFStringCreateWithCString(nullptr, clockUID.c_str(), kCFStringEncodingUTF8);
    CFStringRef tapUUID = CFStringCreateWithCString(nullptr, tap.uuid.c_str(), kCFStringEncodingUTF8);
    CFDictionaryRef description = TidewellTapAggregateDescription(name, clock, tapUUID);
    AudioObjectID device = kAudioObjectUnknown;
    *status = AudioHardwareCreateAggregateDevice(description, &device);
    CFRelease(description);
    CFRelease(name);
    CFRelease(clock);
    CFRelease(tapUUID);
    return *status == 0 ? device : kAudioObjectUnknown;
}

uint32_t QueryBufferFrameSize(void*, AudioObjectID device, uint32_t scope) {
    const AudioObjectPropertyAddress address = Address(kAudioDevicePropertyBufferFrameSize, scope);
    UInt32 frames = 0;
    UInt32 size = sizeof frames;
    return AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &frames) == 0 ? frames : 0;
}

bool SetBufferFrameSize(void*, AudioObjectID device, uint32_t scope, uint32_t frames) {
    return SetDeviceBufferFrameSize(device, scope, frames);
}

const TidewellBufferSizeOps kBufferSizeOps = {QueryBufferFrameSize, SetBufferFrameSize, nullptr};

// Everything start-up has made so far, torn down in the order the stop uses.
struct TapResources {
    AudioObjectID tap = kAudioObjectUnknown;
    AudioObjectID aggregate = kAudioObjectUnknown;
    TidewellInputBufferSize aggregateBufferSize{};
    TidewellHelperRing* ring = nullptr;
    TidewellControlReader controls{nullptr, -1, 0};
    TidewellOutputBridge bridge{};
    bool bridgeRunning = false;
    dispatch_queue_t queue = nullptr;
    AudioDeviceIOProcID ioProc = nullptr;
    bool ioRunning = false;
};

std::atomic<bool> gProcessesChanged{false};

OSStatus ProcessListChanged(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void*) {
    gProcessesChanged.store(true, std::memory_order_relaxed);
    return 0;
}

bool SameFormat(const AudioStreamBasicDescription& a, const AudioStreamBasicDescription& b) {
    return a.mSampleRate == b.mSampleRate && a.mFormatID == b.mFormatID && a.mFormatFlags == b.mFormatFlags &&
           a.mBitsPerChannel == b.mBitsPerChannel && a.mChannelsPerFrame == b.mChannelsPerFrame;
}

// How a replacement of the system tap ended.
enum class TapSwap {
    Replaced,      // the new tap runs
    KeptOld,       // the new tap could not be made ready; the old one runs on
    CaptureLost,   // the new tap did not start, and the old one did not start again either
};

// A helper that started after this one plays into a virtual device or to the speakers and would be
// captured, and fed back, by the global tap: replace the tap and its aggregate by ones that leave
// it out. The old IO procedure stops only once the new one is ready, so the capture pauses for no
// more than a cycle; on any failure the old tap is started again, and when even that fails the
// helper captures nothing any more (its line is printed; the caller ends the helper).
TapSwap ReplaceSystemTap(TapResources* r, const AudioTapDescription& current, const std::vector<AudioObjectID>& excluded,
                         const std::string& clockUID, uint32_t bufferFrames, const AudioStreamBasicDescription& format,
                         const AudioDeviceIOBlock& block, AudioTapDescription* replaced) {
    AudioTapDescription next = AudioTapDescription::StereoGlobalTapExcludingProcesses(excluded);
    next.name = current.name;
    next.isPrivate = current.isPrivate;
    next.mono = current.mono;
    next.mixdown = current.mixdown;
    next.muteBehavior = current.muteBehavior;
    AudioObjectID tap = kAudioObjectUnknown;
    if (AudioHardwareCreateProcessTap(&next, &tap) != 0) {
        return TapSwap::KeptOld;
    }
    OSStatus status = 0;
    const AudioObjectID aggregate = CreateAggregate(next, clockUID, &status);
    AudioStreamBasicDescription nextFormat{};
    const AudioObjectPropertyAddress formatAddress = Address(kAudioTapPropertyFormat);
    UInt32 size = sizeof nextFormat;
    AudioDeviceIOProcID proc = nullptr;
    TidewellInputBufferSize bufferSize{};
    bool ready = aggregate != kAudioObjectUnknown &&
                 AudioObjectGetPropertyData(tap, &formatAddress, 0, nullptr, &size, &nextFormat) == 0 &&
                 SameFormat(format, nextFormat);
    if (ready) {
        RequestInputBufferFrameSize(&bufferSize, &kBufferSizeOps, aggregate, bufferFrames);
        ready = AudioDeviceCreateIOProcIDWithBlock(&proc, aggregate, r->queue, block) == 0 && proc != nullptr;
    }
    TapSwap failed = TapSwap::KeptOld;
    if (ready) {
        AudioDeviceStop(r->aggregate, r->ioProc);
        const OSStatus started = AudioDeviceStart(aggregate, proc);
        if (started != 0) {
            ready = false;
            status = AudioDeviceStart(r->aggregate, r->ioProc);
            if (status != 0) {
                r->ioRunning = false;
                PrintStatus("AudioDeviceStart(replacement tap aggregate)", started);
                PrintStatus("AudioDeviceStart(tap aggregate)", status);
                std::fputs("Tidewell process tap: neither the replacement tap nor the old one runs; ending so that "
                           "the service starts capture afresh.\n",
                           stderr);
                std::fflush(stderr);
                failed = TapSwap::CaptureLost;
            }
        }
    }
    if (!ready) {
        if (proc != nullptr) {
            AudioDeviceDestroyIOProcID(aggregate, proc);
        }
        RestoreInputBufferFrameSize(&bufferSize, &kBufferSizeOps);
        if (aggregate != kAudioObjectUnknown) {
            AudioHardwareDestroyAggregateDevice(aggregate);
        }
        AudioHardwareDestroyProcessTap(tap);
        return failed;
    }
    AudioDeviceDestroyIOProcID(r->aggregate, r->ioProc);
    RestoreInputBufferFrameSize(&r->aggregateBufferSize, &kBufferSizeOps);
    AudioHardwareDestroyAggregateDevice(r->aggregate);
    AudioHardwareDestroyProcessTap(r->tap);
    r->tap = tap;
    r->aggregate = aggregate;
    r->aggregateBufferSize = bufferSize;
    r->ioProc = proc;
    *replaced = next;
    return TapSwap::Replaced;
}

void Release(TapResources* r) {
    if (r->ioRunning) {
        AudioDeviceStop(r->aggregate, r->ioProc);
        r->ioRunning = false;
    }
    if (r->ioProc != nullptr) {
        AudioDeviceDestroyIOProcID(r->aggregate, r->ioProc);
        r->ioProc = nullptr;
    }
    if (r->queue != nullptr) {
        dispatch_sync(r->queue, [] {});   // a block already under way finishes before the ring goes
    }
    if (r->bridgeRunning) {
        TidewellOutputBridgeStop(&r->bridge);
        r->bridgeRunning = false;
    }
    // The aggregate runs on its clock device: put a changed size back before it goes.
    RestoreInputBufferFrameSize(&r->aggregateBufferSize, &kBufferSizeOps);
    if (r->aggregate != kAudioObjectUnknown) {
        AudioHardwareDestroyAggregateDevice(r->aggregate);
        r->aggregate = kAudioObjectUnknown;
    }
    if (r->tap != kAudioObjectUnknown) {
        AudioHardwareDestroyProcessTap(r->tap);
        r->tap = kAudioObjectUnknown;
    }
    if (r->ring != nullptr) {
        TidewellHelperRingDestroy(r->ring);   // closes the meter writer too
        r->ring = nullptr;
    }
    TidewellControlReaderClose(&r->controls);
    if (r->queue != nullptr) {
        dispatch_release(r->queue);
        r->queue = nullptr;
    }
}

int Fail(TapResources* r) {
    Release(r);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    TidewellHelperInstallStopHandlers();
    StartStartupWatchdog();

    const std::string passThru(tidewell::TidewellCore::passThruDeviceUID);
    const char* outputUIDValue = TidewellEnvValue("TIDEWELL_TAP_OUTPUT_UID");
    const std::string outputUID = outputUIDValue != nullptr ? outputUIDValue : passThru;
    LogStartupStep("checking output device");
    const AudioObjectID outputDevice = FindDeviceByUID(outputUID.c_str());

    const char* modeText = TidewellTapModeText();
    const int32_t processID = TidewellProcessIDFromEnvironment("TIDEWELL_TAP_PID");
    const double duration = TidewellHelperDurationSeconds(argc, argv, "TIDEWELL_TAP_SECONDS");

    LogStartupStep("finding default system output");
    std::string systemOutputUID;
    const AudioObjectID systemOutput = DefaultSystemOutputDevice();
    if (systemOutput != kAudioObjectUnknown) {
        systemOutputUID = CopyDeviceUID(systemOutput).value_or(std::string());
    }

    LogStartupStep("choosing tap clock device");
    std::string clockUID;
    if (const char* clockValue = TidewellEnvValue("TIDEWELL_TAP_CLOCK_UID")) {
        clockUID = clockValue;
    } else {
        // Read lazily: the default output and the device walk only when the one before fails.
        for (int candidate = 0; candidate < 3 && clockUID.empty(); ++candidate) {
            const AudioObjectID device =
                candidate == 0 ? systemOutput : candidate == 1 ? DefaultOutputDevice() : FirstPhysicalOutput();
            if (IsUsableClock(device)) {
                clockUID = CopyDeviceUID(device).value_or(std::string());
            }
        }
        if (clockUID.empty()) {
            clockUID = systemOutputUID;
        }
    }
    if (clockUID.empty()) {
        std::fputs("No usable clock device for the tap aggregate.\n", stderr);
        return 1;
    }

    LogStartupStep("creating tap description");
    SystemExclusions exclusions;
    const bool application = TidewellTapIsApplicationCapture(modeText, processID);
    std::optional<AudioTapDescription> description = CreateTapDescription(application, processID, outputDevice, &exclusions);
    if (!description) {
        return 1;
    }

    TapResources r;
    LogStartupStep("creating process tap");
    OSStatus status = AudioHardwareCreateProcessTap(&*description, &r.tap);
    if (status != 0) {
        r.tap = kAudioObjectUnknown;
        PrintStatus("AudioHardwareCreateProcessTap", status);
        std::fputs("System audio capture may need approval in System Settings > Privacy & Security > Screen & "
                   "System Audio Recording.\n",
                   stderr);
        return 1;
    }

    LogStartupStep("created process tap");
    r.aggregate = CreateAggregate(*description, clockUID, &status);
    if (r.aggregate == kAudioObjectUnknown && !systemOutputUID.empty() && systemOutputUID != clockUID) {
        std::fprintf(stderr, "Tap aggregate on clock device %s failed (%d); falling back to the system output device.\n",
                     clockUID.c_str(), static_cast<int>(status));
        clockUID = systemOutputUID;
        r.aggregate = CreateAggregate(*description, clockUID, &status);
    }
    if (r.aggregate == kAudioObjectUnknown) {
        PrintStatus("AudioHardwareCreateAggregateDevice", status);
        return Fail(&r);
    }

    LogStartupStep("created private aggregate tap device");
    AudioStreamBasicDescription format{};
    const AudioObjectPropertyAddress formatAddress = Address(kAudioTapPropertyFormat);
    UInt32 formatSize = sizeof format;
    status = AudioObjectGetPropertyData(r.tap, &formatAddress, 0, nullptr, &formatSize, &format);
    if (status != 0) {
        PrintStatus("AudioObjectGetPropertyData(kAudioTapPropertyFormat)", status);
        return Fail(&r);
    }
    if (!TidewellTapFormatSupported(format)) {
        std::fprintf(stderr, "Unsupported tap format: format=%u flags=0x%x bits=%u channels=%u.\n", format.mFormatID,
                     format.mFormatFlags, format.mBitsPerChannel, format.mChannelsPerFrame);
        return Fail(&r);
    }

    const uint32_t tapChannels = TidewellTapChannelsFor(format.mChannelsPerFrame);
    const bool interleaved = (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    const uint32_t outputChannels = ResolveOutputChannelCount("TIDEWELL_TAP_OUTPUT_CHANNELS", outputDevice);
    const uint32_t bufferFrames = TidewellBufferFramesFromEnvironment("TIDEWELL_TAP_BUFFER_FRAMES");
    RequestInputBufferFrameSize(&r.aggregateBufferSize, &kBufferSizeOps, r.aggregate, bufferFrames);
    const double tapRate = format.mSampleRate > 0 ? format.mSampleRate : 48000.0;
    const char* sourceID = TidewellEnvValue("TIDEWELL_TAP_SOURCE_ID");

    r.ring = TidewellHelperRingCreate(2, outputChannels, tapRate);
    if (r.ring == nullptr) {
        std::fputs("Could not allocate process tap buffers.\n", stderr);
        return Fail(&r);
    }
    TidewellHelperRing* ring = r.ring;
    ring->masterGain.store(TidewellHelperStartingGain("TIDEWELL_TAP_GAIN", "TIDEWELL_TAP_MUTED"));
    ParseChannelGains(ring->channelGains, 2, "TIDEWELL_TAP_CHANNEL_GAINS");
    TidewellHelperApplyRoutes(ring, "TIDEWELL_TAP_ROUTES");
    TidewellHelperOpenControlsAndMeter(&r.controls, sourceID, ring, 2, tapChannels);

    TapCaptureState state{};
    TidewellTapCaptureInit(&state, ring, tapChannels, interleaved, bufferFrames);

    TidewellHelperLoop loop;
    TidewellHelperLoopStart(&loop, ring, bufferFrames, "TIDEWELL_TAP", duration);
    TidewellDriftControllerInit(&ring->driftController, ring->targetFill.load(std::memory_order_relaxed));

    std::printf("Sample-rate conversion: %.0f Hz -> 48000 Hz%s.\n", tapRate,
                ring->resampler->identity ? " (identity)" : "");

    const TidewellOutputBridgeConfig bridgeConfig =
        TidewellHelperBridgeConfig(outputUID.c_str(), 48000.0, outputChannels, bufferFrames,
                                   TidewellOutputBridgeBackendFromEnvironment(), ring);
    LogStartupStep("creating output bridge");
    if (!TidewellOutputBridgeStart(&r.bridge, &bridgeConfig)) {
        std::fprintf(stderr, "Could not start output bridge: %s\n", TidewellOutputBridgeError(&r.bridge));
        return Fail(&r);
    }
    r.bridgeRunning = true;

    LogStartupStep("creating tap IOProc");
    r.queue = dispatch_queue_create(kTidewellProcessTapQueueLabel, DISPATCH_QUEUE_SERIAL);
    TapCaptureState* capture = &state;
    const AudioDeviceIOBlock ioBlock = [capture](const AudioTimeStamp* now, const AudioBufferList* input,
                                                 const AudioTimeStamp* inputTime, AudioBufferList*,
                                                 const AudioTimeStamp*) {
        TidewellTapCaptureBlock(capture, now, input, inputTime);
    };
    status = AudioDeviceCreateIOProcIDWithBlock(&r.ioProc, r.aggregate, r.queue, ioBlock);
    if (status != 0) {
        r.ioProc = nullptr;
        PrintStatus("AudioDeviceCreateIOProcIDWithBlock", status);
        return Fail(&r);
    }

    std::printf("Routing %s capture to %s with %u route(s).\n", std::strcmp(modeText, "system") == 0 ? "system" : "application",
                outputUID.c_str(), ring->routeCount);
    std::printf("Tap format: %.0f Hz, %u channels, %s.\n", format.mSampleRate, format.mChannelsPerFrame,
                interleaved ? "interleaved" : "non-interleaved");
    std::printf("Tap clock device: %s.\n", clockUID.c_str());
    TidewellHelperPrintOutputBackend(&r.bridge);
    std::printf("Buffer frames: %u.\n", bufferFrames);
    std::printf("Press Ctrl-C to stop.\n");
    std::fflush(stdout);

    LogStartupStep("starting tap aggregate");
    status = AudioDeviceStart(r.aggregate, r.ioProc);
    if (status != 0) {
        PrintStatus("AudioDeviceStart(tap aggregate)", status);
        return Fail(&r);
    }
    r.ioRunning = true;
    gTapStartupComplete.store(true, std::memory_order_release);

    const AudioObjectPropertyAddress processesAddress = Address(kAudioHardwarePropertyProcessObjectList);
    const bool watchingProcesses =
        !application &&
        AudioObjectAddPropertyListener(kAudioObjectSystemObject, &processesAddress, ProcessListChanged, nullptr) == 0;
    // A helper may have started between the tap's description and the listener.
    gProcessesChanged.store(watchingProcesses, std::memory_order_relaxed);

    // The virtual device it plays into may go and come back: the bridge follows it.
    TidewellFollowedOutput followed{&r.bridge, &bridgeConfig, ring, &r.bridgeRunning};
    const TidewellFollowedSide output = TidewellFollowedOutputSide(&followed);
    TidewellDeviceFollower follower;
    TidewellDeviceFollowerStart(&follower, outputUID.c_str(), outputDevice, output);

    TidewellTapRateWatchdog rateWatchdog;
    TidewellTapRateWatchdogInit(&rateWatchdog, tapRate);
    int exitStatus = 0;
    while (gStopRequested.load(std::memory_order_relaxed) == 0) {
        usleep(kTidewellTickMicroseconds);
        TidewellHelperPollControls(&r.controls, sourceID, &ring->masterGain, ring->channelGains, 2);
        if (TidewellDeviceFollowerTick(&follower)) {
            TidewellHelperLoopRestartFill(&loop);
        }
        const double measured = TidewellRateEstimatorMeasuredRate(&state.rateEstimator);
        const double switchTo = TidewellTapRateWatchdogTick(&rateWatchdog, measured);
        if (switchTo > 0) {
            // Built here, off the IO queue; when that fails the next tick tries again.
            TidewellResampler* replacement = TidewellResamplerCreate(
                outputChannels, kTidewellHelperRingBlockFrames, switchTo, kTidewellHelperRingEngineRate);
            if (replacement != nullptr) {
                std::fprintf(stderr,
                             "Tidewell process tap: tap delivering ~%.0f Hz but labeled %.0f Hz; resampling from the "
                             "measured rate (%.0f Hz).\n",
                             measured, rateWatchdog.labelled, switchTo);
                std::fflush(stderr);
                TidewellTapSwitchResampler(&state, r.queue, replacement, switchTo);
                TidewellTapRateWatchdogSwitched(&rateWatchdog, switchTo);
            }
        }
        if (watchingProcesses && gProcessesChanged.exchange(false, std::memory_order_relaxed)) {
            const std::vector<TidewellTapProcess> processes = AudioProcesses();
            std::vector<AudioObjectID> next = TidewellTapSystemExclusions(exclusions.own, exclusions.excluded, processes,
                                                                          TidewellIsHelperProcess, nullptr);
            if (TidewellTapExclusionsGrew(exclusions.current, next)) {
                next = TidewellTapReplacementExclusions(exclusions.current, next, processes);
                // When the old tap runs on, the next change of the list tries again; when no tap
                // runs any more, the helper ends with status 1 and the service starts it again.
                const TapSwap swap =
                    ReplaceSystemTap(&r, *description, next, clockUID, bufferFrames, format, ioBlock, &*description);
                if (swap == TapSwap::Replaced) {
                    exclusions.current = next;
                } else if (swap == TapSwap::CaptureLost) {
                    exitStatus = 1;
                    break;
                }
            }
        }
        if (TidewellHelperLoopEndTick(&loop, stdout)) {
            break;
        }
    }

    TidewellDeviceFollowerStop(&follower);
    TidewellHelperReportStopping("process tap", ring);
    if (watchingProcesses) {
        AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &processesAddress, ProcessListChanged, nullptr);
    }
    Release(&r);
    return exitStatus;
}
