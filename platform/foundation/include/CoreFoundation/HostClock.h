// The host clock: one monotonic time base shared by the audio server, its plug-ins and
// every client. Host time is CLOCK_MONOTONIC in nanoseconds, so the frequency is 1e9
// ticks per second and the conversion to nanoseconds is the identity.
#pragma once

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

// Current host time in ticks. Lock-free and allocation-free: safe on audio threads.
UInt64 HostClockGetTime(void);
// Ticks per second (1e9).
Float64 HostClockGetFrequency(void);
UInt64 HostClockConvertToNanoseconds(UInt64 hostTime);
UInt64 HostClockConvertFromNanoseconds(UInt64 nanoseconds);

// Tests may replace the time source of this process (NULL restores the real clock).
// The source must itself be safe to call from any thread. Dispatch timers are not
// affected: they always follow the real clock.
typedef UInt64 (*HostClockTestSource)(void* context);
void HostClockSetTestSource(HostClockTestSource source, void* context);

CF_EXTERN_C_END
