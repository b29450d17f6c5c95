#include <AudioToolsCommon/Wav.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tidewell::tools {

namespace {

constexpr uint16_t kFormatPCM = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// The tail shared by the sub-format identifiers of extensible PCM and float files.
constexpr uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// Placeholder size meaning "up to the end of the file" while a writer is still open.
constexpr uint32_t kOpenSize = 0xFFFFFFFFu;

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
// A header is at most 80 bytes; a fixed buffer keeps it simple (and clear of GCC 12's
// false overflow warnings about growing an empty vector).
struct HeaderBytes {
    uint8_t bytes[80];
    size_t size = 0;
    const uint8_t* data() const { return bytes; }
};
void put16(HeaderBytes& out, uint16_t v) {
    out.bytes[out.size++] = static_cast<uint8_t>(v);
    out.bytes[out.size++] = static_cast<uint8_t>(v >> 8);
}
void put32(HeaderBytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.bytes[out.size++] = static_cast<uint8_t>(v >> (8 * i));
}
void putTag(HeaderBytes& out, const char* tag) {
    std::memcpy(out.bytes + out.size, tag, 4);
    out.size += 4;
}

int32_t quantise(float x, double scale, int32_t lo, int32_t hi) {
    if (std::isnan(x)) return 0;
    double v = std::nearbyint(static_cast<double>(x) * scale);
    return static_cast<int32_t>(std::clamp(v, static_cast<double>(lo), static_cast<double>(hi)));
}

// Encodes interleaved floats into little-endian sample bytes.
void encode(const float* in, size_t count, SampleFormat format, uint8_t* out) {
    for (size_t i = 0; i < count; ++i) {
        switch (format) {
        case SampleFormat::Int16: {
            int32_t v = quantise(in[i], 32768.0, -32768, 32767);
            out[0] = static_cast<uint8_t>(v);
            out[1] = static_cast<uint8_t>(v >> 8);
            out += 2;
            break;
        }
        case SampleFormat::Int24: {
            int32_t v = quantise(in[i], 8388608.0, -8388608, 8388607);
            out[0] = static_cast<uint8_t>(v);
            out[1] = static_cast<uint8_t>(v >> 8);
            out[2] = static_cast<uint8_t>(v >> 16);
            out += 3;
            break;
        }
        case SampleFormat::Float32:
            std::memcpy(out, &in[i], 4);
            out += 4;
            break;
        }
    }
}

float decode(const uint8_t* p, SampleFormat format) {
    switch (format) {
    case SampleFormat::Int16:
        return static_cast<float>(static_cast<int16_t>(get16(p)) / 32768.0);
    case SampleFormat::Int24: {
        int32_t v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                                         static_cast<uint32_t>(p[2]) << 24) >> 8;
        return static_cast<float>(v / 8388608.0);
    }
    case SampleFormat::Float32: {
        float f;
        std::memcpy(&f, p, 4);
        return f;
    }
    }
    return 0;
}

HeaderBytes header(uint32_t rate, uint32_t channels, SampleFormat format, uint32_t dataSize,
                   uint32_t riffSize) {
    uint32_t bps = bytesPerSample(format);
    bool isFloat = format == SampleFormat::Float32;
    // The extensible form is the one readers expect for more than two channels or for
    // sample sizes other than 16 bits of PCM.
    bool extensible = channels > 2 || format == SampleFormat::Int24;
    HeaderBytes h;
    putTag(h, "RIFF");
    put32(h, riffSize);
    putTag(h, "WAVE");
    putTag(h, "fmt ");
    put32(h, extensible ? 40 : isFloat ? 18 : 16);
    put16(h, extensible ? kFormatExtensible : isFloat ? kFormatFloat : kFormatPCM);
    put16(h, static_cast<uint16_t>(channels));
    put32(h, rate);
    put32(h, rate * channels * bps);
    put16(h, static_cast<uint16_t>(channels * bps));
    put16(h, static_cast<uint16_t>(bps * 8));
    if (extensible) {
        put16(h, 22);
        put16(h, static_cast<uint16_t>(bps * 8));
        put32(h, channels <= 18 ? (1u << channels) - 1 : 0);  // front left, front right, ...
        put16(h, isFloat ? kFormatFloat : kFormatPCM);
        std::memcpy(h.bytes + h.size, kSubFormatTail, sizeof kSubFormatTail);
        h.size += sizeof kSubFormatTail;
    } else if (isFloat) {
        put16(h, 0);
    }
    putTag(h, "data");
    put32(h, dataSize);
    return h;
}

void checkParameters(uint32_t rate, uint32_t channels) {
    // The header stores the byte rate and block size in 32 and 16 bits.
    if (rate == 0 || channels == 0 || channels > 1024 || rate > 1000000)
        throw WavError(WavError::Code::InvalidParameters);
}

}  // namespace

const char* WavError::what() const noexcept {
    switch (code_) {
    case Code::CannotOpen: return "The WAV file cannot be opened.";
    case Code::NotWav: return "The file is not a RIFF WAVE file.";
    case Code::Truncated: return "The WAV file is truncated.";
    case Code::BadFormatChunk: return "The WAV file's format chunk is invalid.";
    case Code::UnsupportedFormat: return "The WAV file's sample format is not supported (16-bit or 24-bit integer, or 32-bit float).";
    case Code::NoData: return "The WAV file has no format or data chunk.";
    case Code::InvalidParameters: return "The sample rate or channel count is invalid.";
    case Code::TooLarge: return "The audio does not fit in a WAV file (4 GiB at most).";
    case Code::WriteFailed: return "The WAV file cannot be written.";
    }
    return "WAV error.";
}

uint32_t bytesPerSample(SampleFormat format) {
    switch (format) {
    case SampleFormat::Int16: return 2;
    case SampleFormat::Int24: return 3;
    case SampleFormat::Float32: return 4;
    }
    return 4;
}

AudioData parseWav(const std::vector<uint8_t>& bytes) {
    const size_t n = bytes.size();
    if (n < 12) throw WavError(WavError::Code::NotWav);
    if (std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        throw WavError(WavError::Code::NotWav);
    AudioData out;
    bool haveFormat = false;
    size_t pos = 12;
    while (pos + 8 <= n) {
        const uint8_t* chunk = bytes.data() + pos;
        uint64_t size = get32(chunk + 4);
        size_t body = pos + 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16) throw WavError(WavError::Code::BadFormatChunk);
            if (body + size > n) throw WavError(WavError::Code::Truncated);
            const uint8_t* f = bytes.data() + body;
            uint16_t tag = get16(f);
            uint16_t channels = get16(f + 2);
            uint32_t rate = get32(f + 4);
            uint16_t blockAlign = get16(f + 12);
            uint16_t bits = get16(f + 14);
            if (tag == kFormatExtensible) {
                if (size < 40) throw WavError(WavError::Code::BadFormatChunk);
                tag = get16(f + 24);
                if (std::memcmp(f + 26, kSubFormatTail, sizeof kSubFormatTail) != 0)
                    throw WavError(WavError::Code::UnsupportedFormat);
            }
            if (channels == 0 || rate == 0) throw WavError(WavError::Code::BadFormatChunk);
            if (tag == kFormatPCM && bits == 16) out.format = SampleFormat::Int16;
            else if (tag == kFormatPCM && bits == 24) out.format = SampleFormat::Int24;
            else if (tag == kFormatFloat && bits == 32) out.format = SampleFormat::Float32;
            else throw WavError(WavError::Code::UnsupportedFormat);
            if (blockAlign != channels * bytesPerSample(out.format))
                throw WavError(WavError::Code::BadFormatChunk);
            out.channels = channels;
            out.sampleRate = rate;
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) throw WavError(WavError::Code::NoData);
            // A size past the end marks a recording whose header was never finished.
            uint64_t available = n - body;
            uint64_t length = std::min<uint64_t>(size, available);
            uint64_t frameBytes = uint64_t{out.channels} * bytesPerSample(out.format);
            uint64_t frames = length / frameBytes;
            out.samples.resize(frames * out.channels);
            const uint8_t* p = bytes.data() + body;
            uint32_t bps = bytesPerSample(out.format);
            for (size_t i = 0; i < out.samples.size(); ++i, p += bps) out.samples[i] = decode(p, out.format);
            return out;
        }
        pos = body + size + (size & 1);  // chunks are padded to even sizes
    }
    throw WavError(pos != n ? WavError::Code::Truncated : WavError::Code::NoData);
}

AudioData readWav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw WavError(WavError::Code::CannotOpen);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw WavError(WavError::Code::CannotOpen);
    return parseWav(bytes);
}

void writeWav(const std::string& path, const AudioData& data) {
    checkParameters(data.sampleRate, data.channels);
    if (data.samples.size() % data.channels != 0) throw WavError(WavError::Code::InvalidParameters);
    WavWriter writer(path, data.sampleRate, data.channels, data.format);
    writer.write(data.samples.data(), data.frames());
    writer.close();
}

WavWriter::WavWriter(const std::string& path, uint32_t sampleRate, uint32_t channels, SampleFormat format)
    : channels_(channels), format_(format) {
    checkParameters(sampleRate, channels);
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) throw WavError(WavError::Code::CannotOpen);
    HeaderBytes h = header(sampleRate, channels, format, kOpenSize, kOpenSize);
    if (std::fwrite(h.data(), 1, h.size, file_) != h.size) {
        std::fclose(file_);
        file_ = nullptr;
        throw WavError(WavError::Code::WriteFailed);
    }
}

WavWriter::~WavWriter() {
    if (file_ == nullptr) return;
    try {
        finish();
    } catch (const WavError&) {
        // A destructor cannot report; the data written so far stays readable.
    }
}

void WavWriter::write(const float* interleaved, size_t frames) {
    if (file_ == nullptr) throw WavError(WavError::Code::WriteFailed);
    size_t frameBytes = size_t{channels_} * bytesPerSample(format_);
    size_t headerBytes = format_ == SampleFormat::Float32 || channels_ > 2 ? 80 : 44;
    if ((frames_ + frames) * frameBytes + headerBytes > 0xFFFFFFFEull)
        throw WavError(WavError::Code::TooLarge);
    scratch_.resize(frames * frameBytes);
    encode(interleaved, frames * channels_, format_, scratch_.data());
    if (std::fwrite(scratch_.data(), 1, scratch_.size(), file_) != scratch_.size())
        throw WavError(WavError::Code::WriteFailed);
    frames_ += frames;
}

void WavWriter::close() {
    if (file_ == nullptr) throw WavError(WavError::Code::WriteFailed);
    finish();
}

void WavWriter::finish() {
    FILE* f = file_;
    file_ = nullptr;
    uint64_t dataBytes = frames_ * channels_ * bytesPerSample(format_);
    bool ok = true;
    long headerEnd = 0;
    if (std::fflush(f) != 0 || (headerEnd = std::ftell(f)) < 0) ok = false;
    if (ok && (dataBytes & 1)) ok = std::fputc(0, f) != EOF;  // pad to an even chunk size
    if (ok) {
        uint64_t headerSize = static_cast<uint64_t>(headerEnd) - dataBytes;
        uint32_t riffSize = static_cast<uint32_t>(headerSize - 8 + dataBytes + (dataBytes & 1));
        uint8_t buf[4];
        for (int i = 0; i < 4; ++i) buf[i] = static_cast<uint8_t>(riffSize >> (8 * i));
        ok = std::fseek(f, 4, SEEK_SET) == 0 && std::fwrite(buf, 1, 4, f) == 4;
        uint32_t d = static_cast<uint32_t>(dataBytes);
        for (int i = 0; i < 4; ++i) buf[i] = static_cast<uint8_t>(d >> (8 * i));
        ok = ok && std::fseek(f, static_cast<long>(headerSize) - 4, SEEK_SET) == 0 &&
             std::fwrite(buf, 1, 4, f) == 4;
    }
    if (std::fclose(f) != 0) ok = false;
    if (!ok) throw WavError(WavError::Code::WriteFailed);
}

}  // namespace tidewell::tools
