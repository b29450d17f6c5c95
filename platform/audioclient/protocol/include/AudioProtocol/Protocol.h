// The wire protocol between audioserverd and its client library: request/response and
// notification messages on a SOCK_SEQPACKET control socket, and the shared-memory IO
// block each client gets per device (memfd passed over the socket). Private to the
// server, the client library and their tools.
#pragma once

#include <AudioABI/AudioABI.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace audioproto {

constexpr uint32_t kMaxMessageBytes = 256 * 1024;

enum class Op : uint32_t {
    Hello = 1,         // pid, bundle id, executable name -> instance id
    GetSize = 2,       // object, address, qualifier -> size
    GetData = 3,       // object, address, qualifier, in size -> value
    SetData = 4,       // object, address, qualifier, data
    HasProperty = 5,   // object, address -> 0/1
    IsSettable = 6,    // object, address -> 0/1
    CheckDevice = 7,   // device, call name -> status (validates an id for IO-proc creation)
    IOStart = 8,       // device -> IO block (memfd) and its layout
    IOActivate = 9,    // device -> returns once the device's cycle includes this client
    IOStop = 10,       // device -> returns once the device's cycle no longer includes it
    ConsumeFault = 11, // call name -> status injected for it (0 = none)
    Control = 12,      // JSON request from audioctl -> JSON answer
    CreateTap = 13,    // tap description -> tap id (may wait for the permission policy)
    DestroyTap = 14,   // tap id
    CreateAggregate = 15,   // description dictionary (XML property list) -> device id
    DestroyAggregate = 16,  // device id
    Notify = 100,      // server -> client: object, addresses
};

struct Header {
    uint32_t op;
    uint32_t seq;    // request number echoed in the response; 0 for notifications
    int32_t status;  // response status
    uint32_t reserved;
};
static_assert(sizeof(Header) == 16);

// How a property value travels: plain bytes, or a string the receiving side turns into
// a string reference of its own.
enum class ValueKind : uint32_t { Plain = 0, String = 1, NullString = 2 };

class Writer {
public:
    void u32(uint32_t v) { put(&v, 4); }
    void i32(int32_t v) { put(&v, 4); }
    void u64(uint64_t v) { put(&v, 8); }
    void f64(double v) { put(&v, 8); }
    void str(const std::string& s) {
        u32(static_cast<uint32_t>(s.size()));
        put(s.data(), s.size());
    }
    void bytes(const void* p, size_t n) {
        u32(static_cast<uint32_t>(n));
        put(p, n);
    }
    void address(const AudioObjectPropertyAddress& a) {
        u32(a.mSelector);
        u32(a.mScope);
        u32(a.mElement);
    }
    const std::vector<uint8_t>& data() const { return buf_; }
    std::vector<uint8_t>& data() { return buf_; }

private:
    void put(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        buf_.insert(buf_.end(), b, b + n);
    }
    std::vector<uint8_t> buf_;
};

// Reads what Writer wrote. Every read past the end yields zeros and marks the reader
// failed, so a malformed message is rejected once, at the end, by ok().
class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    explicit Reader(const std::vector<uint8_t>& v) : p_(v.data()), n_(v.size()) {}
    uint32_t u32() { uint32_t v = 0; get(&v, 4); return v; }
    int32_t i32() { int32_t v = 0; get(&v, 4); return v; }
    uint64_t u64() { uint64_t v = 0; get(&v, 8); return v; }
    double f64() { double v = 0; get(&v, 8); return v; }
    std::string str() {
        uint32_t n = u32();
        if (n > n_ - pos_ || !ok_) { ok_ = false; return {}; }
        std::string s(reinterpret_cast<const char*>(p_ + pos_), n);
        pos_ += n;
        return s;
    }
    std::vector<uint8_t> bytes() {
        uint32_t n = u32();
        if (n > n_ - pos_ || !ok_) { ok_ = false; return {}; }
        std::vector<uint8_t> v(p_ + pos_, p_ + pos_ + n);
        pos_ += n;
        return v;
    }
    AudioObjectPropertyAddress address() {
        AudioObjectPropertyAddress a{};
        a.mSelector = u32();
        a.mScope = u32();
        a.mElement = u32();
        return a;
    }
    bool ok() const { return ok_; }

private:
    void get(void* out, size_t n) {
        if (!ok_ || n > n_ - pos_) { ok_ = false; std::memset(out, 0, n); return; }
        std::memcpy(out, p_ + pos_, n);
        pos_ += n;
    }
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// A qualifier or a value on the wire: its kind, then bytes or text.
struct WireValue {
    ValueKind kind = ValueKind::Plain;
    std::vector<uint8_t> bytes;
    std::string text;

    void write(Writer& w) const {
        w.u32(static_cast<uint32_t>(kind));
        if (kind == ValueKind::String) w.str(text);
        else w.bytes(bytes.data(), bytes.size());
    }
    static WireValue read(Reader& r) {
        WireValue v;
        v.kind = static_cast<ValueKind>(r.u32());
        if (v.kind == ValueKind::String) v.text = r.str();
        else v.bytes = r.bytes();
        return v;
    }
};

// Selectors whose qualifier is an 8-byte string reference.
inline bool SelectorHasStringQualifier(AudioObjectPropertySelector s) {
    return s == kAudioHardwarePropertyTranslateBundleIDToPlugIn || s == kAudioHardwarePropertyTranslateUIDToDevice ||
           s == kAudioPlugInPropertyLoadedBundleInfoValue;
}

// The control socket: $AUDIOSERVER_SOCKET, else $XDG_RUNTIME_DIR/audioserver/control,
// else /tmp/audioserver-<uid>/control.
std::string SocketPath();

// Connects to the server's socket; -1 at once when nobody listens.
int ConnectToServer(const std::string& path);

// One message per call. passFd >= 0 is sent along (SCM_RIGHTS). With dontWait, a full
// socket (a receiver that does not read) makes the call fail instead of blocking.
bool SendMessage(int fd, const Header& h, const std::vector<uint8_t>& payload, int passFd = -1, bool dontWait = false);
// Blocks for one message. A received descriptor lands in *receivedFd (else -1).
// false on EOF, error or a malformed message.
bool ReceiveMessage(int fd, Header& h, std::vector<uint8_t>& payload, int* receivedFd);

std::string FourCCString(uint32_t code);

// ---- the shared IO block -----------------------------------------------------------

constexpr uint32_t kIOBlockMagic = 0x41494F42;  // "AIOB"
constexpr uint32_t kIOBlockVersion = 1;
constexpr uint32_t kMaxIOFrames = 4096;
constexpr uint32_t kMaxIOStreams = 16;

struct IOStreamLayout {
    uint32_t channels;
    uint32_t bytesPerFrame;  // of one interleaved frame of this stream
    uint32_t offset;         // from the start of the block
    uint32_t reserved;
};

// Server writes the cycle fields, then increments serverSeq (release) and wakes it; the
// client runs its procs and stores serverSeq into clientSeq (release) and wakes it. Each
// side touches the data areas only while the other waits, so neither needs a lock.
struct IOBlockHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t totalBytes;
    uint32_t reserved0;
    alignas(64) std::atomic<uint32_t> serverSeq;
    alignas(64) std::atomic<uint32_t> clientSeq;
    alignas(64) uint64_t cycleCounter;
    uint32_t frames;
    uint32_t inputStreamCount;
    uint32_t outputStreamCount;
    uint32_t reserved1;
    AudioTimeStamp now;
    AudioTimeStamp inputTime;
    AudioTimeStamp outputTime;
    IOStreamLayout inputs[kMaxIOStreams];
    IOStreamLayout outputs[kMaxIOStreams];
};
static_assert(std::atomic<uint32_t>::is_always_lock_free);

// Bytes of a block for the given channel capacity each way (4 bytes per sample at most).
inline uint32_t IOBlockSize(uint32_t maxInputChannels, uint32_t maxOutputChannels) {
    uint64_t bytes = sizeof(IOBlockHeader) + 64;
    bytes += uint64_t(kMaxIOFrames) * 4 * maxInputChannels;
    bytes += uint64_t(kMaxIOFrames) * 4 * maxOutputChannels;
    bytes = (bytes + 4095) & ~uint64_t(4095);
    return static_cast<uint32_t>(bytes);
}

// Futex wake-ups on a shared mapping (not private: server and client are other processes).
// timeoutNs < 0 waits without limit. Returns false on timeout.
bool FutexWait(std::atomic<uint32_t>* word, uint32_t expected, int64_t timeoutNs);
void FutexWake(std::atomic<uint32_t>* word);

}  // namespace audioproto
