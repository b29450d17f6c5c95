#include "InputHold.h"

#include <algorithm>
#include <cmath>

namespace audioclient {

void InputHold::Configure(uint32_t bytesPerFrame, uint32_t frames, uint32_t spans) {
    bytesPerFrame_ = std::max(1u, bytesPerFrame);
    capacity_ = std::max(1u, frames);
    bytes_.assign(size_t(capacity_) * bytesPerFrame_, 0);
    spans_.assign(std::max(1u, spans), Span{});
    Clear();
}

void InputHold::Clear() {
    head_ = held_ = 0;
    spanHead_ = spanCount_ = 0;
}

uint32_t InputHold::Room() const {
    return spanCount_ < spans_.size() ? capacity_ - held_ : 0;
}

void InputHold::Append(const Span& span) {
    if (span.frames == 0 || span.frames > Room()) return;
    spans_[(spanHead_ + spanCount_) % spans_.size()] = span;
    spans_[(spanHead_ + spanCount_) % spans_.size()].taken = 0;
    ++spanCount_;
    held_ += span.frames;
}

void InputHold::Take(uint32_t frames) {
    if (spanCount_ == 0) return;
    Span& span = spans_[spanHead_];
    frames = std::min(frames, span.frames);
    span.frames -= frames;
    span.taken += frames;
    span.sampleTime += frames;
    head_ = (head_ + frames) % capacity_;
    held_ -= frames;
    if (span.frames == 0) {
        spanHead_ = (spanHead_ + 1) % static_cast<uint32_t>(spans_.size());
        --spanCount_;
    }
}

}  // namespace audioclient
