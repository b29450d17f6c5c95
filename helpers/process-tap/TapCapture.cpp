#include "TapCapture.h"

#include "TidewellHelpers/TidewellBufferListAccess.h"
#include "TidewellHelpers/TidewellCaptureWrite.h"

const char kTidewellProcessTapInfoPlist[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n"
    "\t<key>CFBundleIdentifier</key>\n"
    "\t<string>app.tidewell.process-tap</string>\n"
    "\t<key>CFBundleName</key>\n"
    "\t<string>Tidewell Process Tap</string>\n"
    "\t<key>NSAudioCaptureUsageDescription</key>\n"
    "\t<string>Tidewell captures system and application audio so it can route it into a virtual audio "
    "device.</string>\n"
    "</dict>\n"
    "</plist>\n";

uint32_t TidewellTapChannelsFor(uint32_t reportedChannels) {
    return reportedChannels < 2 ? 1u : 2u;
}

bool TidewellTapFormatSupported(const AudioStreamBasicDescription& format) {
    return format.mFormatID == kAudioFormatLinearPCM && (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
           format.mBitsPerChannel == 32 && format.mChannelsPerFrame >= 1;
}

void TidewellTapCaptureInit(TapCaptureState* state, TidewellHelperRing* ring, uint32_t tapChannels, bool interleaved,
                            uint32_t bufferFrames) {
    state->ring = ring;
    state->tapChannels = tapChannels;
    state->outputChannels = ring->channels;
    state->bytesPerFrame = 4 * ring->channels;
    state->bufferFrames = bufferFrames;
    state->interleaved = interleaved;
    TidewellRateEstimatorInit(&state->rateEstimator, 0.25, 3.0);
    state->previousSampleTime = 0.0;
    state->hasPreviousSampleTime = false;
}

uint32_t TidewellTapRingWrite(TapCaptureState* state, const AudioBufferList* input, const AudioTimeStamp* time) {
    const uint32_t frames = TidewellTapBlockFrameCount(input, state->interleaved, state->tapChannels);
    if (frames == 0) {
        return 0;
    }
    const bool interleaved = state->interleaved;
    const uint32_t tapChannels = state->tapChannels;
    const uint32_t routed = TidewellCaptureRouteAndMeter(
        state->ring, frames, tapChannels, tapChannels, [input, interleaved, tapChannels](uint32_t f, uint32_t c) {
            return TidewellTapBlockSample(input, interleaved, tapChannels, f, c);
        });
    const TidewellBlockTime blockTime = TidewellBlockTimeFrom(time);
    ResampleAndAppendAt(state->ring, routed, &blockTime);
    return routed;
}

void TidewellTapCaptureBlock(TapCaptureState* state, const AudioTimeStamp* now, const AudioBufferList* input,
                             const AudioTimeStamp* inputTime) {
    const uint32_t frames = TidewellTapBlockFrameCount(input, state->interleaved, state->tapChannels);
    if (frames > 0) {
        const AudioTimeStamp* time =
            (inputTime != nullptr && (inputTime->mFlags & kAudioTimeStampHostTimeValid) != 0) ? inputTime : now;
        if (time != nullptr && (time->mFlags & kAudioTimeStampHostTimeValid) != 0) {
            uint32_t delivered = frames;
            if ((time->mFlags & kAudioTimeStampSampleTimeValid) != 0) {
                const double advance = time->mSampleTime - state->previousSampleTime;
                // Blocks passed by since the previous one are audio the tap delivered too; a jump
                // backwards or of more than a few blocks is a new timeline, not delivered audio.
                if (state->hasPreviousSampleTime && advance > 0 && advance <= 8.0 * kTidewellHelperRingBlockFrames) {
                    delivered = static_cast<uint32_t>(advance + 0.5);
                }
                state->previousSampleTime = time->mSampleTime;
                state->hasPreviousSampleTime = true;
            }
            // Host time is nanoseconds on this platform.
            TidewellRateEstimatorAddBlock(&state->rateEstimator, delivered, static_cast<double>(time->mHostTime) * 1e-9);
        }
    }
    // The cycle's own time stamp (its "now"), so that the writer's clock and the reader's are
    // read at the same point of their cycles.
    TidewellTapRingWrite(state, input, now != nullptr ? now : inputTime);
}

void TidewellTapSwitchResampler(TapCaptureState* state, dispatch_queue_t ioQueue, TidewellResampler* replacement,
                                double rate) {
    TidewellHelperRing* ring = state->ring;
    TidewellResampler* previous = nullptr;
    dispatch_sync(ioQueue, [&] {
        previous = ring->resampler;
        ring->resampler = replacement;
        ring->inputRate = rate;
        TidewellDriftControllerReset(&ring->driftController);
        // The new resampler starts with its own delay: measure the fill again and align once.
        TidewellFillControlRealign(&ring->fillControl);
        ring->filtering = false;
    });
    TidewellResamplerDestroy(previous);
}

namespace {

CFStringRef String(const char* text) {
    return CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8);
}

CFDictionaryRef OneEntryList(std::initializer_list<std::pair<const char*, CFTypeRef>> entries) {
    CFMutableDictionaryRef dictionary =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (const auto& [key, value] : entries) {
        CFStringRef k = String(key);
        CFDictionarySetValue(dictionary, k, value);
        CFRelease(k);
    }
    return dictionary;
}

}  // namespace

CFDictionaryRef TidewellTapAggregateDescription(CFStringRef name, CFStringRef clockUID, CFStringRef tapUUID) {
    CFUUIDRef uuid = CFUUIDCreate(nullptr);
    CFStringRef aggregateUID = CFUUIDCreateString(nullptr, uuid);
    CFRelease(uuid);

    CFDictionaryRef subdevice = OneEntryList({{"uid", clockUID}});
    const void* subdevices[] = {subdevice};
    CFArrayRef subdeviceList = CFArrayCreate(nullptr, subdevices, 1, &kCFTypeArrayCallBacks);
    CFDictionaryRef tap = OneEntryList({{"uid", tapUUID}, {"drift", kCFBooleanTrue}});
    const void* taps[] = {tap};
    CFArrayRef tapList = CFArrayCreate(nullptr, taps, 1, &kCFTypeArrayCallBacks);

    CFDictionaryRef description = OneEntryList({{"name", name},
                                                {"uid", aggregateUID},
                                                {"master", clockUID},
                                                {"private", kCFBooleanTrue},
                                                {"stacked", kCFBooleanFalse},
                                                {"tapautostart", kCFBooleanTrue},
                                                {"subdevices", subdeviceList},
                                                {"taps", tapList}});
    CFRelease(aggregateUID);
    CFRelease(subdevice);
    CFRelease(subdeviceList);
    CFRelease(tap);
    CFRelease(tapList);
    return description;
}
