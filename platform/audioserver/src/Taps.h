// Process taps on the IO path.
//
// Every device engine feeds each running tap with the mixdown of what the tap's processes
// play on that device this cycle, into one ring per (tap, device): the device's IO thread
// is its only writer, the IO thread of the aggregate device presenting the tap its only
// reader (a tap belongs to at most one aggregate). The aggregate's engine sums the rings of
// its tap into its input, converting each device's rate to its own by linear
// interpolation (by their real, drifting rates when drift compensation is asked for). The same snapshot tells a device engine which of its clients a tap mutes.
//
// Mixdown: a device's output channel 1 goes to the left side and channel 2 to the right; a
// one-channel device feeds both sides; further channels are not captured. A mono tap takes
// the mean of the two sides.
//
// Snapshots are immutable once published and freed only after the engine's IO thread has
// passed the top of its loop again (DeviceEngine::setTaps, setTapInput). Nothing here
// locks or allocates on the IO thread.
#pragma once

#include <AudioABI/AudioABI.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <sys/types.h>
#include <vector>

namespace audioserver {

struct EngineClient;

// What a tap is while it exists; shared by the server's tap object and the snapshots.
struct TapState {
    uint32_t channels = 2;  // 1 (mono) or 2
    AudioTapMuteBehavior mute = kAudioTapMuteBehaviorUnmuted;
    bool exclusive = false;
    std::vector<pid_t> pids;  // sorted: the processes taken, or with `exclusive` left out
    // Running aggregates presenting the tap (its IO started); > 0 means the tap runs.
    std::atomic<int32_t> runCount{0};

    bool takes(pid_t pid) const;
    bool running() const { return runCount.load(std::memory_order_acquire) > 0; }
};

// What an aggregate keeps in each ring beyond this cycle and the producer's cycle.
constexpr uint32_t kTapMarginFrames = 256;

// One device's contribution to one tap: a single-producer single-consumer ring of
// interleaved frames, `channels` wide.
struct TapRing {
    static constexpr uint32_t kFrames = 16384;
    explicit TapRing(uint32_t channels);
    uint32_t channels;
    std::unique_ptr<float[]> data;
    std::atomic<uint64_t> writePos{0};
    std::atomic<uint64_t> readPos{0};
    std::atomic<double> rate{0.0};          // the producing device's nominal rate
    std::atomic<double> effectiveRate{0.0};  // and the rate its clock really runs at
    std::atomic<uint32_t> blockFrames{0};   // the producer's last cycle size
    std::atomic<uint64_t> dropped{0};       // frames the producer could not store
    // Reader side only.
    double fraction = 0.0;
    bool primed = false;
    // Frames of the producer's clock the reader still has to pass over for cycles its own device
    // lost (the producer puts silence in their place), and its cycles that found none yet.
    uint64_t skipOwed = 0;
    uint32_t owingCycles = 0;
};

// A device engine's view of the taps.
struct TapFeed {
    std::shared_ptr<TapState> tap;
    std::shared_ptr<TapRing> ring;  // this device's ring of the tap
};
struct TapFeedSet {
    std::vector<TapFeed> taps;
};

// An aggregate engine's view: per input stream, the rings of the tap presented there.
struct TapInputSet {
    struct Stream {
        std::shared_ptr<TapState> tap;
        std::vector<std::shared_ptr<TapRing>> rings;
        // Convert by the devices' real rates, so each ring's fill holds against drift
        // between its device's clock and the aggregate's.
        bool driftCompensation = false;
    };
    std::vector<Stream> streams;
    // Bumped by the server when the aggregate starts; the reader then drops what the rings
    // hold from an earlier run.
    std::shared_ptr<std::atomic<uint32_t>> startGeneration;
    uint32_t seenGeneration = 0;  // reader side
};

// IO thread: whether a running (or always-muting) tap silences this process's output.
bool TapsMute(const TapFeedSet& set, pid_t pid);
// IO thread: feeds every running tap with this cycle's output of its clients. `scratch`
// holds at least 2 x 4096 floats. `clients`' outputs are valid where `pending` is set.
// `rate` is the device's nominal rate, `effRate` the rate its clock really runs at.
void TapsFeed(const TapFeedSet& set, const std::vector<EngineClient*>& clients, uint32_t frames, double rate,
              double effRate, float* scratch);
// IO thread, a device whose clock went on past `frames` frames it never served (its IO thread
// was held up): every running tap gets silence for them, so that its audio stays where the
// device's clock puts it. What does not fit is left out.
void TapsSkipFeed(const TapFeedSet& set, uint64_t frames);
// IO thread, an aggregate whose clock went on past `frames` frames it never served: each ring is
// passed over by as much, on its producer's clock, from what the ring holds now or, where it
// holds too little, from what the producer puts in next (its silence for the same time).
void TapsSkipInput(TapInputSet& set, uint64_t frames, double rate, double effRate);
// IO thread: fills each input stream (interleaved float, the stream's channels) with its
// tap's audio for this cycle.
void TapsProduceInput(TapInputSet& set, std::vector<std::vector<uint8_t>>& streams, uint32_t frames, double rate,
                      double effRate);

}  // namespace audioserver
