// 128-bit universally unique identifiers.
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct CFUUIDObject* CFUUIDRef;

// The 16 bytes in textual order: byte0 is the first two hex digits of the string form.
typedef struct {
    UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
    UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
} CFUUIDBytes;

CFTypeID CFUUIDGetTypeID(void);
// A new random (version 4) UUID.
CFUUIDRef CFUUIDCreate(CFAllocatorRef alloc);
CFUUIDRef CFUUIDCreateWithBytes(CFAllocatorRef alloc, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3,
                                UInt8 b4, UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9,
                                UInt8 b10, UInt8 b11, UInt8 b12, UInt8 b13, UInt8 b14,
                                UInt8 b15);
CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef alloc, CFUUIDBytes bytes);
// Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (hex digits in either case). Returns NULL
// for anything else.
CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef alloc, CFStringRef uuidString);
// The upper-case string form (+1).
CFStringRef CFUUIDCreateString(CFAllocatorRef alloc, CFUUIDRef uuid);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);
// A process-lifetime UUID for constant identifiers; equal bytes give the same object.
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef alloc, UInt8 b0, UInt8 b1, UInt8 b2,
                                         UInt8 b3, UInt8 b4, UInt8 b5, UInt8 b6, UInt8 b7,
                                         UInt8 b8, UInt8 b9, UInt8 b10, UInt8 b11, UInt8 b12,
                                         UInt8 b13, UInt8 b14, UInt8 b15);

CF_EXTERN_C_END
