#include "CFInternal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <vector>

struct CFBundleObject : cfimpl::Object {
    CFBundleObject(std::string p, CFDictionaryRef i)
        : Object(cfimpl::kBundleType), path(std::move(p)), info(i) {}
    ~CFBundleObject() override { CFRelease(info); }
    std::string describe() const override { return "bundle " + path; }
    const std::string path;  // absolute
    CFDictionaryRef const info;
};

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, CFBundleObject*> byPath;       // each holds one reference
    std::map<std::string, CFBundleObject*> byIdentifier;  // first bundle seen wins
    CFBundleObject* main = nullptr;
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: bundles outlive static destructors
    return *r;
}

bool isDirectory(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

CFDictionaryRef emptyInfo() {
    return CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                              &kCFTypeDictionaryValueCallBacks);
}

// The information dictionary; problems are reported and leave it empty, so a bundle with
// a broken Info.plist still loads and its resources are still found.
CFDictionaryRef readInfo(const std::string& bundlePath) {
    std::string plistPath = bundlePath + "/Contents/Info.plist";
    if (!isFile(plistPath)) return emptyInfo();
    std::ifstream in(plistPath, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        std::fprintf(stderr, "CFBundle: cannot read %s\n", plistPath.c_str());
        return emptyInfo();
    }
    CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                  static_cast<CFIndex>(text.size()));
    CFErrorRef error = nullptr;
    CFPropertyListRef plist = CFPropertyListCreateWithData(nullptr, data, 0, nullptr, &error);
    CFRelease(data);
    if (plist == nullptr) {
        CFStringRef why = CFErrorCopyDescription(error);
        std::fprintf(stderr, "CFBundle: %s: %s\n", plistPath.c_str(), cfimpl::stringValue(why).c_str());
        CFRelease(why);
        CFRelease(error);
        return emptyInfo();
    }
    if (CFGetTypeID(plist) != CFDictionaryGetTypeID()) {
        std::fprintf(stderr, "CFBundle: %s: the top level is not a dictionary\n", plistPath.c_str());
        CFRelease(plist);
        return emptyInfo();
    }
    return static_cast<CFDictionaryRef>(plist);
}

CFBundleObject* bundleAt(const std::string& path, bool registerIdentifier) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.byPath.find(path);
    if (it != r.byPath.end()) return it->second;
    auto* b = new CFBundleObject(path, readInfo(path));
    r.byPath.emplace(path, b);
    if (registerIdentifier) {
        auto id = static_cast<CFStringRef>(CFDictionaryGetValue(b->info, CFSTR("CFBundleIdentifier")));
        if (id != nullptr && CFGetTypeID(id) == CFStringGetTypeID())
            r.byIdentifier.emplace(cfimpl::stringValue(id), b);
    }
    return b;
}

const CFBundleObject* bundle(CFBundleRef b, const char* f) {
    return cfimpl::checked<CFBundleObject>(b, cfimpl::kBundleType, f);
}

CFURLRef fileURL(const std::string& path, bool directory) {
    return CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.data()),
                                                   static_cast<CFIndex>(path.size()), directory);
}

std::string executablePath() {
    std::vector<char> buffer(4096);
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return "";
    return std::string(buffer.data(), static_cast<size_t>(n));
}

}  // namespace

extern "C" {

CFTypeID CFBundleGetTypeID(void) { return cfimpl::kBundleType; }

CFBundleRef CFBundleCreate(CFAllocatorRef, CFURLRef bundleURL) {
    if (bundleURL == nullptr) return nullptr;
    CFStringRef pathString = CFURLCopyFileSystemPath(bundleURL, kCFURLPOSIXPathStyle);
    std::string path = cfimpl::stringValue(pathString);
    CFRelease(pathString);
    if (!isDirectory(path)) return nullptr;
    CFBundleObject* b = bundleAt(path, true);
    CFRetain(b);
    return b;
}

CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef bundleID) {
    if (bundleID == nullptr) return nullptr;
    CFBundleGetMainBundle();  // the main bundle is findable by its identifier too
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.byIdentifier.find(cfimpl::stringValue(bundleID));
    return it == r.byIdentifier.end() ? nullptr : it->second;
}

CFBundleRef CFBundleGetMainBundle(void) {
    static CFBundleObject* main = [] {
        std::string exe = executablePath();
        std::string dir = exe.substr(0, exe.rfind('/'));
        if (dir.empty()) dir = "/";
        // X/Contents/<folder>/program: X is the bundle when it has an Info.plist.
        std::string path = dir;
        for (int up = 0; up < 4 && path.size() > 1; ++up) {
            size_t slash = path.rfind('/');
            std::string parent = slash == 0 ? "/" : path.substr(0, slash);
            if (path.substr(slash + 1) == "Contents" && isFile(path + "/Info.plist")) return bundleAt(parent, true);
            path = parent;
        }
        return bundleAt(dir, false);
    }();
    return main;
}

CFStringRef CFBundleGetIdentifier(CFBundleRef b) {
    auto id = CFDictionaryGetValue(bundle(b, "CFBundleGetIdentifier")->info, CFSTR("CFBundleIdentifier"));
    return id != nullptr && CFGetTypeID(id) == CFStringGetTypeID() ? static_cast<CFStringRef>(id) : nullptr;
}

CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef b) { return bundle(b, "CFBundleGetInfoDictionary")->info; }

CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef b, CFStringRef key) {
    if (key == nullptr) return nullptr;
    return CFDictionaryGetValue(bundle(b, "CFBundleGetValueForInfoDictionaryKey")->info, key);
}

CFURLRef CFBundleCopyBundleURL(CFBundleRef b) { return fileURL(bundle(b, "CFBundleCopyBundleURL")->path, true); }

CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef b) {
    return fileURL(bundle(b, "CFBundleCopyResourcesDirectoryURL")->path + "/Contents/Resources", true);
}

CFURLRef CFBundleCopyExecutableURL(CFBundleRef b) {
    const CFBundleObject* o = bundle(b, "CFBundleCopyExecutableURL");
    auto name = CFDictionaryGetValue(o->info, CFSTR("CFBundleExecutable"));
    if (name == nullptr || CFGetTypeID(name) != CFStringGetTypeID()) return nullptr;
    const std::string& n = cfimpl::stringValue(static_cast<CFStringRef>(name));
    if (n.empty() || n.find('/') != std::string::npos) return nullptr;
    std::string path = o->path + "/Contents/MacOS/" + n;
    return isFile(path) ? fileURL(path, false) : nullptr;
}

CFURLRef CFBundleCopyResourceURL(CFBundleRef b, CFStringRef resourceName, CFStringRef resourceType,
                                 CFStringRef subDirName) {
    const CFBundleObject* o = bundle(b, "CFBundleCopyResourceURL");
    if (resourceName == nullptr) return nullptr;
    std::string name = cfimpl::stringValue(resourceName);
    std::string sub = subDirName ? cfimpl::stringValue(subDirName) : "";
    std::string type = resourceType ? cfimpl::stringValue(resourceType) : "";
    if (!type.empty() && type[0] == '.') type.erase(0, 1);
    // Resources stay inside the bundle.
    for (const std::string* part : {&name, &sub, &type})
        if (part->find("..") != std::string::npos) return nullptr;
    if (name.empty() || name.find('/') != std::string::npos || type.find('/') != std::string::npos)
        return nullptr;
    std::string path = o->path + "/Contents/Resources/" + (sub.empty() ? "" : sub + "/") + name +
                       (type.empty() ? "" : "." + type);
    return isFile(path) ? fileURL(path, false) : nullptr;
}

}  // extern "C"
