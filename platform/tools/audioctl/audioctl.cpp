// audioctl: starts, stops and restarts audioserverd, lists its devices and controls its
// emulated hardware (devices, defaults, input signals, output captures, drift, injected
// failures).
#include <AudioClient/AudioHardware.h>
#include <AudioClient/AudioServerStatus.h>
#include <AudioProtocol/Protocol.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using nlohmann::json;

namespace {

const char* kUsage =
    "usage: audioctl COMMAND [ARGS]\n"
    "  start [--no-default-devices]   start audioserverd unless one answers\n"
    "  stop                           stop the running server\n"
    "  restart                        stop the server and start a new one\n"
    "  status                         say whether a server answers\n"
    "  list                           list the devices with their properties\n"
    "  set-default input|output|system UID\n"
    "  add-device NAME UID [--inputs N[,N...]] [--outputs N[,N...]] [--rate HZ]\n"
    "             [--transport CODE] [--int24|--int16] [--buffer-range MIN:MAX]\n"
    "             [--buffer-frames N] [--drift PPM] [--manufacturer NAME]\n"
    "  remove-device UID\n"
    "  alter-device UID [--name NAME] [--rate HZ] [--drift PPM] [--buffer-frames N]\n"
    "  drift UID PPM\n"
    "  signal UID [--channel N] silence | sine HZ [DBFS] | wav FILE\n"
    "  capture UID FILE [--seconds S] record the device's output mix to a WAV file, from\n"
    "                                 now until capture-stop, or for S seconds: then the\n"
    "                                 command waits and returns with the file complete\n"
    "                                 (play into the device meanwhile from elsewhere)\n"
    "  capture-stop UID\n"
    "  fail CALL STATUS [COUNT]       make CALL fail with STATUS (a number or four\n"
    "                                 characters) COUNT times (0: always; STATUS 0 clears)\n"
    "  counters                       IO cycle counters per device, and late cycles\n"
    "                                 per client (pid and name)\n"
    "  tap-permission allow|deny      how requests to create a process tap are answered\n"
    "  tap-permission prompt SECONDS allow|deny|never\n"
    "                                 hold each request SECONDS, then answer (never:\n"
    "                                 hold it until its client goes away)\n"
    "  tap-rates LABELLED DELIVERED   aggregates made from now on run at DELIVERED Hz\n"
    "                                 while their taps' format says LABELLED Hz (0: the\n"
    "                                 clock device's rate)\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

// One control request on its own connection.
std::optional<json> Control(const json& request) {
    int fd = audioproto::ConnectToServer(audioproto::SocketPath());
    if (fd < 0) return std::nullopt;
    audioproto::Writer w;
    w.str(request.dump());
    audioproto::Header h{static_cast<uint32_t>(audioproto::Op::Control), 1, 0, 0};
    std::optional<json> out;
    if (audioproto::SendMessage(fd, h, w.data())) {
        audioproto::Header rh{};
        std::vector<uint8_t> payload;
        int got = -1;
        // Skip notifications the server pushes to every connection.
        bool received;
        do {
            received = audioproto::ReceiveMessage(fd, rh, payload, &got);
            if (received && rh.op == static_cast<uint32_t>(audioproto::Op::Notify) && got >= 0) close(got);
        } while (received && rh.op == static_cast<uint32_t>(audioproto::Op::Notify));
        if (received) {
            if (got >= 0) close(got);
            audioproto::Reader r(payload);
            std::string text = r.str();
            json j = json::parse(text, nullptr, false);
            if (r.ok() && !j.is_discarded()) out = j;
        }
    }
    close(fd);
    return out;
}

int NoServer() {
    std::fprintf(stderr, "audioctl: %s\n", AudioServerMissingMessage().c_str());
    return 1;
}

bool Answers() {
    auto r = Control({{"op", "status"}});
    return r.has_value();
}

int Run(const json& request) {
    auto r = Control(request);
    if (!r) return NoServer();
    if (!r->value("ok", false)) {
        std::fprintf(stderr, "audioctl: %s\n", r->value("error", std::string("failed")).c_str());
        return 1;
    }
    return 0;
}

std::string ServerPath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n > 0) {
        buf[n] = 0;
        std::string dir(buf);
        dir = dir.substr(0, dir.rfind('/'));
        std::string candidate = dir + "/audioserverd";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "audioserverd";  // from PATH
}

int Start(bool defaults) {
    if (auto r = Control({{"op", "status"}})) {
        std::printf("audioserverd already running (pid %d)\n", r->value("pid", 0));
        return 0;
    }
    std::string socket = audioproto::SocketPath();
    std::string dir = socket.substr(0, socket.rfind('/'));
    for (size_t i = 1; i <= dir.size(); ++i)
        if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0700);
    std::string log = socket + ".log";
    std::string server = ServerPath();
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("audioctl: fork");
        return 1;
    }
    if (pid == 0) {
        // Detach: own session, no terminal, output to the log beside the socket.
        setsid();
        if (fork() != 0) _exit(0);
        int in = open("/dev/null", O_RDONLY);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (in >= 0) dup2(in, 0);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        std::vector<const char*> args = {server.c_str(), "--socket", socket.c_str()};
        if (!defaults) args.push_back("--no-default-devices");
        args.push_back(nullptr);
        execvp(server.c_str(), const_cast<char* const*>(args.data()));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        if (auto r = Control({{"op", "status"}})) {
            std::printf("audioserverd started (pid %d)\n", r->value("pid", 0));
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::fprintf(stderr, "audioctl: audioserverd did not answer within 10 s (see %s)\n", log.c_str());
    return 1;
}

int Stop() {
    auto r = Control({{"op", "status"}});
    if (!r) {
        std::printf("audioserverd is not running\n");
        return 0;
    }
    int pid = r->value("pid", 0);
    Control({{"op", "shutdown"}});
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        bool gone = !Answers() && (pid <= 0 || kill(pid, 0) != 0);
        if (gone) {
            std::printf("audioserverd stopped\n");
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (pid > 0) kill(pid, SIGKILL);
    std::fprintf(stderr, "audioctl: audioserverd did not stop within 10 s; killed it\n");
    return 1;
}

// ---- list, through the client library --------------------------------------------------

AudioObjectPropertyAddress Addr(AudioObjectPropertySelector s, AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {s, scope, kAudioObjectPropertyElementMain};
}

std::string StringProp(AudioObjectID obj, AudioObjectPropertySelector sel) {
    auto a = Addr(sel);
    CFStringRef s = nullptr;
    UInt32 size = sizeof(s);
    if (AudioObjectGetPropertyData(obj, &a, 0, nullptr, &size, &s) != 0 || !s) return "";
    char buf[1024];
    std::string out = CFStringGetCString(s, buf, sizeof(buf), kCFStringEncodingUTF8) ? buf : "";
    CFRelease(s);
    return out;
}

template <typename T>
std::optional<T> Value(AudioObjectID obj, AudioObjectPropertyAddress a) {
    T v{};
    UInt32 size = sizeof(v);
    if (AudioObjectGetPropertyData(obj, &a, 0, nullptr, &size, &v) != 0 || size != sizeof(v)) return std::nullopt;
    return v;
}

std::vector<uint32_t> StreamChannels(AudioObjectID dev, AudioObjectPropertyScope scope) {
    auto a = Addr(kAudioDevicePropertyStreamConfiguration, scope);
    UInt32 size = 0;
    std::vector<uint32_t> out;
    if (AudioObjectGetPropertyDataSize(dev, &a, 0, nullptr, &size) != 0 || size < 8) return out;
    std::vector<uint8_t> buf(size);
    if (AudioObjectGetPropertyData(dev, &a, 0, nullptr, &size, buf.data()) != 0) return out;
    auto* list = reinterpret_cast<AudioBufferList*>(buf.data());
    for (UInt32 i = 0; i < list->mNumberBuffers && AUDIO_BUFFER_LIST_SIZE(i + 1) <= size; ++i)
        out.push_back(list->mBuffers[i].mNumberChannels);
    return out;
}

std::string Join(const std::vector<uint32_t>& v) {
    std::string s;
    for (size_t i = 0; i < v.size(); ++i) s += (i ? "+" : "") + std::to_string(v[i]);
    return s.empty() ? "none" : s;
}

int List() {
    auto a = Addr(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    OSStatus st = AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &a, 0, nullptr, &size);
    if (AudioServerIsMissing(st)) return NoServer();
    if (st != 0) {
        std::fprintf(stderr, "audioctl: cannot read the device list: %d ('%s')\n", st, audioproto::FourCCString(uint32_t(st)).c_str());
        return 1;
    }
    std::vector<AudioObjectID> ids(size / 4);
    if (size && AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, ids.data()) != 0) return 1;
    ids.resize(size / 4);
    auto defIn = Value<AudioObjectID>(kAudioObjectSystemObject, Addr(kAudioHardwarePropertyDefaultInputDevice)).value_or(0);
    auto defOut = Value<AudioObjectID>(kAudioObjectSystemObject, Addr(kAudioHardwarePropertyDefaultOutputDevice)).value_or(0);
    auto defSys = Value<AudioObjectID>(kAudioObjectSystemObject, Addr(kAudioHardwarePropertyDefaultSystemOutputDevice)).value_or(0);
    for (AudioObjectID id : ids) {
        auto in = StreamChannels(id, kAudioObjectPropertyScopeInput);
        auto out = StreamChannels(id, kAudioObjectPropertyScopeOutput);
        uint32_t inCh = 0, outCh = 0;
        for (auto c : in) inCh += c;
        for (auto c : out) outCh += c;
        auto rate = Value<Float64>(id, Addr(kAudioDevicePropertyNominalSampleRate)).value_or(0);
        auto frames = Value<UInt32>(id, Addr(kAudioDevicePropertyBufferFrameSize)).value_or(0);
        auto range = Value<AudioValueRange>(id, Addr(kAudioDevicePropertyBufferFrameSizeRange));
        auto transport = Value<UInt32>(id, Addr(kAudioDevicePropertyTransportType)).value_or(0);
        std::string defaults;
        if (id == defIn) defaults += " input";
        if (id == defOut) defaults += " output";
        if (id == defSys) defaults += " system-output";
        std::printf("%s\n", StringProp(id, kAudioObjectPropertyName).c_str());
        std::printf("  id: %u\n", id);
        std::printf("  uid: %s\n", StringProp(id, kAudioDevicePropertyDeviceUID).c_str());
        std::printf("  manufacturer: %s\n", StringProp(id, kAudioObjectPropertyManufacturer).c_str());
        std::printf("  transport: '%s'\n", audioproto::FourCCString(transport).c_str());
        std::printf("  input channels: %u (streams: %s)\n", inCh, Join(in).c_str());
        std::printf("  output channels: %u (streams: %s)\n", outCh, Join(out).c_str());
        std::printf("  nominal rate: %g\n", rate);
        if (range) std::printf("  buffer frames: %u (range %g-%g)\n", frames, range->mMinimum, range->mMaximum);
        std::printf("  default:%s\n", defaults.empty() ? " -" : defaults.c_str());
    }
    return 0;
}

std::optional<double> Number(const char* s) {
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s, &end);
    if (!s[0] || *end || errno || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<json> ChannelList(const char* s) {
    json list = json::array();
    std::string text(s);
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        std::string part = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        auto n = Number(part.c_str());
        if (!n || *n < 1 || *n > 64 || *n != std::floor(*n)) return std::nullopt;
        list.push_back(static_cast<uint32_t>(*n));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return list;
}

std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char buf[PATH_MAX];
    if (!getcwd(buf, sizeof(buf))) return path;
    return std::string(buf) + "/" + path;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string cmd = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    auto bad = [&](const std::string& why) {
        std::fprintf(stderr, "audioctl %s: %s\n", cmd.c_str(), why.c_str());
        return 2;
    };

    if (cmd == "start") {
        bool defaults = true;
        for (auto& a : args) {
            if (a == "--no-default-devices") defaults = false;
            else return Usage();
        }
        return Start(defaults);
    }
    if (cmd == "stop") return args.empty() ? Stop() : Usage();
    if (cmd == "restart") {
        if (!args.empty()) return Usage();
        int r = Stop();
        return r != 0 ? r : Start(true);
    }
    if (cmd == "status") {
        auto r = Control({{"op", "status"}});
        if (!r) {
            std::printf("audioserverd is not running: %s\n", AudioServerMissingMessage().c_str());
            return 1;
        }
        std::printf("audioserverd running (pid %d) on %s\n", r->value("pid", 0), audioproto::SocketPath().c_str());
        return 0;
    }
    if (cmd == "list") return args.empty() ? List() : Usage();
    if (cmd == "set-default") {
        if (args.size() != 2) return Usage();
        return Run({{"op", "setDefault"}, {"which", args[0]}, {"uid", args[1]}});
    }
    if (cmd == "add-device") {
        if (args.size() < 2) return Usage();
        json req = {{"op", "addDevice"}, {"name", args[0]}, {"uid", args[1]}, {"inputs", json::array()}, {"outputs", json::array()}};
        for (size_t i = 2; i < args.size(); ++i) {
            const std::string& o = args[i];
            bool hasValue = i + 1 < args.size();
            if (o == "--int24") req["inputFormat"] = "int24";
            else if (o == "--int16") req["inputFormat"] = "int16";
            else if (!hasValue) return bad("missing value for " + o);
            else if (o == "--inputs" || o == "--outputs") {
                auto l = ChannelList(args[++i].c_str());
                if (!l) return bad("channel counts are numbers from 1 to 64, separated by commas");
                req[o == "--inputs" ? "inputs" : "outputs"] = *l;
            } else if (o == "--rate" || o == "--drift" || o == "--buffer-frames") {
                auto n = Number(args[++i].c_str());
                if (!n) return bad(o + " needs a number");
                if (o == "--rate") req["rate"] = *n;
                else if (o == "--drift") req["driftPpm"] = *n;
                else if (*n < 1 || *n > 4096) return bad("buffer frames lie within 1 to 4096");
                else req["bufferFrames"] = static_cast<uint32_t>(*n);
            } else if (o == "--transport") {
                req["transport"] = args[++i];
            } else if (o == "--manufacturer") {
                req["manufacturer"] = args[++i];
            } else if (o == "--buffer-range") {
                unsigned lo = 0, hi = 0;
                char extra;
                if (std::sscanf(args[++i].c_str(), "%u:%u%c", &lo, &hi, &extra) != 2) return bad("--buffer-range takes MIN:MAX");
                req["bufferMin"] = lo;
                req["bufferMax"] = hi;
            } else {
                return bad("unknown option " + o);
            }
        }
        return Run(req);
    }
    if (cmd == "remove-device") {
        if (args.size() != 1) return Usage();
        return Run({{"op", "removeDevice"}, {"uid", args[0]}});
    }
    if (cmd == "alter-device" || cmd == "drift") {
        if (args.empty()) return Usage();
        json req = {{"op", "alterDevice"}, {"uid", args[0]}};
        if (cmd == "drift") {
            if (args.size() != 2) return Usage();
            auto n = Number(args[1].c_str());
            if (!n) return bad("drift is a number of ppm");
            req["driftPpm"] = *n;
            return Run(req);
        }
        for (size_t i = 1; i < args.size(); ++i) {
            const std::string& o = args[i];
            if (i + 1 >= args.size()) return bad("missing value for " + o);
            if (o == "--name") {
                req["name"] = args[++i];
                continue;
            }
            auto n = Number(args[++i].c_str());
            if (!n) return bad(o + " needs a number");
            if (o == "--rate") req["rate"] = *n;
            else if (o == "--drift") req["driftPpm"] = *n;
            else if (o == "--buffer-frames" && *n >= 1 && *n <= 4096) req["bufferFrames"] = static_cast<uint32_t>(*n);
            else return bad("unknown option or value " + o);
        }
        return Run(req);
    }
    if (cmd == "signal") {
        if (args.size() < 2) return Usage();
        json req = {{"op", "signal"}, {"uid", args[0]}};
        size_t i = 1;
        if (args[i] == "--channel") {
            if (i + 2 >= args.size()) return Usage();
            auto n = Number(args[i + 1].c_str());
            if (!n || *n < 1 || *n != std::floor(*n)) return bad("channels are numbered from 1");
            req["channel"] = static_cast<int>(*n);
            i += 2;
        }
        std::string type = args[i];
        if (type == "silence" && i + 1 == args.size()) {
            req["type"] = "silence";
        } else if (type == "sine" && (i + 2 == args.size() || i + 3 == args.size())) {
            auto f = Number(args[i + 1].c_str());
            if (!f) return bad("sine needs a frequency in Hz");
            req["type"] = "sine";
            req["frequency"] = *f;
            if (i + 3 == args.size()) {
                auto l = Number(args[i + 2].c_str());
                if (!l) return bad("the level is in dBFS");
                req["level"] = *l;
            }
        } else if (type == "wav" && i + 2 == args.size()) {
            req["type"] = "wav";
            req["path"] = Absolute(args[i + 1]);
        } else {
            return Usage();
        }
        return Run(req);
    }
    if (cmd == "capture") {
        if (args.size() != 2 && args.size() != 4) return Usage();
        std::optional<double> seconds;
        if (args.size() == 4) {
            if (args[2] != "--seconds") return Usage();
            seconds = Number(args[3].c_str());
            if (!seconds || *seconds <= 0) return bad("--seconds needs a positive number");
        }
        int r = Run({{"op", "captureStart"}, {"uid", args[0]}, {"path", Absolute(args[1])}});
        if (r != 0 || !seconds) return r;
        // This command holds the shell for the window: say so, since what plays into the
        // device must start elsewhere meanwhile.
        std::printf("audioctl: capturing %s into %s for %g s\n", args[0].c_str(), Absolute(args[1]).c_str(), *seconds);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::duration<double>(*seconds));
        return Run({{"op", "captureStop"}, {"uid", args[0]}});
    }
    if (cmd == "capture-stop") {
        if (args.size() != 1) return Usage();
        return Run({{"op", "captureStop"}, {"uid", args[0]}});
    }
    if (cmd == "fail") {
        if (args.size() != 2 && args.size() != 3) return Usage();
        int64_t status;
        if (args[1].size() == 4 && !Number(args[1].c_str())) {
            const std::string& c = args[1];
            status = int32_t(AUDIO_FOUR_CC(c[0], c[1], c[2], c[3]));
        } else {
            auto n = Number(args[1].c_str());
            if (!n || *n != std::floor(*n) || *n < INT32_MIN || *n > INT32_MAX) return bad("STATUS is a 32-bit number or four characters");
            status = static_cast<int64_t>(*n);
        }
        int64_t count = 1;
        if (args.size() == 3) {
            auto n = Number(args[2].c_str());
            if (!n || *n < 0 || *n != std::floor(*n)) return bad("COUNT is a whole number (0: always)");
            count = static_cast<int64_t>(*n);
        }
        return Run({{"op", "fail"}, {"call", args[0]}, {"status", status}, {"count", count}});
    }
    if (cmd == "tap-permission") {
        if (args.size() == 1 && (args[0] == "allow" || args[0] == "deny")) return Run({{"op", "tapPermission"}, {"mode", args[0]}});
        if (args.size() != 3 || args[0] != "prompt") return Usage();
        auto n = Number(args[1].c_str());
        if (!n || !(*n >= 0 && *n <= 86400)) return bad("SECONDS is a number from 0 to 86400");
        if (args[2] != "allow" && args[2] != "deny" && args[2] != "never") return Usage();
        return Run({{"op", "tapPermission"}, {"mode", "prompt"}, {"seconds", *n}, {"answer", args[2]}});
    }
    if (cmd == "tap-rates") {
        if (args.size() != 2) return Usage();
        auto labelled = Number(args[0].c_str()), delivered = Number(args[1].c_str());
        auto valid = [](const std::optional<double>& r) { return r && (*r == 0 || (*r >= 8000 && *r <= 384000)); };
        if (!valid(labelled) || !valid(delivered)) return bad("rates are 0 (the clock's) or 8000 to 384000 Hz");
        return Run({{"op", "tapRates"}, {"labelled", *labelled}, {"delivered", *delivered}});
    }
    if (cmd == "counters") {
        auto r = Control({{"op", "counters"}});
        if (!r) return NoServer();
        for (const auto& d : (*r)["devices"]) {
            std::printf("%s: cycles %llu, late client cycles %llu, stalled cycles %llu, %s\n", d.value("uid", "").c_str(),
                        static_cast<unsigned long long>(d.value("cycles", 0ull)),
                        static_cast<unsigned long long>(d.value("lateClientCycles", 0ull)),
                        static_cast<unsigned long long>(d.value("stalledCycles", 0ull)),
                        d.value("running", false) ? "running" : "idle");
            for (const auto& c : d.value("clients", json::array()))
                std::printf("  client %u: pid %d \"%s\": late cycles %llu%s\n", c.value("clientID", 0u), c.value("pid", 0),
                            c.value("name", "").c_str(), static_cast<unsigned long long>(c.value("lateCycles", 0ull)),
                            c.value("present", true) ? "" : " (left)");
        }
        return 0;
    }
    return Usage();
}
