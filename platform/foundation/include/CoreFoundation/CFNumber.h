// Numbers and booleans.
#pragma once

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const struct CFBooleanObject* CFBooleanRef;
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
CFTypeID CFBooleanGetTypeID(void);
Boolean CFBooleanGetValue(CFBooleanRef boolean);

typedef const struct CFNumberObject* CFNumberRef;

typedef enum {
    kCFNumberSInt8Type = 1,
    kCFNumberSInt16Type = 2,
    kCFNumberSInt32Type = 3,
    kCFNumberSInt64Type = 4,
    kCFNumberFloat32Type = 5,
    kCFNumberFloat64Type = 6,
    kCFNumberCharType = 7,
    kCFNumberShortType = 8,
    kCFNumberIntType = 9,
    kCFNumberLongType = 10,
    kCFNumberLongLongType = 11,
    kCFNumberFloatType = 12,
    kCFNumberDoubleType = 13,
    kCFNumberCFIndexType = 14,
} CFNumberType;

CFTypeID CFNumberGetTypeID(void);
// A new number holding *valuePtr read as theType; NULL for an unknown type or NULL pointer.
CFNumberRef CFNumberCreate(CFAllocatorRef alloc, CFNumberType theType, const void* valuePtr);
// The type the number was created with.
CFNumberType CFNumberGetType(CFNumberRef number);
Boolean CFNumberIsFloatType(CFNumberRef number);
// Stores the value converted to theType. Returns false when the conversion loses
// information (fraction dropped, out of range, NaN to an integer); the stored value is then
// the nearest representable one.
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);
CFComparisonResult CFNumberCompare(CFNumberRef a, CFNumberRef b, void* context);

CF_EXTERN_C_END
