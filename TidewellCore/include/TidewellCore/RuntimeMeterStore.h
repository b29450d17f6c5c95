// Reading meter regions "/twm<hash>" (written by the helpers and the plug-in) for the
// application's level meters, and MeterTap, the cache that blanks a reading once it stops
// changing.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidewell {

namespace RuntimeMeterStore {

struct Reading {
    std::vector<double> levels; // one per channel, as published
    std::vector<double> peaks;  // same length as levels
    // Element-wise floating-point equality: a value that is not a number equals nothing.
    bool operator==(const Reading &) const = default;
};

inline constexpr std::string_view passThruSourceOwnerID = "zellvane.passThru.source";
inline constexpr std::string_view deviceOutputOwnerID = "zellvane.device.output";

// The owner of a virtual device's source-side meter (what arrives at its output stream).
std::string sourceOwnerID(std::string_view deviceUID);
// The owner of a virtual device's output-side meter (what its clients record).
std::string outputOwnerID(std::string_view deviceUID);

// 64-bit FNV-1a of the owner id's UTF-8 bytes.
uint64_t ownerHash(std::string_view ownerID);

// One consistent copy of the owner's meter region, or nothing when it is missing, too
// short, not a meter region, or busy through 4 attempts. Never waits and never writes.
std::optional<Reading> reading(std::string_view ownerID);
std::optional<std::vector<double>> levels(std::string_view ownerID);

} // namespace RuntimeMeterStore

// The latest meter readings by owner. A reading that has not changed for 0.3 s reads as no
// reading, as if its writer had stopped. Times are seconds on any one clock of the caller's.
class MeterTap {
public:
    MeterTap() = default;

    // Replaces the whole table; owners absent from `readings` are dropped.
    void update(const std::map<std::string, RuntimeMeterStore::Reading, std::less<>> &readings, double time);

    std::optional<RuntimeMeterStore::Reading> reading(std::string_view ownerID, double time) const;

private:
    struct Entry {
        RuntimeMeterStore::Reading reading;
        double lastChanged = 0;
    };

    mutable std::mutex lock_;
    std::map<std::string, Entry, std::less<>> entries_;
};

} // namespace tidewell
