#include "TidewellCore/SourceControlStore.h"

#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellRuntimeSupport/TidewellRegions.h"
#include "runtime/SharedMemoryRegion.h"

#include <algorithm>
#include <mutex>

namespace tidewell::SourceControlStore {

namespace {

std::vector<float> toFloats(const std::optional<std::vector<double>> &gains)
{
    std::vector<float> result;
    if (gains) {
        result.reserve(std::min<size_t>(gains->size(), TidewellControlMaxChannels));
        for (size_t i = 0; i < gains->size() && i < TidewellControlMaxChannels; ++i) {
            result.push_back(static_cast<float>((*gains)[i]));
        }
    }
    return result;
}

// What this process last wrote successfully, per owner. Never shrinks.
std::mutex cacheLock;
std::map<std::string, Values> lastWritten;

} // namespace

Values::Values(bool muted, float gain, const std::vector<float> &channelGains, int64_t channelCount)
    : muted(muted), gain(RuntimeControlRules::gain(gain)), channelGains(RuntimeControlRules::gainList(channelGains)),
      channelCount(std::clamp<int64_t>(channelCount, 0, maximumChannelCount))
{
}

std::map<std::string, Values> controls(const ConfigSnapshot &snapshot)
{
    std::map<std::string, Values> result;
    auto enter = [&result](const std::string &id, Values values) {
        result.insert_or_assign(id, std::move(values));
    };
    for (const DeviceConfig &device : snapshot.devices) {
        for (const SourceConfig &source : device.sources) {
            if (source.type != SourceType::passThru) {
                enter(source.id, Values(source.muted, static_cast<float>(source.gain), toFloats(source.channelGains),
                                        source.channelCount));
            }
        }
        for (const MonitorConfig &monitor : device.monitors) {
            enter(monitor.id, Values(monitor.muted, static_cast<float>(monitor.gain), toFloats(monitor.channelGains),
                                     monitor.channelCount));
        }
    }
    return result;
}

std::string sharedMemoryName(std::string_view ownerID)
{
    char buffer[TidewellRegionNameCapacity];
    TidewellRegionFormatName(TidewellControlNamePrefix, TidewellOwnerHashBytes(ownerID.data(), ownerID.size()), buffer,
                             sizeof buffer);
    return buffer;
}

void write(const Values &values, const std::string &ownerID)
{
    TidewellControlRegion image{};
    image.flags = values.muted ? TidewellControlFlagMuted : 0u;
    image.gain = values.gain;
    image.channelCount = static_cast<uint32_t>(values.channelCount);
    for (size_t k = 0; k < TidewellControlMaxChannels; ++k) {
        image.channelGains[k] = k < values.channelGains.size() ? values.channelGains[k] : 1.0f;
    }

    const std::string name = sharedMemoryName(ownerID);
    runtime_region::WritableRegion region(name.c_str(), TidewellControlSize);
    void *bytes = region.bytes();
    const uint32_t odd = TidewellSequenceBeginWrite(bytes);
    TidewellRegionStoreWord(bytes, TidewellRegionMagicOffset, TidewellControlMagic);
    TidewellRegionStoreWord(bytes, TidewellRegionVersionOffset, TidewellControlVersion);
    TidewellRegionStoreWord(bytes, TidewellRegionSizeOffset, TidewellControlSize);
    TidewellRegionWriteBytes(bytes, offsetof(TidewellControlRegion, flags), &image.flags,
                             offsetof(TidewellControlRegion, reserved0) - offsetof(TidewellControlRegion, flags));
    TidewellRegionWriteBytes(bytes, offsetof(TidewellControlRegion, channelGains), image.channelGains,
                             sizeof image.channelGains);
    TidewellSequenceEndWrite(bytes, odd);
}

void publish(const ConfigSnapshot &snapshot)
{
    for (const auto &[ownerID, values] : controls(snapshot)) {
        {
            std::lock_guard<std::mutex> guard(cacheLock);
            auto found = lastWritten.find(ownerID);
            if (found != lastWritten.end() && found->second == values) {
                continue;
            }
        }
        try {
            write(values, ownerID);
        } catch (const RuntimeControlStoreError &) {
            continue; // tried again on the next publish
        }
        std::lock_guard<std::mutex> guard(cacheLock);
        lastWritten.insert_or_assign(ownerID, values);
    }
}

} // namespace tidewell::SourceControlStore
