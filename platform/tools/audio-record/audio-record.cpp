// audio-record: records an input device of the audio server for a duration into a WAV file
// and reports, per channel, the RMS level in dBFS and the dominant frequency.
#include "ToolClient.h"

#include <AudioClient/AudioServerStatus.h>

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/CommandLine.h>
#include <AudioToolsCommon/Wav.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace tidewell::tools;

namespace {

// The IO thread writes converted frames into a ring; the main thread drains it into the
// file, so a long recording never has to fit in memory and the IO thread does no I/O.
struct Recorder {
    std::vector<StreamLayout> streams;  // read-only once IO starts
    uint32_t channels = 0;
    uint64_t targetFrames = 0;
    uint64_t ringFrames = 0;
    std::vector<float> ring;                // ringFrames * channels, interleaved
    std::atomic<uint64_t> written{0};       // frames the IO thread has put in the ring
    std::atomic<uint64_t> read{0};          // frames the main thread has taken out
    std::atomic<uint64_t> dropped{0};       // frames lost because the ring was full
    std::atomic<bool> layoutMismatch{false};
    std::atomic<uint64_t> firstHostNanos{0};   // input time of the first recorded frame
};

// The IO proc: converts each input buffer into the ring. No allocation, lock or I/O.
OSStatus capture(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp* inputTime,
                 AudioBufferList*, const AudioTimeStamp*, void* context) {
    auto* r = static_cast<Recorder*>(context);
    uint64_t at = r->written.load(std::memory_order_relaxed);
    if (in == nullptr || at >= r->targetFrames) return 0;
    if (in->mNumberBuffers != r->streams.size()) {
        r->layoutMismatch.store(true, std::memory_order_relaxed);
        return 0;
    }
    // The cycle's frame count: the smallest any buffer holds.
    size_t frames = SIZE_MAX;
    for (UInt32 b = 0; b < in->mNumberBuffers; ++b) {
        const StreamLayout& s = r->streams[b];
        if (in->mBuffers[b].mNumberChannels != s.channels || s.channels == 0) {
            r->layoutMismatch.store(true, std::memory_order_relaxed);
            return 0;
        }
        frames = std::min<size_t>(frames, in->mBuffers[b].mDataByteSize / (s.bytesPerSample * s.channels));
    }
    size_t n = static_cast<size_t>(std::min<uint64_t>(frames, r->targetFrames - at));
    uint64_t free = r->ringFrames - (at - r->read.load(std::memory_order_acquire));
    if (n > free) {
        r->dropped.fetch_add(n, std::memory_order_relaxed);
        return 0;
    }
    if (at == 0 && n > 0 && inputTime != nullptr && (inputTime->mFlags & kAudioTimeStampHostTimeValid) != 0)
        r->firstHostNanos.store(AudioConvertHostTimeToNanos(inputTime->mHostTime), std::memory_order_relaxed);
    uint32_t firstChannel = 0;
    for (UInt32 b = 0; b < in->mNumberBuffers; ++b) {
        const StreamLayout& s = r->streams[b];
        auto* src = static_cast<const uint8_t*>(in->mBuffers[b].mData);
        for (size_t i = 0; i < n; ++i) {
            float* frame = &r->ring[((at + i) % r->ringFrames) * r->channels + firstChannel];
            for (uint32_t c = 0; c < s.channels; ++c)
                frame[c] = src ? sampleAt(src + (i * s.channels + c) * s.bytesPerSample, s) : 0.0f;
        }
        firstChannel += s.channels;
    }
    r->written.store(at + n, std::memory_order_release);
    return 0;
}

// Takes recorded frames out of the ring into the file and the running measurements.
class Drain {
public:
    Drain(Recorder& r, WavWriter& w, double rate)
        : r_(r), w_(w), sumSquares_(r.channels, 0.0), peak_(r.channels, 0.0),
          keepFrames_(static_cast<uint64_t>(rate * 4)) {
        kept_.sampleRate = static_cast<uint32_t>(std::lround(rate));
        kept_.channels = r.channels;
    }

    void run() {
        uint64_t from = r_.read.load(std::memory_order_relaxed);
        uint64_t to = r_.written.load(std::memory_order_acquire);
        std::vector<float> chunk;
        while (from < to) {
            uint64_t start = from % r_.ringFrames;
            uint64_t n = std::min(to - from, r_.ringFrames - start);
            const float* p = &r_.ring[start * r_.channels];
            chunk.assign(p, p + n * r_.channels);
            r_.read.store(from + n, std::memory_order_release);  // the ring space is free again
            consume(chunk, n);
            from += n;
        }
    }

    uint64_t frames() const { return frames_; }

    std::vector<ChannelReport> report() const {
        std::vector<ChannelReport> out(r_.channels);
        for (uint32_t c = 0; c < r_.channels; ++c) {
            double rms = frames_ ? std::sqrt(sumSquares_[c] / static_cast<double>(frames_)) : 0.0;
            out[c].rmsDbfs = amplitudeToDbfs(rms * std::sqrt(2.0));
            out[c].peakDbfs = amplitudeToDbfs(peak_[c]);
            out[c].dominantHz = dominantFrequency(kept_.samples.data(), kept_.frames(), r_.channels, c, kept_.sampleRate);
        }
        return out;
    }

private:
    void consume(const std::vector<float>& chunk, uint64_t n) {
        w_.write(chunk.data(), n);
        for (uint64_t i = 0; i < n; ++i)
            for (uint32_t c = 0; c < r_.channels; ++c) {
                double v = chunk[i * r_.channels + c];
                sumSquares_[c] += v * v;
                peak_[c] = std::max(peak_[c], std::fabs(v));
            }
        // The frequency is measured on the first seconds; more adds nothing but work.
        uint64_t keep = std::min<uint64_t>(n, keepFrames_ - std::min(keepFrames_, kept_.frames()));
        kept_.samples.insert(kept_.samples.end(), chunk.begin(), chunk.begin() + static_cast<long>(keep * r_.channels));
        frames_ += n;
    }

    Recorder& r_;
    WavWriter& w_;
    std::vector<double> sumSquares_;
    std::vector<double> peak_;
    uint64_t keepFrames_;
    AudioData kept_;
    uint64_t frames_ = 0;
};

const ToolCommand kTool{
    "audio-record",
    "usage: audio-record [--device UID] [--duration SECONDS] [--format int16|int24|float32]\n"
    "                    [--bundle-id ID] --output FILE.wav\n"
    "Records an input device (default: the default input device) for a duration\n"
    "(default 1 s) into a WAV file (default 32-bit float), then prints per channel\n"
    "its RMS level in dBFS (a full-scale sine reads 0) and its dominant frequency.\n"};

int fail(const std::string& message) { return kTool.fail(message); }

}  // namespace

int main(int argc, char** argv) {
    std::string deviceUID, output, bundleID;
    double duration = 1.0;
    SampleFormat format = SampleFormat::Float32;
    auto parsed = kTool.parse(argc, argv, [&](const std::string& a, const char* value) -> std::optional<int> {
        std::string v = value;
        if (a == "--device") {
            deviceUID = v;
        } else if (a == "--output" || a == "-o") {
            output = v;
        } else if (a == "--bundle-id") {
            bundleID = v;
        } else if (a == "--format") {
            if (v == "int16") format = SampleFormat::Int16;
            else if (v == "int24") format = SampleFormat::Int24;
            else if (v == "float32") format = SampleFormat::Float32;
            else return fail("--format is int16, int24 or float32");
        } else if (a == "--duration") {
            auto n = parseNumber(v.c_str());
            if (!n || *n <= 0 || *n > 86400) return fail("--duration needs a number of seconds above 0, at most 86400");
            duration = *n;
        } else {
            return kTool.usageError();
        }
        return std::nullopt;
    });
    if (parsed) return *parsed;
    if (output.empty()) return kTool.usageError();
    if (!bundleID.empty()) setenv("AUDIOSERVER_BUNDLE_ID", bundleID.c_str(), 1);

    std::string error;
    auto device = findDevice(deviceUID, true, error);
    if (!device) return fail(error);

    // Open the file first: a bad path is reported before anything is recorded.
    std::unique_ptr<WavWriter> writer;
    try {
        writer = std::make_unique<WavWriter>(output, static_cast<uint32_t>(std::lround(device->sampleRate)),
                                             device->totalChannels(), format);
    } catch (const WavError& e) {
        return fail(output + ": " + e.what());
    }

    auto recorder = std::make_unique<Recorder>();
    recorder->streams = device->streams;
    recorder->channels = device->totalChannels();
    recorder->targetFrames = static_cast<uint64_t>(std::llround(duration * device->sampleRate));
    // Two seconds of slack between the IO thread and the file.
    recorder->ringFrames = static_cast<uint64_t>(device->sampleRate * 2) + 8192;
    recorder->ring.assign(recorder->ringFrames * recorder->channels, 0.0f);
    Drain drain(*recorder, *writer, device->sampleRate);

    installStopSignals();

    AudioDeviceIOProcID procID = nullptr;
    if (!startIOProc(device->id, capture, recorder.get(), procID, error)) return fail(error);
    std::printf("audio-record: recording %s (%u channels at %.0f Hz) for %.3f s\n", device->uid.c_str(),
                recorder->channels, device->sampleRate, duration);
    std::fflush(stdout);

    auto start = std::chrono::steady_clock::now();
    int status = 0;
    try {
        while (!stopRequested() && drain.frames() < recorder->targetFrames) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            drain.run();
            double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (elapsed > duration + 10) {
                status = fail(AudioServerAnswers() ? std::string("the device stopped delivering audio") : AudioServerMissingMessage());
                break;
            }
        }
    } catch (const WavError& e) {
        AudioDeviceStop(device->id, procID);
        AudioDeviceDestroyIOProcID(device->id, procID);
        return fail(output + ": " + e.what());
    }
    OSStatus st = AudioDeviceStop(device->id, procID);
    AudioDeviceDestroyIOProcID(device->id, procID);
    if (recorder->layoutMismatch.load())
        status = fail("the device's input buffers did not match its stream configuration");
    if (uint64_t lost = recorder->dropped.load())
        status = fail(std::to_string(lost) + " frames were lost because the file could not keep up");
    if (st != 0) status = fail(failure("AudioDeviceStop failed", st));

    // Whatever was recorded is kept, even when recording ended early.
    try {
        drain.run();
        writer->close();
    } catch (const WavError& e) {
        return fail(output + ": " + e.what());
    }
    std::printf("audio-record: wrote %llu frames to %s\n", static_cast<unsigned long long>(drain.frames()),
                output.c_str());
    // Where the recording sits on the host clock, for a latency measured against another device.
    if (uint64_t first = recorder->firstHostNanos.load())
        std::printf("audio-record: first frame captured at host time %llu ns\n", static_cast<unsigned long long>(first));
    auto reports = drain.report();
    for (size_t c = 0; c < reports.size(); ++c)
        std::printf("channel %zu: rms %.2f dBFS, peak %.2f dBFS, frequency %.2f Hz\n", c + 1, reports[c].rmsDbfs,
                    reports[c].peakDbfs, reports[c].dominantHz);
    return status;
}
