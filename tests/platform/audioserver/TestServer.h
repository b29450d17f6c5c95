// Test harness: a private audioserverd per test, child processes with captured output,
// and small helpers over the client library.
#pragma once

#include <AudioClient/AudioHardware.h>
#include <AudioProtocol/Protocol.h>
#include <nlohmann/json.hpp>

#include <AudioToolsCommon/Wav.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <cstdint>
#include <thread>
#include <optional>
#include <string>
#include <vector>

namespace audiotest {

std::string BinDir();

// A fresh temporary directory, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A child process whose standard output (and error) is read line by line.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // The next line of output, waiting at most `timeout`.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Waits for the line that starts with `prefix`, skipping others.
    std::optional<std::string> waitFor(const std::string& prefix, std::chrono::milliseconds timeout);
    // Exit status (or 128 + signal), waiting at most `timeout`; nullopt if still running.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    void signal(int sig);
    pid_t pid() const { return pid_; }
    std::string output() const { return all_; }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string buffer_;
    std::string all_;
    std::optional<int> status_;
};

// Runs a program to its end; returns exit status and collects its output.
int Run(const std::vector<std::string>& argv, std::string* output = nullptr);

// A connection to a server that speaks the protocol itself, as a client that does without
// the client library may: for requests the library never sends.
class RawClient {
public:
    explicit RawClient(const std::string& socketPath);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    bool connected() const { return fd_ >= 0; }

    struct Reply {
        bool received = false;  // false: the connection ended, or 10 s passed, first
        int32_t status = 0;
        std::vector<uint8_t> payload;
        int fd = -1;  // a descriptor that came with it; the caller's to close
    };
    // One request and its reply; the notifications the server pushes meanwhile are skipped.
    Reply call(audioproto::Op op, const std::vector<uint8_t>& payload);
    // A property request (GetSize, GetData, HasProperty, IsSettable) with any qualifier.
    Reply property(audioproto::Op op, AudioObjectID object, const AudioObjectPropertyAddress& address,
                   const audioproto::WireValue& qualifier, uint32_t dataSize = 0);

private:
    int fd_ = -1;
    uint32_t seq_ = 0;
};

// audioserverd on this test process's private socket (AUDIOSERVER_SOCKET, set for this
// process and inherited by its children). dir() is a fresh folder for the test's files.
class TestServer {
public:
    explicit TestServer(bool defaultDevices = true);
    ~TestServer();
    void start();
    void stop();  // SIGTERM and wait
    std::optional<nlohmann::json> control(const nlohmann::json& request);
    const std::string& dir() const { return dir_.path(); }
    const std::string& socket() const { return socket_; }
    pid_t pid() const { return pid_; }

private:
    TempDir dir_;
    std::string socket_;
    bool defaults_;
    pid_t pid_ = -1;
};

// Cycles of one device in a "counters" answer that the server gave up on a client, or never
// served at all while it was itself held up: a starved machine's steps, which no client can
// prevent.
inline uint64_t LostCyclesIn(const nlohmann::json& device) {
    return device.value("lateClientCycles", uint64_t(0)) + device.value("stalledCycles", uint64_t(0));
}

// The longest stretch of one channel in which a clean tone of `hz` runs on unbroken, and how
// many breaks the channel has. A sine keeps x[n] = 2 cos(w) x[n-1] - x[n-2]; a cycle the server
// lost (silence, or a jump in phase) breaks that where it happened. Breaks closer than a cycle
// are one break. A judgment of frequency or level over the stretch is then the tone's own,
// while the breaks are held to the cycles the server counted as lost.
struct ToneStretch {
    size_t begin = 0;
    size_t frames = 0;
    size_t breaks = 0;
};

inline ToneStretch LongestUnbrokenTone(const float* x, size_t frames, unsigned channels, unsigned channel, double hz,
                                      double rate) {
    ToneStretch best;
    if (frames < 3 || channel >= channels) return best;
    double peak = 0;
    for (size_t i = 0; i < frames; ++i) peak = std::max(peak, std::fabs(double(x[i * channels + channel])));
    const double c = 2 * std::cos(2 * 3.14159265358979323846 * hz / rate);
    const double limit = 0.05 * peak;
    constexpr size_t kOneBreak = 512;
    size_t start = 0, lastBreak = 0;
    bool broken = false;
    auto close = [&](size_t end) {
        if (end > start && end - start > best.frames) {
            best.begin = start;
            best.frames = end - start;
        }
    };
    for (size_t n = 2; n < frames; ++n) {
        const double r = x[n * channels + channel] - c * x[(n - 1) * channels + channel] + x[(n - 2) * channels + channel];
        if (std::fabs(r) <= limit) continue;
        close(n - 2);
        if (!broken || n - lastBreak > kOneBreak) ++best.breaks;
        broken = true;
        lastBreak = n;
        start = n + 1;
    }
    close(frames);
    return best;
}

// Those cycles over every device.
inline uint64_t LostCycles(TestServer& server) {
    uint64_t lost = 0;
    if (auto r = server.control({{"op", "counters"}})) {
        for (const auto& d : (*r)["devices"]) lost += LostCyclesIn(d);
    }
    return lost;
}

// The first and the latest of a proc's cycle time stamps, written by its IO thread: how far host
// time and sample time went between them.
struct CycleStamps {
    std::atomic<uint64_t> calls{0};
    std::atomic<double> firstSample{0}, lastSample{0};
    std::atomic<uint64_t> firstHost{0}, lastHost{0};
    void keep(const AudioTimeStamp* time) {
        if (time != nullptr) {
            if (calls.load() == 0) {
                firstSample.store(time->mSampleTime);
                firstHost.store(time->mHostTime);
            }
            lastSample.store(time->mSampleTime);
            lastHost.store(time->mHostTime);
        }
        calls.fetch_add(1);
    }
    double samplesSpanned() const { return lastSample.load() - firstSample.load(); }
    // Host time spanned, in frames at `rate`.
    double hostSpanned(double rate) const {
        return double(AudioConvertHostTimeToNanos(lastHost.load()) - AudioConvertHostTimeToNanos(firstHost.load())) *
               rate * 1e-9;
    }
};

// Waiting on events instead of asserting how long something took.

// How long a call may take and still count as answering at once: well under the client
// library's 10 s request timeout, which is what a call that hangs would wait for.
constexpr std::chrono::seconds kAtOnce{5};

// Waits until `condition` holds, checking every `every`, for at most `limit` (generous: a
// loaded machine or a sanitizer build is slow, not wrong). True when it held.
template <class Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(20),
               std::chrono::milliseconds every = std::chrono::milliseconds(5)) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return condition();
        std::this_thread::sleep_for(every);
    }
    return true;
}

// Waits until a counter stops moving: unchanged for `quiet`, within `limit`. True when it
// settled. For "nothing more happens" after something was stopped: a call already in
// flight may still end, but nothing may follow it.
template <class Counter>
bool Settles(const Counter& counter, std::chrono::milliseconds quiet = std::chrono::milliseconds(300),
             std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto until = std::chrono::steady_clock::now() + limit;
    auto seen = counter.load();
    auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        auto now = counter.load();
        if (now != seen) {
            seen = now;
            since = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - since >= quiet) {
            return true;
        }
    }
    return false;
}

// The server's IO cycle counters of one device ("counters" request): cycles run, client cycles
// that were late or that the held-up server never served, and of those the ones it never
// served. All 0 when the device or the server is unknown.
struct DeviceCycles {
    uint64_t cycles = 0;
    uint64_t late = 0;
    uint64_t stalled = 0;
};
DeviceCycles CyclesOf(TestServer& server, const std::string& uid);

// Captures a device's output mix through the server for at least `frames` frames of its
// cycles (waiting on the server's cycle counter, not the wall clock) and reads the file.
tidewell::tools::AudioData CaptureFrames(TestServer& server, const std::string& uid, size_t frames, const std::string& file);

// Client-library helpers.
AudioObjectPropertyAddress Address(AudioObjectPropertySelector s, AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
                                   AudioObjectPropertyElement element = kAudioObjectPropertyElementMain);
std::vector<AudioObjectID> DeviceIDs();
std::string StringProperty(AudioObjectID obj, AudioObjectPropertySelector sel);
AudioObjectID DeviceByUID(const std::string& uid);
uint32_t U32Property(AudioObjectID obj, AudioObjectPropertyAddress a, OSStatus* status = nullptr);

}  // namespace audiotest
