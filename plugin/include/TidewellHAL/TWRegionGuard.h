// Guards for the plug-in's mappings of shared regions. Any process of the same user may
// shrink a region under a mapping, and the next access past the new end raises SIGBUS,
// which would take the whole audio server down. The plug-in's SIGBUS handler checks the
// faulting address against the guarded ranges: for one of them it replaces the range with
// private zero pages, marks it damaged and lets the access complete there (a zero header
// fails every reader's check, and stores go nowhere); any other fault goes on to the
// handler that was installed before, or to the default action. The non-audio threads that
// own the mappings notice the damage and map the region again once it is whole.
#pragma once

#include <cstddef>
#include <cstdint>

// The table's entries: a few for the runtime region's mappings (each region the plug-in
// follows gets a fresh mapping; one given up stays mapped, and guarded, until no reader
// holds it) and two for the meter writers of each device record.
inline constexpr uint32_t kTWGuardRuntimeEntries = 8;
inline constexpr uint32_t kTWGuardMeterFirst = kTWGuardRuntimeEntries;
uint32_t TWGuardMeterEntry(uint32_t deviceIndex, bool output);

// Installs the handler (once per process) and guards [base, base + length) as `entry`,
// replacing what the entry guarded before. `writable` ranges are replaced read-write, the
// others read-only. Not for the audio threads.
void TWRegionGuardSet(uint32_t entry, void* base, size_t length, bool writable);
// Stops guarding the entry's range; call before the range is unmapped.
void TWRegionGuardClear(uint32_t entry);
// True when the entry's range has been replaced by zero pages and not restored since.
bool TWRegionGuardDamaged(uint32_t entry);
// Maps the region open on `descriptor` over the entry's range again, in one step, and
// clears the damage mark (set again when that fails, or when the region is cut again).
// The caller has checked that the region is whole.
bool TWRegionGuardRestore(uint32_t entry, int descriptor);
// Replaces the entry's range with private zero pages and marks it damaged, as the handler
// does: for a region found shrunk before any access faulted.
bool TWRegionGuardRetire(uint32_t entry);
// Faults absorbed since the process started (for in-process inspection).
uint32_t TWRegionGuardFaultCount();
