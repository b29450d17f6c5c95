#include "TidewellCore/RuntimeControlStore.h"

#include "TidewellCore/SourceControlStore.h"
#include "TidewellRuntimeSupport/TidewellRegions.h"
#include "runtime/RuntimeRegionImage.h"
#include "runtime/SharedMemoryRegion.h"

#include <algorithm>
#include <memory>
#include <unicode/brkiter.h>
#include <unicode/utext.h>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace tidewell {

// ---------------------------------------------------------------------------------------
// Errors

RuntimeControlStoreError::RuntimeControlStoreError(Kind kind, int32_t errorNumber)
    : kind_(kind), errorNumber_(errorNumber)
{
    const std::string n = std::to_string(errorNumber);
    switch (kind) {
    case Kind::openFailed:
        message_ = "Could not open Tidewell runtime shared memory: errno " + n + ".";
        break;
    case Kind::resizeFailed:
        message_ = "Could not size Tidewell runtime shared memory: errno " + n + ".";
        break;
    case Kind::mapFailed:
        message_ = "Could not map Tidewell runtime shared memory: errno " + n + ".";
        break;
    case Kind::invalidState:
        message_ = "Tidewell runtime shared memory did not contain a valid control state.";
        break;
    }
}

RuntimeControlStoreError RuntimeControlStoreError::openFailed(int32_t errorNumber)
{
    return {Kind::openFailed, errorNumber};
}

RuntimeControlStoreError RuntimeControlStoreError::resizeFailed(int32_t errorNumber)
{
    return {Kind::resizeFailed, errorNumber};
}

RuntimeControlStoreError RuntimeControlStoreError::mapFailed(int32_t errorNumber)
{
    return {Kind::mapFailed, errorNumber};
}

RuntimeControlStoreError RuntimeControlStoreError::invalidState()
{
    return {Kind::invalidState, 0};
}

RegionRefusedError::RegionRefusedError(std::string words)
    : RuntimeControlStoreError(Kind::openFailed, EACCES), words_(std::move(words))
{
}

// ---------------------------------------------------------------------------------------
// Normalising rules

namespace RuntimeControlRules {

float gain(float value)
{
    if (!std::isfinite(value)) {
        return 1.0f;
    }
    if (value <= 0.0f) {
        return 0.0f;
    }
    return value > 2.0f ? 2.0f : value;
}

float gain(double value)
{
    // Converted first, so a value beyond the float range becomes infinite and then 1.0.
    return gain(static_cast<float>(value));
}

int64_t runtimeChannelCount(int64_t count)
{
    const int64_t even = count - count % 2;
    return std::clamp<int64_t>(even, 2, static_cast<int64_t>(RuntimeControlStoreV3::maximumChannelCount));
}

namespace {

template <class T>
std::vector<float> normalisedGainList(const std::vector<T> &gains)
{
    constexpr size_t count = RuntimeControlStoreV3::maximumChannelCount;
    std::vector<float> result;
    result.reserve(count);
    for (size_t i = 0; i < gains.size() && i < count; ++i) {
        result.push_back(gain(gains[i]));
    }
    result.resize(count, 1.0f);
    return result;
}

} // namespace

std::vector<float> gainList(const std::vector<double> &gains)
{
    return normalisedGainList(gains);
}

std::vector<float> gainList(const std::vector<float> &gains)
{
    return normalisedGainList(gains);
}

} // namespace RuntimeControlRules

RuntimeDeviceControls::RuntimeDeviceControls(std::string uid, std::string name, std::string icon, int64_t channelCount,
                                             bool deviceEnabled, double deviceGain,
                                             const std::vector<double> &channelGains, bool sourceEnabled, bool muted,
                                             double sourceGain, std::vector<RuntimeChannelRoute> routes)
    : uid(std::move(uid)), name(std::move(name)), icon(std::move(icon)),
      channelCount(RuntimeControlRules::runtimeChannelCount(channelCount)), deviceEnabled(deviceEnabled),
      deviceGain(RuntimeControlRules::gain(deviceGain)), channelGains(RuntimeControlRules::gainList(channelGains)),
      sourceEnabled(sourceEnabled), muted(muted), sourceGain(RuntimeControlRules::gain(sourceGain)),
      routes(std::move(routes))
{
    if (this->routes.size() > RuntimeControlStoreV3::maximumRouteCount) {
        this->routes.resize(RuntimeControlStoreV3::maximumRouteCount);
    }
}

// ---------------------------------------------------------------------------------------
// The runtime region

namespace runtime_region {

namespace {

// The longest prefix of `text` made of whole user-perceived characters (extended grapheme
// clusters) within `maximumBytes` bytes. Break iterators are costly to create, and a publish
// may cut many fields, so each thread keeps one.
size_t wholeCharacterPrefixLength(std::string_view text, size_t maximumBytes)
{
    if (text.size() <= maximumBytes) {
        return text.size();
    }
    // Whether a boundary falls at or before the limit depends only on the text up to the
    // code point after it.
    text = text.substr(0, std::min(text.size(), maximumBytes + 8));
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> created(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        return U_SUCCESS(status) ? std::move(created) : nullptr;
    }();
    if (!iterator) {
        // No break data: keep whole code points at least.
        size_t cut = maximumBytes;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        return cut;
    }
    UErrorCode status = U_ZERO_ERROR;
    UText *utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    iterator->setText(utext, status);
    size_t best = 0;
    if (U_SUCCESS(status)) {
        for (int32_t boundary = iterator->next(); boundary != icu::BreakIterator::DONE; boundary = iterator->next()) {
            if (static_cast<size_t>(boundary) > maximumBytes) {
                break;
            }
            best = static_cast<size_t>(boundary);
        }
    }
    // Detach the iterator from the text before the text goes away.
    UText *empty = utext_openUTF8(nullptr, "", 0, &status);
    iterator->setText(empty, status);
    utext_close(utext);
    utext_close(empty);
    return best;
}

} // namespace

void writeString(std::string_view text, unsigned char *base, size_t offset, size_t capacity)
{
    if (capacity == 0) {
        return;
    }
    const size_t length = std::min(wholeCharacterPrefixLength(text, capacity - 1), capacity - 1);
    std::memcpy(base + offset, text.data(), length);
    std::memset(base + offset + length, 0, capacity - length);
}

uint32_t routeChannelField(int64_t channel)
{
    // A channel that does not fit the field is stored as 0, which readers skip, never
    // truncated onto a real channel (2^32 + 1 would otherwise become channel 1).
    if (channel < 1 || channel > static_cast<int64_t>(std::numeric_limits<uint32_t>::max())) {
        return 0;
    }
    return static_cast<uint32_t>(channel);
}

void buildSlot(const RuntimeDeviceControls &entry, TidewellRuntimeDeviceSlot &slot)
{
    auto *base = reinterpret_cast<unsigned char *>(&slot);
    slot.channelCount = static_cast<uint32_t>(entry.channelCount);
    slot.deviceGain = entry.deviceGain;
    slot.sourceGain = entry.sourceGain;
    const size_t routeCount = std::min(entry.routes.size(), RuntimeControlStoreV3::maximumRouteCount);
    slot.routeCount = static_cast<uint32_t>(routeCount);
    writeString(entry.uid, base, offsetof(TidewellRuntimeDeviceSlot, uid), TidewellRuntimeUIDCapacity);
    writeString(entry.name, base, offsetof(TidewellRuntimeDeviceSlot, name), TidewellRuntimeNameCapacity);
    writeString(entry.icon, base, offsetof(TidewellRuntimeDeviceSlot, icon), TidewellRuntimeIconCapacity);
    for (size_t k = 0; k < TidewellRuntimeMaxChannels; ++k) {
        slot.channelGains[k] = k < entry.channelGains.size() ? entry.channelGains[k] : 1.0f;
    }
    for (size_t r = 0; r < TidewellRuntimeMaxRoutes; ++r) {
        if (r < routeCount) {
            slot.routes[r].sourceChannel = routeChannelField(entry.routes[r].sourceChannel);
            slot.routes[r].outputChannel = routeChannelField(entry.routes[r].outputChannel);
        } else {
            slot.routes[r] = {0, 0};
        }
    }
    slot.flags = TidewellSlotFlagPresent | (entry.deviceEnabled ? TidewellSlotFlagDeviceEnabled : 0u) |
                 (entry.sourceEnabled ? TidewellSlotFlagSourceEnabled : 0u) |
                 (entry.muted ? TidewellSlotFlagMuted : 0u);
}

void RuntimeImage::build(const std::vector<RuntimeDeviceControls> &controls, bool cushionDisabled)
{
    deviceCount = static_cast<uint32_t>(std::min(controls.size(), RuntimeControlStoreV3::maximumDeviceCount));
    flags = cushionDisabled ? TidewellRuntimeFlagCushionDisabled : 0u;
    for (uint32_t i = 0; i < deviceCount; ++i) {
        buildSlot(controls[i], slots[i]);
    }
}

void RuntimeImage::store(void *region) const
{
    // Everything is prepared beforehand: between the two counter stores there are only
    // stores to already-backed pages, no system call and no allocation.
    const uint32_t odd = TidewellSequenceBeginWrite(region);
    TidewellRegionStoreWord(region, TidewellRegionMagicOffset, TidewellRuntimeMagic);
    TidewellRegionStoreWord(region, TidewellRegionVersionOffset, TidewellRuntimeVersion);
    TidewellRegionStoreWord(region, TidewellRegionSizeOffset, TidewellRuntimeSize);
    TidewellRegionStoreWord(region, offsetof(TidewellRuntimeRegion, deviceCount), deviceCount);
    TidewellRegionStoreWord(region, offsetof(TidewellRuntimeRegion, flags), flags);
    for (uint32_t i = 0; i < TidewellRuntimeMaxDevices; ++i) {
        const size_t slotOffset = TidewellRuntimeSlotOffset(i);
        if (i >= deviceCount) {
            // Only the flags word of an unused slot is written; readers look no further.
            TidewellRegionStoreWord(region, slotOffset, 0);
            continue;
        }
        const auto *slot = reinterpret_cast<const unsigned char *>(&slots[i]);
        const size_t head = offsetof(TidewellRuntimeDeviceSlot, channelCount);
        const size_t headEnd = offsetof(TidewellRuntimeDeviceSlot, reserved0);
        const size_t body = offsetof(TidewellRuntimeDeviceSlot, uid);
        const size_t bodyEnd = offsetof(TidewellRuntimeDeviceSlot, reserved1);
        TidewellRegionWriteBytes(region, slotOffset + head, slot + head, headEnd - head);
        TidewellRegionWriteBytes(region, slotOffset + body, slot + body, bodyEnd - body);
        TidewellRegionStoreWord(region, slotOffset, slots[i].flags);
    }
    TidewellSequenceEndWrite(region, odd);
}

void writeRuntimeRegion(const char *name, const RuntimeImage &image)
{
    WritableRegion region(name, TidewellRuntimeSize);
    image.store(region.bytes());
}

void publishRuntimeRegion(const char *name, const std::vector<RuntimeDeviceControls> &controls, bool cushionDisabled)
{
    auto image = std::make_unique<RuntimeImage>();
    image->build(controls, cushionDisabled);
    try {
        writeRuntimeRegion(name, *image);
    } catch (const RuntimeControlStoreError &error) {
        if (error.kind() != RuntimeControlStoreError::Kind::resizeFailed || error.errorNumber() != EINVAL) {
            throw;
        }
        // A region of the wrong size that cannot be resized is replaced once.
        (void)systemCalls().unlink(name);
        writeRuntimeRegion(name, *image);
    }
}

} // namespace runtime_region

namespace RuntimeControlStoreV3 {

std::vector<RuntimeDeviceControls> controls(const ConfigSnapshot &snapshot)
{
    std::vector<RuntimeDeviceControls> result;
    for (const DeviceConfig &device : snapshot.devices) {
        if (result.size() == maximumDeviceCount) {
            break;
        }
        const SourceConfig *passThru = nullptr;
        for (const SourceConfig &source : device.sources) {
            if (source.type == SourceType::passThru) {
                passThru = &source;
                break;
            }
        }
        const std::vector<double> gains = device.channelGains.value_or(std::vector<double>{});
        std::vector<RuntimeChannelRoute> routes =
            passThru != nullptr ? RuntimeRouteMap::sourceRoutes(passThru->id, device, device.channelCount)
                                : RuntimeRouteMap::identityRoutes(device.channelCount);
        result.emplace_back(device.uid, device.name, device.icon, device.channelCount, device.enabled, device.volume,
                            gains, passThru != nullptr ? passThru->enabled : true,
                            passThru != nullptr ? passThru->muted : false, passThru != nullptr ? passThru->gain : 1.0,
                            std::move(routes));
    }
    return result;
}

void publish(const std::vector<RuntimeDeviceControls> &controls, bool cushionDisabled)
{
    runtime_region::publishRuntimeRegion(std::string(sharedMemoryName).c_str(), controls, cushionDisabled);
}

void publish(const ConfigSnapshot &snapshot, bool cushionDisabled)
{
    publish(controls(snapshot), cushionDisabled);
}

bool regionIsIntact()
{
    return runtime_region::regionIsIntact(std::string(sharedMemoryName).c_str(), TidewellRuntimeSize,
                                          TidewellRuntimeMagic, TidewellRuntimeVersion);
}

} // namespace RuntimeControlStoreV3

namespace RuntimePublisher {

void publish(const ConfigSnapshot &snapshot)
{
    RuntimeControlStoreV3::publish(RuntimeControlStoreV3::controls(snapshot), false);
    SourceControlStore::publish(snapshot);
}

} // namespace RuntimePublisher

} // namespace tidewell
