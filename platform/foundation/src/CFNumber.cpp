#include "CFInternal.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

struct Value {
    bool isFloat;
    int64_t i;
    double d;
};

// The integral value of d when it has one within int64 range.
bool integral(double d, int64_t& out) {
    if (!std::isfinite(d) || d != std::trunc(d)) return false;
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return false;
    out = static_cast<int64_t>(d);
    return true;
}

bool isFloatType(CFNumberType t) {
    return t == kCFNumberFloat32Type || t == kCFNumberFloat64Type || t == kCFNumberFloatType ||
           t == kCFNumberDoubleType;
}

// Byte width of an integer type, 0 for an unknown type.
int intWidth(CFNumberType t) {
    switch (t) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType:
        return 1;
    case kCFNumberSInt16Type:
    case kCFNumberShortType:
        return 2;
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
        return 4;
    case kCFNumberSInt64Type:
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
        return 8;
    default:
        return 0;
    }
}

bool validType(CFNumberType t) { return isFloatType(t) || intWidth(t) != 0; }

}  // namespace

struct CFNumberObject : cfimpl::Object {
    CFNumberObject(CFNumberType t, Value v) : Object(cfimpl::kNumberType), numberType(t), value(v) {}

    bool equals(const Object& other) const override {
        const Value& a = value;
        const Value& b = static_cast<const CFNumberObject&>(other).value;
        if (!a.isFloat && !b.isFloat) return a.i == b.i;
        if (a.isFloat && b.isFloat) return a.d == b.d || (std::isnan(a.d) && std::isnan(b.d));
        const Value& f = a.isFloat ? a : b;
        const Value& n = a.isFloat ? b : a;
        int64_t k;
        return integral(f.d, k) && k == n.i;
    }

    CFHashCode hash() const override {
        int64_t k = value.i;
        if (!value.isFloat || integral(value.d, k)) return cfimpl::hashBytes(&k, sizeof k);
        double d = value.d;
        if (std::isnan(d)) d = std::numeric_limits<double>::quiet_NaN();
        return cfimpl::hashBytes(&d, sizeof d);
    }

    std::string describe() const override {
        if (!value.isFloat) return std::to_string(value.i);
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.17g", value.d);
        return buffer;
    }

    const CFNumberType numberType;
    const Value value;
};

struct CFBooleanObject : cfimpl::Object {
    explicit CFBooleanObject(bool v) : Object(cfimpl::kBooleanType), value(v) { constant = true; }
    std::string describe() const override { return value ? "true" : "false"; }
    const bool value;
};

namespace {
const CFNumberObject* num(CFNumberRef n, const char* function) {
    return cfimpl::checked<CFNumberObject>(n, cfimpl::kNumberType, function);
}
}  // namespace

extern "C" {

// Never destroyed: they must outlive every static destructor that might use them.
const CFBooleanRef kCFBooleanTrue = new CFBooleanObject(true);
const CFBooleanRef kCFBooleanFalse = new CFBooleanObject(false);

CFTypeID CFBooleanGetTypeID(void) { return cfimpl::kBooleanType; }

Boolean CFBooleanGetValue(CFBooleanRef b) {
    return cfimpl::checked<CFBooleanObject>(b, cfimpl::kBooleanType, "CFBooleanGetValue")->value;
}

CFTypeID CFNumberGetTypeID(void) { return cfimpl::kNumberType; }

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void* p) {
    if (p == nullptr || !validType(type)) return nullptr;
    Value v{isFloatType(type), 0, 0.0};
    if (v.isFloat) {
        if (type == kCFNumberFloat32Type || type == kCFNumberFloatType) {
            float f;
            std::memcpy(&f, p, sizeof f);
            v.d = f;
        } else {
            std::memcpy(&v.d, p, sizeof v.d);
        }
    } else {
        switch (intWidth(type)) {
        case 1: { int8_t x; std::memcpy(&x, p, 1); v.i = x; break; }
        case 2: { int16_t x; std::memcpy(&x, p, 2); v.i = x; break; }
        case 4: { int32_t x; std::memcpy(&x, p, 4); v.i = x; break; }
        default: std::memcpy(&v.i, p, 8); break;
        }
    }
    return new CFNumberObject(type, v);
}

CFNumberType CFNumberGetType(CFNumberRef n) { return num(n, "CFNumberGetType")->numberType; }

Boolean CFNumberIsFloatType(CFNumberRef n) { return num(n, "CFNumberIsFloatType")->value.isFloat; }

Boolean CFNumberGetValue(CFNumberRef n, CFNumberType type, void* out) {
    const Value& v = num(n, "CFNumberGetValue")->value;
    if (out == nullptr || !validType(type)) return false;
    if (isFloatType(type)) {
        double d = v.isFloat ? v.d : static_cast<double>(v.i);
        bool exact = true;
        if (!v.isFloat) {
            int64_t back;
            exact = integral(d, back) && back == v.i;
        }
        if (type == kCFNumberFloat32Type || type == kCFNumberFloatType) {
            float f = static_cast<float>(d);
            if (!(static_cast<double>(f) == d || std::isnan(d))) exact = false;
            std::memcpy(out, &f, sizeof f);
        } else {
            std::memcpy(out, &d, sizeof d);
        }
        return exact;
    }
    int width = intWidth(type);
    int64_t lo = width == 8 ? std::numeric_limits<int64_t>::min() : -(int64_t{1} << (8 * width - 1));
    int64_t hi = width == 8 ? std::numeric_limits<int64_t>::max() : (int64_t{1} << (8 * width - 1)) - 1;
    int64_t x;
    bool exact = true;
    if (v.isFloat) {
        if (std::isnan(v.d)) {
            x = 0;
            exact = false;
        } else if (v.d <= static_cast<double>(lo)) {
            x = lo;
            exact = v.d == static_cast<double>(lo);
        } else if (v.d >= static_cast<double>(hi)) {
            // hi may not be representable as a double (int64): compare against 2^63.
            x = hi;
            exact = width != 8 ? v.d == static_cast<double>(hi) : false;
        } else {
            double t = std::trunc(v.d);
            x = static_cast<int64_t>(t);
            exact = t == v.d;
        }
    } else {
        x = v.i < lo ? lo : v.i > hi ? hi : v.i;
        exact = x == v.i;
    }
    switch (width) {
    case 1: { int8_t y = static_cast<int8_t>(x); std::memcpy(out, &y, 1); break; }
    case 2: { int16_t y = static_cast<int16_t>(x); std::memcpy(out, &y, 2); break; }
    case 4: { int32_t y = static_cast<int32_t>(x); std::memcpy(out, &y, 4); break; }
    default: std::memcpy(out, &x, 8); break;
    }
    return exact;
}

CFComparisonResult CFNumberCompare(CFNumberRef a, CFNumberRef b, void*) {
    const Value& x = num(a, "CFNumberCompare")->value;
    const Value& y = num(b, "CFNumberCompare")->value;
    if (!x.isFloat && !y.isFloat)
        return x.i < y.i ? kCFCompareLessThan : x.i > y.i ? kCFCompareGreaterThan : kCFCompareEqualTo;
    long double p = x.isFloat ? x.d : static_cast<long double>(x.i);
    long double q = y.isFloat ? y.d : static_cast<long double>(y.i);
    return p < q ? kCFCompareLessThan : p > q ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

}  // extern "C"
