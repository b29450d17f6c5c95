// What an input queue recorded but has no buffer for yet: the frames (in the queue's own
// format) of the device cycles since the user last gave a buffer back, each cycle's frames a
// span with the sample and host time of its first frame. Only the device's IO thread uses it
// once the queue runs; storage is set up before, so it never allocates there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace audioclient {

class InputHold {
public:
    struct Span {
        double sampleTime = 0;   // of the span's first frame still held
        uint64_t hostTime = 0;   // of the span's first frame as recorded
        bool hasHostTime = false;
        uint32_t frames = 0;     // still held
        uint32_t taken = 0;      // handed on already (for the host time of what is left)
        bool afterGap = false;   // frames before it were lost: a buffer must not run across
    };

    // Room for `frames` frames of `bytesPerFrame` bytes and `spans` spans; empties the hold.
    void Configure(uint32_t bytesPerFrame, uint32_t frames, uint32_t spans);
    void Clear();

    bool Empty() const { return spanCount_ == 0; }
    // Frames a new span may hold now (none when every span is in use).
    uint32_t Room() const;
    // Where the i-th frame of the span about to be appended goes.
    uint8_t* NextFrame(uint32_t i) { return bytes_.data() + std::size_t((head_ + held_ + i) % capacity_) * bytesPerFrame_; }
    // Keeps the first `span.frames` frames written through NextFrame as a span.
    void Append(const Span& span);

    Span& Front() { return spans_[spanHead_]; }
    // The oldest frame held (the front span's first).
    const uint8_t* FrontFrame(uint32_t i) const {
        return bytes_.data() + std::size_t((head_ + i) % capacity_) * bytesPerFrame_;
    }
    // Frames the front span hands on from FrontFrame(0); it goes when it has none left.
    void Take(uint32_t frames);

private:
    std::vector<uint8_t> bytes_;
    std::vector<Span> spans_;
    uint32_t bytesPerFrame_ = 1;
    uint32_t capacity_ = 1;  // frames
    uint32_t head_ = 0;      // first frame held
    uint32_t held_ = 0;
    uint32_t spanHead_ = 0;
    uint32_t spanCount_ = 0;
};

}  // namespace audioclient
