// Ordered collections of object references.
#pragma once

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const void* (*CFArrayRetainCallBack)(CFAllocatorRef alloc, const void* value);
typedef void (*CFArrayReleaseCallBack)(CFAllocatorRef alloc, const void* value);
typedef Boolean (*CFArrayEqualCallBack)(const void* a, const void* b);

// With &kCFTypeArrayCallBacks the array retains its values and compares them with
// CFEqual; with NULL callbacks it stores raw pointers and compares them by address.
typedef struct {
    CFIndex version;
    CFArrayRetainCallBack retain;
    CFArrayReleaseCallBack release;
    void* copyDescription;
    CFArrayEqualCallBack equal;
} CFArrayCallBacks;

extern const CFArrayCallBacks kCFTypeArrayCallBacks;

typedef const struct CFArrayObject* CFArrayRef;
typedef struct CFArrayObject* CFMutableArrayRef;

CFTypeID CFArrayGetTypeID(void);
CFArrayRef CFArrayCreate(CFAllocatorRef alloc, const void** values, CFIndex numValues,
                         const CFArrayCallBacks* callBacks);
// A new array with the same values and callbacks (+1).
CFArrayRef CFArrayCreateCopy(CFAllocatorRef alloc, CFArrayRef theArray);
// capacity 0 means unlimited; appending beyond a non-zero capacity aborts.
CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef alloc, CFIndex capacity,
                                       const CFArrayCallBacks* callBacks);
CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef alloc, CFIndex capacity,
                                           CFArrayRef theArray);
CFIndex CFArrayGetCount(CFArrayRef theArray);
// An index outside 0..count-1 aborts.
const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);
Boolean CFArrayContainsValue(CFArrayRef theArray, CFRange range, const void* value);
CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef theArray, CFRange range, const void* value);
void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value);
void CFArrayInsertValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value);
void CFArraySetValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value);
void CFArrayRemoveValueAtIndex(CFMutableArrayRef theArray, CFIndex idx);
void CFArrayRemoveAllValues(CFMutableArrayRef theArray);

CF_EXTERN_C_END
