// Output and input audio queues on the library's IO procs. The device's IO thread moves
// samples between the enqueued buffers and the device, converting sample format, rate
// and channel count; a buffer it has finished with goes through a lock-free ring to the
// queue's own thread, which hands it back to the user's callback. The IO thread takes no
// lock and allocates nothing; its only system call is the wake-up of the queue thread.
#include "InputHold.h"
#include "ToolboxSupport.h"

#include <AudioProtocol/Protocol.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <thread>

using audioclient::DeviceLayout;
using audioclient::InjectedFault;
using audioclient::InputHold;
using audioclient::PointerRing;
using audioclient::RateConverter;
using audioclient::SampleKind;

namespace {

constexpr uint32_t kMaxBuffers = 64;
constexpr uint32_t kMaxBufferBytes = 16u << 20;
constexpr uint32_t kMaxDeviceFrames = audioproto::kMaxIOFrames;
constexpr uint32_t kPullFrames = 512;  // output: queue frames converted per step when rates differ
// Input: how long the queue's thread (or its user) may be late giving buffers back before
// recorded frames are lost, and the device cycles that may come in that time.
constexpr double kHoldSeconds = 0.5;
constexpr uint32_t kHoldCycles = 2048;

struct QueueBuffer {
    AudioQueueBuffer pub{};  // first: the user's AudioQueueBufferRef points here
    AudioQueueRef owner = nullptr;
    std::unique_ptr<uint8_t[]> storage;
    std::atomic<bool> enqueued{false};
    // Input: where the recorded data begins.
    AudioTimeStamp start{};
};

QueueBuffer* FromRef(AudioQueueBufferRef ref) { return reinterpret_cast<QueueBuffer*>(ref); }

}  // namespace

struct OpaqueAudioQueue {
    bool input = false;
    AudioStreamBasicDescription format{};
    SampleKind kind = SampleKind::Float32;
    uint32_t channels = 0;
    uint32_t bytesPerFrame = 0;
    AudioQueueOutputCallback outputCallback = nullptr;
    AudioQueueInputCallback inputCallback = nullptr;
    void* user = nullptr;

    std::mutex apiMutex;                 // start, stop, properties, allocation
    std::mutex enqueueMutex;             // the producers of `pending`
    std::recursive_mutex callbackMutex;  // held by the queue thread around each callback
    std::string uid;                     // empty: the default device
    std::vector<std::unique_ptr<QueueBuffer>> buffers;
    PointerRing<QueueBuffer, kMaxBuffers> pending;  // user -> IO thread
    PointerRing<QueueBuffer, kMaxBuffers> done;     // IO thread -> queue thread

    std::thread thread;
    std::thread::id threadID;
    std::atomic<uint32_t> wake{0};
    std::atomic<bool> exit{false};
    std::atomic<bool> running{false};

    AudioObjectID device = 0;
    AudioDeviceIOProcID proc = nullptr;
    DeviceLayout layout;

    // IO-thread state, set up by start.
    QueueBuffer* current = nullptr;
    uint32_t offset = 0;  // bytes of the current buffer already used
    bool identity = true;
    RateConverter converter;
    std::vector<float> a, b;
    std::vector<float> fifo;
    uint32_t fifoFrames = 0;
    uint32_t fifoCapacity = 0;
    Float64 sampleTime = 0;
    // Input: the device sample time the next cycle starts at, to see cycles the server left
    // this queue out of (it was late); negative before the first cycle.
    Float64 nextDeviceSampleTime = -1;
    // Input: what was recorded and found no buffer yet; and whether frames were lost since the
    // last span kept there (the hold was full).
    InputHold hold;
    bool lostSinceHeld = false;
    bool handedBack = false;
};

namespace {

bool OnQueueThread(AudioQueueRef q) { return std::this_thread::get_id() == q->threadID; }

void WakeQueueThread(AudioQueueRef q) {
    q->wake.fetch_add(1, std::memory_order_release);
    audioproto::FutexWake(&q->wake);
}

void HandBack(AudioQueueRef q, QueueBuffer* buf) {
    q->done.push(buf);
    q->handedBack = true;
}

// Output: n frames of the queue's format from the enqueued buffers into dst (float,
// the queue's channels); silence when the queue runs dry.
void PullFrames(AudioQueueRef q, float* dst, uint32_t n) {
    const uint32_t C = q->channels;
    const uint32_t bps = audioclient::BytesPerSample(q->kind);
    uint32_t i = 0;
    while (i < n) {
        if (!q->current) {
            q->current = q->pending.pop();
            q->offset = 0;
            if (!q->current) break;
        }
        QueueBuffer* buf = q->current;
        const uint32_t size = std::min(buf->pub.mAudioDataByteSize, buf->pub.mAudioDataBytesCapacity);
        const uint32_t available = (size - std::min(size, q->offset)) / q->bytesPerFrame;
        const uint32_t take = std::min(available, n - i);
        const uint8_t* src = buf->storage.get() + q->offset;
        for (uint32_t f = 0; f < take; ++f)
            for (uint32_t c = 0; c < C; ++c)
                dst[size_t(i + f) * C + c] = audioclient::ReadSample(src + size_t(f) * q->bytesPerFrame + size_t(c) * bps, q->kind);
        i += take;
        q->offset += take * q->bytesPerFrame;
        if (take == available) {
            HandBack(q, buf);
            q->current = nullptr;
        }
    }
    std::fill(dst + size_t(i) * C, dst + size_t(n) * C, 0.0f);
}

OSStatus OutputIOProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                      AudioBufferList* out, const AudioTimeStamp*, void* data) {
    auto* q = static_cast<AudioQueueRef>(data);
    const uint32_t frames = std::min(audioclient::FramesInList(out), kMaxDeviceFrames);
    if (frames == 0) return 0;
    const uint32_t C = q->channels;
    q->handedBack = false;
    if (q->identity) {
        PullFrames(q, q->a.data(), frames);
        audioclient::SpreadToBuffers(q->a.data(), C, frames, out, 0);
    } else {
        while (q->fifoFrames < frames) {
            PullFrames(q, q->a.data(), kPullFrames);
            q->fifoFrames += q->converter.Process(q->a.data(), kPullFrames, q->fifo.data() + size_t(q->fifoFrames) * C,
                                                  q->fifoCapacity - q->fifoFrames);
        }
        audioclient::SpreadToBuffers(q->fifo.data(), C, frames, out, 0);
        q->fifoFrames -= frames;
        std::memmove(q->fifo.data(), q->fifo.data() + size_t(frames) * C, size_t(q->fifoFrames) * C * sizeof(float));
    }
    if (q->handedBack) WakeQueueThread(q);
    return 0;
}

void FinishInputBuffer(AudioQueueRef q) {
    q->current->pub.mAudioDataByteSize = q->offset;
    HandBack(q, q->current);
    q->current = nullptr;
    q->offset = 0;
}

// Input: the held frames into the enqueued buffers, oldest first, for as long as there are
// buffers; the rest stays held for the next cycle. A buffer's start is its first frame's time;
// a buffer being filled ends where frames before a span were lost, so that no buffer runs
// across a gap its start time would not show.
void FillBuffersFromHold(AudioQueueRef q) {
    InputHold& hold = q->hold;
    const uint32_t bpf = q->bytesPerFrame;
    while (!hold.Empty()) {
        InputHold::Span& span = hold.Front();
        if (span.afterGap) {
            if (q->current && q->offset > 0) FinishInputBuffer(q);
            span.afterGap = false;
        }
        if (!q->current) {
            q->current = q->pending.pop();
            q->offset = 0;
            if (!q->current) return;  // held until the user gives a buffer back
            q->current->start = AudioTimeStamp{};
            q->current->start.mSampleTime = span.sampleTime;
            q->current->start.mFlags = kAudioTimeStampSampleTimeValid;
            if (span.hasHostTime) {
                // The span's cycle's time, and as far into the cycle as the buffer's first frame lies.
                q->current->start.mHostTime =
                    span.hostTime + static_cast<UInt64>(std::llround(span.taken * 1e9 / q->format.mSampleRate));
                q->current->start.mFlags |= kAudioTimeStampHostTimeValid;
            }
        }
        const uint32_t capacity = q->current->pub.mAudioDataBytesCapacity;
        const uint32_t room = (capacity - std::min(capacity, q->offset)) / bpf;
        const uint32_t n = std::min(room, span.frames);
        uint8_t* dst = q->current->storage.get() + q->offset;
        for (uint32_t i = 0; i < n; ++i) std::memcpy(dst + size_t(i) * bpf, hold.FrontFrame(i), bpf);
        q->offset += n * bpf;
        hold.Take(n);
        if (q->offset + bpf > capacity) FinishInputBuffer(q);
    }
}

// Input: n frames (float, the device's channels) as the queue's channels in its sample format,
// held as one span until a buffer takes them, at the queue's sample time, which they advance.
// What finds no room is lost, and the span after it starts after a gap.
void HoldFrames(AudioQueueRef q, const float* src, uint32_t n, bool afterGap, bool hasHost, UInt64 hostTime) {
    if (n == 0) return;
    afterGap = afterGap || q->lostSinceHeld;
    const uint32_t D = q->layout.channels;
    const uint32_t C = q->channels;
    const uint32_t bps = audioclient::BytesPerSample(q->kind);
    const uint32_t kept = std::min(n, q->hold.Room());
    for (uint32_t i = 0; i < kept; ++i) {
        uint8_t* dst = q->hold.NextFrame(i);
        for (uint32_t c = 0; c < C; ++c)
            audioclient::WriteSample(dst + size_t(c) * bps, q->kind, c < D ? src[size_t(i) * D + c] : 0.0f);
    }
    if (kept > 0) {
        InputHold::Span span;
        span.sampleTime = q->sampleTime;
        span.frames = kept;
        span.afterGap = afterGap;
        span.hostTime = hostTime;
        span.hasHostTime = hasHost;
        q->hold.Append(span);
    }
    q->lostSinceHeld = (kept == 0 && afterGap) || kept < n;
    q->sampleTime += n;
}

OSStatus InputIOProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp* inTime,
                     AudioBufferList*, const AudioTimeStamp*, void* data) {
    auto* q = static_cast<AudioQueueRef>(data);
    if (!in) return 0;
    const auto& streams = q->layout.streams;
    const uint32_t nStreams = std::min<uint32_t>(in->mNumberBuffers, static_cast<uint32_t>(streams.size()));
    // Frames: what the smallest stream holds, never more than a device cycle can be.
    uint32_t frames = kMaxDeviceFrames;
    bool any = false;
    for (uint32_t s = 0; s < nStreams; ++s) {
        const AudioBuffer& buf = in->mBuffers[s];
        const uint32_t ch = std::min(buf.mNumberChannels, streams[s].channels);
        if (!buf.mData || ch == 0) continue;
        frames = std::min(frames, buf.mDataByteSize / (buf.mNumberChannels * audioclient::BytesPerSample(streams[s].kind)));
        any = true;
    }
    if (!any || frames == 0) return 0;

    // Device cycles this queue never got (the server gave up on it as late) are frames lost,
    // like those the hold had no room for: the next buffer's sample time says so, and the buffer
    // being filled ends before them. A gap beyond 64 cycles, or a step back, is a new timeline
    // of the device, not a loss.
    bool afterGap = false;
    if (inTime && (inTime->mFlags & kAudioTimeStampSampleTimeValid)) {
        const Float64 missed = inTime->mSampleTime - q->nextDeviceSampleTime;
        if (q->nextDeviceSampleTime >= 0 && missed >= 1 && missed <= 64.0 * frames) {
            if (q->identity) {
                q->sampleTime += missed;
            } else {
                // The converter gives out what it still owes for the frames before the loss, and
                // starts afresh after it, so that no frame mixes the two sides.
                double spanned = 0;
                const Float64 before = q->sampleTime;
                const uint32_t owed = q->converter.Break(missed, q->b.data(),
                                                         static_cast<uint32_t>(q->b.size() / q->layout.channels), &spanned);
                const bool hasHost = (inTime->mFlags & kAudioTimeStampHostTimeValid) != 0;
                const UInt64 host = hasHost ? inTime->mHostTime - static_cast<UInt64>(std::llround(
                                                                      spanned * 1e9 / q->format.mSampleRate))
                                            : 0;
                HoldFrames(q, q->b.data(), owed, false, hasHost, host);
                q->sampleTime = before + std::round(spanned);
            }
            afterGap = true;
        }
        q->nextDeviceSampleTime = inTime->mSampleTime + frames;
    }

    // Gather every device channel as float, interleaved.
    const uint32_t D = q->layout.channels;
    float* gathered = q->a.data();
    uint32_t base = 0;
    for (uint32_t s = 0; s < streams.size(); ++s) {
        const uint32_t ch = streams[s].channels;
        const AudioBuffer* buf = s < nStreams ? &in->mBuffers[s] : nullptr;
        const bool usable = buf && buf->mData && buf->mNumberChannels == ch;
        const uint32_t bps = audioclient::BytesPerSample(streams[s].kind);
        for (uint32_t i = 0; i < frames; ++i)
            for (uint32_t k = 0; k < ch; ++k)
                gathered[size_t(i) * D + base + k] =
                    usable ? audioclient::ReadSample(static_cast<const uint8_t*>(buf->mData) + (size_t(i) * ch + k) * bps,
                                                     streams[s].kind)
                           : 0.0f;
        base += ch;
    }
    const float* src = gathered;
    uint32_t produced = frames;
    // The first frame given out this cycle stands for the device's input this far from the cycle's
    // first frame: its host time is that far from the cycle's.
    const double lead = q->identity ? 0.0 : q->converter.NextPosition();
    if (!q->identity) {
        produced = q->converter.Process(gathered, frames, q->b.data(), static_cast<uint32_t>(q->b.size() / D));
        src = q->b.data();
    }

    const bool hasHost = inTime && (inTime->mFlags & kAudioTimeStampHostTimeValid);
    const UInt64 host = hasHost ? inTime->mHostTime + static_cast<UInt64>(std::llround(lead * 1e9 / q->layout.rate)) : 0;
    HoldFrames(q, src, produced, afterGap, hasHost, host);

    q->handedBack = false;
    FillBuffersFromHold(q);
    if (q->handedBack) WakeQueueThread(q);
    return 0;
}

void QueueThread(AudioQueueRef q) {
    pthread_setname_np(pthread_self(), "audioqueue");
    // The user refills buffers here against the device's clock: real-time like the IO
    // thread where the system allows it.
    sched_param sp{};
    sp.sched_priority = std::max(1, sched_get_priority_min(SCHED_FIFO) + 5);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    while (!q->exit.load(std::memory_order_acquire)) {
        const uint32_t seen = q->wake.load(std::memory_order_acquire);
        {
            std::lock_guard<std::recursive_mutex> lock(q->callbackMutex);
            while (QueueBuffer* buf = q->done.pop()) {
                buf->enqueued.store(false);
                if (!q->running.load()) continue;
                if (q->input) {
                    UInt32 packets = buf->pub.mAudioDataByteSize / q->bytesPerFrame;
                    q->inputCallback(q->user, q, &buf->pub, &buf->start, packets, nullptr);
                } else {
                    q->outputCallback(q->user, q, &buf->pub);
                }
            }
        }
        audioproto::FutexWait(&q->wake, seen, 100000000);  // 100 ms: re-check the exit flag
    }
}

OSStatus NewQueue(bool input, const AudioStreamBasicDescription* format, AudioQueueOutputCallback outputCallback,
                  AudioQueueInputCallback inputCallback, void* user, CFRunLoopRef runLoop, AudioQueueRef* out) {
    if (!out) return kAudio_ParamError;
    *out = nullptr;
    if (OSStatus f = InjectedFault(input ? "AudioQueueNewInput" : "AudioQueueNewOutput")) return f;
    if (!format || (!outputCallback && !inputCallback) || runLoop) return kAudio_ParamError;
    SampleKind kind;
    if (!audioclient::SampleKindOf(*format, &kind) || format->mSampleRate < 1000.0 || format->mSampleRate > 768000.0)
        return kAudioFormatUnsupportedDataFormatError;
    auto q = std::make_unique<OpaqueAudioQueue>();
    q->input = input;
    q->format = *format;
    q->kind = kind;
    q->channels = format->mChannelsPerFrame;
    q->bytesPerFrame = format->mBytesPerFrame;
    q->outputCallback = outputCallback;
    q->inputCallback = inputCallback;
    q->user = user;
    AudioQueueRef raw = q.get();
    q->thread = std::thread(QueueThread, raw);
    q->threadID = q->thread.get_id();
    *out = q.release();
    return 0;
}

// Takes back every enqueued buffer; only while neither the IO thread nor the queue
// thread can touch the rings.
void ResetBuffersLocked(AudioQueueRef q) {
    std::lock_guard<std::mutex> lock(q->enqueueMutex);
    q->pending.clear();
    q->done.clear();
    q->current = nullptr;
    q->offset = 0;
    q->hold.Clear();
    q->lostSinceHeld = false;
    for (auto& b : q->buffers) b->enqueued.store(false);
}

OSStatus StopLocked(AudioQueueRef q) {
    if (!q->running.load()) return 0;
    q->running.store(false);
    if (q->proc) {
        AudioDeviceStop(q->device, q->proc);
        AudioDeviceDestroyIOProcID(q->device, q->proc);
        q->proc = nullptr;
    }
    // Wait out a callback in progress (unless this is that callback).
    std::lock_guard<std::recursive_mutex> lock(q->callbackMutex);
    ResetBuffersLocked(q);
    return 0;
}

}  // namespace

extern "C" {

OSStatus AudioQueueNewOutput(const AudioStreamBasicDescription* inFormat, AudioQueueOutputCallback inCallbackProc,
                             void* inUserData, CFRunLoopRef inCallbackRunLoop, CFStringRef, UInt32,
                             AudioQueueRef* outAQ) {
    if (!inCallbackProc) return kAudio_ParamError;
    return NewQueue(false, inFormat, inCallbackProc, nullptr, inUserData, inCallbackRunLoop, outAQ);
}

OSStatus AudioQueueNewInput(const AudioStreamBasicDescription* inFormat, AudioQueueInputCallback inCallbackProc,
                            void* inUserData, CFRunLoopRef inCallbackRunLoop, CFStringRef, UInt32,
                            AudioQueueRef* outAQ) {
    if (!inCallbackProc) return kAudio_ParamError;
    return NewQueue(true, inFormat, nullptr, inCallbackProc, inUserData, inCallbackRunLoop, outAQ);
}

OSStatus AudioQueueSetProperty(AudioQueueRef inAQ, AudioQueuePropertyID inID, const void* inData, UInt32 inDataSize) {
    if (!inAQ) return kAudio_ParamError;
    if (OSStatus f = InjectedFault("AudioQueueSetProperty")) return f;
    if (inID != kAudioQueueProperty_CurrentDevice) return kAudioQueueErr_InvalidProperty;
    if (!inData || inDataSize != sizeof(CFStringRef)) return kAudio_ParamError;
    std::lock_guard<std::mutex> lock(inAQ->apiMutex);
    if (inAQ->running.load()) return kAudioQueueErr_InvalidRunState;
    CFStringRef text;
    std::memcpy(&text, inData, sizeof(text));
    if (!text) {
        inAQ->uid.clear();
        return 0;
    }
    CFIndex cap = CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
    std::vector<char> buf(static_cast<size_t>(std::max<CFIndex>(cap, 1)));
    if (!CFStringGetCString(text, buf.data(), static_cast<CFIndex>(buf.size()), kCFStringEncodingUTF8))
        return kAudioQueueErr_InvalidPropertyValue;
    std::string uid = buf.data();
    if (uid.empty()) {
        inAQ->uid.clear();
        return 0;
    }
    AudioObjectID dev = audioclient::DeviceForUID(uid);
    DeviceLayout layout;
    if (dev == 0 || audioclient::ReadDeviceLayout(dev, inAQ->input ? kAudioObjectPropertyScopeInput
                                                                   : kAudioObjectPropertyScopeOutput,
                                                  &layout) != 0)
        return kAudioQueueErr_InvalidDevice;
    inAQ->uid = uid;
    return 0;
}

OSStatus AudioQueueAllocateBuffer(AudioQueueRef inAQ, UInt32 inBufferByteSize, AudioQueueBufferRef* outBuffer) {
    if (!inAQ || !outBuffer) return kAudio_ParamError;
    *outBuffer = nullptr;
    if (OSStatus f = InjectedFault("AudioQueueAllocateBuffer")) return f;
    if (inBufferByteSize == 0 || inBufferByteSize > kMaxBufferBytes) return kAudio_ParamError;
    std::lock_guard<std::mutex> lock(inAQ->apiMutex);
    if (inAQ->buffers.size() >= kMaxBuffers) return kAudioQueueErr_TooManyBuffers;
    auto b = std::make_unique<QueueBuffer>();
    b->storage.reset(new (std::nothrow) uint8_t[inBufferByteSize]());
    if (!b->storage) return kAudio_MemFullError;
    b->owner = inAQ;
    b->pub.mAudioDataBytesCapacity = inBufferByteSize;
    b->pub.mAudioData = b->storage.get();
    *outBuffer = &b->pub;
    std::lock_guard<std::mutex> enqueueLock(inAQ->enqueueMutex);
    inAQ->buffers.push_back(std::move(b));
    return 0;
}

OSStatus AudioQueueEnqueueBuffer(AudioQueueRef inAQ, AudioQueueBufferRef inBuffer, UInt32, const AudioStreamPacketDescription*) {
    if (!inAQ || !inBuffer) return kAudio_ParamError;
    std::lock_guard<std::mutex> lock(inAQ->enqueueMutex);
    QueueBuffer* b = FromRef(inBuffer);
    bool ours = false;
    for (auto& own : inAQ->buffers) ours = ours || own.get() == b;
    if (!ours) return kAudioQueueErr_InvalidBuffer;
    if (!inAQ->input && b->pub.mAudioDataByteSize > b->pub.mAudioDataBytesCapacity) return kAudioQueueErr_InvalidBuffer;
    if (b->enqueued.load()) return kAudioQueueErr_BufferInQueue;
    if (inAQ->input) b->pub.mAudioDataByteSize = 0;
    b->enqueued.store(true);
    inAQ->pending.push(b);  // never full: it holds every buffer of the queue at most once
    return 0;
}

OSStatus AudioQueueStart(AudioQueueRef inAQ, const AudioTimeStamp* inStartTime) {
    if (!inAQ || inStartTime) return kAudio_ParamError;
    if (OSStatus f = InjectedFault("AudioQueueStart")) return f;
    std::lock_guard<std::mutex> lock(inAQ->apiMutex);
    AudioQueueRef q = inAQ;
    if (q->running.load()) return 0;
    AudioObjectID dev = 0;
    if (q->uid.empty()) {
        if (OSStatus st = audioclient::DefaultDevice(!q->input, &dev)) return st;
    } else if ((dev = audioclient::DeviceForUID(q->uid)) == 0) {
        return kAudioQueueErr_InvalidDevice;
    }
    const AudioObjectPropertyScope scope = q->input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput;
    if (OSStatus st = audioclient::ReadDeviceLayout(dev, scope, &q->layout)) return st;

    q->identity = q->format.mSampleRate == q->layout.rate;
    q->current = nullptr;
    q->offset = 0;
    q->sampleTime = 0;
    q->nextDeviceSampleTime = -1;
    q->fifoFrames = 0;
    q->lostSinceHeld = false;
    if (q->input) {
        const uint32_t D = q->layout.channels;
        q->a.assign(size_t(kMaxDeviceFrames) * D, 0.0f);
        q->hold.Configure(q->bytesPerFrame, static_cast<uint32_t>(std::ceil(q->format.mSampleRate * kHoldSeconds)),
                          kHoldCycles);
        if (!q->identity) {
            q->converter.Configure(q->layout.rate, q->format.mSampleRate, D, kMaxDeviceFrames);
            q->b.assign(size_t(q->converter.MaxOutputFor(kMaxDeviceFrames)) * D, 0.0f);
        }
    } else {
        const uint32_t C = q->channels;
        q->a.assign(size_t(std::max(kMaxDeviceFrames, kPullFrames)) * C, 0.0f);
        if (!q->identity) {
            q->converter.Configure(q->format.mSampleRate, q->layout.rate, C, kPullFrames);
            q->fifoCapacity = kMaxDeviceFrames + q->converter.MaxOutputFor(kPullFrames);
            q->fifo.assign(size_t(q->fifoCapacity) * C, 0.0f);
        }
    }

    AudioDeviceIOProcID proc = nullptr;
    if (OSStatus st = AudioDeviceCreateIOProcID(dev, q->input ? InputIOProc : OutputIOProc, q, &proc)) return st;
    q->device = dev;
    q->proc = proc;
    q->running.store(true);
    if (OSStatus st = AudioDeviceStart(dev, proc)) {
        q->running.store(false);
        AudioDeviceDestroyIOProcID(dev, proc);
        q->proc = nullptr;
        return st;
    }
    return 0;
}

OSStatus AudioQueueStop(AudioQueueRef inAQ, Boolean) {
    if (!inAQ) return kAudio_ParamError;
    std::lock_guard<std::mutex> lock(inAQ->apiMutex);
    return StopLocked(inAQ);
}

OSStatus AudioQueueDispose(AudioQueueRef inAQ, Boolean) {
    if (!inAQ) return kAudio_ParamError;
    // The queue thread cannot end itself; a callback disposing of its own queue is refused.
    if (OnQueueThread(inAQ)) return kAudioQueueErr_InvalidRunState;
    {
        std::lock_guard<std::mutex> lock(inAQ->apiMutex);
        StopLocked(inAQ);
    }
    inAQ->exit.store(true, std::memory_order_release);
    WakeQueueThread(inAQ);
    if (inAQ->thread.joinable()) inAQ->thread.join();
    delete inAQ;
    return 0;
}

}  // extern "C"
