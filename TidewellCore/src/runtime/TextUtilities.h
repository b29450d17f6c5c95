// Small text helper of the runtime layer.
#pragma once

#include <string_view>

namespace tidewell::runtime_text {

// True when `text` is well-formed UTF-8.
bool isValidUTF8(std::string_view text);

} // namespace tidewell::runtime_text
