// The device engine: one IO thread per running device, paced by the host clock at the
// device's nominal rate (times its drift). Each cycle it produces the device's input,
// hands every client its input and a zeroed output through the client's shared IO
// block, waits for the clients up to a deadline, mixes their outputs and delivers the
// mix once (to the emulated sink and an optional capture).
//
// The IO thread takes no lock and allocates nothing. Clients, signals and the capture are
// published to it as immutable snapshots through atomic pointers; the control side frees
// an old snapshot only after the IO thread has passed the top of its loop once more.
//
// A device whose streams change while clients run (a plug-in device's channel count) is
// paused, changed and resumed: the IO thread ends after its cycle, the streams and the
// engine's buffers are remade, and from the next cycle on every client's block is laid out
// for the new streams. The layout is written into a block only while its client is idle
// between cycles, so a client's IO procs never see it change under them.
#pragma once

#include "Taps.h"

#include <AudioProtocol/Protocol.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace audioserver {

enum class SampleFormat : uint32_t { Float32 = 0, Int24 = 1, Int16 = 2 };

uint32_t BytesPerSample(SampleFormat f);
AudioStreamBasicDescription MakeFormat(double rate, uint32_t channels, SampleFormat f);

struct StreamSpec {
    uint32_t channels = 2;
    SampleFormat format = SampleFormat::Float32;
};

// Where a device's audio comes from and goes to when a driver provides it (a plug-in
// device) instead of the emulated signal and sink. Called on the IO thread only.
struct EngineBackend {
    virtual ~EngineBackend() = default;
    // Host time of the next cycle boundary after now, on the driver's timeline, and the
    // driver's sample time there; false keeps the engine's own pacing for this cycle.
    virtual bool nextBoundary(uint64_t now, uint64_t& boundary, double& sampleTime) = 0;
    // One client's input for this cycle, into its block (interleaved, blockChannels wide).
    virtual void readInput(uint32_t clientID, float* interleaved, uint32_t frames, uint32_t blockChannels) = 0;
    // The mix of every client's output, once per cycle.
    virtual void writeMix(const float* interleaved, uint32_t frames, uint32_t mixChannels) = 0;
};

// What the engine needs to know of its device; fixed for the engine's life except the
// atomics, which the control side may change at any time.
struct EngineDevice {
    EngineBackend* backend = nullptr;  // set before the engine is made
    std::vector<StreamSpec> inputs;
    std::vector<StreamSpec> outputs;
    std::atomic<double> nominalRate{48000.0};
    std::atomic<double> driftPpm{0.0};
    std::atomic<uint32_t> bufferFrames{512};
    // Channels each way a client's block has room for, when more than the streams have
    // now: a device whose channel count can change keeps its clients' blocks.
    uint32_t reservedInputChannels = 0;
    uint32_t reservedOutputChannels = 0;

    uint32_t inputChannels() const;
    uint32_t outputChannels() const;
};

// Where each stream's samples lie in a client's block, for a device's current streams.
struct BlockLayout {
    uint32_t inputCount = 0, outputCount = 0;
    audioproto::IOStreamLayout inputs[audioproto::kMaxIOStreams]{};
    audioproto::IOStreamLayout outputs[audioproto::kMaxIOStreams]{};
    uint32_t bytes = 0;  // the block size this layout needs
};

// false when the device has more streams than a block can describe.
bool ComputeBlockLayout(const EngineDevice& dev, BlockLayout& out);

// One client process's IO on one device: the mapping of its IO block.
struct EngineClient {
    ~EngineClient();
    int memfd = -1;
    void* mapping = nullptr;
    uint32_t size = 0;
    audioproto::IOBlockHeader* header = nullptr;
    uint32_t clientID = 0;
    pid_t pid = 0;
    // Touched by the IO thread only.
    uint32_t posted = 0;
    bool pending = false;
    std::atomic<uint64_t> lateCycles{0};
};

// Creates the block for a client of `dev` (memfd, sized for 4096 frames by the device's
// channels each way, or by its reserved channels when more, and sealed at that size).
// nullptr when the system refuses.
std::shared_ptr<EngineClient> CreateEngineClient(const EngineDevice& dev, uint32_t clientID, pid_t pid);

enum class SignalType : uint32_t { Silence = 0, Sine = 1, Samples = 2 };

struct ChannelSignal {
    SignalType type = SignalType::Silence;
    double frequency = 0;
    double amplitude = 0;  // linear peak
    std::shared_ptr<const std::vector<float>> samples;  // looped; for Samples
};

struct CaptureSink;

struct EngineCounters {
    uint64_t cycles = 0;
    uint64_t lateClientCycles = 0;
    // Cycles the device's clock passed while the server itself was held up past them (its IO
    // thread starved): they are lost, as a device loses cycles its driver is late for, and no
    // client was offered them, so no client was late for them.
    uint64_t stalledCycles = 0;
    uint64_t captureDroppedFrames = 0;
};

class DeviceEngine {
public:
    explicit DeviceEngine(EngineDevice& device);
    ~DeviceEngine();
    DeviceEngine(const DeviceEngine&) = delete;
    DeviceEngine& operator=(const DeviceEngine&) = delete;

    // Control side (any non-IO thread). Each returns once the IO thread has seen the change.
    void addClient(const std::shared_ptr<EngineClient>& client);
    void removeClient(const EngineClient* client);
    void removeAllClients();
    // Ends the IO thread after the cycle in flight and keeps it ended (clients may still
    // come and go) until resume(). Meanwhile the device's streams may change.
    void pause();
    // Applies `change` to the device's streams (no IO thread runs meanwhile), remakes the
    // engine's buffers for them, lays out every client's block afresh from the next cycle
    // on, and runs again when there is something to run for. Sample times go on from where
    // they were.
    void resume(const std::function<void(EngineDevice&)>& change = {});
    // channel: 0-based index over all input channels; -1 = every channel.
    void setSignal(int channel, const ChannelSignal& signal);
    // Starts recording the device's output mix as a float WAV file; false when the file
    // cannot be created.
    bool startCapture(const std::string& path, std::string& error);
    // Ends a capture and completes its file; false when none runs.
    // Ends a capture; `firstHostNanos` (when given) gets the output time of its first frame.
    bool stopCapture(uint64_t* firstHostNanos = nullptr);
    // The taps this device feeds and whose processes it may mute (null: none).
    void setTaps(std::unique_ptr<TapFeedSet> taps);
    // Makes the device's input the audio of taps instead of its signal (an aggregate).
    void setTapInput(std::unique_ptr<TapInputSet> input);

    // True while clients or a capture keep the device running, through a pause too.
    bool running() const { return running_.load(); }
    EngineCounters counters() const;

private:
    struct ClientSet {
        std::vector<EngineClient*> clients;
        std::vector<std::shared_ptr<EngineClient>> owners;
    };
    struct SignalSet {
        std::vector<ChannelSignal> channels;
    };

    void run(bool resuming);
    void allocateBuffers();
    void updateRunning();
    void waitForQuiescence();
    void produceInput(uint32_t frames, double rate, const SignalSet* signals);
    // Moves the input signals past `frames` frames the device's clock ran without the server.
    void skipInput(uint64_t frames, double rate, const SignalSet* signals);

    EngineDevice& device_;
    std::mutex controlMutex_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    bool paused_ = false;  // guarded by controlMutex_
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> quiescent_{0};
    std::atomic<ClientSet*> clients_{nullptr};
    std::atomic<SignalSet*> signals_{nullptr};
    std::atomic<CaptureSink*> capture_{nullptr};
    std::unique_ptr<CaptureSink> captureOwner_;
    std::atomic<TapFeedSet*> taps_{nullptr};
    std::atomic<TapInputSet*> tapInput_{nullptr};

    // IO-thread state, allocated up front (and remade by resume() while no IO thread runs).
    BlockLayout layout_;
    bool layoutValid_ = false;
    std::vector<std::vector<uint8_t>> inputScratch_;  // per input stream, native bytes
    std::vector<float> mix_;                          // interleaved over all output channels
    std::vector<float> tapScratch_;                   // one client mixdown, two sides
    std::vector<double> phase_;
    std::vector<size_t> samplePos_;
    double sampleTime_ = 0;  // where the last IO thread ended, for one that follows a pause
    uint64_t cycle_ = 0;
    bool resuming_ = false;  // controlMutex_

    std::atomic<uint64_t> cycles_{0};
    std::atomic<uint64_t> late_{0};
    std::atomic<uint64_t> stalled_{0};
    std::atomic<uint64_t> captureDropped_{0};
};

}  // namespace audioserver
