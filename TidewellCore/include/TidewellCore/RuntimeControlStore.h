// The runtime region "/twruntime3": the virtual devices with their controls and routes,
// written by the application and the service from a whole configuration and read by the
// audio-server plug-in. RuntimePublisher::publish is the one entry that pushes a
// configuration into shared memory: the runtime region, then the control regions.
#pragma once

#include "TidewellCore/ConfigModel.h"
#include "TidewellCore/RuntimeRouteMap.h"

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace tidewell {

// Failures to open, size or map a shared-memory region (runtime or control).
class RuntimeControlStoreError : public std::exception {
public:
    enum class Kind { openFailed, resizeFailed, mapFailed, invalidState };

    static RuntimeControlStoreError openFailed(int32_t errorNumber);
    static RuntimeControlStoreError resizeFailed(int32_t errorNumber);
    static RuntimeControlStoreError mapFailed(int32_t errorNumber);
    static RuntimeControlStoreError invalidState();

    Kind kind() const noexcept { return kind_; }
    // The errno of the failing call; 0 for invalidState.
    int32_t errorNumber() const noexcept { return errorNumber_; }
    const char *what() const noexcept override { return message_.c_str(); }

    bool operator==(const RuntimeControlStoreError &other) const
    {
        return kind_ == other.kind_ && errorNumber_ == other.errorNumber_;
    }

protected:
    RuntimeControlStoreError(Kind kind, int32_t errorNumber);

private:
    Kind kind_;
    int32_t errorNumber_;
    std::string message_;
};

// A region that is not the user's own (another user's, one that others may write, or not a
// regular object): nothing is written over it. It compares equal to openFailed(EACCES); its
// text names the region and its owner. The writer has already said so, once, through the
// shared-memory reporter (TidewellShmTrust.h), so callers that log failures skip this one.
class RegionRefusedError : public RuntimeControlStoreError {
public:
    explicit RegionRefusedError(std::string words);
    const char *what() const noexcept override { return words_.c_str(); }

private:
    std::string words_;
};

// The normalising rules shared by the runtime region and the control regions.
namespace RuntimeControlRules {

// Converted to 32 bits; non-finite becomes 1.0; then clamped to 0.0...2.0.
float gain(double value);
float gain(float value);
// Made even (towards zero), then clamped to 2...64.
int64_t runtimeChannelCount(int64_t count);
// The first 64 entries by the gain rule, completed with 1.0 to exactly 64.
std::vector<float> gainList(const std::vector<double> &gains);
std::vector<float> gainList(const std::vector<float> &gains);

} // namespace RuntimeControlRules

// The controls of one device as they go into one slot of the runtime region.
struct RuntimeDeviceControls {
    std::string uid;
    std::string name;
    std::string icon;
    int64_t channelCount = 2;          // even, 2...64
    bool deviceEnabled = true;
    float deviceGain = 1.0f;           // 0...2
    std::vector<float> channelGains;   // exactly 64 entries, 0...2
    bool sourceEnabled = true;
    bool muted = false;
    float sourceGain = 1.0f;           // 0...2
    std::vector<RuntimeChannelRoute> routes; // at most 128

    // Takes any values and normalises them.
    RuntimeDeviceControls(std::string uid, std::string name, std::string icon, int64_t channelCount,
                          bool deviceEnabled, double deviceGain, const std::vector<double> &channelGains,
                          bool sourceEnabled, bool muted, double sourceGain, std::vector<RuntimeChannelRoute> routes);

    bool operator==(const RuntimeDeviceControls &) const = default;
};

namespace RuntimeControlStoreV3 {

inline constexpr std::string_view sharedMemoryName = "/twruntime3";
inline constexpr size_t maximumDeviceCount = 16;
inline constexpr size_t maximumRouteCount = 128;
inline constexpr size_t maximumChannelCount = 64;

// The controls of the first 16 devices, in order.
std::vector<RuntimeDeviceControls> controls(const ConfigSnapshot &snapshot);

// Rewrites the whole region. Throws RuntimeControlStoreError; nothing of the region has
// changed when it throws. A region of the wrong size that refuses to grow is recreated once.
void publish(const std::vector<RuntimeDeviceControls> &controls, bool cushionDisabled);
void publish(const ConfigSnapshot &snapshot, bool cushionDisabled);

// True when the region exists as this user's own, whole, with the header of this layout and
// no write left half-done: a counter found odd while no writer holds the region belongs to a
// writer that died between its two counter stores, and readers would never trust it again.
bool regionIsIntact();

} // namespace RuntimeControlStoreV3

namespace RuntimePublisher {

// The runtime region first; only when that succeeded, every control region whose values
// changed since this process last wrote them. Throws the runtime region's error.
void publish(const ConfigSnapshot &snapshot);

} // namespace RuntimePublisher

} // namespace tidewell
