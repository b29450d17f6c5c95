// File URLs.
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct CFURLObject* CFURLRef;

typedef enum {
    kCFURLPOSIXPathStyle = 0,
} CFURLPathStyle;

CFTypeID CFURLGetTypeID(void);
// A file URL for a path. A relative path is made absolute against the current working
// directory at creation. Returns NULL for an empty path or an unknown style.
CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef alloc, CFStringRef filePath,
                                       CFURLPathStyle pathStyle, Boolean isDirectory);
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef alloc, const UInt8* buffer,
                                                 CFIndex bufLen, Boolean isDirectory);
// A file URL from a "file://" URL string (percent escapes decoded); NULL for other schemes.
CFURLRef CFURLCreateWithString(CFAllocatorRef alloc, CFStringRef urlString, CFURLRef baseURL);
// The path, NUL-terminated, into buffer; false when it does not fit.
Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer,
                                         CFIndex maxBufLen);
// The path without a trailing slash (except for "/") (+1).
CFStringRef CFURLCopyFileSystemPath(CFURLRef url, CFURLPathStyle pathStyle);
// The "file://" form, percent-encoded, with a trailing slash for directories. Not retained.
CFStringRef CFURLGetString(CFURLRef url);
CFStringRef CFURLCopyLastPathComponent(CFURLRef url);
Boolean CFURLHasDirectoryPath(CFURLRef url);
CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef alloc, CFURLRef url,
                                               CFStringRef pathComponent, Boolean isDirectory);
CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef alloc, CFURLRef url);

CF_EXTERN_C_END
