#include "ToolboxSupport.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace audioclient {

namespace {

AudioObjectPropertyAddress Address(AudioObjectPropertySelector s, AudioObjectPropertyScope scope) {
    return AudioObjectPropertyAddress{s, scope, kAudioObjectPropertyElementMain};
}

std::string UIDOf(AudioObjectID device) {
    auto a = Address(kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal);
    CFStringRef uid = nullptr;
    UInt32 size = sizeof(uid);
    if (AudioObjectGetPropertyData(device, &a, 0, nullptr, &size, &uid) != 0 || !uid) return {};
    std::string text;
    CFIndex cap = CFStringGetMaximumSizeForEncoding(CFStringGetLength(uid), kCFStringEncodingUTF8) + 1;
    std::vector<char> buf(static_cast<size_t>(std::max<CFIndex>(cap, 1)));
    if (CFStringGetCString(uid, buf.data(), static_cast<CFIndex>(buf.size()), kCFStringEncodingUTF8)) text = buf.data();
    CFRelease(uid);
    return text;
}

}  // namespace

bool SampleKindOf(const AudioStreamBasicDescription& d, SampleKind* kind) {
    if (d.mFormatID != kAudioFormatLinearPCM || d.mChannelsPerFrame == 0 || d.mChannelsPerFrame > 64 ||
        d.mFramesPerPacket != 1 || !(d.mSampleRate > 0) || !std::isfinite(d.mSampleRate))
        return false;
    if (d.mFormatFlags & (kAudioFormatFlagIsNonInterleaved | kAudioFormatFlagIsBigEndian)) return false;
    SampleKind k;
    if (d.mFormatFlags & kAudioFormatFlagIsFloat) {
        if (d.mBitsPerChannel != 32) return false;
        k = SampleKind::Float32;
    } else if (d.mFormatFlags & kAudioFormatFlagIsSignedInteger) {
        if (d.mBitsPerChannel == 16) k = SampleKind::Int16;
        else if (d.mBitsPerChannel == 24) k = SampleKind::Int24;
        else if (d.mBitsPerChannel == 32) k = SampleKind::Int32;
        else return false;
    } else {
        return false;
    }
    uint32_t frameBytes = BytesPerSample(k) * d.mChannelsPerFrame;
    if (d.mBytesPerFrame != frameBytes || d.mBytesPerPacket != frameBytes) return false;
    *kind = k;
    return true;
}

uint32_t BytesPerSample(SampleKind k) {
    switch (k) {
    case SampleKind::Int16: return 2;
    case SampleKind::Int24: return 3;
    case SampleKind::Float32:
    case SampleKind::Int32: break;
    }
    return 4;
}

float ReadSample(const uint8_t* p, SampleKind k) {
    switch (k) {
    case SampleKind::Float32: {
        float v;
        std::memcpy(&v, p, 4);
        return v;
    }
    case SampleKind::Int16: {
        int16_t v;
        std::memcpy(&v, p, 2);
        return static_cast<float>(v) / 32768.0f;
    }
    case SampleKind::Int24: {
        // Little-endian, sign taken from the top byte.
        int32_t v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                                         static_cast<uint32_t>(p[2]) << 24) >>
                    8;
        return static_cast<float>(v) / 8388608.0f;
    }
    case SampleKind::Int32: {
        int32_t v;
        std::memcpy(&v, p, 4);
        return static_cast<float>(static_cast<double>(v) / 2147483648.0);
    }
    }
    return 0.0f;
}

void WriteSample(uint8_t* p, SampleKind k, float v) {
    if (k == SampleKind::Float32) {
        std::memcpy(p, &v, 4);
        return;
    }
    // NaN becomes silence; everything else is clipped to full scale.
    double x = std::isnan(v) ? 0.0 : std::clamp(static_cast<double>(v), -1.0, 1.0);
    switch (k) {
    case SampleKind::Int16: {
        auto s = static_cast<int16_t>(std::lrint(x * 32767.0));
        std::memcpy(p, &s, 2);
        break;
    }
    case SampleKind::Int24: {
        auto s = static_cast<int32_t>(std::lrint(x * 8388607.0));
        p[0] = static_cast<uint8_t>(s & 0xFF);
        p[1] = static_cast<uint8_t>((s >> 8) & 0xFF);
        p[2] = static_cast<uint8_t>((s >> 16) & 0xFF);
        break;
    }
    case SampleKind::Int32: {
        auto s = static_cast<int32_t>(std::llrint(x * 2147483647.0));
        std::memcpy(p, &s, 4);
        break;
    }
    case SampleKind::Float32: break;
    }
}

OSStatus ReadDeviceLayout(AudioObjectID device, AudioObjectPropertyScope scope, DeviceLayout* out) {
    *out = DeviceLayout{};
    auto rateAddress = Address(kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal);
    Float64 rate = 0;
    UInt32 size = sizeof(rate);
    OSStatus st = AudioObjectGetPropertyData(device, &rateAddress, 0, nullptr, &size, &rate);
    if (st != 0) return st;
    if (!(rate > 0) || !std::isfinite(rate)) return kAudioHardwareUnspecifiedError;
    out->rate = rate;

    // The stream configuration gives the channels of each stream; each stream's own format
    // gives its sample format (input streams may carry integers).
    auto layoutAddress = Address(kAudioDevicePropertyStreamConfiguration, scope);
    UInt32 bytes = 0;
    st = AudioObjectGetPropertyDataSize(device, &layoutAddress, 0, nullptr, &bytes);
    if (st != 0) return st;
    if (bytes < AUDIO_BUFFER_LIST_SIZE(0)) return kAudioUnitErr_NoConnection;
    std::vector<uint8_t> raw(bytes, 0);
    st = AudioObjectGetPropertyData(device, &layoutAddress, 0, nullptr, &bytes, raw.data());
    if (st != 0) return st;
    uint32_t count = 0;
    std::memcpy(&count, raw.data(), 4);
    count = std::min<uint32_t>(count, (bytes - AUDIO_BUFFER_LIST_SIZE(0)) / sizeof(AudioBuffer));

    std::vector<AudioObjectID> streamIDs;
    auto streamsAddress = Address(kAudioDevicePropertyStreams, scope);
    UInt32 idBytes = 0;
    if (AudioObjectGetPropertyDataSize(device, &streamsAddress, 0, nullptr, &idBytes) == 0 && idBytes > 0) {
        streamIDs.resize(idBytes / sizeof(AudioObjectID));
        if (AudioObjectGetPropertyData(device, &streamsAddress, 0, nullptr, &idBytes, streamIDs.data()) != 0)
            streamIDs.clear();
        streamIDs.resize(idBytes / sizeof(AudioObjectID));
    }

    for (uint32_t i = 0; i < count; ++i) {
        AudioBuffer b;
        std::memcpy(&b, raw.data() + AUDIO_BUFFER_LIST_SIZE(i), sizeof(b));
        StreamInfo s;
        s.channels = b.mNumberChannels;
        if (i < streamIDs.size()) {
            auto fmtAddress = Address(kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal);
            AudioStreamBasicDescription d{};
            UInt32 dsize = sizeof(d);
            SampleKind k;
            if (AudioObjectGetPropertyData(streamIDs[i], &fmtAddress, 0, nullptr, &dsize, &d) == 0 &&
                d.mChannelsPerFrame == s.channels && SampleKindOf(d, &k))
                s.kind = k;
        }
        out->channels += s.channels;
        out->streams.push_back(s);
    }
    if (out->channels == 0) return kAudioUnitErr_NoConnection;
    return 0;
}

OSStatus DefaultDevice(bool output, AudioObjectID* out) {
    *out = 0;
    auto a = Address(output ? kAudioHardwarePropertyDefaultOutputDevice : kAudioHardwarePropertyDefaultInputDevice,
                     kAudioObjectPropertyScopeGlobal);
    UInt32 size = sizeof(*out);
    OSStatus st = AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, out);
    if (st != 0) return st;
    return *out == 0 ? kAudioHardwareBadDeviceError : 0;
}

AudioObjectID DeviceForUID(const std::string& uid) {
    if (uid.empty()) return 0;
    auto a = Address(kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &a, 0, nullptr, &size) != 0) return 0;
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    if (ids.empty() || AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, ids.data()) != 0)
        return 0;
    ids.resize(size / sizeof(AudioObjectID));
    for (AudioObjectID id : ids)
        if (UIDOf(id) == uid) return id;
    return 0;
}

OSStatus InjectedFault(const char* call) { return AudioClientConsumeInjectedFault(call); }

namespace {

// The output frame at `position` (in frames of w, which must hold frames floor(position) - 1 to
// floor(position) + 2): cubic interpolation between its neighbours.
void InterpolateFrame(const float* w, double position, uint32_t C, float* o) {
    const double fl = std::floor(position);
    const auto i = static_cast<int64_t>(fl);
    const auto f = static_cast<float>(position - fl);
    const float* y0 = w + (i - 1) * int64_t(C);
    const float* y1 = y0 + C;
    const float* y2 = y1 + C;
    const float* y3 = y2 + C;
    for (uint32_t c = 0; c < C; ++c) {
        float c1 = 0.5f * (y2[c] - y0[c]);
        float c2 = y0[c] - 2.5f * y1[c] + 2.0f * y2[c] - 0.5f * y3[c];
        float c3 = 0.5f * (y3[c] - y0[c]) + 1.5f * (y1[c] - y2[c]);
        o[c] = ((c3 * f + c2) * f + c1) * f + y1[c];
    }
}

}  // namespace

void RateConverter::Configure(double inRate, double outRate, uint32_t channels, uint32_t maxInputFrames) {
    step_ = inRate / outRate;
    channels_ = channels;
    maxInput_ = maxInputFrames;
    work_.assign(size_t(3 + maxInputFrames) * channels, 0.0f);
    position_ = 0;
    restart_ = false;
}

void RateConverter::Reset() {
    std::fill(work_.begin(), work_.end(), 0.0f);
    position_ = 0;
    restart_ = false;
}

uint32_t RateConverter::MaxOutputFor(uint32_t n) const {
    return static_cast<uint32_t>(std::ceil(static_cast<double>(n) / step_)) + 2;
}

uint32_t RateConverter::Break(double missed, float* out, uint32_t outCapacity, double* spanned) {
    const uint32_t C = channels_;
    const double first = position_;
    uint32_t produced = 0;
    if (maxInput_ >= 2) {
        // Past the last frame (w[-1]), that frame held: output frames up to the break need no more.
        float* w = work_.data() + size_t(3) * C;
        for (uint32_t k = 0; k < 2; ++k) std::memcpy(w + size_t(k) * C, w - C, C * sizeof(float));
        while (position_ < 0) {
            if (produced < outCapacity) InterpolateFrame(w, position_, C, out + size_t(produced++) * C);
            position_ += step_;
        }
    }
    *spanned = (missed - first) / step_;
    position_ = 0;
    restart_ = true;
    return produced;
}

uint32_t RateConverter::Process(const float* in, uint32_t frames, float* out, uint32_t outCapacity) {
    frames = std::min(frames, maxInput_);
    const uint32_t C = channels_;
    std::memcpy(work_.data() + size_t(3) * C, in, size_t(frames) * C * sizeof(float));
    if (restart_ && frames > 0) {
        // After a break: the first frame stands for what came before it.
        for (uint32_t k = 0; k < 3; ++k) std::memcpy(work_.data() + size_t(k) * C, in, C * sizeof(float));
        restart_ = false;
    }
    const float* w = work_.data() + size_t(3) * C;  // w[-3 * C] is the oldest history frame
    uint32_t produced = 0;
    // An output frame at t needs input frames floor(t) - 1 to floor(t) + 2.
    while (position_ < static_cast<double>(frames) - 2.0) {
        if (produced < outCapacity) InterpolateFrame(w, position_, C, out + size_t(produced++) * C);
        position_ += step_;
    }
    position_ -= frames;
    // Keep the last three frames as the next call's history.
    std::memmove(work_.data(), work_.data() + size_t(frames) * C, size_t(3) * C * sizeof(float));
    return produced;
}

void SpreadToBuffers(const float* src, uint32_t srcChannels, uint32_t frames, AudioBufferList* list, uint32_t at) {
    if (!list) return;
    uint32_t base = 0;
    for (UInt32 b = 0; b < list->mNumberBuffers; ++b) {
        AudioBuffer& buf = list->mBuffers[b];
        const uint32_t ch = buf.mNumberChannels;
        if (buf.mData && ch > 0) {
            const uint32_t capacity = buf.mDataByteSize / (4 * ch);
            const uint32_t n = at < capacity ? std::min(frames, capacity - at) : 0;
            auto* dst = static_cast<float*>(buf.mData) + size_t(at) * ch;
            for (uint32_t i = 0; i < n; ++i)
                for (uint32_t k = 0; k < ch; ++k) {
                    uint32_t s = base + k;
                    dst[size_t(i) * ch + k] = s < srcChannels ? src[size_t(i) * srcChannels + s] : 0.0f;
                }
        }
        base += ch;
    }
}

uint32_t FramesInList(const AudioBufferList* list) {
    if (!list) return 0;
    uint32_t frames = UINT32_MAX;
    for (UInt32 b = 0; b < list->mNumberBuffers; ++b) {
        const AudioBuffer& buf = list->mBuffers[b];
        if (buf.mData && buf.mNumberChannels > 0) frames = std::min(frames, buf.mDataByteSize / (4 * buf.mNumberChannels));
    }
    return frames == UINT32_MAX ? 0 : frames;
}

}  // namespace audioclient
