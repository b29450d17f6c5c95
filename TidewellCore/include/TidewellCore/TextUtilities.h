#pragma once
// Unicode-aware text helpers shared by the configuration model and the device registry.
// Texts are UTF-8; comparisons elsewhere in the core are exact byte comparisons.

#include <cstddef>
#include <string>
#include <string_view>

namespace tidewell::Text {

// True for the Unicode White_Space characters: space separators, tab, line feed, vertical tab,
// form feed, carriage return, next line, line separator and paragraph separator.
bool isWhitespaceOrNewline(char32_t scalar);

// The text with white space and newlines removed at both ends. Invalid UTF-8 is kept as it is.
std::string trimmingWhitespaceAndNewlines(std::string_view text);

// Nothing left after trimming.
bool isBlank(std::string_view text);

// The order of the desktop's file browser: localized collation with numbers compared by value
// ("Mic 2" before "Mic 10"). Returns a negative number, zero or a positive number.
int localizedStandardCompare(std::string_view lhs, std::string_view rhs);

// Number of user-perceived characters (extended grapheme clusters).
std::size_t graphemeClusterCount(std::string_view text);

// The longest prefix of text, made of whole grapheme clusters, whose UTF-8 form has at most
// maxBytes bytes.
std::string prefixFittingUTF8Bytes(std::string_view text, std::size_t maxBytes);

// The last maxClusters grapheme clusters of text (the whole text when it has no more).
std::string suffixOfGraphemeClusters(std::string_view text, std::size_t maxClusters);

}  // namespace tidewell::Text
