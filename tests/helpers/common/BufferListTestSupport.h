#pragma once
// Builds buffer lists of any shape over test-owned sample vectors.

#include <AudioABI/AudioTypes.h>

#include <cstdlib>
#include <memory>
#include <vector>

struct TestBuffer {
    uint32_t channels;
    std::vector<float> samples;   // empty: the buffer has no data
    uint32_t byteSizeOverride = UINT32_MAX;
};

class TestBufferList {
public:
    explicit TestBufferList(std::vector<TestBuffer> buffers) : buffers_(std::move(buffers)) {
        const size_t n = buffers_.empty() ? 1 : buffers_.size();
        storage_.reset(static_cast<AudioBufferList*>(std::calloc(1, AUDIO_BUFFER_LIST_SIZE(n))));
        storage_->mNumberBuffers = static_cast<UInt32>(buffers_.size());
        for (size_t i = 0; i < buffers_.size(); ++i) {
            TestBuffer& b = buffers_[i];
            AudioBuffer& a = storage_->mBuffers[i];
            a.mNumberChannels = b.channels;
            a.mData = b.samples.empty() ? nullptr : b.samples.data();
            a.mDataByteSize = b.byteSizeOverride != UINT32_MAX ? b.byteSizeOverride
                                                              : static_cast<UInt32>(b.samples.size() * sizeof(float));
        }
    }
    const AudioBufferList* get() const { return storage_.get(); }

private:
    struct Free {
        void operator()(AudioBufferList* p) const { std::free(p); }
    };
    std::vector<TestBuffer> buffers_;
    std::unique_ptr<AudioBufferList, Free> storage_;
};

// Interleaved samples where channel c of frame f is value(f, c).
template <typename Value>
std::vector<float> Interleaved(uint32_t frames, uint32_t channels, Value value) {
    std::vector<float> v(static_cast<size_t>(frames) * channels);
    for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < channels; ++c) {
            v[static_cast<size_t>(f) * channels + c] = value(f, c);
        }
    }
    return v;
}
