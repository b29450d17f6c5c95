#include "runtime/TextUtilities.h"

#include <unicode/utf8.h>

#include <cstdint>

namespace tidewell::runtime_text {

bool isValidUTF8(std::string_view text)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(text.data());
    const int32_t length = static_cast<int32_t>(text.size());
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

} // namespace tidewell::runtime_text
