#include <AudioToolsCommon/Signals.h>
#include <AudioToolsCommon/Wav.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace tidewell::tools;
namespace fs = std::filesystem;

namespace {

class WavTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("tw-wav-" + std::to_string(getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const char* name) const { return (dir / name).string(); }
    std::vector<uint8_t> bytesOf(const std::string& p) const {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    fs::path dir;
};

AudioData ramp(uint32_t channels, SampleFormat format, size_t frames) {
    AudioData a;
    a.sampleRate = 44100;
    a.channels = channels;
    a.format = format;
    for (size_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c)
            a.samples.push_back(static_cast<float>(std::sin(0.01 * static_cast<double>(i) + c) * 0.9));
    return a;
}

void expectWavError(WavError::Code code, const std::function<void()>& f) {
    try {
        f();
        ADD_FAILURE() << "no error";
    } catch (const WavError& e) {
        EXPECT_EQ(e.code(), code) << e.what();
        EXPECT_GT(std::strlen(e.what()), 10u);
    }
}

TEST_F(WavTest, RoundTripsEveryFormatAndChannelCount) {
    struct Case {
        SampleFormat format;
        double tolerance;
    } cases[] = {{SampleFormat::Int16, 1.0 / 32768}, {SampleFormat::Int24, 1.0 / 8388608},
                 {SampleFormat::Float32, 0.0}};
    for (const Case& c : cases) {
        for (uint32_t channels : {1u, 2u, 6u}) {
            AudioData in = ramp(channels, c.format, 1001);  // odd size exercises chunk padding
            std::string p = path("r.wav");
            writeWav(p, in);
            AudioData out = readWav(p);
            ASSERT_EQ(out.channels, channels);
            EXPECT_EQ(out.sampleRate, 44100u);
            EXPECT_EQ(out.format, c.format);
            ASSERT_EQ(out.samples.size(), in.samples.size());
            for (size_t i = 0; i < in.samples.size(); ++i)
                ASSERT_NEAR(out.samples[i], in.samples[i], c.tolerance) << i;
            // A sound file's size on disk is even and matches its RIFF size.
            std::vector<uint8_t> b = bytesOf(p);
            EXPECT_EQ(b.size() % 2, 0u);
            EXPECT_EQ(b[4] | b[5] << 8 | b[6] << 16 | static_cast<uint32_t>(b[7]) << 24, b.size() - 8);
        }
    }
}

TEST_F(WavTest, IntegerFormatsClipAndSilenceNaN) {
    AudioData in;
    in.sampleRate = 48000;
    in.channels = 1;
    in.format = SampleFormat::Int16;
    in.samples = {1.5f, -1.5f, 1.0f, -1.0f, NAN};
    writeWav(path("c.wav"), in);
    AudioData out = readWav(path("c.wav"));
    EXPECT_FLOAT_EQ(out.samples[0], 32767.0f / 32768.0f);
    EXPECT_FLOAT_EQ(out.samples[1], -1.0f);
    EXPECT_FLOAT_EQ(out.samples[2], 32767.0f / 32768.0f);
    EXPECT_FLOAT_EQ(out.samples[3], -1.0f);
    EXPECT_FLOAT_EQ(out.samples[4], 0.0f);
}

TEST_F(WavTest, UsesTheExtensibleHeaderForManyChannelsAnd24Bit) {
    writeWav(path("a.wav"), ramp(2, SampleFormat::Int16, 4));
    writeWav(path("b.wav"), ramp(2, SampleFormat::Int24, 4));
    writeWav(path("c.wav"), ramp(8, SampleFormat::Float32, 4));
    auto tag = [&](const char* n) {
        auto b = bytesOf(path(n));
        return b[20] | b[21] << 8;
    };
    EXPECT_EQ(tag("a.wav"), 1);
    EXPECT_EQ(tag("b.wav"), 0xFFFE);
    EXPECT_EQ(tag("c.wav"), 0xFFFE);
}

TEST_F(WavTest, StreamingWriterAppendsAndAnUnfinishedFileStillReads) {
    {
        WavWriter w(path("s.wav"), 48000, 2, SampleFormat::Float32);
        SineGenerator g = SineGenerator::make(1000, -6, 48000);
        std::vector<float> block(2 * 256);
        for (int i = 0; i < 10; ++i) {
            g.fill(block.data(), 256, 2);
            w.write(block.data(), 256);
        }
        EXPECT_EQ(w.framesWritten(), 2560u);
        // the destructor finishes the file
    }
    EXPECT_EQ(readWav(path("s.wav")).frames(), 2560u);

    // A recorder that died before its header was finished: sizes still say "to the end",
    // and the last frame is incomplete.
    std::vector<uint8_t> b = bytesOf(path("s.wav"));
    for (size_t i : {4u, 5u, 6u, 7u}) b[i] = 0xFF;
    size_t dataSizeAt = b.size() - 2560 * 8 - 4;
    for (size_t i = 0; i < 4; ++i) b[dataSizeAt + i] = 0xFF;
    b.resize(b.size() - 3);
    AudioData cut = parseWav(b);
    EXPECT_EQ(cut.frames(), 2559u);
}

TEST_F(WavTest, SkipsUnknownChunksWithTheirPadding) {
    AudioData in = ramp(1, SampleFormat::Int16, 3);
    writeWav(path("x.wav"), in);
    std::vector<uint8_t> b = bytesOf(path("x.wav"));
    // Insert a 3-byte "LIST" chunk (padded to 4) between "fmt " and "data".
    std::vector<uint8_t> extra = {'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0};
    b.insert(b.begin() + 36, extra.begin(), extra.end());
    AudioData out = parseWav(b);
    ASSERT_EQ(out.frames(), 3u);
    EXPECT_NEAR(out.samples[2], in.samples[2], 1.0 / 32768);
}

TEST_F(WavTest, CorruptFilesGiveClearErrors) {
    writeWav(path("ok.wav"), ramp(2, SampleFormat::Int16, 8));
    const std::vector<uint8_t> good = bytesOf(path("ok.wav"));

    expectWavError(WavError::Code::NotWav, [] { parseWav({'R', 'I', 'F', 'F'}); });
    auto notWave = good;
    notWave[8] = 'X';
    expectWavError(WavError::Code::NotWav, [&] { parseWav(notWave); });

    auto cutInFormat = good;
    cutInFormat.resize(30);
    expectWavError(WavError::Code::Truncated, [&] { parseWav(cutInFormat); });

    auto noData = good;
    noData.resize(36);
    expectWavError(WavError::Code::NoData, [&] { parseWav(noData); });

    auto eightBit = good;
    eightBit[34] = 8;
    expectWavError(WavError::Code::UnsupportedFormat, [&] { parseWav(eightBit); });

    auto badAlign = good;
    badAlign[32] = 3;
    expectWavError(WavError::Code::BadFormatChunk, [&] { parseWav(badAlign); });

    auto noChannels = good;
    noChannels[22] = 0;
    expectWavError(WavError::Code::BadFormatChunk, [&] { parseWav(noChannels); });

    expectWavError(WavError::Code::CannotOpen, [&] { readWav(path("missing.wav")); });
}

TEST_F(WavTest, WriterRejectsBadParametersAndPaths) {
    expectWavError(WavError::Code::InvalidParameters,
                   [&] { WavWriter w(path("z.wav"), 48000, 0, SampleFormat::Int16); });
    expectWavError(WavError::Code::InvalidParameters,
                   [&] { WavWriter w(path("z.wav"), 0, 2, SampleFormat::Int16); });
    expectWavError(WavError::Code::CannotOpen,
                   [&] { WavWriter w(path("no/such/dir.wav"), 48000, 2, SampleFormat::Int16); });
    AudioData ragged = ramp(2, SampleFormat::Int16, 4);
    ragged.samples.pop_back();
    expectWavError(WavError::Code::InvalidParameters, [&] { writeWav(path("r.wav"), ragged); });
    WavWriter w(path("closed.wav"), 48000, 1, SampleFormat::Int16);
    w.close();
    float s = 0;
    expectWavError(WavError::Code::WriteFailed, [&] { w.write(&s, 1); });
}

}  // namespace
