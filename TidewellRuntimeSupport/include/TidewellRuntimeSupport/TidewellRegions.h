// Byte layouts of the system's three kinds of shared-memory region, the owner hash that
// names control and meter regions, and the sequence-counter helpers through which every
// writer and reader touches a mapped region.
//
// Every region begins with four little-endian u32 words: magic, version, size, sequence.
// The sequence counter at byte 12 is odd while a write is in progress and even when the
// region is consistent. A writer makes it odd, changes the payload and makes it even; a
// reader loads it, copies, loads it again and trusts the copy only when both loads gave
// the same even value.
//
// All payload words are read and written as single aligned 32-bit atomic accesses (with
// acquire loads and release stores). On the machines we run on these are ordinary moves,
// and they make the orderings the protocol needs explicit without standalone fences: a
// reader that sees any word of a write also sees the odd counter that preceded it, and the
// second counter load cannot move ahead of the copy.
//
// This header is used by the core library, the stream library and the plug-in; it holds
// no state and calls nothing but the C library.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "region fields are little-endian and are stored in host order");

// ---------------------------------------------------------------------------------------
// Common header

struct TidewellRegionHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t size;
    uint32_t sequence;
};
static_assert(sizeof(TidewellRegionHeader) == 16);

inline constexpr size_t TidewellRegionMagicOffset = 0;
inline constexpr size_t TidewellRegionVersionOffset = 4;
inline constexpr size_t TidewellRegionSizeOffset = 8;
inline constexpr size_t TidewellRegionSequenceOffset = 12;

// ---------------------------------------------------------------------------------------
// Runtime region: the virtual devices, their controls and routes, for the plug-in.

inline constexpr const char *TidewellRuntimeRegionName = "/twruntime3";
inline constexpr uint32_t TidewellRuntimeMagic = 0x5A564252u; // 'ZVBR'
inline constexpr uint32_t TidewellRuntimeVersion = 4;
inline constexpr uint32_t TidewellRuntimeSize = 65536;
inline constexpr uint32_t TidewellRuntimeMaxDevices = 16;
inline constexpr uint32_t TidewellRuntimeMaxRoutes = 128;
inline constexpr uint32_t TidewellRuntimeMaxChannels = 64;
inline constexpr uint32_t TidewellRuntimeUIDCapacity = 128;
inline constexpr uint32_t TidewellRuntimeNameCapacity = 128;
inline constexpr uint32_t TidewellRuntimeIconCapacity = 32;

// Header flags word.
inline constexpr uint32_t TidewellRuntimeFlagCushionDisabled = 1u << 1;

// Device slot flags word.
inline constexpr uint32_t TidewellSlotFlagPresent = 1u << 0;
inline constexpr uint32_t TidewellSlotFlagDeviceEnabled = 1u << 1;
inline constexpr uint32_t TidewellSlotFlagSourceEnabled = 1u << 2;
inline constexpr uint32_t TidewellSlotFlagMuted = 1u << 3;

struct TidewellRuntimeRoute {
    uint32_t sourceChannel; // one-based; 0 means "no channel" and is skipped by readers
    uint32_t outputChannel;
};

struct TidewellRuntimeDeviceSlot {
    uint32_t flags;
    uint32_t channelCount;
    float deviceGain;
    float sourceGain;
    uint32_t routeCount;
    uint8_t reserved0[12];
    char uid[TidewellRuntimeUIDCapacity];
    char name[TidewellRuntimeNameCapacity];
    char icon[TidewellRuntimeIconCapacity];
    float channelGains[TidewellRuntimeMaxChannels];
    TidewellRuntimeRoute routes[TidewellRuntimeMaxRoutes];
    uint8_t reserved1[448];
};

struct TidewellRuntimeRegion {
    TidewellRegionHeader header;
    uint32_t deviceCount;
    uint32_t flags;
    uint8_t reserved[40];
    TidewellRuntimeDeviceSlot slots[TidewellRuntimeMaxDevices];
    uint8_t unused[TidewellRuntimeSize - 64 - 2048 * TidewellRuntimeMaxDevices];
};

static_assert(sizeof(TidewellRuntimeDeviceSlot) == 2048);
static_assert(offsetof(TidewellRuntimeDeviceSlot, channelCount) == 4);
static_assert(offsetof(TidewellRuntimeDeviceSlot, deviceGain) == 8);
static_assert(offsetof(TidewellRuntimeDeviceSlot, sourceGain) == 12);
static_assert(offsetof(TidewellRuntimeDeviceSlot, routeCount) == 16);
static_assert(offsetof(TidewellRuntimeDeviceSlot, uid) == 32);
static_assert(offsetof(TidewellRuntimeDeviceSlot, name) == 160);
static_assert(offsetof(TidewellRuntimeDeviceSlot, icon) == 288);
static_assert(offsetof(TidewellRuntimeDeviceSlot, channelGains) == 320);
static_assert(offsetof(TidewellRuntimeDeviceSlot, routes) == 576);
static_assert(offsetof(TidewellRuntimeDeviceSlot, reserved1) == 1600);
static_assert(sizeof(TidewellRuntimeRegion) == TidewellRuntimeSize);
static_assert(offsetof(TidewellRuntimeRegion, deviceCount) == 16);
static_assert(offsetof(TidewellRuntimeRegion, flags) == 20);
static_assert(offsetof(TidewellRuntimeRegion, slots) == 64);

inline constexpr size_t TidewellRuntimeSlotOffset(uint32_t index)
{
    return offsetof(TidewellRuntimeRegion, slots) + sizeof(TidewellRuntimeDeviceSlot) * index;
}

// ---------------------------------------------------------------------------------------
// Control region: live gain, mute and channel gains of one source or monitor.

inline constexpr const char *TidewellControlNamePrefix = "/twc";
inline constexpr uint32_t TidewellControlMagic = 0x5A564243u; // 'ZVBC'
inline constexpr uint32_t TidewellControlVersion = 1;
inline constexpr uint32_t TidewellControlSize = 4096;
inline constexpr uint32_t TidewellControlMaxChannels = 64;
inline constexpr uint32_t TidewellControlFlagMuted = 1u << 0;

struct TidewellControlRegion {
    TidewellRegionHeader header;
    uint32_t flags;
    float gain;
    uint32_t channelCount;
    uint32_t reserved0;
    float channelGains[TidewellControlMaxChannels];
    uint8_t reserved1[3808];
};
static_assert(sizeof(TidewellControlRegion) == TidewellControlSize);
static_assert(offsetof(TidewellControlRegion, flags) == 16);
static_assert(offsetof(TidewellControlRegion, gain) == 20);
static_assert(offsetof(TidewellControlRegion, channelCount) == 24);
static_assert(offsetof(TidewellControlRegion, channelGains) == 32);
static_assert(offsetof(TidewellControlRegion, reserved1) == 288);

// ---------------------------------------------------------------------------------------
// Meter region: levels and peaks published by one helper or plug-in device.

inline constexpr const char *TidewellMeterNamePrefix = "/twm";
inline constexpr uint32_t TidewellMeterMagic = 0x5A56424Du; // 'ZVBM'
inline constexpr uint32_t TidewellMeterVersion = 2;
inline constexpr uint32_t TidewellMeterVersionWithoutPeaks = 1;
inline constexpr uint32_t TidewellMeterSize = 4096;
inline constexpr uint32_t TidewellMeterMaxChannels = 64;

struct TidewellMeterRegion {
    TidewellRegionHeader header;
    uint32_t channelCount;
    float levels[TidewellMeterMaxChannels];
    float peaks[TidewellMeterMaxChannels];
    uint8_t rest[3564];
};
static_assert(sizeof(TidewellMeterRegion) == TidewellMeterSize);
static_assert(offsetof(TidewellMeterRegion, channelCount) == 16);
static_assert(offsetof(TidewellMeterRegion, levels) == 20);
static_assert(offsetof(TidewellMeterRegion, peaks) == 276);
static_assert(offsetof(TidewellMeterRegion, rest) == 532);

// ---------------------------------------------------------------------------------------
// Owner hash and region names: 64-bit FNV-1a over the owner id's bytes.

inline constexpr uint64_t TidewellOwnerHashBasis = 0xcbf29ce484222325ull;
inline constexpr uint64_t TidewellOwnerHashPrime = 0x100000001b3ull;
// "/twc" or "/twm", 16 hexadecimal digits and a NUL fit well within this.
inline constexpr size_t TidewellRegionNameCapacity = 32;

inline constexpr uint64_t TidewellOwnerHashBytes(const char *bytes, size_t length)
{
    uint64_t hash = TidewellOwnerHashBasis;
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<uint8_t>(bytes[i]);
        hash *= TidewellOwnerHashPrime;
    }
    return hash;
}

// A null owner id hashes like an empty one, to the offset basis.
inline constexpr uint64_t TidewellOwnerHash(const char *ownerID)
{
    if (ownerID == nullptr) {
        return TidewellOwnerHashBasis;
    }
    size_t length = 0;
    while (ownerID[length] != '\0') {
        ++length;
    }
    return TidewellOwnerHashBytes(ownerID, length);
}

// Writes prefix + 16 lower-case hexadecimal digits, zero-padded, and a NUL. Returns false
// (leaving an empty string when size > 0) when the buffer is null or too small.
// Kept out of line: inlined into a caller with a small fixed buffer, the compiler warns about
// the branch that the size check has already ruled out.
[[gnu::noinline]] inline bool TidewellRegionFormatName(const char *prefix, uint64_t hash, char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0) {
        return false;
    }
    size_t prefixLength = 0;
    while (prefix != nullptr && prefix[prefixLength] != '\0') {
        ++prefixLength;
    }
    if (size < prefixLength + 17) {
        buffer[0] = '\0';
        return false;
    }
    for (size_t i = 0; i < prefixLength; ++i) {
        buffer[i] = prefix[i];
    }
    static constexpr char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < 16; ++i) {
        buffer[prefixLength + i] = digits[(hash >> (60 - 4 * i)) & 0xF];
    }
    buffer[prefixLength + 16] = '\0';
    return true;
}

// ---------------------------------------------------------------------------------------
// Word access to a mapped region. Offsets and lengths are multiples of 4.

inline uint32_t TidewellRegionLoadWord(const void *base, size_t offset)
{
    auto word = reinterpret_cast<const uint32_t *>(static_cast<const unsigned char *>(base) + offset);
    return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}

inline void TidewellRegionStoreWord(void *base, size_t offset, uint32_t value)
{
    auto word = reinterpret_cast<uint32_t *>(static_cast<unsigned char *>(base) + offset);
    __atomic_store_n(word, value, __ATOMIC_RELEASE);
}

inline float TidewellRegionLoadFloat(const void *base, size_t offset)
{
    return std::bit_cast<float>(TidewellRegionLoadWord(base, offset));
}

inline void TidewellRegionStoreFloat(void *base, size_t offset, float value)
{
    TidewellRegionStoreWord(base, offset, std::bit_cast<uint32_t>(value));
}

// Copies `length` bytes from the region at `offset` into ordinary memory.
inline void TidewellRegionReadBytes(void *destination, const void *base, size_t offset, size_t length)
{
    auto out = static_cast<unsigned char *>(destination);
    for (size_t k = 0; k < length; k += 4) {
        uint32_t word = TidewellRegionLoadWord(base, offset + k);
        __builtin_memcpy(out + k, &word, 4);
    }
}

// Copies `length` bytes of ordinary memory into the region at `offset`.
inline void TidewellRegionWriteBytes(void *base, size_t offset, const void *source, size_t length)
{
    auto in = static_cast<const unsigned char *>(source);
    for (size_t k = 0; k < length; k += 4) {
        uint32_t word;
        __builtin_memcpy(&word, in + k, 4);
        TidewellRegionStoreWord(base, offset + k, word);
    }
}

// ---------------------------------------------------------------------------------------
// Sequence counter.

// Writer: makes the counter odd ((old + 1) | 1, so a counter left odd by a writer that died
// mid-write stays odd) and returns that odd value. Every later store of the write is a
// release store, so none of them becomes visible before this one.
inline uint32_t TidewellSequenceBeginWrite(void *region)
{
    auto counter = reinterpret_cast<uint32_t *>(static_cast<unsigned char *>(region) +
                                                TidewellRegionSequenceOffset);
    uint32_t odd = (__atomic_load_n(counter, __ATOMIC_RELAXED) + 1u) | 1u;
    __atomic_store_n(counter, odd, __ATOMIC_RELEASE);
    return odd;
}

// Writer: publishes the write by storing the next even value with release ordering.
inline void TidewellSequenceEndWrite(void *region, uint32_t odd)
{
    auto counter = reinterpret_cast<uint32_t *>(static_cast<unsigned char *>(region) +
                                                TidewellRegionSequenceOffset);
    __atomic_store_n(counter, odd + 1u, __ATOMIC_RELEASE);
}

// Reader: the counter before a copy (acquire).
inline uint32_t TidewellSequenceReadBegin(const void *region)
{
    return TidewellRegionLoadWord(region, TidewellRegionSequenceOffset);
}

// Reader: true when a copy taken after TidewellSequenceReadBegin returned `begin` is whole:
// the counter was even and has not moved.
inline bool TidewellSequenceReadValidate(const void *region, uint32_t begin)
{
    return (begin & 1u) == 0 && TidewellRegionLoadWord(region, TidewellRegionSequenceOffset) == begin;
}

// True when the region's first three header words are the given magic, version and size.
inline bool TidewellRegionHeaderMatches(const void *region, uint32_t magic, uint32_t version, uint32_t size)
{
    return TidewellRegionLoadWord(region, TidewellRegionMagicOffset) == magic &&
           TidewellRegionLoadWord(region, TidewellRegionVersionOffset) == version &&
           TidewellRegionLoadWord(region, TidewellRegionSizeOffset) == size;
}
