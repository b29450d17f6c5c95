// WAV files: 16-bit and 24-bit integer and 32-bit float samples, any channel count.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace tidewell::tools {

enum class SampleFormat { Int16, Int24, Float32 };

// Audio in memory: interleaved float samples, nominally in [-1, 1].
struct AudioData {
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    SampleFormat format = SampleFormat::Float32;  // the format it was read from / is to be written in
    std::vector<float> samples;

    size_t frames() const { return channels ? samples.size() / channels : 0; }
    bool operator==(const AudioData&) const = default;
};

class WavError : public std::exception {
public:
    enum class Code {
        CannotOpen,
        NotWav,
        Truncated,
        BadFormatChunk,
        UnsupportedFormat,
        NoData,
        InvalidParameters,
        TooLarge,
        WriteFailed,
    };
    explicit WavError(Code code) : code_(code) {}
    Code code() const { return code_; }
    const char* what() const noexcept override;

private:
    Code code_;
};

// Reads a whole file. A data chunk whose size runs past the end of the file (a recording
// that was cut off before its header was finished) yields the whole frames present.
AudioData readWav(const std::string& path);
AudioData parseWav(const std::vector<uint8_t>& bytes);

// Writes a whole file in data.format. Samples outside [-1, 1] are clipped for integer formats.
void writeWav(const std::string& path, const AudioData& data);

// Writes a file as audio arrives. Until close() the header says "to the end of the file",
// so a file cut off by a crash still reads back. Not for audio threads: it does I/O.
class WavWriter {
public:
    WavWriter(const std::string& path, uint32_t sampleRate, uint32_t channels, SampleFormat format);
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    void write(const float* interleaved, size_t frames);
    // Fills in the sizes and closes the file; further writes are errors.
    void close();
    uint64_t framesWritten() const { return frames_; }

private:
    void finish();
    FILE* file_ = nullptr;
    uint32_t channels_;
    SampleFormat format_;
    uint64_t frames_ = 0;
    std::vector<uint8_t> scratch_;
};

uint32_t bytesPerSample(SampleFormat format);

}  // namespace tidewell::tools
