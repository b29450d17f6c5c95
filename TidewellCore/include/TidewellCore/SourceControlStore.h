// Control regions "/twc<hash>": live gain, mute and channel gains of each captured source
// and each monitor, polled by the helper program that plays it.
#pragma once

#include "TidewellCore/ConfigModel.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tidewell {

namespace SourceControlStore {

inline constexpr int64_t maximumChannelCount = 64;

struct Values {
    bool muted = false;
    float gain = 1.0f;               // 0...2
    std::vector<float> channelGains; // exactly 64 entries, 0...2
    int64_t channelCount = 0;        // 0...64

    // Normalises: the gain rule, the gain-list rule, and the count clamped to 0...64.
    Values(bool muted, float gain, const std::vector<float> &channelGains, int64_t channelCount);

    bool operator==(const Values &) const = default;
};

// Owner id -> values: every source that is not pass-thru, and every monitor. An id met
// twice keeps its last occurrence.
std::map<std::string, Values> controls(const ConfigSnapshot &snapshot);

// One complete write of the owner's region. Throws RuntimeControlStoreError.
void write(const Values &values, const std::string &ownerID);

// Writes every owner whose values differ from what this process last wrote for it. Never
// throws: an owner whose write failed is tried again on the next publish.
void publish(const ConfigSnapshot &snapshot);

// "/twc" + the owner hash as 16 lower-case hexadecimal digits.
std::string sharedMemoryName(std::string_view ownerID);

} // namespace SourceControlStore

} // namespace tidewell
