#include "FoundationTestRef.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

CFStringRef str(const std::string& s) {
    return CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8);
}

std::string text(CFStringRef s) {
    if (s == nullptr) return "<null>";
    char buffer[1024];
    return CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "<too long>";
}

CFPropertyListRef parse(const std::string& xml, std::string* error = nullptr) {
    Ref data(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(xml.data()), static_cast<CFIndex>(xml.size())));
    CFErrorRef err = nullptr;
    CFPropertyListRef p = CFPropertyListCreateWithData(nullptr, data.as<CFDataRef>(), 0, nullptr, &err);
    if (err) {
        Ref description(CFErrorCopyDescription(err));
        if (error) *error = text(description.as<CFStringRef>());
        CFRelease(err);
    }
    return p;
}

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("tw-cf-" + std::to_string(getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    void writeFile(const fs::path& p, const std::string& content) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << content;
    }
    fs::path dir;
};

TEST(CFURLTest, FilePathsAndTheirURLForm) {
    Ref u(CFURLCreateWithFileSystemPath(nullptr, Ref(str("/tmp/a b/./c%d.icns")).as<CFStringRef>(),
                                        kCFURLPOSIXPathStyle, false));
    ASSERT_NE(u.ref, nullptr);
    EXPECT_EQ(text(CFURLGetString(u.as<CFURLRef>())), "file:///tmp/a%20b/c%25d.icns");
    Ref path(CFURLCopyFileSystemPath(u.as<CFURLRef>(), kCFURLPOSIXPathStyle));
    EXPECT_EQ(text(path.as<CFStringRef>()), "/tmp/a b/c%d.icns");
    Ref last(CFURLCopyLastPathComponent(u.as<CFURLRef>()));
    EXPECT_EQ(text(last.as<CFStringRef>()), "c%d.icns");
    UInt8 small[8];
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(u.as<CFURLRef>(), true, small, sizeof small));
    UInt8 big[64];
    EXPECT_TRUE(CFURLGetFileSystemRepresentation(u.as<CFURLRef>(), true, big, sizeof big));
    EXPECT_STREQ(reinterpret_cast<char*>(big), "/tmp/a b/c%d.icns");

    Ref back(CFURLCreateWithString(nullptr, CFURLGetString(u.as<CFURLRef>()), nullptr));
    ASSERT_NE(back.ref, nullptr);
    EXPECT_TRUE(CFEqual(u.ref, back.ref));
    EXPECT_EQ(CFURLCreateWithString(nullptr, CFSTR("http://example.invalid/"), nullptr), nullptr);
    EXPECT_EQ(CFURLCreateWithString(nullptr, CFSTR("file:///bad%2"), nullptr), nullptr);

    Ref dirURL(CFURLCreateCopyDeletingLastPathComponent(nullptr, u.as<CFURLRef>()));
    EXPECT_TRUE(CFURLHasDirectoryPath(dirURL.as<CFURLRef>()));
    EXPECT_EQ(text(CFURLGetString(dirURL.as<CFURLRef>())), "file:///tmp/a%20b/");
    Ref child(CFURLCreateCopyAppendingPathComponent(nullptr, dirURL.as<CFURLRef>(), CFSTR("x"), false));
    EXPECT_EQ(text(CFURLGetString(child.as<CFURLRef>())), "file:///tmp/a%20b/x");
    EXPECT_EQ(CFURLCreateWithFileSystemPath(nullptr, CFSTR(""), kCFURLPOSIXPathStyle, false), nullptr);
}

TEST(CFURLTest, RelativePathsResolveAgainstTheWorkingDirectory) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    Ref u(CFURLCreateWithFileSystemPath(nullptr, CFSTR("sub/file.txt"), kCFURLPOSIXPathStyle, false));
    Ref p(CFURLCopyFileSystemPath(u.as<CFURLRef>(), kCFURLPOSIXPathStyle));
    EXPECT_EQ(text(p.as<CFStringRef>()), (fs::path(cwd) / "sub/file.txt").string());
}

TEST(CFPropertyListTest, ParsesEveryValueType) {
    std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Example//DTD PLIST 1.0//EN" "http://example.invalid/plist.dtd">
<plist version="1.0">
<!-- a comment -->
<dict>
	<key>CFBundleIdentifier</key>
	<string>com.example.tidewell &amp; friends &lt;3 &#xE9;&#233;</string>
	<key>Count</key>
	<integer> -42 </integer>
	<key>Rate</key>
	<real>48000.5</real>
	<key>Yes</key>
	<true/>
	<key>No</key>
	<false></false>
	<key>Bytes</key>
	<data>
	AAEC
	/w==
	</data>
	<key>List</key>
	<array>
		<string/>
		<dict/>
		<array/>
		<string><![CDATA[<raw> & text]]></string>
	</array>
</dict>
</plist>
)";
    std::string error;
    Ref p(parse(xml, &error));
    ASSERT_NE(p.ref, nullptr) << error;
    auto d = p.as<CFDictionaryRef>();
    ASSERT_EQ(CFGetTypeID(d), CFDictionaryGetTypeID());
    EXPECT_EQ(CFDictionaryGetCount(d), 7);
    EXPECT_EQ(text(static_cast<CFStringRef>(CFDictionaryGetValue(d, CFSTR("CFBundleIdentifier")))),
              "com.example.tidewell & friends <3 \xC3\xA9\xC3\xA9");
    int64_t count = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(d, CFSTR("Count"))),
                                 kCFNumberSInt64Type, &count));
    EXPECT_EQ(count, -42);
    double rate = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(d, CFSTR("Rate"))), kCFNumberFloat64Type, &rate);
    EXPECT_EQ(rate, 48000.5);
    EXPECT_EQ(CFDictionaryGetValue(d, CFSTR("Yes")), kCFBooleanTrue);
    EXPECT_EQ(CFDictionaryGetValue(d, CFSTR("No")), kCFBooleanFalse);
    auto bytes = static_cast<CFDataRef>(CFDictionaryGetValue(d, CFSTR("Bytes")));
    ASSERT_EQ(CFDataGetLength(bytes), 4);
    EXPECT_EQ(CFDataGetBytePtr(bytes)[2], 2);
    EXPECT_EQ(CFDataGetBytePtr(bytes)[3], 0xFF);
    auto list = static_cast<CFArrayRef>(CFDictionaryGetValue(d, CFSTR("List")));
    ASSERT_EQ(CFArrayGetCount(list), 4);
    EXPECT_EQ(text(static_cast<CFStringRef>(CFArrayGetValueAtIndex(list, 0))), "");
    EXPECT_EQ(CFGetTypeID(CFArrayGetValueAtIndex(list, 1)), CFDictionaryGetTypeID());
    EXPECT_EQ(text(static_cast<CFStringRef>(CFArrayGetValueAtIndex(list, 3))), "<raw> & text");
}

TEST(CFPropertyListTest, WritesWhatItReads) {
    Ref original(parse(R"(<plist version="1.0"><dict>
<key>b</key><array><integer>1</integer><real>0.1</real><true/><data>AAEC/w==</data></array>
<key>a</key><string>x &lt; y &amp; z</string><key>empty</key><dict/></dict></plist>)"));
    ASSERT_NE(original.ref, nullptr);
    CFErrorRef error = nullptr;
    Ref data(CFPropertyListCreateData(nullptr, original.ref, kCFPropertyListXMLFormat_v1_0, 0, &error));
    ASSERT_NE(data.ref, nullptr);
    std::string xml(reinterpret_cast<const char*>(CFDataGetBytePtr(data.as<CFDataRef>())),
                    static_cast<size_t>(CFDataGetLength(data.as<CFDataRef>())));
    EXPECT_LT(xml.find("<key>a</key>"), xml.find("<key>b</key>"));  // keys sorted
    Ref again(parse(xml));
    ASSERT_NE(again.ref, nullptr) << xml;
    EXPECT_TRUE(CFEqual(original.ref, again.ref)) << xml;

    // Objects a property list cannot hold are refused with a reason.
    Ref u(CFUUIDCreate(nullptr));
    EXPECT_EQ(CFPropertyListCreateData(nullptr, u.ref, kCFPropertyListXMLFormat_v1_0, 0, &error), nullptr);
    ASSERT_NE(error, nullptr);
    CFRelease(error);
}

TEST(CFPropertyListTest, MalformedInputIsRefusedWithAReason) {
    struct Case {
        const char* xml;
        const char* reason;
    } cases[] = {
        {"", "unexpected end"},
        {"<plist><dict><key>a</key></dict></plist>", "has no value"},
        {"<plist><dict><string>a</string></dict></plist>", "expected <key>"},
        {"<plist><array><string>a</array></plist>", "expected </string>"},
        {"<plist><integer>12x</integer></plist>", "invalid integer"},
        {"<plist><integer>99999999999999999999</integer></plist>", "invalid integer"},
        {"<plist><real>fast</real></plist>", "invalid real"},
        {"<plist><string>&bogus;</string></plist>", "unknown entity"},
        {"<plist><string>&#xD800;</string></plist>", "invalid character reference"},
        {"<plist><date>2024-01-01T00:00:00Z</date></plist>", "unsupported element <date>"},
        {"<plist><string>\xC3</string></plist>", "not valid UTF-8"},
        {"<plist><data>AA!A</data></plist>", "invalid base64"},
        {"<plist><true/><true/></plist>", "expected </plist>"},
        {"<plist><dict/></plist>trailing", "unexpected content"},
        {"<!-- never closed", "unterminated"},
    };
    for (const Case& c : cases) {
        std::string error;
        CFPropertyListRef p = parse(c.xml, &error);
        EXPECT_EQ(p, nullptr) << c.xml;
        if (p) CFRelease(p);
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.xml << " gave: " << error;
    }
    std::string error;
    EXPECT_EQ(parse("<plist>\n\n<dict>\n<key>k</key>\n</dict></plist>", &error), nullptr);
    EXPECT_NE(error.find("line 5"), std::string::npos) << error;

    // Deep nesting is refused rather than exhausting the stack.
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<array>";
    EXPECT_EQ(parse(deep, &error), nullptr);
    EXPECT_NE(error.find("nested deeper"), std::string::npos) << error;
}

// An error quotes the text it is about, which may not be UTF-8: the reason must still come
// back as text (this once hung, counting the malformed bytes of the description forever).
TEST(CFPropertyListTest, AReasonQuotingMalformedUTF8IsReadableText) {
    const char* cases[] = {
        "<plist version=\"1.0\"><array><st\x8e\x9en'>x</s#ring></array></plist>",
        "<plisx\xdf version=\"1.0\"><array/></plist>",
        "<plist><\xff\xfe/></plist>",
    };
    for (const char* xml : cases) {
        std::string error;
        CFPropertyListRef p = parse(xml, &error);
        EXPECT_EQ(p, nullptr) << xml;
        if (p) CFRelease(p);
        EXPECT_NE(error.find("\xEF\xBF\xBD"), std::string::npos) << xml << " gave: " << error;
    }
}

TEST_F(TempDir, BundleInfoResourcesAndRegistry) {
    fs::path b = dir / "TidewellTest.driver";
    writeFile(b / "Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.tidewell.test.)" + std::to_string(getpid()) + R"(</string>
<key>CFBundleExecutable</key><string>TidewellTest</string>
<key>CFBundleShortVersionString</key><string>1.4</string>
</dict></plist>)");
    writeFile(b / "Contents/Resources/DeviceIcon.icns", "icon");
    writeFile(b / "Contents/Resources/en.lproj/Strings.txt", "s");
    writeFile(b / "Contents/MacOS/TidewellTest", "binary");

    Ref url(CFURLCreateWithFileSystemPath(nullptr, Ref(str(b.string())).as<CFStringRef>(), kCFURLPOSIXPathStyle, true));
    CFBundleRef bundle = CFBundleCreate(nullptr, url.as<CFURLRef>());
    ASSERT_NE(bundle, nullptr);
    CFBundleRef same = CFBundleCreate(nullptr, url.as<CFURLRef>());
    EXPECT_EQ(same, bundle);
    CFRelease(same);

    std::string id = "com.tidewell.test." + std::to_string(getpid());
    EXPECT_EQ(text(CFBundleGetIdentifier(bundle)), id);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(Ref(str(id)).as<CFStringRef>()), bundle);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(CFSTR("com.tidewell.nothing")), nullptr);
    EXPECT_EQ(text(static_cast<CFStringRef>(CFBundleGetValueForInfoDictionaryKey(bundle, CFSTR("CFBundleShortVersionString")))),
              "1.4");
    EXPECT_EQ(CFBundleGetValueForInfoDictionaryKey(bundle, CFSTR("CFBundleVersion")), nullptr);

    Ref icon(CFBundleCopyResourceURL(bundle, CFSTR("DeviceIcon"), CFSTR("icns"), nullptr));
    ASSERT_NE(icon.ref, nullptr);
    Ref iconPath(CFURLCopyFileSystemPath(icon.as<CFURLRef>(), kCFURLPOSIXPathStyle));
    EXPECT_EQ(text(iconPath.as<CFStringRef>()), (b / "Contents/Resources/DeviceIcon.icns").string());
    Ref dotted(CFBundleCopyResourceURL(bundle, CFSTR("DeviceIcon"), CFSTR(".icns"), nullptr));
    EXPECT_NE(dotted.ref, nullptr);
    Ref whole(CFBundleCopyResourceURL(bundle, CFSTR("DeviceIcon.icns"), nullptr, nullptr));
    EXPECT_NE(whole.ref, nullptr);
    Ref sub(CFBundleCopyResourceURL(bundle, CFSTR("Strings"), CFSTR("txt"), CFSTR("en.lproj")));
    EXPECT_NE(sub.ref, nullptr);
    EXPECT_EQ(CFBundleCopyResourceURL(bundle, CFSTR("Missing"), CFSTR("icns"), nullptr), nullptr);
    EXPECT_EQ(CFBundleCopyResourceURL(bundle, CFSTR("Info"), CFSTR("plist"), CFSTR("..")), nullptr);

    Ref exe(CFBundleCopyExecutableURL(bundle));
    ASSERT_NE(exe.ref, nullptr);
    EXPECT_EQ(text(CFURLGetString(exe.as<CFURLRef>())),
              "file://" + (b / "Contents/MacOS/TidewellTest").string());
    CFRelease(bundle);  // registered bundles stay alive for the process
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(Ref(str(id)).as<CFStringRef>()), bundle);
}

TEST_F(TempDir, BrokenOrMissingInfoLeavesAnEmptyDictionary) {
    writeFile(dir / "Broken.bundle/Contents/Info.plist", "<plist><dict><key>x</key></dict>");
    writeFile(dir / "Broken.bundle/Contents/Resources/r.txt", "r");
    fs::create_directories(dir / "Bare.bundle");
    for (const char* name : {"Broken.bundle", "Bare.bundle"}) {
        Ref url(CFURLCreateWithFileSystemPath(nullptr, Ref(str((dir / name).string())).as<CFStringRef>(),
                                              kCFURLPOSIXPathStyle, true));
        CFBundleRef b = CFBundleCreate(nullptr, url.as<CFURLRef>());
        ASSERT_NE(b, nullptr) << name;
        EXPECT_EQ(CFDictionaryGetCount(CFBundleGetInfoDictionary(b)), 0) << name;
        EXPECT_EQ(CFBundleGetIdentifier(b), nullptr);
        EXPECT_EQ(CFBundleCopyExecutableURL(b), nullptr);
        CFRelease(b);
    }
    Ref url(CFURLCreateWithFileSystemPath(nullptr, Ref(str((dir / "Broken.bundle").string())).as<CFStringRef>(),
                                          kCFURLPOSIXPathStyle, true));
    CFBundleRef broken = CFBundleCreate(nullptr, url.as<CFURLRef>());
    Ref r(CFBundleCopyResourceURL(broken, CFSTR("r"), CFSTR("txt"), nullptr));
    EXPECT_NE(r.ref, nullptr);  // its resources are still found
    CFRelease(broken);

    Ref missing(CFURLCreateWithFileSystemPath(nullptr, Ref(str((dir / "Nowhere").string())).as<CFStringRef>(),
                                              kCFURLPOSIXPathStyle, true));
    EXPECT_EQ(CFBundleCreate(nullptr, missing.as<CFURLRef>()), nullptr);
}

TEST(CFBundleTest, MainBundleIsTheExecutablesFolderOutsideABundle) {
    CFBundleRef main = CFBundleGetMainBundle();
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main, CFBundleGetMainBundle());
    Ref url(CFBundleCopyBundleURL(main));
    Ref path(CFURLCopyFileSystemPath(url.as<CFURLRef>(), kCFURLPOSIXPathStyle));
    EXPECT_EQ(text(path.as<CFStringRef>()), fs::canonical("/proc/self/exe").parent_path().string());
}

}  // namespace
