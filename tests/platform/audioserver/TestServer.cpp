#include "TestServer.h"

#include <AudioProtocol/Protocol.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace audiotest {

std::string BinDir() {
    const char* d = std::getenv("TIDEWELL_BIN_DIR");
    return d ? d : ".";
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "audioserver-test-XXXXXX").string();
    char* p = mkdtemp(tmpl.data());
    if (!p) throw std::runtime_error("mkdtemp failed");
    path_ = p;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
    for (const auto& e : extraEnv) envStore.push_back(e);
    std::vector<char*> env;
    for (auto& e : envStore) env.push_back(e.data());
    env.push_back(nullptr);
    int rc = posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&fa);
    close(pipeFds[1]);
    fd_ = pipeFds[0];
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0]);
    }
}

Child::~Child() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        int st;
        waitpid(pid_, &st, 0);
    }
    if (fd_ >= 0) close(fd_);
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd p{fd_, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        char buf[4096];
        ssize_t n = read(fd_, buf, sizeof(buf));
        if (n <= 0) {
            if (buffer_.empty()) return std::nullopt;
            std::string line = buffer_;
            buffer_.clear();
            return line;
        }
        buffer_.append(buf, size_t(n));
        all_.append(buf, size_t(n));
    }
}

std::optional<std::string> Child::waitFor(const std::string& prefix, std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        auto line = readLine(left);
        if (!line) return std::nullopt;
        if (line->rfind(prefix, 0) == 0) return line;
    }
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            // Keep the rest of the output.
            while (readLine(std::chrono::milliseconds(50))) {
            }
            return status_;
        }
        if (std::chrono::steady_clock::now() >= until) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void Child::signal(int sig) {
    if (pid_ > 0 && !status_) kill(pid_, sig);
}

int Run(const std::vector<std::string>& argv, std::string* output) {
    Child c(argv);
    auto st = c.wait(std::chrono::seconds(60));
    if (output) *output = c.output();
    return st.value_or(-1);
}

namespace {
// One socket path for the whole test process, set before any thread of the client library
// exists: the library reads it whenever it (re)connects. Each server of the process
// serves on it in turn.
const std::string& ProcessSocket() {
    static const std::string path = [] {
        static TempDir dir;
        std::string p = dir.path() + "/control";
        setenv("AUDIOSERVER_SOCKET", p.c_str(), 1);
        return p;
    }();
    return path;
}
}  // namespace

TestServer::TestServer(bool defaultDevices) : socket_(ProcessSocket()), defaults_(defaultDevices) { start(); }

TestServer::~TestServer() { stop(); }

void TestServer::start() {
    std::vector<std::string> argv = {BinDir() + "/audioserverd", "--socket", socket_};
    if (!defaults_) argv.push_back("--no-default-devices");
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) {
        pid_ = -1;
        ADD_FAILURE() << "cannot start audioserverd";
        return;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        if (control({{"op", "status"}})) {
            // Let this process's client library find the new server before the test runs:
            // until it has noticed that its previous server left, its calls fail.
            auto a = Address(kAudioHardwarePropertyDevices);
            while (!AudioObjectHasProperty(kAudioObjectSystemObject, &a) && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "audioserverd did not answer";
}

void TestServer::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int st = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(pid_, &st, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            ADD_FAILURE() << "audioserverd did not stop on SIGTERM";
            kill(pid_, SIGKILL);
            waitpid(pid_, &st, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
}

std::optional<nlohmann::json> TestServer::control(const nlohmann::json& request) {
    RawClient client(socket_);
    if (!client.connected()) return std::nullopt;
    audioproto::Writer w;
    w.str(request.dump());
    RawClient::Reply reply = client.call(audioproto::Op::Control, w.data());
    if (reply.fd >= 0) close(reply.fd);
    if (!reply.received) return std::nullopt;
    audioproto::Reader r(reply.payload);
    auto j = nlohmann::json::parse(r.str(), nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return j;
}

RawClient::RawClient(const std::string& socketPath) : fd_(audioproto::ConnectToServer(socketPath)) {
    // A server that stops answering ends the wait instead of the test.
    timeval limit{10, 0};
    if (fd_ >= 0) setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

RawClient::~RawClient() {
    if (fd_ >= 0) close(fd_);
}

RawClient::Reply RawClient::call(audioproto::Op op, const std::vector<uint8_t>& payload) {
    Reply reply;
    audioproto::Header h{static_cast<uint32_t>(op), ++seq_, 0, 0};
    if (fd_ < 0 || !audioproto::SendMessage(fd_, h, payload)) return reply;
    audioproto::Header rh{};
    for (;;) {
        int got = -1;
        if (!audioproto::ReceiveMessage(fd_, rh, reply.payload, &got)) return reply;
        if (rh.op != static_cast<uint32_t>(audioproto::Op::Notify)) {
            reply.fd = got;
            break;
        }
        if (got >= 0) close(got);
    }
    reply.received = true;
    reply.status = rh.status;
    return reply;
}

RawClient::Reply RawClient::property(audioproto::Op op, AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     const audioproto::WireValue& qualifier, uint32_t dataSize) {
    audioproto::Writer w;
    w.u32(object);
    w.address(address);
    qualifier.write(w);
    w.u32(dataSize);
    return call(op, w.data());
}

AudioObjectPropertyAddress Address(AudioObjectPropertySelector s, AudioObjectPropertyScope scope,
                                   AudioObjectPropertyElement element) {
    return {s, scope, element};
}

std::vector<AudioObjectID> DeviceIDs() {
    auto a = Address(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &a, 0, nullptr, &size) != 0) return {};
    std::vector<AudioObjectID> ids(size / 4);
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, ids.data()) != 0) return {};
    ids.resize(size / 4);
    return ids;
}

std::string StringProperty(AudioObjectID obj, AudioObjectPropertySelector sel) {
    auto a = Address(sel);
    CFStringRef s = nullptr;
    UInt32 size = sizeof(s);
    if (AudioObjectGetPropertyData(obj, &a, 0, nullptr, &size, &s) != 0 || !s) return "";
    char buf[512];
    std::string out = CFStringGetCString(s, buf, sizeof(buf), kCFStringEncodingUTF8) ? buf : "";
    CFRelease(s);
    return out;
}

AudioObjectID DeviceByUID(const std::string& uid) {
    for (AudioObjectID id : DeviceIDs())
        if (StringProperty(id, kAudioDevicePropertyDeviceUID) == uid) return id;
    return 0;
}

uint32_t U32Property(AudioObjectID obj, AudioObjectPropertyAddress a, OSStatus* status) {
    uint32_t v = 0;
    UInt32 size = 4;
    OSStatus st = AudioObjectGetPropertyData(obj, &a, 0, nullptr, &size, &v);
    if (status) *status = st;
    return v;
}

}  // namespace audiotest

namespace audiotest {

DeviceCycles CyclesOf(TestServer& server, const std::string& uid) {
    DeviceCycles out;
    auto r = server.control({{"op", "counters"}});
    if (!r || !r->contains("devices")) return out;
    for (const auto& d : (*r)["devices"])
        if (d.value("uid", "") == uid) {
            out.cycles = d.value("cycles", uint64_t(0));
            out.late = LostCyclesIn(d);
            out.stalled = d.value("stalledCycles", uint64_t(0));
        }
    return out;
}

tidewell::tools::AudioData CaptureFrames(TestServer& server, const std::string& uid, size_t frames, const std::string& file) {
    auto r = server.control({{"op", "captureStart"}, {"uid", uid}, {"path", file}});
    EXPECT_TRUE(r && r->value("ok", false)) << (r ? r->dump() : "no answer");
    uint32_t cycleFrames = std::max(1u, U32Property(DeviceByUID(uid), Address(kAudioDevicePropertyBufferFrameSize)));
    // One cycle more than the frames need: the capture may begin within a cycle.
    uint64_t until = CyclesOf(server, uid).cycles + (frames + cycleFrames - 1) / cycleFrames + 1;
    EXPECT_TRUE(WaitUntil([&] { return CyclesOf(server, uid).cycles >= until; }, std::chrono::seconds(30),
                          std::chrono::milliseconds(20)))
        << uid << " ran too few cycles for " << frames << " frames";
    r = server.control({{"op", "captureStop"}, {"uid", uid}});
    EXPECT_TRUE(r && r->value("ok", false)) << (r ? r->dump() : "no answer");
    return tidewell::tools::readWav(file);
}

}  // namespace audiotest
