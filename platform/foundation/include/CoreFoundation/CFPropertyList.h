// XML property lists: dictionaries, arrays, strings, numbers, booleans and data.
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFData.h>

CF_EXTERN_C_BEGIN

typedef enum {
    kCFPropertyListXMLFormat_v1_0 = 100,
} CFPropertyListFormat;

enum {
    kCFPropertyListImmutable = 0,
};

// Parses an XML property list. Returns NULL and, when error is not NULL, a +1 error whose
// description says what is wrong and where, for malformed XML, unknown elements, a key
// without a value, nesting deeper than 256 levels, and the like.
CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef alloc, CFDataRef data,
                                               CFOptionFlags options,
                                               CFPropertyListFormat* format, CFErrorRef* error);
// Writes an XML property list (dictionary keys sorted). Returns NULL with an error for
// objects that cannot be stored (non-string keys, unsupported types).
CFDataRef CFPropertyListCreateData(CFAllocatorRef alloc, CFPropertyListRef propertyList,
                                   CFPropertyListFormat format, CFOptionFlags options,
                                   CFErrorRef* error);

CF_EXTERN_C_END
