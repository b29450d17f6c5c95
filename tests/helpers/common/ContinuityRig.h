// Drives one helper path on a private audio server with a source the rig writes itself (speech-
// like noise, or a tone), records what comes out and measures it against the source. Shared by
// the continuity tests and the continuity benchmark.
//
//   process tap:     audio-play (WAV) on the source device -> tap (clocked by that device)
//                    -> tidewell-process-tap -> virtual device -> audio-record
//   hardware source: the source device's input signal (WAV) -> tidewell-hardware-source
//                    -> virtual device -> audio-record
//   monitor:         audio-play (WAV) into the virtual device -> tidewell-monitor
//                    -> the output device -> the server's capture of its output
//
// The source device runs at the path's rate with the drift asked for; for the monitor that is
// its output device (its clock is the one the monitor converts to).
#pragma once

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Continuity.h>
#include <AudioToolsCommon/Wav.h>
#include <TidewellCore/RuntimeControlStore.h>
#include <TidewellRuntimeSupport/TidewellRegions.h>

#include <sys/mman.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "HelperStopReport.h"
#include "TestServer.h"

namespace continuity {

using namespace std::chrono_literals;
namespace tools = tidewell::tools;

enum class Path { ProcessTap, HardwareSource, Monitor };
enum class Signal { Noise, Tone };

inline const char* PathName(Path path) {
    switch (path) {
        case Path::ProcessTap: return "process tap";
        case Path::HardwareSource: return "hardware source";
        case Path::Monitor: return "monitor";
    }
    return "?";
}

inline constexpr const char* kVirtualDevice = "tw.continuity";

struct RigRun {
    Path path = Path::ProcessTap;
    uint32_t rate = 48000;      // of the source device (the output device for the monitor)
    double driftPpm = 0;        // set on that device
    double seconds = 20;        // recorded
    Signal signal = Signal::Noise;
    uint32_t seed = 1;
    // The source device's input is 24-bit integer (the hardware source then reads it through an
    // input queue rather than an IO procedure).
    bool integerSource = false;
};

using helpertest::HelperCounters;
using helpertest::ParseStopped;

struct RigResult {
    std::string error;                // empty when the run worked
    std::vector<float> recorded;      // one channel at recordedRate
    std::vector<float> reference;     // the source as the recording should carry it
    double recordedRate = 48000;
    HelperCounters counters;          // from the helper's "Stopped" line
    uint64_t lateClientCycles = 0;    // on every device of the server, during the run
    std::string lateClients;          // which clients were late, on which device, how often
    std::string helperOutput;
    // The same audio where it enters the path (the source device's output or input, or the
    // virtual device's output for the monitor), one channel at the source's rate, and where both
    // recordings start on the host clock (0: unknown), for the end-to-end latency.
    std::vector<float> entry;
    std::vector<float> source;        // the source as written, at its own rate
    double sourceRate = 48000;
    double entryTrueRate = 48000;     // the entry device's rate with its drift
    double recordedTrueRate = 48000;  // the far end's, likewise
    uint64_t entryHostNanos = 0;
    uint64_t recordedHostNanos = 0;
};

// "audio-record: first frame captured at host time N ns" in a recorder's output.
inline uint64_t FirstFrameHostNanos(const std::string& output) {
    const std::string key = "first frame captured at host time ";
    const auto at = output.find(key);
    return at == std::string::npos ? 0 : std::strtoull(output.c_str() + at + key.size(), nullptr, 10);
}

// End-to-end latency in milliseconds: from the moment a source frame entered the path (played by
// the source device, or captured by it) to the moment the far end carried it, on the host clock.
// `exit` is the far end's alignment with the reference (the source at the recorded rate). NaN
// when a side did not align or has no time stamp.
inline double EndToEndLatencyMs(const RigResult& r, const tools::ContinuityReport& exit) {
    if (r.entry.empty() || r.entryHostNanos == 0 || r.recordedHostNanos == 0 || exit.settledSourcePosition < 0) {
        return NAN;
    }
    tools::ContinuityOptions options;
    options.settleSeconds = 0;
    const tools::ContinuityReport entry = tools::measureContinuity(r.entry, r.source, r.sourceRate, options);
    if (entry.matchedBlocks == 0) return NAN;
    // The far end's frame and the source frame it carried; where that source frame entered.
    const double sourceFrame = exit.settledSourcePosition * r.sourceRate / r.recordedRate;
    const double entryFrame = sourceFrame + entry.sourceOffsetFrames;
    const double exitSeconds = static_cast<double>(r.recordedHostNanos) * 1e-9 + exit.settledRecordingFrame / r.recordedTrueRate;
    const double entrySeconds = static_cast<double>(r.entryHostNanos) * 1e-9 + entryFrame / r.entryTrueRate;
    // The source loops: the latency is the nearest lap's.
    const double lap = static_cast<double>(r.source.size()) / r.entryTrueRate;
    double seconds = exitSeconds - entrySeconds;
    seconds -= lap * std::round(seconds / lap);
    return seconds * 1e3;
}

using audiotest::LostCycles;

// Late cycles per client and device ("name (pid) on uid"), to tell which hop lost a cycle.
inline std::map<std::string, uint64_t> LateCyclesByClient(audiotest::TestServer& server) {
    std::map<std::string, uint64_t> late;
    if (auto r = server.control({{"op", "counters"}})) {
        for (const auto& d : (*r)["devices"]) {
            for (const auto& c : d["clients"]) {
                const std::string name = c.value("name", "");
                const std::string key = (name.empty() ? std::string("client") : name) + " (" +
                                        std::to_string(c.value("pid", 0)) + ") on " + d.value("uid", "");
                late[key] += c.value("lateCycles", 0ull);
            }
        }
    }
    return late;
}

inline std::string LateCyclesSince(const std::map<std::string, uint64_t>& before,
                                   const std::map<std::string, uint64_t>& after) {
    std::string text;
    for (const auto& [key, count] : after) {
        const auto it = before.find(key);
        const uint64_t grown = count - (it == before.end() ? 0 : it->second);
        if (grown > 0) text += (text.empty() ? "" : ", ") + key + ": " + std::to_string(grown);
    }
    return text;
}

// Publishes the 2-channel virtual device (the plug-in must be on AUDIOSERVER_PLUGIN_PATH when the
// server starts) and waits for it.
inline bool PublishVirtualDevice() {
    std::vector<tidewell::RuntimeChannelRoute> routes{{1, 1}, {2, 2}};
    tidewell::RuntimeControlStoreV3::publish({tidewell::RuntimeDeviceControls(kVirtualDevice, kVirtualDevice,
                                                                              "waveform.circle", 2, true, 1.0, {},
                                                                              true, false, 1.0, routes)},
                                             false);
    for (int i = 0; i < 100; ++i) {
        if (audiotest::DeviceByUID(kVirtualDevice) != 0) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

inline std::string Bin(const char* name) { return audiotest::BinDir() + "/" + name; }

inline int Ctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{Bin("audioctl")};
    argv.insert(argv.end(), args.begin(), args.end());
    return audiotest::Run(argv);
}

// A stand-in device of the rig: 2 float channels each way at `rate` (the input 24-bit integer
// when asked).
inline std::string RigDevice(const char* role, uint32_t rate, bool integerInput = false) {
    const std::string uid = std::string("tw.rig.") + role + "." + std::to_string(rate) + (integerInput ? ".int24" : "");
    if (audiotest::DeviceByUID(uid) == 0) {
        std::vector<std::string> args{"add-device", std::string("Rig ") + role, uid, "--inputs", "2", "--outputs", "2",
                                      "--rate", std::to_string(rate)};
        if (integerInput) args.push_back("--int24");
        Ctl(args);
    }
    return uid;
}

inline RigResult RunPath(audiotest::TestServer& server, const RigRun& run) {
    RigResult result;
    // The source, long enough never to end while recording (a WAV signal loops; a player stops).
    const double sourceRate = run.path == Path::Monitor ? 48000.0 : static_cast<double>(run.rate);
    tools::AudioData source;
    if (run.signal == Signal::Noise) {
        source = tools::makeSpeechLikeNoise(static_cast<uint32_t>(sourceRate), 1, run.seconds + 20, run.seed, -12.0);
    } else {
        source.sampleRate = static_cast<uint32_t>(sourceRate);
        source.channels = 1;
        source.samples.resize(static_cast<size_t>((run.seconds + 20) * sourceRate));
        const double amplitude = tools::dbfsToAmplitude(-12.0);
        for (size_t i = 0; i < source.samples.size(); ++i) {
            source.samples[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * 997.0 * static_cast<double>(i) / sourceRate));
        }
    }
    const std::string wav = server.dir() + "/source.wav";
    tools::writeWav(wav, source);

    const std::string device =
        RigDevice(run.path == Path::Monitor ? "output" : "source", run.rate, run.integerSource && run.path == Path::HardwareSource);
    if (audiotest::DeviceByUID(device) == 0) {
        result.error = "the rig's device " + device + " is missing";
        return result;
    }
    Ctl({"drift", device, std::to_string(run.driftPpm)});

    std::unique_ptr<audiotest::Child> player;
    std::unique_ptr<audiotest::Child> helper;
    const std::string virtualDevice(kVirtualDevice);
    switch (run.path) {
        case Path::ProcessTap:
            player = std::make_unique<audiotest::Child>(std::vector<std::string>{
                Bin("audio-play"), "--device", device, "--wav", wav, "--bundle-id", "org.example.continuity"});
            if (!player->waitFor("audio-play: playing", 20s)) {
                result.error = "the player did not start: " + player->output();
                return result;
            }
            helper = std::make_unique<audiotest::Child>(
                std::vector<std::string>{Bin("tidewell-process-tap")},
                std::vector<std::string>{"TIDEWELL_TAP_OUTPUT_UID=" + virtualDevice,
                                         "TIDEWELL_TAP_PID=" + std::to_string(player->pid()),
                                         "TIDEWELL_TAP_CLOCK_UID=" + device});
            break;
        case Path::HardwareSource:
            if (Ctl({"signal", device, "wav", wav}) != 0) {
                result.error = "the source signal could not be set";
                return result;
            }
            helper = std::make_unique<audiotest::Child>(
                std::vector<std::string>{Bin("tidewell-hardware-source")},
                std::vector<std::string>{"TIDEWELL_SOURCE_INPUT_UID=" + device,
                                         "TIDEWELL_SOURCE_OUTPUT_UID=" + virtualDevice});
            break;
        case Path::Monitor:
            player = std::make_unique<audiotest::Child>(
                std::vector<std::string>{Bin("audio-play"), "--device", virtualDevice, "--wav", wav});
            if (!player->waitFor("audio-play: playing", 20s)) {
                result.error = "the player did not start: " + player->output();
                return result;
            }
            helper = std::make_unique<audiotest::Child>(
                std::vector<std::string>{Bin("tidewell-monitor")},
                std::vector<std::string>{"TIDEWELL_MONITOR_INPUT_UID=" + virtualDevice,
                                         "TIDEWELL_MONITOR_OUTPUT_UID=" + device});
            break;
    }
    if (!helper->waitFor("Press Ctrl-C to stop.", 30s)) {
        result.error = std::string("the ") + PathName(run.path) + " helper did not start: " + helper->output();
        return result;
    }
    const uint64_t lateBefore = LostCycles(server);
    const auto lateByClientBefore = LateCyclesByClient(server);
    const std::string recording = server.dir() + "/recorded.wav";
    // Where the audio enters the path, recorded alongside for the latency: the source device's
    // output mix (what the tapped player played), its input, or the virtual device's output mix.
    const std::string entryRecording = server.dir() + "/entry.wav";
    const auto recordingLimit =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(run.seconds + 30.0));
    const std::string entryCapture = run.path == Path::ProcessTap ? device
                                     : run.path == Path::Monitor  ? virtualDevice
                                                                  : std::string();
    std::unique_ptr<audiotest::Child> entryRecorder;
    if (!entryCapture.empty()) {
        server.control({{"op", "captureStart"}, {"uid", entryCapture}, {"path", entryRecording}});
    } else {
        entryRecorder = std::make_unique<audiotest::Child>(std::vector<std::string>{
            Bin("audio-record"), "--device", device, "--duration", std::to_string(run.seconds), "--output",
            entryRecording});
    }
    if (run.path == Path::Monitor) {
        auto r = server.control({{"op", "captureStart"}, {"uid", device}, {"path", recording}});
        std::this_thread::sleep_for(std::chrono::duration<double>(run.seconds));
        auto stopped = server.control({{"op", "captureStop"}, {"uid", device}});
        if (!r || !r->value("ok", false)) result.error = "the output capture did not start";
        if (stopped) result.recordedHostNanos = stopped->value("firstHostNanos", 0ull);
    } else {
        // Waited for as long as it records and then some (a plain run gives up after 60 s).
        audiotest::Child recorder({Bin("audio-record"), "--device", virtualDevice, "--duration",
                                   std::to_string(run.seconds), "--output", recording});
        if (recorder.wait(recordingLimit).value_or(-1) != 0) {
            result.error = "the recording failed: " + recorder.output();
        }
        result.recordedHostNanos = FirstFrameHostNanos(recorder.output());
    }
    if (!entryCapture.empty()) {
        if (auto stopped = server.control({{"op", "captureStop"}, {"uid", entryCapture}})) {
            result.entryHostNanos = stopped->value("firstHostNanos", 0ull);
        }
    } else {
        entryRecorder->wait(recordingLimit);
        result.entryHostNanos = FirstFrameHostNanos(entryRecorder->output());
    }
    result.lateClientCycles = LostCycles(server) - lateBefore;
    result.lateClients = LateCyclesSince(lateByClientBefore, LateCyclesByClient(server));
    helper->signal(SIGTERM);
    helper->wait(20s);
    result.helperOutput = helper->output();
    result.counters = ParseStopped(result.helperOutput);
    if (player) {
        player->signal(SIGTERM);
        player->wait(10s);
    }
    Ctl({"drift", device, "0"});
    if (run.path == Path::HardwareSource) Ctl({"signal", device, "silence"});
    if (!result.error.empty()) return result;

    if (const char* keep = std::getenv("CONTINUITY_KEEP_DIR")) {
        static int kept = 0;
        const std::string stem = std::string(keep) + "/" + std::to_string(++kept);
        std::filesystem::copy_file(recording, stem + "-recorded.wav", std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(wav, stem + "-source.wav", std::filesystem::copy_options::overwrite_existing);
    }
    try {
        const auto recorded = tools::readWav(recording);
        result.recordedRate = recorded.sampleRate;
        result.recorded = tools::channelOf(recorded, 0);
    } catch (const std::exception& e) {
        result.error = std::string("the recording cannot be read: ") + e.what();
        return result;
    }
    result.reference = tools::resampleOffline(source.samples, sourceRate, result.recordedRate);
    result.source = source.samples;
    result.sourceRate = sourceRate;
    const double drifted = static_cast<double>(run.rate) * (1.0 + run.driftPpm * 1e-6);
    result.entryTrueRate = run.path == Path::Monitor ? sourceRate : drifted;
    result.recordedTrueRate = run.path == Path::Monitor ? drifted : result.recordedRate;
    try {
        const auto entry = tools::readWav(entryRecording);
        if (entry.sampleRate == static_cast<uint32_t>(sourceRate)) result.entry = tools::channelOf(entry, 0);
    } catch (const std::exception&) {
        result.entry.clear();   // no latency for this run; the rest stands
    }
    return result;
}

// The server for a rig: the plug-in loaded, the runtime region fresh, the virtual device there.
struct RigServer {
    std::unique_ptr<audiotest::TestServer> server;
    std::string error;
    RigServer() {
        const char* dir = std::getenv("TIDEWELL_PLUGIN_DIR");
        if (dir == nullptr) {
            error = "TIDEWELL_PLUGIN_DIR is not set";
            return;
        }
        setenv("AUDIOSERVER_PLUGIN_PATH", dir, 1);
        shm_unlink(TidewellRuntimeRegionName);
        server = std::make_unique<audiotest::TestServer>();
        if (!PublishVirtualDevice()) error = "the virtual device did not appear";
    }
    ~RigServer() {
        server.reset();
        shm_unlink(TidewellRuntimeRegionName);
    }
};

}  // namespace continuity
