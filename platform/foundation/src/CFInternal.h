// The object header shared by every value type, and helpers for the implementations.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace cfimpl {

enum TypeID : CFTypeID {
    kStringType = 7,
    kNumberType,
    kBooleanType,
    kArrayType,
    kDictionaryType,
    kDataType,
    kURLType,
    kUUIDType,
    kBundleType,
    kErrorType,
};

// Every object starts with this header. Constant objects (literals, booleans, constant
// UUIDs) are never freed: their count is pinned.
struct Object {
    explicit Object(CFTypeID t) : type(t) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    virtual bool equals(const Object& other) const { return this == &other; }
    virtual CFHashCode hash() const { return reinterpret_cast<CFHashCode>(this); }
    virtual std::string describe() const = 0;

    std::atomic<int64_t> refCount{1};
    const CFTypeID type;
    bool constant = false;
};

[[noreturn]] void fatal(const char* function, const char* problem);

inline const Object* object(CFTypeRef ref, const char* function) {
    if (ref == nullptr) fatal(function, "NULL object");
    return static_cast<const Object*>(ref);
}

// Checks the type of an argument; a wrong type is a programming error and aborts.
template <typename T>
const T* checked(const void* ref, CFTypeID type, const char* function) {
    const Object* o = object(ref, function);
    if (o->type != type) fatal(function, "object of the wrong type");
    return static_cast<const T*>(o);
}
template <typename T>
T* checkedMutable(void* ref, CFTypeID type, const char* function) {
    return const_cast<T*>(checked<T>(ref, type, function));
}

// Ownership helpers for C++ code in this library.
inline CFTypeRef retain(CFTypeRef ref) { return ref ? CFRetain(ref) : nullptr; }
inline void release(CFTypeRef ref) {
    if (ref) CFRelease(ref);
}

// Creates a string from bytes already known to be valid UTF-8.
CFStringRef makeString(std::string utf8);
const std::string& stringValue(CFStringRef s);
bool validUTF8(std::string_view bytes);
// The bytes with every malformed one replaced by U+FFFD.
std::string replacingInvalidUTF8(std::string_view bytes);

CFErrorRef makeError(const char* domain, CFIndex code, std::string description);

inline CFHashCode hashBytes(const void* data, size_t size) {
    // FNV-1a: stable across runs, which keeps dictionary order tests reproducible.
    uint64_t h = 0xcbf29ce484222325ull;
    auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ull;
    }
    return static_cast<CFHashCode>(h);
}

}  // namespace cfimpl

struct CFStringObject : cfimpl::Object {
    explicit CFStringObject(std::string v);
    bool equals(const Object& other) const override;
    CFHashCode hash() const override;
    std::string describe() const override { return utf8; }
    const std::string utf8;
    const CFIndex utf16Length;
    const bool ascii;
};
