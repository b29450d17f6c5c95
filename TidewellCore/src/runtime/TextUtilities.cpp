#include "runtime/TextUtilities.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>

namespace tidewell::runtime_text {

bool isValidUTF8(std::string_view text)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(text.data());
    int32_t length = static_cast<int32_t>(text.size());
    int32_t i = 0;
    while (i < length) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            return false;
        }
    }
    return true;
}

namespace {

bool isSpace(UChar32 c)
{
    return u_isUWhiteSpace(c) || c == 0x85;
}

} // namespace

std::string trimWhitespace(std::string_view text)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(text.data());
    const int32_t length = static_cast<int32_t>(text.size());
    int32_t start = 0;
    while (start < length) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (c < 0 || !isSpace(c)) {
            break;
        }
        start = next;
    }
    int32_t end = length;
    while (end > start) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, start, previous, c);
        if (c < 0 || !isSpace(c)) {
            break;
        }
        end = previous;
    }
    return std::string(text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)));
}

namespace {

// End of the run of well-formed UTF-8 that starts at `start`.
int32_t validRunEnd(const uint8_t *bytes, int32_t start, int32_t length)
{
    int32_t i = start;
    while (i < length) {
        int32_t next = i;
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (c < 0) {
            break;
        }
        i = next;
    }
    return i;
}

} // namespace

std::string_view prefixOfWholeCharacters(std::string_view text, size_t maximumBytes)
{
    if (text.size() <= maximumBytes) {
        return text;
    }
    const auto *bytes = reinterpret_cast<const uint8_t *>(text.data());
    const int32_t length = static_cast<int32_t>(text.size());
    size_t best = 0;
    int32_t position = 0;
    while (position < length) {
        const int32_t runEnd = validRunEnd(bytes, position, length);
        if (runEnd > position) {
            UErrorCode status = U_ZERO_ERROR;
            UText *utext = utext_openUTF8(nullptr, text.data() + position, runEnd - position, &status);
            std::unique_ptr<icu::BreakIterator> iterator(
                icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
            if (U_SUCCESS(status) && iterator) {
                iterator->setText(utext, status);
            }
            bool pastLimit = false;
            if (U_SUCCESS(status) && iterator) {
                for (int32_t boundary = iterator->next(); boundary != icu::BreakIterator::DONE;
                     boundary = iterator->next()) {
                    const size_t absolute = static_cast<size_t>(position + boundary);
                    if (absolute > maximumBytes) {
                        pastLimit = true;
                        break;
                    }
                    best = absolute;
                }
            } else {
                // Without a break iterator, whole code points are the best we can keep.
                int32_t k = position;
                while (k < runEnd) {
                    U8_FWD_1(bytes, k, runEnd);
                    if (static_cast<size_t>(k) > maximumBytes) {
                        pastLimit = true;
                        break;
                    }
                    best = static_cast<size_t>(k);
                }
            }
            utext_close(utext);
            if (pastLimit) {
                break;
            }
            position = runEnd;
        }
        if (position < length) {
            // A byte that is not UTF-8: a character of its own.
            if (static_cast<size_t>(position) + 1 > maximumBytes) {
                break;
            }
            best = static_cast<size_t>(position) + 1;
            position += 1;
        }
    }
    return text.substr(0, best);
}

} // namespace tidewell::runtime_text
