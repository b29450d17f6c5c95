#include "FoundationTestRef.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

namespace {

CFStringRef str(const char* s) { return CFStringCreateWithCString(nullptr, s, kCFStringEncodingUTF8); }

std::string text(CFStringRef s) {
    char buffer[256];
    EXPECT_TRUE(CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8));
    return buffer;
}

TEST(CFStringTest, RejectsInvalidUTF8) {
    const char* invalid[] = {
        "\x80",              // lone continuation byte
        "abc\xE2\x82",       // truncated three-byte sequence
        "\xC0\xAF",          // overlong '/'
        "\xE0\x80\xAF",      // overlong three-byte
        "\xED\xA0\x80",      // UTF-16 surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xFF",
        "ok\xC3",  // sequence cut by the end
    };
    for (const char* s : invalid) EXPECT_EQ(str(s), nullptr) << "accepted " << s;
    EXPECT_EQ(CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8), nullptr);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "caf\xC3\xA9", kCFStringEncodingASCII), nullptr);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "abc", 0x1234), nullptr);
}

TEST(CFStringTest, AcceptsEveryPlaneAndCountsUTF16Units) {
    // h, e-acute (2 bytes), the euro sign (3 bytes), a character outside the basic plane
    // (4 bytes, two UTF-16 units), the highest code point.
    Ref s(str("h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"));
    ASSERT_NE(s.ref, nullptr);
    EXPECT_EQ(CFStringGetLength(s.as<CFStringRef>()), 1 + 1 + 1 + 2 + 2);
    Ref empty(str(""));
    ASSERT_NE(empty.ref, nullptr);
    EXPECT_EQ(CFStringGetLength(empty.as<CFStringRef>()), 0);
    EXPECT_EQ(text(empty.as<CFStringRef>()), "");
}

TEST(CFStringTest, BoundedCopyFailsWhenTheTextAndItsTerminatorDoNotFit) {
    Ref s(str("abc"));
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(CFStringGetCString(s.as<CFStringRef>(), buffer, 3, kCFStringEncodingUTF8));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[3], 'x');  // nothing written past the given size
    EXPECT_TRUE(CFStringGetCString(s.as<CFStringRef>(), buffer, 4, kCFStringEncodingUTF8));
    EXPECT_STREQ(buffer, "abc");
    EXPECT_FALSE(CFStringGetCString(s.as<CFStringRef>(), buffer, 0, kCFStringEncodingUTF8));
    EXPECT_FALSE(CFStringGetCString(s.as<CFStringRef>(), nullptr, 8, kCFStringEncodingUTF8));

    Ref accented(str("caf\xC3\xA9"));
    EXPECT_FALSE(CFStringGetCString(accented.as<CFStringRef>(), buffer, 8, kCFStringEncodingASCII));
    EXPECT_EQ(CFStringGetCStringPtr(accented.as<CFStringRef>(), kCFStringEncodingASCII), nullptr);
    EXPECT_STREQ(CFStringGetCStringPtr(accented.as<CFStringRef>(), kCFStringEncodingUTF8), "caf\xC3\xA9");
    EXPECT_GE(CFStringGetMaximumSizeForEncoding(CFStringGetLength(accented.as<CFStringRef>()),
                                                kCFStringEncodingUTF8),
              5);
}

TEST(CFStringTest, ComparesLiterallyByCodePoint) {
    Ref a(str("Built-in Output")), b(str("Built-in Output")), c(str("built-in output"));
    EXPECT_EQ(CFStringCompare(a.as<CFStringRef>(), b.as<CFStringRef>(), 0), kCFCompareEqualTo);
    EXPECT_EQ(CFStringCompare(a.as<CFStringRef>(), c.as<CFStringRef>(), 0), kCFCompareLessThan);
    EXPECT_EQ(CFStringCompare(c.as<CFStringRef>(), a.as<CFStringRef>(), 0), kCFCompareGreaterThan);
    EXPECT_EQ(CFStringCompare(a.as<CFStringRef>(), c.as<CFStringRef>(), kCFCompareCaseInsensitive),
              kCFCompareEqualTo);
    Ref upper(str("\xC3\x89T\xC3\x89")), lower(str("\xC3\xA9t\xC3\xA9"));
    EXPECT_EQ(CFStringCompare(upper.as<CFStringRef>(), lower.as<CFStringRef>(), kCFCompareCaseInsensitive),
              kCFCompareEqualTo);
    // U+FFFD sorts before U+1F600 by code point (UTF-16 unit order would put it after).
    Ref bmp(str("\xEF\xBF\xBD")), astral(str("\xF0\x9F\x98\x80"));
    EXPECT_EQ(CFStringCompare(bmp.as<CFStringRef>(), astral.as<CFStringRef>(), 0), kCFCompareLessThan);
    Ref prefix(str("Built"));
    EXPECT_TRUE(CFStringHasPrefix(a.as<CFStringRef>(), prefix.as<CFStringRef>()));
    EXPECT_FALSE(CFStringHasSuffix(a.as<CFStringRef>(), prefix.as<CFStringRef>()));
}

TEST(CFStringTest, EqualityHashAndConstants) {
    Ref a(str("uid-1")), b(str("uid-1")), c(str("uid-2"));
    EXPECT_TRUE(CFEqual(a.ref, b.ref));
    EXPECT_EQ(CFHash(a.ref), CFHash(b.ref));
    EXPECT_FALSE(CFEqual(a.ref, c.ref));
    EXPECT_EQ(CFGetTypeID(a.ref), CFStringGetTypeID());

    CFStringRef k1 = CFSTR("constant key");
    CFStringRef k2 = CFSTR("constant key");
    EXPECT_EQ(k1, k2);
    CFRelease(k1);  // releasing a constant never frees it
    CFRelease(k1);
    EXPECT_EQ(text(k1), "constant key");
    EXPECT_TRUE(CFEqual(k1, Ref(str("constant key")).ref));
}

TEST(CFRuntimeTest, ReferenceCountsAreExactAcrossThreads) {
    CFStringRef s = str("shared");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([s] {
            for (int i = 0; i < 20000; ++i) {
                CFRetain(s);
                CFRelease(s);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(CFGetRetainCount(s), 1);
    CFRelease(s);  // ASan reports a leak or a double free if counting went wrong
}

TEST(CFNumberTest, ConvertsAndReportsLoss) {
    int32_t i = 42;
    Ref n(CFNumberCreate(nullptr, kCFNumberSInt32Type, &i));
    double d = 0;
    EXPECT_TRUE(CFNumberGetValue(n.as<CFNumberRef>(), kCFNumberFloat64Type, &d));
    EXPECT_EQ(d, 42.0);
    EXPECT_EQ(CFNumberGetType(n.as<CFNumberRef>()), kCFNumberSInt32Type);
    EXPECT_FALSE(CFNumberIsFloatType(n.as<CFNumberRef>()));

    double half = 1.5;
    Ref f(CFNumberCreate(nullptr, kCFNumberFloat64Type, &half));
    int32_t out = 0;
    EXPECT_FALSE(CFNumberGetValue(f.as<CFNumberRef>(), kCFNumberSInt32Type, &out));
    EXPECT_EQ(out, 1);

    int64_t big = int64_t{1} << 40;
    Ref b(CFNumberCreate(nullptr, kCFNumberSInt64Type, &big));
    EXPECT_FALSE(CFNumberGetValue(b.as<CFNumberRef>(), kCFNumberSInt32Type, &out));
    EXPECT_EQ(out, INT32_MAX);
    int64_t back = 0;
    EXPECT_TRUE(CFNumberGetValue(b.as<CFNumberRef>(), kCFNumberSInt64Type, &back));
    EXPECT_EQ(back, big);

    int64_t huge = INT64_MAX;
    Ref h(CFNumberCreate(nullptr, kCFNumberSInt64Type, &huge));
    EXPECT_FALSE(CFNumberGetValue(h.as<CFNumberRef>(), kCFNumberFloat64Type, &d));

    double nan = std::nan("");
    Ref nn(CFNumberCreate(nullptr, kCFNumberDoubleType, &nan));
    EXPECT_FALSE(CFNumberGetValue(nn.as<CFNumberRef>(), kCFNumberIntType, &out));

    double tenth = 0.1;
    Ref t(CFNumberCreate(nullptr, kCFNumberFloat64Type, &tenth));
    float ft = 0;
    EXPECT_FALSE(CFNumberGetValue(t.as<CFNumberRef>(), kCFNumberFloat32Type, &ft));
    EXPECT_FLOAT_EQ(ft, 0.1f);

    EXPECT_EQ(CFNumberCreate(nullptr, kCFNumberIntType, nullptr), nullptr);
    EXPECT_EQ(CFNumberCreate(nullptr, static_cast<CFNumberType>(99), &i), nullptr);
}

TEST(CFNumberTest, EqualityIsByValueAcrossStorageTypes) {
    int16_t three16 = 3;
    double three = 3.0, threeAndABit = 3.25;
    Ref a(CFNumberCreate(nullptr, kCFNumberSInt16Type, &three16));
    Ref b(CFNumberCreate(nullptr, kCFNumberDoubleType, &three));
    Ref c(CFNumberCreate(nullptr, kCFNumberDoubleType, &threeAndABit));
    EXPECT_TRUE(CFEqual(a.ref, b.ref));
    EXPECT_EQ(CFHash(a.ref), CFHash(b.ref));
    EXPECT_FALSE(CFEqual(a.ref, c.ref));
    EXPECT_EQ(CFNumberCompare(a.as<CFNumberRef>(), c.as<CFNumberRef>(), nullptr), kCFCompareLessThan);
    EXPECT_FALSE(CFEqual(a.ref, kCFBooleanTrue));
}

TEST(CFBooleanTest, Values) {
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
    EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());
    EXPECT_FALSE(CFEqual(kCFBooleanTrue, kCFBooleanFalse));
}

TEST(CFUUIDTest, StringFormRoundTripsAndOrdersBytesAsWritten) {
    Ref text(str("0123abcd-4567-89EF-0123-456789abcdef"));
    Ref u(CFUUIDCreateFromString(nullptr, text.as<CFStringRef>()));
    ASSERT_NE(u.ref, nullptr);
    CFUUIDBytes b = CFUUIDGetUUIDBytes(u.as<CFUUIDRef>());
    EXPECT_EQ(b.byte0, 0x01);
    EXPECT_EQ(b.byte3, 0xCD);
    EXPECT_EQ(b.byte6, 0x89);
    EXPECT_EQ(b.byte15, 0xEF);
    Ref back(CFUUIDCreateString(nullptr, u.as<CFUUIDRef>()));
    EXPECT_EQ(CFUUIDGetTypeID(), CFGetTypeID(u.ref));
    char buffer[64];
    ASSERT_TRUE(CFStringGetCString(back.as<CFStringRef>(), buffer, sizeof buffer, kCFStringEncodingUTF8));
    EXPECT_STREQ(buffer, "0123ABCD-4567-89EF-0123-456789ABCDEF");
    Ref again(CFUUIDCreateFromUUIDBytes(nullptr, b));
    EXPECT_TRUE(CFEqual(u.ref, again.ref));
    EXPECT_EQ(CFHash(u.ref), CFHash(again.ref));
}

TEST(CFUUIDTest, RejectsMalformedText) {
    const char* bad[] = {"", "0123abcd45674-89EF-0123-456789abcdef", "0123abcd-4567-89EF-0123-456789abcde",
                         "0123abcd-4567-89EF-0123-456789abcdeg", "{0123abcd-4567-89EF-0123-456789abcd}",
                         "0123abcd-4567-89EF-0123-456789abcdef0"};
    for (const char* s : bad) {
        Ref t(str(s));
        EXPECT_EQ(CFUUIDCreateFromString(nullptr, t.as<CFStringRef>()), nullptr) << s;
    }
    EXPECT_EQ(CFUUIDCreateFromString(nullptr, nullptr), nullptr);
}

TEST(CFUUIDTest, RandomUUIDsAreVersion4AndDistinct) {
    Ref a(CFUUIDCreate(nullptr)), b(CFUUIDCreate(nullptr));
    EXPECT_FALSE(CFEqual(a.ref, b.ref));
    CFUUIDBytes x = CFUUIDGetUUIDBytes(a.as<CFUUIDRef>());
    EXPECT_EQ(x.byte6 >> 4, 4);
    EXPECT_EQ(x.byte8 >> 6, 2);
    CFUUIDRef c1 = CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
    CFUUIDRef c2 = CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
    EXPECT_EQ(c1, c2);
    Ref same(CFUUIDCreateWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16));
    EXPECT_TRUE(CFEqual(c1, same.ref));
}

TEST(CFArrayTest, RetainsItsValuesAndComparesDeeply) {
    CFStringRef a = str("a");
    CFStringRef b = str("b");
    const void* values[] = {a, b};
    CFArrayRef arr = CFArrayCreate(nullptr, values, 2, &kCFTypeArrayCallBacks);
    EXPECT_EQ(CFGetRetainCount(a), 2);
    CFMutableArrayRef m = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    Ref other(str("a"));
    CFArrayAppendValue(m, other.ref);
    EXPECT_FALSE(CFEqual(arr, m));
    CFArrayAppendValue(m, b);
    EXPECT_TRUE(CFEqual(arr, m));
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(m, CFRangeMake(0, 2), a), 0);  // by value, not address
    EXPECT_EQ(CFGetRetainCount(b), 3);
    CFArrayRemoveValueAtIndex(m, 1);
    EXPECT_EQ(CFGetRetainCount(b), 2);
    CFArrayInsertValueAtIndex(m, 0, b);
    EXPECT_EQ(CFArrayGetValueAtIndex(m, 0), b);
    EXPECT_EQ(CFArrayGetCount(m), 2);
    CFRelease(m);
    CFRelease(arr);
    EXPECT_EQ(CFGetRetainCount(a), 1);
    EXPECT_EQ(CFGetRetainCount(b), 1);
    CFRelease(a);
    CFRelease(b);
}

TEST(CFArrayTest, NullCallbacksStoreRawPointers) {
    int x = 0, y = 0;
    CFMutableArrayRef m = CFArrayCreateMutable(nullptr, 0, nullptr);
    CFArrayAppendValue(m, &x);
    CFArrayAppendValue(m, &y);
    EXPECT_EQ(CFArrayGetValueAtIndex(m, 1), &y);
    EXPECT_FALSE(CFArrayContainsValue(m, CFRangeMake(0, 2), nullptr));
    CFRelease(m);
}

TEST(CFDictionaryTest, KeysMatchByValueAndReplacedValuesAreReleased) {
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    CFStringRef v1 = str("first");
    CFStringRef v2 = str("second");
    CFDictionarySetValue(d, CFSTR("name"), v1);
    CFDictionarySetValue(d, CFSTR("uid"), v2);
    EXPECT_EQ(CFGetRetainCount(v1), 2);
    Ref key(str("name"));  // a different object with the same text
    EXPECT_EQ(CFDictionaryGetValue(d, key.ref), v1);
    CFDictionarySetValue(d, key.ref, v2);
    EXPECT_EQ(CFGetRetainCount(v1), 1);
    EXPECT_EQ(CFDictionaryGetCount(d), 2);
    CFDictionaryAddValue(d, CFSTR("name"), v1);  // present: not replaced
    EXPECT_EQ(CFDictionaryGetValue(d, CFSTR("name")), v2);
    CFDictionaryReplaceValue(d, CFSTR("absent"), v1);  // absent: not added
    EXPECT_FALSE(CFDictionaryContainsKey(d, CFSTR("absent")));

    const void* keys[2];
    CFDictionaryGetKeysAndValues(d, keys, nullptr);
    EXPECT_TRUE(CFEqual(keys[0], CFSTR("name")));  // insertion order
    EXPECT_TRUE(CFEqual(keys[1], CFSTR("uid")));

    CFDictionaryRef copy = CFDictionaryCreateCopy(nullptr, d);
    EXPECT_TRUE(CFEqual(copy, d));
    CFDictionaryRemoveValue(d, CFSTR("uid"));
    EXPECT_FALSE(CFEqual(copy, d));
    EXPECT_EQ(CFDictionaryGetValue(d, CFSTR("uid")), nullptr);
    CFRelease(copy);
    CFRelease(d);
    EXPECT_EQ(CFGetRetainCount(v2), 1);
    CFRelease(v1);
    CFRelease(v2);
}

TEST(CFDataTest, HoldsACopy) {
    UInt8 bytes[] = {1, 2, 3};
    Ref d(CFDataCreate(nullptr, bytes, 3));
    bytes[0] = 9;
    EXPECT_EQ(CFDataGetLength(d.as<CFDataRef>()), 3);
    EXPECT_EQ(CFDataGetBytePtr(d.as<CFDataRef>())[0], 1);
}

UInt64 fakeClock(void* context) { return *static_cast<UInt64*>(context); }

TEST(HostClockTest, IsMonotonicNanoseconds) {
    EXPECT_EQ(HostClockGetFrequency(), 1e9);
    EXPECT_EQ(HostClockConvertToNanoseconds(123456789), 123456789u);
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    UInt64 before = static_cast<UInt64>(ts.tv_sec) * 1000000000ull + static_cast<UInt64>(ts.tv_nsec);
    UInt64 t1 = HostClockGetTime();
    UInt64 t2 = HostClockGetTime();
    EXPECT_GE(t1, before);
    EXPECT_GE(t2, t1);
    EXPECT_LT(t1 - before, 1000000000ull);

    UInt64 fake = 42;
    HostClockSetTestSource(fakeClock, &fake);
    EXPECT_EQ(HostClockGetTime(), 42u);
    fake = 43;
    EXPECT_EQ(HostClockGetTime(), 43u);
    HostClockSetTestSource(nullptr, nullptr);
    EXPECT_GE(HostClockGetTime(), t2);
}

}  // namespace
