#include "Engine.h"

#include <AudioToolsCommon/Wav.h>
#include <CoreFoundation/HostClock.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace audioserver {

using audioproto::IOBlockHeader;
using audioproto::kMaxIOFrames;

uint32_t BytesPerSample(SampleFormat f) {
    switch (f) {
    case SampleFormat::Int24: return 3;
    case SampleFormat::Int16: return 2;
    case SampleFormat::Float32: break;
    }
    return 4;
}

AudioStreamBasicDescription MakeFormat(double rate, uint32_t channels, SampleFormat f) {
    AudioStreamBasicDescription d{};
    d.mSampleRate = rate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = f == SampleFormat::Float32 ? (kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked)
                                                : (kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked);
    d.mBytesPerFrame = BytesPerSample(f) * channels;
    d.mBytesPerPacket = d.mBytesPerFrame;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = channels;
    d.mBitsPerChannel = BytesPerSample(f) * 8;
    return d;
}

uint32_t EngineDevice::inputChannels() const {
    uint32_t n = 0;
    for (const auto& s : inputs) n += s.channels;
    return n;
}

uint32_t EngineDevice::outputChannels() const {
    uint32_t n = 0;
    for (const auto& s : outputs) n += s.channels;
    return n;
}

EngineClient::~EngineClient() {
    if (mapping) munmap(mapping, size);
    if (memfd >= 0) close(memfd);
}

bool ComputeBlockLayout(const EngineDevice& dev, BlockLayout& out) {
    out = BlockLayout{};
    if (dev.inputs.size() > audioproto::kMaxIOStreams || dev.outputs.size() > audioproto::kMaxIOStreams) return false;
    uint32_t offset = static_cast<uint32_t>((sizeof(IOBlockHeader) + 63) & ~size_t(63));
    out.inputCount = static_cast<uint32_t>(dev.inputs.size());
    for (size_t i = 0; i < dev.inputs.size(); ++i) {
        auto& l = out.inputs[i];
        l.channels = dev.inputs[i].channels;
        l.bytesPerFrame = BytesPerSample(dev.inputs[i].format) * l.channels;
        l.offset = offset;
        offset += kMaxIOFrames * 4 * l.channels;
    }
    out.outputCount = static_cast<uint32_t>(dev.outputs.size());
    for (size_t i = 0; i < dev.outputs.size(); ++i) {
        auto& l = out.outputs[i];
        l.channels = dev.outputs[i].channels;
        l.bytesPerFrame = 4 * l.channels;
        l.offset = offset;
        offset += kMaxIOFrames * 4 * l.channels;
    }
    out.bytes = audioproto::IOBlockSize(dev.inputChannels(), dev.outputChannels());
    return true;
}

// Writes a layout into a block's header; the block's client must be idle.
static void WriteLayout(IOBlockHeader* h, const BlockLayout& l) {
    h->inputStreamCount = l.inputCount;
    h->outputStreamCount = l.outputCount;
    std::memcpy(h->inputs, l.inputs, sizeof(l.inputs));
    std::memcpy(h->outputs, l.outputs, sizeof(l.outputs));
}

std::shared_ptr<EngineClient> CreateEngineClient(const EngineDevice& dev, uint32_t clientID, pid_t pid) {
    BlockLayout layout;
    if (!ComputeBlockLayout(dev, layout)) return nullptr;
    auto c = std::make_shared<EngineClient>();
    c->clientID = clientID;
    c->pid = pid;
    c->size = audioproto::IOBlockSize(std::max(dev.inputChannels(), dev.reservedInputChannels),
                                      std::max(dev.outputChannels(), dev.reservedOutputChannels));
    c->memfd = memfd_create("audioserver-io", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (c->memfd < 0) return nullptr;
    if (ftruncate(c->memfd, c->size) != 0) return nullptr;
    // The client gets the descriptor itself. Sealed at its size, the block cannot be cut
    // under the IO thread's mapping (which would fault there) nor grown, and the seals cannot
    // be taken off; the client still maps it to read and write.
    if (fcntl(c->memfd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) return nullptr;
    c->mapping = mmap(nullptr, c->size, PROT_READ | PROT_WRITE, MAP_SHARED, c->memfd, 0);
    if (c->mapping == MAP_FAILED) {
        c->mapping = nullptr;
        return nullptr;
    }
    auto* h = new (c->mapping) IOBlockHeader{};
    c->header = h;
    h->magic = audioproto::kIOBlockMagic;
    h->version = audioproto::kIOBlockVersion;
    h->totalBytes = c->size;
    WriteLayout(h, layout);
    return c;
}

// ---- capture ---------------------------------------------------------------------------

// A single-producer single-consumer ring from the IO thread to a writer thread that
// streams a float WAV file. The IO thread only copies into the ring; all file work is on
// the writer thread.
struct CaptureSink {
    CaptureSink(const std::string& path, uint32_t ch, double rate)
        : wav(path, static_cast<uint32_t>(rate), ch, tidewell::tools::SampleFormat::Float32),
          channels(ch),
          ring(size_t(std::max(1.0, rate)) * 4 * std::max(1u, ch)) {}

    tidewell::tools::WavWriter wav;
    uint32_t channels;
    std::vector<float> ring;  // a whole number of frames long
    std::atomic<uint64_t> writePos{0};
    std::atomic<uint64_t> readPos{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<bool> finish{false};
    std::atomic<uint64_t> firstHostNanos{0};   // output time of the first captured frame
    std::thread writer;

    void push(const float* samples, size_t count, uint64_t hostNanos) {
        uint64_t w = writePos.load(std::memory_order_relaxed);
        if (w == 0 && count > 0) firstHostNanos.store(hostNanos, std::memory_order_relaxed);
        uint64_t r = readPos.load(std::memory_order_acquire);
        if (ring.size() - (w - r) < count) {
            dropped.fetch_add(count / std::max(1u, channels), std::memory_order_relaxed);
            return;
        }
        for (size_t i = 0; i < count; ++i) ring[(w + i) % ring.size()] = samples[i];
        writePos.store(w + count, std::memory_order_release);
    }

    void drain() {
        uint64_t r = readPos.load(std::memory_order_relaxed);
        uint64_t w = writePos.load(std::memory_order_acquire);
        while (r < w) {
            size_t at = r % ring.size();
            size_t n = static_cast<size_t>(std::min<uint64_t>(w - r, ring.size() - at));
            wav.write(ring.data() + at, n / channels);
            r += n;
        }
        readPos.store(r, std::memory_order_release);
    }

    void start() {
        writer = std::thread([this] {
            try {
                while (!finish.load(std::memory_order_acquire)) {
                    drain();
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
                drain();
                wav.close();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "audioserverd: capture: %s\n", e.what());
            }
        });
    }

    void end() {
        finish.store(true, std::memory_order_release);
        if (writer.joinable()) writer.join();
    }
};

// ---- engine ----------------------------------------------------------------------------

DeviceEngine::DeviceEngine(EngineDevice& device) : device_(device) {
    allocateBuffers();
    clients_.store(new ClientSet);
}

// Control side, with no IO thread running.
void DeviceEngine::allocateBuffers() {
    layoutValid_ = ComputeBlockLayout(device_, layout_);
    inputScratch_.clear();
    for (const auto& s : device_.inputs) inputScratch_.emplace_back(size_t(kMaxIOFrames) * 4 * s.channels);
    mix_.assign(size_t(kMaxIOFrames) * device_.outputChannels(), 0.0f);
    tapScratch_.assign(size_t(kMaxIOFrames) * 2, 0.0f);
    uint32_t inCh = device_.inputChannels();
    phase_.assign(inCh, 0.0);
    samplePos_.assign(inCh, 0);
    // Signals keep their channels; channels the device gained are silent.
    auto* sig = signals_.load() ? new SignalSet(*signals_.load()) : new SignalSet;
    sig->channels.resize(inCh);
    delete signals_.exchange(sig);
}

DeviceEngine::~DeviceEngine() {
    stopCapture();
    {
        std::lock_guard<std::mutex> lock(controlMutex_);
        auto* old = clients_.exchange(new ClientSet);
        delete old;
        updateRunning();
    }
    delete clients_.exchange(nullptr);
    delete signals_.exchange(nullptr);
    delete taps_.exchange(nullptr);
    delete tapInput_.exchange(nullptr);
}

void DeviceEngine::waitForQuiescence() {
    if (!thread_.joinable()) return;
    uint64_t seen = quiescent_.load();
    // The IO thread passes the top of its loop at least once per period (at most ~0.1 s
    // at the largest buffer and lowest rate); wait for it to pass once more.
    while (quiescent_.load() == seen && !stop_.load()) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void DeviceEngine::updateRunning() {
    const ClientSet* set = clients_.load();
    bool want = !paused_ && ((set && !set->clients.empty()) || capture_.load() != nullptr);
    if (want && !thread_.joinable()) {
        stop_.store(false);
        thread_ = std::thread([this, resuming = resuming_] { run(resuming); });
        resuming_ = false;
        running_.store(true);
    } else if (!want && thread_.joinable()) {
        stop_.store(true);
        thread_.join();
        running_.store(paused_);  // a paused device still counts as running
    }
}

void DeviceEngine::pause() {
    std::lock_guard<std::mutex> lock(controlMutex_);
    paused_ = true;
    resuming_ = resuming_ || thread_.joinable();
    updateRunning();  // joins the IO thread once its cycle is done
}

void DeviceEngine::resume(const std::function<void(EngineDevice&)>& change) {
    std::lock_guard<std::mutex> lock(controlMutex_);
    if (change) change(device_);
    allocateBuffers();
    paused_ = false;
    updateRunning();
    if (!thread_.joinable()) {
        running_.store(false);
        resuming_ = false;  // nothing to run for: the next start begins a new timeline
    }
}

void DeviceEngine::addClient(const std::shared_ptr<EngineClient>& client) {
    std::lock_guard<std::mutex> lock(controlMutex_);
    const ClientSet* cur = clients_.load();
    auto* next = new ClientSet(*cur);
    client->posted = client->header->serverSeq.load();
    next->clients.push_back(client.get());
    next->owners.push_back(client);
    auto* old = clients_.exchange(next);
    waitForQuiescence();
    delete old;
    updateRunning();
}

void DeviceEngine::removeClient(const EngineClient* client) {
    std::lock_guard<std::mutex> lock(controlMutex_);
    const ClientSet* cur = clients_.load();
    auto* next = new ClientSet;
    for (size_t i = 0; i < cur->clients.size(); ++i) {
        if (cur->clients[i] == client) continue;
        next->clients.push_back(cur->clients[i]);
        next->owners.push_back(cur->owners[i]);
    }
    auto* old = clients_.exchange(next);
    waitForQuiescence();
    delete old;
    updateRunning();
}

void DeviceEngine::removeAllClients() {
    std::lock_guard<std::mutex> lock(controlMutex_);
    auto* old = clients_.exchange(new ClientSet);
    waitForQuiescence();
    delete old;
    updateRunning();
}

void DeviceEngine::setSignal(int channel, const ChannelSignal& signal) {
    std::lock_guard<std::mutex> lock(controlMutex_);
    auto* next = new SignalSet(*signals_.load());
    for (size_t c = 0; c < next->channels.size(); ++c)
        if (channel < 0 || size_t(channel) == c) next->channels[c] = signal;
    auto* old = signals_.exchange(next);
    waitForQuiescence();
    delete old;
}

bool DeviceEngine::startCapture(const std::string& path, std::string& error) {
    std::lock_guard<std::mutex> lock(controlMutex_);
    std::unique_ptr<CaptureSink> sink;
    try {
        sink = std::make_unique<CaptureSink>(path, device_.outputChannels(), device_.nominalRate.load());
    } catch (const std::exception& e) {
        error = "cannot capture to " + path + ": " + e.what();
        return false;
    }
    if (capture_.load()) {
        auto* old = capture_.exchange(nullptr);
        waitForQuiescence();
        old->end();
        captureOwner_.reset();
    }
    captureOwner_ = std::move(sink);
    captureOwner_->start();
    capture_.store(captureOwner_.get());
    updateRunning();
    return true;
}

bool DeviceEngine::stopCapture(uint64_t* firstHostNanos) {
    std::lock_guard<std::mutex> lock(controlMutex_);
    auto* old = capture_.exchange(nullptr);
    if (!old) return false;
    waitForQuiescence();
    old->end();
    if (firstHostNanos) *firstHostNanos = old->firstHostNanos.load();
    captureOwner_.reset();
    updateRunning();
    return true;
}

void DeviceEngine::setTaps(std::unique_ptr<TapFeedSet> taps) {
    std::lock_guard<std::mutex> lock(controlMutex_);
    auto* old = taps_.exchange(taps.release());
    waitForQuiescence();
    delete old;
}

void DeviceEngine::setTapInput(std::unique_ptr<TapInputSet> input) {
    std::lock_guard<std::mutex> lock(controlMutex_);
    auto* old = tapInput_.exchange(input.release());
    waitForQuiescence();
    delete old;
}

EngineCounters DeviceEngine::counters() const {
    EngineCounters c;
    c.cycles = cycles_.load();
    c.lateClientCycles = late_.load();
    c.stalledCycles = stalled_.load();
    c.captureDroppedFrames = captureDropped_.load();
    return c;
}

static void WriteSample(uint8_t* p, SampleFormat f, float v) {
    v = std::clamp(v, -1.0f, 1.0f);
    switch (f) {
    case SampleFormat::Float32: std::memcpy(p, &v, 4); break;
    case SampleFormat::Int24: {
        auto s = static_cast<int32_t>(std::lrint(v * 8388607.0f));
        p[0] = static_cast<uint8_t>(s & 0xFF);
        p[1] = static_cast<uint8_t>((s >> 8) & 0xFF);
        p[2] = static_cast<uint8_t>((s >> 16) & 0xFF);
        break;
    }
    case SampleFormat::Int16: {
        auto s = static_cast<int16_t>(std::lrint(v * 32767.0f));
        std::memcpy(p, &s, 2);
        break;
    }
    }
}

void DeviceEngine::produceInput(uint32_t frames, double rate, const SignalSet* signals) {
    size_t ch = 0;
    for (size_t s = 0; s < device_.inputs.size(); ++s) {
        const StreamSpec& desc = device_.inputs[s];
        uint32_t bps = BytesPerSample(desc.format);
        uint8_t* base = inputScratch_[s].data();
        bool silent = true;
        for (uint32_t c = 0; c < desc.channels; ++c) silent = silent && signals->channels[ch + c].type == SignalType::Silence;
        if (silent) {
            std::memset(base, 0, size_t(frames) * desc.channels * bps);
            ch += desc.channels;
            continue;
        }
        for (uint32_t c = 0; c < desc.channels; ++c, ++ch) {
            const ChannelSignal& sig = signals->channels[ch];
            for (uint32_t i = 0; i < frames; ++i) {
                float v = 0.0f;
                if (sig.type == SignalType::Sine) {
                    v = static_cast<float>(sig.amplitude * std::sin(phase_[ch]));
                    phase_[ch] += 2.0 * M_PI * sig.frequency / rate;
                    if (phase_[ch] > 2.0 * M_PI) phase_[ch] -= 2.0 * M_PI;
                } else if (sig.type == SignalType::Samples && sig.samples && !sig.samples->empty()) {
                    samplePos_[ch] %= sig.samples->size();
                    v = (*sig.samples)[samplePos_[ch]++];
                }
                WriteSample(base + (size_t(i) * desc.channels + c) * bps, desc.format, v);
            }
        }
    }
}

void DeviceEngine::skipInput(uint64_t frames, double rate, const SignalSet* signals) {
    size_t ch = 0;
    for (const StreamSpec& desc : device_.inputs) {
        for (uint32_t c = 0; c < desc.channels; ++c, ++ch) {
            const ChannelSignal& sig = signals->channels[ch];
            if (sig.type == SignalType::Sine) {
                phase_[ch] = std::fmod(phase_[ch] + 2.0 * M_PI * sig.frequency / rate * static_cast<double>(frames),
                                       2.0 * M_PI);
            } else if (sig.type == SignalType::Samples && sig.samples && !sig.samples->empty()) {
                samplePos_[ch] = (samplePos_[ch] + frames) % sig.samples->size();
            }
        }
    }
}

static uint64_t Now() { return HostClockGetTime(); }

void DeviceEngine::run(bool resuming) {
    sched_param sp{};
    sp.sched_priority = std::max(1, sched_get_priority_min(SCHED_FIFO) + 10);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);  // best effort; refused without privileges
    pthread_setname_np(pthread_self(), "audioserver-io");
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);  // wake at the cycle boundary, not up to 50 us later

    // A thread that follows a pause goes on with the same timeline; one that starts from
    // idle begins a new one.
    double sampleTime = resuming ? sampleTime_ : 0;
    uint64_t cycle = resuming ? cycle_ : 0;
    double nextBoundary = static_cast<double>(Now());
    bool onDriverTimeline = false;  // a driver's sample time has been taken
    const uint32_t outChannels = device_.outputChannels();
    const BlockLayout& layout = layout_;

    while (!stop_.load(std::memory_order_acquire)) {
        quiescent_.fetch_add(1);
        const uint32_t frames = std::clamp<uint32_t>(device_.bufferFrames.load(std::memory_order_relaxed), 1, kMaxIOFrames);
        const double rate = device_.nominalRate.load(std::memory_order_relaxed);
        const double effRate = rate * (1.0 + device_.driftPpm.load(std::memory_order_relaxed) * 1e-6);
        const double periodNs = frames / effRate * 1e9;

        // Sleep to the cycle boundary, on the host clock.
        uint64_t now = Now();
        uint64_t driverBoundary = 0;
        double driverSampleTime = 0;
        if (device_.backend && device_.backend->nextBoundary(now, driverBoundary, driverSampleTime)) {
            // The driver's clock: its cycle boundaries and their sample times, which its own IO
            // follows. Periods it passed without a cycle served are lost, as on the server's own
            // grid below; a driver that starts its clock again begins a new timeline.
            if (onDriverTimeline && driverSampleTime > sampleTime + 0.5 * frames)
                stalled_.fetch_add(static_cast<uint64_t>(std::llround((driverSampleTime - sampleTime) / frames)),
                                   std::memory_order_relaxed);
            onDriverTimeline = true;
            nextBoundary = static_cast<double>(driverBoundary);
            sampleTime = driverSampleTime;
        } else if (nextBoundary + 4 * periodNs < static_cast<double>(now)) {
            // Stalled. The device's clock went on without the server, as a device's does while
            // its driver is late: the cycles passed meanwhile are lost, its sample time and its
            // signals move past them, and its cycles stay on their grid. They are counted: a
            // starved machine's steps, which no client could prevent.
            const auto missed = static_cast<uint64_t>((static_cast<double>(now) - nextBoundary) / periodNs);
            stalled_.fetch_add(missed, std::memory_order_relaxed);
            nextBoundary += static_cast<double>(missed) * periodNs;
            sampleTime += static_cast<double>(missed) * frames;
            if (!device_.inputs.empty() && !device_.backend && !tapInput_.load())
                skipInput(missed * frames, rate, signals_.load());
            // A tap hears the device's output on the device's clock: nothing for the lost
            // cycles, and an aggregate presenting it passes over as much on its own clock.
            if (const TapFeedSet* taps = taps_.load(); taps && outChannels > 0) TapsSkipFeed(*taps, missed * frames);
            if (TapInputSet* tapInput = tapInput_.load())
                TapsSkipInput(*tapInput, missed * frames, rate, effRate);
        }
        timespec ts{};
        auto target = static_cast<uint64_t>(nextBoundary);
        ts.tv_sec = static_cast<time_t>(target / 1000000000ull);
        ts.tv_nsec = static_cast<long>(target % 1000000000ull);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        if (stop_.load(std::memory_order_acquire)) break;

        ClientSet* set = clients_.load();
        SignalSet* signals = signals_.load();
        CaptureSink* capture = capture_.load();
        const TapFeedSet* taps = taps_.load();
        TapInputSet* tapInput = tapInput_.load();
        const uint64_t cycleHost = target;
        // Clients may use the cycle up to 1 ms before the next one begins (at least half of
        // it): enough left to mix and deliver, as much as possible for a client's jitter.
        const double deadline = nextBoundary + std::max(periodNs - 1e6, 0.5 * periodNs);

        if (!device_.inputs.empty() && !device_.backend) {
            if (tapInput) TapsProduceInput(*tapInput, inputScratch_, frames, rate, effRate);
            else produceInput(frames, rate, signals);
        }

        AudioTimeStamp nowTs{};
        nowTs.mSampleTime = sampleTime;
        nowTs.mHostTime = cycleHost;
        nowTs.mRateScalar = rate > 0 ? effRate / rate : 1.0;
        nowTs.mFlags = kAudioTimeStampSampleHostTimeValid | kAudioTimeStampRateScalarValid;
        AudioTimeStamp inTs = nowTs;
        inTs.mSampleTime = sampleTime - frames;
        inTs.mHostTime = cycleHost - std::min<uint64_t>(cycleHost, static_cast<uint64_t>(periodNs));
        AudioTimeStamp outTs = nowTs;
        outTs.mSampleTime = sampleTime + frames;
        outTs.mHostTime = cycleHost + static_cast<uint64_t>(periodNs);

        // Hand out the cycle. The layout goes into every block each cycle, while its client
        // is idle; only the server's own copy of it is trusted afterwards.
        for (EngineClient* c : set->clients) {
            IOBlockHeader* h = c->header;
            c->pending = false;
            if (h->clientSeq.load(std::memory_order_acquire) != c->posted || !layoutValid_ || layout.bytes > c->size) {
                // Still busy with an earlier cycle (or a block too small for the device as
                // it is now): leave its block alone.
                c->lateCycles.fetch_add(1, std::memory_order_relaxed);
                late_.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            h->cycleCounter = cycle;
            h->frames = frames;
            h->now = nowTs;
            h->inputTime = inTs;
            h->outputTime = outTs;
            WriteLayout(h, layout);
            auto* block = static_cast<uint8_t*>(c->mapping);
            for (uint32_t s = 0; s < layout.inputCount; ++s)
                if (device_.backend && s == 0)
                    device_.backend->readInput(c->clientID, reinterpret_cast<float*>(block + layout.inputs[s].offset), frames,
                                               layout.inputs[s].channels);
                else
                    std::memcpy(block + layout.inputs[s].offset, inputScratch_[s].data(), size_t(frames) * layout.inputs[s].bytesPerFrame);
            for (uint32_t s = 0; s < layout.outputCount; ++s)
                std::memset(block + layout.outputs[s].offset, 0, size_t(frames) * layout.outputs[s].bytesPerFrame);
            c->posted += 1;
            c->pending = true;
            h->serverSeq.store(c->posted, std::memory_order_release);
            audioproto::FutexWake(&h->serverSeq);
        }

        // Wait for them, up to the deadline.
        for (EngineClient* c : set->clients) {
            if (!c->pending) continue;
            IOBlockHeader* h = c->header;
            for (;;) {
                uint32_t seen = h->clientSeq.load(std::memory_order_acquire);
                if (seen == c->posted) break;
                double left = deadline - static_cast<double>(Now());
                if (left <= 0) {
                    c->pending = false;
                    c->lateCycles.fetch_add(1, std::memory_order_relaxed);
                    late_.fetch_add(1, std::memory_order_relaxed);
                    break;
                }
                audioproto::FutexWait(&h->clientSeq, seen, static_cast<int64_t>(left));
            }
        }

        // Mix and deliver once.
        if (outChannels > 0) {
            std::fill(mix_.begin(), mix_.begin() + size_t(frames) * outChannels, 0.0f);
            for (EngineClient* c : set->clients) {
                if (!c->pending) continue;
                if (taps && TapsMute(*taps, c->pid)) continue;
                auto* block = static_cast<const uint8_t*>(c->mapping);
                uint32_t firstChannel = 0;
                for (uint32_t s = 0; s < layout.outputCount; ++s) {
                    const auto* src = reinterpret_cast<const float*>(block + layout.outputs[s].offset);
                    uint32_t sc = layout.outputs[s].channels;
                    for (uint32_t i = 0; i < frames; ++i)
                        for (uint32_t k = 0; k < sc; ++k) mix_[size_t(i) * outChannels + firstChannel + k] += src[size_t(i) * sc + k];
                    firstChannel += sc;
                }
            }
            // A capture keeps the width it began with; a device that changed since drops it.
            if (capture && capture->channels == outChannels) capture->push(mix_.data(), size_t(frames) * outChannels, outTs.mHostTime);
            else if (capture) captureDropped_.fetch_add(frames, std::memory_order_relaxed);
            if (device_.backend && !set->clients.empty()) device_.backend->writeMix(mix_.data(), frames, outChannels);
            if (taps) TapsFeed(*taps, set->clients, frames, rate, effRate, tapScratch_.data());
        }

        sampleTime += frames;
        nextBoundary += periodNs;
        ++cycle;
        cycles_.fetch_add(1, std::memory_order_relaxed);
    }
    sampleTime_ = sampleTime;
    cycle_ = cycle;
}

}  // namespace audioserver
