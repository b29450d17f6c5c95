// The runtime region's contents prepared in ordinary memory, so that the write inside the
// sequence counter's odd window is nothing but stores.
#pragma once

#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellRuntimeSupport/TidewellRegions.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace tidewell::runtime_region {

struct RuntimeImage {
    uint32_t deviceCount = 0;
    uint32_t flags = 0;
    TidewellRuntimeDeviceSlot slots[TidewellRuntimeMaxDevices] = {};

    void build(const std::vector<RuntimeDeviceControls> &controls, bool cushionDisabled);
    // One complete write under the sequence counter. The caller holds the writers' lock.
    void store(void *region) const;
};

// A text field: UTF-8 cut to whole characters within capacity - 1 bytes, NUL-filled.
void writeString(std::string_view text, unsigned char *base, size_t offset, size_t capacity);

// A route channel as stored: 0 for anything outside 1...UINT32_MAX.
uint32_t routeChannelField(int64_t channel);

// Writes the runtime region `name` (tests use their own names); recreates it once when it
// cannot be resized.
void publishRuntimeRegion(const char *name, const std::vector<RuntimeDeviceControls> &controls, bool cushionDisabled);

} // namespace tidewell::runtime_region
