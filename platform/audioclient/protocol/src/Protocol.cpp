#include <AudioProtocol/Protocol.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <linux/futex.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace audioproto {

std::string SocketPath() {
    if (const char* s = std::getenv("AUDIOSERVER_SOCKET"); s && *s) return s;
    if (const char* r = std::getenv("XDG_RUNTIME_DIR"); r && *r) return std::string(r) + "/audioserver/control";
    return "/tmp/audioserver-" + std::to_string(getuid()) + "/control";
}

int ConnectToServer(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) return -1;
    std::memcpy(addr.sun_path, path.data(), path.size());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendMessage(int fd, const Header& h, const std::vector<uint8_t>& payload, int passFd, bool dontWait) {
    if (payload.size() + sizeof(Header) > kMaxMessageBytes) return false;
    iovec iov[2];
    iov[0].iov_base = const_cast<Header*>(&h);
    iov[0].iov_len = sizeof(Header);
    iov[1].iov_base = const_cast<uint8_t*>(payload.data());
    iov[1].iov_len = payload.size();
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = payload.empty() ? 1 : 2;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (passFd >= 0) {
        std::memset(control, 0, sizeof(control));
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &passFd, sizeof(int));
    }
    for (;;) {
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0));
        if (n >= 0) return static_cast<size_t>(n) == sizeof(Header) + payload.size();
        if (errno != EINTR) return false;
    }
}

bool ReceiveMessage(int fd, Header& h, std::vector<uint8_t>& payload, int* receivedFd) {
    if (receivedFd) *receivedFd = -1;
    // One receive buffer per thread, made once: control messages are frequent and small.
    thread_local std::vector<uint8_t> buf(kMaxMessageBytes);
    iovec iov{buf.data(), buf.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n;
    do {
        n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int got;
                std::memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                if (receivedFd && *receivedFd < 0) *receivedFd = got;
                else close(got);
            }
        }
    }
    if ((msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) || static_cast<size_t>(n) < sizeof(Header)) {
        if (receivedFd && *receivedFd >= 0) {
            close(*receivedFd);
            *receivedFd = -1;
        }
        return false;
    }
    std::memcpy(&h, buf.data(), sizeof(Header));
    payload.assign(buf.begin() + sizeof(Header), buf.begin() + n);
    return true;
}

std::string FourCCString(uint32_t code) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((code >> shift) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

bool FutexWait(std::atomic<uint32_t>* word, uint32_t expected, int64_t timeoutNs) {
    timespec ts{};
    timespec* tsp = nullptr;
    if (timeoutNs >= 0) {
        ts.tv_sec = static_cast<time_t>(timeoutNs / 1000000000);
        ts.tv_nsec = static_cast<long>(timeoutNs % 1000000000);
        tsp = &ts;
    }
    long r = syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT, expected, tsp, nullptr, 0);
    return !(r != 0 && errno == ETIMEDOUT);
}

void FutexWake(std::atomic<uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace audioproto
