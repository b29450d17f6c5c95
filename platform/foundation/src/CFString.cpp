#include "CFInternal.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <climits>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

// Decodes one UTF-8 sequence at s[i]; returns the code point and advances i, or returns
// -1 for a malformed, overlong, surrogate or out-of-range sequence.
int32_t decodeUTF8(std::string_view s, size_t& i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int extra;
    int32_t cp;
    int32_t minimum;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1, cp = b0 & 0x1F, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, cp = b0 & 0x0F, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, cp = b0 & 0x07, minimum = 0x10000;
    } else {
        return -1;
    }
    for (int k = 1; k <= extra; ++k) {
        if (i + k >= s.size()) return -1;
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    i += extra + 1;
    return cp;
}

// A malformed byte counts as one unit, as the replacement character it stands for would.
CFIndex utf16Units(std::string_view s) {
    CFIndex n = 0;
    size_t i = 0;
    while (i < s.size()) {
        int32_t cp = decodeUTF8(s, i);
        if (cp < 0) ++i;
        n += cp >= 0x10000 ? 2 : 1;
    }
    return n;
}

bool allASCII(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

std::u16string toUTF16(const std::string& s) {
    std::u16string out(s.size() + 1, u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()), &length,
                  s.data(), static_cast<int32_t>(s.size()), &status);
    out.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
    return out;
}

CFComparisonResult sign(int v) {
    return v < 0 ? kCFCompareLessThan : v > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

const CFStringObject* str(CFStringRef s, const char* function) {
    return cfimpl::checked<CFStringObject>(s, cfimpl::kStringType, function);
}

}  // namespace

namespace cfimpl {

bool validUTF8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size())
        if (decodeUTF8(bytes, i) < 0) return false;
    return true;
}

std::string replacingInvalidUTF8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        size_t start = i;
        if (decodeUTF8(bytes, i) < 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
            i = start + 1;
        } else {
            out.append(bytes.substr(start, i - start));
        }
    }
    return out;
}

CFStringRef makeString(std::string utf8) { return new CFStringObject(std::move(utf8)); }

const std::string& stringValue(CFStringRef s) { return str(s, "CFString")->utf8; }

}  // namespace cfimpl

CFStringObject::CFStringObject(std::string v)
    : Object(cfimpl::kStringType), utf8(std::move(v)), utf16Length(utf16Units(utf8)),
      ascii(allASCII(utf8)) {}

bool CFStringObject::equals(const Object& other) const {
    return utf8 == static_cast<const CFStringObject&>(other).utf8;
}

CFHashCode CFStringObject::hash() const { return cfimpl::hashBytes(utf8.data(), utf8.size()); }

extern "C" {

CFTypeID CFStringGetTypeID(void) { return cfimpl::kStringType; }

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean) {
    if ((bytes == nullptr && numBytes != 0) || numBytes < 0) return nullptr;
    std::string_view view(reinterpret_cast<const char*>(bytes), static_cast<size_t>(numBytes));
    switch (encoding) {
    case kCFStringEncodingUTF8:
        if (!cfimpl::validUTF8(view)) return nullptr;
        break;
    case kCFStringEncodingASCII:
        if (!allASCII(view)) return nullptr;
        break;
    default:
        return nullptr;
    }
    return cfimpl::makeString(std::string(view));
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cString,
                                      CFStringEncoding encoding) {
    if (cString == nullptr) return nullptr;
    return CFStringCreateWithBytes(alloc, reinterpret_cast<const UInt8*>(cString),
                                   static_cast<CFIndex>(std::strlen(cString)), encoding, false);
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef s) {
    return static_cast<CFStringRef>(CFRetain(str(s, "CFStringCreateCopy")));
}

CFIndex CFStringGetLength(CFStringRef s) { return str(s, "CFStringGetLength")->utf16Length; }

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    if (length < 0) return kCFNotFound;
    switch (encoding) {
    case kCFStringEncodingASCII:
        return length;
    case kCFStringEncodingUTF8:
        // A UTF-16 unit takes at most three bytes; a surrogate pair (two units) four.
        if (length > LONG_MAX / 3) return kCFNotFound;
        return length * 3;
    default:
        return kCFNotFound;
    }
}

Boolean CFStringGetCString(CFStringRef s, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
    const CFStringObject* o = str(s, "CFStringGetCString");
    bool fits = buffer != nullptr && bufferSize > 0 &&
                o->utf8.size() < static_cast<size_t>(bufferSize);
    bool expressible = encoding == kCFStringEncodingUTF8 ||
                       (encoding == kCFStringEncodingASCII && o->ascii);
    if (!fits || !expressible) {
        if (buffer != nullptr && bufferSize > 0) buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, o->utf8.c_str(), o->utf8.size() + 1);
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef s, CFStringEncoding encoding) {
    const CFStringObject* o = str(s, "CFStringGetCStringPtr");
    if (encoding == kCFStringEncodingUTF8 || (encoding == kCFStringEncodingASCII && o->ascii))
        return o->utf8.c_str();
    return nullptr;
}

CFComparisonResult CFStringCompare(CFStringRef a, CFStringRef b, CFStringCompareFlags flags) {
    const CFStringObject* x = str(a, "CFStringCompare");
    const CFStringObject* y = str(b, "CFStringCompare");
    if (flags & kCFCompareCaseInsensitive) {
        std::u16string u = toUTF16(x->utf8), v = toUTF16(y->utf8);
        UErrorCode status = U_ZERO_ERROR;
        int r = u_strCaseCompare(reinterpret_cast<const UChar*>(u.data()),
                                 static_cast<int32_t>(u.size()),
                                 reinterpret_cast<const UChar*>(v.data()),
                                 static_cast<int32_t>(v.size()),
                                 U_FOLD_CASE_DEFAULT | U_COMPARE_CODE_POINT_ORDER, &status);
        return sign(r);
    }
    // Byte order of valid UTF-8 is code point order.
    return sign(x->utf8.compare(y->utf8));
}

Boolean CFStringHasPrefix(CFStringRef s, CFStringRef prefix) {
    return str(s, "CFStringHasPrefix")->utf8.starts_with(str(prefix, "CFStringHasPrefix")->utf8);
}

Boolean CFStringHasSuffix(CFStringRef s, CFStringRef suffix) {
    return str(s, "CFStringHasSuffix")->utf8.ends_with(str(suffix, "CFStringHasSuffix")->utf8);
}

CFStringRef CFStringMakeConstantString(const char* cString) {
    if (cString == nullptr) cfimpl::fatal("CFStringMakeConstantString", "NULL text");
    // Heap-allocated and never destroyed, so constants stay valid during process exit.
    static auto* mutex = new std::mutex;
    static auto* table = new std::unordered_map<std::string, CFStringObject*>;
    std::lock_guard<std::mutex> lock(*mutex);
    auto it = table->find(cString);
    if (it != table->end()) return it->second;
    if (!cfimpl::validUTF8(cString))
        cfimpl::fatal("CFStringMakeConstantString", "constant text is not valid UTF-8");
    auto* s = new CFStringObject(cString);
    s->constant = true;
    table->emplace(cString, s);
    return s;
}

}  // extern "C"
