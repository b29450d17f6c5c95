// The stand-in audio server's IO cost: the server's CPU time per second of audio for one
// 64-channel device at 512 frames with 1, 4 and 16 client processes, and the wake-up
// latency from the cycle's start (its host time) to the entry of a client's IO proc.
//
// Run from the build's bin folder (it starts bin/audioserverd on a private socket and its
// clients are copies of itself started with --client).
#include <AudioClient/AudioHardware.h>
#include <AudioProtocol/Protocol.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kUID = "bench64";
constexpr uint32_t kChannels = 64;
constexpr uint32_t kFrames = 512;

std::string SelfPath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    buf[n > 0 ? n : 0] = 0;
    return buf;
}

std::string BinDir() {
    std::string self = SelfPath();
    return self.substr(0, self.rfind('/'));
}

pid_t Spawn(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
    return pid;
}

bool Control(const std::string& request) {
    int fd = audioproto::ConnectToServer(audioproto::SocketPath());
    if (fd < 0) return false;
    audioproto::Writer w;
    w.str(request);
    audioproto::Header h{static_cast<uint32_t>(audioproto::Op::Control), 1, 0, 0};
    bool ok = audioproto::SendMessage(fd, h, w.data());
    audioproto::Header rh{};
    std::vector<uint8_t> payload;
    int got = -1;
    do {
        ok = ok && audioproto::ReceiveMessage(fd, rh, payload, &got);
    } while (ok && rh.op == static_cast<uint32_t>(audioproto::Op::Notify));
    close(fd);
    return ok && std::string(payload.begin(), payload.end()).find("\"ok\":true") != std::string::npos;
}

double CpuSeconds(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return 0;
    char buf[2048];
    size_t n = std::fread(buf, 1, sizeof(buf) - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char* p = std::strrchr(buf, ')');
    if (!p) return 0;
    unsigned long utime = 0, stime = 0;
    // Fields after the command: state(3) ... utime(14) stime(15).
    std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

AudioObjectID FindBenchDevice() {
    AudioObjectPropertyAddress a{kAudioHardwarePropertyTranslateUIDToDevice, kAudioObjectPropertyScopeGlobal, 0};
    CFStringRef uid = CFStringCreateWithCString(nullptr, kUID, kCFStringEncodingUTF8);
    AudioObjectID dev = 0;
    UInt32 size = 4;
    AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, sizeof(uid), &uid, &size, &dev);
    CFRelease(uid);
    return dev;
}

OSStatus Fill(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList* out,
              const AudioTimeStamp*, void*) {
    for (UInt32 b = 0; b < out->mNumberBuffers; ++b) {
        auto* s = static_cast<float*>(out->mBuffers[b].mData);
        size_t n = out->mBuffers[b].mDataByteSize / 4;
        for (size_t i = 0; i < n; ++i) s[i] = 1e-3f;
    }
    return 0;
}

// A client process: plays into the bench device until killed.
int ClientMain() {
    AudioObjectID dev = FindBenchDevice();
    AudioDeviceIOProcID proc = nullptr;
    if (!dev || AudioDeviceCreateIOProcID(dev, Fill, nullptr, &proc) != 0 || AudioDeviceStart(dev, proc) != 0) return 1;
    pause();
    return 0;
}

struct Latency {
    std::vector<uint64_t> samples = std::vector<uint64_t>(100000);
    std::atomic<size_t> count{0};
};

OSStatus Measure(AudioObjectID d, const AudioTimeStamp* now, const AudioBufferList* in, const AudioTimeStamp* it,
                 AudioBufferList* out, const AudioTimeStamp* ot, void* data) {
    uint64_t entry = AudioGetCurrentHostTime();
    auto* l = static_cast<Latency*>(data);
    size_t i = l->count.load(std::memory_order_relaxed);
    if (i < l->samples.size()) {
        l->samples[i] = entry > now->mHostTime ? entry - now->mHostTime : 0;
        l->count.store(i + 1, std::memory_order_release);
    }
    return Fill(d, now, in, it, out, ot, nullptr);
}

void BM_ServerCycle(benchmark::State& state) {
    const int clients = static_cast<int>(state.range(0));
    char dir[] = "/tmp/audioserver-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    std::string socket = std::string(dir) + "/control";
    setenv("AUDIOSERVER_SOCKET", socket.c_str(), 1);
    pid_t server = Spawn({BinDir() + "/audioserverd", "--socket", socket, "--no-default-devices"});
    bool up = false;
    for (int i = 0; i < 500 && !up; ++i) {
        up = Control("{\"op\":\"status\"}");
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string add = "{\"op\":\"addDevice\",\"name\":\"Bench\",\"uid\":\"" + std::string(kUID) + "\",\"outputs\":[" +
                      std::to_string(kChannels) + "],\"inputs\":[" + std::to_string(kChannels) +
                      "],\"bufferFrames\":" + std::to_string(kFrames) + "}";
    if (!up || !Control(add)) {
        state.SkipWithError("cannot start audioserverd with the bench device");
        kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
        return;
    }
    std::vector<pid_t> children;
    for (int i = 1; i < clients; ++i) children.push_back(Spawn({SelfPath(), "--client"}));
    AudioObjectID dev = 0;
    for (int i = 0; i < 200 && !dev; ++i) dev = FindBenchDevice();
    Latency latency;
    AudioDeviceIOProcID proc = nullptr;
    AudioDeviceCreateIOProcID(dev, Measure, &latency, &proc);
    AudioDeviceStart(dev, proc);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // settle: every client running

    double cpu = 0, wall = 0;
    for (auto _ : state) {
        latency.count.store(0);
        double c0 = CpuSeconds(server);
        auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        cpu += CpuSeconds(server) - c0;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    AudioDeviceStop(dev, proc);
    AudioDeviceDestroyIOProcID(dev, proc);
    size_t n = std::min(latency.count.load(std::memory_order_acquire), latency.samples.size());
    std::vector<uint64_t> v(latency.samples.begin(), latency.samples.begin() + long(n));
    std::sort(v.begin(), v.end());
    state.counters["clients"] = clients;
    state.counters["server_cpu_ms_per_s"] = wall > 0 ? cpu / wall * 1000.0 : 0;
    state.counters["wake_median_us"] = v.empty() ? 0 : v[v.size() / 2] / 1000.0;
    state.counters["wake_p99_us"] = v.empty() ? 0 : v[std::min(v.size() - 1, v.size() * 99 / 100)] / 1000.0;
    for (pid_t c : children) kill(c, SIGTERM);
    for (pid_t c : children) waitpid(c, nullptr, 0);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::string cleanup = std::string("rm -rf ") + dir;
    if (std::system(cleanup.c_str()) != 0) {
    }
}

// One property read, to the server and back (the registry makes a few per device).
void BM_PropertyRoundTrip(benchmark::State& state) {
    char dir[] = "/tmp/audioserver-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    std::string socket = std::string(dir) + "/control";
    setenv("AUDIOSERVER_SOCKET", socket.c_str(), 1);
    pid_t server = Spawn({BinDir() + "/audioserverd", "--socket", socket});
    AudioObjectPropertyAddress a{kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0};
    AudioObjectID dev = 0;
    UInt32 size = 4;
    for (int i = 0; i < 500 && AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, &dev) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    AudioObjectPropertyAddress rate{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0};
    for (auto _ : state) {
        Float64 r = 0;
        UInt32 sz = 8;
        if (AudioObjectGetPropertyData(dev, &rate, 0, nullptr, &sz, &r) != 0) {
            state.SkipWithError("property read failed");
            break;
        }
        benchmark::DoNotOptimize(r);
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::string cleanup = std::string("rm -rf ") + dir;
    if (std::system(cleanup.c_str()) != 0) {
    }
}

BENCHMARK(BM_PropertyRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK(BM_ServerCycle)->Arg(1)->Arg(4)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && !std::strcmp(argv[1], "--client")) return ClientMain();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
