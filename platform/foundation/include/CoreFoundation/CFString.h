// Immutable Unicode strings, stored as UTF-8.
#pragma once

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef UInt32 CFStringEncoding;
enum {
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUTF8 = 0x08000100,
};
#define kCFStringEncodingInvalidId (0xffffffffU)

typedef CFOptionFlags CFStringCompareFlags;
enum {
    // Unicode simple case folding before comparing.
    kCFCompareCaseInsensitive = 1,
};

CFTypeID CFStringGetTypeID(void);

// A new string from a NUL-terminated C string. Returns NULL when cString is NULL, when
// the bytes are not valid in the encoding (malformed or overlong UTF-8, surrogates,
// code points above U+10FFFF, non-ASCII bytes for ASCII) or the encoding is unknown.
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cString,
                                      CFStringEncoding encoding);
// As above from numBytes bytes, which may hold NUL characters.
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
// Strings are immutable: returns theString retained.
CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef theString);

// Length in UTF-16 code units (a character outside the basic plane counts two).
CFIndex CFStringGetLength(CFStringRef theString);
// Largest number of bytes `length` UTF-16 units can take in the encoding, without the NUL.
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);

// Copies the string and a terminating NUL into buffer. Returns false, leaving an empty
// string in the buffer when bufferSize > 0, when it does not fit or cannot be expressed in
// the encoding.
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);
// The string's own NUL-terminated bytes when they are valid in the encoding, else NULL.
// Valid as long as the string lives.
const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);

// Literal comparison by Unicode code point (exact and case-sensitive with flags 0).
CFComparisonResult CFStringCompare(CFStringRef a, CFStringRef b, CFStringCompareFlags flags);
Boolean CFStringHasPrefix(CFStringRef theString, CFStringRef prefix);
Boolean CFStringHasSuffix(CFStringRef theString, CFStringRef suffix);

// A string that lives for the whole process; equal texts give the same object.
CFStringRef CFStringMakeConstantString(const char* cString);
#define CFSTR(literal) CFStringMakeConstantString("" literal "")

CF_EXTERN_C_END
