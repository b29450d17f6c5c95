// Small text helpers of the runtime layer.
#pragma once

#include <string>
#include <string_view>

namespace tidewell::runtime_text {

// True when `text` is well-formed UTF-8.
bool isValidUTF8(std::string_view text);

// `text` without white space and line breaks at either end (Unicode White_Space). The
// text must be valid UTF-8.
std::string trimWhitespace(std::string_view text);

// The longest prefix of `text` that is made of whole user-perceived characters (extended
// grapheme clusters) and is at most `maximumBytes` bytes long. Bytes that are not valid
// UTF-8 count as characters of their own.
std::string_view prefixOfWholeCharacters(std::string_view text, size_t maximumBytes);

} // namespace tidewell::runtime_text
