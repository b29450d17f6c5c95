// The server's life: its socket, the default devices, accepting clients, and shutting down.
#include "Server.h"

#include "PlugInHost.h"

#include <CoreFoundation/HostClock.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace audioserver {

Server::Server(std::string socketPath, bool defaultDevices)
    : socketPath_(std::move(socketPath)), defaultDevices_(defaultDevices) {
    uint64_t r = 0;
    if (getrandom(&r, sizeof(r), 0) != sizeof(r)) r = HostClockGetTime();
    instanceID_ = r ^ (uint64_t(getpid()) << 32);
}

Server::~Server() {
    if (listenFd_ >= 0) close(listenFd_);
}

// ---- life ------------------------------------------------------------------------------

static void MakeParents(const std::string& path) {
    for (size_t i = 1; i < path.size(); ++i)
        if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0700);
}

bool Server::listen() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath_.empty() || socketPath_.size() >= sizeof(addr.sun_path)) {
        std::fprintf(stderr, "audioserverd: socket path is empty or too long: %s\n", socketPath_.c_str());
        return false;
    }
    int probe = audioproto::ConnectToServer(socketPath_);
    if (probe >= 0) {
        close(probe);
        std::fprintf(stderr, "audioserverd: a server already answers on %s\n", socketPath_.c_str());
        return false;
    }
    MakeParents(socketPath_);
    unlink(socketPath_.c_str());  // a stale socket of a server that died
    std::memcpy(addr.sun_path, socketPath_.data(), socketPath_.size());
    listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listenFd_, 64) != 0) {
        std::fprintf(stderr, "audioserverd: cannot listen on %s: %s\n", socketPath_.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

void Server::shutdown() {
    if (shuttingDown_.exchange(true)) return;
    char b = 1;
    if (write(wakePipe_[1], &b, 1) < 0) {
    }
}

void Server::addDefaultDevices() {
    Notes notes;
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceDescription out;
    out.name = "Built-in Output";
    out.uid = "BuiltInOutputDevice";
    out.outputs = {{2, SampleFormat::Float32}};
    auto o = addDevice(out, notes);
    DeviceDescription mic;
    mic.name = "Built-in Microphone";
    mic.uid = "BuiltInMicrophoneDevice";
    mic.inputs = {{2, SampleFormat::Float32}};
    auto m = addDevice(mic, notes);
    DeviceDescription usb;
    usb.name = "USB Audio Interface";
    usb.uid = "USBAudioInterface";
    usb.transport = kAudioDeviceTransportTypeUSB;
    usb.rate = 44100.0;
    usb.inputs = {{2, SampleFormat::Int24}, {2, SampleFormat::Int24}};
    usb.outputs = {{4, SampleFormat::Float32}};
    addDevice(usb, notes);
    defaultOutput_ = defaultSystemOutput_ = o->id;
    defaultInput_ = m->id;
    // The microphone plays a quiet test tone unless told otherwise.
    ChannelSignal tone;
    tone.type = SignalType::Sine;
    tone.frequency = 440.0;
    tone.amplitude = std::pow(10.0, -30.0 / 20.0);
    m->engine->setSignal(-1, tone);
}

void Server::startInProcess(AudioServerPlugInFactoryFunction linkedDriver) {
    if (defaultDevices_) addDefaultDevices();
    notifier_ = std::thread([this] { notifierLoop(); });
    notifier_.detach();
    if (linkedDriver != nullptr) {
        plugIns_ = new PlugInHost(*this);
        plugIns_->loadLinked(linkedDriver, "(linked into " + std::to_string(getpid()) + ")");
    }
}

void Server::run() {
    if (pipe2(wakePipe_, O_CLOEXEC) != 0) return;
    if (defaultDevices_) addDefaultDevices();
    notifier_ = std::thread([this] { notifierLoop(); });
    // Plug-ins come after the emulated devices; their devices appear as they report them.
    plugIns_ = new PlugInHost(*this);
    plugIns_->loadAll();

    // Signals end the server cleanly: captures are completed and the socket removed.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread signalThread([this, set] {
        int sig = 0;
        sigwait(&set, &sig);
        shutdown();
    });
    signalThread.detach();

    while (!shuttingDown_.load()) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        auto c = std::make_shared<Connection>();
        c->fd = fd;
        {
            std::lock_guard<std::mutex> lock(connMutex_);
            connections_.push_back(c);
        }
        std::thread([this, c] { serve(c); }).detach();
    }

    // Stop: no new clients, every engine stopped (captures completed), then leave.
    close(listenFd_);
    listenFd_ = -1;
    unlink(socketPath_.c_str());
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        devices = devices_;
    }
    for (auto& d : devices) {
        d->engine->stopCapture();
        d->engine->removeAllClients();
    }
    {
        std::lock_guard<std::mutex> lock(connMutex_);
        for (auto& c : connections_) {
            std::lock_guard<std::mutex> l2(c->sendMutex);
            c->closed = true;
            ::shutdown(c->fd, SHUT_RDWR);
        }
    }
    {
        // Pending permission prompts end without an answer.
        std::unique_lock<std::mutex> lock(promptMutex_);
        promptCv_.notify_all();
        promptCv_.wait(lock, [&] { return promptsWaiting_ == 0; });
    }
    {
        std::lock_guard<std::mutex> lock(noteMutex_);
        noteStop_ = true;
        noteQueue_.clear();
    }
    noteCv_.notify_all();
    notifier_.join();
}

}  // namespace audioserver
