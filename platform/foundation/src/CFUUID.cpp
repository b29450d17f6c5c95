#include "CFInternal.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

using Bytes = std::array<UInt8, 16>;

struct CFUUIDObject : cfimpl::Object {
    explicit CFUUIDObject(const Bytes& b) : Object(cfimpl::kUUIDType), bytes(b) {}
    bool equals(const Object& other) const override {
        return bytes == static_cast<const CFUUIDObject&>(other).bytes;
    }
    CFHashCode hash() const override { return cfimpl::hashBytes(bytes.data(), bytes.size()); }
    std::string describe() const override {
        static const char* hex = "0123456789ABCDEF";
        std::string s;
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
            s += hex[bytes[i] >> 4];
            s += hex[bytes[i] & 15];
        }
        return s;
    }
    const Bytes bytes;
};

namespace {

const CFUUIDObject* uuid(CFUUIDRef u, const char* function) {
    return cfimpl::checked<CFUUIDObject>(u, cfimpl::kUUIDType, function);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void randomBytes(UInt8* out, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = getrandom(out + done, size - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            cfimpl::fatal("CFUUIDCreate", "no random source available");
        }
        done += static_cast<size_t>(n);
    }
}

}  // namespace

extern "C" {

CFTypeID CFUUIDGetTypeID(void) { return cfimpl::kUUIDType; }

CFUUIDRef CFUUIDCreate(CFAllocatorRef) {
    Bytes b;
    randomBytes(b.data(), b.size());
    b[6] = static_cast<UInt8>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<UInt8>((b[8] & 0x3F) | 0x80);  // variant 1
    return new CFUUIDObject(b);
}

CFUUIDRef CFUUIDCreateWithBytes(CFAllocatorRef, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3, UInt8 b4,
                                UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9, UInt8 b10,
                                UInt8 b11, UInt8 b12, UInt8 b13, UInt8 b14, UInt8 b15) {
    return new CFUUIDObject(Bytes{b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15});
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes in) {
    Bytes b;
    std::memcpy(b.data(), &in, b.size());
    return new CFUUIDObject(b);
}

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef, CFStringRef text) {
    if (text == nullptr) return nullptr;
    const std::string& s = cfimpl::stringValue(text);
    if (s.size() != 36) return nullptr;
    Bytes b{};
    size_t k = 0;
    for (size_t i = 0; i < s.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (s[i] != '-') return nullptr;
            ++i;
            continue;
        }
        int hi = hexValue(s[i]), lo = hexValue(s[i + 1]);
        if (hi < 0 || lo < 0) return nullptr;
        b[k++] = static_cast<UInt8>(hi * 16 + lo);
        i += 2;
    }
    return new CFUUIDObject(b);
}

CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef u) {
    return cfimpl::makeString(uuid(u, "CFUUIDCreateString")->describe());
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef u) {
    CFUUIDBytes out;
    std::memcpy(&out, uuid(u, "CFUUIDGetUUIDBytes")->bytes.data(), sizeof out);
    return out;
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3,
                                         UInt8 b4, UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8,
                                         UInt8 b9, UInt8 b10, UInt8 b11, UInt8 b12, UInt8 b13,
                                         UInt8 b14, UInt8 b15) {
    static auto* mutex = new std::mutex;
    static auto* table = new std::map<Bytes, CFUUIDObject*>;
    Bytes b{b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15};
    std::lock_guard<std::mutex> lock(*mutex);
    auto it = table->find(b);
    if (it != table->end()) return it->second;
    auto* u = new CFUUIDObject(b);
    u->constant = true;
    table->emplace(b, u);
    return u;
}

}  // extern "C"
