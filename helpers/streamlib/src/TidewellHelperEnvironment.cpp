#include "TidewellStream/TidewellHelperEnvironment.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Splits a copy of text at "," and hands every piece to visit, empty ones included, so that a
// piece keeps its position; false when the copy cannot be made.
template <typename Visit>
bool ForEachPiece(const char* text, Visit visit) {
    char* copy = strdup(text);
    if (copy == nullptr) {
        return false;
    }
    char* rest = copy;
    for (char* piece = strsep(&rest, ","); piece != nullptr; piece = strsep(&rest, ",")) {
        if (!visit(piece)) {
            break;
        }
    }
    std::free(copy);
    return true;
}

// An unsigned decimal number after optional white space and "+"; fails on a minus sign, on no
// digits, and on values that do not fit 32 bits. *cursor moves past the digits.
bool ReadUnsigned(const char** cursor, uint32_t* value) {
    const char* p = *cursor;
    while (std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    if (*p == '+') {
        ++p;
    }
    if (!std::isdigit(static_cast<unsigned char>(*p))) {
        return false;
    }
    uint64_t number = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        number = number * 10 + static_cast<uint64_t>(*p - '0');
        if (number > UINT32_MAX) {
            return false;
        }
        ++p;
    }
    *value = static_cast<uint32_t>(number);
    *cursor = p;
    return true;
}

bool ReadRoute(const char* piece, uint32_t* source, uint32_t* output) {
    const char* p = piece;
    if (!ReadUnsigned(&p, source) || *p != ':') {
        return false;
    }
    ++p;
    return ReadUnsigned(&p, output);   // anything after the second number is ignored
}

bool WholeDecimal(const char* text, uint32_t* value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    uint64_t number = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) {
            return false;
        }
        number = number * 10 + static_cast<uint64_t>(*p - '0');
        if (number > UINT32_MAX) {
            return false;
        }
    }
    *value = static_cast<uint32_t>(number);
    return true;
}

}  // namespace

void SetDefaultRoutes(TidewellRouteTable* routes) {
    if (routes == nullptr) {
        return;
    }
    *routes = TidewellRouteTable{};
    routes->count = 2;
    routes->routes[0][0] = 1;
    routes->routes[0][1] = 1;
    routes->routes[1][0] = 2;
    routes->routes[1][1] = 2;
}

void ParseRoutes(TidewellRouteTable* routes, const char* variableName) {
    if (routes == nullptr) {
        return;
    }
    const char* text = variableName != nullptr ? std::getenv(variableName) : nullptr;
    if (text == nullptr) {
        SetDefaultRoutes(routes);
        return;
    }
    *routes = TidewellRouteTable{};
    if (*text == '\0') {
        return;
    }
    const bool copied = ForEachPiece(text, [routes](const char* piece) {
        if (routes->count >= kTidewellMaximumRoutes) {
            return false;
        }
        uint32_t source = 0;
        uint32_t output = 0;
        if (ReadRoute(piece, &source, &output) && source != 0 && output != 0) {
            routes->routes[routes->count][0] = source;
            routes->routes[routes->count][1] = output;
            ++routes->count;
        }
        return true;
    });
    if (!copied) {
        std::fputs("Could not allocate route map.\n", stderr);
        std::exit(1);
    }
}

float ClampChannelGain(double value) {
    if (!std::isfinite(value)) {
        return 1.0f;
    }
    if (!(value > 0.0)) {
        return 0.0f;
    }
    if (value > 2.0) {
        return 2.0f;
    }
    return static_cast<float>(value);
}

void ParseChannelGains(float* gains, uint32_t count, const char* variableName) {
    if (gains == nullptr) {
        return;
    }
    for (uint32_t k = 0; k < count; ++k) {
        gains[k] = 1.0f;
    }
    const char* text = variableName != nullptr ? std::getenv(variableName) : nullptr;
    if (text == nullptr || *text == '\0') {
        return;
    }
    uint32_t index = 0;
    ForEachPiece(text, [&](const char* piece) {
        if (index >= count) {
            return false;
        }
        // An empty piece leaves its own channel at 1.0; text that is not a number reads as 0.0.
        if (*piece != '\0') {
            gains[index] = ClampChannelGain(std::strtod(piece, nullptr));
        }
        ++index;
        return true;
    });
}

bool EnvIsTruthy(const char* variableName) {
    const char* value = variableName != nullptr ? std::getenv(variableName) : nullptr;
    if (value == nullptr) {
        return false;
    }
    return std::strcmp(value, "1") == 0 || std::strcmp(value, "true") == 0 || std::strcmp(value, "yes") == 0 ||
           std::strcmp(value, "on") == 0;
}

uint32_t TidewellBufferFramesFromEnvironment(const char* programVariableName) {
    const char* text = programVariableName != nullptr ? std::getenv(programVariableName) : nullptr;
    if (text == nullptr || *text == '\0') {
        text = std::getenv("TIDEWELL_BUFFER_FRAMES");
    }
    uint32_t frames = 0;
    if (WholeDecimal(text, &frames) && frames >= kTidewellMinimumBufferFrames && frames <= kTidewellMaximumBufferFrames) {
        return frames;
    }
    return kTidewellDefaultBufferFrames;
}
