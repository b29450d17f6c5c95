#include "CFInternal.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

// Removes "." components and duplicate slashes; keeps ".." (a symlink may sit before it).
std::string normalise(const std::string& path) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        std::string part = path.substr(i, j - i);
        if (!part.empty() && part != ".") parts.push_back(part);
        i = j + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return normalise(path);
    std::vector<char> cwd(4096);
    while (getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE) return normalise("/" + path);
        cwd.resize(cwd.size() * 2);
    }
    return normalise(std::string(cwd.data()) + "/" + path);
}

std::string percentEncode(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     std::strchr("/-._~!$&'()*+,;=:@", c) != nullptr;
        if (plain && c != 0) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

struct CFURLObject : cfimpl::Object {
    CFURLObject(std::string p, bool dir)
        : Object(cfimpl::kURLType), path(std::move(p)), directory(dir || path == "/"),
          string(cfimpl::makeString("file://" + percentEncode(path) + (directory && path != "/" ? "/" : ""))) {}
    ~CFURLObject() override { CFRelease(string); }
    bool equals(const Object& other) const override {
        const auto& o = static_cast<const CFURLObject&>(other);
        return path == o.path && directory == o.directory;
    }
    CFHashCode hash() const override { return cfimpl::hashBytes(path.data(), path.size()); }
    std::string describe() const override { return cfimpl::stringValue(string); }
    const std::string path;  // absolute, normalised, no trailing slash (except "/")
    const bool directory;
    CFStringRef const string;
};

namespace {
const CFURLObject* url(CFURLRef u, const char* f) {
    return cfimpl::checked<CFURLObject>(u, cfimpl::kURLType, f);
}
CFURLRef makeURL(const std::string& path, bool isDirectory) {
    if (path.empty() || path.find('\0') != std::string::npos) return nullptr;
    if (!cfimpl::validUTF8(path)) return nullptr;
    return new CFURLObject(absolute(path), isDirectory);
}
}  // namespace

extern "C" {

CFTypeID CFURLGetTypeID(void) { return cfimpl::kURLType; }

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath, CFURLPathStyle style,
                                       Boolean isDirectory) {
    if (filePath == nullptr || style != kCFURLPOSIXPathStyle) return nullptr;
    return makeURL(cfimpl::stringValue(filePath), isDirectory);
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer, CFIndex bufLen,
                                                 Boolean isDirectory) {
    if (buffer == nullptr || bufLen <= 0) return nullptr;
    std::string path(reinterpret_cast<const char*>(buffer), static_cast<size_t>(bufLen));
    // A terminating NUL counted in the length is tolerated.
    while (!path.empty() && path.back() == '\0') path.pop_back();
    return makeURL(path, isDirectory);
}

CFURLRef CFURLCreateWithString(CFAllocatorRef, CFStringRef urlString, CFURLRef) {
    if (urlString == nullptr) return nullptr;
    const std::string& s = cfimpl::stringValue(urlString);
    const std::string scheme = "file://";
    if (s.compare(0, scheme.size(), scheme) != 0) return nullptr;
    std::string rest = s.substr(scheme.size());
    if (rest.compare(0, 9, "localhost") == 0) rest = rest.substr(9);
    if (rest.empty() || rest[0] != '/') return nullptr;
    std::string path;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%') {
            if (i + 2 >= rest.size()) return nullptr;
            int hi = hexValue(rest[i + 1]), lo = hexValue(rest[i + 2]);
            if (hi < 0 || lo < 0) return nullptr;
            path += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            path += rest[i];
        }
    }
    bool dir = path.size() > 1 && path.back() == '/';
    return makeURL(path, dir);
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef u, Boolean, UInt8* buffer, CFIndex maxBufLen) {
    const CFURLObject* o = url(u, "CFURLGetFileSystemRepresentation");
    if (buffer == nullptr || maxBufLen <= 0 || o->path.size() >= static_cast<size_t>(maxBufLen)) {
        if (buffer != nullptr && maxBufLen > 0) buffer[0] = 0;
        return false;
    }
    std::memcpy(buffer, o->path.c_str(), o->path.size() + 1);
    return true;
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef u, CFURLPathStyle style) {
    if (style != kCFURLPOSIXPathStyle) return nullptr;
    return cfimpl::makeString(url(u, "CFURLCopyFileSystemPath")->path);
}

CFStringRef CFURLGetString(CFURLRef u) { return url(u, "CFURLGetString")->string; }

CFStringRef CFURLCopyLastPathComponent(CFURLRef u) {
    const std::string& p = url(u, "CFURLCopyLastPathComponent")->path;
    if (p == "/") return cfimpl::makeString("/");
    return cfimpl::makeString(p.substr(p.rfind('/') + 1));
}

Boolean CFURLHasDirectoryPath(CFURLRef u) { return url(u, "CFURLHasDirectoryPath")->directory; }

CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef, CFURLRef u, CFStringRef component,
                                               Boolean isDirectory) {
    const CFURLObject* o = url(u, "CFURLCreateCopyAppendingPathComponent");
    if (component == nullptr) return nullptr;
    const std::string& c = cfimpl::stringValue(component);
    if (c.empty()) return static_cast<CFURLRef>(CFRetain(o));
    return makeURL(o->path + "/" + c, isDirectory);
}

CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef, CFURLRef u) {
    const std::string& p = url(u, "CFURLCreateCopyDeletingLastPathComponent")->path;
    size_t slash = p.rfind('/');
    return makeURL(slash == 0 ? "/" : p.substr(0, slash), true);
}

}  // extern "C"
