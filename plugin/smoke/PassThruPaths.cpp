#include "PassThruPaths.h"

#include <TidewellRuntimeSupport/TidewellRegions.h>

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <cstring>

namespace tidewell::smoke {

namespace {

uint32_t word(const unsigned char* image, size_t offset) {
    uint32_t value;
    std::memcpy(&value, image + offset, 4);
    return value;
}

float gainOf(const unsigned char* image, size_t offset) {
    float value;
    std::memcpy(&value, image + offset, 4);
    if (!std::isfinite(value)) return 1.0f;  // a non-finite gain counts as unity everywhere
    return std::clamp(value, 0.0f, 2.0f);
}

// A text field: its bytes up to the first NUL, never past its capacity.
std::string text(const unsigned char* image, size_t offset, size_t capacity) {
    const auto* begin = reinterpret_cast<const char*>(image + offset);
    return std::string(begin, strnlen(begin, capacity));
}

// Where each character of UTF-8 text begins.
std::vector<size_t> characterStarts(const std::string& text) {
    std::vector<size_t> starts;
    for (size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
    return starts;
}

}  // namespace

std::string shortName(const std::string& name) {
    const std::vector<size_t> starts = characterStarts(name);
    if (starts.size() <= kShortNameLength) return name;
    // Its start and its end, which tell devices of one family apart.
    const size_t head = (kShortNameLength - 1) / 2 + 1, tail = kShortNameLength - 1 - head;
    return name.substr(0, starts[head]) + "\u2026" + name.substr(starts[starts.size() - tail]);
}

std::string displayName(const PassThruPath& path) { return path.name.empty() ? path.uid : path.name; }

std::string verdictName(const PassThruPath& path) { return shortName(displayName(path)); }

std::string resultLine(double capturedDbfs, double expectedDbfs, size_t channels) {
    char line[120];
    std::snprintf(line, sizeof line, "Captured RMS: %.1f dBFS, expected %.1f, %zu channel%s", capturedDbfs, expectedDbfs,
                  channels, channels == 1 ? "" : "s");
    return line;
}

std::string failureLine(const std::string& name, const ChannelVerdict& verdict) {
    char values[80];
    std::snprintf(values, sizeof values, " channel %u at %.1f dBFS, not %.1f", verdict.channel, verdict.capturedDbfs,
                  verdict.expectedDbfs);
    return shortName(name) + values;
}

PathSelection selectPaths(const unsigned char* image, size_t size) {
    PathSelection selection;
    if (image == nullptr || size < TidewellRuntimeSize) return selection;
    if (word(image, TidewellRegionMagicOffset) != TidewellRuntimeMagic ||
        word(image, TidewellRegionVersionOffset) != TidewellRuntimeVersion ||
        word(image, TidewellRegionSizeOffset) != TidewellRuntimeSize)
        return selection;
    selection.regionUsable = true;
    const uint32_t count =
        std::min(word(image, offsetof(TidewellRuntimeRegion, deviceCount)), TidewellRuntimeMaxDevices);
    for (uint32_t index = 0; index < count; ++index) {
        const size_t slot = TidewellRuntimeSlotOffset(index);
        const uint32_t flags = word(image, slot + offsetof(TidewellRuntimeDeviceSlot, flags));
        if ((flags & TidewellSlotFlagPresent) == 0) continue;
        PassThruPath path;
        path.uid = text(image, slot + offsetof(TidewellRuntimeDeviceSlot, uid), TidewellRuntimeUIDCapacity);
        path.name = text(image, slot + offsetof(TidewellRuntimeDeviceSlot, name), TidewellRuntimeNameCapacity);
        if (path.uid.empty()) continue;
        path.channels = word(image, slot + offsetof(TidewellRuntimeDeviceSlot, channelCount));
        const std::string who = verdictName(path);
        if (path.channels < 1 || path.channels > TidewellRuntimeMaxChannels) {
            selection.skipped.push_back(who + " has no channels");
            continue;
        }
        if ((flags & TidewellSlotFlagDeviceEnabled) == 0) {
            selection.skipped.push_back(who + " is off");
            continue;
        }
        if ((flags & TidewellSlotFlagSourceEnabled) == 0 || (flags & TidewellSlotFlagMuted) != 0) {
            selection.skipped.push_back(who + " is muted");
            continue;
        }
        path.gain = gainOf(image, slot + offsetof(TidewellRuntimeDeviceSlot, deviceGain)) *
                    gainOf(image, slot + offsetof(TidewellRuntimeDeviceSlot, sourceGain));
        path.channelGains.resize(path.channels);
        for (uint32_t c = 0; c < path.channels; ++c)
            path.channelGains[c] =
                gainOf(image, slot + offsetof(TidewellRuntimeDeviceSlot, channelGains) + 4 * size_t(c));
        const uint32_t routes =
            std::min(word(image, slot + offsetof(TidewellRuntimeDeviceSlot, routeCount)), TidewellRuntimeMaxRoutes);
        bool audible = false;
        for (uint32_t k = 0; k < routes; ++k) {
            const size_t at = slot + offsetof(TidewellRuntimeDeviceSlot, routes) + sizeof(TidewellRuntimeRoute) * k;
            PassThruPath::Route route{word(image, at), word(image, at + 4)};
            // The plug-in skips a route that leaves the device's channels; so does the test.
            if (route.source < 1 || route.source > path.channels || route.destination < 1 ||
                route.destination > path.channels)
                continue;
            path.routes.push_back(route);
            audible = audible || path.channelGains[route.destination - 1] > 0.0f;
        }
        if (path.gain <= 0.0f || !audible) {
            selection.skipped.push_back(who + (path.routes.empty() ? " has no pass-thru wires" : " is at zero volume"));
            continue;
        }
        selection.testable.push_back(std::move(path));
    }
    return selection;
}

PassThruPath legacyPassThruPath(const std::string& uid, const std::string& name) {
    PassThruPath path;
    path.uid = uid;
    path.name = name;
    path.channels = 2;
    path.routes = {{1, 1}, {2, 2}};
    path.channelGains = {1.0f, 1.0f};
    return path;
}

double toneLevelDbfs(const float* interleaved, size_t frames, uint32_t channels, uint32_t channel, double frequency,
                     double sampleRate) {
    if (interleaved == nullptr || frames == 0 || channel >= channels || sampleRate <= 0) return -INFINITY;
    // Correlation with a Hann-windowed sine and cosine: the window keeps a loud tone a few
    // hundred hertz away from leaking into the measurement.
    const double step = 2 * M_PI * frequency / sampleRate;
    double sine = 0, cosine = 0, weight = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(frames));
        const double x = interleaved[i * channels + channel] * w;
        sine += x * std::sin(step * double(i));
        cosine += x * std::cos(step * double(i));
        weight += w;
    }
    const double amplitude = 2 * std::hypot(sine, cosine) / weight;
    return amplitude > 0 ? 20 * std::log10(amplitude) : -INFINITY;
}

std::vector<ChannelVerdict> judge(const PassThruPath& path, const float* interleaved, size_t frames,
                                  uint32_t channels, double frequency, double sampleRate, double playedDbfs,
                                  double toleranceDb) {
    // The same tone on every output channel adds up, in phase, on an input channel that
    // several routes feed.
    std::vector<double> feeds(path.channels + 1, 0.0);
    for (const auto& route : path.routes) feeds[route.destination] += 1.0;
    std::vector<ChannelVerdict> verdicts;
    for (uint32_t d = 1; d <= path.channels; ++d) {
        const double channelGain = d - 1 < path.channelGains.size() ? path.channelGains[d - 1] : 1.0;
        const double factor = feeds[d] * path.gain * channelGain;
        if (factor <= 0) continue;
        ChannelVerdict verdict;
        verdict.channel = d;
        verdict.expectedDbfs = playedDbfs + 20 * std::log10(factor);
        verdict.capturedDbfs = toneLevelDbfs(interleaved, frames, channels, d - 1, frequency, sampleRate);
        verdict.ok = std::isfinite(verdict.capturedDbfs) &&
                     std::fabs(verdict.capturedDbfs - verdict.expectedDbfs) <= toleranceDb;
        verdicts.push_back(verdict);
    }
    return verdicts;
}

}  // namespace tidewell::smoke
