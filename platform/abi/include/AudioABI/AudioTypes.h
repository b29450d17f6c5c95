// Basic value types of the audio platform: scalars, status, four-character codes,
// buffers, stream descriptions and time stamps. Plain C layouts (x86_64, little-endian)
// shared by the server, the client library and plug-ins.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;
typedef float Float32;
typedef double Float64;
// One byte, as on the original platform: callers pass its address for 1-byte answers.
typedef unsigned char Boolean;
typedef int32_t OSStatus;
typedef uint32_t FourCharCode;

// Builds a four-character code from its four letters, first letter in the high byte.
#define AUDIO_FOUR_CC(a, b, c, d) \
    ((UInt32)(((UInt32)(UInt8)(a) << 24) | ((UInt32)(UInt8)(b) << 16) | ((UInt32)(UInt8)(c) << 8) | (UInt32)(UInt8)(d)))

// Named constants: typed constants in C++ (so they mix with plain integers in
// expressions), enumerators in C.
#ifdef __cplusplus
#define AUDIO_CONSTANT(type, name, value) inline constexpr type name = static_cast<type>(value);
#else
#define AUDIO_CONSTANT(type, name, value) enum { name = (value) };
#endif

typedef UInt32 AudioObjectID;
typedef UInt32 AudioClassID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;
typedef AudioObjectID AudioDeviceID;
typedef AudioObjectID AudioStreamID;
typedef UInt32 AudioFormatID;
typedef UInt32 AudioFormatFlags;

typedef struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
} AudioObjectPropertyAddress;

// One buffer of a buffer list: 16 bytes.
typedef struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void* mData;
} AudioBuffer;

// A counted list of buffers; the first buffer lies at byte 8 and the list of n buffers
// takes 8 + 16 * n bytes. Declared with one buffer; longer lists are allocated larger.
typedef struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
} AudioBufferList;

// Byte size of a buffer list holding n buffers.
#define AUDIO_BUFFER_LIST_SIZE(n) ((UInt32)(offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer) * (size_t)(n)))

// 40 bytes.
typedef struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
} AudioStreamBasicDescription;

// 16 bytes.
typedef struct AudioValueRange {
    Float64 mMinimum;
    Float64 mMaximum;
} AudioValueRange;

// 56 bytes: a format and the range of rates it is offered at.
typedef struct AudioStreamRangedDescription {
    AudioStreamBasicDescription mFormat;
    AudioValueRange mSampleRateRange;
} AudioStreamRangedDescription;

typedef struct AudioTimeStamp {
    Float64 mSampleTime;
    UInt64 mHostTime;  // CLOCK_MONOTONIC nanoseconds
    Float64 mRateScalar;
    UInt64 mWordClockTime;
    UInt32 mFlags;
    UInt32 mReserved;
} AudioTimeStamp;

AUDIO_CONSTANT(UInt32, kAudioTimeStampSampleTimeValid, 1u << 0)
AUDIO_CONSTANT(UInt32, kAudioTimeStampHostTimeValid, 1u << 1)
AUDIO_CONSTANT(UInt32, kAudioTimeStampRateScalarValid, 1u << 2)
AUDIO_CONSTANT(UInt32, kAudioTimeStampWordClockTimeValid, 1u << 3)
AUDIO_CONSTANT(UInt32, kAudioTimeStampSampleHostTimeValid, kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid)

AUDIO_CONSTANT(UInt32, kAudioFormatLinearPCM, AUDIO_FOUR_CC('l', 'p', 'c', 'm'))

AUDIO_CONSTANT(UInt32, kAudioFormatFlagIsFloat, 1u << 0)
AUDIO_CONSTANT(UInt32, kAudioFormatFlagIsBigEndian, 1u << 1)
AUDIO_CONSTANT(UInt32, kAudioFormatFlagIsSignedInteger, 1u << 2)
AUDIO_CONSTANT(UInt32, kAudioFormatFlagIsPacked, 1u << 3)
AUDIO_CONSTANT(UInt32, kAudioFormatFlagIsAlignedHigh, 1u << 4)
AUDIO_CONSTANT(UInt32, kAudioFormatFlagIsNonInterleaved, 1u << 5)
AUDIO_CONSTANT(UInt32, kAudioFormatFlagIsNonMixable, 1u << 6)
AUDIO_CONSTANT(UInt32, kAudioFormatFlagsNativeFloatPacked, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked)

#ifdef __cplusplus
}  // extern "C"
static_assert(sizeof(AudioBuffer) == 16, "AudioBuffer is 16 bytes");
static_assert(offsetof(AudioBufferList, mBuffers) == 8, "the first buffer lies at byte 8");
static_assert(sizeof(AudioStreamBasicDescription) == 40, "stream description is 40 bytes");
static_assert(sizeof(AudioStreamRangedDescription) == 56, "ranged description is 56 bytes");
static_assert(sizeof(AudioValueRange) == 16, "value range is 16 bytes");
static_assert(sizeof(AudioObjectPropertyAddress) == 12, "property address is 12 bytes");
#endif
