#include "Connection.h"

#include <CoreFoundation/HostClock.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace audioclient {

using audioproto::Header;
using audioproto::Op;

namespace {

std::string BundleID() {
    if (const char* b = std::getenv("AUDIOSERVER_BUNDLE_ID"); b && *b) return b;
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return "unknown";
    buf[n] = 0;
    const char* slash = std::strrchr(buf, '/');
    return slash ? slash + 1 : buf;
}

// Waits for one message on fd for at most timeoutMs.
bool ReceiveWithin(int fd, Header& h, std::vector<uint8_t>& payload, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return false;
    int got = -1;
    bool ok = audioproto::ReceiveMessage(fd, h, payload, &got);
    if (got >= 0) close(got);
    return ok;
}

bool Matches(const AudioObjectPropertyAddress& listener, const AudioObjectPropertyAddress& change) {
    auto sel = listener.mSelector == kAudioObjectPropertySelectorWildcard || listener.mSelector == change.mSelector;
    auto scope = listener.mScope == kAudioObjectPropertyScopeWildcard || change.mScope == kAudioObjectPropertyScopeWildcard ||
                 listener.mScope == change.mScope;
    auto elem = listener.mElement == kAudioObjectPropertyElementWildcard ||
                change.mElement == kAudioObjectPropertyElementWildcard || listener.mElement == change.mElement;
    return sel && scope && elem;
}

}  // namespace

Connection& Connection::Get() {
    // Never destroyed: threads of the library may outlive static destruction at exit.
    static Connection* c = new Connection;
    return *c;
}

uint64_t Connection::generation() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fd_ >= 0 ? gen_ : 0;
}

void Connection::setLossHandler(std::function<void(uint64_t)> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    lossHandler_ = std::move(handler);
}

bool Connection::ensureConnected(std::unique_lock<std::mutex>& lock) {
    if (fd_ >= 0) return true;
    (void)lock;
    int fd = audioproto::ConnectToServer(audioproto::SocketPath());
    if (fd < 0) return false;
    // Introduce ourselves and learn which server instance this is.
    audioproto::Writer w;
    w.i32(getpid());
    w.str(BundleID());
    Header h{static_cast<uint32_t>(Op::Hello), 0, 0, 0};
    Header rh{};
    std::vector<uint8_t> payload;
    bool answered = audioproto::SendMessage(fd, h, w.data());
    // Notifications may come before the answer; they concern a server we did not know yet.
    while (answered && (answered = ReceiveWithin(fd, rh, payload, 2000)) && rh.op == static_cast<uint32_t>(Op::Notify)) {
    }
    if (!answered || rh.op != static_cast<uint32_t>(Op::Hello) || rh.status != 0) {
        close(fd);
        return false;
    }
    audioproto::Reader r(payload);
    uint64_t instance = r.u64();
    fd_ = fd;
    ++gen_;
    bool restarted = everConnected_ && instance != instance_;
    everConnected_ = true;
    instance_ = instance;
    uint64_t gen = gen_;
    std::thread([this, fd, gen] { readerLoop(fd, gen); }).detach();
    if (restarted)
        post(kAudioObjectSystemObject,
             {{kAudioHardwarePropertyServiceRestarted, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain}});
    return true;
}

Response Connection::call(Op op, const std::vector<uint8_t>& payload, int timeoutMs) {
    Pending p;
    uint32_t seq;
    int fd;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ensureConnected(lock)) return Response{};
        seq = nextSeq_++;
        if (seq == 0) seq = nextSeq_++;
        p.gen = gen_;
        pending_[seq] = &p;
        fd = fd_;
    }
    Header h{static_cast<uint32_t>(op), seq, 0, 0};
    bool sent;
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        sent = audioproto::SendMessage(fd, h, payload);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (sent) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        cv_.wait_until(lock, until, [&] { return p.done; });
    }
    pending_.erase(seq);
    if (!p.done) {
        if (p.response.fd >= 0) close(p.response.fd);
        return Response{};
    }
    return std::move(p.response);
}

void Connection::readerLoop(int fd, uint64_t gen) {
    for (;;) {
        Header h{};
        std::vector<uint8_t> payload;
        int got = -1;
        if (!audioproto::ReceiveMessage(fd, h, payload, &got)) break;
        if (h.op == static_cast<uint32_t>(Op::Notify)) {
            if (got >= 0) close(got);
            audioproto::Reader r(payload);
            AudioObjectID obj = r.u32();
            uint32_t n = r.u32();
            std::vector<AudioObjectPropertyAddress> addrs;
            for (uint32_t i = 0; i < n && r.ok() && i < 1024; ++i) addrs.push_back(r.address());
            if (r.ok() && !addrs.empty()) post(obj, std::move(addrs));
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = pending_.find(h.seq);
        if (it == pending_.end() || it->second->gen != gen) {
            if (got >= 0) close(got);
            continue;
        }
        it->second->response.status = h.status;
        it->second->response.payload = std::move(payload);
        it->second->response.fd = got;
        it->second->done = true;
        cv_.notify_all();
    }
    lost(fd, gen);
}

void Connection::lost(int fd, uint64_t gen) {
    std::function<void(uint64_t)> handler;
    bool startReconnect = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ == fd && gen_ == gen) {
            close(fd_);
            fd_ = -1;
        }
        // Every request still waiting on this connection fails now.
        for (auto& [seq, p] : pending_)
            if (p->gen == gen && !p->done) {
                p->done = true;
                p->response = Response{};
            }
        cv_.notify_all();
        handler = lossHandler_;
        if (!reconnecting_) {
            reconnecting_ = true;
            startReconnect = true;
        }
    }
    if (handler) handler(gen);
    if (startReconnect) std::thread([this] { reconnectLoop(); }).detach();
}

void Connection::reconnectLoop() {
    // Poll for a server; once one answers, ensureConnected fires the restart listeners.
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (fd_ >= 0 || ensureConnected(lock)) {
                reconnecting_ = false;
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// ---- listeners -------------------------------------------------------------------------

void Connection::post(AudioObjectID obj, std::vector<AudioObjectPropertyAddress> addresses) {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    events_.push_back({obj, std::move(addresses)});
    if (!notifierStarted_) {
        notifierStarted_ = true;
        std::thread([this] { notifierLoop(); }).detach();
    }
    listenerCv_.notify_all();
}

void Connection::notifierLoop() {
    std::unique_lock<std::mutex> lock(listenerMutex_);
    notifierThread_ = std::this_thread::get_id();
    for (;;) {
        listenerCv_.wait(lock, [&] { return !events_.empty(); });
        auto ev = std::move(events_.front());
        events_.pop_front();
        dispatching_ = true;
        std::vector<uint64_t> tokens;
        for (const auto& l : listeners_) {
            if (l.obj != ev.first) continue;
            for (const auto& a : ev.second)
                if (Matches(l.address, a)) {
                    tokens.push_back(l.token);
                    break;
                }
        }
        for (uint64_t t : tokens) {
            // Re-check: an earlier listener of this event may have removed this one.
            const Listener* found = nullptr;
            for (const auto& l : listeners_)
                if (l.token == t) found = &l;
            if (!found) continue;
            Listener l = *found;
            lock.unlock();
            l.proc(ev.first, static_cast<UInt32>(ev.second.size()), ev.second.data(), l.data);
            lock.lock();
        }
        dispatching_ = false;
        listenerCv_.notify_all();
    }
}

OSStatus Connection::addListener(AudioObjectID obj, const AudioObjectPropertyAddress& a,
                                 AudioObjectPropertyListenerProc proc, void* data) {
    {
        // Listening makes this process a client, so that it hears a server restart even
        // before its first other call.
        std::unique_lock<std::mutex> lock(mutex_);
        ensureConnected(lock);
    }
    std::lock_guard<std::mutex> lock(listenerMutex_);
    listeners_.push_back({nextToken_++, obj, a, proc, data});
    if (!notifierStarted_) {
        notifierStarted_ = true;
        std::thread([this] { notifierLoop(); }).detach();
    }
    return 0;
}

OSStatus Connection::removeListener(AudioObjectID obj, const AudioObjectPropertyAddress& a,
                                    AudioObjectPropertyListenerProc proc, void* data) {
    std::unique_lock<std::mutex> lock(listenerMutex_);
    for (auto it = listeners_.begin(); it != listeners_.end(); ++it) {
        if (it->obj == obj && it->proc == proc && it->data == data && it->address.mSelector == a.mSelector &&
            it->address.mScope == a.mScope && it->address.mElement == a.mElement) {
            listeners_.erase(it);
            // After removal returns, no call of it may still be running elsewhere.
            if (std::this_thread::get_id() != notifierThread_)
                listenerCv_.wait(lock, [&] { return !dispatching_; });
            return 0;
        }
    }
    return kAudioHardwareUnknownPropertyError;
}

}  // namespace audioclient
