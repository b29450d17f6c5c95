// Arrays, dictionaries and data.
#include "CFInternal.h"

#include <cstring>
#include <type_traits>
#include <vector>

namespace {

const void* retainValue(CFAllocatorRef, const void* v) { return cfimpl::retain(v); }
void releaseValue(CFAllocatorRef, const void* v) { cfimpl::release(v); }
Boolean equalValues(const void* a, const void* b) { return CFEqual(a, b); }
CFHashCode hashValue(const void* v) { return CFHash(v); }

// The semantics a collection was created with: retain + CFEqual, or raw pointers.
struct Policy {
    const void* (*retain)(CFAllocatorRef, const void*) = nullptr;
    void (*release)(CFAllocatorRef, const void*) = nullptr;
    Boolean (*equal)(const void*, const void*) = nullptr;
    CFHashCode (*hash)(const void*) = nullptr;

    const void* hold(const void* v) const { return retain ? retain(nullptr, v) : v; }
    void drop(const void* v) const {
        if (release) release(nullptr, v);
    }
    bool same(const void* a, const void* b) const {
        if (a == b) return true;
        if (equal == nullptr || a == nullptr || b == nullptr) return false;
        return equal(a, b);
    }
    CFHashCode hashOf(const void* v) const {
        return hash && v ? hash(v) : reinterpret_cast<CFHashCode>(v);
    }
};

}  // namespace

extern "C" {
const CFArrayCallBacks kCFTypeArrayCallBacks = {0, retainValue, releaseValue, nullptr, equalValues};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0,       retainValue, releaseValue,
                                                                nullptr, equalValues, hashValue};
// Strings are immutable, so "copying" a string key is retaining it.
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {
    0, retainValue, releaseValue, nullptr, equalValues, hashValue};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, retainValue, releaseValue,
                                                                    nullptr, equalValues};
}

namespace {

// The policy a callback table asks for; no table means raw pointers. Only key tables hash.
template <typename CallBacks>
Policy policyFor(const CallBacks* cb) {
    Policy p;
    if (cb) {
        p.retain = cb->retain;
        p.release = cb->release;
        p.equal = cb->equal;
        if constexpr (std::is_same_v<CallBacks, CFDictionaryKeyCallBacks>) p.hash = cb->hash;
    }
    return p;
}

Policy arrayPolicy(const CFArrayCallBacks* cb) { return policyFor(cb); }
Policy keyPolicy(const CFDictionaryKeyCallBacks* cb) { return policyFor(cb); }
Policy valuePolicy(const CFDictionaryValueCallBacks* cb) { return policyFor(cb); }

std::string describeValue(const void* v, const Policy& p) {
    if (v == nullptr) return "(null)";
    if (p.retain == nullptr) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%p", v);
        return buffer;
    }
    return static_cast<const cfimpl::Object*>(v)->describe();
}

}  // namespace

struct CFArrayObject : cfimpl::Object {
    CFArrayObject(Policy p, CFIndex cap) : Object(cfimpl::kArrayType), policy(p), capacity(cap) {}
    ~CFArrayObject() override {
        for (const void* v : values) policy.drop(v);
    }
    bool equals(const Object& other) const override {
        const auto& o = static_cast<const CFArrayObject&>(other);
        if (values.size() != o.values.size()) return false;
        for (size_t i = 0; i < values.size(); ++i)
            if (!policy.same(values[i], o.values[i])) return false;
        return true;
    }
    CFHashCode hash() const override { return values.size(); }
    std::string describe() const override {
        std::string s = "(";
        for (size_t i = 0; i < values.size(); ++i)
            s += (i ? ", " : "") + describeValue(values[i], policy);
        return s + ")";
    }
    const Policy policy;
    const CFIndex capacity;
    std::vector<const void*> values;
};

struct CFDictionaryObject : cfimpl::Object {
    CFDictionaryObject(Policy k, Policy v, CFIndex cap)
        : Object(cfimpl::kDictionaryType), keyPolicy(k), valuePolicy(v), capacity(cap) {}
    ~CFDictionaryObject() override {
        for (const Entry& e : entries) {
            keyPolicy.drop(e.key);
            valuePolicy.drop(e.value);
        }
    }
    struct Entry {
        const void* key;
        const void* value;
        CFHashCode hash;
    };
    long find(const void* key) const {
        CFHashCode h = keyPolicy.hashOf(key);
        for (size_t i = 0; i < entries.size(); ++i)
            if (entries[i].hash == h && keyPolicy.same(entries[i].key, key)) return static_cast<long>(i);
        return -1;
    }
    bool equals(const Object& other) const override {
        const auto& o = static_cast<const CFDictionaryObject&>(other);
        if (entries.size() != o.entries.size()) return false;
        for (const Entry& e : entries) {
            long j = o.find(e.key);
            if (j < 0 || !valuePolicy.same(e.value, o.entries[static_cast<size_t>(j)].value)) return false;
        }
        return true;
    }
    CFHashCode hash() const override { return entries.size(); }
    std::string describe() const override {
        std::string s = "{";
        for (size_t i = 0; i < entries.size(); ++i)
            s += (i ? ", " : "") + describeValue(entries[i].key, keyPolicy) + " = " +
                 describeValue(entries[i].value, valuePolicy);
        return s + "}";
    }
    void set(const void* key, const void* value) {
        long i = find(key);
        if (i >= 0) {
            Entry& e = entries[static_cast<size_t>(i)];
            const void* old = e.value;
            e.value = valuePolicy.hold(value);
            valuePolicy.drop(old);
            return;
        }
        if (capacity > 0 && static_cast<CFIndex>(entries.size()) >= capacity)
            cfimpl::fatal("CFDictionary", "more values than the dictionary's capacity");
        entries.push_back({keyPolicy.hold(key), valuePolicy.hold(value), keyPolicy.hashOf(key)});
    }
    const Policy keyPolicy;
    const Policy valuePolicy;
    const CFIndex capacity;
    std::vector<Entry> entries;
};

struct CFDataObject : cfimpl::Object {
    CFDataObject(const UInt8* p, size_t n) : Object(cfimpl::kDataType), bytes(p, p + n) {}
    bool equals(const Object& other) const override {
        return bytes == static_cast<const CFDataObject&>(other).bytes;
    }
    CFHashCode hash() const override { return cfimpl::hashBytes(bytes.data(), bytes.size()); }
    std::string describe() const override {
        return "<" + std::to_string(bytes.size()) + " bytes>";
    }
    const std::vector<UInt8> bytes;
};

namespace {

const CFArrayObject* arr(CFArrayRef a, const char* f) {
    return cfimpl::checked<CFArrayObject>(a, cfimpl::kArrayType, f);
}
CFArrayObject* marr(CFMutableArrayRef a, const char* f) {
    return cfimpl::checkedMutable<CFArrayObject>(a, cfimpl::kArrayType, f);
}
const CFDictionaryObject* dict(CFDictionaryRef d, const char* f) {
    return cfimpl::checked<CFDictionaryObject>(d, cfimpl::kDictionaryType, f);
}
CFDictionaryObject* mdict(CFMutableDictionaryRef d, const char* f) {
    return cfimpl::checkedMutable<CFDictionaryObject>(d, cfimpl::kDictionaryType, f);
}

void checkIndex(const CFArrayObject* a, CFIndex idx, bool allowEnd, const char* f) {
    CFIndex n = static_cast<CFIndex>(a->values.size());
    if (idx < 0 || idx > n || (idx == n && !allowEnd)) cfimpl::fatal(f, "index out of range");
}

void checkRange(const CFArrayObject* a, CFRange r, const char* f) {
    CFIndex n = static_cast<CFIndex>(a->values.size());
    if (r.location < 0 || r.length < 0 || r.location > n || r.length > n - r.location)
        cfimpl::fatal(f, "range out of bounds");
}

void checkGrow(const CFArrayObject* a, const char* f) {
    if (a->capacity > 0 && static_cast<CFIndex>(a->values.size()) >= a->capacity)
        cfimpl::fatal(f, "more values than the array's capacity");
}

}  // namespace

extern "C" {

CFTypeID CFArrayGetTypeID(void) { return cfimpl::kArrayType; }

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex n, const CFArrayCallBacks* cb) {
    if (n < 0 || (n > 0 && values == nullptr)) return nullptr;
    auto* a = new CFArrayObject(arrayPolicy(cb), 0);
    a->values.reserve(static_cast<size_t>(n));
    for (CFIndex i = 0; i < n; ++i) a->values.push_back(a->policy.hold(values[i]));
    return a;
}

CFArrayRef CFArrayCreateCopy(CFAllocatorRef, CFArrayRef theArray) {
    const CFArrayObject* src = arr(theArray, "CFArrayCreateCopy");
    auto* a = new CFArrayObject(src->policy, 0);
    for (const void* v : src->values) a->values.push_back(a->policy.hold(v));
    return a;
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity, const CFArrayCallBacks* cb) {
    if (capacity < 0) return nullptr;
    return new CFArrayObject(arrayPolicy(cb), capacity);
}

CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef, CFIndex capacity, CFArrayRef theArray) {
    const CFArrayObject* src = arr(theArray, "CFArrayCreateMutableCopy");
    if (capacity < 0 || (capacity > 0 && capacity < static_cast<CFIndex>(src->values.size())))
        return nullptr;
    auto* a = new CFArrayObject(src->policy, capacity);
    for (const void* v : src->values) a->values.push_back(a->policy.hold(v));
    return a;
}

CFIndex CFArrayGetCount(CFArrayRef a) {
    return static_cast<CFIndex>(arr(a, "CFArrayGetCount")->values.size());
}

const void* CFArrayGetValueAtIndex(CFArrayRef a, CFIndex idx) {
    const CFArrayObject* o = arr(a, "CFArrayGetValueAtIndex");
    checkIndex(o, idx, false, "CFArrayGetValueAtIndex");
    return o->values[static_cast<size_t>(idx)];
}

CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef a, CFRange r, const void* value) {
    const CFArrayObject* o = arr(a, "CFArrayGetFirstIndexOfValue");
    checkRange(o, r, "CFArrayGetFirstIndexOfValue");
    for (CFIndex i = r.location; i < r.location + r.length; ++i)
        if (o->policy.same(o->values[static_cast<size_t>(i)], value)) return i;
    return kCFNotFound;
}

Boolean CFArrayContainsValue(CFArrayRef a, CFRange r, const void* value) {
    return CFArrayGetFirstIndexOfValue(a, r, value) != kCFNotFound;
}

void CFArrayAppendValue(CFMutableArrayRef a, const void* value) {
    CFArrayObject* o = marr(a, "CFArrayAppendValue");
    checkGrow(o, "CFArrayAppendValue");
    o->values.push_back(o->policy.hold(value));
}

void CFArrayInsertValueAtIndex(CFMutableArrayRef a, CFIndex idx, const void* value) {
    CFArrayObject* o = marr(a, "CFArrayInsertValueAtIndex");
    checkIndex(o, idx, true, "CFArrayInsertValueAtIndex");
    checkGrow(o, "CFArrayInsertValueAtIndex");
    o->values.insert(o->values.begin() + idx, o->policy.hold(value));
}

void CFArraySetValueAtIndex(CFMutableArrayRef a, CFIndex idx, const void* value) {
    CFArrayObject* o = marr(a, "CFArraySetValueAtIndex");
    checkIndex(o, idx, true, "CFArraySetValueAtIndex");
    if (idx == static_cast<CFIndex>(o->values.size())) {
        checkGrow(o, "CFArraySetValueAtIndex");
        o->values.push_back(o->policy.hold(value));
        return;
    }
    const void* old = o->values[static_cast<size_t>(idx)];
    o->values[static_cast<size_t>(idx)] = o->policy.hold(value);
    o->policy.drop(old);
}

void CFArrayRemoveValueAtIndex(CFMutableArrayRef a, CFIndex idx) {
    CFArrayObject* o = marr(a, "CFArrayRemoveValueAtIndex");
    checkIndex(o, idx, false, "CFArrayRemoveValueAtIndex");
    const void* old = o->values[static_cast<size_t>(idx)];
    o->values.erase(o->values.begin() + idx);
    o->policy.drop(old);
}

void CFArrayRemoveAllValues(CFMutableArrayRef a) {
    CFArrayObject* o = marr(a, "CFArrayRemoveAllValues");
    std::vector<const void*> old;
    old.swap(o->values);
    for (const void* v : old) o->policy.drop(v);
}

CFTypeID CFDictionaryGetTypeID(void) { return cfimpl::kDictionaryType; }

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values, CFIndex n,
                                   const CFDictionaryKeyCallBacks* kcb,
                                   const CFDictionaryValueCallBacks* vcb) {
    if (n < 0 || (n > 0 && (keys == nullptr || values == nullptr))) return nullptr;
    auto* d = new CFDictionaryObject(keyPolicy(kcb), valuePolicy(vcb), 0);
    for (CFIndex i = 0; i < n; ++i) d->set(keys[i], values[i]);
    return d;
}

static CFDictionaryObject* copyDictionary(const CFDictionaryObject* src, CFIndex capacity) {
    auto* d = new CFDictionaryObject(src->keyPolicy, src->valuePolicy, capacity);
    for (const auto& e : src->entries) d->set(e.key, e.value);
    return d;
}

CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef, CFDictionaryRef theDict) {
    return copyDictionary(dict(theDict, "CFDictionaryCreateCopy"), 0);
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* kcb,
                                                 const CFDictionaryValueCallBacks* vcb) {
    if (capacity < 0) return nullptr;
    return new CFDictionaryObject(keyPolicy(kcb), valuePolicy(vcb), capacity);
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef, CFIndex capacity,
                                                     CFDictionaryRef theDict) {
    const CFDictionaryObject* src = dict(theDict, "CFDictionaryCreateMutableCopy");
    if (capacity < 0 || (capacity > 0 && capacity < static_cast<CFIndex>(src->entries.size())))
        return nullptr;
    return copyDictionary(src, capacity);
}

CFIndex CFDictionaryGetCount(CFDictionaryRef d) {
    return static_cast<CFIndex>(dict(d, "CFDictionaryGetCount")->entries.size());
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef d, const void* key, const void** value) {
    const CFDictionaryObject* o = dict(d, "CFDictionaryGetValueIfPresent");
    long i = o->find(key);
    if (i < 0) return false;
    if (value) *value = o->entries[static_cast<size_t>(i)].value;
    return true;
}

const void* CFDictionaryGetValue(CFDictionaryRef d, const void* key) {
    const void* v = nullptr;
    CFDictionaryGetValueIfPresent(d, key, &v);
    return v;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef d, const void* key) {
    return dict(d, "CFDictionaryContainsKey")->find(key) >= 0;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef d, const void** keys, const void** values) {
    const CFDictionaryObject* o = dict(d, "CFDictionaryGetKeysAndValues");
    for (size_t i = 0; i < o->entries.size(); ++i) {
        if (keys) keys[i] = o->entries[i].key;
        if (values) values[i] = o->entries[i].value;
    }
}

void CFDictionarySetValue(CFMutableDictionaryRef d, const void* key, const void* value) {
    mdict(d, "CFDictionarySetValue")->set(key, value);
}

void CFDictionaryAddValue(CFMutableDictionaryRef d, const void* key, const void* value) {
    CFDictionaryObject* o = mdict(d, "CFDictionaryAddValue");
    if (o->find(key) < 0) o->set(key, value);
}

void CFDictionaryReplaceValue(CFMutableDictionaryRef d, const void* key, const void* value) {
    CFDictionaryObject* o = mdict(d, "CFDictionaryReplaceValue");
    if (o->find(key) >= 0) o->set(key, value);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef d, const void* key) {
    CFDictionaryObject* o = mdict(d, "CFDictionaryRemoveValue");
    long i = o->find(key);
    if (i < 0) return;
    auto e = o->entries[static_cast<size_t>(i)];
    o->entries.erase(o->entries.begin() + i);
    o->keyPolicy.drop(e.key);
    o->valuePolicy.drop(e.value);
}

void CFDictionaryRemoveAllValues(CFMutableDictionaryRef d) {
    CFDictionaryObject* o = mdict(d, "CFDictionaryRemoveAllValues");
    auto old = std::move(o->entries);
    o->entries.clear();
    for (const auto& e : old) {
        o->keyPolicy.drop(e.key);
        o->valuePolicy.drop(e.value);
    }
}

CFTypeID CFDataGetTypeID(void) { return cfimpl::kDataType; }

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length) {
    if (length < 0 || (length > 0 && bytes == nullptr)) return nullptr;
    return new CFDataObject(bytes, static_cast<size_t>(length));
}

CFIndex CFDataGetLength(CFDataRef d) {
    return static_cast<CFIndex>(
        cfimpl::checked<CFDataObject>(d, cfimpl::kDataType, "CFDataGetLength")->bytes.size());
}

const UInt8* CFDataGetBytePtr(CFDataRef d) {
    return cfimpl::checked<CFDataObject>(d, cfimpl::kDataType, "CFDataGetBytePtr")->bytes.data();
}

}  // extern "C"
