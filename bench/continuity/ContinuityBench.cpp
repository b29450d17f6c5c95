// The continuity benchmark: each helper path on a private stand-in server, with speech-like noise
// (rate error from block alignment, discontinuities, match quality, and the end-to-end latency:
// the alignment offset against the same audio recorded where it enters the path, both placed on
// the host clock by their devices' time stamps) and then a -12 dBFS 997 Hz tone (THD+N over 10 s
// after 3 s of settling, with the server's late client cycles during that run), at each rate and
// drift asked for. Prints one table row per run, with the helper's ring counters and the server's
// late client cycles during the noise run.
//
//   continuity_bench [--seconds S] [--paths tap,source,monitor] [--rates 48000,44100]
//                    [--drifts 0,300]
//
// The path "source24" is the hardware source from a 24-bit integer input, which it reads through
// an input queue (not in the default table).
//
// It publishes the system's fixed region names: run it through scripts/continuity-bench.sh,
// which gives it a private /dev/shm.

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ContinuityRig.h"

namespace {

using namespace continuity;

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream stream(text);
    for (std::string piece; std::getline(stream, piece, ',');) {
        if (!piece.empty()) out.push_back(piece);
    }
    return out;
}

constexpr double kSettleSeconds = 3.0;
constexpr double kToneSeconds = 10.0;
constexpr int kToneAttempts = 3;

}  // namespace

int main(int argc, char** argv) {
    double seconds = 60;
    std::vector<std::string> paths{"tap", "source", "monitor"};
    std::vector<std::string> rates{"48000", "44100"};
    std::vector<std::string> drifts{"0", "300"};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--seconds") seconds = std::atof(argv[i + 1]);
        else if (option == "--paths") paths = Split(argv[i + 1]);
        else if (option == "--rates") rates = Split(argv[i + 1]);
        else if (option == "--drifts") drifts = Split(argv[i + 1]);
        else {
            std::fprintf(stderr, "continuity_bench: unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (std::getenv("TIDEWELL_IN_PRIVATE_SHM") == nullptr) {
        std::fprintf(stderr, "continuity_bench: run it through scripts/continuity-bench.sh (private /dev/shm)\n");
        return 2;
    }
    if (std::getenv("TIDEWELL_PLUGIN_DIR") == nullptr) setenv("TIDEWELL_PLUGIN_DIR", TIDEWELL_BENCH_PLUGIN_DIR, 1);
    if (std::getenv("TIDEWELL_BIN_DIR") == nullptr) setenv("TIDEWELL_BIN_DIR", TIDEWELL_BENCH_BIN_DIR, 1);
    RigServer rig;
    if (!rig.error.empty()) {
        std::fprintf(stderr, "continuity_bench: %s\n", rig.error.c_str());
        return 1;
    }
    std::printf("%-16s %6s %6s | %9s %9s %6s %8s %8s %7s | %7s %5s | %9s %9s %6s %8s %6s\n", "path", "rate", "drift",
                "rate ppm", "worst", "steps", "matched", "min corr", "latency", "THD+N", "late", "dropped", "underrun",
                "ring", "late cyc", "lines");
    std::printf("%-16s %6s %6s | %9s %9s %6s %8s %8s %7s | %7s %5s | %9s %9s %6s %8s %6s\n", "", "Hz", "ppm", "median",
                "span", "", "", "", "ms", "dB", "cyc", "frames", "frames", "steps", "server", "");
    std::fflush(stdout);
    for (const auto& pathName : paths) {
        const bool integerSource = pathName == "source24";
        const Path path = pathName == "tap"                        ? Path::ProcessTap
                          : pathName == "source" || integerSource ? Path::HardwareSource
                                                                   : Path::Monitor;
        const char* name = integerSource ? "hw source int24" : PathName(path);
        for (const auto& rateText : rates) {
            for (const auto& driftText : drifts) {
                RigRun run;
                run.path = path;
                run.rate = static_cast<uint32_t>(std::atoi(rateText.c_str()));
                run.driftPpm = std::atof(driftText.c_str());
                run.seconds = seconds;
                run.integerSource = integerSource;
                const RigResult noise = RunPath(*rig.server, run);
                if (!noise.error.empty()) {
                    std::printf("%-16s %6u %6.0f | %s\n", name, run.rate, run.driftPpm, noise.error.c_str());
                    continue;
                }
                tidewell::tools::ContinuityOptions options;
                options.settleSeconds = kSettleSeconds;
                const auto report = tidewell::tools::measureContinuity(noise.recorded, noise.reference, noise.recordedRate, options);

                // A cycle the loaded server passes by is a gap in the tone that no path can prevent
                // and that alone sets its THD+N: a run that had one is tried again (three runs at
                // most), and the run with the fewest is reported, with its count beside it.
                run.signal = Signal::Tone;
                run.seconds = kSettleSeconds + kToneSeconds;
                RigResult tone;
                double thd = 0;
                for (int attempt = 0; attempt < kToneAttempts; ++attempt) {
                    RigResult tried = RunPath(*rig.server, run);
                    double triedThd = 0;
                    const auto from = static_cast<size_t>(kSettleSeconds * tried.recordedRate);
                    if (tried.error.empty() && tried.recorded.size() > from) {
                        triedThd = tidewell::tools::thdPlusNoiseDb(tried.recorded.data() + from,
                                                                   tried.recorded.size() - from, 1, 0,
                                                                   tried.recordedRate, 997.0);
                    }
                    if (attempt == 0 || tried.lateClientCycles < tone.lateClientCycles) {
                        tone = std::move(tried);
                        thd = triedThd;
                    }
                    if (tone.lateClientCycles == 0) break;
                }
                const double latency = EndToEndLatencyMs(noise, report);
                std::printf("%-16s %6u %6.0f | %9.1f %9.1f %6zu %7.2f%% %8.5f %7.2f | %7.1f %5llu | %9llu %9llu %6llu %8llu %6s\n",
                            name, run.rate, run.driftPpm, report.rateErrorPpm, report.worstSpanPpm,
                            report.discontinuities.size(), 100.0 * report.matchedShare, report.minCorrelation, latency, thd,
                            static_cast<unsigned long long>(tone.lateClientCycles),
                            static_cast<unsigned long long>(noise.counters.dropped),
                            static_cast<unsigned long long>(noise.counters.underrun),
                            static_cast<unsigned long long>(noise.counters.steps),
                            static_cast<unsigned long long>(noise.lateClientCycles), noise.counters.found ? "yes" : "no");
                if (const char* verbose = std::getenv("CONTINUITY_BENCH_VERBOSE")) {
                    if (!noise.lateClients.empty()) std::printf("    late (noise run): %s\n", noise.lateClients.c_str());
                    if (!tone.lateClients.empty()) std::printf("    late (tone run): %s\n", tone.lateClients.c_str());
                    if (std::string(verbose) == "2") {
                        std::printf("    helper (noise run):\n%s    helper (tone run):\n%s", noise.helperOutput.c_str(),
                                    tone.helperOutput.c_str());
                    }
                    for (const auto& d : report.discontinuities) {
                        std::printf("    step at %.3f s: %+.1f frames, %zu unmatched blocks\n", d.atSeconds, d.frames,
                                    d.unmatchedBlocks);
                    }
                }
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
