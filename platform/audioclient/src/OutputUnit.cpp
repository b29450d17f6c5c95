// The output audio unit: a render callback played to one device through an IO proc of
// this library. The device's IO thread asks the callback for at most the maximum frames
// per slice at a time, converts the rate when the callback's rate is not the device's,
// and spreads the callback's channels over the device's streams.
#include "ToolboxSupport.h"

#include <algorithm>
#include <cstring>
#include <mutex>

using audioclient::DeviceLayout;
using audioclient::InjectedFault;
using audioclient::RateConverter;

struct OpaqueAudioComponent {
    AudioComponentDescription description;
};

namespace {

OpaqueAudioComponent gHALOutput{
    {kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Platform, 0, 0}};

constexpr uint32_t kMaxSliceFrames = 4096;
constexpr uint32_t kMaxDeviceFrames = 4096;

bool Matches(OSType want, OSType have) { return want == 0 || want == have; }

}  // namespace

struct OpaqueAudioComponentInstance {
    std::mutex mutex;  // the API calls; never taken on the IO thread

    // Properties.
    bool outputEnabled = true;
    AudioObjectID device = 0;  // 0: the default output at initialisation
    bool formatSet = false;
    AudioStreamBasicDescription format{};
    UInt32 maxFrames = 1024;
    AURenderCallbackStruct callback{};

    // State.
    bool initialized = false;
    bool running = false;
    AudioObjectID activeDevice = 0;
    AudioDeviceIOProcID proc = nullptr;

    // Render path, allocated by initialisation, used only on the IO thread.
    uint32_t channels = 0;
    bool identity = true;
    std::vector<float> slice;
    std::vector<float> fifo;
    uint32_t fifoFrames = 0;
    uint32_t fifoCapacity = 0;
    RateConverter converter;
    AudioBufferList renderList{};
    Float64 sampleTime = 0;
};

namespace {

void RenderSlice(AudioUnit u, uint32_t frames, const AudioTimeStamp* deviceTime) {
    const size_t samples = size_t(frames) * u->channels;
    std::fill_n(u->slice.data(), samples, 0.0f);
    u->renderList.mNumberBuffers = 1;
    u->renderList.mBuffers[0].mNumberChannels = u->channels;
    u->renderList.mBuffers[0].mDataByteSize = static_cast<UInt32>(samples * sizeof(float));
    u->renderList.mBuffers[0].mData = u->slice.data();
    AudioTimeStamp ts{};
    ts.mSampleTime = u->sampleTime;
    ts.mRateScalar = 1.0;
    ts.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampRateScalarValid;
    if (deviceTime && (deviceTime->mFlags & kAudioTimeStampHostTimeValid)) {
        ts.mHostTime = deviceTime->mHostTime;
        ts.mFlags |= kAudioTimeStampHostTimeValid;
    }
    AudioUnitRenderActionFlags flags = 0;
    OSStatus st = u->callback.inputProc(u->callback.inputProcRefCon, &flags, &ts, 0, frames, &u->renderList);
    // A failed render, or one that handed back another buffer than ours, plays silence.
    if (st != 0 || u->renderList.mBuffers[0].mData != u->slice.data()) std::fill_n(u->slice.data(), samples, 0.0f);
    u->sampleTime += frames;
}

OSStatus UnitIOProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                    AudioBufferList* out, const AudioTimeStamp* outTime, void* data) {
    auto* u = static_cast<AudioUnit>(data);
    const uint32_t frames = std::min(audioclient::FramesInList(out), kMaxDeviceFrames);
    if (frames == 0) return 0;
    if (u->identity) {
        for (uint32_t done = 0; done < frames;) {
            uint32_t n = std::min(u->maxFrames, frames - done);
            RenderSlice(u, n, outTime);
            audioclient::SpreadToBuffers(u->slice.data(), u->channels, n, out, done);
            done += n;
        }
        return 0;
    }
    const uint32_t C = u->channels;
    while (u->fifoFrames < frames) {
        RenderSlice(u, u->maxFrames, outTime);
        u->fifoFrames += u->converter.Process(u->slice.data(), u->maxFrames, u->fifo.data() + size_t(u->fifoFrames) * C,
                                              u->fifoCapacity - u->fifoFrames);
    }
    audioclient::SpreadToBuffers(u->fifo.data(), C, frames, out, 0);
    u->fifoFrames -= frames;
    std::memmove(u->fifo.data(), u->fifo.data() + size_t(frames) * C, size_t(u->fifoFrames) * C * sizeof(float));
    return 0;
}

void StopLocked(AudioUnit u) {
    if (u->proc) {
        AudioDeviceStop(u->activeDevice, u->proc);
        AudioDeviceDestroyIOProcID(u->activeDevice, u->proc);
    }
    u->proc = nullptr;
    u->running = false;
}

void UninitializeLocked(AudioUnit u) {
    StopLocked(u);
    u->slice = {};
    u->fifo = {};
    u->fifoFrames = u->fifoCapacity = 0;
    u->activeDevice = 0;
    u->initialized = false;
}

// The name a fault for one property answers to; EnableIO names its scope.
const char* PropertyName(AudioUnitPropertyID id, AudioUnitScope scope) {
    switch (id) {
    case kAudioOutputUnitProperty_EnableIO:
        return scope == kAudioUnitScope_Input ? "AudioUnitSetProperty(kAudioOutputUnitProperty_EnableIO input)"
                                              : "AudioUnitSetProperty(kAudioOutputUnitProperty_EnableIO output)";
    case kAudioOutputUnitProperty_CurrentDevice: return "AudioUnitSetProperty(kAudioOutputUnitProperty_CurrentDevice)";
    case kAudioUnitProperty_StreamFormat: return "AudioUnitSetProperty(kAudioUnitProperty_StreamFormat)";
    case kAudioUnitProperty_MaximumFramesPerSlice: return "AudioUnitSetProperty(kAudioUnitProperty_MaximumFramesPerSlice)";
    case kAudioUnitProperty_SetRenderCallback: return "AudioUnitSetProperty(kAudioUnitProperty_SetRenderCallback)";
    default: return nullptr;
    }
}

}  // namespace

extern "C" {

AudioComponent AudioComponentFindNext(AudioComponent inComponent, const AudioComponentDescription* inDesc) {
    if (!inDesc || inComponent == &gHALOutput) return nullptr;
    if (InjectedFault("AudioComponentFindNext") != 0) return nullptr;
    const AudioComponentDescription& have = gHALOutput.description;
    if (!Matches(inDesc->componentType, have.componentType) || !Matches(inDesc->componentSubType, have.componentSubType) ||
        !Matches(inDesc->componentManufacturer, have.componentManufacturer))
        return nullptr;
    return &gHALOutput;
}

OSStatus AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance) {
    if (!outInstance) return kAudio_ParamError;
    *outInstance = nullptr;
    if (inComponent != &gHALOutput) return kAudio_ParamError;
    if (OSStatus f = InjectedFault("AudioComponentInstanceNew")) return f;
    *outInstance = new OpaqueAudioComponentInstance;
    return 0;
}

OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance) {
    if (!inInstance) return kAudio_ParamError;
    {
        std::lock_guard<std::mutex> lock(inInstance->mutex);
        UninitializeLocked(inInstance);
    }
    delete inInstance;
    return 0;
}

OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, UInt32 inDataSize) {
    if (!inUnit) return kAudio_ParamError;
    const char* name = PropertyName(inID, inScope);
    if (!name) return kAudioUnitErr_InvalidProperty;
    if (OSStatus f = InjectedFault("AudioUnitSetProperty")) return f;
    if (OSStatus f = InjectedFault(name)) return f;
    if (!inData) return kAudio_ParamError;
    std::lock_guard<std::mutex> lock(inUnit->mutex);
    AudioUnit u = inUnit;
    if (u->initialized) return kAudioUnitErr_Initialized;
    switch (inID) {
    case kAudioOutputUnitProperty_EnableIO: {
        if (inDataSize != sizeof(UInt32)) return kAudioUnitErr_InvalidPropertyValue;
        UInt32 on;
        std::memcpy(&on, inData, sizeof(on));
        if (inScope == kAudioUnitScope_Output && inElement == 0) {
            u->outputEnabled = on != 0;
            return 0;
        }
        // This unit only plays: turning recording off is all there is to do on its input.
        if (inScope == kAudioUnitScope_Input && inElement == 1) return on ? kAudioUnitErr_InvalidPropertyValue : 0;
        return inScope == kAudioUnitScope_Output || inScope == kAudioUnitScope_Input ? kAudioUnitErr_InvalidElement
                                                                                     : kAudioUnitErr_InvalidScope;
    }
    case kAudioOutputUnitProperty_CurrentDevice: {
        if (inScope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
        if (inDataSize != sizeof(AudioObjectID)) return kAudioUnitErr_InvalidPropertyValue;
        AudioObjectID dev;
        std::memcpy(&dev, inData, sizeof(dev));
        DeviceLayout layout;
        if (dev == 0 || audioclient::ReadDeviceLayout(dev, kAudioObjectPropertyScopeOutput, &layout) != 0)
            return kAudioUnitErr_InvalidPropertyValue;
        u->device = dev;
        return 0;
    }
    case kAudioUnitProperty_StreamFormat: {
        if (inScope != kAudioUnitScope_Input) return kAudioUnitErr_InvalidScope;
        if (inElement != 0) return kAudioUnitErr_InvalidElement;
        if (inDataSize != sizeof(AudioStreamBasicDescription)) return kAudioUnitErr_InvalidPropertyValue;
        AudioStreamBasicDescription d;
        std::memcpy(&d, inData, sizeof(d));
        audioclient::SampleKind kind;
        if (!audioclient::SampleKindOf(d, &kind) || kind != audioclient::SampleKind::Float32 || d.mSampleRate < 1000.0 ||
            d.mSampleRate > 768000.0)
            return kAudioUnitErr_FormatNotSupported;
        u->format = d;
        u->formatSet = true;
        return 0;
    }
    case kAudioUnitProperty_MaximumFramesPerSlice: {
        if (inScope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
        if (inDataSize != sizeof(UInt32)) return kAudioUnitErr_InvalidPropertyValue;
        UInt32 frames;
        std::memcpy(&frames, inData, sizeof(frames));
        if (frames == 0 || frames > kMaxSliceFrames) return kAudioUnitErr_InvalidPropertyValue;
        u->maxFrames = frames;
        return 0;
    }
    case kAudioUnitProperty_SetRenderCallback: {
        if (inScope != kAudioUnitScope_Input) return kAudioUnitErr_InvalidScope;
        if (inElement != 0) return kAudioUnitErr_InvalidElement;
        if (inDataSize != sizeof(AURenderCallbackStruct)) return kAudioUnitErr_InvalidPropertyValue;
        std::memcpy(&u->callback, inData, sizeof(u->callback));
        return 0;
    }
    default: return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus AudioUnitInitialize(AudioUnit inUnit) {
    if (!inUnit) return kAudio_ParamError;
    if (OSStatus f = InjectedFault("AudioUnitInitialize")) return f;
    std::lock_guard<std::mutex> lock(inUnit->mutex);
    AudioUnit u = inUnit;
    if (u->initialized) return 0;
    if (!u->outputEnabled) return kAudioUnitErr_NoConnection;
    AudioObjectID dev = u->device;
    if (dev == 0)
        if (OSStatus st = audioclient::DefaultDevice(true, &dev)) return st;
    DeviceLayout layout;
    if (OSStatus st = audioclient::ReadDeviceLayout(dev, kAudioObjectPropertyScopeOutput, &layout)) return st;
    if (!u->formatSet) {
        // Unset: float at the device's own rate and channels.
        AudioStreamBasicDescription d{};
        d.mSampleRate = layout.rate;
        d.mFormatID = kAudioFormatLinearPCM;
        d.mFormatFlags = kAudioFormatFlagsNativeFloatPacked;
        d.mChannelsPerFrame = std::min<uint32_t>(layout.channels, 64);
        d.mBytesPerFrame = d.mBytesPerPacket = 4 * d.mChannelsPerFrame;
        d.mFramesPerPacket = 1;
        d.mBitsPerChannel = 32;
        u->format = d;
    }
    u->channels = u->format.mChannelsPerFrame;
    u->identity = u->format.mSampleRate == layout.rate;
    u->slice.assign(size_t(u->maxFrames) * u->channels, 0.0f);
    if (!u->identity) {
        u->converter.Configure(u->format.mSampleRate, layout.rate, u->channels, u->maxFrames);
        u->fifoCapacity = kMaxDeviceFrames + u->converter.MaxOutputFor(u->maxFrames);
        u->fifo.assign(size_t(u->fifoCapacity) * u->channels, 0.0f);
        u->fifoFrames = 0;
    }
    u->sampleTime = 0;
    u->activeDevice = dev;
    u->initialized = true;
    return 0;
}

OSStatus AudioUnitUninitialize(AudioUnit inUnit) {
    if (!inUnit) return kAudio_ParamError;
    std::lock_guard<std::mutex> lock(inUnit->mutex);
    UninitializeLocked(inUnit);
    return 0;
}

OSStatus AudioOutputUnitStart(AudioUnit inUnit) {
    if (!inUnit) return kAudio_ParamError;
    if (OSStatus f = InjectedFault("AudioOutputUnitStart")) return f;
    std::lock_guard<std::mutex> lock(inUnit->mutex);
    AudioUnit u = inUnit;
    if (!u->initialized) return kAudioUnitErr_Uninitialized;
    if (u->running) return 0;
    if (!u->callback.inputProc) return kAudioUnitErr_NoConnection;
    AudioDeviceIOProcID proc = nullptr;
    if (OSStatus st = AudioDeviceCreateIOProcID(u->activeDevice, UnitIOProc, u, &proc)) return st;
    if (OSStatus st = AudioDeviceStart(u->activeDevice, proc)) {
        AudioDeviceDestroyIOProcID(u->activeDevice, proc);
        return st;
    }
    u->proc = proc;
    u->running = true;
    return 0;
}

OSStatus AudioOutputUnitStop(AudioUnit inUnit) {
    if (!inUnit) return kAudio_ParamError;
    std::lock_guard<std::mutex> lock(inUnit->mutex);
    StopLocked(inUnit);
    return 0;
}

}  // extern "C"
