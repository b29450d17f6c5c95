// The audio server's decoding of audioctl's control requests (JSON in the Control op):
// emulated devices made, altered and removed, defaults, test signals, injected faults, the
// tap policy and the counters. The input is one request's text. Requests that would stop
// the server, write a capture file or read a sound file at a path they name are left out;
// every device a request adds is removed again afterwards.
#include "Server.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace audioserver {

struct ServerControlFuzzAccess {
    static Server& server() {
        static Server* s = [] {
            static char folder[] = "/tmp/twfuzz-audioctl-XXXXXX";
            if (mkdtemp(folder) == nullptr) {
                std::perror("fuzz: mkdtemp");
                std::exit(2);
            }
            std::atexit([] {
                std::error_code ignored;
                std::filesystem::remove_all(folder, ignored);
            });
            auto* made = new Server(std::string(folder) + "/control", true);
            made->startInProcess();
            return made;
        }();
        return *s;
    }
    static std::string control(Server& s, const std::string& request) {
        bool stop = false;
        std::string answer = s.control(request, stop);
        if (stop) std::abort();  // shutdown requests are never passed on
        return answer;
    }
    static std::vector<std::string> deviceUIDs(Server& s) {
        std::lock_guard<std::mutex> lock(s.mutex_);
        std::vector<std::string> uids;
        for (const auto& d : s.devices_) uids.push_back(d->desc.uid);
        return uids;
    }
};

}  // namespace audioserver

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using audioserver::ServerControlFuzzAccess;
    auto& server = ServerControlFuzzAccess::server();
    static const std::set<std::string> defaults = [&] {
        auto uids = ServerControlFuzzAccess::deviceUIDs(server);
        return std::set<std::string>(uids.begin(), uids.end());
    }();
    const std::string request(reinterpret_cast<const char*>(data), size);
    const auto parsed = nlohmann::json::parse(request, nullptr, false);
    if (parsed.is_object() && parsed.contains("op") && parsed["op"].is_string()) {
        const std::string op = parsed["op"];
        if (op == "shutdown" || op == "captureStart" || op == "captureStop") return 0;
        if (op == "signal" && parsed.contains("type") && parsed["type"] == "wav") return 0;
    }
    const std::string answer = ServerControlFuzzAccess::control(server, request);
    if (!nlohmann::json::accept(answer)) {
        std::fprintf(stderr, "the answer is not JSON: %s\n", answer.c_str());
        std::abort();
    }
    for (const auto& uid : ServerControlFuzzAccess::deviceUIDs(server)) {
        if (defaults.count(uid) != 0) continue;
        nlohmann::json remove = {{"op", "removeDevice"}, {"uid", uid}};
        ServerControlFuzzAccess::control(server, remove.dump());
    }
    return 0;
}
