#include "TidewellCore/TextUtilities.h"

#include <unicode/brkiter.h>
#include <unicode/coll.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <memory>
#include <string_view>
#include <vector>

namespace tidewell::Text {
namespace {

// Byte offsets of every grapheme-cluster boundary of text, 0 and text.size() included.
std::vector<std::size_t> graphemeBoundaries(std::string_view text) {
  std::vector<std::size_t> bounds;
  bounds.push_back(0);
  if (text.empty()) return bounds;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  if (U_FAILURE(status) || !it) {
    // Without ICU's data, fall back to code points so nothing is ever cut inside one.
    int32_t i = 0;
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    while (i < static_cast<int32_t>(text.size())) {
      UChar32 c;
      U8_NEXT(s, i, static_cast<int32_t>(text.size()), c);
      (void)c;
      bounds.push_back(static_cast<std::size_t>(i));
    }
    return bounds;
  }
  it->setText(u);
  // Walk UTF-16 boundaries and convert each one to a UTF-8 byte offset as we go.
  std::size_t bytes = 0;
  int32_t prev = it->first();
  for (int32_t b = it->next(); b != icu::BreakIterator::DONE; b = it->next()) {
    std::string piece;
    u.tempSubStringBetween(prev, b).toUTF8String(piece);
    bytes += piece.size();
    bounds.push_back(bytes);
    prev = b;
  }
  // Invalid UTF-8 turns into U+FFFD (3 bytes), so offsets can drift; keep the last one honest.
  if (bounds.back() != text.size()) {
    for (auto& b : bounds) b = std::min(b, text.size());
    bounds.back() = text.size();
  }
  return bounds;
}

}  // namespace

bool isWhitespaceOrNewline(char32_t scalar) {
  return u_isUWhiteSpace(static_cast<UChar32>(scalar)) != 0;
}

std::string trimmingWhitespaceAndNewlines(std::string_view text) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t start = 0;
  while (start < length) {
    int32_t next = start;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    start = next;
  }
  int32_t end = length;
  while (end > start) {
    int32_t prev = end;
    UChar32 c;
    U8_PREV(s, start, prev, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    end = prev;
  }
  return std::string(text.substr(static_cast<std::size_t>(start),
                                 static_cast<std::size_t>(end - start)));
}

bool isBlank(std::string_view text) { return trimmingWhitespaceAndNewlines(text).empty(); }

int localizedStandardCompare(std::string_view lhs, std::string_view rhs) {
  // A collator per thread: creating one is costly and ICU collators are not thread-safe.
  thread_local std::unique_ptr<icu::Collator> collator = [] {
    UErrorCode status = U_ZERO_ERROR;
    // The POSIX locale (LANG unset or "C") collates by code point; the root collation is the
    // neutral order a user expects there.
    icu::Locale locale = icu::Locale::getDefault();
    if (std::string_view(locale.getName()) == "en_US_POSIX") locale = icu::Locale::getRoot();
    std::unique_ptr<icu::Collator> c(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !c) return std::unique_ptr<icu::Collator>();
    c->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    // Letters that differ only by case sort together, as in a file browser.
    c->setStrength(icu::Collator::SECONDARY);
    return c;
  }();
  if (!collator) return lhs < rhs ? -1 : (lhs == rhs ? 0 : 1);
  UErrorCode status = U_ZERO_ERROR;
  UCollationResult r = collator->compareUTF8(
      icu::StringPiece(lhs.data(), static_cast<int32_t>(lhs.size())),
      icu::StringPiece(rhs.data(), static_cast<int32_t>(rhs.size())), status);
  if (U_FAILURE(status)) return lhs < rhs ? -1 : (lhs == rhs ? 0 : 1);
  return r == UCOL_LESS ? -1 : (r == UCOL_EQUAL ? 0 : 1);
}

std::size_t graphemeClusterCount(std::string_view text) {
  return graphemeBoundaries(text).size() - 1;
}

std::string prefixFittingUTF8Bytes(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return std::string(text);
  auto bounds = graphemeBoundaries(text);
  std::size_t cut = 0;
  for (std::size_t b : bounds) {
    if (b > maxBytes) break;
    cut = b;
  }
  return std::string(text.substr(0, cut));
}

std::string suffixOfGraphemeClusters(std::string_view text, std::size_t maxClusters) {
  auto bounds = graphemeBoundaries(text);
  std::size_t clusters = bounds.size() - 1;
  if (clusters <= maxClusters) return std::string(text);
  return std::string(text.substr(bounds[clusters - maxClusters]));
}

}  // namespace tidewell::Text
