// The audio server's decoding of the requests a client sends on its control socket. The
// input is one client's session: messages of [op index: 1 byte][length: 2 bytes][payload],
// handled in order on a connection of its own against a server with its emulated devices,
// then the client goes away and the server cleans up after it (IO, taps, aggregates).
//
// audioctl's control requests (the Control op) are left out: they are the test tool's own
// channel, and they stop the server, write capture files and read sound files at paths
// they name.
#include "Server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace audioserver {

struct ServerRequestFuzzAccess {
    static Server& server() {
        static Server* s = [] {
            // A folder of its own for the id mark kept beside the socket, so that every run
            // hands out the same ids (the socket itself is never made).
            static char folder[] = "/tmp/twfuzz-audioserver-XXXXXX";
            if (mkdtemp(folder) == nullptr) {
                std::perror("fuzz: mkdtemp");
                std::exit(2);
            }
            std::atexit([] {
                std::error_code ignored;
                std::filesystem::remove_all(folder, ignored);
            });
            auto* made = new Server(std::string(folder) + "/control", true);
            made->addDefaultDevices();
            made->notifier_ = std::thread([made] { made->notifierLoop(); });
            made->notifier_.detach();
            return made;
        }();
        return *s;
    }
    static void add(Server& s, const std::shared_ptr<Connection>& c) {
        std::lock_guard<std::mutex> lock(s.connMutex_);
        s.connections_.push_back(c);
    }
    static void handle(Server& s, const std::shared_ptr<Connection>& c, const audioproto::Header& h,
                       const std::vector<uint8_t>& payload) {
        s.handle(c, h, payload);
    }
    static void disconnect(Server& s, const std::shared_ptr<Connection>& c) { s.disconnect(c); }
};

}  // namespace audioserver

namespace {

using audioproto::Op;

constexpr Op kOps[] = {Op::Hello,      Op::GetSize,      Op::GetData,      Op::SetData,         Op::HasProperty,
                       Op::IsSettable, Op::CheckDevice,  Op::IOStart,      Op::IOActivate,      Op::IOStop,
                       Op::ConsumeFault, Op::CreateTap,  Op::DestroyTap,   Op::CreateAggregate, Op::DestroyAggregate,
                       Op::Notify,     static_cast<Op>(0xFFFF)};

// Reads and drops whatever the server sent the client, descriptors included.
void Drain(int fd) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    static std::vector<uint8_t> buffer(audioproto::kMaxMessageBytes);
    for (;;) {
        iovec iov{buffer.data(), buffer.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        if (recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC) <= 0) return;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int got;
                std::memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof got);
                close(got);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& server = audioserver::ServerRequestFuzzAccess::server();
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
        std::perror("fuzz: socketpair");
        std::exit(2);
    }
    auto c = std::make_shared<audioserver::Connection>();
    c->fd = fds[0];
    c->pid = getpid();
    audioserver::ServerRequestFuzzAccess::add(server, c);

    size_t at = 0;
    uint32_t seq = 1;
    for (int messages = 0; at + 3 <= size && messages < 32; ++messages) {
        const Op op = kOps[data[at] % (sizeof kOps / sizeof kOps[0])];
        size_t length = data[at + 1] | (size_t(data[at + 2]) << 8);
        at += 3;
        if (length > size - at) length = size - at;
        std::vector<uint8_t> payload(data + at, data + at + length);
        at += length;
        audioproto::Header h{static_cast<uint32_t>(op), seq++, 0, 0};
        audioserver::ServerRequestFuzzAccess::handle(server, c, h, payload);
        Drain(fds[1]);
    }
    // disconnect() closes the server's end.
    audioserver::ServerRequestFuzzAccess::disconnect(server, c);
    Drain(fds[1]);
    close(fds[1]);
    return 0;
}
