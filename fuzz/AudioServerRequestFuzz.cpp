// The audio server's decoding of the requests a client sends on its control socket. The
// input is one client's session: messages of [op index: 1 byte][length: 2 bytes][payload],
// handled in order on a connection of its own against a server with its emulated devices
// and the plug-in, then the client goes away and the server cleans up after it (IO, taps,
// aggregates).
//
// The plug-in is TidewellHAL's driver, linked in and hosted as the server hosts a bundle's,
// so that requests reach its property handlers and its IO through the server's forwarding.
// It reads a runtime region of this process's own naming, which describes one device: its
// objects have fixed ids, after the emulated devices' (plug-in 0x40000008, device 0x40000009,
// its streams 0x4000000a and 0x4000000b, its controls 0x4000000c and 0x4000000d).
//
// audioctl's control requests (the Control op) are left out: they are the test tool's own
// channel, and they stop the server, write capture files and read sound files at paths
// they name.
#include "Server.h"

#include <TidewellHAL/TWDriver.h>
#include <TidewellRuntimeSupport/TidewellRegions.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

constexpr char kDeviceUID[] = "tw.fuzz.request";

std::string gRegionName;

// The meter regions the plug-in makes for the device.
std::string MeterRegionName(const char* side) {
    std::string owner = std::string("tidewell.device.") + kDeviceUID + "." + side;
    char name[TidewellRegionNameCapacity];
    TidewellRegionFormatName(TidewellMeterNamePrefix, TidewellOwnerHash(owner.c_str()), name, sizeof name);
    return name;
}

// The plug-in keeps what it mapped, and reads the region only by its mapping once it has one:
// the names go as soon as the plug-in is hosted, so that no run leaves them behind, not even
// one that crashes.
void RemoveRegions() {
    shm_unlink(gRegionName.c_str());
    shm_unlink(MeterRegionName("source").c_str());
    shm_unlink(MeterRegionName("output").c_str());
}

// The runtime region the plug-in reads: one 2-channel device, routed straight through.
void PublishRuntimeRegion() {
    gRegionName = "/twfuzz-request-" + std::to_string(getpid());
    shm_unlink(gRegionName.c_str());
    int fd = shm_open(gRegionName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    void* region = fd >= 0 && ftruncate(fd, TidewellRuntimeSize) == 0
                       ? mmap(nullptr, TidewellRuntimeSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                       : MAP_FAILED;
    if (fd >= 0) close(fd);
    if (region == MAP_FAILED) {
        std::perror("fuzz: cannot make the runtime region");
        std::exit(2);
    }
    TidewellRuntimeDeviceSlot slot{};
    slot.flags = TidewellSlotFlagPresent | TidewellSlotFlagDeviceEnabled | TidewellSlotFlagSourceEnabled;
    slot.channelCount = 2;
    slot.deviceGain = slot.sourceGain = 1.0f;
    slot.routeCount = 2;
    slot.routes[0] = {1, 1};
    slot.routes[1] = {2, 2};
    std::strncpy(slot.uid, kDeviceUID, sizeof slot.uid - 1);
    std::strncpy(slot.name, "Fuzz", sizeof slot.name - 1);
    for (float& g : slot.channelGains) g = 1.0f;
    const uint32_t odd = TidewellSequenceBeginWrite(region);
    TidewellRegionStoreWord(region, TidewellRegionMagicOffset, TidewellRuntimeMagic);
    TidewellRegionStoreWord(region, TidewellRegionVersionOffset, TidewellRuntimeVersion);
    TidewellRegionStoreWord(region, TidewellRegionSizeOffset, TidewellRuntimeSize);
    TidewellRegionStoreWord(region, offsetof(TidewellRuntimeRegion, deviceCount), 1);
    TidewellRegionWriteBytes(region, TidewellRuntimeSlotOffset(0), &slot, sizeof slot);
    TidewellSequenceEndWrite(region, odd);
    munmap(region, TidewellRuntimeSize);
    TWSetRuntimeSharedMemoryName(gRegionName.c_str());
    // The region never changes: no reconcile timer, so every run meets the same objects.
    TWSetReconcileTimerEnabled(false);
}

}  // namespace

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
            PublishRuntimeRegion();
            auto* made = new Server(std::string(folder) + "/control", true);
            made->startInProcess(TidewellHALFactory);
            RemoveRegions();
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
