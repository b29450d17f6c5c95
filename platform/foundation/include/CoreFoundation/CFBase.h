// Base types and the reference-counting calls shared by every value type.
//
// Every object is reference counted with thread-safe atomic counts. A "Create" or
// "Copy" call returns a reference the caller owns (+1) and must CFRelease exactly
// once; a "Get" call returns a reference the caller does not own.
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define CF_EXTERN_C_BEGIN extern "C" {
#define CF_EXTERN_C_END }
#else
#define CF_EXTERN_C_BEGIN
#define CF_EXTERN_C_END
#endif

CF_EXTERN_C_BEGIN

typedef uint8_t Boolean;
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
typedef UInt16 UniChar;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef unsigned long CFHashCode;
typedef unsigned long CFOptionFlags;

typedef struct {
    CFIndex location;
    CFIndex length;
} CFRange;

static inline CFRange CFRangeMake(CFIndex location, CFIndex length) {
    CFRange r = {location, length};
    return r;
}

enum { kCFNotFound = -1 };

typedef enum {
    kCFCompareLessThan = -1,
    kCFCompareEqualTo = 0,
    kCFCompareGreaterThan = 1,
} CFComparisonResult;

// Any object of this library.
typedef const void* CFTypeRef;

// Allocators are accepted everywhere for source compatibility and ignored: every
// object comes from the ordinary heap.
typedef const struct CFAllocatorObject* CFAllocatorRef;
#define kCFAllocatorDefault ((CFAllocatorRef)0)
#define kCFAllocatorSystemDefault ((CFAllocatorRef)0)
#define kCFAllocatorMalloc ((CFAllocatorRef)0)
#define kCFAllocatorNull ((CFAllocatorRef)0)

typedef const struct CFStringObject* CFStringRef;
typedef struct CFStringObject* CFMutableStringRef;

// Value types that are property-list objects.
typedef CFTypeRef CFPropertyListRef;

// Adds one reference; returns its argument. NULL is a programming error and aborts.
CFTypeRef CFRetain(CFTypeRef object);
// Drops one reference and frees the object with the last one. NULL aborts.
void CFRelease(CFTypeRef object);
// Current count, for diagnostics and tests. Constant objects report a very large count.
CFIndex CFGetRetainCount(CFTypeRef object);
// Value equality: same type and same contents (numbers compare by value across types).
Boolean CFEqual(CFTypeRef a, CFTypeRef b);
// Hash consistent with CFEqual.
CFHashCode CFHash(CFTypeRef object);
CFTypeID CFGetTypeID(CFTypeRef object);
// A short human-readable description of any object (+1).
CFStringRef CFCopyDescription(CFTypeRef object);

// Error objects, returned through CFErrorRef* out-parameters (+1).
typedef const struct CFErrorObject* CFErrorRef;
CFTypeID CFErrorGetTypeID(void);
CFIndex CFErrorGetCode(CFErrorRef error);
CFStringRef CFErrorGetDomain(CFErrorRef error);
CFStringRef CFErrorCopyDescription(CFErrorRef error);

CF_EXTERN_C_END
