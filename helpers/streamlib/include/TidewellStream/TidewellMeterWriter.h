// Meter regions: one owner (a helper's source or monitor, or one side of a plug-in device)
// publishes per-channel levels and peaks that the application reads for its meters.
#pragma once

#include <cstddef>
#include <cstdint>

struct TidewellMeterWriter {
    void *mapping;          // the region's first 4096 bytes, null when closed
    int32_t descriptor;     // -1 when closed
    uint32_t channelCount;  // at most 64: the channels this writer may publish
};

// Creates or opens the owner's meter region and maps it read-write. The region's contents
// are not touched. False (the writer left closed) on a null writer, a null or empty owner
// id, any failure to open, size or map the region, or a region that is not the user's own
// (another user's, or not a regular object; one of the user's own that others may write
// loses their write right first): that refusal is said once (TidewellShmTrust.h). A channel
// count above 64 gives 64.
bool TidewellMeterWriterOpen(TidewellMeterWriter *writer, const char *ownerID, uint32_t channelCount);

// Publishes `count` levels (and peaks, when given) with decay: channels not published, or
// given as non-finite values, fall by 0.82 (levels) and 0.95 (peaks) per publish. Makes no
// system call and allocates nothing, so it may run on an audio thread.
void TidewellMeterWriterPublishWithPeaks(TidewellMeterWriter *writer, const float *levels, const float *peaks,
                                         uint32_t count);

// Unmaps and closes; the region stays for its readers.
void TidewellMeterWriterClose(TidewellMeterWriter *writer);

// RMS level and peak of each of the first `count` channels of an interleaved block, each
// sample scaled by `gain`. Channels at or above `channels` get 0. Results are not clamped.
void TidewellMeterComputeInterleavedLevels(const float *samples, uint32_t frames, uint32_t channels,
                                           float *levelsOut, float *peaksOut, uint32_t count, float gain);

// 64-bit FNV-1a of the owner id's bytes; a null id hashes to the offset basis.
uint64_t TidewellMeterHash(const char *ownerID);

// "/twm" or "/twc" and the hash as 16 lower-case hexadecimal digits. False when the buffer
// cannot hold the name (32 bytes always can).
bool TidewellMeterName(uint64_t hash, char *buffer, size_t size);
bool TidewellControlName(uint64_t hash, char *buffer, size_t size);
