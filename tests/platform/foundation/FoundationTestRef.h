// A foundation reference owned by a test: released when it goes out of scope.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

struct Ref {
    explicit Ref(CFTypeRef r) : ref(r) {}
    ~Ref() {
        if (ref) CFRelease(ref);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    template <typename T>
    T as() const {
        return static_cast<T>(ref);
    }
    CFTypeRef ref;
};
