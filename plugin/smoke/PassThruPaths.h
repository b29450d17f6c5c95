// What tidewell-hal-smoke tests and how it judges a recording. Kept apart from the tool's
// audio so that both can be checked without an audio server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tidewell::smoke {

// One device whose pass-thru path can carry a test tone: whatever is played into its output
// channel `source` comes back on input channel `destination`, scaled by the device's gains.
struct PassThruPath {
    std::string uid;
    std::string name;
    uint32_t channels = 0;
    struct Route {
        uint32_t source = 0;       // one-based
        uint32_t destination = 0;  // one-based
    };
    std::vector<Route> routes;
    float gain = 1.0f;                // device gain × pass-thru source gain
    std::vector<float> channelGains;  // per input channel; 1.0 when absent
};

// The devices described by a runtime-region image, or why none of them can be tested.
struct PathSelection {
    bool regionUsable = false;          // false: no region, or one this build cannot read
    std::vector<PassThruPath> testable;  // in slot order
    std::vector<std::string> skipped;    // one reason per device left out, in slot order
};

// Reads an image of the runtime region (`size` bytes, any content). A slot is testable when
// its device is on, its pass-thru source on and unmuted, its gains above zero and at least
// one of its routes lies within its channels with a channel gain above zero.
PathSelection selectPaths(const unsigned char* image, size_t size);

// The plug-in's own device when no configuration is published: two channels, straight through.
PassThruPath legacyPassThruPath(const std::string& uid, const std::string& name);

// The level of the `frequency` component of one channel of an interleaved recording, as the
// dBFS of a sine of that amplitude (a full-scale sine is 0 dBFS). Other tones far from it
// (what the device's sources play meanwhile) do not count.
double toneLevelDbfs(const float* interleaved, size_t frames, uint32_t channels, uint32_t channel,
                     double frequency, double sampleRate);

struct ChannelVerdict {
    uint32_t channel = 0;  // one-based
    double expectedDbfs = 0;
    double capturedDbfs = 0;
    bool ok = false;
};

// The verdict is the tool's last line, and the application shows it in two lines of a narrow
// panel: a device's name in it keeps at most kShortNameLength characters, its start and its
// end around "…".
inline constexpr size_t kShortNameLength = 16;
std::string shortName(const std::string& name);
// A device as the user knows it: by its name, by its UID when it has none.
std::string displayName(const PassThruPath& path);
// That name as a verdict carries it.
std::string verdictName(const PassThruPath& path);
// The line a pass shows: the captured level of the channel furthest from what it should carry.
std::string resultLine(double capturedDbfs, double expectedDbfs, size_t channels);

// What each routed input channel should carry when a tone of `playedDbfs` is played on every
// output channel, against what the recording holds.
std::vector<ChannelVerdict> judge(const PassThruPath& path, const float* interleaved, size_t frames,
                                  uint32_t channels, double frequency, double sampleRate, double playedDbfs,
                                  double toleranceDb);

// A failing channel, as the verdict names it.
std::string failureLine(const std::string& name, const ChannelVerdict& verdict);

}  // namespace tidewell::smoke
