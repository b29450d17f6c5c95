#pragma once
// What a helper prints as it stops: its ring's counters and its alignment steps.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace helpertest {

struct HelperCounters {
    uint64_t captured = 0, rendered = 0, dropped = 0, underrun = 0;
    uint64_t steps = 0;   // the ring's alignment steps after its first, from "Ring alignment steps: N."
    bool found = false;   // the "Stopped" line was there
};

inline HelperCounters ParseStopped(const std::string& output) {
    HelperCounters c;
    const auto at = output.find("Stopped ");
    if (at == std::string::npos) return c;
    const auto fields = output.find("captured=", at);
    if (fields == std::string::npos) return c;
    unsigned long long a = 0, b = 0, d = 0, u = 0;
    if (std::sscanf(output.c_str() + fields, "captured=%llu rendered=%llu dropped=%llu underrun=%llu", &a, &b, &d, &u) ==
        4) {
        c = {a, b, d, u, 0, true};
    }
    const std::string stepsKey = "Ring alignment steps: ";
    if (const auto steps = output.rfind(stepsKey, at); steps != std::string::npos) {
        c.steps = std::strtoull(output.c_str() + steps + stepsKey.size(), nullptr, 10);
    }
    return c;
}

}  // namespace helpertest
