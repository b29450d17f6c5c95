#include "CFInternal.h"

#include <climits>
#include <cstring>

namespace cfimpl {

void fatal(const char* function, const char* problem) {
    std::fprintf(stderr, "%s: %s\n", function, problem);
    std::fflush(stderr);
    std::abort();
}

}  // namespace cfimpl

using cfimpl::Object;

extern "C" {

CFTypeRef CFRetain(CFTypeRef ref) {
    const Object* o = cfimpl::object(ref, "CFRetain");
    if (!o->constant) const_cast<Object*>(o)->refCount.fetch_add(1, std::memory_order_relaxed);
    return ref;
}

void CFRelease(CFTypeRef ref) {
    const Object* o = cfimpl::object(ref, "CFRelease");
    if (o->constant) return;
    int64_t before = const_cast<Object*>(o)->refCount.fetch_sub(1, std::memory_order_acq_rel);
    if (before == 1) {
        delete o;
    } else if (before <= 0) {
        cfimpl::fatal("CFRelease", "object released more often than retained");
    }
}

CFIndex CFGetRetainCount(CFTypeRef ref) {
    const Object* o = cfimpl::object(ref, "CFGetRetainCount");
    if (o->constant) return LONG_MAX;
    return static_cast<CFIndex>(o->refCount.load(std::memory_order_relaxed));
}

Boolean CFEqual(CFTypeRef a, CFTypeRef b) {
    const Object* x = cfimpl::object(a, "CFEqual");
    const Object* y = cfimpl::object(b, "CFEqual");
    if (x == y) return true;
    // Numbers compare by value whatever their storage type; other types must match.
    if (x->type != y->type) return false;
    return x->equals(*y);
}

CFHashCode CFHash(CFTypeRef ref) { return cfimpl::object(ref, "CFHash")->hash(); }

CFTypeID CFGetTypeID(CFTypeRef ref) { return cfimpl::object(ref, "CFGetTypeID")->type; }

CFStringRef CFCopyDescription(CFTypeRef ref) {
    return cfimpl::makeString(cfimpl::object(ref, "CFCopyDescription")->describe());
}

}  // extern "C"

// Errors.
struct CFErrorObject : Object {
    CFErrorObject(CFStringRef d, CFIndex c, CFStringRef text)
        : Object(cfimpl::kErrorType), domain(d), code(c), description(text) {}
    ~CFErrorObject() override {
        CFRelease(domain);
        CFRelease(description);
    }
    std::string describe() const override { return cfimpl::stringValue(description); }
    CFStringRef domain;
    CFIndex code;
    CFStringRef description;
};

namespace cfimpl {
// A description may quote the input it is about, which need not be UTF-8.
CFErrorRef makeError(const char* domain, CFIndex code, std::string description) {
    return new CFErrorObject(makeString(domain), code, makeString(replacingInvalidUTF8(description)));
}
}  // namespace cfimpl

extern "C" {

CFTypeID CFErrorGetTypeID(void) { return cfimpl::kErrorType; }

CFIndex CFErrorGetCode(CFErrorRef e) {
    return cfimpl::checked<CFErrorObject>(e, cfimpl::kErrorType, "CFErrorGetCode")->code;
}

CFStringRef CFErrorGetDomain(CFErrorRef e) {
    return cfimpl::checked<CFErrorObject>(e, cfimpl::kErrorType, "CFErrorGetDomain")->domain;
}

CFStringRef CFErrorCopyDescription(CFErrorRef e) {
    auto* err = cfimpl::checked<CFErrorObject>(e, cfimpl::kErrorType, "CFErrorCopyDescription");
    return static_cast<CFStringRef>(CFRetain(err->description));
}

}  // extern "C"
