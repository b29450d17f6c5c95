#pragma once
// The output bridge: plays a pulled stream of interleaved 32-bit float frames to one audio
// device through one of three back-ends (a device IO proc, the HAL output unit, or an output
// audio queue), asking its user's render callback for every block on the back-end's
// real-time thread. When the chosen back-end cannot start it may fall back to the queue.
//
// Needs the audio client library; without it the stream library is built without the bridge.

#include "TidewellStream/TidewellStreamClock.h"

#include <AudioClient/AudioToolbox.h>

#include <cstdint>
#include <cstdio>

enum TidewellOutputBackend : int32_t {
    TidewellOutputBackendDefault = 0,
    TidewellOutputBackendAudioUnit = 1,
    TidewellOutputBackendAudioQueue = 2,
    TidewellOutputBackendAudioDevice = 3,
};

// Renders frames x channels interleaved floats into destination; 0 is success. Runs on the
// back-end's real-time thread: it must not block, allocate or lock.
typedef uint32_t (*TidewellOutputRenderCallback)(void* context, float* destination, uint32_t frames, uint32_t channels);

struct TidewellOutputBridgeConfig {
    const char* deviceUID;  // null or empty: the system's default output device
    double sampleRate;      // of the stream the callback renders
    uint32_t channels;      // interleaved channels the callback renders
    uint32_t bufferFrames;  // preferred block size; 0 means 1024
    TidewellOutputBackend backend;
    bool allowFallback;  // whether the queue may follow a failed unit or device IO proc
    TidewellOutputRenderCallback render;
    void* context;
    FILE* log;  // where fallback notices go; may be null
};

constexpr uint32_t kTidewellOutputBridgeMaxQueueBuffers = 4;

// One per helper; zero-filled by every start. Users read activeBackend and, for the queue,
// queueBufferCount.
struct TidewellOutputBridge {
    TidewellOutputBackend requestedBackend;
    TidewellOutputBackend activeBackend;  // 0 while none runs
    AudioQueueRef queue;
    AudioQueueBufferRef queueBuffers[kTidewellOutputBridgeMaxQueueBuffers];
    uint32_t queueBufferCount;
    AudioComponentInstance audioUnit;
    AudioObjectID device;
    AudioDeviceIOProcID ioProcID;
    AudioObjectID resizedDevice;
    uint32_t previousBufferFrames;
    bool bufferSizeChanged;
    float* scratch;
    uint32_t scratchFrames;
    uint32_t channels;
    uint32_t bytesPerFrame;
    uint32_t deviceBufferFrames;
    TidewellOutputRenderCallback render;
    void* context;
    char error[256];
    // The audio unit's render thread: its slices' sample times put on the device's timeline.
    TidewellUnitTimeline unitTimeline;
    double unitRate;
};

TidewellOutputBackend TidewellOutputBridgeBackendFromString(const char* text);
// TIDEWELL_OUTPUT_BACKEND; unset or empty gives the default.
TidewellOutputBackend TidewellOutputBridgeBackendFromEnvironment();
const char* TidewellOutputBridgeBackendName(TidewellOutputBackend backend);

// True when a back-end runs. On false the bridge holds no audio-server object and no memory,
// and TidewellOutputBridgeError tells why. Null bridge or configuration: false, nothing written.
bool TidewellOutputBridgeStart(TidewellOutputBridge* bridge, const TidewellOutputBridgeConfig* config);
// Stops and releases whatever runs and restores a changed device buffer size; keeps the
// error text. Safe on a bridge that never started or is stopped already, and on null.
void TidewellOutputBridgeStop(TidewellOutputBridge* bridge);
const char* TidewellOutputBridgeError(const TidewellOutputBridge* bridge);

// TIDEWELL_OUTPUT_QUEUE_BUFFERS: 2 to 4, default 4.
uint32_t AudioQueueBufferCountFromEnvironment();
// TIDEWELL_OUTPUT_SET_DEVICE_BUFFER: false only for "0", "false", "FALSE", "no" and "off".
bool ShouldRequestDeviceBufferSize();

// The queue back-end's callback: renders into the whole buffer (silence when the render
// fails) and enqueues it again.
void TidewellAudioQueueOutputCallback(void* userData, AudioQueueRef queue, AudioQueueBufferRef buffer);

// Renders frames into a device's buffer list: straight into a single buffer of the bridge's
// channels, otherwise through the scratch, spread over the buffers in order. Never writes
// past a buffer's byte size. Returns the render callback's status.
uint32_t TidewellOutputBridgeFillBufferList(TidewellOutputBridge* bridge, AudioBufferList* list, uint32_t frames);

// The device IO proc back-end's proc (client data: the bridge). Ignores input; fills the
// output buffers for as many frames as every buffer with data can hold.
OSStatus TidewellOutputBridgeIOProc(AudioObjectID device, const AudioTimeStamp* now, const AudioBufferList* input,
                                    const AudioTimeStamp* inputTime, AudioBufferList* output,
                                    const AudioTimeStamp* outputTime, void* clientData);

// "%d ('%s')": the status in decimal and its four bytes, most significant first, with bytes
// outside 32 to 126 shown as ".". Writes at most size bytes including the NUL.
void TidewellOutputBridgeFormatStatus(int32_t status, char* text, size_t size);

// On the render thread, inside a render callback: the time stamp of the device cycle being
// rendered, when the back-end gives one (the device IO procedure and the audio unit); false
// otherwise (the audio queue, or outside a render).
bool TidewellOutputBridgeRenderTime(TidewellBlockTime* time);

// Makes `time` the render thread's cycle time until the scope ends (the back-ends use it around
// each render; a simulation of a device's cycles can too). `timelineMoved`: the cycle starts
// moved by a whole shift from this cycle on (see TidewellBlockTime).
struct TidewellOutputBridgeRenderScope {
    explicit TidewellOutputBridgeRenderScope(const AudioTimeStamp* time, bool timelineMoved = false);
    ~TidewellOutputBridgeRenderScope();
    TidewellOutputBridgeRenderScope(const TidewellOutputBridgeRenderScope&) = delete;
    TidewellOutputBridgeRenderScope& operator=(const TidewellOutputBridgeRenderScope&) = delete;
};
