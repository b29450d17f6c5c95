// The output bridge's parts that need no audio server: back-end names and spellings, the
// environment switches, status formatting, buffer-list filling and the configuration checks.
#include <TidewellStream/TidewellOutputBridge.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_) setenv(name_.c_str(), old_.c_str(), 1);
        else unsetenv(name_.c_str());
    }

private:
    std::string name_, old_;
    bool had_ = false;
};

TEST(OutputBridgeBackend, SpellingsAreExactAndEverythingElseIsTheDefault) {
    struct Case {
        const char* text;
        TidewellOutputBackend want;
    } cases[] = {
        {nullptr, TidewellOutputBackendDefault},       {"", TidewellOutputBackendDefault},
        {"default", TidewellOutputBackendDefault},     {"auto", TidewellOutputBackendDefault},
        {"audio-unit", TidewellOutputBackendAudioUnit}, {"audio_unit", TidewellOutputBackendAudioUnit},
        {"au", TidewellOutputBackendAudioUnit},         {"AU", TidewellOutputBackendDefault},
        {"Audio-Unit", TidewellOutputBackendDefault},   {"audio-queue", TidewellOutputBackendAudioQueue},
        {"audio_queue", TidewellOutputBackendAudioQueue}, {"aq", TidewellOutputBackendAudioQueue},
        {"queue", TidewellOutputBackendAudioQueue},     {"audio-device", TidewellOutputBackendAudioDevice},
        {"audio_device", TidewellOutputBackendAudioDevice}, {"device", TidewellOutputBackendAudioDevice},
        {"io-proc", TidewellOutputBackendAudioDevice},  {"ioproc", TidewellOutputBackendAudioDevice},
        {"io_proc", TidewellOutputBackendDefault},      {"au ", TidewellOutputBackendDefault},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TidewellOutputBridgeBackendFromString(c.text), c.want) << (c.text ? c.text : "(null)");
}

TEST(OutputBridgeBackend, NamesAndTheEnvironment) {
    EXPECT_STREQ(TidewellOutputBridgeBackendName(TidewellOutputBackendDefault), "default");
    EXPECT_STREQ(TidewellOutputBridgeBackendName(TidewellOutputBackendAudioUnit), "audio-unit");
    EXPECT_STREQ(TidewellOutputBridgeBackendName(TidewellOutputBackendAudioQueue), "audio-queue");
    EXPECT_STREQ(TidewellOutputBridgeBackendName(TidewellOutputBackendAudioDevice), "audio-device");
    EXPECT_STREQ(TidewellOutputBridgeBackendName(static_cast<TidewellOutputBackend>(7)), "default");
    EXPECT_STREQ(TidewellOutputBridgeBackendName(static_cast<TidewellOutputBackend>(-1)), "default");
    {
        ScopedEnv e("TIDEWELL_OUTPUT_BACKEND", nullptr);
        EXPECT_EQ(TidewellOutputBridgeBackendFromEnvironment(), TidewellOutputBackendDefault);
    }
    {
        ScopedEnv e("TIDEWELL_OUTPUT_BACKEND", "AU");
        EXPECT_EQ(TidewellOutputBridgeBackendFromEnvironment(), TidewellOutputBackendDefault);
    }
    {
        ScopedEnv e("TIDEWELL_OUTPUT_BACKEND", "io-proc");
        EXPECT_EQ(TidewellOutputBridgeBackendFromEnvironment(), TidewellOutputBackendAudioDevice);
    }
    {
        ScopedEnv e("TIDEWELL_OUTPUT_BACKEND", "aq");
        EXPECT_EQ(TidewellOutputBridgeBackendFromEnvironment(), TidewellOutputBackendAudioQueue);
    }
}

TEST(OutputBridgeEnvironment, QueueBufferCount) {
    struct Case {
        const char* value;
        uint32_t want;
    } cases[] = {{nullptr, 4}, {"", 4}, {"0", 2}, {"1", 2}, {"2", 2}, {"3", 3}, {"4", 4}, {"5", 4}, {"9", 4},
                 {"3a", 4}, {"a3", 4}, {" 3", 4}, {"-3", 4}, {"+3", 4}, {"003", 3}, {"99999999999999999999", 4}};
    for (const Case& c : cases) {
        ScopedEnv e("TIDEWELL_OUTPUT_QUEUE_BUFFERS", c.value);
        EXPECT_EQ(AudioQueueBufferCountFromEnvironment(), c.want) << (c.value ? c.value : "(unset)");
    }
}

TEST(OutputBridgeEnvironment, OnlyTheListedSpellingsTurnTheDeviceBufferRequestOff) {
    struct Case {
        const char* value;
        bool want;
    } cases[] = {{nullptr, true}, {"", true},      {"0", false},    {"false", false}, {"FALSE", false},
                 {"no", false},   {"off", false},  {"False", true}, {"NO", true},     {"Off", true},
                 {"1", true},     {"yes", true},   {"off ", true}};
    for (const Case& c : cases) {
        ScopedEnv e("TIDEWELL_OUTPUT_SET_DEVICE_BUFFER", c.value);
        EXPECT_EQ(ShouldRequestDeviceBufferSize(), c.want) << (c.value ? c.value : "(unset)");
    }
}

TEST(OutputBridgeStatus, FormatsTheDecimalAndTheFourCharacters) {
    char text[64];
    TidewellOutputBridgeFormatStatus(-50, text, sizeof text);
    EXPECT_STREQ(text, "-50 ('....')");
    TidewellOutputBridgeFormatStatus(AUDIO_FOUR_CC('!', 'o', 'b', 'j'), text, sizeof text);
    EXPECT_STREQ(text, "560947818 ('!obj')");
    TidewellOutputBridgeFormatStatus(AUDIO_FOUR_CC('s', 't', 'o', 'p'), text, sizeof text);
    EXPECT_STREQ(text, "1937010544 ('stop')");
    TidewellOutputBridgeFormatStatus(0x41007E7F, text, sizeof text);  // 'A', NUL, '~', DEL
    EXPECT_STREQ(text, "1090551423 ('A.~.')");
    TidewellOutputBridgeFormatStatus(0, text, sizeof text);
    EXPECT_STREQ(text, "0 ('....')");
}

// Writes frame f, channel c as 1000 * (call + 1) + 10 * f + c, so every sample says where it came from.
struct Source {
    uint32_t calls = 0;
    uint32_t status = 0;
    std::vector<uint32_t> frames;
};

uint32_t Render(void* context, float* destination, uint32_t frames, uint32_t channels) {
    auto* s = static_cast<Source*>(context);
    for (uint32_t f = 0; f < frames; ++f)
        for (uint32_t c = 0; c < channels; ++c) destination[f * channels + c] = float(1000 * (s->calls + 1) + 10 * f + c);
    s->frames.push_back(frames);
    ++s->calls;
    return s->status;
}

// A bridge record as start leaves it, without any back-end.
TidewellOutputBridge MakeBridge(uint32_t channels, uint32_t scratchFrames, Source* source, std::vector<float>& scratch) {
    TidewellOutputBridge b{};
    b.channels = channels;
    b.bytesPerFrame = 4 * channels;
    b.render = Render;
    b.context = source;
    scratch.assign(size_t(scratchFrames) * channels, -1.0f);
    b.scratch = scratchFrames ? scratch.data() : nullptr;
    b.scratchFrames = scratchFrames;
    return b;
}

// A buffer list over separately allocated buffers, each followed by guard samples.
struct List {
    static constexpr size_t kGuard = 64;
    std::vector<std::vector<float>> storage;
    std::vector<uint8_t> raw;
    AudioBufferList* list;

    // channels[i] and frames[i] per buffer; frames < 0 means no data.
    List(std::vector<uint32_t> channels, std::vector<int> frames) {
        raw.assign(AUDIO_BUFFER_LIST_SIZE(channels.size()), 0);
        list = reinterpret_cast<AudioBufferList*>(raw.data());
        list->mNumberBuffers = static_cast<UInt32>(channels.size());
        storage.resize(channels.size());
        for (size_t i = 0; i < channels.size(); ++i) {
            AudioBuffer& b = list->mBuffers[i];
            b.mNumberChannels = channels[i];
            if (frames[i] < 0) {
                b.mData = nullptr;
                b.mDataByteSize = 0;
                continue;
            }
            storage[i].assign(size_t(frames[i]) * channels[i] + kGuard, 7.0f);
            b.mData = storage[i].data();
            b.mDataByteSize = static_cast<UInt32>(size_t(frames[i]) * channels[i] * 4);
        }
    }
    float at(size_t buffer, size_t frame, size_t channel) const {
        return storage[buffer][frame * list->mBuffers[buffer].mNumberChannels + channel];
    }
    bool guardsIntact(size_t buffer, size_t frames) const {
        const auto& s = storage[buffer];
        for (size_t i = frames * list->mBuffers[buffer].mNumberChannels; i < s.size(); ++i)
            if (s[i] != 7.0f) return false;
        return true;
    }
};

TEST(OutputBridgeFill, OneMatchingBufferIsRenderedStraightIn) {
    Source src;
    std::vector<float> scratch;
    TidewellOutputBridge b = MakeBridge(2, 1024, &src, scratch);
    List l({2}, {256});
    EXPECT_EQ(TidewellOutputBridgeFillBufferList(&b, l.list, 256), 0u);
    EXPECT_EQ(src.frames, std::vector<uint32_t>{256});
    EXPECT_EQ(l.at(0, 0, 0), 1000.0f);
    EXPECT_EQ(l.at(0, 255, 1), 1000.0f + 2550 + 1);
    EXPECT_TRUE(l.guardsIntact(0, 256));
    EXPECT_EQ(scratch[0], -1.0f) << "the scratch is not used";
    EXPECT_EQ(TidewellOutputBridgeFillBufferList(&b, nullptr, 256), 0u);
    EXPECT_EQ(TidewellOutputBridgeFillBufferList(&b, l.list, 0), 0u);
    EXPECT_EQ(src.calls, 1u);
}

TEST(OutputBridgeFill, TwoStereoBuffersTakeFourChannelsInOrderOrLeaveTheSecondSilent) {
    {
        Source src;
        std::vector<float> scratch;
        TidewellOutputBridge b = MakeBridge(4, 1024, &src, scratch);
        List l({2, 2}, {128, 128});
        EXPECT_EQ(TidewellOutputBridgeFillBufferList(&b, l.list, 128), 0u);
        EXPECT_EQ(l.at(0, 5, 0), 1000.0f + 50 + 0);
        EXPECT_EQ(l.at(0, 5, 1), 1000.0f + 50 + 1);
        EXPECT_EQ(l.at(1, 5, 0), 1000.0f + 50 + 2);
        EXPECT_EQ(l.at(1, 127, 1), 1000.0f + 1270 + 3);
        EXPECT_TRUE(l.guardsIntact(0, 128) && l.guardsIntact(1, 128));
    }
    {
        Source src;
        std::vector<float> scratch;
        TidewellOutputBridge b = MakeBridge(2, 1024, &src, scratch);
        List l({2, 2}, {128, 128});
        EXPECT_EQ(TidewellOutputBridgeFillBufferList(&b, l.list, 128), 0u);
        EXPECT_EQ(l.at(0, 9, 1), 1000.0f + 90 + 1);
        for (size_t f = 0; f < 128; ++f) EXPECT_EQ(l.at(1, f, 0) + l.at(1, f, 1), 0.0f);
    }
}

TEST(OutputBridgeFill, ABufferWithoutDataSkipsItsChannelsAndAWideBufferTakesWhatRemains) {
    Source src;
    std::vector<float> scratch;
    TidewellOutputBridge b = MakeBridge(3, 1024, &src, scratch);
    List l({1, 8}, {-1, 64});
    EXPECT_EQ(TidewellOutputBridgeFillBufferList(&b, l.list, 64), 0u);
    EXPECT_EQ(l.list->mBuffers[0].mDataByteSize, 64u * 4);
    EXPECT_EQ(l.at(1, 3, 0), 1000.0f + 30 + 1);
    EXPECT_EQ(l.at(1, 3, 1), 1000.0f + 30 + 2);
    for (size_t c = 2; c < 8; ++c) EXPECT_EQ(l.at(1, 3, c), 0.0f);
}

TEST(OutputBridgeFill, NeverWritesPastTheEndOfASmallerBuffer) {
    // Two buffers of unequal size, and a lone matching buffer shorter than the frames asked.
    Source src;
    std::vector<float> scratch;
    TidewellOutputBridge b = MakeBridge(4, 1024, &src, scratch);
    List l({2, 2}, {256, 100});
    EXPECT_EQ(TidewellOutputBridgeFillBufferList(&b, l.list, 256), 0u);
    EXPECT_TRUE(l.guardsIntact(0, 256));
    EXPECT_TRUE(l.guardsIntact(1, 100));
    EXPECT_EQ(l.list->mBuffers[1].mDataByteSize, 100u * 2 * 4) << "a buffer's size never grows";
    EXPECT_EQ(l.at(1, 99, 1), 1000.0f + 990 + 3);

    Source one;
    TidewellOutputBridge c = MakeBridge(2, 1024, &one, scratch);
    List single({2}, {50});
    EXPECT_EQ(TidewellOutputBridgeFillBufferList(&c, single.list, 512), 0u);
    EXPECT_TRUE(single.guardsIntact(0, 50));
    EXPECT_EQ(one.frames, std::vector<uint32_t>{50});
}

TEST(OutputBridgeFill, ACycleLargerThanTheScratchIsRenderedInScratchSizedBlocks) {
    Source src;
    std::vector<float> scratch;
    TidewellOutputBridge b = MakeBridge(4, 1024, &src, scratch);
    List l({2, 2}, {2500, 2500});
    EXPECT_EQ(TidewellOutputBridgeFillBufferList(&b, l.list, 2500), 0u);
    EXPECT_EQ(src.frames, (std::vector<uint32_t>{1024, 1024, 452}));
    EXPECT_EQ(l.at(0, 0, 0), 1000.0f);
    EXPECT_EQ(l.at(1, 1024, 1), 2000.0f + 3) << "the second block starts at frame 1024";
    EXPECT_EQ(l.at(1, 2499, 1), 3000.0f + 4510 + 3);
    EXPECT_TRUE(l.guardsIntact(0, 2500) && l.guardsIntact(1, 2500));
}

TEST(OutputBridgeFill, AFailedRenderLeavesTheBuffersSilentAndReturnsItsStatus) {
    Source src;
    src.status = 5;
    std::vector<float> scratch;
    TidewellOutputBridge b = MakeBridge(4, 1024, &src, scratch);
    List l({2, 2}, {64, 64});
    EXPECT_EQ(TidewellOutputBridgeFillBufferList(&b, l.list, 64), 5u);
    for (size_t f = 0; f < 64; ++f)
        for (size_t c = 0; c < 2; ++c) EXPECT_EQ(l.at(0, f, c) + l.at(1, f, c), 0.0f);
    // Without a scratch the multi-buffer path stays silent.
    Source quiet;
    TidewellOutputBridge n = MakeBridge(4, 0, &quiet, scratch);
    List m({2, 2}, {64, 64});
    EXPECT_EQ(TidewellOutputBridgeFillBufferList(&n, m.list, 64), 0u);
    EXPECT_EQ(quiet.calls, 0u);
    EXPECT_EQ(m.at(1, 63, 1), 0.0f);
}

TEST(OutputBridgeIOProc, FillsOnlyWhatEveryBufferCanHold) {
    // Buffers of unequal size, one without data: the proc writes as many frames as the
    // smallest buffer with data holds, into every buffer, and nothing past any of them.
    Source src;
    std::vector<float> scratch;
    TidewellOutputBridge b = MakeBridge(6, 1024, &src, scratch);
    List l({2, 2, 2}, {512, -1, 100});
    EXPECT_EQ(TidewellOutputBridgeIOProc(1, nullptr, nullptr, nullptr, l.list, nullptr, &b), 0);
    EXPECT_EQ(src.frames, std::vector<uint32_t>{100});
    EXPECT_TRUE(l.guardsIntact(0, 512));
    EXPECT_TRUE(l.guardsIntact(2, 100));
    EXPECT_EQ(l.at(0, 99, 1), 1000.0f + 990 + 1);
    EXPECT_EQ(l.at(2, 99, 1), 1000.0f + 990 + 5) << "the buffer without data took channels 3 and 4";
    EXPECT_EQ(l.at(0, 100, 0), 7.0f) << "frames past the common count are left alone";

    // A lone buffer of the bridge's channels renders straight in, within its size.
    Source one;
    TidewellOutputBridge c = MakeBridge(2, 1024, &one, scratch);
    List single({2}, {333});
    EXPECT_EQ(TidewellOutputBridgeIOProc(1, nullptr, nullptr, nullptr, single.list, nullptr, &c), 0);
    EXPECT_EQ(one.frames, std::vector<uint32_t>{333});
    EXPECT_TRUE(single.guardsIntact(0, 333));

    // Nothing to write into: no buffers, only buffers without data, or a null list.
    List none({2, 2}, {-1, -1});
    EXPECT_EQ(TidewellOutputBridgeIOProc(1, nullptr, nullptr, nullptr, none.list, nullptr, &c), 0);
    List empty({2}, {0});
    EXPECT_EQ(TidewellOutputBridgeIOProc(1, nullptr, nullptr, nullptr, empty.list, nullptr, &c), 0);
    EXPECT_EQ(TidewellOutputBridgeIOProc(1, nullptr, nullptr, nullptr, nullptr, nullptr, &c), 0);
    EXPECT_EQ(one.calls, 1u);

    // A failed render is the proc's status.
    Source failing;
    failing.status = 9;
    TidewellOutputBridge d = MakeBridge(2, 1024, &failing, scratch);
    List again({2}, {64});
    EXPECT_EQ(TidewellOutputBridgeIOProc(1, nullptr, nullptr, nullptr, again.list, nullptr, &d), 9);
}

TEST(OutputBridgeStart, RefusesAnInvalidConfiguration) {
    EXPECT_FALSE(TidewellOutputBridgeStart(nullptr, nullptr));
    TidewellOutputBridge b;
    std::memset(&b, 0x5a, sizeof b);
    EXPECT_FALSE(TidewellOutputBridgeStart(&b, nullptr));
    EXPECT_EQ(static_cast<unsigned char>(b.error[0]), 0x5au) << "nothing written";

    Source src;
    TidewellOutputBridgeConfig cfg{};
    cfg.sampleRate = 48000;
    cfg.channels = 2;
    cfg.render = Render;
    cfg.context = &src;
    for (int which = 0; which < 4; ++which) {
        TidewellOutputBridgeConfig bad = cfg;
        if (which == 0) bad.sampleRate = 0;
        if (which == 1) bad.sampleRate = -48000;
        if (which == 2) bad.channels = 0;
        if (which == 3) bad.render = nullptr;
        EXPECT_FALSE(TidewellOutputBridgeStart(&b, &bad));
        EXPECT_STREQ(TidewellOutputBridgeError(&b), "Invalid output bridge configuration.");
        EXPECT_EQ(b.activeBackend, TidewellOutputBackendDefault);
        EXPECT_EQ(b.scratch, nullptr);
    }
    TidewellOutputBridgeStop(&b);
    TidewellOutputBridgeStop(&b);
    EXPECT_STREQ(TidewellOutputBridgeError(&b), "Invalid output bridge configuration.") << "stop keeps the text";
    TidewellOutputBridgeStop(nullptr);
    EXPECT_STREQ(TidewellOutputBridgeError(nullptr), "Unknown output bridge error.");
    TidewellOutputBridge fresh{};
    EXPECT_STREQ(TidewellOutputBridgeError(&fresh), "Unknown output bridge error.");
}

}  // namespace
