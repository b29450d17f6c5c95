// XML property lists.
#include "CFInternal.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr int kMaxDepth = 256;

// Releases an object at the end of a scope unless taken.
struct Owned {
    explicit Owned(CFTypeRef r = nullptr) : ref(r) {}
    ~Owned() { cfimpl::release(ref); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    CFTypeRef take() {
        CFTypeRef r = ref;
        ref = nullptr;
        return r;
    }
    CFTypeRef ref;
};

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

class Parser {
public:
    explicit Parser(std::string_view text) : s_(text) {}

    CFPropertyListRef parseDocument() {
        skipMisc();
        Tag first;
        if (!readTag(first)) return nullptr;
        Owned value;
        if (first.name == "plist" && !first.closing) {
            if (first.empty) return fail("the <plist> element is empty");
            skipMisc();
            Tag inner;
            if (!readTag(inner)) return nullptr;
            value.ref = parseValue(inner, 1);
            if (!value.ref) return nullptr;
            skipMisc();
            Tag end;
            if (!readTag(end)) return nullptr;
            if (!end.closing || end.name != "plist") return fail("expected </plist> after the value");
        } else {
            value.ref = parseValue(first, 1);
            if (!value.ref) return nullptr;
        }
        skipMisc();
        if (pos_ != s_.size()) return fail("unexpected content after the property list");
        return value.take();
    }

    std::string error() const { return error_; }

private:
    struct Tag {
        std::string name;
        bool closing = false;
        bool empty = false;  // <name/>
    };

    std::nullptr_t fail(const std::string& what) {
        if (error_.empty()) {
            size_t line = 1 + static_cast<size_t>(std::count(s_.begin(), s_.begin() + static_cast<long>(std::min(pos_, s_.size())), '\n'));
            error_ = "property list line " + std::to_string(line) + ": " + what;
        }
        return nullptr;
    }

    bool startsWith(std::string_view p) const { return s_.compare(pos_, p.size(), p) == 0; }

    bool skipPast(std::string_view end) {
        size_t at = s_.find(end, pos_);
        if (at == std::string_view::npos) {
            pos_ = s_.size();
            fail("unterminated markup");
            return false;
        }
        pos_ = at + end.size();
        return true;
    }

    // Whitespace, processing instructions, comments and the document type declaration.
    void skipMisc() {
        for (;;) {
            while (pos_ < s_.size() && std::strchr(" \t\r\n", s_[pos_]) && s_[pos_] != '\0') ++pos_;
            if (startsWith("<?")) {
                if (!skipPast("?>")) return;
            } else if (startsWith("<!--")) {
                if (!skipPast("-->")) return;
            } else if (startsWith("<!DOCTYPE")) {
                int depth = 0;
                for (; pos_ < s_.size(); ++pos_) {
                    if (s_[pos_] == '[') ++depth;
                    if (s_[pos_] == ']') --depth;
                    if (s_[pos_] == '>' && depth <= 0) break;
                }
                if (pos_ >= s_.size()) {
                    fail("unterminated document type declaration");
                    return;
                }
                ++pos_;
            } else {
                return;
            }
        }
    }

    bool readTag(Tag& tag) {
        if (!error_.empty()) return false;
        if (pos_ >= s_.size()) return fail("unexpected end of the property list"), false;
        if (s_[pos_] != '<') return fail("expected an element"), false;
        size_t end = s_.find('>', pos_);
        if (end == std::string_view::npos) return fail("unterminated element"), false;
        std::string_view inside = s_.substr(pos_ + 1, end - pos_ - 1);
        if (!inside.empty() && inside[0] == '/') {
            tag.closing = true;
            inside.remove_prefix(1);
        }
        if (!inside.empty() && inside.back() == '/') {
            tag.empty = true;
            inside.remove_suffix(1);
        }
        size_t nameEnd = 0;
        while (nameEnd < inside.size() && !std::strchr(" \t\r\n", inside[nameEnd])) ++nameEnd;
        tag.name = std::string(inside.substr(0, nameEnd));
        if (tag.name.empty()) return fail("element without a name"), false;
        pos_ = end + 1;
        return true;
    }

    // Character data up to the next element, with entities and CDATA sections resolved.
    bool readText(std::string& out) {
        for (;;) {
            if (pos_ >= s_.size()) return fail("unexpected end inside text"), false;
            char c = s_[pos_];
            if (startsWith("<![CDATA[")) {
                size_t end = s_.find("]]>", pos_);
                if (end == std::string_view::npos) return fail("unterminated CDATA section"), false;
                out.append(s_.substr(pos_ + 9, end - pos_ - 9));
                pos_ = end + 3;
            } else if (startsWith("<!--")) {
                if (!skipPast("-->")) return false;
            } else if (c == '<') {
                return true;
            } else if (c == '&') {
                size_t end = s_.find(';', pos_);
                if (end == std::string_view::npos || end - pos_ > 12) return fail("malformed entity"), false;
                std::string_view e = s_.substr(pos_ + 1, end - pos_ - 1);
                if (e == "lt") out += '<';
                else if (e == "gt") out += '>';
                else if (e == "amp") out += '&';
                else if (e == "quot") out += '"';
                else if (e == "apos") out += '\'';
                else if (!e.empty() && e[0] == '#') {
                    std::string digits(e.substr(1));
                    int base = 10;
                    if (!digits.empty() && (digits[0] == 'x' || digits[0] == 'X')) {
                        base = 16;
                        digits.erase(0, 1);
                    }
                    char* endp = nullptr;
                    errno = 0;
                    unsigned long cp = digits.empty() ? 0 : std::strtoul(digits.c_str(), &endp, base);
                    if (digits.empty() || *endp != '\0' || errno != 0 || cp == 0 || cp > 0x10FFFF ||
                        (cp >= 0xD800 && cp <= 0xDFFF))
                        return fail("invalid character reference"), false;
                    appendUTF8(out, static_cast<uint32_t>(cp));
                } else {
                    return fail("unknown entity &" + std::string(e) + ";"), false;
                }
                pos_ = end + 1;
            } else {
                out += c;
                ++pos_;
            }
        }
    }

    static void appendUTF8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // The text of a simple element and its end tag.
    bool simpleContent(const Tag& open, std::string& text) {
        if (open.empty) return true;
        if (!readText(text)) return false;
        Tag end;
        if (!readTag(end)) return false;
        if (!end.closing || end.name != open.name)
            return fail("expected </" + open.name + "> but found <" + (end.closing ? "/" : "") + end.name + ">"), false;
        return true;
    }

    CFTypeRef parseValue(const Tag& tag, int depth) {
        if (depth > kMaxDepth) return fail("nested deeper than " + std::to_string(kMaxDepth) + " levels");
        if (tag.closing) return fail("unexpected </" + tag.name + ">");
        const std::string& n = tag.name;
        if (n == "dict") return parseDict(tag, depth);
        if (n == "array") return parseArray(tag, depth);
        std::string text;
        if (n == "true" || n == "false") {
            if (!simpleContent(tag, text)) return nullptr;
            if (text.find_first_not_of(" \t\r\n") != std::string::npos) return fail("<" + n + "> holds text");
            return n == "true" ? kCFBooleanTrue : kCFBooleanFalse;
        }
        if (n == "string") {
            if (!simpleContent(tag, text)) return nullptr;
            if (!cfimpl::validUTF8(text)) return fail("text is not valid UTF-8");
            return cfimpl::makeString(std::move(text));
        }
        if (n == "integer") {
            if (!simpleContent(tag, text)) return nullptr;
            std::string t = trim(text);
            char* end = nullptr;
            errno = 0;
            long long v = t.empty() ? 0 : std::strtoll(t.c_str(), &end, 0);
            if (t.empty() || *end != '\0' || errno == ERANGE) return fail("invalid integer \"" + t + "\"");
            int64_t v64 = v;
            return CFNumberCreate(nullptr, kCFNumberSInt64Type, &v64);
        }
        if (n == "real") {
            if (!simpleContent(tag, text)) return nullptr;
            std::string t = trim(text);
            double v;
            if (t == "nan") {
                v = std::nan("");
            } else if (t == "inf" || t == "+infinity" || t == "infinity") {
                v = HUGE_VAL;
            } else if (t == "-inf" || t == "-infinity") {
                v = -HUGE_VAL;
            } else {
                char* end = nullptr;
                v = t.empty() ? 0 : std::strtod(t.c_str(), &end);
                if (t.empty() || *end != '\0') return fail("invalid real \"" + t + "\"");
            }
            return CFNumberCreate(nullptr, kCFNumberFloat64Type, &v);
        }
        if (n == "data") {
            if (!simpleContent(tag, text)) return nullptr;
            std::vector<UInt8> bytes;
            uint32_t acc = 0;
            int bits = 0;
            bool padding = false;
            for (char c : text) {
                if (std::strchr(" \t\r\n", c) && c != '\0') continue;
                if (c == '=') {
                    padding = true;
                    continue;
                }
                int v = base64Value(c);
                if (v < 0 || padding) return fail("invalid base64 data");
                acc = (acc << 6) | static_cast<uint32_t>(v);
                bits += 6;
                if (bits >= 8) {
                    bits -= 8;
                    bytes.push_back(static_cast<UInt8>(acc >> bits));
                }
            }
            return CFDataCreate(nullptr, bytes.data(), static_cast<CFIndex>(bytes.size()));
        }
        return fail("unsupported element <" + n + ">");
    }

    CFTypeRef parseDict(const Tag& open, int depth) {
        Owned dict(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                             &kCFTypeDictionaryValueCallBacks));
        if (open.empty) return dict.take();
        for (;;) {
            skipMisc();
            Tag t;
            if (!readTag(t)) return nullptr;
            if (t.closing) {
                if (t.name != "dict") return fail("expected </dict> but found </" + t.name + ">");
                return dict.take();
            }
            if (t.name != "key") return fail("expected <key> in <dict> but found <" + t.name + ">");
            std::string key;
            if (!simpleContent(t, key)) return nullptr;
            if (!cfimpl::validUTF8(key)) return fail("key is not valid UTF-8");
            skipMisc();
            Tag v;
            if (!readTag(v)) return nullptr;
            if (v.closing) return fail("key \"" + key + "\" has no value");
            Owned value(parseValue(v, depth + 1));
            if (!value.ref) return nullptr;
            Owned k(cfimpl::makeString(key));
            CFDictionarySetValue(static_cast<CFMutableDictionaryRef>(const_cast<void*>(dict.ref)), k.ref, value.ref);
        }
    }

    CFTypeRef parseArray(const Tag& open, int depth) {
        Owned array(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
        if (open.empty) return array.take();
        for (;;) {
            skipMisc();
            Tag t;
            if (!readTag(t)) return nullptr;
            if (t.closing) {
                if (t.name != "array") return fail("expected </array> but found </" + t.name + ">");
                return array.take();
            }
            Owned value(parseValue(t, depth + 1));
            if (!value.ref) return nullptr;
            CFArrayAppendValue(static_cast<CFMutableArrayRef>(const_cast<void*>(array.ref)), value.ref);
        }
    }

    static std::string trim(const std::string& t) {
        size_t a = t.find_first_not_of(" \t\r\n");
        if (a == std::string::npos) return "";
        size_t b = t.find_last_not_of(" \t\r\n");
        return t.substr(a, b - a + 1);
    }

    std::string_view s_;
    size_t pos_ = 0;
    std::string error_;
};

std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

bool write(CFTypeRef v, int depth, std::string& out, std::string& error) {
    if (depth > kMaxDepth) {
        error = "property list nested deeper than " + std::to_string(kMaxDepth) + " levels";
        return false;
    }
    std::string indent(static_cast<size_t>(depth), '\t');
    if (v == nullptr) {
        error = "property lists cannot hold a NULL value";
        return false;
    }
    CFTypeID type = CFGetTypeID(v);
    if (type == CFStringGetTypeID()) {
        out += indent + "<string>" + escape(cfimpl::stringValue(static_cast<CFStringRef>(v))) + "</string>\n";
    } else if (type == CFBooleanGetTypeID()) {
        out += indent + (CFBooleanGetValue(static_cast<CFBooleanRef>(v)) ? "<true/>\n" : "<false/>\n");
    } else if (type == CFNumberGetTypeID()) {
        auto n = static_cast<CFNumberRef>(v);
        if (CFNumberIsFloatType(n)) {
            double d;
            CFNumberGetValue(n, kCFNumberFloat64Type, &d);
            char buffer[64];
            if (std::isnan(d)) std::snprintf(buffer, sizeof buffer, "nan");
            else if (std::isinf(d)) std::snprintf(buffer, sizeof buffer, d > 0 ? "+infinity" : "-infinity");
            else std::snprintf(buffer, sizeof buffer, "%.17g", d);
            out += indent + "<real>" + buffer + "</real>\n";
        } else {
            int64_t i;
            CFNumberGetValue(n, kCFNumberSInt64Type, &i);
            out += indent + "<integer>" + std::to_string(i) + "</integer>\n";
        }
    } else if (type == CFDataGetTypeID()) {
        static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        auto d = static_cast<CFDataRef>(v);
        const UInt8* p = CFDataGetBytePtr(d);
        size_t n = static_cast<size_t>(CFDataGetLength(d));
        std::string b64;
        for (size_t i = 0; i < n; i += 3) {
            uint32_t chunk = static_cast<uint32_t>(p[i]) << 16;
            if (i + 1 < n) chunk |= static_cast<uint32_t>(p[i + 1]) << 8;
            if (i + 2 < n) chunk |= p[i + 2];
            b64 += alphabet[(chunk >> 18) & 63];
            b64 += alphabet[(chunk >> 12) & 63];
            b64 += i + 1 < n ? alphabet[(chunk >> 6) & 63] : '=';
            b64 += i + 2 < n ? alphabet[chunk & 63] : '=';
        }
        out += indent + "<data>" + b64 + "</data>\n";
    } else if (type == CFArrayGetTypeID()) {
        auto a = static_cast<CFArrayRef>(v);
        CFIndex n = CFArrayGetCount(a);
        if (n == 0) {
            out += indent + "<array/>\n";
            return true;
        }
        out += indent + "<array>\n";
        for (CFIndex i = 0; i < n; ++i)
            if (!write(CFArrayGetValueAtIndex(a, i), depth + 1, out, error)) return false;
        out += indent + "</array>\n";
    } else if (type == CFDictionaryGetTypeID()) {
        auto d = static_cast<CFDictionaryRef>(v);
        size_t n = static_cast<size_t>(CFDictionaryGetCount(d));
        if (n == 0) {
            out += indent + "<dict/>\n";
            return true;
        }
        std::vector<const void*> keys(n), values(n);
        CFDictionaryGetKeysAndValues(d, keys.data(), values.data());
        std::vector<size_t> order(n);
        for (size_t i = 0; i < n; ++i) {
            order[i] = i;
            if (keys[i] == nullptr || CFGetTypeID(keys[i]) != CFStringGetTypeID()) {
                error = "property list dictionary keys must be strings";
                return false;
            }
        }
        std::sort(order.begin(), order.end(), [&](size_t x, size_t y) {
            return cfimpl::stringValue(static_cast<CFStringRef>(keys[x])) <
                   cfimpl::stringValue(static_cast<CFStringRef>(keys[y]));
        });
        out += indent + "<dict>\n";
        for (size_t i : order) {
            out += indent + "\t<key>" + escape(cfimpl::stringValue(static_cast<CFStringRef>(keys[i]))) + "</key>\n";
            if (!write(values[i], depth + 1, out, error)) return false;
        }
        out += indent + "</dict>\n";
    } else {
        error = "property lists cannot hold this type of object";
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data, CFOptionFlags,
                                               CFPropertyListFormat* format, CFErrorRef* error) {
    if (error) *error = nullptr;
    if (data == nullptr) {
        if (error) *error = cfimpl::makeError("PropertyList", 1, "no property list data");
        return nullptr;
    }
    std::string_view text(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                          static_cast<size_t>(CFDataGetLength(data)));
    Parser parser(text);
    CFPropertyListRef result = parser.parseDocument();
    if (result == nullptr) {
        if (error) *error = cfimpl::makeError("PropertyList", 2, parser.error());
        return nullptr;
    }
    if (format) *format = kCFPropertyListXMLFormat_v1_0;
    return result;
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef plist, CFPropertyListFormat format,
                                   CFOptionFlags, CFErrorRef* error) {
    if (error) *error = nullptr;
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    std::string problem;
    if (format != kCFPropertyListXMLFormat_v1_0) problem = "only XML property lists can be written";
    if (problem.empty() && write(plist, 0, out, problem)) {
        out += "</plist>\n";
        return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(out.data()), static_cast<CFIndex>(out.size()));
    }
    if (error) *error = cfimpl::makeError("PropertyList", 3, problem);
    return nullptr;
}

}  // extern "C"
