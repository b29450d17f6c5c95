// What the output unit and the audio queues share: a device's stream layout as read from
// the server, sample-format conversion, a rate converter, channel spreading onto a
// device's buffers, and a single-producer single-consumer ring of pointers.
#pragma once

#include <AudioClient/AudioToolbox.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace audioclient {

enum class SampleKind { Float32, Int16, Int24, Int32 };

// Linear PCM, interleaved and packed: the sample kind of a description, or false.
bool SampleKindOf(const AudioStreamBasicDescription& d, SampleKind* kind);
uint32_t BytesPerSample(SampleKind k);
float ReadSample(const uint8_t* p, SampleKind k);
void WriteSample(uint8_t* p, SampleKind k, float v);

struct StreamInfo {
    uint32_t channels = 0;
    SampleKind kind = SampleKind::Float32;
};

struct DeviceLayout {
    double rate = 0;
    uint32_t channels = 0;  // all streams of the scope together
    std::vector<StreamInfo> streams;
};

// Nominal rate and the streams of one scope, with each stream's sample format. Non-zero
// status on failure; a scope without streams is kAudioUnitErr_NoConnection.
OSStatus ReadDeviceLayout(AudioObjectID device, AudioObjectPropertyScope scope, DeviceLayout* out);
// The default device of the system for output or input (0 with a status on failure).
OSStatus DefaultDevice(bool output, AudioObjectID* out);
// The device carrying that UID, or 0.
AudioObjectID DeviceForUID(const std::string& uid);

// The status injected by the fault hook for that call, or 0.
OSStatus InjectedFault(const char* call);

// Converts interleaved float frames from one rate to another (4-point cubic
// interpolation). Push side: any number of input frames up to the configured maximum;
// every output frame whose neighbourhood is complete comes out at once. Allocates only in
// Configure.
class RateConverter {
public:
    void Configure(double inRate, double outRate, uint32_t channels, uint32_t maxInputFrames);
    void Reset();
    bool Identity() const { return step_ == 1.0; }
    // Output frames at most produced by one Process call of n input frames.
    uint32_t MaxOutputFor(uint32_t n) const;
    // Returns the frames written to out (at most outCapacity; extra ones are lost).
    uint32_t Process(const float* in, uint32_t frames, float* out, uint32_t outCapacity);
    // The input broke off after what was given, and goes on `missed` input frames later: writes
    // the output frames still owed for the input before the break (its last frame held past it)
    // and starts afresh, so that no output frame mixes frames from both sides. Returns the frames
    // written; *spanned is how many output frames lie from the first of them to the first frame
    // the input after the break gives.
    uint32_t Break(double missed, float* out, uint32_t outCapacity, double* spanned);
    // Where the next output frame lies, in input frames from the next input's first (-2 to 0:
    // it waits for frames after it; 0 after a break).
    double NextPosition() const { return position_; }

private:
    double step_ = 1.0;  // input frames per output frame
    double position_ = 0;  // of the next output frame, in frames of work_ after its 3-frame tail
    uint32_t channels_ = 0;
    uint32_t maxInput_ = 0;
    std::vector<float> work_;  // 3 frames of history, then the new input
    bool restart_ = false;     // the next input's first frame is its own history
};

// Spreads interleaved source frames over a device's buffers in order: device channel k of
// the whole list takes source channel k; device channels past the source stay silent and
// source channels past the device are dropped. Writes frames at frame offset `at` of every
// float buffer, never past a buffer's byte size.
void SpreadToBuffers(const float* src, uint32_t srcChannels, uint32_t frames, AudioBufferList* list, uint32_t at);

// Frames every buffer with data of a float list can hold (the smallest; 0 when none).
uint32_t FramesInList(const AudioBufferList* list);

// A fixed-capacity single-producer single-consumer ring of pointers.
template <typename T, uint32_t Capacity>
class PointerRing {
    static_assert((Capacity & (Capacity - 1)) == 0, "a power of two");

public:
    bool push(T* p) {
        uint32_t w = write_.load(std::memory_order_relaxed);
        if (w - read_.load(std::memory_order_acquire) >= Capacity) return false;
        slots_[w % Capacity] = p;
        write_.store(w + 1, std::memory_order_release);
        return true;
    }
    T* pop() {
        uint32_t r = read_.load(std::memory_order_relaxed);
        if (r == write_.load(std::memory_order_acquire)) return nullptr;
        T* p = slots_[r % Capacity];
        read_.store(r + 1, std::memory_order_release);
        return p;
    }
    // Only while neither side runs.
    void clear() {
        read_.store(0);
        write_.store(0);
    }

private:
    T* slots_[Capacity] = {};
    std::atomic<uint32_t> read_{0};
    std::atomic<uint32_t> write_{0};
};

}  // namespace audioclient
