// The output bridge's settings: back-end spellings and names, the environment switches, and the
// status text of its errors.
// Needs the audio client library's unit and queues; without them the stream library is
// built without the bridge.
#if __has_include(<AudioClient/AudioToolbox.h>)

#include "TidewellStream/TidewellOutputBridge.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool WhollyDecimal(const char* text) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace

TidewellOutputBackend TidewellOutputBridgeBackendFromString(const char* text) {
    if (text == nullptr) {
        return TidewellOutputBackendDefault;
    }
    auto is = [text](const char* spelling) { return std::strcmp(text, spelling) == 0; };
    if (is("audio-unit") || is("audio_unit") || is("au")) {
        return TidewellOutputBackendAudioUnit;
    }
    if (is("audio-queue") || is("audio_queue") || is("aq") || is("queue")) {
        return TidewellOutputBackendAudioQueue;
    }
    if (is("audio-device") || is("audio_device") || is("device") || is("io-proc") || is("ioproc")) {
        return TidewellOutputBackendAudioDevice;
    }
    return TidewellOutputBackendDefault;
}

TidewellOutputBackend TidewellOutputBridgeBackendFromEnvironment() {
    const char* value = std::getenv("TIDEWELL_OUTPUT_BACKEND");
    if (value == nullptr || value[0] == '\0') {
        return TidewellOutputBackendDefault;
    }
    return TidewellOutputBridgeBackendFromString(value);
}

const char* TidewellOutputBridgeBackendName(TidewellOutputBackend backend) {
    switch (backend) {
    case TidewellOutputBackendAudioUnit: return "audio-unit";
    case TidewellOutputBackendAudioQueue: return "audio-queue";
    case TidewellOutputBackendAudioDevice: return "audio-device";
    case TidewellOutputBackendDefault: break;
    }
    return "default";
}

uint32_t AudioQueueBufferCountFromEnvironment() {
    const char* value = std::getenv("TIDEWELL_OUTPUT_QUEUE_BUFFERS");
    if (!WhollyDecimal(value)) {
        return kTidewellOutputBridgeMaxQueueBuffers;
    }
    // Only the size matters: any long number is "5 or more".
    if (std::strlen(value) > 3) {
        return kTidewellOutputBridgeMaxQueueBuffers;
    }
    const unsigned long count = std::strtoul(value, nullptr, 10);
    if (count < 2) {
        return 2;
    }
    return count > kTidewellOutputBridgeMaxQueueBuffers ? kTidewellOutputBridgeMaxQueueBuffers
                                                        : static_cast<uint32_t>(count);
}

bool ShouldRequestDeviceBufferSize() {
    const char* value = std::getenv("TIDEWELL_OUTPUT_SET_DEVICE_BUFFER");
    if (value == nullptr || value[0] == '\0') {
        return true;
    }
    for (const char* off : {"0", "false", "FALSE", "no", "off"}) {
        if (std::strcmp(value, off) == 0) {
            return false;
        }
    }
    return true;
}

void TidewellOutputBridgeFormatStatus(int32_t status, char* text, size_t size) {
    const auto bits = static_cast<uint32_t>(status);
    char code[5];
    for (int i = 0; i < 4; ++i) {
        const auto byte = static_cast<unsigned char>((bits >> (24 - 8 * i)) & 0xFFu);
        code[i] = byte >= 32 && byte <= 126 ? static_cast<char>(byte) : '.';
    }
    code[4] = '\0';
    std::snprintf(text, size, "%d ('%s')", status, code);
}

#endif
