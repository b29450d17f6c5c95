// XML property lists as the platform reads them: a bundle's Info.plist (the audio server
// finds its plug-ins' factories there) and an aggregate device's description. What parses
// must be written back and parse again to an equal value, since descriptions travel as
// property lists written by one process and read by another.
#include <CoreFoundation/CoreFoundation.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// CFEqual, except that a real that is not a number equals another such real: the written
// form of one reads back as one.
bool SameValue(CFTypeRef a, CFTypeRef b) {
    if (CFGetTypeID(a) != CFGetTypeID(b)) return false;
    const CFTypeID type = CFGetTypeID(a);
    if (type == CFNumberGetTypeID()) {
        auto x = static_cast<CFNumberRef>(a), y = static_cast<CFNumberRef>(b);
        if (CFNumberIsFloatType(x) != CFNumberIsFloatType(y)) return false;
        if (!CFNumberIsFloatType(x)) return CFEqual(a, b);
        double u = 0, v = 0;
        CFNumberGetValue(x, kCFNumberFloat64Type, &u);
        CFNumberGetValue(y, kCFNumberFloat64Type, &v);
        return (std::isnan(u) && std::isnan(v)) || std::memcmp(&u, &v, sizeof u) == 0;
    }
    if (type == CFArrayGetTypeID()) {
        auto x = static_cast<CFArrayRef>(a), y = static_cast<CFArrayRef>(b);
        if (CFArrayGetCount(x) != CFArrayGetCount(y)) return false;
        for (CFIndex i = 0; i < CFArrayGetCount(x); ++i)
            if (!SameValue(CFArrayGetValueAtIndex(x, i), CFArrayGetValueAtIndex(y, i))) return false;
        return true;
    }
    if (type == CFDictionaryGetTypeID()) {
        auto x = static_cast<CFDictionaryRef>(a), y = static_cast<CFDictionaryRef>(b);
        const CFIndex count = CFDictionaryGetCount(x);
        if (count != CFDictionaryGetCount(y)) return false;
        std::vector<const void*> keys(static_cast<size_t>(count)), values(static_cast<size_t>(count));
        CFDictionaryGetKeysAndValues(x, keys.data(), values.data());
        for (CFIndex i = 0; i < count; ++i) {
            const void* other = CFDictionaryGetValue(y, keys[static_cast<size_t>(i)]);
            if (other == nullptr || !SameValue(values[static_cast<size_t>(i)], other)) return false;
        }
        return true;
    }
    return CFEqual(a, b);
}

// What the audio server's plug-in loader asks of an information dictionary.
void ReadLikeThePlugInLoader(CFDictionaryRef info) {
    for (const char* key : {"CFBundleIdentifier", "CFBundleName", "CFBundleVersion", "CFBundleExecutable"}) {
        CFTypeRef v = CFDictionaryGetValue(info, CFStringMakeConstantString(key));
        if (v != nullptr && CFGetTypeID(v) == CFStringGetTypeID()) {
            char text[256];
            (void)CFStringGetCString(static_cast<CFStringRef>(v), text, sizeof text, kCFStringEncodingUTF8);
        }
    }
    CFTypeRef types = CFDictionaryGetValue(info, CFSTR("CFPlugInTypes"));
    CFTypeRef factories = CFDictionaryGetValue(info, CFSTR("CFPlugInFactories"));
    if (types == nullptr || factories == nullptr || CFGetTypeID(types) != CFDictionaryGetTypeID() ||
        CFGetTypeID(factories) != CFDictionaryGetTypeID())
        return;
    CFIndex count = CFDictionaryGetCount(static_cast<CFDictionaryRef>(types));
    if (count <= 0) return;
    const void* keys[64];
    const void* values[64];
    if (count > 64) return;
    CFDictionaryGetKeysAndValues(static_cast<CFDictionaryRef>(types), keys, values);
    for (CFIndex i = 0; i < count; ++i) {
        if (values[i] == nullptr || CFGetTypeID(values[i]) != CFArrayGetTypeID()) continue;
        auto array = static_cast<CFArrayRef>(values[i]);
        for (CFIndex j = 0; j < CFArrayGetCount(array); ++j) {
            CFTypeRef factoryID = CFArrayGetValueAtIndex(array, j);
            if (factoryID == nullptr || CFGetTypeID(factoryID) != CFStringGetTypeID()) continue;
            (void)CFDictionaryGetValue(static_cast<CFDictionaryRef>(factories), factoryID);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CFDataRef bytes = CFDataCreate(nullptr, data, static_cast<CFIndex>(size));
    CFErrorRef error = nullptr;
    CFPropertyListRef plist = CFPropertyListCreateWithData(nullptr, bytes, kCFPropertyListImmutable, nullptr, &error);
    CFRelease(bytes);
    if (plist == nullptr) {
        if (error == nullptr) std::abort();  // a failure always says why
        CFStringRef why = CFErrorCopyDescription(error);
        if (why == nullptr) std::abort();
        CFRelease(why);
        CFRelease(error);
        return 0;
    }
    if (CFGetTypeID(plist) == CFDictionaryGetTypeID()) ReadLikeThePlugInLoader(static_cast<CFDictionaryRef>(plist));

    CFErrorRef writeError = nullptr;
    CFDataRef written = CFPropertyListCreateData(nullptr, plist, kCFPropertyListXMLFormat_v1_0, 0, &writeError);
    if (written == nullptr) {
        // Every value the reader makes has a written form.
        std::fprintf(stderr, "a parsed property list cannot be written\n");
        std::abort();
    }
    CFErrorRef againError = nullptr;
    CFPropertyListRef again = CFPropertyListCreateWithData(nullptr, written, kCFPropertyListImmutable, nullptr, &againError);
    if (again == nullptr || !SameValue(plist, again)) {
        std::fprintf(stderr, "a property list changed when written and read again:\n%.*s\n",
                     static_cast<int>(CFDataGetLength(written)), reinterpret_cast<const char*>(CFDataGetBytePtr(written)));
        std::abort();
    }
    CFRelease(again);
    CFRelease(written);
    CFRelease(plist);
    return 0;
}
