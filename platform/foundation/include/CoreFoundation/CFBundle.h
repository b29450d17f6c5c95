// Bundles: a folder holding "Contents/Info.plist" (an XML property list) and resources
// under "Contents/Resources".
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFURL.h>

CF_EXTERN_C_BEGIN

typedef struct CFBundleObject* CFBundleRef;

#define kCFBundleIdentifierKey CFSTR("CFBundleIdentifier")
#define kCFBundleNameKey CFSTR("CFBundleName")
#define kCFBundleVersionKey CFSTR("CFBundleVersion")
#define kCFBundleExecutableKey CFSTR("CFBundleExecutable")
#define kCFBundleInfoDictionaryVersionKey CFSTR("CFBundleInfoDictionaryVersion")

CFTypeID CFBundleGetTypeID(void);
// The bundle at a folder (+1). Returns NULL when the folder does not exist. A missing
// Info.plist gives an empty information dictionary; an unreadable one also does, and its
// error is written to standard error. Bundles are registered process-wide: creating the
// same folder again returns the same object, and the first bundle seen with an
// identifier is the one CFBundleGetBundleWithIdentifier finds.
CFBundleRef CFBundleCreate(CFAllocatorRef alloc, CFURLRef bundleURL);
// A registered bundle by identifier, or NULL. Not retained.
CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef bundleID);
// The bundle that encloses the running executable ("X/Contents/.../program"), or else
// the executable's folder with an empty information dictionary. Not retained.
CFBundleRef CFBundleGetMainBundle(void);
CFStringRef CFBundleGetIdentifier(CFBundleRef bundle);
CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle);
CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key);
CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle);
CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle);
// "Contents/MacOS/" + the CFBundleExecutable value, when that file exists (+1).
CFURLRef CFBundleCopyExecutableURL(CFBundleRef bundle);
// "Contents/Resources/[subDirName/]resourceName[.resourceType]" when that file exists,
// else NULL (+1). resourceType may be given with or without its leading dot.
CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName,
                                 CFStringRef resourceType, CFStringRef subDirName);

CF_EXTERN_C_END
